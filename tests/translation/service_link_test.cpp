// The drive data walk, settings in both directions and the GUI's exit, through the real link.

#include "link_fixture.h"

#include "pipes/pipe_out.h"
#include "translation/translation_thread.h"

#include <string>

namespace {

std::wstring DriveClassText(const std::vector<BYTE>& list, int index) { return TextAt(list, 376 * index + 268, 54); }

TEST_F(LinkTest, DriveDataWalksTheEnginesAndEndsOnTheCurrentDrive) {
  const std::size_t service0 = link.service.Count();
  // Before the first drive data the GUI's request has no one to answer it.
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_REQUEST_DRIVE_DATA));
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_CURRENT_DRIVE, Bytes(2).U16(0, L'D')));
  // Letters that name no drive are refused: D stays the current drive.
  for (WCHAR refused : {WCHAR(L'1'), WCHAR(L'['), WCHAR(0)}) {
    ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_CURRENT_DRIVE, Bytes(2).U16(0, refused)));
  }
  ASSERT_TRUE(link.service.WaitForCount(service0 + 1, kTimeout));

  SendDriveData(DriveDataBody({{L'C', L"NTFS", 1}, {L'E', L"FAT", 7}, {L'F', L"CDFS", 10}, {L'Z', L"", 0}}), 4);
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_REQUEST_DRIVE_DATA));
  ExpectServicePackets(ServiceFrom(service0, 6), {
      {TW4_0::ID_CURRENT_DRIVE, L'D', 0, {}},
      {TW4_0::ID_GUI_START_COMM, 0, 0, {}},
      {TW4_0::ID_CURRENT_DRIVE, L'C', 0, {}},
      {TW4_0::ID_CURRENT_DRIVE, L'E', 0, {}},
      {TW4_0::ID_CURRENT_DRIVE, L'D', 0, {}},
      {TW4_0::ID_DRIVE_DATA, 0, 0, {}},
  });
  EXPECT_EQ(1, trace.Count(L"ID_REQUEST_DRIVE_DATA ignored\n"));
  EXPECT_TRUE(trace.Contains(L"Drive  E has an engine state of 7\n"));
  EXPECT_TRUE(trace.Contains(L"Setting current drive to E in loop\n"));
  EXPECT_TRUE(trace.Contains(L"Resetting current drive to D \n")) << "the walk ends on the last drive made current";

  const auto lists = link.gui.PacketsFor(L"GUI");
  ASSERT_EQ(1u, lists.size());
  ASSERT_EQ(TW4_5::ID_RECEIVE_DRIVE_DATA, lists[0].command);
  const std::vector<BYTE>& list = lists[0].body;
  ASSERT_EQ(9776u, list.size());
  const auto classes = link.gui.DriveClasses();
  ASSERT_EQ(26u, classes.size());
  for (int i = 0; i < 26; ++i) {
    const auto letter = static_cast<WCHAR>(L'A' + i);
    const std::wstring fs = letter == L'C' ? L"NTFS" : letter == L'E' ? L"FAT" : letter == L'F' ? L"CDFS"
                            : letter == L'Z' ? L"" : L"NTFS";
    WCHAR clsid[40] = {};
    StringFromGUID2(classes.at(letter), clsid, 40);
    const std::vector<BYTE> expected = Bytes(376).Text(0, VolumePath(letter)).Text(102, fs).U32(264, 3).Text(268, clsid);
    EXPECT_EQ(expected, std::vector<BYTE>(list.begin() + 376 * i, list.begin() + 376 * (i + 1))) << "record " << i;
  }

  // Every later drive data names each drive by the identity it was given first.
  SendDriveData(DriveDataBody({}));
  const auto again = link.gui.PacketsFor(L"GUI");
  ASSERT_EQ(2u, again.size());
  for (int i = 0; i < 26; ++i) EXPECT_EQ(DriveClassText(list, i), DriveClassText(again[1].body, i));
  // With no engine anywhere only the start of communication goes to the service.
  EXPECT_EQ(TW4_0::ID_GUI_START_COMM, ServiceFrom(service0 + 6, 1).back().header.dwCommand);
  Settle();
  EXPECT_EQ(service0 + 8, link.service.Count());
}

// While it lives, this computer is named with the most characters a computer name can have
// (15): the names Windows gives at set-up are often that long. Under Wine GetComputerNameW
// reads the name from the registry on every call.
class FifteenCharacterComputerName {
 public:
  static constexpr const wchar_t* kName = L"COBALINTESTBOX5";
  FifteenCharacterComputerName() {
    static_assert(std::char_traits<wchar_t>::length(kName) == MAX_COMPUTERNAME_LENGTH);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, m_key.put()) != ERROR_SUCCESS) return;
    WCHAR name[64] = {};
    DWORD bytes = sizeof(name) - sizeof(WCHAR);
    if (RegQueryValueExW(m_key.get(), L"ComputerName", nullptr, nullptr, reinterpret_cast<BYTE*>(name), &bytes) !=
        ERROR_SUCCESS) {
      return;
    }
    m_saved = name;
    Set(kName);
  }
  ~FifteenCharacterComputerName() {
    if (!m_saved.empty()) Set(m_saved);
  }
  FifteenCharacterComputerName(const FifteenCharacterComputerName&) = delete;
  FifteenCharacterComputerName& operator=(const FifteenCharacterComputerName&) = delete;

 private:
  static constexpr const wchar_t* kKey = L"System\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName";
  void Set(const std::wstring& name) {
    RegSetValueExW(m_key.get(), L"ComputerName", 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                   static_cast<DWORD>((name.size() + 1) * sizeof(WCHAR)));
  }
  UniqueHKey m_key;
  std::wstring m_saved;
};

// The name is set before the link is made (base classes are constructed first).
class LinkOnLongComputerName : protected FifteenCharacterComputerName, public LinkTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(std::wstring(kName), link.ComputerName()) << "this computer could not be renamed for the test";
    // The GUI connects with the full name: a refused ID_INIT_PIPE_COM fails the link here.
    SCOPED_TRACE("this computer's name has 15 characters");
    LinkTest::SetUp();
  }
};

// Settings pass through unchanged; the exclusion data reaches the GUI behind the machine name
// the GUI connected with, here one of 15 characters, whole.
TEST_F(LinkOnLongComputerName, SettingsTravelBothWaysWithTheExclusionPrefix) {
  const std::size_t service0 = link.service.Count();
  const auto schedule = PatternBody(300, 1);
  const auto log = PatternBody(77, 2);
  const auto priority = PatternBody(4, 3);
  const auto start = PatternBody(40, 4);
  const auto exclusion = PatternBody(120, 5);

  // A save before any exclusion data came from the service: 7696 zero bytes in front.
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_SAVE_EXCLUDE_DATA, exclusion));
  ASSERT_TRUE(link.service.WaitForCount(service0 + 1, kTimeout));
  // The service's exclusion data: 8 bytes not passed on, the fixed part, the list.
  const auto fixedPart = PatternBody(7696, 6);
  const auto list = PatternBody(500, 7);
  std::vector<BYTE> serviceExclusion = Bytes(8).U32(0, 0xDEADBEEF);
  serviceExclusion.insert(serviceExclusion.end(), fixedPart.begin(), fixedPart.end());
  serviceExclusion.insert(serviceExclusion.end(), list.begin(), list.end());

  const std::size_t gui0 = link.gui.Count();
  ASSERT_TRUE(link.service.Send(TW4_0::ID_NEW_SCHEDULING_DATA_EX, 0, schedule));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_NEW_LOG_DATA, 0, log));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_NEW_PRIORITY_DATA, 0, priority));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_NEW_EXCLUDE_DATA_EX, 0, serviceExclusion));
  ASSERT_TRUE(link.gui.WaitForCount(gui0 + 4, kTimeout));

  for (std::uint32_t request : {TW4_5::ID_REQUEST_SCHEDULE_DATA, TW4_5::ID_REQUEST_EXCLUDE_DATA,
                                TW4_5::ID_REQUEST_LOG_DATA, TW4_5::ID_REQUEST_PRIORITY_DATA}) {
    ASSERT_EQ(S_OK, link.ToService(request));
  }
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_SAVE_SCHEDULING, schedule));
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_SAVE_EXCLUDE_DATA, exclusion));
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_SAVE_LOG_DATA, log));
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_SAVE_PRIORITY_DATA, priority));
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_START_SCHEDULING, start));
  // Empty saves (a setting cleared) go on empty; exclusions as the prefix alone.
  for (std::uint32_t save : {TW4_5::ID_SAVE_SCHEDULING, TW4_5::ID_SAVE_EXCLUDE_DATA, TW4_5::ID_SAVE_LOG_DATA,
                             TW4_5::ID_SAVE_PRIORITY_DATA, TW4_5::ID_START_SCHEDULING}) {
    ASSERT_EQ(S_OK, link.ToService(save));
  }

  std::vector<BYTE> zeroPrefixed(7696, 0);
  zeroPrefixed.insert(zeroPrefixed.end(), exclusion.begin(), exclusion.end());
  std::vector<BYTE> prefixed = fixedPart;
  prefixed.insert(prefixed.end(), exclusion.begin(), exclusion.end());
  ExpectServicePackets(ServiceFrom(service0, 15), {
      {TW4_0::ID_NEW_EXCLUDE_DATA, 0, 0, zeroPrefixed},
      {TW4_0::ID_REQUEST_SCHEDULING_EX, 0, 0, {}},
      {TW4_0::ID_REQUEST_EXCLUDE_DATA_EX, 0, 0, {}},
      {TW4_0::ID_REQUEST_LOG_DATA, 0, 0, {}},
      {TW4_0::ID_REQUEST_PRIORITY_DATA, 0, 0, {}},
      {TW4_0::ID_SAVE_SCHEDULING_EX, 0, 0, schedule},
      {TW4_0::ID_NEW_EXCLUDE_DATA, 0, 0, prefixed},
      {TW4_0::ID_NEW_LOG_DATA, 0, 0, log},
      {TW4_0::ID_NEW_PRIORITY_DATA, 0, 0, priority},
      {TW4_0::ID_START_SCHEDULING, 0, 0, start},
      {TW4_0::ID_SAVE_SCHEDULING_EX, 0, 0, {}},
      {TW4_0::ID_NEW_EXCLUDE_DATA, 0, 0, fixedPart},
      {TW4_0::ID_NEW_LOG_DATA, 0, 0, {}},
      {TW4_0::ID_NEW_PRIORITY_DATA, 0, 0, {}},
      {TW4_0::ID_START_SCHEDULING, 0, 0, {}},
  });

  // The GUI's exclusion data: the machine name the GUI connected with, then the data.
  const std::wstring machine = link.ComputerName();
  std::vector<BYTE> guiExclusion = Bytes((machine.size() + 1) * 2).Text(0, machine);
  guiExclusion.insert(guiExclusion.end(), serviceExclusion.begin() + 8, serviceExclusion.end());
  ExpectGuiPackets(GuiFrom(gui0, 4), {
      {L"GUI", TW4_5::ID_RECEIVE_SCHEDULE_DATA, schedule},
      {L"GUI", TW4_5::ID_RECEIVE_LOG_DATA, log},
      {L"GUI", TW4_5::ID_RECEIVE_PRIORITY_DATA, priority},
      {L"GUI", TW4_5::ID_RECEIVE_EXCLUDE_DATA, guiExclusion},
  });
  EXPECT_EQ(serviceExclusion.size() - 8 + (machine.size() + 1) * 2, guiExclusion.size());
}

// The box is modal: translation waits until the user closes it. The box's own loop takes its
// thread's messages meanwhile, and none of them may be the translation thread's: what the GUI
// and the service send while it is up is handled once it is closed, in order.
TEST_F(LinkTest, ServiceTextIsShownAndPassedOn) {
  const std::wstring text = L"Drive C: needs a check";
  const std::vector<BYTE> body = Bytes((text.size() + 1) * 2).Text(0, text);
  const std::size_t service0 = link.service.Count();
  const std::size_t gui0 = link.gui.Count();
  link.HoldBoxes(true);
  ASSERT_TRUE(link.service.Send(TW4_0::ID_DISPLAY_MESSAGE, 0, body));
  ASSERT_TRUE(link.WaitForBoxes(1, kTimeout));

  const auto log = PatternBody(77, 2);
  for (std::uint32_t request : {TW4_5::ID_REQUEST_SCHEDULE_DATA, TW4_5::ID_REQUEST_LOG_DATA}) {
    ASSERT_EQ(S_OK, link.ToService(request));
  }
  ASSERT_TRUE(link.service.Send(TW4_0::ID_NEW_LOG_DATA, 0, log));
  // Nothing passes while the box is up (a handled command would have reached a peer by now).
  EXPECT_TRUE(link.service.WaitForQuiet(300, kTimeout));
  EXPECT_EQ(service0, link.service.Count());
  EXPECT_EQ(gui0, link.gui.Count());
  link.HoldBoxes(false);
  ASSERT_TRUE(link.gui.WaitForCount(gui0 + 2, kTimeout)) << "a service message sent while the box was up was lost";
  ASSERT_TRUE(link.service.WaitForCount(service0 + 2, kTimeout)) << "a GUI command sent while the box was up was lost";

  ExpectGuiPackets(GuiFrom(gui0, 2), {{L"GUI", TW4_5::ID_DISPLAY_MESSAGEBOX, body},
                                      {L"GUI", TW4_5::ID_RECEIVE_LOG_DATA, log}});
  ExpectServicePackets(ServiceFrom(service0, 2), {{TW4_0::ID_REQUEST_SCHEDULING_EX, 0, 0, {}},
                                                  {TW4_0::ID_REQUEST_LOG_DATA, 0, 0, {}}});
  const auto boxes = link.Boxes();
  ASSERT_EQ(1u, boxes.size());
  EXPECT_EQ(text, boxes[0].first);
  EXPECT_EQ(L"", boxes[0].second);
}

TEST_F(LinkTest, FullGuiExitTakesTheLayerDown) {
  SendDriveData(DriveDataBody({}));
  const std::size_t service0 = link.service.Count();
  const std::size_t gui0 = link.gui.Count();
  ASSERT_EQ(S_OK, link.ToService(TW4_5::ID_ANALYZE, OperationBody(L'C')));
  ASSERT_TRUE(link.service.WaitForCount(service0 + 1, kTimeout));
  ASSERT_TRUE(link.service.Send(TW4_0::ID_ENGINE_START, L'C'));
  ASSERT_TRUE(link.gui.WaitForCount(gui0 + 2, kTimeout));
  const std::wstring engineClass = TextAt(link.gui.PacketsFor(L"C").at(0).body, 102, 312);
  UniqueHKey key;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CLASSES_ROOT, (L"CLSID\\" + engineClass).c_str(), 0, KEY_READ, key.put()));
  key.reset();

  // Through the engine object only the GUI's waiting call is released.
  ASSERT_EQ(S_OK, link.ToEngine(L'C', TW4_5::ID_FENUI_EXIT));
  Settle();
  const HANDLE thread = g_hTLThread;
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 0));

  // A failure closed the sending pipe: the exit connects once more to say goodbye.
  ClosePipeOut();
  const std::size_t before = link.service.Count();
  const ULONGLONG start = GetTickCount64();
  ASSERT_EQ(S_OK, link.Exit());
  EXPECT_LT(GetTickCount64() - start, 5000u);  // released by the layer, not by the time-out
  ExpectServicePackets(ServiceFrom(before, 2), {
      {TW4_0::ID_GUI_STOP, 0, 0, {}},
      {ID_PIPE_DISCONNECTED, 0, 0, {}},
  });
  EXPECT_TRUE(WaitForThreadEnd(thread, kTimeout));
  EXPECT_TRUE(link.service.WaitForDisconnects(link.service.Connections(), kTimeout));
  EXPECT_TRUE(link.gui.WaitForLiveObjects(0, kTimeout));  // every GUI connection released
  EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CLASSES_ROOT, (L"CLSID\\" + engineClass).c_str(), 0, KEY_READ, key.put()));
  EXPECT_EQ(1, trace.Count(L"TW4_5::ID_FENUI_EXIT Done\n"));
  EXPECT_TRUE(trace.Contains(L"Exiting Translation Layer Thread\n"));
}

}  // namespace
