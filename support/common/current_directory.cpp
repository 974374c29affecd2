#include "current_directory.h"

#include <new>
#include <utility>

namespace Trevalk {

ScopedCurrentDirectory::ScopedCurrentDirectory() noexcept {
  const DWORD needed = GetCurrentDirectoryW(0, nullptr);
  if (needed == 0) {
    error_ = GetLastError();
    return;
  }
  std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[static_cast<size_t>(needed) + 1]());
  if (!buffer) {
    error_ = ERROR_NOT_ENOUGH_MEMORY;
    return;
  }
  const DWORD read = GetCurrentDirectoryW(needed + 1, buffer.get());
  if (read == 0) {
    error_ = GetLastError();
    return;
  }
  if (read > needed) {
    // It grew in between and did not fit: not saved.
    error_ = ERROR_INSUFFICIENT_BUFFER;
    return;
  }
  saved_ = std::move(buffer);
  restorePending_ = true;
}

ScopedCurrentDirectory::~ScopedCurrentDirectory() {
  if (restorePending_) Restore();
}

bool ScopedCurrentDirectory::Enter(const wchar_t* directory) noexcept {
  if (!saved_) {
    if (error_ == 0) error_ = ERROR_INVALID_FUNCTION;
    return false;
  }
  if (!directory || directory[0] == L'\0') {
    error_ = ERROR_INVALID_PARAMETER;
    return false;
  }
  constexpr size_t kDriveRootChars = 4;  // "X:\" and the terminator
  wchar_t driveRoot[kDriveRootChars];
  if (directory[1] == L':' && directory[2] == L'\0') {
    driveRoot[0] = directory[0];
    driveRoot[1] = L':';
    driveRoot[2] = L'\\';
    driveRoot[3] = L'\0';
    directory = driveRoot;
  }
  if (!SetCurrentDirectoryW(directory)) {
    error_ = GetLastError();
    return false;
  }
  return true;
}

bool ScopedCurrentDirectory::Restore() noexcept {
  restorePending_ = false;
  if (!saved_) return true;
  // The host is left elsewhere when this fails: a failure that may pass (a
  // system short of memory or handles) is tried again, twice.
  constexpr int kAttempts = 3;
  constexpr DWORD kPauseMilliseconds = 50;
  for (int attempt = 1;; ++attempt) {
    if (SetCurrentDirectoryW(saved_.get())) return true;
    error_ = GetLastError();
    if (attempt == kAttempts) return false;
    Sleep(kPauseMilliseconds);
  }
}

}  // namespace Trevalk
