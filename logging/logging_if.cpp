#include "logging_if.h"

#include <atomic>

#include "format.h"

namespace ETWLogging {

const wchar_t* SeverityName(DWORD severity) {
  // Indexed by severity - 1; the sixth entry repeats the name of 3.
  static const wchar_t* const kNames[] = {L"Normal", L"Warning", L"Information",
                                          L"Error",  L"Critical", L"Information"};
  if (severity < 1 || severity > 6) return nullptr;
  return kNames[severity - 1];
}

namespace internal {
namespace {
std::atomic<DWORD> g_processSeverity{kSeverityInformation};
}
DWORD ExchangeProcessSeverity(DWORD severity) { return g_processSeverity.exchange(severity); }
DWORD ProcessSeverity() { return g_processSeverity.load(); }
}  // namespace internal

DWORD CLoggingIf::LogFixedSeverity(DWORD severity, const wchar_t* sourceFile, const wchar_t* function, int line,
                                   const wchar_t* format, va_list args) {
  wchar_t buffer[kFormatBufferChars];
  // A failed format leaves no message to write (a cut one is written cut).
  if (FormatTruncating(buffer, kFormatBufferChars, format, args) == kFormatFailed) return ERROR_INVALID_PARAMETER;
  return WriteEntry(sourceFile, function, line, severity, buffer);
}

#define ETWLOGGING_PER_SEVERITY(Name, severity)                                                            \
  DWORD CLoggingIf::Name(const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format, \
                         ...) {                                                                             \
    va_list args;                                                                                           \
    va_start(args, format);                                                                                 \
    const DWORD result = LogFixedSeverity(severity, sourceFile, function, line, format, args);              \
    va_end(args);                                                                                           \
    return result;                                                                                          \
  }

ETWLOGGING_PER_SEVERITY(LogNormal, kSeverityNormal)
ETWLOGGING_PER_SEVERITY(LogError, kSeverityError)
ETWLOGGING_PER_SEVERITY(LogWarning, kSeverityWarning)
ETWLOGGING_PER_SEVERITY(LogCritical, kSeverityCritical)
ETWLOGGING_PER_SEVERITY(LogInformation, kSeverityInformation)

#undef ETWLOGGING_PER_SEVERITY

}  // namespace ETWLogging
