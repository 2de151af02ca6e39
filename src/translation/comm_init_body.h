#pragma once
// The comm-init body: how one side tells the other the class identifier under which its data
// object is to be reached. The GUI sends it with ID_INIT_SERVICE_COMM; the module sends it
// with ID_INIT_ENGINE_COMM for a drive's engine class.

#include <windows.h>
#include <cstddef>

#pragma pack(push, 1)
struct CommInitBody {
  WCHAR szText[51];    //   0: a text field, not used
  WCHAR szClsid[312];  // 102: braced class identifier text, NUL-terminated
};
#pragma pack(pop)

static_assert(sizeof(CommInitBody) == 726);
static_assert(offsetof(CommInitBody, szText) == 0);
static_assert(offsetof(CommInitBody, szClsid) == 102);
