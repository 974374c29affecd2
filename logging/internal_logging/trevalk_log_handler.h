// The bridge from the support library's message channel to the active
// logger. The logging context creates one process-wide instance and registers
// it with Trevalk::CLogger once it has a logger.
#pragma once

#include <windows.h>

#include "internal_logging.h"

namespace ETWLogging {

// Severity a library message type is logged with: 0 and 1 Normal, 2 Error,
// anything else Warning.
DWORD SeverityOfLibraryMessage(int type);

class CTrevalkLogHandler : public Trevalk::ILoggingHandler {
 public:
  // Forwards to the existing logging context (never creates one); 0 and
  // nothing logged when there is none, else ForwardEntry's result.
  int Log(int type, const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* message) override;
  // Withdraws the handler the context recorded, if any, from the channel.
  virtual ~CTrevalkLogHandler();
};

}  // namespace ETWLogging
