// Test seams of the logging facade. Not for product code.
#pragma once

#include "logging_if.h"
#include "logging.h"

namespace ETWLogging {
namespace testing {

// Makes `builder` (not owned) the process-wide builder. Only possible before
// the context is created; returns false afterwards.
bool InstallLogBuilder(CLogBuilderIf* builder);

// Destroys the context (unregistering its library handler and deleting its
// logger) and drops the installed builder and the identity, so that the next
// GetLogger() creates a fresh context.
void ResetLogging();

// Runs the teardown that module unload runs. Afterwards the facade answers
// "no context" until ResetLogging().
void TearDownLogging();

}  // namespace testing
}  // namespace ETWLogging
