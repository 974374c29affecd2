// The fault host's child side: one run of one entry point under injection,
// or load/call/unload cycles with resource figures. The controller
// (controller.cpp) prepares the machine before and judges it afterwards;
// the child reports what only the calling process sees: the result, the
// out-parameters, the current directory, the calls it counted.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "detection_list.h"
#include "entry_points.h"
#include "fault_host.h"
#include "interception.h"
#include "step_test_util.h"

namespace rvqfaults {
namespace {

template <typename Fn>
Fn Export(HMODULE module, const char* name) {
  return ProcAs<Fn>(GetProcAddress(module, name));
}

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
  return text;
}

// Names as the report carries them: UTF-8, '|' and ';' replaced.
std::string Field(const std::wstring& text) {
  std::string out = rvqtest::ToUtf8(text);
  for (char& c : out) {
    if (c == '|' || c == ';' || c == '\n' || c == '\r') c = '_';
  }
  return out;
}

size_t Lines(const std::wstring& path) { return rvqtest::SplitLines(rvqtest::ReadFileBytes(path)).size(); }

// Calls `name` once and describes what the host received. Blocks handed
// over are checked against the contract and freed with the process heap.
std::string CallExport(HMODULE module, const std::string& name, bool* outsOk) {
  *outsOk = true;
  std::string out;
  if (name == "StartApplication") {
    out = "result=" + Hex(Export<StartApplicationFn>(module, "StartApplication")());
  } else if (name == "DetectIncompatible") {
    DWORD count = 77;
    IncompatibleProductRecord** list = reinterpret_cast<IncompatibleProductRecord**>(1);
    const DWORD result = Export<DetectIncompatibleFn>(module, "DetectIncompatible")(&count, &list);
    out = "result=" + Hex(result) + "|count=" + std::to_string(count) + "|names=";
    if (!list != (count == 0) || (result != 0 && list)) *outsOk = false;
    if (list && list != reinterpret_cast<IncompatibleProductRecord**>(1)) {
      for (DWORD i = 0; i < count; ++i) {
        if (!list[i] || !list[i]->productName) {
          *outsOk = false;
          out += "<null>;";
          continue;
        }
        out += Field(list[i]->productName) + "/" + std::to_string(list[i]->lacksMakerName) +
               std::to_string(list[i]->matchesServiceName) + ";";
      }
      if (*outsOk) rvqtest::FreeDetectionList(count, list);
    } else if (list) {
      *outsOk = false;  // left as the host set it
    }
  } else if (name == "UninstallIncompatible") {
    const DWORD result = Export<UninstallIncompatibleFn>(module, "UninstallIncompatible")();
    out = "result=" + Hex(result) + "|runsAtReturn=" + std::to_string(Lines(LibDir() + L"\\bxclean-runs.txt"));
  } else if (name == "PreInstall" || name == "PostInstall") {
    StepResult* block = reinterpret_cast<StepResult*>(1);
    DWORD flag = 77;
    const DWORD result = Export<PreInstallFn>(module, name.c_str())(nullptr, nullptr, &block, &flag);
    out = "result=" + Hex(result) + "|flag=" + std::to_string(flag);
    const DWORD wantFlag = name == "PreInstall" ? 1 : 0;
    if (result == 0) {
      static const StepResult zero{};
      if (!block || block == reinterpret_cast<StepResult*>(1) || std::memcmp(block, &zero, sizeof zero) != 0 ||
          flag != wantFlag) {
        *outsOk = false;
      }
    } else if (block || flag != 0) {
      *outsOk = false;
    }
    if (block && block != reinterpret_cast<StepResult*>(1)) HeapFree(GetProcessHeap(), 0, block);
  } else if (name == "OnFreeLibrary") {
    Export<OnFreeLibraryFn>(module, "OnFreeLibrary")();
    out = "result=0x00000000";
  } else if (name == "DllInstallFunction") {
    out = "result=" + Hex(Export<DllInstallFunctionFn>(module, "DllInstallFunction")());
  } else if (name == "DllUninstallFunction") {
    out = "result=" + Hex(Export<DllUninstallFunctionFn>(module, "DllUninstallFunction")());
  } else if (name == "RvqUpgd") {
    using RunFn = DWORD (*)(int, const char* const*);
    const char* const argv[] = {"RvqUpgd.exe", "10", nullptr};
    out = "result=" + Hex(Export<RunFn>(module, "RunUpgrade")(2, argv));
  }
  return out;
}

std::wstring ModulePath(const std::string& name) {
  return LibDir() + (name == "RvqUpgd" ? L"\\upgrade_probe.dll" : L"\\checkRVQ.dll");
}

}  // namespace

int RunChild(const std::string& name, Mode mode, unsigned long n) {
  HMODULE module = LoadLibraryW(ModulePath(name).c_str());
  if (!module) {
    std::printf("RUN|error=load %lu\n", GetLastError());
    return 2;
  }
  std::string unclassified;
  if (!PatchModule(module, &unclassified) || !unclassified.empty()) {
    std::printf("RUN|error=unclassified imports:%s\n", unclassified.c_str());
    return 2;
  }
  Configure(mode, n);
  const std::wstring before = rvqtest::CurrentDirectory();
  bool outsOk = true;
  const bool unloadArmed = name == "OnFreeLibrary";
  Arm(true);
  const std::string answer = CallExport(module, name, &outsOk);
  if (unloadArmed) {
    // The unload is this entry point's work: it runs under injection too.
    FreeLibrary(module);
    module = nullptr;
  }
  Arm(false);
  const std::wstring after = rvqtest::CurrentDirectory();
  const unsigned long calls = CountedCalls(), failed = FailedCalls();
  std::string first = "-|site=-";
  if (failed && n >= 1 && n <= RecordedCalls()) {
    const CallSite site = RecordedCall(n - 1);
    char text[128];
    std::snprintf(text, sizeof text, "%s|site=%llx", site.function, static_cast<unsigned long long>(site.rva));
    first = text;
  }
  // Printed before the unload (but for OnFreeLibrary's runs), so that a
  // crash there still leaves the answer.
  std::printf("RUN|%s|outs=%s|calls=%lu|failed=%lu|fn=%s|cwdSame=%d|cwdAfter=%s\n", answer.c_str(),
              outsOk ? "ok" : "bad", calls, failed, first.c_str(), before == after ? 1 : 0, Field(after).c_str());
  if (mode == Mode::kCount) {
    for (unsigned long i = 0; i < RecordedCalls(); ++i) {
      const CallSite site = RecordedCall(i);
      std::printf("SITE|%lu|%s|%llx\n", i + 1, site.function, static_cast<unsigned long long>(site.rva));
    }
  }
  std::fflush(stdout);
  if (module) {
    if (name != "RvqUpgd") Export<OnFreeLibraryFn>(module, "OnFreeLibrary")();
    FreeLibrary(module);
  }
  std::printf("UNLOADED\n");
  std::fflush(stdout);
  return 0;
}

namespace {

DWORD OpenHandles() {
  DWORD count = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) return count;
  for (ULONG_PTR value = 4; value < 0x10000; value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
  }
  return count;
}

SIZE_T PrivateBytes() {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                            sizeof counters)) {
    return 0;
  }
  return counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
}

// The lowest free TLS index: it climbs when a cycle keeps one.
DWORD TlsProbe() {
  const DWORD index = TlsAlloc();
  if (index != TLS_OUT_OF_INDEXES) TlsFree(index);
  return index;
}

}  // namespace

namespace {

struct Growth {
  double handles = 0, tls = 0, bytes = 0;
};

// What `once` leaves per call, from the end of its first call to the end of
// its last.
template <typename Fn>
Growth Measure(int cycles, Fn once) {
  DWORD handles[2] = {}, tls[2] = {};
  SIZE_T bytes[2] = {};
  for (int c = 1; c <= cycles; ++c) {
    once();
    if (c == 1 || c == cycles) {
      const int k = c == 1 ? 0 : 1;
      handles[k] = OpenHandles();
      tls[k] = TlsProbe();
      bytes[k] = PrivateBytes();
    }
  }
  const double per = cycles - 1;
  return Growth{(static_cast<double>(handles[1]) - handles[0]) / per, (static_cast<double>(tls[1]) - tls[0]) / per,
                (static_cast<double>(bytes[1]) - static_cast<double>(bytes[0])) / per};
}

}  // namespace

int RunCycles(const std::string& name, int cycles) {
  // An installer host is a windowed program: user32 is there before the
  // library is. Under Wine, a process that gets user32 only through the
  // library's first call (its shell32 brings it) grows its heap by about
  // 900 bytes for each later pair of cleaner starts; with user32 there
  // first, by nothing (both measured, the cause not found).
  LoadLibraryW(L"user32.dll");
  // DetectIncompatible loads and frees the Uninst.dll stand-in each time, a
  // fixture with a runtime of its own: what it keeps alone is measured
  // first and taken off.
  Growth standIn;
  if (name == "DetectIncompatible") {
    standIn = Measure(cycles, [] {
      using DllUninstallFn = int (*)(const char*, const unsigned char**, DWORD*);
      HMODULE module = LoadLibraryW((LibDir() + L"\\Uninst.dll").c_str());
      if (!module) return;
      const unsigned char* records = nullptr;
      DWORD count = 0;
      if (auto call = Export<DllUninstallFn>(module, "Dll_Uninstall")) call("/D uninst.ini /L", &records, &count);
      FreeLibrary(module);
    });
  }
  // UninstallIncompatible starts the cleaner stand-in twice a call: what
  // starting and waiting for a process keeps in the parent (Wine's own
  // bookkeeping) is measured alone the same way and taken off.
  if (name == "UninstallIncompatible") {
    standIn = Measure(cycles, [] {
      const std::wstring program = LibDir() + L"\\bxclean.exe";
      for (int run = 0; run < 2; ++run) {
        wchar_t command[] = L"bxclean.exe -p none";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(program.c_str(), command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
          return;
        }
        WaitForSingleObject(info.hProcess, INFINITE);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
      }
    });
  }
  bool loaded = true;
  Growth ours = Measure(cycles, [&] {
    HMODULE module = LoadLibraryW(ModulePath(name).c_str());
    if (!module) {
      loaded = false;
      return;
    }
    bool outsOk = true;
    CallExport(module, name, &outsOk);
    if (name != "RvqUpgd") Export<OnFreeLibraryFn>(module, "OnFreeLibrary")();
    FreeLibrary(module);
    // Each cycle from the same machine: the locale files' scheduling adds
    // to one registry value, which Wine's MoveFileExW reads whole each
    // time (about 500 bytes more heap a cycle, the value's own growth).
    if (name == "DllInstallFunction") {
      RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                         L"PendingFileRenameOperations");
    }
  });
  if (!loaded) {
    std::printf("CYCLES|error=load %lu\n", GetLastError());
    return 2;
  }
  std::printf("CYCLES|cycles=%d|handles=%.2f|tls=%.2f|bytes=%.0f|standInBytes=%.0f\n", cycles,
              ours.handles - standIn.handles, ours.tls - standIn.tls, ours.bytes - standIn.bytes, standIn.bytes);
  return 0;
}

}  // namespace rvqfaults
