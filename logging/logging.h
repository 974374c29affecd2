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

  // Hands a library message to the logger without severity test or length
  // cut. 1627 when there is no logger; otherwise Prepare's error or the
  // logger's WriteEntry/WriteEntryEx result.
  DWORD ForwardEntry(const wchar_t* sourceFile, const wchar_t* function, int line, DWORD severity,
                     const wchar_t* message);
};

// Stores the identity that the context is created with. The strings are
// stored as pointers, not copied: they must stay valid until the first
// GetLogger(). A null module stores the module that contains this code and
// the given mechanism (1 forces the text logger). No effect once the context
// exists.
void SetLogIdentity(const wchar_t* appKey, const wchar_t* logGroup, HMODULE module, const wchar_t* logHost,
                    DWORD mechanism);

// The process-wide context, created on the first call (once, safe from any
// thread), or nullptr when it could not be allocated. If creation throws, the
// exception reaches the caller and the next call tries again.
LogContext* GetLogger();

// Non-zero when there is a logger and it would write this severity.
int IsLogEnabled(DWORD severity);

// Writes one message. 1627 without a logger; otherwise the logger's Prepare
// error, or (text logger) WriteEntry's result, or 0 (ETW logger). A format
// the CRT rejects throws FormatError.
DWORD LogWrite(LogContext* context, DWORD severity, const wchar_t* sourceFile, const wchar_t* function, int line,
               const wchar_t* format, ...);

// Thrown by LogWrite for a format that the formatter rejects; carries E_FAIL.
struct FormatError {
  HRESULT hr = E_FAIL;
};

// Upper bound of a formatted message on LogWrite's text path, in characters.
constexpr size_t kMaxTextPathMessage = kMaxFormattedMessage;

// The calling pattern in one place: nothing is formatted unless the severity
// is enabled.
template <typename... Args>
inline void LogIfEnabled(DWORD severity, const wchar_t* sourceFile, const wchar_t* function, int line,
                         const wchar_t* format, Args... args) {
  if (IsLogEnabled(severity)) {
    if (LogContext* context = GetLogger()) {
      LogWrite(context, severity, sourceFile, function, line, format, args...);
    }
  }
}

}  // namespace ETWLogging
