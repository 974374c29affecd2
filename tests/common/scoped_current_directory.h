// The process's current directory for the life of an object.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace rvqtest {

inline std::wstring CurrentDirectory() {
  std::vector<wchar_t> buffer(GetCurrentDirectoryW(0, nullptr) + 1);
  const DWORD n = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
  return std::wstring(buffer.data(), n);
}

// Puts the current directory back when the object goes; the second form
// changes it to `directory` first.
class ScopedCurrentDirectory {
 public:
  ScopedCurrentDirectory() : saved_(CurrentDirectory()) {}
  explicit ScopedCurrentDirectory(const std::wstring& directory) : ScopedCurrentDirectory() {
    EXPECT_TRUE(SetCurrentDirectoryW(directory.c_str()));
  }
  ~ScopedCurrentDirectory() { SetCurrentDirectoryW(saved_.c_str()); }
  ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
  ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

 private:
  std::wstring saved_;
};

}  // namespace rvqtest
