// Whole operations on one drive through the real link: the GUI's commands through the module's
// data objects, the service's messages through the receiving pipe, and every packet on both
// sides compared byte for byte.

#include "link_fixture.h"

namespace {

// The engine class text of an ID_INIT_ENGINE_COMM body, and its registry key.
std::wstring EngineClassText(const std::vector<BYTE>& commInit) { return TextAt(commInit, 102, 312); }

bool ClassKeyExists(const std::wstring& clsidText) {
  UniqueHKey key;
  return RegOpenKeyExW(HKEY_CLASSES_ROOT, (L"CLSID\\" + clsidText).c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

std::vector<BYTE> DisplaySizes(std::uint32_t analyze, std::uint32_t defrag) {
  return Bytes(8).U32(0, analyze).U32(4, defrag);
}

TEST_F(LinkTest, WholeAnalysisOfOneDrive) {
  SendDriveData(DriveDataBody({}));
  const std::size_t service0 = link.service.Count();
  const std::size_t gui0 = link.gui.Count();

  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_ANALYZE, OperationBody(L'D')));
  ASSERT_TRUE(link.service.WaitForCount(service0 + 1, kTimeout));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_ENGINE_START, L'D'));
  ASSERT_TRUE(link.gui.WaitForCount(gui0 + 2, kTimeout));
  ASSERT_EQ(S_OK, link.gui.EngineCreateResult(L'D'));
  const std::wstring engineClass = EngineClassText(link.gui.PacketsFor(L"D")[0].body);
  EXPECT_TRUE(ClassKeyExists(engineClass));

  // Worked values S = 8, T = 100, U = 25; the analysis percent sequence over two passes.
  const auto volume0 = VolumeDataBody(8, 100, 25, 2, 0);
  const auto volume1 = VolumeDataBody(8, 100, 25, 1, 1);
  ASSERT_TRUE(link.service.Send(TW4_0::ID_VOL_DATA, L'D', volume0, 0, L"Analyze"));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_ENGINE_PERCENT_DONE, L'D', {}, 60));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_VOL_DATA, L'D', volume1, 0, L"Analyze"));
  for (std::uint32_t percent : {30u, 45u, 0u}) {
    ASSERT_TRUE(link.service.Send(TW4_0::ID_ENGINE_PERCENT_DONE, L'D', {}, percent));
  }
  const auto display = PatternBody(1000, 3);
  ASSERT_TRUE(link.service.Send(TW4_0::ID_NEW_DISPLAY_DATA, L'D', display, 7));
  ASSERT_TRUE(link.gui.WaitForCount(gui0 + 11, kTimeout));

  // The GUI's commands through the engine object it made for D.
  ASSERT_EQ(S_OK, link.ToEngine(L'D', TW4_5::ID_QUERY_STATE));
  ASSERT_EQ(S_OK, link.ToEngine(L'D', TW4_5::ID_SETDISPDIMENSIONS, DisplaySizes(200, 300)));
  ASSERT_EQ(S_OK, link.ToEngine(L'D', TW4_5::ID_PAUSE));
  ASSERT_TRUE(link.service.WaitForCount(service0 + 3, kTimeout));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_ENGINE_PAUSE, L'D'));
  ASSERT_TRUE(link.gui.WaitForCount(gui0 + 14, kTimeout));
  ASSERT_EQ(S_OK, link.ToEngine(L'D', TW4_5::ID_CONTINUE));
  ASSERT_TRUE(link.gui.WaitForCount(gui0 + 16, kTimeout));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_ENGINE_EXIT, L'D'));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_ENGINE_EXIT, L'D'));  // no second end of scan

  const auto statistics0 = ExpectedStatistics(L'D', L"NTFS", 8, 100, 25, 0);
  const auto statistics1 = statistics0;  // the second volume data carries the same numbers
  EXPECT_EQ(800u, U64At(statistics0, 240));
  EXPECT_EQ(200u, U64At(statistics0, 256));
  EXPECT_EQ(600u, U64At(statistics0, 264));
  EXPECT_EQ(75u, U64At(statistics0, 272));
  auto shown = statistics1;
  shown[424] = 1;
  const std::vector<BYTE> displayBody =
      Bytes(1560).Text(0, VolumePath(L'D')).Put(104, shown).U32(536, 1000).U32(540, 7).Put(552, display);

  const std::vector<BYTE> commInit = link.gui.PacketsFor(L"D")[0].body;
  ExpectGuiPackets(GuiFrom(gui0, 19), {
      {L"D", TW4_5::ID_INIT_ENGINE_COMM, commInit},
      {L"D", TW4_5::ID_ENGINE_START, EngineInfoBody(L'D', L"NTFS", 1)},
      {L"D", TW4_5::ID_BEGIN_SCAN, BeginScanBody(L'D', L"NTFS", 8, 100, false)},
      {L"D", TW4_5::ID_STATUS, StatusBody(L'D', 0, 2)},
      {L"D", TW4_5::ID_DISP_DATA, VolumeDisplayBody(statistics0)},
      {L"D", TW4_5::ID_STATUS, StatusBody(L'D', 20, 2)},
      {L"D", TW4_5::ID_STATUS, StatusBody(L'D', 20, 2)},
      {L"D", TW4_5::ID_DISP_DATA, VolumeDisplayBody(statistics1)},
      {L"D", TW4_5::ID_STATUS, StatusBody(L'D', 43, 2)},
      {L"D", TW4_5::ID_STATUS, StatusBody(L'D', 66, 2)},
      {L"D", TW4_5::ID_DISP_DATA, displayBody},
      {L"D", TW4_5::ID_ENGINE_START, EngineInfoBody(L'D', L"NTFS", 1)},
      {L"D", TW4_5::ID_PAUSE, VolumePathBody(L'D')},
      {L"D", TW4_5::ID_STATUS, StatusBody(L'D', 66, 2)},
      {L"D", TW4_5::ID_CONTINUE, VolumePathBody(L'D')},
      {L"D", TW4_5::ID_STATUS, StatusBody(L'D', 66, 2)},
      {L"D", TW4_5::ID_END_SCAN, EngineInfoBody(L'D', L"NTFS", 1)},
      {L"D", TW4_5::ID_STATUS, StatusBody(L'D', 100, 3)},
      {L"D", TW4_5::ID_STATUS, StatusBody(L'D', 100, 3)},
  });
  EXPECT_EQ(std::wstring(), TextAt(commInit, 0, 51));
  EXPECT_EQ(38u, engineClass.size());

  ExpectServicePackets(ServiceFrom(service0, 4), {
      {TW4_0::ID_START_ANALYZE, L'D', 0, {}},
      {TW4_0::ID_NEED_DISPLAY_DATA, L'D', 200, {}},
      {TW4_0::ID_PAUSE_ANALYZE, L'D', 0, {}},
      {TW4_0::ID_CONTINUE_ANALYZE, L'D', 0, {}},
  });
  EXPECT_TRUE(trace.Contains(L"ID_ENGINE_PERCENT_DONE percent done = 45 pass = 1\n"));
  EXPECT_TRUE(trace.Contains(L"\n\nSENDING PERCENT DONE 43  new pass 1\n\n"));
  EXPECT_TRUE(trace.Contains(L"\n\nSENDING PERCENT DONE 66  new pass 2\n\n"));
}

TEST_F(LinkTest, WholeDefragmentationWithLateEngineStart) {
  SendDriveData(DriveDataBody({{L'E', L"FAT32", 0}}));
  const std::size_t service0 = link.service.Count();
  const std::size_t gui0 = link.gui.Count();

  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_DEFRAG, OperationBody(L'E')));
  ASSERT_TRUE(link.service.WaitForCount(service0 + 1, kTimeout));
  // No engine start: the volume data connects the drive. File system code 3 keeps "FAT32";
  // the second volume data's code 2 comes too late to change it, and its "analyze" is not
  // "Analyze". The defragmentation percent sequence: 24 at pass 1, then the jump to pass 8.
  ASSERT_TRUE(link.service.Send(TW4_0::ID_VOL_DATA, L'E', VolumeDataBody(8, 100, 25, 3, 1), 0, L"Defrag"));
  for (std::uint32_t percent : {117u, 50u}) {
    ASSERT_TRUE(link.service.Send(TW4_0::ID_ENGINE_PERCENT_DONE, L'E', {}, percent));
  }
  ASSERT_TRUE(link.service.Send(TW4_0::ID_VOL_DATA, L'E', VolumeDataBody(8, 0, 25, 2, 3), 0, L"analyze"));
  for (std::uint32_t percent : {45u, 0u}) {
    ASSERT_TRUE(link.service.Send(TW4_0::ID_ENGINE_PERCENT_DONE, L'E', {}, percent));
  }
  const auto display = PatternBody(1000, 9);
  ASSERT_TRUE(link.service.Send(TW4_0::ID_NEW_DISPLAY_DATA, L'E', display, 7));
  ASSERT_TRUE(link.gui.WaitForCount(gui0 + 11, kTimeout));
  ASSERT_EQ(S_OK, link.gui.EngineCreateResult(L'E'));
  ASSERT_EQ(S_OK, link.ToEngine(L'E', TW4_5::ID_SETDISPDIMENSIONS, DisplaySizes(200, 300)));
  ASSERT_EQ(S_OK, link.ToEngine(L'E', TW4_5::ID_STOP));
  ASSERT_TRUE(link.service.WaitForCount(service0 + 3, kTimeout));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_ENGINE_PAUSE, L'E'));  // state 1 after the stop
  ASSERT_TRUE(link.service.Send(TW4_0::ID_ENGINE_EXIT, L'E'));
  ASSERT_TRUE(link.gui.WaitForCount(gui0 + 15, kTimeout));
  // After the engine's end an abort needs no stop, and the GUI still hears of it.
  ASSERT_EQ(S_OK, link.ToEngine(L'E', TW4_5::ID_ABORT));

  const auto statistics0 = ExpectedStatistics(L'E', L"FAT32", 8, 100, 25, 0);
  auto shown = ExpectedStatistics(L'E', L"FAT32", 8, 0, 25, 1);  // T = 0: no division
  EXPECT_EQ(0u, U64At(shown, 272));
  const std::vector<BYTE> displayBody =
      Bytes(1560).Text(0, VolumePath(L'E')).Put(104, shown).U32(544, 1000).U32(548, 7).Put(552, display);
  const std::vector<BYTE> commInit = link.gui.PacketsFor(L"E")[0].body;
  ExpectGuiPackets(GuiFrom(gui0, 16), {
      {L"E", TW4_5::ID_INIT_ENGINE_COMM, commInit},
      {L"E", TW4_5::ID_ENGINE_START, EngineInfoBody(L'E', L"FAT32", 2)},
      {L"E", TW4_5::ID_BEGIN_SCAN, BeginScanBody(L'E', L"FAT32", 8, 100, true)},
      {L"E", TW4_5::ID_STATUS, StatusBody(L'E', 0, 5)},
      {L"E", TW4_5::ID_DISP_DATA, VolumeDisplayBody(statistics0)},
      {L"E", TW4_5::ID_STATUS, StatusBody(L'E', 24, 5)},
      {L"E", TW4_5::ID_STATUS, StatusBody(L'E', 24, 5)},
      {L"E", TW4_5::ID_DISP_DATA, VolumeDisplayBody(ExpectedStatistics(L'E', L"FAT32", 8, 0, 25, 0))},
      {L"E", TW4_5::ID_STATUS, StatusBody(L'E', 38, 5)},
      {L"E", TW4_5::ID_STATUS, StatusBody(L'E', 33, 5)},
      {L"E", TW4_5::ID_DISP_DATA, displayBody},
      {L"E", TW4_5::ID_PAUSE, VolumePathBody(L'E')},
      {L"E", TW4_5::ID_STATUS, StatusBody(L'E', 33, 1)},
      {L"E", TW4_5::ID_END_SCAN, EngineInfoBody(L'E', L"FAT32", 2)},
      {L"E", TW4_5::ID_STATUS, StatusBody(L'E', 100, 6)},
      {L"GUI", TW4_5::ID_ENGINE_TERMINATING, VolumePathBody(L'E')},
  });
  ExpectServicePackets(ServiceFrom(service0, 3), {
      {TW4_0::ID_START_DEFRAG, L'E', 0, {}},
      {TW4_0::ID_NEED_DISPLAY_DATA, L'E', 300, {}},
      {TW4_0::ID_STOP_DEFRAG, L'E', 0, {}},
  });
  EXPECT_EQ(1, trace.Count(L"TW4_5::BEGIN_SCAN_INFO Sent to GUI from TL\n"));
  EXPECT_TRUE(trace.Contains(L"ID_ENGINE_PERCENT_DONE percent done = 50 pass = 1\n"));
}

// One drive analysed, stopped, then defragmented: the stop follows the drive's operation, the
// second operation starts afresh (a new engine class and engine object, its own begin and end
// of scan) and each operation's percent done is cut down as its formula says.
TEST_F(LinkTest, AnalysisStoppedThenDefragmentationOfTheSameDrive) {
  SendDriveData(DriveDataBody({}));
  const std::size_t service0 = link.service.Count();
  const std::size_t gui0 = link.gui.Count();

  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_ANALYZE, OperationBody(L'D')));
  ASSERT_TRUE(link.service.WaitForCount(service0 + 1, kTimeout));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_ENGINE_START, L'D'));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_VOL_DATA, L'D', VolumeDataBody(8, 100, 25, 2, 0), 0, L"Analyze"));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_ENGINE_PERCENT_DONE, L'D', {}, 59));  // 59 / 3 = 19 2/3: 19
  ASSERT_TRUE(link.gui.WaitForCount(gui0 + 6, kTimeout));
  ASSERT_EQ(S_OK, link.gui.EngineCreateResult(L'D'));
  const ComPtr<IDataObject> analysisEngine = link.gui.EngineObject(L'D');
  ASSERT_EQ(S_OK, link.ToEngine(L'D', TW4_5::ID_STOP));
  ASSERT_TRUE(link.service.WaitForCount(service0 + 2, kTimeout));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_ENGINE_EXIT, L'D'));
  ASSERT_TRUE(link.gui.WaitForCount(gui0 + 8, kTimeout));

  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_DEFRAG, OperationBody(L'D')));
  ASSERT_TRUE(link.service.WaitForCount(service0 + 3, kTimeout));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_ENGINE_START, L'D'));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_VOL_DATA, L'D', VolumeDataBody(8, 100, 25, 2, 1), 0, L"Defrag"));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_ENGINE_PERCENT_DONE, L'D', {}, 98));  // 98 / 9 = 10 8/9: 10 + 11
  ASSERT_TRUE(link.gui.WaitForCount(gui0 + 14, kTimeout));
  ASSERT_EQ(S_OK, link.gui.EngineCreateResult(L'D'));
  EXPECT_NE(analysisEngine.get(), link.gui.EngineObject(L'D').get()) << "the GUI made a new engine object";
  ASSERT_EQ(S_OK, link.ToEngine(L'D', TW4_5::ID_STOP));
  ASSERT_TRUE(link.service.WaitForCount(service0 + 4, kTimeout));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_ENGINE_EXIT, L'D'));

  const auto statistics = VolumeDisplayBody(ExpectedStatistics(L'D', L"NTFS", 8, 100, 25, 0));
  const auto packets = GuiFrom(gui0, 16);
  ASSERT_EQ(16u, packets.size());
  const std::vector<BYTE> analysisClass = packets[0].body;
  const std::vector<BYTE> defragClass = packets[8].body;
  EXPECT_NE(EngineClassText(analysisClass), EngineClassText(defragClass)) << "each engine start makes a new class";
  EXPECT_EQ(19u, U32At(packets[5].body, 104)) << "59 in pass 0 of an analysis: 59 / 3 + 0, rounded down";
  EXPECT_EQ(21u, U32At(packets[13].body, 104)) << "98 in pass 1 of a defragmentation: 98 / 9 + 11, rounded down";
  ExpectGuiPackets(packets, {
      {L"D", TW4_5::ID_INIT_ENGINE_COMM, analysisClass},
      {L"D", TW4_5::ID_ENGINE_START, EngineInfoBody(L'D', L"NTFS", 1)},
      {L"D", TW4_5::ID_BEGIN_SCAN, BeginScanBody(L'D', L"NTFS", 8, 100, false)},
      {L"D", TW4_5::ID_STATUS, StatusBody(L'D', 0, 2)},
      {L"D", TW4_5::ID_DISP_DATA, statistics},
      {L"D", TW4_5::ID_STATUS, StatusBody(L'D', 19, 2)},
      {L"D", TW4_5::ID_END_SCAN, EngineInfoBody(L'D', L"NTFS", 1)},
      {L"D", TW4_5::ID_STATUS, StatusBody(L'D', 100, 3)},
      {L"D", TW4_5::ID_INIT_ENGINE_COMM, defragClass},
      {L"D", TW4_5::ID_ENGINE_START, EngineInfoBody(L'D', L"NTFS", 2)},
      {L"D", TW4_5::ID_BEGIN_SCAN, BeginScanBody(L'D', L"NTFS", 8, 100, true)},
      {L"D", TW4_5::ID_STATUS, StatusBody(L'D', 0, 5)},
      {L"D", TW4_5::ID_DISP_DATA, statistics},
      {L"D", TW4_5::ID_STATUS, StatusBody(L'D', 21, 5)},
      {L"D", TW4_5::ID_END_SCAN, EngineInfoBody(L'D', L"NTFS", 2)},
      {L"D", TW4_5::ID_STATUS, StatusBody(L'D', 100, 6)},
  });
  {
    SCOPED_TRACE("ID_STOP sends the stop of the operation the drive runs");
    ExpectServicePackets(ServiceFrom(service0, 4), {
        {TW4_0::ID_START_ANALYZE, L'D', 0, {}},
        {TW4_0::ID_STOP_ANALYZE, L'D', 0, {}},
        {TW4_0::ID_START_DEFRAG, L'D', 0, {}},
        {TW4_0::ID_STOP_DEFRAG, L'D', 0, {}},
    });
  }
}

}  // namespace
