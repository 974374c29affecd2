#include "os_version.h"

#include "file_version.h"

namespace Trevalk {

namespace {

constexpr DWORD kPlatform9x = VER_PLATFORM_WIN32_WINDOWS;  // 1
constexpr DWORD kPlatformNT = VER_PLATFORM_WIN32_NT;       // 2
constexpr DWORD kNineXMinorLimit = 100;

OSVERSIONINFOEXW ZeroedVersionRecord() {
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
  return info;
}

bool ConfirmsPlatform(WinOSVersionAPI& api, DWORD platform) {
  OSVERSIONINFOEXW info = ZeroedVersionRecord();
  info.dwPlatformId = platform;
  return api.VerifyVersion(&info, VER_PLATFORMID, VerSetConditionMask(0, VER_PLATFORMID, VER_EQUAL)) == TRUE;
}

}  // namespace

BOOL WinOSVersionAPI::VerifyVersion(OSVERSIONINFOEXW* info, DWORD typeMask, DWORDLONG conditionMask) {
  return ::VerifyVersionInfoW(info, typeMask, conditionMask);
}

bool ParseProductVersion(const std::wstring& text, KernelVersion& out) {
  if (text.empty()) return false;
  DWORD* const fields[4] = {&out.major, &out.minor, &out.build, &out.revision};
  out = KernelVersion();
  size_t start = 0;
  for (int part = 0; part < 4 && start <= text.size(); ++part) {
    size_t at = start;
    if (at >= text.size() || text[at] < L'0' || text[at] > L'9') return false;
    unsigned long long value = 0;
    for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at) {
      value = value * 10 + static_cast<unsigned>(text[at] - L'0');
      if (value > 0xFFFFFFFFull) return false;
    }
    *fields[part] = static_cast<DWORD>(value);
    const size_t dot = text.find(L'.', start);
    if (dot == std::wstring::npos) break;
    start = dot + 1;
  }
  return true;
}

bool ReadProductVersion(FileVersionInfo& info, KernelVersion& out) {
  return ParseProductVersion(info.GetString(L"ProductVersion"), out);
}

OSClassification ClassifyNTVersion(DWORD major, DWORD minor) {
  if (major <= 4) return {3, 0, 0};
  if (major == 5) return minor == 0 ? OSClassification{4, 0, 4} : OSClassification{6, 1, 3};
  if (major == 6) {
    switch (minor) {
      case 0: return {kOSCodeVista, 1, 2};
      case 1: return {kOSCodeWindows7, 1, 1};
      case 2: return {kOSCodeWindows8, 1, 0};
      default: return {kOSCodeWindows81, 1, 0};
    }
  }
  if (major == 10) return {kOSCodeWindows10, 1, 0};
  return {kOSCodeOtherNT, 1, 0};
}

DWORD ClassifyNineXMinor(DWORD minor) {
  if (minor == 0) return 1;
  return minor < 90 ? 2 : 5;
}

DWORD ProbeMinorVersion(DWORD limit, const std::function<bool(DWORD value, BYTE condition)>& confirms) {
  const DWORD top = (limit + 7) / 8 * 8;
  DWORD v = 8;
  while (v <= top && !confirms(v, VER_LESS)) v += 8;
  if (v > top) return limit;
  // The version lies in [v-8, v): halve down to one candidate.
  v -= 4;
  for (DWORD step : {2u, 1u}) {
    if (confirms(v, VER_LESS)) {
      v -= step;
    } else {
      v += step;
    }
  }
  if (!confirms(v, VER_EQUAL)) --v;
  return v;
}

WORD ProbeServicePack(WORD start, const std::function<bool(WORD servicePack)>& confirmsEqual) {
  for (WORD sp = start; sp >= 1; --sp) {
    if (confirmsEqual(sp)) return sp;
  }
  return 0;
}

bool IsNTPlatform(WinOSVersionAPI& api) { return ConfirmsPlatform(api, kPlatformNT); }

bool IsNTPlatform() {
  WinOSVersionAPI api;
  return IsNTPlatform(api);
}

bool IsWow64() {
  const HMODULE kernel = GetModuleHandleW(L"kernel32");
  if (!kernel) return false;
  using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
  const auto isWow64Process =
      reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")));
  if (!isWow64Process) return false;
  BOOL wow64 = FALSE;
  if (!isWow64Process(GetCurrentProcess(), &wow64)) return false;
  return wow64 == TRUE;
}

DWORD QueryOSCode(DWORD* family) {
  internal::OSInfoProxy<WinOSVersionAPI> proxy;
  return QueryOSCode(proxy, family);
}

namespace internal {

bool OSInfoImpl::ReadKernelVersion(KernelVersion& out) {
  SystemFileVersionInfo info;
  return info.Load(L"kernel32.dll") && ReadProductVersion(info, out);
}

bool OSInfoImpl::EnsureComputed() {
  for (unsigned spins = 1;; ++spins) {
    LONG expected = 0;
    if (onceFlag_.compare_exchange_strong(expected, 1)) break;
    if (expected == 2) return true;
    YieldProcessor();
    // Let a descheduled computing thread run when cores are scarce.
    if (spins % 1024 == 0) SwitchToThread();
  }
  const bool computed = Compute();
  onceFlag_.store(computed ? 2 : 0);
  return computed;
}

bool OSInfoImpl::Confirms(DWORD typeMask, BYTE condition, const OSVERSIONINFOEXW& info) {
  if (!versionApi_) return false;
  OSVERSIONINFOEXW copy = info;
  return versionApi_->VerifyVersion(&copy, typeMask, VerSetConditionMask(0, typeMask, condition)) == TRUE;
}

bool OSInfoImpl::Compute() {
  KernelVersion kernel;
  if (!ReadKernelVersion(kernel)) return false;
  kernel_ = kernel;
  if (!versionApi_) return false;
  bool result;
  if (ConfirmsPlatform(*versionApi_, kPlatform9x)) {
    result = ComputeNineX();
  } else if (ConfirmsPlatform(*versionApi_, kPlatformNT)) {
    result = ComputeNT();
  } else {
    return false;
  }
  status_ = 1;
  return result;
}

bool OSInfoImpl::ComputeNT() {
  versionMajor_ = kernel_.major;
  versionMinor_ = kernel_.minor;
  const OSClassification classification = ClassifyNTVersion(kernel_.major, kernel_.minor);
  osCode_ = classification.code;
  family_ = classification.family;
  servicePack_ = ProbeServicePack(classification.servicePackProbeStart, [this](WORD sp) {
    OSVERSIONINFOEXW info = ZeroedVersionRecord();
    info.wServicePackMajor = sp;
    return Confirms(VER_SERVICEPACKMAJOR, VER_EQUAL, info);
  });
  return true;
}

bool OSInfoImpl::ComputeNineX() {
  const DWORD minor = ProbeMinorVersion(kNineXMinorLimit, [this](DWORD value, BYTE condition) {
    OSVERSIONINFOEXW info = ZeroedVersionRecord();
    info.dwMinorVersion = value;
    return Confirms(VER_MINORVERSION, condition, info);
  });
  if (minor == kNineXMinorLimit) return false;
  versionMajor_ = 4;
  versionMinor_ = minor;
  servicePack_ = 0;
  family_ = 0;
  osCode_ = ClassifyNineXMinor(minor);
  return true;
}

}  // namespace internal

}  // namespace Trevalk
