#pragma once
// The comm-init body: how one side tells the other the class identifier under which it serves
// a data object. The GUI sends it with ID_INIT_SERVICE_COMM for its own object; the module
// sends it with ID_INIT_ENGINE_COMM for a drive's engine class.

#include <windows.h>
#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct CommInitBody {
  WCHAR szText[51];    //   0: a text field; the module leaves it empty and never reads it
  WCHAR szClsid[312];  // 102: braced class identifier text, NUL-terminated
};
#pragma pack(pop)

static_assert(sizeof(CommInitBody) == 726, "comm-init body is 726 bytes");
static_assert(offsetof(CommInitBody, szText) == 0);
static_assert(offsetof(CommInitBody, szClsid) == 102);

constexpr std::uint32_t kCommInitBodySize = sizeof(CommInitBody);
constexpr std::uint32_t kCommInitClsidOffset = offsetof(CommInitBody, szClsid);
