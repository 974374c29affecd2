// Resource hygiene of checkRVQ.dll in one host process, with text logging
// on at its smallest ring: 1,000 calls of every entry point, and 200
// load/unload cycles, must leave the process's handle count and private
// bytes flat. The figures are printed for docs/reliability.md.
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "detection_list.h"
#include "entry_points.h"
#include "ini/ini_reader.h"
#include "registry/obfuscated_reg_key.h"
#include "registry/reg_key.h"
#include "step_test_util.h"
#include "test_support.h"

namespace {

constexpr int kCalls = 1000;
constexpr int kCycles = 200;
// Warm-up calls before the first measurement: the logger, the log folder and
// the C runtime's first allocations are made once.
constexpr int kWarmUp = 20;
// What "flat" allows: a few handles of the system's own caches, and heap
// growth below 64 bytes a call (a leak of one small block per call would
// show).
constexpr DWORD kHandleSlack = 4;
constexpr SIZE_T kBytesSlackPerCall = 64;

struct Usage {
  DWORD handles = 0;
  SIZE_T privateBytes = 0;
};

// Handles that are open: GetProcessHandleCount where the system counts
// (Wine 8 answers 0), else every handle value the table accepts.
DWORD OpenHandles() {
  DWORD count = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) return count;
  for (ULONG_PTR value = 4; value < 0x10000; value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
  }
  return count;
}

// Private bytes: PrivateUsage, or PagefileUsage where that is 0 (Wine 8);
// Windows documents both as the process's private commit.
SIZE_T PrivateBytes() {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                            sizeof counters)) {
    return 0;
  }
  return counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
}

Usage Measure() { return Usage{OpenHandles(), PrivateBytes()}; }

constexpr wchar_t kLoggingKey[] = L"SOFTWARE\\Bryxen\\Logging";
constexpr wchar_t kMechanism[] = L"Logging Mechanism";

// Text logging on for the library copy "checkRVQ.dll" in group
// "DetectRVQdll": the obfuscated mechanism value 1, and a log.ini in the
// log folder with the threshold at Normal and the smallest ring. Everything
// it adds is removed afterwards.
class TextLoggingOn {
 public:
  TextLoggingOn() {
    wchar_t programData[MAX_PATH] = {};
    GetEnvironmentVariableW(L"ProgramData", programData, MAX_PATH);
    logFolder_ = std::wstring(programData) + L"\\Bryxen\\BXLOGS\\DetectRVQdll\\checkRVQ";
    hadFolder_ = rvqtest::DirectoryExists(logFolder_);
    Trevalk::CObfuscatedRegKey key;
    ok_ = key.Create(HKEY_LOCAL_MACHINE, kLoggingKey) == ERROR_SUCCESS;
    DWORD type = 0, size = 0;
    hadMechanism_ = key.QueryValue(kMechanism, &type, nullptr, &size) == ERROR_SUCCESS;
    ok_ = ok_ && key.SetDWORDValue(kMechanism, 1) == ERROR_SUCCESS;
    SHCreateDirectory(logFolder_);
    Trevalk::CObfuscatedIniReader ini;
    ini.Load(logFolder_ + L"\\log.ini");
    ok_ = ok_ && ini.WriteInt(L"Config", L"Severity", 1) && ini.WriteInt(L"Config", L"MaxSize", 262144) &&
          ini.WriteInt(L"Config", L"MaxEntries", 2);
  }
  ~TextLoggingOn() {
    if (!hadMechanism_) {
      Trevalk::CRegKey key;
      if (key.Open(HKEY_LOCAL_MACHINE, kLoggingKey) == ERROR_SUCCESS) key.DeleteValue(kMechanism);
    }
    if (!hadFolder_) rvqtest::RemoveTree(logFolder_);
  }
  bool ok() const { return ok_; }
  const std::wstring& folder() const { return logFolder_; }

 private:
  static void SHCreateDirectory(const std::wstring& path) {
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
      CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
    CreateDirectoryW(path.c_str(), nullptr);
  }

  std::wstring logFolder_;
  bool hadFolder_ = false;
  bool hadMechanism_ = false;
  bool ok_ = false;
};

class Hygiene : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(logging_.ok());
    ASSERT_TRUE(rvqtest::CopyInto(folder_.path(), rvqtest::BinPath(L"checkRVQ.dll")));
    ASSERT_TRUE(rvqtest::CopyInto(folder_.path(), rvqtest::FixturePath(L"Uninst.dll")));
    ASSERT_TRUE(rvqtest::WriteFileBytes(folder_.Child(L"uninst.ini"),
                                        "[Detect]\r\nResult=1\r\nCount=2\r\nName0=Bryxen Tovrin Service\r\n"
                                        "Name1=Other Suite\r\n"));
  }

  HMODULE Load() { return LoadLibraryW(folder_.Child(L"checkRVQ.dll").c_str()); }

  rvqtest::RestoreInstallationKey installationKey_;
  TextLoggingOn logging_;
  rvqtest::ScratchDir folder_{L"rvq hygiene"};
  rvqtest::ScopedCurrentDirectory restoreDirectory_;
};

TEST(HygieneMeasure, SeesAHandleAndMemoryThatAreKept) {
  const Usage before = Measure();
  ASSERT_GT(before.handles, 0u);
  ASSERT_GT(before.privateBytes, 0u);
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::string kept(4 << 20, 'x');
  const Usage after = Measure();
  EXPECT_EQ(after.handles, before.handles + 1);
  EXPECT_GE(after.privateBytes, before.privateBytes + (3 << 20));
  CloseHandle(event);
  EXPECT_EQ(Measure().handles, before.handles);
}

template <typename Fn>
Fn Ordinal(HMODULE module, int ordinal) {
  return ProcAs<Fn>(GetProcAddress(module, MAKEINTRESOURCEA(ordinal)));
}

// What the Uninst.dll stand-in itself costs when loaded, called and freed
// `calls` times by the host (a test fixture with its own runtime; its growth
// is not the library's). DetectIncompatible is measured against it.
SIZE_T StandInGrowth(const std::wstring& path, int calls) {
  using DllUninstallFn = int (*)(const char*, const unsigned char**, DWORD*);
  const auto once = [&]() {
    HMODULE standIn = LoadLibraryW(path.c_str());
    if (!standIn) return;
    const auto call = ProcAs<DllUninstallFn>(GetProcAddress(standIn, "Dll_Uninstall"));
    const unsigned char* records = nullptr;
    DWORD count = 0;
    if (call) call("/D uninst.ini /L", &records, &count);
    FreeLibrary(standIn);
  };
  for (int k = 0; k < kWarmUp; ++k) once();
  const SIZE_T before = PrivateBytes();
  for (int k = 0; k < calls; ++k) once();
  const SIZE_T after = PrivateBytes();
  return after > before ? after - before : 0;
}

TEST_F(Hygiene, AThousandCallsOfEachEntryPointLeaveHandlesAndPrivateBytesFlat) {
  const SIZE_T standIn = StandInGrowth(folder_.Child(L"Uninst.dll"), kCalls);
  std::printf("hygiene: Uninst.dll stand-in alone, %d load/call/free: private bytes +%llu\n", kCalls,
              static_cast<unsigned long long>(standIn));
  HMODULE module = Load();
  ASSERT_NE(module, nullptr);
  const auto detect = Ordinal<DetectIncompatibleFn>(module, 2);
  const auto pre = Ordinal<PreInstallFn>(module, 4);
  const auto post = Ordinal<PostInstallFn>(module, 5);
  const auto onFree = Ordinal<OnFreeLibraryFn>(module, 6);
  const struct {
    const char* name;
    std::function<void()> call;
    SIZE_T allowance;  // growth that belongs to the stand-ins
  } entries[] = {
      {"StartApplication", [&] { Ordinal<StartApplicationFn>(module, 1)(); }, 0},
      {"DetectIncompatible",
       [&] {
         DWORD count = 0;
         IncompatibleProductRecord** list = nullptr;
         detect(&count, &list);
         rvqtest::FreeDetectionList(count, list);
       },
       standIn},
      {"UninstallIncompatible", [&] { Ordinal<UninstallIncompatibleFn>(module, 3)(); }, 0},
      {"PreInstall",
       [&] {
         StepResult* result = nullptr;
         DWORD flag = 0;
         pre(nullptr, nullptr, &result, &flag);
         HeapFree(GetProcessHeap(), 0, result);
       },
       0},
      {"PostInstall",
       [&] {
         StepResult* result = nullptr;
         DWORD flag = 0;
         post(nullptr, nullptr, &result, &flag);
         HeapFree(GetProcessHeap(), 0, result);
       },
       0},
      {"OnFreeLibrary", [&] { onFree(); }, 0},
      {"DllInstallFunction", [&] { Ordinal<DllInstallFunctionFn>(module, 7)(); }, 0},
      {"DllUninstallFunction", [&] { Ordinal<DllUninstallFunctionFn>(module, 8)(); }, 0},
  };
  for (const auto& entry : entries) {
    for (int k = 0; k < kWarmUp; ++k) entry.call();
    const Usage before = Measure();
    const DWORD started = GetTickCount();
    for (int k = 0; k < kCalls; ++k) entry.call();
    const DWORD elapsed = GetTickCount() - started;
    const Usage after = Measure();
    std::printf("hygiene: %-22s %d calls in %5lu ms: handles %lu -> %lu, private bytes %llu -> %llu\n", entry.name,
                kCalls, static_cast<unsigned long>(elapsed), static_cast<unsigned long>(before.handles),
                static_cast<unsigned long>(after.handles), static_cast<unsigned long long>(before.privateBytes),
                static_cast<unsigned long long>(after.privateBytes));
    EXPECT_LE(after.handles, before.handles + kHandleSlack) << entry.name;
    EXPECT_LE(after.privateBytes, before.privateBytes + entry.allowance + kBytesSlackPerCall * kCalls) << entry.name;
  }
  FreeLibrary(module);
  // The text log was written to all along.
  EXPECT_TRUE(rvqtest::FileExists(logging_.folder() + L"\\checkRVQ000.log") ||
              rvqtest::FileExists(logging_.folder() + L"\\checkRVQ001.log"));
}

// The lowest TLS index that is free: a cycle that keeps an index moves it.
DWORD LowestFreeTlsIndex() {
  const DWORD index = TlsAlloc();
  if (index != TLS_OUT_OF_INDEXES) TlsFree(index);
  return index;
}

// Each cycle creates the logger, logs, and unloads; the stand-in is left
// out so that only the library's own life is measured. Once with the text
// log on, once with ETW (the default: no mechanism value).
TEST_F(Hygiene, TwoHundredLoadUnloadCyclesLeaveHandlesTlsAndPrivateBytesFlat) {
  const auto cycle = [&]() {
    HMODULE module = Load();
    ASSERT_NE(module, nullptr);
    StepResult* result = nullptr;
    DWORD flag = 0;
    Ordinal<PreInstallFn>(module, 4)(nullptr, nullptr, &result, &flag);
    HeapFree(GetProcessHeap(), 0, result);
    result = nullptr;
    Ordinal<PostInstallFn>(module, 5)(nullptr, nullptr, &result, &flag);
    HeapFree(GetProcessHeap(), 0, result);
    Ordinal<UninstallIncompatibleFn>(module, 3)();
    Ordinal<OnFreeLibraryFn>(module, 6)();
    ASSERT_TRUE(FreeLibrary(module));
    // Unloaded for real: nothing kept the library in the process.
    ASSERT_EQ(GetModuleHandleW(folder_.Child(L"checkRVQ.dll").c_str()), nullptr);
  };
  for (const bool etw : {false, true}) {
    SCOPED_TRACE(etw ? "ETW" : "text log");
    if (etw) {
      Trevalk::CRegKey key;
      ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kLoggingKey), static_cast<LSTATUS>(ERROR_SUCCESS));
      key.DeleteValue(kMechanism);
    }
    for (int k = 0; k < kWarmUp; ++k) cycle();
    const Usage before = Measure();
    const DWORD tlsBefore = LowestFreeTlsIndex();
    for (int k = 0; k < kCycles; ++k) cycle();
    const Usage after = Measure();
    const DWORD tlsAfter = LowestFreeTlsIndex();
    std::printf("hygiene: load/unload %d cycles (%s): handles %lu -> %lu, private bytes %llu -> %llu, "
                "lowest free TLS index %lu -> %lu\n",
                kCycles, etw ? "ETW" : "text log", static_cast<unsigned long>(before.handles),
                static_cast<unsigned long>(after.handles), static_cast<unsigned long long>(before.privateBytes),
                static_cast<unsigned long long>(after.privateBytes), static_cast<unsigned long>(tlsBefore),
                static_cast<unsigned long>(tlsAfter));
    EXPECT_LE(after.handles, before.handles + kHandleSlack);
    // The runtime's TLS index (winpthreads') goes with the library.
    EXPECT_EQ(tlsAfter, tlsBefore);
    // Before the library freed libstdc++'s emergency pool at unload, every
    // cycle kept about 4 KB of touched pages here (73 KB of commit on Windows).
    EXPECT_LE(after.privateBytes, before.privateBytes + kBytesSlackPerCall * kCycles);
  }
}

}  // namespace
