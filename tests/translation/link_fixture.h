#pragma once
// Shared by the translation tests that run the whole link: the fixture, the service's message
// bodies and the GUI bodies expected back, written byte by byte from the wire layouts.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/linked_layer.h"
#include "support/trace_capture.h"
#include "handoff/commands.h"

// Generous: every wait ends as soon as what it waits for is there; a slow Wine prefix (a
// class registration for the local-server context waits on its RPC service) still passes.
constexpr DWORD kTimeout = 30000;

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(link.Connect(kTimeout)) << "link step failed: " << Narrow(link.Failure());
  }
  // A failed case shows the module's trace: what it did is the quickest way to why.
  void TearDown() override {
    if (!HasFailure()) return;
    std::string text;
    for (const std::wstring& line : trace.Lines()) text += Narrow(line);
    std::printf("---- module trace ----\n%s---- end of trace ----\n", text.c_str());
  }
  static std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return narrow;
  }

  // The service packets and GUI packets from index `from` on, once `count` more have come.
  std::vector<ServicePacket> ServiceFrom(std::size_t from, std::size_t count) {
    EXPECT_TRUE(link.service.WaitForCount(from + count, kTimeout)) << "service packets: " << link.service.Count();
    auto all = link.service.Packets();
    return std::vector<ServicePacket>(all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end());
  }
  std::vector<GuiPacket> GuiFrom(std::size_t from, std::size_t count) {
    EXPECT_TRUE(link.gui.WaitForCount(from + count, kTimeout)) << "GUI packets: " << link.gui.Count();
    auto all = link.gui.Packets();
    return std::vector<GuiPacket>(all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end());
  }
  // Sends the service's drive data; waits for the drive list at the GUI and for the packets
  // the drive data sends the service (the start of communication, then the walk over drives
  // with an engine). They are written before the list is sent, but the service peer reads them
  // on its own thread: a count of its packets taken without this wait would race it.
  void SendDriveData(const std::vector<BYTE>& body, std::size_t servicePackets = 1) {
    const std::size_t before = link.gui.Count();
    const std::size_t serviceBefore = link.service.Count();
    ASSERT_TRUE(link.service.Send(TW4_0::ID_DRIVE_DATA, 0, body));
    ASSERT_TRUE(link.gui.WaitForCount(before + 1, kTimeout));
    ASSERT_TRUE(link.service.WaitForCount(serviceBefore + servicePackets, kTimeout));
  }
  // Waits until the translation thread has handled everything sent so far: a marker command
  // that goes to the service as one packet is sent and awaited.
  void Settle() {
    const std::size_t before = link.service.Count();
    ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_REQUEST_LOG_DATA));
    ASSERT_TRUE(link.service.WaitForCount(before + 1, kTimeout));
  }

  TraceCapture trace;
  LinkedLayer link;
};

struct DriveSpec {
  WCHAR letter;
  const wchar_t* fileSystem;
  std::uint32_t engineCode;
};

// The service's drive data: every drive A to Z present with "NTFS" and engine code 0 unless
// one of `specs` names it otherwise.
inline std::vector<BYTE> DriveDataBody(const std::vector<DriveSpec>& specs, std::size_t size = 2112) {
  Bytes b(size);
  for (int i = 0; i < 26; ++i) {
    const std::size_t at = 32 + 80 * static_cast<std::size_t>(i);
    b.U16(at + 44, static_cast<std::uint16_t>(L'A' + i)).Text(at, L"NTFS");
  }
  for (const DriveSpec& s : specs) {
    const std::size_t at = 32 + 80 * static_cast<std::size_t>(s.letter - L'A');
    b.Put(at, std::vector<BYTE>(32, 0)).Text(at, s.fileSystem).U32(at + 32, s.engineCode);
  }
  return b;
}

inline std::wstring VolumePath(WCHAR letter) { return std::wstring(L"\\\\.\\") + letter + L":\\"; }

// Values of the volume data that the statistics copy: recognisable, one per offset.
constexpr std::uint64_t kVolumeValueBase = 0x0102030400000000ull;
constexpr std::size_t kCopiedFrom[] = {216, 224, 248, 256, 1448, 1456, 1472, 1480, 1488, 1496,
                                       1512, 1520, 1528, 1552, 1560, 1608, 1616, 1624, 1632};

inline std::vector<BYTE> VolumeDataBody(std::uint64_t s, std::uint64_t t, std::uint64_t u, std::uint32_t fsCode,
                                        std::uint32_t pass, std::size_t size = 1640) {
  Bytes b(size);
  b.U32(16, fsCode).U64(48, s).U64(72, t).U64(96, u).U32(1380, pass);
  for (std::size_t from : kCopiedFrom) b.U64(from, kVolumeValueBase + from);
  return b;
}

// The 432-byte volume statistics of such a volume data.
inline std::vector<BYTE> ExpectedStatistics(WCHAR drive, const std::wstring& fileSystem, std::uint64_t s,
                                            std::uint64_t t, std::uint64_t u, std::uint32_t flag) {
  Bytes b(432);
  b.Text(0, VolumePath(drive)).U16(202, drive).Text(204, fileSystem);
  b.U64(240, t * s).U64(248, s).U64(256, u * s).U64(264, (t - u) * s);
  b.U64(272, t == 0 ? 0 : static_cast<std::uint64_t>(static_cast<std::int64_t>((t - u) * 100) / static_cast<std::int64_t>(t)));
  const auto v = [](std::size_t from) { return kVolumeValueBase + from; };
  b.U64(280, v(1632)).U64(288, v(1624)).U64(296, v(1488) + v(1496)).U64(304, v(1512)).U64(312, v(1520));
  b.U64(320, v(1448) + v(1456)).U64(328, v(1528)).U64(336, v(1472)).U64(344, v(1480)).U64(352, v(1552));
  b.U64(360, v(1560)).U64(368, v(1608)).U64(376, v(256)).U64(384, v(248)).U64(392, v(1616));
  b.U64(408, v(224)).U64(416, v(216)).U32(424, flag);
  return b;
}

inline std::vector<BYTE> StatusBody(WCHAR drive, std::uint32_t percent, std::uint32_t state) {
  return Bytes(112).Text(0, VolumePath(drive)).U32(104, percent).U32(108, state);
}

inline std::vector<BYTE> EngineInfoBody(WCHAR drive, const std::wstring& fileSystem, std::uint32_t operation) {
  return Bytes(140).Text(0, VolumePath(drive)).Text(102, fileSystem).U32(136, operation);
}

inline std::vector<BYTE> VolumePathBody(WCHAR drive) { return Bytes(102).Text(0, VolumePath(drive)); }

inline std::vector<BYTE> BeginScanBody(WCHAR drive, const std::wstring& fileSystem, std::uint64_t s, std::uint64_t t,
                                       bool defrag) {
  Bytes b(376);
  b.Text(0, VolumePath(drive)).Text(306, fileSystem).U64(344, t).U64(352, s);
  if (defrag) b.U64(360, t).U64(368, s);
  return b;
}

// The display packet sent for a volume data: no path, the statistics, no display data.
inline std::vector<BYTE> VolumeDisplayBody(const std::vector<BYTE>& statistics) {
  return Bytes(560).Put(104, statistics);
}

// The GUI's ID_ANALYZE / ID_DEFRAG body: the drive letter at offset 8.
inline std::vector<BYTE> OperationBody(WCHAR drive) { return Bytes(16).U16(8, drive); }

// GUI packet and service packet expectations.
struct ExpectedGui {
  std::wstring target;
  std::uint32_t command;
  std::vector<BYTE> body;
};

inline void ExpectGuiPackets(const std::vector<GuiPacket>& got, const std::vector<ExpectedGui>& expected) {
  ASSERT_EQ(expected.size(), got.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "GUI packet " << i << " command " << got[i].command);
    EXPECT_EQ(expected[i].target, got[i].target);
    EXPECT_EQ(expected[i].command, got[i].command);
    EXPECT_EQ(expected[i].body, got[i].body);
    EXPECT_EQ(0u, got[i].trailer);
    EXPECT_EQ(got[i].body.size() + 20, got[i].blockSize);
  }
}

struct ExpectedService {
  std::uint32_t command;
  WCHAR drive;
  std::uint32_t param;
  std::vector<BYTE> body;
};

inline void ExpectServicePackets(const std::vector<ServicePacket>& got, const std::vector<ExpectedService>& expected) {
  ASSERT_EQ(expected.size(), got.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "service packet " << i << " command " << got[i].header.dwCommand);
    EXPECT_EQ(expected[i].command, got[i].header.dwCommand);
    EXPECT_EQ(expected[i].drive, got[i].header.cDrive);
    EXPECT_EQ(expected[i].param, got[i].header.dwParam);
    EXPECT_EQ(0, got[i].header.szText[0]);
    EXPECT_EQ(0, got[i].header.wReserved);
    EXPECT_EQ(expected[i].body, got[i].body);
  }
}
