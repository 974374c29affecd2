// Logger and builder interfaces shared by the text logger and the ETW backend.
//
// Slot order is a contract. Other binaries built against these classes call
// their virtual operations by position in the table of virtual functions, so
// the classes here and the loggers, builder, configuration, listener and
// channel handlers of this folder declare their virtual operations in a
// fixed order: a base class's first, then the derived class's own. Never
// reorder, insert or remove one; a new operation goes after the last one of
// the most derived class that needs it.
//
// Results are Win32 error codes (0 = success) unless stated.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <string>

namespace Trevalk {
class CRegKey;
}

namespace ETWLogging {

class LoggingConfigListenerIf;

// Severity scale. The numbers are not in order of gravity: Warning is 2,
// Information is 3.
enum Severity : DWORD {
  kSeverityNormal = 1,
  kSeverityWarning = 2,
  kSeverityInformation = 3,
  kSeverityError = 4,
  kSeverityCritical = 5,
  kSeverityInformation6 = 6,  // prints as "Information"
};

// Name the loggers write for a severity, or nullptr outside 1..6.
const wchar_t* SeverityName(DWORD severity);

// The loggers' own results, outside the range of Win32 error codes that
// they otherwise answer with: Initialize (or InitializeEx) on a logger that
// is already initialised, and Uninitialize on one that is not.
constexpr DWORD kErrorAlreadyInitialized = 20001;
constexpr DWORD kErrorNotInitialized = 20002;

// Capacity of the per-severity operations' buffer, in characters: at most
// kMaxFormattedMessage characters are kept, followed by the terminating zero.
constexpr size_t kFormatBufferChars = 4160;
constexpr size_t kMaxFormattedMessage = kFormatBufferChars - 1;

// Lifetime: a logger has one owner, the logging context (LogContext in
// logging.h). The builder hands the context a logger with one reference
// taken; the context keeps it for the life of the module and destroys it
// with the virtual destructor (slot 0), never through Release.
//
// AddRef and Release exist for code in other binaries that is handed a
// logger through these slots and wants to say how long it uses it. Such code
// pairs each AddRef with one Release; the reference the builder took belongs
// to the context and is never released, so a paired Release never reaches 0
// while the context holds the logger. The text logger counts (Release
// deletes it at 0); the ETW backend does not count and answers 0.
class CLoggingIf {
 public:
  virtual ~CLoggingIf() = default;
  virtual DWORD Initialize(const wchar_t* logGroup, HMODULE module, const wchar_t* logHost,
                           LoggingConfigListenerIf* listener) = 0;
  // A result other than 0 stops the write that asked for it.
  virtual DWORD Prepare() = 0;
  virtual void GetQualifiedName(std::wstring& name) = 0;
  virtual void GetName(std::wstring& name) = 0;
  virtual DWORD Uninitialize() = 0;
  virtual void SetEnabled(bool enabled) = 0;
  virtual bool GetEnabled() = 0;
  virtual void Log(DWORD severity, const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format,
                   ...) = 0;
  virtual DWORD WriteEntry(const wchar_t* sourceFile, const wchar_t* function, int line, DWORD severity,
                           const wchar_t* message) = 0;
  // Non-zero when a message of this severity would be written.
  virtual int IsEnabled(DWORD severity) = 0;
  virtual void SetMaxEntries(DWORD count) = 0;
  virtual DWORD GetMaxEntries() = 0;
  virtual void SetMaxSize(DWORD bytes) = 0;
  virtual DWORD GetMaxSize() = 0;
  // Returns the previous process-wide severity (see ExchangeProcessSeverity).
  virtual DWORD SetSeverity(DWORD severity) = 0;
  virtual DWORD GetSeverity() = 0;
  // The new count (see Lifetime above).
  virtual ULONG AddRef() = 0;
  // The new count; a counting logger deletes itself when it reaches 0.
  virtual ULONG Release() = 0;

  // The per-severity operations share one implementation: the message is
  // formatted into a 4160-character buffer (cut at 4159 characters) and
  // handed to WriteEntry with the fixed severity. They test neither the
  // threshold nor the Enable flag. When the formatter fails (other than by
  // a full buffer) nothing is written and the answer is 87.
  virtual DWORD LogNormal(const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format, ...);
  virtual DWORD LogError(const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format, ...);
  virtual DWORD LogWarning(const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format, ...);
  virtual DWORD LogCritical(const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format, ...);
  virtual DWORD LogInformation(const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format,
                               ...);

 protected:
  DWORD LogFixedSeverity(DWORD severity, const wchar_t* sourceFile, const wchar_t* function, int line,
                         const wchar_t* format, va_list args);
};

class CLoggingIf_ex : public CLoggingIf {
 public:
  virtual DWORD InitializeEx(const wchar_t* appKey, const wchar_t* logGroup, HMODULE module, const wchar_t* logHost,
                             LoggingConfigListenerIf* listener) = 0;
  virtual DWORD WriteEntryEx(DWORD severity, const wchar_t* sourceFile, const wchar_t* function, int line,
                             const wchar_t* message) = 0;
  virtual DWORD LogVEx(DWORD severity, const wchar_t* sourceFile, const wchar_t* function, int line,
                       const wchar_t* format, va_list args) = 0;
};

// A builder returns true when it put a built and initialised logger, with
// one reference taken, into *logger; the caller then owns the logger (see
// Lifetime above). configKey, when given, is an opened key to read the
// configuration from instead of the builder's default key.
//
// Builders are never deleted through these interfaces (the process-wide
// builder is owned with its own deleter), hence no virtual destructor: slot 0
// is Build.
class CLogBuilderIf {
 public:
  virtual bool Build(const wchar_t* logGroup, HMODULE module, const wchar_t* logHost, DWORD mechanism,
                     CLoggingIf** logger, Trevalk::CRegKey* configKey) = 0;

 protected:
  ~CLogBuilderIf() = default;
};

class CLogBuilderIf_ex : public CLogBuilderIf {
 public:
  virtual bool BuildEx(const wchar_t* appKey, const wchar_t* logGroup, HMODULE module, const wchar_t* logHost,
                       DWORD mechanism, CLoggingIf** logger, Trevalk::CRegKey* configKey) = 0;

 protected:
  ~CLogBuilderIf_ex() = default;
};

namespace internal {
// The process-wide severity that SetSeverity of either logger exchanges.
// Returns the previous value. Initially 3.
DWORD ExchangeProcessSeverity(DWORD severity);
DWORD ProcessSeverity();
}  // namespace internal

}  // namespace ETWLogging
