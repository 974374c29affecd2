// The Windows version the process runs on: a small OS code and family, the
// version numbers with the service pack, the version of the System folder's
// kernel32.dll, the NT-line test and the 32-bit-emulation test.
//
// The version numbers come from the product version of kernel32.dll; the
// platform line and the service pack are settled with VerifyVersionInfoW.
// Both sources are virtual so that other Windows versions can be stood in.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace Trevalk {

class FileVersionInfo;

// The platform's version check. Override VerifyVersion to answer for
// another Windows.
class WinOSVersionAPI {
 public:
  virtual ~WinOSVersionAPI() = default;
  // Forwards to VerifyVersionInfoW and returns its result.
  virtual BOOL VerifyVersion(OSVERSIONINFOEXW* info, DWORD typeMask, DWORDLONG conditionMask);
};

// Numbers of a product version "major.minor.build.revision".
struct KernelVersion {
  DWORD major = 0;
  DWORD minor = 0;
  DWORD build = 0;
  DWORD revision = 0;
};

// Where an NT version stands in the OS code table.
struct OSClassification {
  DWORD code = 0;
  DWORD family = 0;
  // The highest service pack worth probing; 0 when none is probed.
  WORD servicePackProbeStart = 0;
};

// OS codes with a meaning of their own to callers.
constexpr DWORD kOSCodeUnknown = 0;
constexpr DWORD kOSCodeVista = 7;
constexpr DWORD kOSCodeWindows7 = 8;
constexpr DWORD kOSCodeWindows8 = 9;
constexpr DWORD kOSCodeWindows81 = 10;
constexpr DWORD kOSCodeWindows10 = 11;
constexpr DWORD kOSCodeOtherNT = 12;
constexpr DWORD kFamilyUnknown = 2;

// Splits `text` at every "." (empty parts kept) and reads the first four
// parts as unsigned 32-bit decimals; missing parts give 0. False, with `out`
// unspecified, for an empty text or a part that does not begin with a digit
// or does not fit 32 bits. Text after a part's leading digits is ignored.
bool ParseProductVersion(const std::wstring& text, KernelVersion& out);

// Reads "ProductVersion" of a loaded version resource and parses it.
bool ReadProductVersion(FileVersionInfo& info, KernelVersion& out);

// The OS code, family and service-pack probe start of an NT-line version.
OSClassification ClassifyNTVersion(DWORD major, DWORD minor);

// The OS code of a 9x-line minor version (the major is always 4).
DWORD ClassifyNineXMinor(DWORD minor);

// Finds the minor version by questions alone: `confirms(v, VER_LESS)` must
// answer whether the minor version is below v, `confirms(v, VER_EQUAL)`
// whether it equals v. Searches in steps of 8 up to `limit` rounded up to a
// multiple of 8, then halves. Returns `limit` when the version lies above.
DWORD ProbeMinorVersion(DWORD limit, const std::function<bool(DWORD value, BYTE condition)>& confirms);

// The first of start, start-1, ..., 1 for which `confirmsEqual` answers
// true; 0 when none does.
WORD ProbeServicePack(WORD start, const std::function<bool(WORD servicePack)>& confirmsEqual);

// True when the platform is the NT line (VerifyVersionInfoW confirms
// platform id 2). Asks the system every time.
bool IsNTPlatform(WinOSVersionAPI& api);
bool IsNTPlatform();

// True when IsWow64Process exists and reports that the process runs under
// 32-bit emulation on 64-bit Windows; false when it is missing or fails.
bool IsWow64();

namespace internal {

// The lazily computed OS data of one proxy. The computation runs at most
// once to success, under a spin-guarded once-flag; a failed computation
// leaves the object not computed and the next query tries again. Derive and
// override ReadKernelVersion to stand in for another kernel32.dll.
class OSInfoImpl {
 public:
  OSInfoImpl() = default;
  virtual ~OSInfoImpl() = default;
  OSInfoImpl(const OSInfoImpl&) = delete;
  OSInfoImpl& operator=(const OSInfoImpl&) = delete;

  // Reads the product version of the System folder's kernel32.dll.
  virtual bool ReadKernelVersion(KernelVersion& out);

  // The proxy's version API (not owned; must outlive every query).
  void SetVersionAPI(WinOSVersionAPI* api) { versionApi_ = api; }

  // Runs the computation unless it has completed. True when the data is
  // ready. Safe to call from several threads at once.
  bool EnsureComputed();

  DWORD osCode() const { return osCode_; }
  DWORD family() const { return family_; }
  DWORD versionMajor() const { return versionMajor_; }
  DWORD versionMinor() const { return versionMinor_; }
  WORD servicePack() const { return servicePack_; }
  const KernelVersion& kernel() const { return kernel_; }
  DWORD status() const { return status_; }

 private:
  bool Compute();
  bool ComputeNT();
  bool ComputeNineX();
  bool Confirms(DWORD typeMask, BYTE condition, const OSVERSIONINFOEXW& info);

  // 0 not computed, 1 being computed, 2 computed.
  std::atomic<LONG> onceFlag_{0};
  DWORD status_ = 0;
  DWORD versionMajor_ = 0;
  DWORD versionMinor_ = 0;
  WORD servicePack_ = 0;
  KernelVersion kernel_;
  DWORD osCode_ = 0;
  DWORD family_ = 0;
  WinOSVersionAPI* versionApi_ = nullptr;
};

// What callers create and ask. `Api` is WinOSVersionAPI or a type derived
// from it; the proxy owns one and its data object uses it. Every proxy
// computes anew: there is no process-wide cache. Queries may come from
// several threads; the proxy itself must not be copied or moved.
template <typename Api>
class OSInfoProxy {
 public:
  using Impl = OSInfoImpl;

  OSInfoProxy() : OSInfoProxy(std::make_shared<Impl>()) {}
  // Uses the given data object (a derived one stands in for kernel32.dll).
  explicit OSInfoProxy(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) { impl_->SetVersionAPI(&api_); }
  virtual ~OSInfoProxy() = default;
  OSInfoProxy(const OSInfoProxy&) = delete;
  OSInfoProxy& operator=(const OSInfoProxy&) = delete;

  // The OS code; 0 when the computation does not succeed.
  virtual DWORD GetOSCode() { return impl_->EnsureComputed() ? impl_->osCode() : kOSCodeUnknown; }

  // The family (0 older line, 1 newer line); 2 when the computation does
  // not succeed.
  virtual DWORD GetOSFamily() { return impl_->EnsureComputed() ? impl_->family() : kFamilyUnknown; }

  // Zeroes the outputs, fills them when computed; true when computed and the
  // OS code is not 12 (a version this table does not know).
  virtual bool GetOSVersion(DWORD& major, DWORD& minor, WORD& servicePack) {
    major = minor = 0;
    servicePack = 0;
    if (!impl_->EnsureComputed()) return false;
    major = impl_->versionMajor();
    minor = impl_->versionMinor();
    servicePack = impl_->servicePack();
    return impl_->osCode() != kOSCodeOtherNT;
  }

  // Sets the outputs to 0 and 2, then to the computed values; true when
  // computed.
  virtual bool GetOSCodes(DWORD& osCode, DWORD& family) {
    osCode = kOSCodeUnknown;
    family = kFamilyUnknown;
    if (!impl_->EnsureComputed()) return false;
    osCode = impl_->osCode();
    family = impl_->family();
    return true;
  }

  // Asked of the system every time, never cached.
  virtual bool IsWow64() { return Trevalk::IsWow64(); }
  virtual bool IsNTPlatform() { return Trevalk::IsNTPlatform(api_); }

  // Zeroes the output, fills it when computed; true when computed.
  virtual bool GetKernelVersion(KernelVersion& version) {
    version = KernelVersion();
    if (!impl_->EnsureComputed()) return false;
    version = impl_->kernel();
    return true;
  }

  Api& VersionAPI() { return api_; }

 private:
  // Declared first: the data object points at it and goes before it.
  Api api_;
  std::shared_ptr<Impl> impl_;
};

}  // namespace internal

// The OS code of `proxy` with 12 (a version the table does not know)
// replaced by 0; 0 also when the computation fails. `family` (may be null)
// receives the family with 2 replaced by 0.
template <typename Api>
DWORD QueryOSCode(internal::OSInfoProxy<Api>& proxy, DWORD* family = nullptr) {
  DWORD code = kOSCodeUnknown, familyCode = kFamilyUnknown;
  proxy.GetOSCodes(code, familyCode);
  if (family) *family = familyCode == kFamilyUnknown ? 0 : familyCode;
  return code == kOSCodeOtherNT ? kOSCodeUnknown : code;
}

// The same for a new proxy over the running system.
DWORD QueryOSCode(DWORD* family = nullptr);

}  // namespace Trevalk
