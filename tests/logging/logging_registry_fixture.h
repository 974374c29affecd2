// Registry set-up shared by the configuration and builder tests: each test
// starts and ends without HKLM\SOFTWARE\Bryxen\Logging and
// HKLM\SOFTWARE\Bryxen.logging, and writes what it needs in plain or
// obfuscated form.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "registry/obfuscated_reg_key.h"
#include "registry/reg_key.h"

namespace rvqtest {

inline void RemoveLoggingRegistry() {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Bryxen\\Logging");
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Bryxen.logging");
}

class LoggingRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { RemoveLoggingRegistry(); }
  void TearDown() override { RemoveLoggingRegistry(); }

  // Opens (creating) HKLM\path through `key`.
  static void CreateKey(Trevalk::CRegKey& key, const std::wstring& path) {
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, path.c_str(), nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS), 0);
  }
  static void PlainDword(const std::wstring& path, const wchar_t* name, DWORD value) {
    Trevalk::CRegKey key;
    CreateKey(key, path);
    ASSERT_EQ(key.SetDWORDValue(name, value), 0);
  }
  static void PlainString(const std::wstring& path, const wchar_t* name, const wchar_t* value) {
    Trevalk::CRegKey key;
    CreateKey(key, path);
    ASSERT_EQ(key.SetStringValue(name, value), 0);
  }
  static void ObfuscatedDword(const std::wstring& path, const wchar_t* name, DWORD value) {
    Trevalk::CObfuscatedRegKey key;
    CreateKey(key, path);
    ASSERT_EQ(key.SetDWORDValue(name, value), 0);
  }
  static void ObfuscatedString(const std::wstring& path, const wchar_t* name, const wchar_t* value) {
    Trevalk::CObfuscatedRegKey key;
    CreateKey(key, path);
    ASSERT_EQ(key.SetStringValue(name, value), 0);
  }
};

}  // namespace rvqtest
