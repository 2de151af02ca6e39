#include "shared/module_thread.h"

#include <new>

#include "shared/owners.h"

namespace {

struct ThreadStart {
  LPTHREAD_START_ROUTINE function;
  void* parameter;
  HMODULE module;
};

DWORD WINAPI ModuleThreadEntry(void* parameter) {
  const ThreadStart start = *static_cast<ThreadStart*>(parameter);
  delete static_cast<ThreadStart*>(parameter);
  const DWORD result = start.function(start.parameter);
  FreeLibraryAndExitThread(start.module, result);
}

}  // namespace

HANDLE CreateModuleThread(LPTHREAD_START_ROUTINE function, void* parameter, DWORD* threadId) noexcept {
  UniqueModule module;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&ModuleThreadEntry), module.put())) {
    return nullptr;
  }
  auto* start = new (std::nothrow) ThreadStart{function, parameter, module.get()};
  if (start == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, ModuleThreadEntry, start, 0, &id);
  if (thread == nullptr) {
    delete start;
    return nullptr;  // the module reference goes back with `module`
  }
  (void)module.release();  // now the thread's, given back when it exits
  if (threadId != nullptr) *threadId = id;
  return thread;
}
