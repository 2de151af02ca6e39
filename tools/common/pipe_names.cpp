#include "common/pipe_names.h"

#include <windows.h>

#include "common/text.h"

std::wstring PipeNameToOpen(const std::wstring& name) {
  if (name.size() < 3 || name[0] != L'\\' || name[1] != L'\\') return {};
  const auto machineEnd = name.find(L'\\', 2);
  if (machineEnd == std::wstring::npos || machineEnd == 2) return {};
  const std::wstring machine = name.substr(2, machineEnd - 2);
  const std::wstring rest = name.substr(machineEnd);  // "\pipe\NAME"
  if (ToUpper(rest).rfind(L"\\PIPE\\", 0) != 0 || rest.size() <= 6) return {};
  if (machine == L"." || ToUpper(machine) == ToUpper(ThisComputerName())) return L"\\\\." + rest;
  return name;
}
