// tarnswell_service: a stand-in for the 4.0 defragmentation service, for people integrating
// the module. It installs as the Windows service "Tarnswell", serves the control pipe, talks
// to the module's receiving pipe and answers every command as the service does, over a few
// simulated volumes made from a seed.

#include <windows.h>

#include "common/console.h"
#include "service/install.h"
#include "service/options.h"
#include "service/service_host.h"

int wmain(int argc, wchar_t** argv) {
  const ServiceOptions options = ParseServiceOptions(argc, argv);
  if (!options.error.empty()) {
    ErrLine(options.error);
    ErrLine(L"tarnswell_service --help lists the options.");
    return 2;
  }
  switch (options.mode) {
    case ServiceMode::Help:
      Out(ServiceUsage());
      return 0;
    case ServiceMode::Install:
      return InstallService(options);
    case ServiceMode::Uninstall:
      return UninstallService();
    case ServiceMode::Console:
      return RunInConsole(options);
    case ServiceMode::Service:
    default:
      return RunAsService(options);
  }
}
