// The process's current directory, saved when the owner is made and put back
// when it goes.
#pragma once

#include <windows.h>

#include <memory>

namespace Trevalk {

// Saves the current directory when made. Enter changes it only when it was
// saved, so that there is never a directory that cannot be put back; the
// saved one is put back by Restore, or by the destructor when Restore was
// not called (also when Enter failed: what was called in between may have
// moved it). Each failure keeps its Win32 error for the caller to report.
class ScopedCurrentDirectory {
 public:
  ScopedCurrentDirectory() noexcept;
  ~ScopedCurrentDirectory();
  ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
  ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

  // False when the current directory could not be read (or held); error()
  // then tells why.
  bool saved() const noexcept { return saved_ != nullptr; }

  // Makes `directory` current. False, with nothing changed, when the current
  // directory was not saved (error() is the saving's) or the change failed.
  // "X:" is taken as the root of drive X, never as that drive's own current
  // directory.
  bool Enter(const wchar_t* directory) noexcept;

  // Puts the saved directory back (nothing to do when none was saved),
  // trying three times, 50 ms apart. False when that failed; the process is
  // then still elsewhere.
  bool Restore() noexcept;

  // The last failure's Win32 error, 0 when none.
  DWORD error() const noexcept { return error_; }

 private:
  std::unique_ptr<wchar_t[]> saved_;
  DWORD error_ = 0;
  bool restorePending_ = false;
};

}  // namespace Trevalk
