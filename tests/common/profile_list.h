// Profiles that a test or the benchmark adds to the machine's profile list,
// for the per-user cleanup to walk. No test framework in here: the
// benchmark uses it too.
#pragma once

#include <windows.h>

#include <string>

namespace rvqtest {

// Writes a registry value, creating its key. True on success.
bool SetRegistryValue(HKEY root, const std::wstring& keyPath, const wchar_t* name, DWORD type, const void* data,
                      DWORD bytes);
// A string value with its terminator.
bool SetRegistryText(HKEY root, const std::wstring& keyPath, const wchar_t* name, const std::wstring& text,
                     DWORD type = REG_SZ);

// For the life of the object: profile keys "<sidPrefix><n>" (n = 1, 2, ...)
// below HKLM\...\ProfileList, and the default user's "Local AppData" set to
// "%USERPROFILE%\AppData\Local". Every key with the prefix (left by an
// earlier run too) is removed at both ends, and the value put back as it
// was. Each user of it takes a prefix of its own.
class TestProfileList {
 public:
  static constexpr const wchar_t* kListKey = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
  static constexpr const wchar_t* kShellFolders =
      L".DEFAULT\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

  explicit TestProfileList(const wchar_t* sidPrefix);
  ~TestProfileList();
  TestProfileList(const TestProfileList&) = delete;
  TestProfileList& operator=(const TestProfileList&) = delete;

  // False when "Local AppData" could not be saved or set.
  bool ready() const { return ready_; }

  // The key path (below HKLM) of a new profile, not written yet.
  std::wstring NextKey();
  // A new profile whose ProfileImagePath is `imagePath`; its key path, or
  // empty when it could not be written.
  std::wstring Add(const std::wstring& imagePath, DWORD type = REG_SZ);

 private:
  void RemoveOurs() const;

  std::wstring sidPrefix_;
  int added_ = 0;
  bool ready_ = false;
  bool savedFound_ = false;
  DWORD savedType_ = 0;
  DWORD savedBytes_ = 0;
  wchar_t savedValue_[1024] = {};
};

}  // namespace rvqtest
