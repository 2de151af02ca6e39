#pragma once
// The service stand-in's options, from its command line (also when the service control
// manager starts it: they are part of the installed command line).

#include <cstdint>
#include <string>

enum class ServiceMode { Service, Console, Install, Uninstall, Help };

struct ServiceOptions {
  ServiceMode mode = ServiceMode::Service;
  std::uint64_t seed = 1;     // the simulated volumes and what the engines find
  std::uint32_t tickMs = 100; // time between two progress reports of an engine
  std::wstring logPath;       // the service's log file; none when empty
  std::wstring error;         // set when the command line could not be read
};

ServiceOptions ParseServiceOptions(int argc, wchar_t** argv);
// The command line the service control manager runs: this program and the options that the
// service keeps (seed, tick, log).
std::wstring ServiceCommandLine(const std::wstring& programPath, const ServiceOptions& options);
const wchar_t* ServiceUsage();
