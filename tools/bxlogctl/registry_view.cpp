#include "registry_view.h"

#include <algorithm>
#include <cstring>

#include "console.h"
#include "etw_config.h"
#include "registry/obfuscated_reg_key.h"

namespace bxlogctl {
namespace {

std::wstring Hex(const BYTE* data, size_t size) {
  static const wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring out;
  for (size_t i = 0; i < size; ++i) {
    if (i) out += L' ';
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
  }
  return out;
}

// The clear value read back through an obfuscated key, or the error.
LONG ReadClear(HKEY parent, const std::wstring& path, const wchar_t* name, DWORD* type, std::vector<BYTE>* data) {
  Trevalk::CObfuscatedRegKey key;
  LONG result = key.Open(parent, path.c_str(), KEY_QUERY_VALUE);
  if (result != ERROR_SUCCESS) return result;
  DWORD size = 0;
  result = key.QueryValue(name, type, nullptr, &size);
  if (result != ERROR_SUCCESS) return result;
  data->assign(size + 2, 0);
  result = key.QueryValue(name, type, data->data(), &size);
  data->resize(size);
  return result;
}

// The number of type T stored in exactly sizeof(T) bytes, as decimal text;
// empty for any other size.
template <typename T>
std::wstring NumberText(const std::vector<BYTE>& data) {
  if (data.size() != sizeof(T)) return std::wstring();
  T value;
  memcpy(&value, data.data(), sizeof value);
  return std::to_wstring(value);
}

std::wstring ClearText(DWORD type, const std::vector<BYTE>& data) {
  switch (type) {
    case REG_DWORD:
    case REG_QWORD: {
      std::wstring number = type == REG_DWORD ? NumberText<DWORD>(data) : NumberText<ULONGLONG>(data);
      if (!number.empty()) return number;
      break;
    }
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_MULTI_SZ: {
      std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
      while (!text.empty() && text.back() == L'\0') text.pop_back();
      for (wchar_t& c : text) {
        if (c == L'\0') c = L'|';  // multi-string separators
      }
      return L"\"" + text + L"\"";
    }
    default:
      break;
  }
  return Hex(data.data(), data.size());
}

}  // namespace

RawValue ReadRawValue(Trevalk::CRegKey& key, const wchar_t* name) {
  RawValue raw;
  DWORD size = 0;
  LONG result = key.QueryValue(name, &raw.type, nullptr, &size);
  if (result == ERROR_FILE_NOT_FOUND) return raw;
  if (result != ERROR_SUCCESS) SystemError(L"cannot read \"" + std::wstring(name) + L"\"", static_cast<DWORD>(result));
  raw.bytes.resize(size);
  result = key.QueryValue(name, &raw.type, raw.bytes.data(), &size);
  if (result != ERROR_SUCCESS) SystemError(L"cannot read \"" + std::wstring(name) + L"\"", static_cast<DWORD>(result));
  raw.bytes.resize(size);
  raw.present = true;
  return raw;
}

std::wstring TypeName(DWORD type) {
  switch (type) {
    case REG_NONE: return L"REG_NONE";
    case REG_SZ: return L"REG_SZ";
    case REG_EXPAND_SZ: return L"REG_EXPAND_SZ";
    case REG_BINARY: return L"REG_BINARY";
    case REG_DWORD: return L"REG_DWORD";
    case REG_MULTI_SZ: return L"REG_MULTI_SZ";
    case REG_QWORD: return L"REG_QWORD";
    default: return L"type " + std::to_wstring(type);
  }
}

StoredValue InspectValue(const std::wstring& path, const wchar_t* name) {
  StoredValue value;
  Trevalk::CRegKey plain;
  const LONG opened = plain.Open(HKEY_LOCAL_MACHINE, path.c_str(), KEY_QUERY_VALUE);
  if (opened == ERROR_FILE_NOT_FOUND) {
    value.description = L"not set (HKLM\\" + path + L" does not exist)";
    return value;
  }
  if (opened != ERROR_SUCCESS) SystemError(L"cannot open HKLM\\" + path, static_cast<DWORD>(opened));
  value.raw = ReadRawValue(plain, name);
  const RawValue& raw = value.raw;
  if (!raw.present) {
    value.description = L"not set";
    return value;
  }
  value.clearResult = ReadClear(HKEY_LOCAL_MACHINE, path, name, &value.clearType, &value.clear);
  if (value.clearResult == ERROR_SUCCESS) {
    value.description = L"obfuscated " + TypeName(value.clearType) + L" " + ClearText(value.clearType, value.clear);
  } else if (raw.type != REG_BINARY) {
    value.description = L"plain " + TypeName(raw.type) + L" " + ClearText(raw.type, raw.bytes) +
                        L": not in obfuscated form, so the product ignores it";
  } else if (raw.bytes.size() >= 4 && memcmp(raw.bytes.data(), "BXRG", 4) == 0) {
    value.description = L"damaged obfuscated record (" + std::to_wstring(raw.bytes.size()) +
                        L" bytes; it fails its digest, length or magic check): the product ignores it";
  } else {
    value.description = L"REG_BINARY that is not an obfuscated record: the product ignores it";
  }
  return value;
}

MechanismState ReadMechanism() {
  MechanismState state;
  const StoredValue value = InspectValue(L"SOFTWARE\\Bryxen\\Logging", L"Logging Mechanism");
  state.description = value.description;
  if (value.clearResult == ERROR_SUCCESS) {
    if (value.clearType == REG_DWORD && value.clear.size() == 4) {
      DWORD number;
      memcpy(&number, value.clear.data(), 4);
      state.selectsText = number == 1;
      state.description += number == 1 ? L" (text)" : L" (etw)";
    } else {
      state.description += L": not a REG_DWORD, so the product ignores it";
    }
  }
  return state;
}

std::wstring ProviderKeyPath() {
  // The backend's own configuration decides where the overrides live: the
  // application key "QMW" when it exists, the built-in defaults otherwise.
  ETWLogging::internal::ETWAppProperties properties;
  if (!properties.Load(nullptr)) {
    SystemError(L"the ETW application configuration (HKLM\\SOFTWARE\\Bryxen.logging\\QMW) is incomplete, so the "
                L"ETW backend cannot start",
                ERROR_INVALID_DATA);
  }
  return properties.providerKeyPath;
}

std::vector<std::wstring> SubKeyNames(const std::wstring& path) {
  std::vector<std::wstring> names;
  Trevalk::CRegKey key;
  if (key.Open(HKEY_LOCAL_MACHINE, path.c_str(), KEY_ENUMERATE_SUB_KEYS) != ERROR_SUCCESS) return names;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD chars = 256;
    if (key.EnumKey(index, name, &chars) != ERROR_SUCCESS) break;
    names.emplace_back(name, chars);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace bxlogctl
