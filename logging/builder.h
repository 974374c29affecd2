// The process-wide log builder that the logging context asks for its logger.
#pragma once

#include "logging_if.h"

namespace ETWLogging {
namespace internal {

// A builder together with the function that destroys it (builders have no
// virtual destructor).
struct OwnedLogBuilder {
  CLogBuilderIf* builder = nullptr;
  void (*destroy)(CLogBuilderIf*) = nullptr;
};

// Creates the builder the context uses when no other was installed.
// May return no builder: the context then has no logger.
OwnedLogBuilder CreateDefaultLogBuilder();

}  // namespace internal
}  // namespace ETWLogging
