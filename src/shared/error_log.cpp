#include "shared/error_log.h"

BOOL g_bLogEnabled = FALSE;

namespace {
ErrorLogObserver volatile g_observer = nullptr;
void* volatile g_observerContext = nullptr;
}  // namespace

void WriteErrorLog(const wchar_t* message, LONG status, const wchar_t* parameter) noexcept {
  if (ErrorLogObserver observer = g_observer) observer(message, status, parameter, g_observerContext);
  if (!g_bLogEnabled) return;
  // No log is written by this module: the flag never becomes TRUE.
}

void SetErrorLogObserver(ErrorLogObserver observer, void* context) noexcept {
  g_observerContext = context;
  g_observer = observer;
}
