// The support library's own message channel, for support code that must
// report without depending on the logging facade. CLogger hands each message
// to exactly one registered ILoggingHandler. Today only CLogger's own
// registration errors travel on it: the support code answers with result
// codes, and its callers decide what to log. The logging context registers a
// bridge handler (CTrevalkLogHandler) so that library messages reach the
// active logger; before that, the default handler writes them to the
// debugger output.
#pragma once

#include <windows.h>

#include <string>

#include "common/system_text.h"

namespace Trevalk {

// Message types of the channel. Other values are accepted and treated as
// "unknown".
enum LogMessageType : int {
  kLogTypeNone = 0,   // the default handler drops it
  kLogTypeInfo = 1,
  kLogTypeError = 2,
};

// Receiver of library messages. Handlers are never deleted through this
// interface, hence no virtual destructor: slot 0 is Log.
class ILoggingHandler {
 public:
  // The result carries no meaning for the channel.
  virtual int Log(int type, const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* message) = 0;

 protected:
  ~ILoggingHandler() = default;
};

// Writes each message (except type 0) as one line to the debugger output.
// One process-wide instance (DefaultLoggingHandler()) lives for the life of
// the module.
class CDefaultLoggingHandler : public ILoggingHandler {
 public:
  int Log(int type, const wchar_t* sourceFile, const wchar_t* function, int line,
          const wchar_t* message) override;
};

CDefaultLoggingHandler& DefaultLoggingHandler();

// The line the default handler writes for a message, or false for type 0
// (nothing is written). Null strings print as empty.
bool FormatDefaultHandlerLine(std::wstring& out, int type, const wchar_t* sourceFile, const wchar_t* function,
                              int line, const wchar_t* message);

// The channel. It never owns a handler. The registered-handler pointer is
// read and written without a lock: registration happens while the logging
// context is created (once) and at unload.
class CLogger {
 public:
  // 0 when `handler` is now the registered one (also when it already was, or
  // when it replaced the default handler). 87 for null, 5023 when another
  // non-default handler is registered; both conflicts are also reported
  // through the channel.
  static DWORD RegisterHandler(ILoggingHandler* handler);

  // 0 when `handler` was the registered one (nothing is registered
  // afterwards). 87 for null; 5023 when nothing or another handler is
  // registered, reported through the channel as well (the first case to the
  // handler being unregistered itself).
  static DWORD UnregisterHandler(ILoggingHandler* handler);

  // Formats (printf conventions of the CRT's wide formatter: "%s" takes a
  // UTF-16 string) and sends one message; installs the default handler when
  // none is registered. 0 when the message went out; the handler's result
  // when only the fixed out-of-memory message could be sent.
  static DWORD Report(int type, const wchar_t* sourceFile, const wchar_t* function, int line,
                      const wchar_t* format, ...);

  // The registered handler, or null.
  static ILoggingHandler* RegisteredHandler();
};

}  // namespace Trevalk
