// The tools' parts that need no other process: wire layouts byte for byte, the simulated
// volumes, the trace line joiner, pipe names, and the GUI's readers of the module's packets.

#include <gtest/gtest.h>

#include <cstring>

#include "common/gui_wire.h"
#include "common/pipe_names.h"
#include "common/service_wire.h"
#include "common/text.h"
#include "common/volume_figures.h"
#include "gui/data_objects.h"
#include "gui/gui_session.h"
#include "gui/session_model.h"
#include "service/volumes.h"
#include "common/line_joiner.h"

namespace {

std::uint64_t U64At(const std::vector<unsigned char>& body, std::size_t offset) {
  std::uint64_t v = 0;
  std::memcpy(&v, body.data() + offset, sizeof(v));
  return v;
}

TEST(ToolsWire, VolumeDataPutsEveryFigureAtItsOffsetAndTheStatisticsReadThemBack) {
  VolumeFigures f;
  f.fileSystemCode = 2;
  f.pass = 7;
  f.clusterBytes = 8;
  f.totalClusters = 100;
  f.freeClusters = 25;
  f.files = 1632;
  f.directories = 1624;
  f.fileFragments = 1488;
  f.directoryFragments = 1496;
  f.fragmentedFiles = 1512;
  f.excessFileFragments = 1520;
  f.fileBytes = 1448;
  f.directoryBytes = 1456;
  f.largestFreeExtent = 1528;
  f.fragmentedDirectories = 1472;
  f.excessDirectoryFragments = 1480;
  f.freeExtents = 1552;
  f.averageFreeExtent = 1560;
  f.systemBytes = 1608;
  f.pagingFileBytes = 256;
  f.pagingFileFragments = 248;
  f.unmovableFiles = 1616;
  f.averageFragmentsX100 = 224;
  f.averageFileBytes = 216;
  const auto body = BuildVolumeDataBody(f);
  ASSERT_EQ(1640u, body.size());
  std::uint32_t code = 0, pass = 0;
  std::memcpy(&code, body.data() + 16, 4);
  std::memcpy(&pass, body.data() + 1380, 4);
  EXPECT_EQ(2u, code);
  EXPECT_EQ(7u, pass);
  EXPECT_EQ(8u, U64At(body, 48));
  EXPECT_EQ(100u, U64At(body, 72));
  EXPECT_EQ(25u, U64At(body, 96));
  // Each named figure holds its own offset as its value: every one landed where it belongs.
  for (std::size_t offset : {216u, 224u, 248u, 256u, 1448u, 1456u, 1472u, 1480u, 1488u, 1496u, 1512u, 1520u, 1528u,
                             1552u, 1560u, 1608u, 1616u, 1624u, 1632u}) {
    EXPECT_EQ(offset, U64At(body, offset)) << offset;
  }
  std::size_t nonZero = 0;
  for (unsigned char b : body) nonZero += b != 0;
  EXPECT_LE(nonZero, 2u * 24 + 2);  // nothing written besides the figures

  // What the module makes of them (copies and two sums), as the GUI reads it back.
  VolumeStatisticsBody stats{};
  const std::pair<std::size_t, std::uint64_t> moved[] = {
      {280, 1632}, {288, 1624}, {296, 1488 + 1496}, {304, 1512}, {312, 1520}, {320, 1448 + 1456},
      {328, 1528}, {336, 1472}, {344, 1480}, {352, 1552}, {360, 1560}, {368, 1608},
      {376, 256},  {384, 248},  {392, 1616}, {408, 224},  {416, 216}};
  for (const auto& [offset, value] : moved) {
    std::memcpy(reinterpret_cast<BYTE*>(&stats) + offset, &value, 8);
  }
  const VolumeSummary s = ReadVolumeSummary(stats);
  EXPECT_EQ(1632u, s.files);
  EXPECT_EQ(1624u, s.directories);
  EXPECT_EQ(1488u + 1496u, s.fragments);
  EXPECT_EQ(1512u, s.fragmentedFiles);
  EXPECT_EQ(1472u, s.fragmentedDirectories);
  EXPECT_EQ(1448u + 1456u, s.bytesInFilesAndDirectories);
  EXPECT_EQ(216u, s.averageFileBytes);
  EXPECT_EQ(248u, s.pagingFileFragments);
}

TEST(ToolsWire, DriveDataHasOneRecordPerLetter) {
  const auto volumes = MakeVolumes(7);
  std::array<std::uint32_t, 26> codes{};
  codes[2] = kEngineCodeAnalyzing;
  const auto body = DriveDataBody(volumes, codes);
  ASSERT_EQ(2112u, body.size());
  for (std::size_t i = 0; i < 32; ++i) EXPECT_EQ(0, body[i]);
  // Record C (index 2) starts at 32 + 2 x 80.
  const BYTE* c = body.data() + 32 + 2 * 80;
  EXPECT_EQ(0, std::memcmp(c, L"NTFS", 10));
  std::uint32_t code = 0;
  std::memcpy(&code, c + 32, 4);
  EXPECT_EQ(kEngineCodeAnalyzing, code);
  EXPECT_EQ(L'C', c[44] | (c[45] << 8));
  const BYTE* z = body.data() + 32 + 25 * 80;
  EXPECT_EQ(0, z[0] | z[1]);
  EXPECT_EQ(L'Z', z[44] | (z[45] << 8));
}

TEST(ToolsVolumes, TheSameSeedMakesTheSameVolumes) {
  const auto a = MakeVolumes(42), b = MakeVolumes(42), c = MakeVolumes(43);
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].totalClusters, b[i].totalClusters);
    EXPECT_EQ(a[i].map, b[i].map);
    EXPECT_EQ(FraggedFileListBody(a[i]), FraggedFileListBody(b[i]));
  }
  EXPECT_NE(FraggedFileListBody(a[0]), FraggedFileListBody(c[0]));
}

TEST(ToolsVolumes, FiguresAddUpAndDefragmentationConservesSpace) {
  SimVolume c = MakeVolumes(3)[0];
  const VolumeFigures before = FiguresOf(c, 0);
  EXPECT_EQ(c.fragmented.size(), before.fragmentedFiles);
  EXPECT_EQ((c.totalClusters - c.freeClusters) * c.clusterBytes,
            before.fileBytes + before.directoryBytes + before.systemBytes);
  auto count = [](const SimVolume& v, std::uint8_t cell) {
    std::size_t n = 0;
    for (auto m : v.map) n += m == cell;
    return n;
  };
  const std::size_t free = count(c, 0), system = count(c, 3);
  for (std::uint32_t pass = 1; pass <= 9; ++pass) {
    DefragmentPass(c, pass, 9);
    EXPECT_EQ(free, count(c, 0)) << pass;
    EXPECT_EQ(system, count(c, 3)) << pass;
  }
  const VolumeFigures after = FiguresOf(c, 8);
  EXPECT_EQ(before.freeClusters, after.freeClusters);
  EXPECT_EQ(after.unmovableFiles, after.fragmentedFiles);
  EXPECT_EQ(0u, count(c, 2));
  // Free blocks come after every movable used block, system areas aside.
  std::size_t lastUsed = 0, firstFree = c.map.size();
  for (std::size_t i = 0; i < c.map.size(); ++i) {
    if (c.map[i] == 1) lastUsed = i;
    if (c.map[i] == 0 && firstFree == c.map.size()) firstFree = i;
  }
  EXPECT_LT(lastUsed, firstFree);
}

TEST(ToolsTraceView, JoinsEachThreadLineWithTheNextLineOfItsProcess) {
  LineJoiner joiner;
  EXPECT_TRUE(joiner.Add(10, L"Thread 77: ").empty());
  EXPECT_TRUE(joiner.Add(20, L"Thread 88: ").empty());
  auto lines = joiner.Add(20, L"TW4_0::ID_DRIVE_DATA \n");  // the other process's text first
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(L"Thread 88: TW4_0::ID_DRIVE_DATA ", FormatTraceLine(lines[0]));  // its blank stays
  EXPECT_EQ(20u, lines[0].pid);
  lines = joiner.Add(10, L"\n\nSENDING PERCENT DONE 20  new pass 0\n\n");
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(L"Thread 77: SENDING PERCENT DONE 20  new pass 0", FormatTraceLine(lines[0]));
  lines = joiner.Add(10, L"PmkDataObject::~PmkDataObject\n");  // a line written alone
  ASSERT_EQ(1u, lines.size());
  EXPECT_FALSE(lines[0].joined);
  EXPECT_EQ(L"PmkDataObject::~PmkDataObject", FormatTraceLine(lines[0]));
  EXPECT_TRUE(joiner.Add(10, L"Thread 5: ").empty());
  lines = joiner.Add(10, L"Thread 6: ");  // a thread line without its text
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(L"Thread 5: ", FormatTraceLine(lines[0]));
  lines = joiner.Flush();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(6u, lines[0].thread);
  EXPECT_EQ(0u, LineJoiner::ThreadLineId(L"Thread x: "));
  EXPECT_EQ(0u, LineJoiner::ThreadLineId(L"Thread 12: text"));
  EXPECT_EQ(12u, LineJoiner::ThreadLineId(L"Thread 12: "));
}

TEST(ToolsPipeNames, ThisComputerOpensTheLocalForm) {
  const std::wstring me = ThisComputerName();
  ASSERT_FALSE(me.empty());
  EXPECT_EQ(L"\\\\.\\pipe\\TarnswellGuiPipe", PipeNameToOpen(L"\\\\" + me + L"\\pipe\\TarnswellGuiPipe"));
  std::wstring lower = me;
  for (auto& ch : lower) ch = static_cast<wchar_t>(towlower(ch));
  EXPECT_EQ(L"\\\\.\\pipe\\X", PipeNameToOpen(L"\\\\" + lower + L"\\pipe\\X"));
  EXPECT_EQ(L"\\\\.\\pipe\\X", PipeNameToOpen(L"\\\\.\\pipe\\X"));
  EXPECT_EQ(L"\\\\OTHERBOX\\pipe\\X", PipeNameToOpen(L"\\\\OTHERBOX\\pipe\\X"));
  EXPECT_EQ(L"", PipeNameToOpen(L"C:\\pipe\\X"));
  EXPECT_EQ(L"", PipeNameToOpen(L"\\\\HOST\\share\\X"));
  EXPECT_EQ(L"", PipeNameToOpen(L"\\\\HOST\\pipe\\"));
}

std::vector<BYTE> TransferBuffer(const std::wstring& volume, const std::vector<std::wstring>& paths) {
  std::vector<BYTE> out(sizeof(TransferBufferHead), 0);
  TransferBufferHead head{};
  head.dwCount = static_cast<std::uint32_t>(paths.size());
  CopyToField(head.szVolume, volume);
  std::memcpy(out.data(), &head, sizeof(head));
  std::int64_t n = 2;
  for (const auto& path : paths) {
    TransferRecordHead r{};
    r.llFileSize = 1024 * n;
    CopyToField(r.szFileSize, std::to_wstring(n) + L" KB");
    r.llFragments = n;
    CopyToField(r.szFragments, std::to_wstring(n));
    const std::size_t at = out.size();
    out.resize(at + sizeof(r) + (path.size() + 1) * 2, 0);
    std::memcpy(out.data() + at, &r, sizeof(r));
    std::memcpy(out.data() + at + sizeof(r), path.c_str(), path.size() * 2);
    ++n;
  }
  return out;
}

TEST(ToolsGuiReaders, ReadTheTransferBufferAndRefuseOneCutShort) {
  auto buffer = TransferBuffer(L"\\\\.\\C:\\", {L"DIR\\FILE.TXT", L"Windows\\a.dll"});
  ASSERT_EQ(106u + 162 + 24 + 162 + 26, buffer.size());
  FragReport report;
  ASSERT_TRUE(ParseFragReport(buffer, report));
  EXPECT_EQ(L"\\\\.\\C:\\", report.volume);
  ASSERT_EQ(2u, report.files.size());
  EXPECT_EQ(L"DIR\\FILE.TXT", report.files[0].path);
  EXPECT_EQ(L"2 KB", report.files[0].sizeText);
  EXPECT_EQ(L"3", report.files[1].fragmentsText);
  EXPECT_EQ(3, report.files[1].fragments);
  // The empty list is the 106-byte head alone.
  ASSERT_TRUE(ParseFragReport(TransferBuffer(L"\\\\.\\E:\\", {}), report));
  EXPECT_TRUE(report.files.empty());
  // Cut inside the last path (no terminator), or a count that promises more records.
  buffer.resize(buffer.size() - 4);
  EXPECT_FALSE(ParseFragReport(buffer, report));
  auto lying = TransferBuffer(L"\\\\.\\C:\\", {L"A"});
  lying[0] = 5;
  EXPECT_FALSE(ParseFragReport(lying, report));
  EXPECT_FALSE(ParseFragReport(std::vector<BYTE>(105, 0), report));
}

TEST(ToolsGuiReaders, TakeOnlyWellFormedDataIoBlocks) {
  auto block = [](std::uint16_t signature, std::uint32_t bodyLength, std::size_t size) {
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
    auto* p = static_cast<BYTE*>(GlobalLock(h));
    DataIoHeader header{signature, kDataIoFormat, 7, 1, bodyLength, 8203};
    std::memcpy(p, &header, sizeof(header));
    for (std::size_t i = sizeof(header); i < size; ++i) p[i] = static_cast<BYTE>(i);
    GlobalUnlock(h);
    return UniqueHGlobal(h);
  };
  std::uint32_t command = 0;
  std::vector<BYTE> body;
  auto good = block(kDataIoSignature, 4, 40);  // a block larger than its packet is fine
  ASSERT_TRUE(ReadDataIoBlock(good.get(), command, body));
  EXPECT_EQ(8203u, command);
  EXPECT_EQ((std::vector<BYTE>{16, 17, 18, 19}), body);
  auto wrongSignature = block(0x4D50, 4, 40);
  EXPECT_FALSE(ReadDataIoBlock(wrongSignature.get(), command, body));
  auto pastTheEnd = block(kDataIoSignature, 100, 40);
  EXPECT_FALSE(ReadDataIoBlock(pastTheEnd.get(), command, body));
}

TEST(ToolsGuiReaders, SplitAScriptIntoSteps) {
  EXPECT_EQ((std::vector<std::wstring>{L"analyze C", L"defrag C", L"report C", L"exit"}),
            SplitScript(L" analyze C; defrag C ;;report C\nexit "));
  EXPECT_TRUE(SplitScript(L" ; ").empty());
}

}  // namespace
