// cobalin_install: installs the module and the service stand-in into this Windows (or Wine
// prefix) as an installation would, removes them again, and diagnoses a machine (doctor).

#include <windows.h>

#include <string>

#include "common/console.h"
#include "common/text.h"
#include "install/doctor.h"
#include "install/module_registration.h"
#include "install/service_setup.h"

namespace {

const wchar_t kUsage[] =
    L"cobalin_install: installs or removes the module and the Tarnswell service stand-in.\n"
    L"\n"
    L"  cobalin_install install [--module-only | --service-only] [--module PATH]\n"
    L"                          [--seed N] [--tick MS] [--log FILE]\n"
    L"  cobalin_install uninstall [--module-only | --service-only] [--module PATH]\n"
    L"  cobalin_install status\n"
    L"  cobalin_install doctor\n"
    L"\n"
    L"The module (cobalin.dll) and tarnswell_service.exe are taken from this program's folder\n"
    L"unless --module names the module. --seed, --tick and --log go to the service.\n"
    L"\n"
    L"doctor looks at this machine as the module will meet it and changes nothing: one line per\n"
    L"problem, saying what is wrong and how to fix it. Exit status 0 only when there is none.\n";

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    Out(kUsage);
    return 2;
  }
  const std::wstring action = argv[1];
  if (action == L"doctor") {
    if (argc > 2) {
      ErrLine(L"doctor takes no options.");
      Out(kUsage);
      return 2;
    }
    return RunDoctor();
  }
  bool moduleOnly = false, serviceOnly = false;
  std::wstring modulePath = ProgramDirectory() + L"cobalin.dll";
  std::wstring serviceArguments;
  for (int i = 2; i < argc; ++i) {
    const std::wstring a = argv[i];
    if (a == L"--module-only") {
      moduleOnly = true;
    } else if (a == L"--service-only") {
      serviceOnly = true;
    } else if (a == L"--module" && i + 1 < argc) {
      modulePath = argv[++i];
    } else if ((a == L"--seed" || a == L"--tick" || a == L"--log") && i + 1 < argc) {
      serviceArguments += L" " + a + L" \"" + argv[++i] + L"\"";
    } else {
      ErrLine(L"Unknown option or missing value: " + a + L".");
      Out(kUsage);
      return 2;
    }
  }
  const std::wstring servicePath = ProgramDirectory() + L"tarnswell_service.exe";

  if (action == L"install") {
    if (!serviceOnly) {
      if (const int rc = InstallModule(modulePath)) return rc;
    }
    if (!moduleOnly) {
      if (const int rc = RunServiceSetup(servicePath, L"--install" + serviceArguments)) return rc;
    }
    return 0;
  }
  if (action == L"uninstall") {
    int rc = 0;
    if (!moduleOnly) rc = RunServiceSetup(servicePath, L"--uninstall");
    if (!serviceOnly) {
      if (const int moduleRc = UninstallModule(modulePath)) rc = moduleRc;
    }
    return rc;
  }
  if (action == L"status") {
    ShowModuleStatus();
    ShowServiceStatus();
    return 0;
  }
  if (action == L"--help" || action == L"help") {
    Out(kUsage);
    return 0;
  }
  ErrLine(L"Unknown action " + action + L".");
  Out(kUsage);
  return 2;
}
