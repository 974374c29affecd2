// The logging facade: every message of both deliverables goes through here.
//
// Calling pattern (see LogIfEnabled): ask IsLogEnabled(severity); only then
// take the context from GetLogger() and call LogWrite. A message is formatted
// only after that test passed.
#pragma once

#include <windows.h>

#include "logging_if.h"

namespace Trevalk {
class ILoggingHandler;
}

namespace ETWLogging {

// The process-wide logging context. It owns at most one logger, set once
// when the context is created and destroyed with it (by the virtual
// destructor, not Release: see CLoggingIf).
struct LogContext {
  CLoggingIf* logger = nullptr;                       // owned
  Trevalk::ILoggingHandler* libraryHandler = nullptr;  // not owned
  // The logger's extended interface, or null for a text-style logger: the
  // route of every message, chosen once when the logger is set.
  CLoggingIf_ex* loggerEx = nullptr;

  // Hands a library message to the logger without severity test or length
  // cut. 1627 when there is no logger; otherwise Prepare's error or the
  // logger's WriteEntry/WriteEntryEx result (see LogWrite for what a logger
  // throws).
  DWORD ForwardEntry(const wchar_t* sourceFile, const wchar_t* function, int line, DWORD severity,
                     const wchar_t* message) noexcept;
};

// Stores the identity that the context is created with. The strings are
// stored as pointers, not copied: they must stay valid until the first
// GetLogger(). A null module stores the module that contains this code and
// the given mechanism (1 forces the text logger). No effect once the context
// exists.
void SetLogIdentity(const wchar_t* appKey, const wchar_t* logGroup, HMODULE module, const wchar_t* logHost,
                    DWORD mechanism);

// Logging is best effort: nothing of a log line (building the logger,
// reading its configuration, formatting, writing) reaches the caller, so a
// failed line never changes what the caller does. The three calls below
// throw nothing; what the logger or the runtime throws inside them ends
// there.

// The process-wide context, created on the first call (once, safe from any
// thread), or nullptr when it could not be allocated. A creation that failed
// by an exception (out of memory, a lock that could not be made) gives
// nullptr or a context without a logger, and the next call tries again.
LogContext* GetLogger() noexcept;

// Non-zero when there is a logger and it would write this severity; 0 when
// the logger's test throws.
int IsLogEnabled(DWORD severity) noexcept;

// Writes one message. 1627 without a logger; otherwise the logger's Prepare
// error, or (text logger) WriteEntry's result, or 0 (ETW logger).
// ERROR_INVALID_PARAMETER for a format the formatter rejects (nothing is
// written), ERROR_NOT_ENOUGH_MEMORY when the logger threw std::bad_alloc and
// ERROR_FUNCTION_FAILED when it threw anything else.
DWORD LogWrite(LogContext* context, DWORD severity, const wchar_t* sourceFile, const wchar_t* function, int line,
               const wchar_t* format, ...) noexcept;

// Upper bound of a formatted message on LogWrite's text path, in characters.
constexpr size_t kMaxTextPathMessage = kMaxFormattedMessage;

// The calling pattern in one place: nothing is formatted unless the severity
// is enabled.
template <typename... Args>
inline void LogIfEnabled(DWORD severity, const wchar_t* sourceFile, const wchar_t* function, int line,
                         const wchar_t* format, Args... args) noexcept {
  if (IsLogEnabled(severity)) {
    if (LogContext* context = GetLogger()) {
      LogWrite(context, severity, sourceFile, function, line, format, args...);
    }
  }
}

}  // namespace ETWLogging
