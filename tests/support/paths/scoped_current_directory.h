// Sets the process's current directory for the life of the object.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "paths/paths.h"

namespace rvqtest {

class ScopedCurrentDirectory {
 public:
  explicit ScopedCurrentDirectory(const std::wstring& directory) : saved_(Trevalk::GetCurrentDirectoryString()) {
    EXPECT_TRUE(SetCurrentDirectoryW(directory.c_str()));
  }
  ~ScopedCurrentDirectory() { SetCurrentDirectoryW(saved_.c_str()); }
  ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
  ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

 private:
  std::wstring saved_;
};

}  // namespace rvqtest
