#include "trevalk_log_handler.h"

#include "facade_internal.h"
#include "logging.h"

namespace ETWLogging {

DWORD SeverityOfLibraryMessage(int type) {
  switch (type) {
    case Trevalk::kLogTypeNone:
    case Trevalk::kLogTypeInfo:
      return kSeverityNormal;
    case Trevalk::kLogTypeError:
      return kSeverityError;
    default:
      return kSeverityWarning;
  }
}

int CTrevalkLogHandler::Log(int type, const wchar_t* sourceFile, const wchar_t* function, int line,
                            const wchar_t* message) {
  LogContext* context = internal::CurrentLogContext();
  if (!context) return 0;
  return static_cast<int>(context->ForwardEntry(sourceFile, function, line, SeverityOfLibraryMessage(type), message));
}

CTrevalkLogHandler::~CTrevalkLogHandler() {
  LogContext* context = internal::CurrentLogContext();
  if (context && context->libraryHandler) {
    Trevalk::ILoggingHandler* recorded = context->libraryHandler;
    context->libraryHandler = nullptr;
    Trevalk::CLogger::UnregisterHandler(recorded);
  }
}

}  // namespace ETWLogging
