// The process's current directory for the life of an object: the support
// library's owner, with the test's expectation on the change.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/current_directory.h"

namespace rvqtest {

inline std::wstring CurrentDirectory() {
  std::vector<wchar_t> buffer(GetCurrentDirectoryW(0, nullptr) + 1);
  const DWORD n = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
  return std::wstring(buffer.data(), n);
}

// Puts the current directory back when the object goes; the second form
// changes it to `directory` first.
class ScopedCurrentDirectory : public Trevalk::ScopedCurrentDirectory {
 public:
  ScopedCurrentDirectory() = default;
  explicit ScopedCurrentDirectory(const std::wstring& directory) { EXPECT_TRUE(Enter(directory.c_str())); }
};

}  // namespace rvqtest
