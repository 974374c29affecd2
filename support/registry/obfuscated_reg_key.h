// Registry values in obfuscated form. CObfuscatedRegKey is a CRegKey whose
// implementation stores every value as a REG_BINARY record (codec/
// record_codec.h) carrying the value's own type, a digest and the scrambled
// bytes, and accepts only such records when reading. Callers use the typed
// accessors of CRegKey unchanged.
//
// Value names go through the registry's ANSI interface in the calling
// thread's ANSI code page. A name pointer whose value lies in 1..0xFFFF is a
// string-resource identifier, looked up in the module that contains this
// code; an unknown identifier addresses the default value.
#pragma once

#include <windows.h>

#include "registry/reg_key.h"

namespace Trevalk {

// Overrides only the raw read and write.
class CObfuscatedRegKeyImpl : public internal::CRegKeyImpl {
 public:
  // Reads a record and reports the stored type and the size of the value in
  // its natural form (REG_SZ and REG_MULTI_SZ as UTF-16, terminators
  // included). type or size must be given, else ERROR_INVALID_PARAMETER.
  // ERROR_INVALID_DATA when the stored value is not a valid record (not
  // REG_BINARY, digest, length or magic wrong), ERROR_MORE_DATA with the
  // needed size when data is too small, ERROR_DECRYPTION_FAILED when the
  // payload cannot be unscrambled (an empty one).
  [[nodiscard]] LONG QueryValue(LPCWSTR name, DWORD* type, void* data, DWORD* size) override;
  // Writes a record. ERROR_INVALID_PARAMETER without data or with size 0;
  // REG_SZ and REG_MULTI_SZ text is read up to its terminator or the size,
  // whichever comes first, and stored as UTF-8. ERROR_NOT_ENOUGH_MEMORY when
  // the record cannot be allocated, ERROR_ENCRYPTION_FAILED when it cannot be
  // scrambled. A failed write leaves the previous value.
  LONG SetValue(LPCWSTR name, DWORD type, const void* data, DWORD size) override;
};

// Movable as CRegKey is; a moved-from key holds no implementation.
class CObfuscatedRegKey : public CRegKey {
 public:
  CObfuscatedRegKey();
  CObfuscatedRegKey(CObfuscatedRegKey&& other) noexcept = default;
  CObfuscatedRegKey& operator=(CObfuscatedRegKey&& other) noexcept = default;
  ~CObfuscatedRegKey() override;
};

}  // namespace Trevalk
