#include "service/options.h"

#include "common/text.h"

ServiceOptions ParseServiceOptions(int argc, wchar_t** argv) {
  ServiceOptions o;
  for (int i = 1; i < argc; ++i) {
    const std::wstring a = argv[i];
    auto value = [&](std::wstring& out) {
      if (i + 1 >= argc) {
        o.error = a + L" needs a value.";
        return false;
      }
      out = argv[++i];
      return true;
    };
    std::wstring v;
    if (a == L"--console") {
      o.mode = ServiceMode::Console;
    } else if (a == L"--install") {
      o.mode = ServiceMode::Install;
    } else if (a == L"--uninstall") {
      o.mode = ServiceMode::Uninstall;
    } else if (a == L"--help" || a == L"-h" || a == L"/?") {
      o.mode = ServiceMode::Help;
    } else if (a == L"--seed") {
      std::uint64_t n = 0;
      if (!value(v)) break;
      if (!ParseUnsigned(v, n)) o.error = L"--seed takes a whole number.";
      o.seed = n;
    } else if (a == L"--tick") {
      std::uint64_t n = 0;
      if (!value(v)) break;
      if (!ParseUnsigned(v, n) || n > 10000) o.error = L"--tick takes milliseconds from 0 to 10000.";
      o.tickMs = static_cast<std::uint32_t>(n);
    } else if (a == L"--log") {
      if (!value(o.logPath)) break;
    } else {
      o.error = L"Unknown option " + a + L".";
    }
  }
  return o;
}

std::wstring ServiceCommandLine(const std::wstring& programPath, const ServiceOptions& o) {
  std::wstring line = L"\"" + programPath + L"\" --seed " + std::to_wstring(o.seed) + L" --tick " +
                      std::to_wstring(o.tickMs);
  if (!o.logPath.empty()) line += L" --log \"" + o.logPath + L"\"";
  return line;
}

const wchar_t* ServiceUsage() {
  return L"tarnswell_service: the Tarnswell defragmentation service stand-in.\n"
         L"\n"
         L"  tarnswell_service --install [--seed N] [--tick MS] [--log FILE]\n"
         L"      installs the service \"Tarnswell\" (demand start) and its registry values\n"
         L"  tarnswell_service --uninstall\n"
         L"      stops and removes the service and its registry values\n"
         L"  tarnswell_service --console [--seed N] [--tick MS] [--log FILE]\n"
         L"      runs the service in this console; type \"message TEXT\" to have a text shown\n"
         L"      by the GUI, \"status\" for the engines, \"quit\" (or Ctrl+C) to stop\n"
         L"  tarnswell_service [--seed N] [--tick MS] [--log FILE]\n"
         L"      what the service control manager runs\n"
         L"\n"
         L"  --seed N   the simulated volumes and what the engines find (default 1)\n"
         L"  --tick MS  time between two progress reports of an engine (default 100)\n";
}
