// What the facade shares with the rest of the logging subsystem only.
#pragma once

#include "logging.h"

namespace ETWLogging {
namespace internal {

// The process-wide logging context if it exists; never creates it.
LogContext* CurrentLogContext();

}  // namespace internal
}  // namespace ETWLogging
