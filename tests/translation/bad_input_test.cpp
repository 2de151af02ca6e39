// Bad input from either side: each is traced and dropped without reading or writing outside
// what arrived, and the next valid message is still translated.

#include "link_fixture.h"

#include <cstring>

#include "shared/block.h"
#include "handoff/translation_message.h"
#include "translation/translation_thread.h"

namespace {

constexpr std::uint32_t kMaxBody = 59952;

// Sends a valid analysis of `drive` and checks that it is the only thing the service got
// since `from`.
void ExpectOnlyAnalysisAfter(LinkedLayer& link, std::size_t from, WCHAR drive) {
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_ANALYZE, OperationBody(drive)));
  ASSERT_TRUE(link.service.WaitForCount(from + 1, kTimeout));
  ASSERT_TRUE(link.service.WaitForQuiet(200, kTimeout));
  const auto packets = link.service.Packets();
  ASSERT_EQ(from + 1, packets.size());
  EXPECT_EQ(TW4_0::ID_START_ANALYZE, packets.back().header.dwCommand);
  EXPECT_EQ(drive, packets.back().header.cDrive);
}

TEST_F(LinkTest, GuiCommandsWithoutWhatTheyReadAreDropped) {
  const std::size_t service0 = link.service.Count();
  std::vector<BYTE> unterminated(726, 0x41);
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_ANALYZE));
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_ANALYZE, PatternBody(9)));
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_DEFRAG, OperationBody(L'1')));
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_CURRENT_DRIVE, PatternBody(1)));
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_CURRENT_DRIVE, Bytes(2).U16(0, L'#')));
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_INIT_SERVICE_COMM, PatternBody(103)));
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_INIT_SERVICE_COMM, unterminated));
  // Per-drive commands through the pseudo-service object carry no drive.
  for (std::uint32_t command : {TW4_5::ID_STOP, TW4_5::ID_PAUSE, TW4_5::ID_CONTINUE, TW4_5::ID_ABORT,
                                TW4_5::ID_QUERY_STATE}) {
    ASSERT_EQ(S_OK, link.ToService(command));
  }
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_SETDISPDIMENSIONS, PatternBody(8)));
  ExpectOnlyAnalysisAfter(link, service0, L'C');

  EXPECT_EQ(1, trace.Count(L"ID_ANALYZE dropped: its body holds 0 bytes, 10 are needed\n"));
  EXPECT_EQ(1, trace.Count(L"ID_ANALYZE dropped: its body holds 9 bytes, 10 are needed\n"));
  EXPECT_EQ(1, trace.Count(L"ID_DEFRAG dropped: drive letter 49 names no drive\n"));
  EXPECT_EQ(1, trace.Count(L"ID_CURRENT_DRIVE dropped: its body holds 1 bytes, 2 are needed\n"));
  EXPECT_EQ(1, trace.Count(L"ID_CURRENT_DRIVE dropped: drive letter 35 names no drive\n"));
  EXPECT_EQ(1, trace.Count(L"ID_INIT_SERVICE_COMM dropped: its body holds 103 bytes, 104 are needed\n"));
  EXPECT_EQ(1, trace.Count(L"ID_INIT_SERVICE_COMM dropped: the class identifier text is not terminated inside the body\n"));
  for (const wchar_t* name : {L"ID_STOP", L"ID_PAUSE", L"ID_CONTINUE", L"ID_ABORT", L"ID_QUERY_STATE",
                              L"ID_SETDISPDIMENSIONS"}) {
    EXPECT_EQ(1, trace.Count(std::wstring(name) + L" dropped: drive letter 0 names no drive\n")) << name;
  }
  EXPECT_TRUE(link.Boxes().empty());  // no activation was tried for a bad class text
}

TEST_F(LinkTest, SavesThatDoNotFitAPipePacketAreRefusedWhole) {
  const std::size_t service0 = link.service.Count();
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_SAVE_SCHEDULING, PatternBody(kMaxBody + 1)));
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_SAVE_EXCLUDE_DATA, PatternBody(kMaxBody - 7696 + 1)));
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_SAVE_PRIORITY_DATA, PatternBody(kMaxBody, 1)));
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_SAVE_EXCLUDE_DATA, PatternBody(kMaxBody - 7696, 2)));

  std::vector<BYTE> prefixed(7696, 0);
  const auto exclusion = PatternBody(kMaxBody - 7696, 2);
  prefixed.insert(prefixed.end(), exclusion.begin(), exclusion.end());
  ExpectServicePackets(ServiceFrom(service0, 2), {
      {TW4_0::ID_NEW_PRIORITY_DATA, 0, 0, PatternBody(kMaxBody, 1)},
      {TW4_0::ID_NEW_EXCLUDE_DATA, 0, 0, prefixed},
  });
  EXPECT_TRUE(trace.Contains(
      L"ID_SAVE_SCHEDULING refused: 59953 bytes of settings and 0 bytes in front of them do not fit a pipe packet of 60000\n"));
  EXPECT_TRUE(trace.Contains(
      L"ID_SAVE_EXCLUDE_DATA refused: 52257 bytes of settings and 7696 bytes in front of them do not fit a pipe packet of 60000\n"));
  ExpectOnlyAnalysisAfter(link, service0 + 2, L'D');
}

TEST_F(LinkTest, ServiceMessagesShorterThanTheyReadAreDropped) {
  const std::size_t gui0 = link.gui.Count();
  const std::size_t service0 = link.service.Count();
  ASSERT_TRUE(link.service.Send(TW4_0::ID_DRIVE_DATA, 0, DriveDataBody({{L'C', L"NTFS", 1}}, 2111)));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_NEW_EXCLUDE_DATA_EX, 0, PatternBody(7703)));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_VOL_DATA, L'C', VolumeDataBody(8, 100, 25, 2, 0, 1639), 0, L"Analyze"));
  ASSERT_TRUE(trace.WaitFor(L"ID_VOL_DATA dropped: its body holds 1639 bytes, 1640 are needed\n", kTimeout));
  // The drive data did not count: the GUI's request is still not passed on.
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_REQUEST_DRIVE_DATA));
  // The exclusion data did not count either: the prefix is still zeros.
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_SAVE_EXCLUDE_DATA, PatternBody(4)));
  std::vector<BYTE> zeroPrefixed(7696, 0);
  const auto four = PatternBody(4);
  zeroPrefixed.insert(zeroPrefixed.end(), four.begin(), four.end());
  ExpectServicePackets(ServiceFrom(service0, 1), {{TW4_0::ID_NEW_EXCLUDE_DATA, 0, 0, zeroPrefixed}});

  // The same messages at their full length are translated.
  SendDriveData(DriveDataBody({}, 2112));
  EXPECT_EQ(gui0 + 1, link.gui.Count());
  EXPECT_TRUE(trace.Contains(L"ID_DRIVE_DATA dropped: its body holds 2111 bytes, 2112 are needed\n"));
  EXPECT_TRUE(trace.Contains(L"ID_NEW_EXCLUDE_DATA_EX dropped: its body holds 7703 bytes, 7704 are needed\n"));
  EXPECT_EQ(1, trace.Count(L"ID_REQUEST_DRIVE_DATA ignored\n"));
}

TEST_F(LinkTest, PerDriveMessagesWithoutADriveAreDropped) {
  SendDriveData(DriveDataBody({}));
  const std::size_t gui0 = link.gui.Count();
  const std::vector<std::pair<std::uint32_t, std::vector<BYTE>>> messages = {
      {TW4_0::ID_ENGINE_START, {}},       {TW4_0::ID_ENGINE_PAUSE, {}},
      {TW4_0::ID_ENGINE_EXIT, {}},        {TW4_0::ID_ENGINE_PERCENT_DONE, {}},
      {TW4_0::ID_VOL_DATA, VolumeDataBody(8, 100, 25, 2, 0)},
      {TW4_0::ID_NEW_DISPLAY_DATA, PatternBody(10)}, {TW4_0::ID_FRAGGED_FILE_LIST, PatternBody(536)},
  };
  // 0x0141 has the low byte of 'A': only whole letters name drives.
  for (WCHAR letter : {WCHAR{0}, WCHAR{L'['}, WCHAR{L'1'}, WCHAR{0x0141}}) {
    for (const auto& m : messages) ASSERT_TRUE(link.service.Send(m.first, letter, m.second));
  }
  // A lower-case letter names its drive.
  ASSERT_TRUE(link.service.Send(TW4_0::ID_ENGINE_START, L'c'));
  ASSERT_TRUE(link.gui.WaitForCount(gui0 + 2, kTimeout));
  Settle();
  const auto packets = link.gui.Packets();
  ASSERT_EQ(gui0 + 2, packets.size());
  EXPECT_EQ(L"C", packets[gui0].target);
  EXPECT_EQ(TW4_5::ID_INIT_ENGINE_COMM, packets[gui0].command);
  EXPECT_EQ(TW4_5::ID_ENGINE_START, packets[gui0 + 1].command);
  for (const wchar_t* name : {L"ID_ENGINE_START", L"ID_ENGINE_PAUSE", L"ID_ENGINE_EXIT", L"ID_ENGINE_PERCENT_DONE",
                              L"ID_VOL_DATA", L"ID_NEW_DISPLAY_DATA", L"ID_FRAGGED_FILE_LIST"}) {
    for (int letter : {0, int{'['}, int{'1'}, 0x0141}) {
      EXPECT_EQ(1, trace.Count(std::wstring(name) + L" dropped: drive letter " + std::to_wstring(letter) +
                               L" names no drive\n"))
          << name << " " << letter;
    }
  }
}

TEST_F(LinkTest, NoMemoryForExclusionOrDisplayPacketSendsNothingHalfBuilt) {
  SendDriveData(DriveDataBody({}));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_ENGINE_START, L'C'));
  ASSERT_TRUE(link.gui.WaitForCount(3, kTimeout));
  const std::size_t gui0 = link.gui.Count();
  const auto fixedPart = PatternBody(7696, 1);
  std::vector<BYTE> exclusion(8, 0);
  exclusion.insert(exclusion.end(), fixedPart.begin(), fixedPart.end());

  SetAllocBlockFailureThread(g_dwTLThreadId);
  ASSERT_TRUE(link.service.Send(TW4_0::ID_NEW_DISPLAY_DATA, L'C', PatternBody(1000), 7));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_NEW_EXCLUDE_DATA_EX, 0, exclusion));
  const bool traced = trace.WaitFor(L"ID_NEW_EXCLUDE_DATA_EX dropped: no memory for a block of " +
                                        std::to_wstring(7696 + (link.ComputerName().size() + 1) * 2) +
                                        L" bytes; nothing sent\n",
                                    kTimeout);
  SetAllocBlockFailureThread(0);
  ASSERT_TRUE(traced);
  EXPECT_TRUE(trace.Contains(L"ID_NEW_DISPLAY_DATA dropped: no memory for a block of 1560 bytes; nothing sent\n"));

  // The service's fixed part was kept all the same; the next display data goes through.
  const std::size_t service0 = link.service.Count();
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_SAVE_EXCLUDE_DATA, PatternBody(2)));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_NEW_DISPLAY_DATA, L'C', PatternBody(1000), 7));
  ASSERT_TRUE(link.gui.WaitForCount(gui0 + 1, kTimeout));
  const auto packets = link.gui.Packets();
  ASSERT_EQ(gui0 + 1, packets.size());
  EXPECT_EQ(TW4_5::ID_DISP_DATA, packets.back().command);
  EXPECT_EQ(1560u, packets.back().body.size());
  std::vector<BYTE> prefixed = fixedPart;
  prefixed.push_back(PatternBody(2)[0]);
  prefixed.push_back(PatternBody(2)[1]);
  ExpectServicePackets(ServiceFrom(service0, 1), {{TW4_0::ID_NEW_EXCLUDE_DATA, 0, 0, prefixed}});
}

// Blocks posted as the data object and the pipe thread post them, but whose headers promise
// more than the block holds.
TEST_F(LinkTest, BlocksThatDoNotHoldWhatTheirHeaderAnnouncesAreDropped) {
  const std::size_t service0 = link.service.Count();
  auto* gui = static_cast<BYTE*>(AllocBlock(16 + 10));
  ASSERT_NE(nullptr, gui);
  std::memset(gui, 0, 26);
  const std::uint32_t guiLength = 100;
  std::memcpy(gui + 8, &guiLength, 4);
  ASSERT_TRUE(PostTranslationMessage(MakeTranslationParam(TW4_5::ID_SAVE_LOG_DATA, kFromGui, 0), gui, CurrentSession()));

  auto* service = static_cast<BYTE*>(AllocBlock(48 + 10));
  ASSERT_NE(nullptr, service);
  PipePacket header{};
  header.dwCommand = TW4_0::ID_NEW_LOG_DATA;
  header.dwDataSize = 100;
  std::memcpy(service, &header, sizeof(header));
  ASSERT_TRUE(PostTranslationMessage(MakeTranslationParam(TW4_0::ID_NEW_LOG_DATA, kFromService, 0), service, CurrentSession()));
  ASSERT_TRUE(PostTranslationMessage(MakeTranslationParam(TW4_0::ID_ENGINE_START, kFromService, 0), nullptr, CurrentSession()));

  ExpectOnlyAnalysisAfter(link, service0, L'E');
  EXPECT_EQ(0u, link.gui.Count());
  EXPECT_TRUE(trace.Contains(L"TranslateCommand dropped Command 8617: its block of 26 bytes does not hold what its header announces\n"));
  EXPECT_TRUE(trace.Contains(L"TranslateCommand dropped Command 8106: its block of 58 bytes does not hold what its header announces\n"));
  EXPECT_TRUE(trace.Contains(L"TranslateCommand dropped Command 8300: its block of 0 bytes does not hold what its header announces\n"));
}

}  // namespace
