#include "registry/reg_key.h"

namespace Trevalk {
namespace internal {

// The access-control functions are bound at run time by the security helpers,
// which are not part of this build yet.
LONG CRegKeyImpl::GrantEveryoneFullAccess(bool /*recurse*/) {
  if (!Handle()) return ERROR_INVALID_PARAMETER;
  return ERROR_CALL_NOT_IMPLEMENTED;
}

}  // namespace internal
}  // namespace Trevalk
