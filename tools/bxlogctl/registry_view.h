// Reading registry values the way the product reads them, and saying in
// words what is stored: a clear obfuscated value, a plain value the product
// ignores, or a damaged record.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "registry/reg_key.h"

namespace bxlogctl {

struct RawValue {
  bool present = false;
  DWORD type = REG_NONE;
  std::vector<BYTE> bytes;
};

// The value as stored (plain read). Not present when it does not exist;
// other read errors are system errors.
RawValue ReadRawValue(Trevalk::CRegKey& key, const wchar_t* name);

std::wstring TypeName(DWORD type);

// A value under HKLM as stored and as the product's obfuscated read sees it.
struct StoredValue {
  RawValue raw;
  LONG clearResult = ERROR_FILE_NOT_FOUND;  // result of the obfuscated read
  DWORD clearType = REG_NONE;
  std::vector<BYTE> clear;  // natural form (strings as UTF-16)
  std::wstring description;  // one line: the clear value, or why it is ignored
};
StoredValue InspectValue(const std::wstring& path, const wchar_t* name);

struct MechanismState {
  bool selectsText = false;  // only an obfuscated REG_DWORD 1 does
  std::wstring description;
};
MechanismState ReadMechanism();

// The key under HKLM that holds the ETW run-time overrides.
std::wstring ProviderKeyPath();

// Names of the sub-keys of HKLM\path (empty when it does not exist).
std::vector<std::wstring> SubKeyNames(const std::wstring& path);

}  // namespace bxlogctl
