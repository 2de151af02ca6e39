#pragma once
// Hosting the service stand-in: under the service control manager (as "Tarnswell"), or in a
// console for a person to watch.

#include "service/options.h"

constexpr const wchar_t* kServiceName = L"Tarnswell";

// Main thread: hands the thread to the service control manager until the service stops.
// Returns the process exit code; 1 with a message when the program was not started by the
// service control manager.
int RunAsService(const ServiceOptions& options);

// Main thread: runs the service in this console until "quit", the end of the input or Ctrl+C.
int RunInConsole(const ServiceOptions& options);
