#include "builder.h"

namespace ETWLogging {
namespace internal {

// No logger backend is linked into this build yet: the context exists
// without a logger, so IsLogEnabled answers 0 and LogWrite returns 1627.
OwnedLogBuilder CreateDefaultLogBuilder() { return {}; }

}  // namespace internal
}  // namespace ETWLogging
