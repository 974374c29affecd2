// Service removal. Not built yet: checks its arguments only.
#include "services.h"

namespace checkrvq {

const wchar_t* const kObsoleteServices[] = {L"rvq9"};

DWORD DeleteServices(const wchar_t* const* names, DWORD count) {
  if (count == 0 || !names || !names[0] || !names[0][0]) return ERROR_INVALID_PARAMETER;
  return ERROR_SUCCESS;
}

}  // namespace checkrvq
