// A program that logs through the facade with the default identity, as the
// upgrade detector does: one line at each severity 1 to 5.
#include <windows.h>

#include "logging.h"

int wmain() {
  for (DWORD severity = 1; severity <= 5; ++severity) {
    ETWLogging::LogIfEnabled(severity, L"log_probe.cpp", L"wmain", 10 + static_cast<int>(severity),
                             L"probe line at severity %d\r\n", static_cast<int>(severity));
  }
  return 0;
}
