// A throw-away key below HKCU\Software\RvqTest for each test, deleted with
// everything below it in the teardown.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace rvqtest {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = L"Software\\RvqTest\\";
    for (const char* p = info->name(); *p; ++p) path_ += static_cast<wchar_t>(*p == '/' ? '_' : *p);
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &root_, nullptr));
  }
  void TearDown() override {
    for (const std::wstring& link : links_) DeleteLink(link);
    if (root_) RegCloseKey(root_);
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
  }

  // Raw write, bypassing the code under test.
  void PutRaw(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(root_, name, 0, type, static_cast<const BYTE*>(data), size));
  }
  std::string GetRaw(const wchar_t* name, DWORD* type = nullptr) {
    BYTE buffer[4096];
    DWORD size = sizeof(buffer);
    if (RegQueryValueExW(root_, name, nullptr, type, buffer, &size) != ERROR_SUCCESS) return "<missing>";
    return std::string(reinterpret_cast<char*>(buffer), size);
  }
  bool KeyExists(const std::wstring& relative) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root_, relative.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
  }
  void MakeKey(const std::wstring& relative) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root_, relative.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    // Wine does not keep a key with neither values nor sub-keys across a
    // server restart; a value keeps the tree meaningful everywhere.
    DWORD one = 1;
    RegSetValueExW(key, L"v", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), sizeof(one));
    RegCloseKey(key);
  }

  // A registry symbolic link at relative (below root_) that points to the
  // key targetRelative below root_.
  void MakeLink(const std::wstring& relative, const std::wstring& targetRelative) {
    using NtQueryKeyFn = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    const auto queryKey = reinterpret_cast<NtQueryKeyFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryKey")));
    ASSERT_NE(nullptr, queryKey);
    BYTE info[2048] = {};
    ULONG got = 0;
    ASSERT_EQ(0, queryKey(root_, 3 /* KeyNameInformation */, info, sizeof(info), &got));
    ULONG nameBytes = 0;
    memcpy(&nameBytes, info, sizeof(nameBytes));
    const std::wstring target =
        std::wstring(reinterpret_cast<const wchar_t*>(info + sizeof(ULONG)), nameBytes / sizeof(wchar_t)) + L"\\" +
        targetRelative;
    DeleteLink(relative);  // one left by an earlier run that stopped
    links_.push_back(relative);
    HKEY link = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root_, relative.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK,
                                             KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, &link, nullptr));
    const LONG set = RegSetValueExW(link, L"SymbolicLinkValue", 0, REG_LINK,
                                    reinterpret_cast<const BYTE*>(target.c_str()),
                                    static_cast<DWORD>(target.size() * sizeof(wchar_t)));
    RegCloseKey(link);
    ASSERT_EQ(ERROR_SUCCESS, set);
  }
  // Removes the link itself (RegDeleteTreeW would follow it).
  void DeleteLink(const std::wstring& relative) {
    using NtDeleteKeyFn = LONG(WINAPI*)(HANDLE);
    const auto deleteKey = reinterpret_cast<NtDeleteKeyFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtDeleteKey")));
    HKEY link = nullptr;
    if (RegOpenKeyExW(root_, relative.c_str(), REG_OPTION_OPEN_LINK, DELETE, &link) != ERROR_SUCCESS) return;
    deleteKey(link);
    RegCloseKey(link);
  }
  // Whether relative (below root_) exists as a key of its own, a link
  // included, without following a link at its end.
  bool LinkExists(const std::wstring& relative) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root_, relative.c_str(), REG_OPTION_OPEN_LINK, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
  }

  std::wstring path_;
  HKEY root_ = nullptr;
  std::vector<std::wstring> links_;
};

}  // namespace rvqtest
