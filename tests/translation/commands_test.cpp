// The two command vocabularies: their tables, their order and the name look-ups.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "handoff/commands.h"

namespace {

struct Block {
  std::uint32_t first;
  std::uint32_t count;
  const wchar_t* firstName;
  const wchar_t* lastName;
};

// Walks a table in order: blocks of consecutive numbers, each with its first and last names.
void ExpectBlocks(const CommandTable& table, const std::vector<Block>& blocks) {
  std::uint32_t index = 0;
  for (const Block& block : blocks) {
    ASSERT_LE(index + block.count, table.count);
    for (std::uint32_t i = 0; i < block.count; ++i) {
      EXPECT_EQ(block.first + i, table.entries[index + i].number) << "entry " << index + i;
    }
    EXPECT_STREQ(block.firstName, table.entries[index].name);
    EXPECT_STREQ(block.lastName, table.entries[index + block.count - 1].name);
    index += block.count;
  }
  EXPECT_EQ(table.count, index);
}

void ExpectUnique(const CommandTable& table) {
  std::set<std::uint32_t> numbers;
  std::set<std::wstring> names;
  for (std::uint32_t i = 0; i < table.count; ++i) {
    EXPECT_TRUE(numbers.insert(table.entries[i].number).second) << table.entries[i].number;
    EXPECT_TRUE(names.insert(table.entries[i].name).second);
  }
}

TEST(Commands, GuiSetHas75EntriesInTableOrder) {
  const CommandTable table = GetCommandTable4_5();
  EXPECT_EQ(75u, table.count);
  ExpectBlocks(table, {{8100, 12, L"ID_ANALYZE", L"ID_GUIUP_INIT_VOLUME_COMM"},
                       {8200, 9, L"ID_BEGIN_SCAN", L"ID_ERROR_DATA"},
                       {8300, 1, L"ID_PING", L"ID_PING"},
                       {8400, 3, L"ID_INITIALIZE", L"ID_SEND_END_SCAN"},
                       {8500, 16, L"ID_REPORT", L"ID_ABOUT"},
                       {8600, 4, L"ID_RECEIVE_DRIVE_DATA", L"ID_INIT_SERVICE_COMM"},
                       {8606, 20, L"ID_FAILED_ANALYZE", L"ID_INIT_PIPE_COM"},
                       {8701, 9, L"ID_QUERY_STATE", L"ID_NEED_ADMIN_PRIVS"},
                       {9107, 1, L"ID_CURRENT_DRIVE", L"ID_CURRENT_DRIVE"}});
  ExpectUnique(table);
}

TEST(Commands, ServiceSetHas61EntriesInTableOrder) {
  const CommandTable table = GetCommandTable4_0();
  EXPECT_EQ(61u, table.count);
  ExpectBlocks(table, {{8100, 24, L"ID_INITIALIZE", L"ID_NEW_EXCLUDE_DATA_EX"},
                       {8200, 12, L"ID_START_ANALYZE", L"ID_ENGINE_CONTINUE_ALL"},
                       {8300, 14, L"ID_ENGINE_START", L"ID_ENGINE_ABORT"},
                       {8400, 3, L"ID_GUI_START", L"ID_GUI_START_COMM"},
                       {8500, 8, L"ID_FRAGGED_FILE_LIST", L"ID_ENGINE_NO_MESSAGE"}});
  ExpectUnique(table);
}

TEST(Commands, NamesInBothSetsKeepTheirTwoNumbers) {
  const struct {
    const wchar_t* name;
    std::uint32_t gui, service, guiConstant, serviceConstant;
  } shared[] = {
      {L"ID_ENGINE_START", 8205, 8300, TW4_5::ID_ENGINE_START, TW4_0::ID_ENGINE_START},
      {L"ID_INITIALIZE", 8400, 8100, TW4_5::ID_INITIALIZE, TW4_0::ID_INITIALIZE},
      {L"ID_SAVE_SCHEDULING", 8611, 8113, TW4_5::ID_SAVE_SCHEDULING, TW4_0::ID_SAVE_SCHEDULING},
      {L"ID_REQUEST_EXCLUDE_DATA", 8612, 8116, TW4_5::ID_REQUEST_EXCLUDE_DATA, TW4_0::ID_REQUEST_EXCLUDE_DATA},
      {L"ID_REQUEST_LOG_DATA", 8615, 8105, TW4_5::ID_REQUEST_LOG_DATA, TW4_0::ID_REQUEST_LOG_DATA},
      {L"ID_REQUEST_PRIORITY_DATA", 8618, 8108, TW4_5::ID_REQUEST_PRIORITY_DATA, TW4_0::ID_REQUEST_PRIORITY_DATA},
      {L"ID_START_SCHEDULING", 8622, 8112, TW4_5::ID_START_SCHEDULING, TW4_0::ID_START_SCHEDULING},
      {L"ID_ENGINE_CONTINUE", 8706, 8302, TW4_5::ID_ENGINE_CONTINUE, TW4_0::ID_ENGINE_CONTINUE},
      {L"ID_CURRENT_DRIVE", 9107, 8107, TW4_5::ID_CURRENT_DRIVE, TW4_0::ID_CURRENT_DRIVE},
  };
  for (const auto& entry : shared) {
    EXPECT_EQ(entry.gui, entry.guiConstant);
    EXPECT_EQ(entry.service, entry.serviceConstant);
    EXPECT_STREQ(entry.name, GetCommandName4_5(entry.gui));
    EXPECT_STREQ(entry.name, GetCommandName4_0(entry.service));
  }
  // No other name is in both sets.
  const CommandTable gui = GetCommandTable4_5();
  const CommandTable service = GetCommandTable4_0();
  std::set<std::wstring> guiNames;
  for (std::uint32_t i = 0; i < gui.count; ++i) guiNames.insert(gui.entries[i].name);
  int both = 0;
  for (std::uint32_t i = 0; i < service.count; ++i) both += guiNames.count(service.entries[i].name) != 0;
  EXPECT_EQ(9, both);
}

TEST(Commands, LookUpsFollowTheSetOfTheDirectionAndGiveEmptyNamesForGaps) {
  EXPECT_STREQ(L"ID_ANALYZE", GetCommandName4_5(8100));
  EXPECT_STREQ(L"ID_INITIALIZE", GetCommandName4_0(8100));
  EXPECT_STREQ(L"ID_SETDISPDIMENSIONS", GetCommandName4_5(8107));
  EXPECT_STREQ(L"ID_ENGINE_PERCENT_DONE", GetCommandName4_0(8310));
  EXPECT_STREQ(L"ID_INIT_PIPE_COM", GetCommandName4_5(8625));
  // Numbers between blocks, beyond the ends, and the three numbers outside both sets.
  for (std::uint32_t gap : {0u, 8099u, 8112u, 8209u, 8301u, 8403u, 8516u, 8604u, 8605u, 8700u, 8710u, 9106u, 9108u,
                            ID_FENUI_EXITINT, ID_PIPE_CONNECTED, ID_PIPE_DISCONNECTED, 0xFFFFFFFFu}) {
    EXPECT_STREQ(L"", GetCommandName4_5(gap)) << gap;
  }
  for (std::uint32_t gap : {0u, 8124u, 8212u, 8314u, 8403u, 8508u, 8600u, 8625u, 9107u, ID_FENUI_EXITINT,
                            ID_PIPE_CONNECTED, ID_PIPE_DISCONNECTED, 0xFFFFFFFFu}) {
    EXPECT_STREQ(L"", GetCommandName4_0(gap)) << gap;
  }
}

}  // namespace
