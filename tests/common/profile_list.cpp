#include "profile_list.h"

#include <vector>

#include "common/unique_handle.h"

namespace rvqtest {

bool SetRegistryValue(HKEY root, const std::wstring& keyPath, const wchar_t* name, DWORD type, const void* data,
                      DWORD bytes) {
  Trevalk::UniqueHKey key;
  return RegCreateKeyExW(root, keyPath.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr) ==
             ERROR_SUCCESS &&
         RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), bytes) == ERROR_SUCCESS;
}

bool SetRegistryText(HKEY root, const std::wstring& keyPath, const wchar_t* name, const std::wstring& text,
                     DWORD type) {
  return SetRegistryValue(root, keyPath, name, type, text.c_str(),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

TestProfileList::TestProfileList(const wchar_t* sidPrefix) : sidPrefix_(sidPrefix) {
  RemoveOurs();
  Trevalk::UniqueHKey key;
  if (RegOpenKeyExW(HKEY_USERS, kShellFolders, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return;
  savedBytes_ = sizeof savedValue_;
  const LSTATUS read = RegQueryValueExW(key.get(), L"Local AppData", nullptr, &savedType_,
                                        reinterpret_cast<BYTE*>(savedValue_), &savedBytes_);
  if (read != ERROR_SUCCESS && read != ERROR_FILE_NOT_FOUND) return;  // one we could not put back
  savedFound_ = read == ERROR_SUCCESS;
  ready_ =
      SetRegistryText(HKEY_USERS, kShellFolders, L"Local AppData", L"%USERPROFILE%\\AppData\\Local", REG_EXPAND_SZ);
}

TestProfileList::~TestProfileList() {
  RemoveOurs();
  if (savedFound_) {
    SetRegistryValue(HKEY_USERS, kShellFolders, L"Local AppData", savedType_, savedValue_, savedBytes_);
  } else if (ready_) {
    Trevalk::UniqueHKey key;
    if (RegOpenKeyExW(HKEY_USERS, kShellFolders, 0, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS) {
      RegDeleteValueW(key.get(), L"Local AppData");
    }
  }
}

std::wstring TestProfileList::NextKey() {
  return std::wstring(kListKey) + L"\\" + sidPrefix_ + std::to_wstring(++added_);
}

std::wstring TestProfileList::Add(const std::wstring& imagePath, DWORD type) {
  const std::wstring key = NextKey();
  return SetRegistryText(HKEY_LOCAL_MACHINE, key, L"ProfileImagePath", imagePath, type) ? key : std::wstring();
}

void TestProfileList::RemoveOurs() const {
  Trevalk::UniqueHKey list;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kListKey, 0, KEY_READ, list.put()) != ERROR_SUCCESS) return;
  std::vector<std::wstring> ours;
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD chars = 256;
    if (RegEnumKeyExW(list.get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    if (std::wstring(name).rfind(sidPrefix_, 0) == 0) ours.push_back(name);
  }
  for (const auto& sid : ours) RegDeleteTreeW(list.get(), sid.c_str());
}

}  // namespace rvqtest
