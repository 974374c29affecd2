// The one check of a string value as the registry hands it over.
#pragma once

#include <windows.h>

namespace Trevalk {

// The text of a string value as RegQueryValueExW left it in `data`, with
// `bytes` bytes of type `type`: `data` itself when the type is REG_SZ or
// REG_EXPAND_SZ, the byte count is even and the last character is the
// terminator; "" for 0 bytes of such a type; otherwise null (rejected: a
// wrong type, an odd byte count, or text without its terminator, which the
// registry does not add).
inline const wchar_t* AcceptedRegistryText(DWORD type, const wchar_t* data, DWORD bytes) {
  if (type != REG_SZ && type != REG_EXPAND_SZ) return nullptr;
  if (bytes == 0) return L"";
  if (!data || bytes % sizeof(wchar_t) != 0) return nullptr;
  return data[bytes / sizeof(wchar_t) - 1] == L'\0' ? data : nullptr;
}

}  // namespace Trevalk
