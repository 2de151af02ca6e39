// The service stand-in through its real pipes, with this test playing the module's two ends:
// it writes commands into the control pipe and reads the answers on its own receiving pipe.

#include <gtest/gtest.h>

#include <cstring>

#include "common/display_map.h"
#include "common/service_wire.h"
#include "common/volume_figures.h"
#include "e2e/e2e_support.h"
#include "handoff/commands.h"

namespace {

constexpr DWORD kWait = 10000;

std::uint64_t U64At(const std::vector<BYTE>& body, std::size_t offset) {
  std::uint64_t v = 0;
  std::memcpy(&v, body.data() + offset, sizeof(v));
  return v;
}
std::uint32_t U32At(const std::vector<BYTE>& body, std::size_t offset) {
  std::uint32_t v = 0;
  std::memcpy(&v, body.data() + offset, sizeof(v));
  return v;
}
std::wstring TextOf(const std::vector<BYTE>& body, std::size_t offset = 0) {
  std::wstring text;
  for (std::size_t i = offset; i + 1 < body.size(); i += 2) {
    const wchar_t c = static_cast<wchar_t>(body[i] | (body[i + 1] << 8));
    if (c == 0) break;
    text += c;
  }
  return text;
}

class ServiceStandIn : public ::testing::Test {
 protected:
  // The stand-in in console mode, connected as the module connects: probe, then ID_GUI_START
  // naming the receiving pipe by its UNC name.
  void StartService(unsigned tickMs) {
    ASSERT_TRUE(pipes.Listen());
    ASSERT_TRUE(service.Start(L"tarnswell_service.exe", L"--console --seed 7 --tick " + std::to_wstring(tickMs)));
    ASSERT_TRUE(pipes.ConnectControl(kWait)) << service.Output();
    ASSERT_TRUE(pipes.Send(0));  // the probe
    ASSERT_TRUE(pipes.Send(TW4_0::ID_GUI_START, 0, 0, FakeModulePipes::GuiPipeNameBody()));
    ASSERT_GE(pipes.WaitFor(TW4_0::ID_DRIVE_DATA, 0, kWait), 0) << service.Output();
  }
  void TearDown() override {
    pipes.CloseControl();
    service.Kill();
  }
  // Runs an engine on `drive` to its exit; the packets from `from` on.
  std::vector<ReceivedPacket> RunEngine(std::uint32_t startCommand, WCHAR drive) {
    const std::size_t from = pipes.Packets().size();
    EXPECT_TRUE(pipes.Send(startCommand, drive));
    const int exit = pipes.WaitFor(TW4_0::ID_ENGINE_EXIT, drive, 30000, from);
    EXPECT_GE(exit, 0) << service.Output();
    auto all = pipes.Packets();
    return std::vector<ReceivedPacket>(all.begin() + static_cast<std::ptrdiff_t>(from),
                                       exit < 0 ? all.end() : all.begin() + exit + 1);
  }

  FakeModulePipes pipes;
  ChildProgram service;
};

TEST_F(ServiceStandIn, AnswersGuiStartWithItsDrives) {
  StartService(5);
  const auto packets = pipes.Packets();
  ASSERT_GE(packets.size(), 2u);
  EXPECT_EQ(TW4_0::ID_INITIALIZE_CONTROLLER, packets[0].header.dwCommand);
  const auto& data = packets[static_cast<std::size_t>(pipes.WaitFor(TW4_0::ID_DRIVE_DATA, 0, 0))];
  ASSERT_EQ(sizeof(ServiceDriveDataBody), data.body.size());
  ServiceDriveDataBody drives;
  std::memcpy(&drives, data.body.data(), sizeof(drives));
  for (int i = 0; i < 26; ++i) EXPECT_EQ(L'A' + i, drives.Drives[i].cDrive);
  EXPECT_STREQ(L"", drives.Drives[0].szFileSystem);
  EXPECT_STREQ(L"NTFS", drives.Drives[2].szFileSystem);
  EXPECT_STREQ(L"NTFS", drives.Drives[3].szFileSystem);
  EXPECT_STREQ(L"FAT", drives.Drives[4].szFileSystem);
  EXPECT_STREQ(L"CDFS", drives.Drives[5].szFileSystem);
  for (const auto& d : drives.Drives) EXPECT_EQ(kEngineCodeNone, d.dwEngineCode);
  // Asked again, it answers again.
  const std::size_t from = pipes.Packets().size();
  ASSERT_TRUE(pipes.Send(TW4_0::ID_DRIVE_DATA));
  EXPECT_GE(pipes.WaitFor(TW4_0::ID_DRIVE_DATA, 0, kWait, from), 0);
}

TEST_F(ServiceStandIn, AnalysisReportsPassesPercentsAndFragmentedFiles) {
  StartService(1);
  const auto run = RunEngine(TW4_0::ID_START_ANALYZE, L'C');
  ASSERT_FALSE(run.empty());
  EXPECT_EQ(TW4_0::ID_ENGINE_START, run.front().header.dwCommand);
  EXPECT_EQ(TW4_0::ID_ENGINE_EXIT, run.back().header.dwCommand);

  std::vector<std::uint32_t> passes;
  std::uint32_t lastPercent = 0;
  const ReceivedPacket* lastVolume = nullptr;
  const ReceivedPacket* list = nullptr;
  for (const auto& p : run) {
    EXPECT_EQ(L'C', p.header.cDrive);
    if (p.header.dwCommand == TW4_0::ID_VOL_DATA) {
      ASSERT_EQ(kVolumeDataBodySize, p.body.size());
      EXPECT_STREQ(L"Analyze", p.header.szText);
      passes.push_back(U32At(p.body, VolumeDataOffset::Pass));
      lastVolume = &p;
      lastPercent = 0;
    } else if (p.header.dwCommand == TW4_0::ID_ENGINE_PERCENT_DONE) {
      EXPECT_GE(p.header.dwParam, lastPercent);  // rising within a pass
      EXPECT_LE(p.header.dwParam, 100u);
      lastPercent = p.header.dwParam;
    } else if (p.header.dwCommand == TW4_0::ID_FRAGGED_FILE_LIST) {
      list = &p;
    }
  }
  EXPECT_EQ((std::vector<std::uint32_t>{0, 1, 2, 2}), passes);  // the last repeats the result
  ASSERT_NE(nullptr, lastVolume);
  const auto& body = lastVolume->body;
  const std::uint64_t clusterBytes = U64At(body, VolumeDataOffset::ClusterBytes);
  const std::uint64_t total = U64At(body, VolumeDataOffset::TotalClusters);
  const std::uint64_t free = U64At(body, VolumeDataOffset::FreeClusters);
  EXPECT_EQ(2u, U32At(body, VolumeDataOffset::FileSystemCode));
  EXPECT_EQ(4096u, clusterBytes);
  EXPECT_LT(free, total);
  EXPECT_GT(U64At(body, VolumeDataOffset::Files), U64At(body, VolumeDataOffset::Directories));
  const std::uint64_t fragmented = U64At(body, VolumeDataOffset::FragmentedFiles);
  EXPECT_GE(fragmented, 20u);

  // The list: whole records, as many as fit one packet, the most fragmented first.
  ASSERT_NE(nullptr, list);
  ASSERT_EQ(0u, list->body.size() % sizeof(FraggedFileRecord));
  const std::size_t records = list->body.size() / sizeof(FraggedFileRecord);
  EXPECT_EQ(std::min<std::uint64_t>(fragmented, kPipeMaxBody / sizeof(FraggedFileRecord)), records);
  std::int64_t previous = INT64_MAX;
  for (std::size_t i = 0; i < records; ++i) {
    FraggedFileRecord r;
    std::memcpy(&r, list->body.data() + i * sizeof(r), sizeof(r));
    EXPECT_GE(r.llFragments, 2);
    EXPECT_LE(r.llFragments, previous);
    EXPECT_GT(r.llFileSize, 0);
    EXPECT_EQ(0, wcsncmp(r.szPath, L"\\\\.\\C:\\", 7)) << i;
    previous = r.llFragments;
  }
}

TEST_F(ServiceStandIn, DefragmentationLeavesOnlyUnmovableFilesAndRedrawsTheMap) {
  StartService(1);
  // A display size asked for is answered at once, and again at every pass.
  std::size_t from = pipes.Packets().size();
  ASSERT_TRUE(pipes.Send(TW4_0::ID_NEED_DISPLAY_DATA, L'C', 256));
  const int first = pipes.WaitFor(TW4_0::ID_NEW_DISPLAY_DATA, L'C', kWait, from);
  ASSERT_GE(first, 0);
  const auto before = pipes.Packets()[static_cast<std::size_t>(first)];
  EXPECT_EQ(256u, before.header.dwParam);
  ASSERT_EQ(256u, before.body.size());
  std::size_t fragmentedBlocks = 0;
  for (BYTE b : before.body) {
    EXPECT_LE(b, kMapSystem);
    fragmentedBlocks += b == kMapFragmented;
  }
  EXPECT_GT(fragmentedBlocks, 0u);

  const auto run = RunEngine(TW4_0::ID_START_DEFRAG, L'C');
  std::size_t volumeData = 0, displays = 0;
  const ReceivedPacket* lastVolume = nullptr;
  const ReceivedPacket* lastMap = nullptr;
  for (const auto& p : run) {
    if (p.header.dwCommand == TW4_0::ID_VOL_DATA) {
      EXPECT_STREQ(L"Defragment", p.header.szText);
      ++volumeData;
      lastVolume = &p;
    }
    if (p.header.dwCommand == TW4_0::ID_NEW_DISPLAY_DATA) {
      ++displays;
      lastMap = &p;
    }
  }
  EXPECT_EQ(10u, volumeData);  // nine passes and the result
  EXPECT_EQ(10u, displays);
  ASSERT_NE(nullptr, lastVolume);
  ASSERT_NE(nullptr, lastMap);
  const std::uint64_t left = U64At(lastVolume->body, VolumeDataOffset::FragmentedFiles);
  EXPECT_EQ(U64At(lastVolume->body, VolumeDataOffset::UnmovableFiles), left);
  EXPECT_EQ(0u, U64At(lastVolume->body, VolumeDataOffset::FragmentedDirectories));
  EXPECT_EQ(1u, U64At(lastVolume->body, VolumeDataOffset::FreeExtents));
  for (BYTE b : lastMap->body) EXPECT_NE(kMapFragmented, b);

  // A later analysis sees the defragmented volume.
  const auto again = RunEngine(TW4_0::ID_START_ANALYZE, L'C');
  for (const auto& p : again) {
    if (p.header.dwCommand == TW4_0::ID_VOL_DATA) {
      EXPECT_EQ(left, U64At(p.body, VolumeDataOffset::FragmentedFiles));
    }
  }
}

TEST_F(ServiceStandIn, PausesContinuesAndStops) {
  StartService(40);
  std::size_t from = pipes.Packets().size();
  ASSERT_TRUE(pipes.Send(TW4_0::ID_START_DEFRAG, L'D'));
  ASSERT_GE(pipes.WaitFor(TW4_0::ID_ENGINE_PERCENT_DONE, L'D', kWait, from), 0);
  ASSERT_TRUE(pipes.Send(TW4_0::ID_PAUSE_DEFRAG, L'D'));
  const int paused = pipes.WaitFor(TW4_0::ID_ENGINE_PAUSE, L'D', kWait, from);
  ASSERT_GE(paused, 0);
  // While paused the engine reports nothing: at most the report of the step under way. (A
  // bounded wait for something that must not come.)
  Sleep(600);
  const auto whilePaused = pipes.Packets();
  std::size_t reports = 0;
  for (std::size_t i = static_cast<std::size_t>(paused); i < whilePaused.size(); ++i) {
    reports += whilePaused[i].header.dwCommand == TW4_0::ID_ENGINE_PERCENT_DONE;
  }
  EXPECT_LE(reports, 1u);
  const std::size_t atPause = whilePaused.size();
  ASSERT_TRUE(pipes.Send(TW4_0::ID_CONTINUE_DEFRAG, L'D'));
  const int continued = pipes.WaitFor(TW4_0::ID_ENGINE_CONTINUE, L'D', kWait, atPause);
  ASSERT_GE(continued, 0);
  EXPECT_GE(pipes.WaitFor(TW4_0::ID_ENGINE_PERCENT_DONE, L'D', kWait, static_cast<std::size_t>(continued)), 0);
  ASSERT_TRUE(pipes.Send(TW4_0::ID_STOP_DEFRAG, L'D'));
  const int exit = pipes.WaitFor(TW4_0::ID_ENGINE_EXIT, L'D', kWait, static_cast<std::size_t>(continued));
  ASSERT_GE(exit, 0);
  // Stopped early: no fragmented-file list came with the exit.
  EXPECT_LT(pipes.WaitFor(TW4_0::ID_FRAGGED_FILE_LIST, L'D', 0, from), 0);
  // The drive data now says the engine has finished (code 10).
  from = pipes.Packets().size();
  ASSERT_TRUE(pipes.Send(TW4_0::ID_DRIVE_DATA));
  const int data = pipes.WaitFor(TW4_0::ID_DRIVE_DATA, 0, kWait, from);
  ASSERT_GE(data, 0);
  ServiceDriveDataBody drives;
  std::memcpy(&drives, pipes.Packets()[static_cast<std::size_t>(data)].body.data(), sizeof(drives));
  EXPECT_EQ(kEngineCodeFinished, drives.Drives[3].dwEngineCode);
}

TEST_F(ServiceStandIn, KeepsSettingsAcrossRequestsAndSaves) {
  StartService(5);
  std::size_t from = pipes.Packets().size();
  ASSERT_TRUE(pipes.Send(TW4_0::ID_REQUEST_LOG_DATA));
  int at = pipes.WaitFor(TW4_0::ID_NEW_LOG_DATA, 0, kWait, from);
  ASSERT_GE(at, 0);
  EXPECT_NE(std::wstring::npos, TextOf(pipes.Packets()[static_cast<std::size_t>(at)].body).find(L"LogFile="));

  ASSERT_TRUE(pipes.Send(TW4_0::ID_NEW_LOG_DATA, 0, 0, TextBytes(L"LogFile=D:\\logs\\mill.log")));
  ASSERT_TRUE(pipes.Send(TW4_0::ID_SAVE_SCHEDULING_EX, 0, 0, TextBytes(L"Weekly Sunday 03:00")));
  ASSERT_TRUE(pipes.Send(TW4_0::ID_NEW_PRIORITY_DATA, 0, 0, TextBytes(L"Priority=High")));
  from = pipes.Packets().size();
  ASSERT_TRUE(pipes.Send(TW4_0::ID_REQUEST_LOG_DATA));
  ASSERT_TRUE(pipes.Send(TW4_0::ID_REQUEST_SCHEDULING_EX));
  ASSERT_TRUE(pipes.Send(TW4_0::ID_REQUEST_PRIORITY_DATA));
  at = pipes.WaitFor(TW4_0::ID_NEW_LOG_DATA, 0, kWait, from);
  ASSERT_GE(at, 0);
  EXPECT_EQ(L"LogFile=D:\\logs\\mill.log", TextOf(pipes.Packets()[static_cast<std::size_t>(at)].body));
  at = pipes.WaitFor(TW4_0::ID_NEW_SCHEDULING_DATA_EX, 0, kWait, from);
  ASSERT_GE(at, 0);
  EXPECT_EQ(L"Weekly Sunday 03:00", TextOf(pipes.Packets()[static_cast<std::size_t>(at)].body));
  at = pipes.WaitFor(TW4_0::ID_NEW_PRIORITY_DATA, 0, kWait, from);
  ASSERT_GE(at, 0);
  EXPECT_EQ(L"Priority=High", TextOf(pipes.Packets()[static_cast<std::size_t>(at)].body));

  // Exclusion data: an 8-byte head, the fixed part, then the list; a save replaces the list.
  from = pipes.Packets().size();
  ASSERT_TRUE(pipes.Send(TW4_0::ID_REQUEST_EXCLUDE_DATA_EX));
  at = pipes.WaitFor(TW4_0::ID_NEW_EXCLUDE_DATA_EX, 0, kWait, from);
  ASSERT_GE(at, 0);
  const auto first = pipes.Packets()[static_cast<std::size_t>(at)].body;
  ASSERT_GT(first.size(), 8 + kExclusionFixedSize);
  EXPECT_EQ(L"C:\\pagefile.sys", TextOf(first, 8 + kExclusionFixedSize));
  std::vector<BYTE> saved(first.begin() + 8, first.begin() + 8 + static_cast<std::ptrdiff_t>(kExclusionFixedSize));
  const auto list = TextBytes(L"E:\\SETUP");
  saved.insert(saved.end(), list.begin(), list.end());
  saved.push_back(0);
  saved.push_back(0);
  ASSERT_TRUE(pipes.Send(TW4_0::ID_NEW_EXCLUDE_DATA, 0, 0, saved));
  from = pipes.Packets().size();
  ASSERT_TRUE(pipes.Send(TW4_0::ID_REQUEST_EXCLUDE_DATA_EX));
  at = pipes.WaitFor(TW4_0::ID_NEW_EXCLUDE_DATA_EX, 0, kWait, from);
  ASSERT_GE(at, 0);
  const auto second = pipes.Packets()[static_cast<std::size_t>(at)].body;
  EXPECT_EQ(std::vector<BYTE>(second.begin() + 8, second.end()), saved);
}

TEST_F(ServiceStandIn, RefusesDrivesItCannotWorkOnWithAText) {
  StartService(5);
  const std::size_t from = pipes.Packets().size();
  ASSERT_TRUE(pipes.Send(TW4_0::ID_START_ANALYZE, L'F'));
  ASSERT_TRUE(pipes.Send(TW4_0::ID_START_DEFRAG, L'Q'));
  int at = pipes.WaitFor(TW4_0::ID_DISPLAY_MESSAGE, 0, kWait, from);
  ASSERT_GE(at, 0);
  EXPECT_EQ(L"Drive F: cannot be analyzed: its file system (CDFS) is not supported.",
            TextOf(pipes.Packets()[static_cast<std::size_t>(at)].body));
  at = pipes.WaitFor(TW4_0::ID_DISPLAY_MESSAGE, 0, kWait, static_cast<std::size_t>(at) + 1);
  ASSERT_GE(at, 0);
  EXPECT_EQ(L"There is no drive Q: on this computer.", TextOf(pipes.Packets()[static_cast<std::size_t>(at)].body));
  EXPECT_LT(pipes.WaitFor(TW4_0::ID_ENGINE_START, 0, 0, from), 0);
}

TEST_F(ServiceStandIn, TakesTheModuleBackAfterItReconnectsAndLetsGoAtDisconnect) {
  StartService(5);
  pipes.CloseControl();
  ASSERT_TRUE(pipes.ConnectControl(kWait));
  const std::size_t from = pipes.Packets().size();
  ASSERT_TRUE(pipes.Send(0));
  ASSERT_TRUE(pipes.Send(TW4_0::ID_DRIVE_DATA));
  EXPECT_GE(pipes.WaitFor(TW4_0::ID_DRIVE_DATA, 0, kWait, from), 0);
  // The GUI's exit: ID_GUI_STOP, then the disconnection, after which the service closes its end.
  ASSERT_TRUE(pipes.Send(TW4_0::ID_GUI_STOP));
  ASSERT_TRUE(pipes.Send(ID_PIPE_DISCONNECTED));
  EXPECT_TRUE(pipes.WaitForDisconnect(kWait));
  // A malformed packet (a body larger than any packet) costs the connection, not the service.
  PipePacket bad{};
  bad.dwCommand = TW4_0::ID_NEW_LOG_DATA;
  bad.dwDataSize = kPipePacketRoom;
  std::vector<BYTE> raw(sizeof(bad));
  std::memcpy(raw.data(), &bad, sizeof(bad));
  ASSERT_TRUE(pipes.ConnectControl(kWait));
  ASSERT_TRUE(pipes.SendRaw(raw));
  EXPECT_TRUE(service.WaitForOutput("connection dropped", kWait)) << service.Output();
  DWORD exitCode = 0;
  EXPECT_FALSE(service.Wait(0, exitCode));  // still running
}

}  // namespace
