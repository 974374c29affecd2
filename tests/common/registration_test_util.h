// Registry state of the registration tests: the product key, the pending
// file operations of the Session Manager, and typed reads.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/unique_handle.h"

namespace rvqtest {

constexpr wchar_t kProductKey[] = L"SOFTWARE\\Bryxen\\RVQ";
constexpr wchar_t kSubstituteKey[] = L"SOFTWARE\\Bryxen\\RVQ\\AppInfo\\Substitute";
constexpr wchar_t kSessionManagerKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kPendingValue[] = L"PendingFileRenameOperations";

struct StoredValue {
  bool present = false;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

inline StoredValue ReadValue(const wchar_t* keyPath, const wchar_t* name) {
  StoredValue value;
  Trevalk::UniqueHKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS) {
    return value;
  }
  DWORD bytes = 0;
  if (RegQueryValueExW(key.get(), name, nullptr, &value.type, nullptr, &bytes) != ERROR_SUCCESS) return value;
  value.data.resize(bytes);
  if (RegQueryValueExW(key.get(), name, nullptr, &value.type, value.data.data(), &bytes) != ERROR_SUCCESS) {
    return value;
  }
  value.data.resize(bytes);
  value.present = true;
  return value;
}

inline bool WriteValue(const wchar_t* keyPath, const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
  Trevalk::UniqueHKey key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr,
                      key.put(), nullptr) != ERROR_SUCCESS) {
    return false;
  }
  return RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), bytes) == ERROR_SUCCESS;
}

inline bool WriteString(const wchar_t* keyPath, const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ) {
  return WriteValue(keyPath, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

inline bool ReadDword(const wchar_t* keyPath, const wchar_t* name, DWORD& out) {
  const StoredValue value = ReadValue(keyPath, name);
  if (!value.present || value.type != REG_DWORD || value.data.size() != 4) return false;
  memcpy(&out, value.data.data(), 4);
  return true;
}

// The strings of the pending file operations (names and targets alike).
inline std::vector<std::wstring> PendingOperations() {
  std::vector<std::wstring> entries;
  const StoredValue value = ReadValue(kSessionManagerKey, kPendingValue);
  if (!value.present) return entries;
  const wchar_t* text = reinterpret_cast<const wchar_t*>(value.data.data());
  const size_t chars = value.data.size() / sizeof(wchar_t);
  size_t start = 0;
  for (size_t i = 0; i < chars; ++i) {
    if (text[i] == L'\0') {
      entries.emplace_back(text + start, i - start);
      start = i + 1;
    }
  }
  return entries;
}

// True when `path` is registered for an operation at restart.
inline bool IsPending(const std::wstring& path) {
  for (const std::wstring& entry : PendingOperations()) {
    if (_wcsicmp(entry.c_str(), (L"\\??\\" + path).c_str()) == 0 || _wcsicmp(entry.c_str(), path.c_str()) == 0) {
      return true;
    }
  }
  return false;
}

// Removes the product key before and after a test and puts the Session
// Manager's pending operations back as they were.
class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = ReadValue(kSessionManagerKey, kPendingValue);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kProductKey);
  }
  void TearDown() override {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kProductKey);
    Trevalk::UniqueHKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_SET_VALUE, key.put()) != ERROR_SUCCESS) return;
    if (saved_.present) {
      RegSetValueExW(key.get(), kPendingValue, 0, saved_.type, saved_.data.data(),
                     static_cast<DWORD>(saved_.data.size()));
    } else {
      RegDeleteValueW(key.get(), kPendingValue);
    }
  }

  // Creates the product key (empty keys do not always survive: give it a value).
  static void CreateProductKey() { ASSERT_TRUE(WriteString(kProductKey, L"Marker", L"test")); }

 private:
  StoredValue saved_;
};

}  // namespace rvqtest
