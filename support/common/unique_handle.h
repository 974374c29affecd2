// One owner type for every kind of handle, from one small template.
//
// Closing preserves the thread's last error: Win32 callers read it after the
// cleanup of a failed step.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <utility>

namespace Trevalk {

template <typename Traits>
class UniqueHandle {
 public:
  using pointer = typename Traits::pointer;

  UniqueHandle() noexcept = default;
  explicit UniqueHandle(pointer handle) noexcept : handle_(handle) {}
  ~UniqueHandle() { reset(); }

  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  pointer get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return Traits::IsValid(handle_); }

  // Closes what is held and returns the address of the empty slot, for APIs
  // that hand out a handle through an out-parameter.
  pointer* put() noexcept {
    reset();
    return &handle_;
  }

  pointer release() noexcept { return std::exchange(handle_, Traits::Invalid()); }

  void reset(pointer handle = Traits::Invalid()) noexcept {
    pointer old = std::exchange(handle_, handle);
    if (Traits::IsValid(old)) {
      const DWORD lastError = GetLastError();
      Traits::Close(old);
      SetLastError(lastError);
    }
  }

 private:
  pointer handle_ = Traits::Invalid();
};

namespace internal {

template <typename T, T kInvalid, auto kClose>
struct HandleTraits {
  using pointer = T;
  static pointer Invalid() noexcept { return kInvalid; }
  static bool IsValid(pointer h) noexcept { return h != kInvalid; }
  static void Close(pointer h) noexcept { kClose(h); }
};

struct FileHandleTraits {
  using pointer = HANDLE;
  static pointer Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static bool IsValid(pointer h) noexcept { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  static void Close(pointer h) noexcept { CloseHandle(h); }
};

struct FindHandleTraits {
  using pointer = HANDLE;
  static pointer Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static bool IsValid(pointer h) noexcept { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  static void Close(pointer h) noexcept { FindClose(h); }
};

inline void CloseKey(HKEY key) noexcept { RegCloseKey(key); }
inline void CloseKernelHandle(HANDLE h) noexcept { CloseHandle(h); }
inline void ReleaseModule(HMODULE module) noexcept { FreeLibrary(module); }
inline void CloseScHandle(SC_HANDLE h) noexcept { CloseServiceHandle(h); }
inline void FreeLocal(HLOCAL p) noexcept { LocalFree(p); }
inline void FreeCoTaskMemory(void* p) noexcept { CoTaskMemFree(p); }
inline void FreeSidBlock(PSID sid) noexcept { FreeSid(sid); }
// A deleter has nowhere to report a failed close: the void cast says the
// result is dropped on purpose. Code that must know that its writes reached
// the file flushes and checks before the handle goes.
inline void CloseCFile(FILE* file) noexcept { (void)fclose(file); }

}  // namespace internal

// An opened (never a predefined) registry key.
using UniqueHKey = UniqueHandle<internal::HandleTraits<HKEY, nullptr, internal::CloseKey>>;
// Process, thread, event: null when empty.
using UniqueKernelHandle = UniqueHandle<internal::HandleTraits<HANDLE, nullptr, internal::CloseKernelHandle>>;
// CreateFileW results: INVALID_HANDLE_VALUE when empty.
using UniqueFileHandle = UniqueHandle<internal::FileHandleTraits>;
using UniqueFindHandle = UniqueHandle<internal::FindHandleTraits>;
using UniqueModule = UniqueHandle<internal::HandleTraits<HMODULE, nullptr, internal::ReleaseModule>>;
using UniqueServiceHandle = UniqueHandle<internal::HandleTraits<SC_HANDLE, nullptr, internal::CloseScHandle>>;
using UniqueLocalMemory = UniqueHandle<internal::HandleTraits<HLOCAL, nullptr, internal::FreeLocal>>;
// Text the system hands out from the task allocator (SHGetKnownFolderPath):
// freed with CoTaskMemFree, also when the call that filled it failed.
using UniqueCoTaskString = UniqueHandle<internal::HandleTraits<PWSTR, nullptr, internal::FreeCoTaskMemory>>;
// AllocateAndInitializeSid results.
using UniqueSid = UniqueHandle<internal::HandleTraits<PSID, nullptr, internal::FreeSidBlock>>;
// A C runtime stream (_wfopen_s).
using UniqueCFile = UniqueHandle<internal::HandleTraits<FILE*, nullptr, internal::CloseCFile>>;

// A critical section that lives as long as its owner, and the scoped lock
// that enters it: every way out of a locked block leaves it.
class UniqueCriticalSection {
 public:
  explicit UniqueCriticalSection(DWORD spinCount) noexcept {
    InitializeCriticalSectionAndSpinCount(&section_, spinCount);
  }
  ~UniqueCriticalSection() { DeleteCriticalSection(&section_); }
  UniqueCriticalSection(const UniqueCriticalSection&) = delete;
  UniqueCriticalSection& operator=(const UniqueCriticalSection&) = delete;

  CRITICAL_SECTION* get() noexcept { return &section_; }

 private:
  CRITICAL_SECTION section_;
};

class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(UniqueCriticalSection& section) noexcept : section_(section.get()) {
    EnterCriticalSection(section_);
  }
  ~CriticalSectionLock() { LeaveCriticalSection(section_); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CRITICAL_SECTION* section_;
};

}  // namespace Trevalk
