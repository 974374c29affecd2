// A failed log line changes nothing: a logger that throws at its N-th line
// (the seam: every step logs through the facade, whose builder tests
// replace) at every one of an entry point's lines in turn. Each time the
// entry point must do its whole work and give its usual answer, leave the
// current directory as it was, unload what it loaded and hand over nothing
// half-made; the test process (the host) carries on.
#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>

#include "allocation_counter.h"
#include "detection.h"
#include "detection_list.h"
#include "entry_points.h"
#include "library_copy.h"
#include "module_state.h"
#include "recording_logger.h"
#include "step_test_util.h"

namespace {

// When and what the logger throws. writes counts every line written.
struct ThrowPlan {
  int throwAt = 0;  // 0: never
  int writes = 0;
  int kind = 0;
};

[[noreturn]] void ThrowOfKind(int kind) {
  switch (kind % 3) {
    case 0: throw std::bad_alloc();
    case 1: throw std::runtime_error("logger failure");
    default: throw 42;
  }
}

class ThrowingLogger : public rvqtest::RecordingTextLogger {
 public:
  ThrowingLogger(rvqtest::RecordingState& state, ThrowPlan& plan) : rvqtest::RecordingTextLogger(state), plan_(plan) {}
  DWORD WriteEntry(const wchar_t* sourceFile, const wchar_t* function, int line, DWORD severity,
                   const wchar_t* message) override {
    if (++plan_.writes == plan_.throwAt) ThrowOfKind(plan_.kind);
    return rvqtest::RecordingTextLogger::WriteEntry(sourceFile, function, line, severity, message);
  }

 private:
  ThrowPlan& plan_;
};

class ThrowingBuilder : public ETWLogging::CLogBuilderIf {
 public:
  ThrowingBuilder(rvqtest::RecordingState& state, ThrowPlan& plan) : state_(state), plan_(plan) {}
  bool Build(const wchar_t*, HMODULE, const wchar_t*, DWORD, ETWLogging::CLoggingIf** logger,
             Trevalk::CRegKey*) override {
    *logger = new ThrowingLogger(state_, plan_);
    return true;
  }

 private:
  rvqtest::RecordingState& state_;
  ThrowPlan& plan_;
};

class ExportGuard : public ::testing::Test {
 protected:
  void SetUp() override {
    state_.threshold = 1;  // every severity is written, so every line can throw
    ETWLogging::testing::ResetLogging();
    ASSERT_TRUE(ETWLogging::testing::InstallLogBuilder(&builder_));
    // The library is a copy of checkRVQ.dll beside the Uninst.dll stand-in,
    // which lists three products (so detection logs four lines).
    ASSERT_TRUE(library_.Load());
    ASSERT_TRUE(rvqtest::CopyInto(folder_.path(), rvqtest::FixturePath(L"Uninst.dll")));
    ASSERT_TRUE(rvqtest::WriteFileBytes(folder_.Child(L"uninst.ini"),
                                        "[Detect]\r\nResult=1\r\nCount=3\r\nName0=Bryxen Tovrin Service\r\n"
                                        "Name1=Other Suite\r\nName2=Bryxen Desktop\r\n"));
    ASSERT_TRUE(SetCurrentDirectoryW(elsewhere_.path().c_str()));
  }
  void TearDown() override { ETWLogging::testing::ResetLogging(); }

  // Runs `call` with the logger throwing at line 1, 2, ... until a run ends
  // without reaching the throw; `check` sees each result. Returns how many
  // throw points there were.
  template <typename Call, typename Check>
  int AtEveryLine(Call call, Check check) {
    int points = 0;
    for (int at = 1; at <= 64; ++at) {
      plan_ = ThrowPlan{at, 0, at};
      const std::wstring before = rvqtest::CurrentDirectory();
      const DWORD result = call();
      EXPECT_EQ(rvqtest::CurrentDirectory(), before) << "throw at line " << at;
      check(result, at);
      if (plan_.writes < at) break;  // this run had no line left to throw at
      ++points;
    }
    return points;
  }

  bool UninstallerLoaded() { return GetModuleHandleW(folder_.Child(L"Uninst.dll").c_str()) != nullptr; }

  rvqtest::RestoreInstallationKey installationKey_;
  rvqtest::RecordingState state_;
  ThrowPlan plan_;
  ThrowingBuilder builder_{state_, plan_};
  rvqtest::LibraryCopy library_{L"rvq guard"};
  const rvqtest::ScratchDir& folder_ = library_.folder();
  rvqtest::ScratchDir elsewhere_{L"rvq elsewhere"};
  rvqtest::ScopedCurrentDirectory restoreDirectory_;
};

TEST_F(ExportGuard, DetectIncompatibleAnswersAtEveryThrowPoint) {
  const int points = AtEveryLine(
      [&]() -> DWORD {
        DWORD count = 99;
        IncompatibleProductRecord** list = nullptr;
        const DWORD result = DetectIncompatible(&count, &list);
        // The uninstaller's answer is handed over whole whichever line
        // failed. The host frees it.
        EXPECT_EQ(count, 3u);
        EXPECT_NE(list, nullptr);
        if (list) {
          for (DWORD i = 0; i < count; ++i) EXPECT_NE(list[i]->productName, nullptr);
          rvqtest::FreeDetectionList(count, list);
        }
        return result;
      },
      [&](DWORD result, int at) {
        EXPECT_EQ(result, 0u) << "throw at line " << at;
        EXPECT_FALSE(UninstallerLoaded()) << "throw at line " << at;
      });
  EXPECT_EQ(points, 4);  // the detections line and one line per product
}

TEST_F(ExportGuard, EveryOtherEntryPointAnswersAtEveryThrowPoint) {
  // The cleaner stand-in beside the library: both runs happen and succeed.
  ASSERT_TRUE(rvqtest::CopyInto(folder_.path(), rvqtest::FixturePath(L"bxclean.exe")));
  StepResult* stepResult = nullptr;
  DWORD flag = 7;
  // The step's flag is part of its answer: PreInstall's "can be installed"
  // 1, PostInstall's "needs reboot" 0, each with a StepResult.
  const auto stepAnswer = [&](DWORD r, DWORD expectedFlag) {
    const bool whole = stepResult != nullptr && flag == expectedFlag;
    if (stepResult) HeapFree(GetProcessHeap(), 0, stepResult);
    stepResult = nullptr;
    return whole ? r : 0xBAD0u + r;
  };
  const struct {
    const char* name;
    std::function<DWORD()> call;
    int minimumPoints;
  } entries[] = {
      {"StartApplication", [] { return StartApplication(); }, 0},
      {"UninstallIncompatible", [] { return UninstallIncompatible(); }, 2},
      {"PreInstall", [&] { return stepAnswer(PreInstall(nullptr, nullptr, &stepResult, &flag), 1); }, 2},
      {"PostInstall", [&] { return stepAnswer(PostInstall(nullptr, nullptr, &stepResult, &flag), 0); }, 2},
      {"DllInstallFunction", [] { return DllInstallFunction(); }, 0},
      {"DllUninstallFunction", [] { return DllUninstallFunction(); }, 0},
      {"OnFreeLibrary",
       [] {
         OnFreeLibrary();
         return DWORD{0};
       },
       0},
  };
  for (const auto& entry : entries) {
    const int points = AtEveryLine(entry.call, [&](DWORD result, int at) {
      EXPECT_EQ(result, 0u) << entry.name << " answered " << result << " at line " << at;
    });
    EXPECT_GE(points, entry.minimumPoints) << entry.name;
  }
}

TEST_F(ExportGuard, DllInstallFunctionRunsEveryStepWhenOneThrows) {
  // The service removal logs first (the service is missing, or cannot be
  // opened); its first line throws. The step is not cut short by it, and
  // the installation is still recorded.
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Bryxen\\RVQ", 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key) ==
      ERROR_SUCCESS) {
    RegDeleteValueW(key, L"InstallPlatform");
    RegCloseKey(key);
  }
  plan_ = ThrowPlan{1, 0, 0};
  EXPECT_EQ(DllInstallFunction(), 0u);
  ASSERT_GE(plan_.writes, 1);
  DWORD platform = 0;
  DWORD bytes = sizeof platform;
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Bryxen\\RVQ", L"InstallPlatform",
                         RRF_RT_REG_DWORD, nullptr, &platform, &bytes),
            ERROR_SUCCESS);
  EXPECT_EQ(platform, 17u);  // Wine answers 10.0
  bool logged = false;
  for (const auto& entry : state_.Entries()) {
    logged = logged || (entry.severity == 4 && entry.function == L"DllInstallFunction" && entry.line == 301);
  }
  EXPECT_FALSE(logged) << "the removal step failed";
}

// The host's blocks, counted: what an export still holds after it failed
// was not released.
int g_liveHostBlocks = 0;
void* CountingHostAllocate(size_t bytes) {
  void* block = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
  if (block) ++g_liveHostBlocks;
  return block;
}
void CountingHostRelease(void* block) {
  if (!block) return;
  --g_liveHostBlocks;
  HeapFree(GetProcessHeap(), 0, block);
}

TEST_F(ExportGuard, ExhaustedRuntimeMemoryIsReportedAsFailure) {
  // Operator new fails at its first, second, ... allocation of the call
  // (the first ones make the logger at the first log line). Each time the
  // export fails with its out-parameters at their failure values and holds
  // nothing, or succeeds whole. Nothing is checked while allocations are
  // counted: the checks allocate too.
  struct Outcome {
    DWORD result;
    bool failed;      // the export's failure code
    bool wellFormed;  // out-parameters as that result promises
  };
  const checkrvq::HostHeap heap{CountingHostAllocate, CountingHostRelease};
  checkrvq::UseHostHeap(&heap);
  struct ProcessHeapAgain {
    ~ProcessHeapAgain() { checkrvq::UseHostHeap(nullptr); }
  } processHeapAgain;
  const auto stepSentinel = reinterpret_cast<StepResult*>(static_cast<uintptr_t>(1));
  const auto listSentinel = reinterpret_cast<IncompatibleProductRecord**>(static_cast<uintptr_t>(1));
  // PreInstall answers "can be installed" 1 and PostInstall "needs reboot" 0.
  const auto stepExport = [&](PreInstallFn step, DWORD successFlag) {
    StepResult* result = stepSentinel;
    DWORD flag = 0xA5A5A5A5;
    const DWORD r = step(nullptr, nullptr, &result, &flag);
    const bool failed = r == kResultOutOfMemory;
    const bool whole = r == 0 && result && result != stepSentinel && flag == successFlag;
    if (whole) CountingHostRelease(result);
    return Outcome{r, failed, failed ? result == nullptr && flag == 0 : whole};
  };
  // PostInstall allocates nothing but its log lines, whose failures change
  // nothing: it never fails here.
  const struct {
    const char* name;
    std::function<Outcome()> call;
    bool mayFail;
  } entries[] = {
      {"PreInstall", [&] { return stepExport(PreInstall, 1); }, true},
      {"PostInstall", [&] { return stepExport(PostInstall, 0); }, false},
      {"DetectIncompatible",
       [&] {
         DWORD count = 99;
         IncompatibleProductRecord** list = listSentinel;
         const DWORD r = DetectIncompatible(&count, &list);
         const bool failed = r == ERROR_NOT_ENOUGH_MEMORY;
         const bool whole = r == 0 && count == 3 && list && list != listSentinel;
         if (whole) {
           for (DWORD i = 0; i < count; ++i) {
             CountingHostRelease(list[i]->productName);
             CountingHostRelease(list[i]);
           }
           CountingHostRelease(list);
         }
         return Outcome{r, failed, failed ? count == 0 && list == nullptr : whole};
       },
       true},
  };
  for (const auto& entry : entries) {
    int failures = 0;
    long failAt = 0;
    for (; failAt < 400; ++failAt) {
      SCOPED_TRACE(std::string(entry.name) + ", allocation " + std::to_string(failAt) + " fails");
      ETWLogging::testing::ResetLogging();
      ASSERT_TRUE(ETWLogging::testing::InstallLogBuilder(&builder_));
      plan_ = ThrowPlan{};
      g_liveHostBlocks = 0;
      const std::wstring before = rvqtest::CurrentDirectory();
      rvqtest::StartCountingAllocations(failAt);
      const Outcome outcome = entry.call();
      const long made = rvqtest::StopCountingAllocations();
      EXPECT_TRUE(outcome.wellFormed) << "answered " << outcome.result;
      EXPECT_EQ(g_liveHostBlocks, 0);
      EXPECT_EQ(rvqtest::CurrentDirectory(), before);
      EXPECT_FALSE(UninstallerLoaded());
      if (made <= failAt) break;  // no allocation failed: the call ran whole
      if (outcome.failed) ++failures;
    }
    EXPECT_LT(failAt, 400) << entry.name;
    if (entry.mayFail) {
      EXPECT_GE(failures, 1) << entry.name;
    } else {
      EXPECT_EQ(failures, 0) << entry.name;
    }
  }
}

// The list under construction is released when it cannot be finished (a
// host block runs out half-way): nothing of it stays
// allocated, nothing reaches the host.
int g_liveBlocks = 0;
int g_hostFailAt = -1;
void* CountingAllocate(size_t bytes) {
  if (g_hostFailAt-- == 0) return nullptr;
  void* block = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
  if (block) ++g_liveBlocks;
  return block;
}
void CountingRelease(void* block) {
  if (!block) return;
  --g_liveBlocks;
  HeapFree(GetProcessHeap(), 0, block);
}

TEST_F(ExportGuard, DetectionListIsReleasedWhenItCannotBeFinished) {
  const checkrvq::HostHeap heap{CountingAllocate, CountingRelease};
  std::string raw(4 * checkrvq::kUninstallerRecordBytes, 'H');
  for (size_t i = 0; i < 3; ++i) raw.replace(i * checkrvq::kUninstallerRecordBytes + 8, 2, std::string("P\0", 2));
  for (int at = 0; at < 7; ++at) {  // the array, then a record and its name each
    g_liveBlocks = 0;
    g_hostFailAt = at;
    DWORD count = 3;
    IncompatibleProductRecord** list = nullptr;
    const DWORD result =
        checkrvq::MakeIncompatibleDetection(&count, reinterpret_cast<const unsigned char*>(raw.data()), &list, heap);
    g_hostFailAt = -1;
    EXPECT_EQ(result, kResultOutOfMemory) << "allocation " << at << " failed";
    EXPECT_EQ(list, nullptr) << at;
    EXPECT_EQ(count, 0u) << at;
    EXPECT_EQ(g_liveBlocks, 0) << "blocks left when allocation " << at << " failed";
  }
}

// The library copy's own malloc and calloc (its import slots), failing on
// demand: the C runtime out of memory as the library sees it.
struct CrtExhaustion {
  enum Mode { kPass, kFailOne, kFailAll };
  static Mode mode;
  static long countdown;      // kFailOne: the request that fails
  static bool justFailed;     // the request before this one failed
  static bool sawException;   // an exception was allocated right after a failure
  static void* (*realMalloc)(size_t);
  static void* (*realCalloc)(size_t, size_t);

  static void* Malloc(size_t bytes) {
    if (mode == kFailAll) return nullptr;
    if (mode == kFailOne) {
      if (countdown-- == 0) {
        justFailed = true;
        return nullptr;
      }
      // libstdc++ asks for the thrown object plus a 160-byte header; a
      // std::bad_alloc is 8 bytes.
      if (justFailed && bytes == 8 + 160) sawException = true;
      justFailed = false;
    }
    return realMalloc(bytes);
  }
  static void* Calloc(size_t count, size_t bytes) { return mode == kFailAll ? nullptr : realCalloc(count, bytes); }
};
CrtExhaustion::Mode CrtExhaustion::mode = CrtExhaustion::kPass;
long CrtExhaustion::countdown = 0;
bool CrtExhaustion::justFailed = false;
bool CrtExhaustion::sawException = false;
void* (*CrtExhaustion::realMalloc)(size_t) = nullptr;
void* (*CrtExhaustion::realCalloc)(size_t, size_t) = nullptr;

// The import slot of `dll!function` in `module`, or null.
void** ImportSlot(HMODULE module, const char* dll, const char* function) {
  auto* base = reinterpret_cast<unsigned char*>(module);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); entry->Name; ++entry) {
    if (_stricmp(reinterpret_cast<const char*>(base + entry->Name), dll) != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0) {
        return reinterpret_cast<void**>(&slots->u1.Function);
      }
    }
  }
  return nullptr;
}

// Points an import slot elsewhere for the life of the object.
class ImportRedirect {
 public:
  ImportRedirect(void** slot, void* target) : slot_(slot) {
    DWORD protection = 0;
    if (!slot_ || !VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &protection)) slot_ = nullptr;
    if (slot_) old_ = std::exchange(*slot_, target);
  }
  ~ImportRedirect() {
    if (slot_) *slot_ = old_;
  }
  void* old() const { return old_; }

 private:
  void** slot_ = nullptr;
  void* old_ = nullptr;
};

TEST_F(ExportGuard, ExportsAnswerWhenTheRuntimeHasNoMemoryLeft) {
  // Once an exception has been thrown on this thread in the library (the
  // runtime's per-thread state exists), every allocation of the library
  // fails: the first exception then must not take the process down (it
  // recursed into a stack overflow: the emergency pool's lock was made on
  // first use, by an allocation).
  HMODULE module = library_.module();
  const auto preInstall = ProcAs<PreInstallFn>(GetProcAddress(module, "PreInstall"));
  const auto uninstall = ProcAs<DllUninstallFunctionFn>(GetProcAddress(module, "DllUninstallFunction"));
  ASSERT_TRUE(preInstall && uninstall);
  ImportRedirect malloc(ImportSlot(module, "msvcrt.dll", "malloc"), reinterpret_cast<void*>(&CrtExhaustion::Malloc));
  ImportRedirect calloc(ImportSlot(module, "msvcrt.dll", "calloc"), reinterpret_cast<void*>(&CrtExhaustion::Calloc));
  ASSERT_TRUE(malloc.old() && calloc.old());
  CrtExhaustion::realMalloc = reinterpret_cast<void* (*)(size_t)>(malloc.old());
  CrtExhaustion::realCalloc = reinterpret_cast<void* (*)(size_t, size_t)>(calloc.old());
  struct PassAgain {
    ~PassAgain() { CrtExhaustion::mode = CrtExhaustion::kPass; }
  } passAgain;

  StepResult* result = nullptr;
  DWORD flag = 0;
  CrtExhaustion::sawException = false;
  for (long at = 0; at < 200 && !CrtExhaustion::sawException; ++at) {
    CrtExhaustion::mode = CrtExhaustion::kFailOne;
    CrtExhaustion::countdown = at;
    CrtExhaustion::justFailed = false;
    preInstall(nullptr, nullptr, &result, &flag);
    CrtExhaustion::mode = CrtExhaustion::kPass;
    if (result) HeapFree(GetProcessHeap(), 0, result);
    result = nullptr;
  }
  ASSERT_TRUE(CrtExhaustion::sawException);

  CrtExhaustion::mode = CrtExhaustion::kFailAll;
  const DWORD answer = preInstall(nullptr, nullptr, &result, &flag);
  const DWORD uninstalled = uninstall();
  CrtExhaustion::mode = CrtExhaustion::kPass;
  EXPECT_TRUE(answer == 0 ? result != nullptr && flag == 1 : answer == kResultOutOfMemory && !result && flag == 0)
      << answer;
  if (result) HeapFree(GetProcessHeap(), 0, result);
  EXPECT_EQ(uninstalled, 0u);
}

}  // namespace
