// The ETW backend through the trace recorder: registration, session
// notifications, filtering, and every byte of the events it sends (decoded
// with the decoder in event_decoder.h).
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "common/unique_handle.h"
#include "etw_event.h"
#include "etw_logging.h"
#include "etw_utf8.h"
#include "exception_guard.h"
#include "event_decoder.h"
#include "test_support.h"
#include "trace_recorder.h"

using ETWLogging::CETWLogging;
using rvqtest::CapturedEvent;
using rvqtest::DecodedContext;
using rvqtest::DecodedHeader;
using rvqtest::TraceRecorder;

namespace {

const GUID kClassGuid = {0xCD1DAAD0, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
const GUID kProviderGuid = {0xE16CA450, 0x55CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};

// The backend reads HKLM\SOFTWARE\Bryxen.logging and the provider overrides
// below HKLM\SOFTWARE\Bryxen\Logging\Provider: each test starts and ends
// without them.
void RemoveLoggingKeys() {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Bryxen.logging");
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Bryxen\\Logging\\Provider");
}

void SetProviderDword(const wchar_t* subkey, const wchar_t* name, DWORD value) {
  std::wstring path = L"SOFTWARE\\Bryxen\\Logging\\Provider";
  if (subkey) path += std::wstring(L"\\") + subkey;
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

std::string Utf8(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::wstring ExeName() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  const wchar_t* slash = wcsrchr(path, L'\\');
  return slash ? slash + 1 : path;
}

class EtwBackend : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveLoggingKeys();
    ASSERT_EQ(logger.InitializeEx(nullptr, L"DetectRVQdll", GetModuleHandleW(nullptr), nullptr, nullptr), 0u);
  }
  void TearDown() override { RemoveLoggingKeys(); }

  const CapturedEvent& Last() { return recorder.events.back(); }
  DecodedContext LastContext() {
    DecodedContext c;
    EXPECT_TRUE(rvqtest::DecodeContext(Last().context, c));
    return c;
  }

  TraceRecorder recorder;
  CETWLogging logger{recorder};
};

TEST_F(EtwBackend, WithoutSessionEveryPassingMessageGoesToHandleZero) {
  EXPECT_EQ(logger.Prepare(), 0u);
  EXPECT_EQ(recorder.registerCalls, 1);
  EXPECT_TRUE(IsEqualGUID(recorder.controlGuid, kProviderGuid));
  EXPECT_TRUE(IsEqualGUID(recorder.classGuid, kClassGuid));
  EXPECT_EQ(logger.LogEx(4, L"detection.cpp", L"PreInstall", 10, L"moved %s", L"bxdndb.dat"), 0u);
  EXPECT_EQ(logger.LogEx(1, L"detection.cpp", L"PreInstall", 11, L"below the threshold"), 0u);
  ASSERT_EQ(recorder.events.size(), 1u);
  EXPECT_EQ(Last().session, 0u);
  EXPECT_EQ(Utf8(Last().message), "moved bxdndb.dat");
}

TEST_F(EtwBackend, EveryFieldOfTheEvent) {
  ASSERT_EQ(logger.LogEx(4, L"detection.cpp", L"PreInstall", 321, L"%s %d", L"x", 5), 0u);
  ASSERT_EQ(recorder.events.size(), 1u);
  DecodedHeader h;
  ASSERT_TRUE(rvqtest::DecodeHeader(Last().event, h));
  EXPECT_EQ(h.size, 80);
  EXPECT_EQ(h.headerType, 0);
  EXPECT_EQ(h.markerFlags, 0);
  EXPECT_EQ(h.type, 1);
  EXPECT_EQ(h.level, 4);
  EXPECT_EQ(h.version, 2);
  EXPECT_EQ(h.threadId, 0u);
  EXPECT_EQ(h.processId, 0u);
  EXPECT_EQ(h.timeStamp, 0);
  EXPECT_TRUE(IsEqualGUID(h.guid, kClassGuid));
  EXPECT_EQ(h.clientContext, 0u);
  EXPECT_EQ(h.flags, 0x120000u);
  EXPECT_NE(h.field1Ptr, 0u);
  EXPECT_EQ(h.field1Length, Last().context.size());
  EXPECT_EQ(h.field1Type, 0u);
  EXPECT_NE(h.field2Ptr, 0u);
  EXPECT_EQ(h.field2Length, 3u);
  EXPECT_EQ(h.field2Type, 0u);

  const DecodedContext c = LastContext();
  EXPECT_EQ(c.processId, GetCurrentProcessId());
  EXPECT_EQ(c.threadId, GetCurrentThreadId());
  EXPECT_EQ(c.processImageName, ExeName());
  EXPECT_EQ(c.sourceFile, L"detection.cpp");
  EXPECT_EQ(c.function, L"PreInstall");
  EXPECT_EQ(c.line, 321);
  EXPECT_EQ(c.moduleFileName, ExeName());  // the logging code is linked into the executable
  EXPECT_EQ(c.moduleVersion, logger.ModuleVersion());
  EXPECT_EQ(c.groupName, L"DetectRVQdll");
  EXPECT_EQ(c.messageBytes, 3u);
  EXPECT_EQ(Utf8(Last().message), "x 5");
}

TEST_F(EtwBackend, LevelsAndThresholds) {
  logger.SetSeverity(1);
  const struct {
    DWORD severity;
    uint8_t level;
  } cases[] = {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 3}, {7, 3}, {200, 3}};
  for (const auto& c : cases) {
    recorder.events.clear();
    logger.LogEx(c.severity, L"f", L"F", 1, L"m");
    ASSERT_EQ(recorder.events.size(), 1u) << c.severity;
    DecodedHeader h;
    ASSERT_TRUE(rvqtest::DecodeHeader(Last().event, h));
    EXPECT_EQ(h.level, c.level) << c.severity;
  }
  EXPECT_EQ(logger.MapSeverityToLevel(6), 3u);
  EXPECT_EQ(logger.MapSeverityToLevel(4), 4u);

  logger.SetSeverity(6);
  EXPECT_EQ(logger.IsEnabled(3), 1);  // Information always passes
  EXPECT_EQ(logger.IsEnabled(5), 0);
  EXPECT_EQ(logger.IsEnabled(6), 1);
  logger.SetSeverity(3);
  EXPECT_EQ(logger.IsEnabled(2), 0);
  logger.SetSeverity(0);
  EXPECT_EQ(logger.GetSeverity(), 1u);
  logger.SetSeverity(200);
  EXPECT_EQ(logger.GetSeverity(), 6u);
  EXPECT_EQ(logger.SetSeverity(3), 6u);  // the previous process-wide severity
}

TEST_F(EtwBackend, MessageLengthsAndUtf8) {
  const std::wstring fits(2079, L'a');
  logger.LogEx(4, L"f", L"F", 1, L"%s", fits.c_str());
  EXPECT_EQ(Last().message.size(), 2079u);
  EXPECT_EQ(Last().message.back(), 'a');  // no terminating zero
  EXPECT_EQ(LastContext().messageBytes, 2079u);

  for (size_t length : {2080u, 2081u, 9000u}) {
    const std::wstring longer(length, L'b');
    logger.LogEx(4, L"f", L"F", 1, L"%s", longer.c_str());
    ASSERT_EQ(Last().message.size(), 2080u) << length;
    EXPECT_EQ(Utf8(Last().message), std::string(2079, 'b') + '\0');
    EXPECT_EQ(LastContext().messageBytes, 2080u);  // counts the zero byte
  }

  logger.LogEx(4, L"f", L"F", 1, L"%s", L"");
  EXPECT_TRUE(Last().message.empty());
  DecodedHeader h;
  ASSERT_TRUE(rvqtest::DecodeHeader(Last().event, h));
  EXPECT_EQ(h.field2Length, 0u);
  EXPECT_EQ(LastContext().messageBytes, 0u);

  logger.LogEx(4, L"f", L"F", 1, L"%s", L"Gr\u00fc\u00dfe");
  EXPECT_EQ(Utf8(Last().message), "Gr\xc3\xbc\xc3\x9f" "e");
  EXPECT_EQ(LastContext().messageBytes, 7u);

  // A cut multi-byte message still converts whole characters.
  const std::wstring wide(3000, L'\u00e9');
  logger.LogEx(4, L"f", L"F", 1, L"%s", wide.c_str());
  EXPECT_EQ(Last().message.size(), 2079u * 2 + 1);
}

TEST_F(EtwBackend, EveryEntryPathEndsInOneEvent) {
  const std::wstring big(5000, L'c');
  logger.WriteEntry(L"a.cpp", L"A", 1, 4, L"entry");
  logger.WriteEntryEx(4, L"a.cpp", L"A", 2, L"entry ex %s");  // the message is not a format
  logger.LogError(L"a.cpp", L"A", 3, L"%s", big.c_str());
  logger.Log(4, L"a.cpp", L"A", 4, L"log %d", 4);
  logger.Log(1, L"a.cpp", L"A", 5, L"below the threshold");
  logger.Log(4, L"a.cpp", L"A", 6, L"");  // empty format: nothing
  ASSERT_EQ(recorder.events.size(), 4u);
  EXPECT_EQ(Utf8(recorder.events[0].message), "entry");
  EXPECT_EQ(Utf8(recorder.events[1].message), "entry ex %s");
  EXPECT_EQ(recorder.events[2].message.size(), 2080u);
  EXPECT_EQ(Utf8(recorder.events[3].message), "log 4");

  EXPECT_EQ(logger.LogVEx(4, L"a", L"A", 1, nullptr, nullptr), 87u);
  logger.SetEnabled(false);
  EXPECT_EQ(logger.LogEx(5, L"a", L"A", 1, L"off"), 0u);
  logger.LogError(L"a.cpp", L"A", 3, L"off");
  EXPECT_EQ(recorder.events.size(), 4u);
}

TEST_F(EtwBackend, LongGroupNameIsSentWithItsCountTruncatedTo16Bits) {
  TraceRecorder other;
  CETWLogging wide{other};
  const std::wstring group(70000, L'g');
  ASSERT_EQ(wide.InitializeEx(nullptr, group.c_str(), nullptr, nullptr, nullptr), 0u);
  wide.LogEx(4, L"f", L"F", 1, L"m");
  ASSERT_EQ(other.events.size(), 1u);
  DecodedContext c;
  ASSERT_TRUE(rvqtest::DecodeContext(other.events[0].context, c));
  EXPECT_EQ(c.groupCount, 4464);
  EXPECT_EQ(c.groupName, group.substr(0, 4464));
}

TEST_F(EtwBackend, SessionsEnableAndDisable) {
  ASSERT_EQ(logger.Prepare(), 0u);
  EXPECT_EQ(recorder.Enable(0x77, 5, 0xF0), 0u);
  EXPECT_EQ(logger.SessionHandle(), 0x77u);
  EXPECT_EQ(logger.GetSeverity(), 5u);
  logger.LogEx(5, L"f", L"F", 1, L"to the session");
  EXPECT_EQ(Last().session, 0x77u);

  // A second session is ignored and does not change the threshold.
  EXPECT_EQ(recorder.Enable(0x88, 1), 0u);
  EXPECT_EQ(logger.SessionHandle(), 0x77u);
  EXPECT_EQ(logger.GetSeverity(), 5u);

  EXPECT_EQ(recorder.Disable(0x77), 0u);
  EXPECT_EQ(logger.SessionHandle(), 0u);
  EXPECT_FALSE(logger.GetEnabled());
  EXPECT_EQ(logger.LogEx(5, L"f", L"F", 1, L"off"), 0u);
  EXPECT_EQ(recorder.events.size(), 1u);

  // Level 9 from a session is clamped to 6.
  EXPECT_EQ(recorder.Enable(0x99, 9), 0u);
  EXPECT_TRUE(logger.GetEnabled());
  EXPECT_EQ(logger.GetSeverity(), 6u);
}

TEST_F(EtwBackend, RegistryEnableOutlivesADisable) {
  SetProviderDword(nullptr, L"Enable", 1);
  ASSERT_EQ(logger.Prepare(), 0u);
  ASSERT_EQ(recorder.Enable(0x77, 4), 0u);
  ASSERT_EQ(recorder.Disable(0x77), 0u);
  EXPECT_TRUE(logger.GetEnabled());
  EXPECT_EQ(logger.SessionHandle(), 0u);
}

TEST_F(EtwBackend, RegistryDisableOverridesASession) {
  SetProviderDword(L"DetectRVQdll", L"Enable", 0);
  ASSERT_EQ(logger.Prepare(), 0u);
  ASSERT_EQ(recorder.Enable(0x77, 4), 0u);
  EXPECT_FALSE(logger.GetEnabled());
}

TEST_F(EtwBackend, NotificationFailures) {
  ASSERT_EQ(logger.Prepare(), 0u);
  // No buffer: the handle is invalid and the thread's last error comes back.
  EXPECT_EQ(recorder.callback(WMI_ENABLE_EVENTS, recorder.callbackContext, nullptr, nullptr),
            static_cast<ULONG>(ERROR_INVALID_PARAMETER));
  // Level 0: the last error of GetTraceEnableLevel.
  EXPECT_EQ(recorder.Enable(0x55, 0), static_cast<ULONG>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(recorder.Notify(WMI_GET_ALL_DATA, 0x55), 87u);
  EXPECT_EQ(recorder.callback(WMI_ENABLE_EVENTS, nullptr, nullptr, nullptr), 87u);
}

class ThrowingListener : public ETWLogging::LoggingConfigListenerIf {
 public:
  void OnConfigurationChanged(bool, DWORD, DWORD) override {
    if (armed) throw std::runtime_error("listener failed");
  }
  bool armed = false;
};

TEST(EtwBackendListener, ExceptionInTheHandlerGives574) {
  RemoveLoggingKeys();
  TraceRecorder recorder;
  CETWLogging logger{recorder};
  auto* listener = new ThrowingListener();  // owned by the backend
  ASSERT_EQ(logger.InitializeEx(nullptr, L"G", nullptr, nullptr, listener), 0u);
  EXPECT_EQ(logger.Listener(), listener);
  ASSERT_EQ(logger.Prepare(), 0u);
  listener->armed = true;
  EXPECT_EQ(recorder.Enable(0x10, 3), 574u);
}

// A fault the C++ runtime knows nothing about: the guard around the control
// callback must turn it into 574 and leave the process and the backend
// working.
TEST_F(EtwBackend, AccessViolationInTheHandlerGives574AndTheProcessGoesOn) {
  ASSERT_EQ(logger.Prepare(), 0u);
  recorder.faultInLoggerHandle = true;
  EXPECT_EQ(recorder.Enable(0x21, 4), 574u);
  EXPECT_EQ(recorder.Disable(0x21), 574u);
  recorder.faultInLoggerHandle = false;
  EXPECT_EQ(recorder.Enable(0x21, 4), 0u);
  EXPECT_EQ(logger.SessionHandle(), 0x21u);
  EXPECT_EQ(logger.GetSeverity(), 4u);
}

struct OverflowRun {
  TraceRecorder* recorder;
  ULONG answers[2];
};

DWORD WINAPI OverflowTwice(void* argument) {
  auto* run = static_cast<OverflowRun*>(argument);
  // Windows commits a stack as it grows, behind a guard page that moves down
  // with it, and raises the overflow while a few pages are left to handle
  // it. Wine commits the whole stack and keeps its one guard page at the
  // very end, where handling the first overflow finds no room and the thread
  // ends. A guard page a little below this frame gives the thread Windows'
  // layout before the first overflow; the second depends on the guard alone.
  volatile char here = 0;
  const ULONG_PTR page = 4096;
  void* const guard = reinterpret_cast<void*>((reinterpret_cast<ULONG_PTR>(&here) & ~(page - 1)) - 4 * page);
  DWORD previous = 0;
  if (!VirtualProtect(guard, page, PAGE_READWRITE | PAGE_GUARD, &previous)) return 1;
  run->answers[0] = run->recorder->Enable(0x21, 4);
  run->answers[1] = run->recorder->Enable(0x21, 4);
  return 0x600D;
}

// A real stack overflow in the notification handler, twice on one thread.
// The system raises the first with the thread's guard pages and puts none
// back; unless the guard restores them, the second overflow runs off the end
// of the stack unreported and the thread (on Windows the process) ends. On
// a thread of its own with a small stack: quick, and a missed overflow ends
// that thread, not the test.
TEST_F(EtwBackend, TwoStackOverflowsOnOneThreadAreBothAnswered574) {
  ASSERT_EQ(logger.Prepare(), 0u);
  recorder.overflowInLoggerHandle = true;
  OverflowRun run = {&recorder, {0, 0}};
  Trevalk::UniqueKernelHandle thread(
      CreateThread(nullptr, 256 * 1024, &OverflowTwice, &run, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
  ASSERT_TRUE(thread);
  ASSERT_EQ(WaitForSingleObject(thread.get(), 60000), WAIT_OBJECT_0);
  DWORD exitCode = 0;
  ASSERT_TRUE(GetExitCodeThread(thread.get(), &exitCode));
  EXPECT_EQ(exitCode, 0x600Du);
  EXPECT_EQ(run.answers[0], 574u);
  EXPECT_EQ(run.answers[1], 574u);
  recorder.overflowInLoggerHandle = false;
  EXPECT_EQ(recorder.Enable(0x21, 4), 0u);
  EXPECT_EQ(logger.GetSeverity(), 4u);
}

ULONG Fault(void*) {
  volatile int* const volatile unmapped = reinterpret_cast<int*>(0x10);
  return static_cast<ULONG>(*unmapped);
}
ULONG Echo(void* argument) { return *static_cast<const ULONG*>(argument); }
// A guard inside a guarded call: the inner one takes the fault, the outer
// call returns normally.
ULONG GuardedFault(void*) {
  ULONG ignored = 0;
  DWORD code = 0;
  return ETWLogging::internal::CallWithExceptionGuard(&Fault, nullptr, &ignored, &code) ? 0u : code;
}

// The guard itself: a fault resumes in the frame of the guard that was
// entered last, with its code, and the caller's own variables (kept in the
// registers an unwind must restore) survive round after round.
TEST(ExceptionGuard, FaultCodesAnswersAndNesting) {
  using ETWLogging::internal::CallWithExceptionGuard;
  ULONG sum = 0;
  int faults = 0;
  for (ULONG round = 1; round <= 3; ++round) {
    ULONG result = 0;
    DWORD code = 0;
    if (!CallWithExceptionGuard(&Fault, nullptr, &result, &code) && code == EXCEPTION_ACCESS_VIOLATION) ++faults;
    ASSERT_TRUE(CallWithExceptionGuard(&Echo, &round, &result, &code));
    sum += result;
    ASSERT_TRUE(CallWithExceptionGuard(&GuardedFault, nullptr, &result, &code));
    EXPECT_EQ(result, static_cast<ULONG>(EXCEPTION_ACCESS_VIOLATION));
  }
  EXPECT_EQ(faults, 3);
  EXPECT_EQ(sum, 6u);
}

TEST(EtwBackendLifecycle, RegistrationOnceUnregistrationAndReinitialisation) {
  RemoveLoggingKeys();
  TraceRecorder recorder;
  recorder.registerResult = ERROR_ACCESS_DENIED;
  {
    CETWLogging logger{recorder};
    ASSERT_EQ(logger.Initialize(L"G", nullptr, L"host", nullptr), 0u);
    EXPECT_FALSE(logger.IsRegistered());
    EXPECT_EQ(logger.Prepare(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(logger.Prepare(), 0u);  // never retried
    EXPECT_EQ(recorder.registerCalls, 1);
    EXPECT_EQ(logger.InitializeEx(nullptr, L"G", nullptr, nullptr, nullptr), ETWLogging::kErrorAlreadyInitialized);
    // Registered without a handle: Uninitialize has nothing to unregister.
    EXPECT_EQ(logger.Uninitialize(), 0u);
    EXPECT_TRUE(recorder.unregistered.empty());
  }
  recorder.registerResult = ERROR_SUCCESS;
  {
    CETWLogging logger{recorder};
    ASSERT_EQ(logger.InitializeEx(nullptr, L"G", nullptr, nullptr, nullptr), 0u);
    ASSERT_EQ(logger.Prepare(), 0u);
    const TRACEHANDLE handle = logger.RegistrationHandle();
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(logger.Uninitialize(), 0u);
    EXPECT_FALSE(logger.IsRegistered());
    EXPECT_FALSE(logger.GetEnabled());
    ASSERT_EQ(recorder.unregistered.size(), 1u);
    EXPECT_EQ(recorder.unregistered[0], handle);
    // Loaded already: a second initialisation fails in Load.
    EXPECT_EQ(logger.InitializeEx(nullptr, L"G", nullptr, nullptr, nullptr), 87u);
    ASSERT_EQ(logger.Prepare(), 0u);  // registers again
    EXPECT_EQ(recorder.registerCalls, 3);
  }
  // Destruction unregistered the second registration.
  ASSERT_EQ(recorder.unregistered.size(), 2u);
}

TEST(EtwBackendInit, EmptyNamesAreRefused) {
  TraceRecorder recorder;
  CETWLogging a{recorder};
  EXPECT_EQ(a.InitializeEx(nullptr, L"", nullptr, nullptr, nullptr), 87u);
  CETWLogging b{recorder};
  EXPECT_EQ(b.InitializeEx(nullptr, L"G", nullptr, L"", nullptr), 87u);
  CETWLogging c{recorder};
  EXPECT_EQ(c.InitializeEx(L"NotQMW", L"G", nullptr, nullptr, nullptr), 87u);
}

TEST(EtwModuleNames, FileTitleAndQualifiedName) {
  rvqtest::ScratchDir dir;
  const std::wstring copy = dir.Child(L"b.c.dll");
  ASSERT_TRUE(CopyFileW(rvqtest::BinPath(L"checkRVQ.dll").c_str(), copy.c_str(), FALSE));
  HMODULE module = LoadLibraryExW(copy.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
  ASSERT_NE(module, nullptr);
  TraceRecorder recorder;
  CETWLogging logger{recorder};
  std::wstring title;
  logger.GetModuleFileTitle(title, module, true);
  EXPECT_EQ(title, L"b.c");
  logger.GetModuleFileTitle(title, module, false);
  EXPECT_EQ(title, L"b.c.dll");
  RemoveLoggingKeys();
  ASSERT_EQ(logger.InitializeEx(nullptr, L"DetectRVQdll", module, nullptr, nullptr), 0u);
  logger.GetQualifiedName(title);
  EXPECT_EQ(title, L"DetectRVQdll\\b.c");
  logger.GetName(title);
  EXPECT_EQ(title, L"DetectRVQdll");
  FreeLibrary(module);
}

TEST(EtwModuleNames, FileVersionText) {
  EXPECT_EQ(ETWLogging::etw::NormalizeFileVersion(L"2, 0, 1, 17"), L"2.0.1.17");
  EXPECT_EQ(ETWLogging::etw::NormalizeFileVersion(L"2,0,1,17"), L"2.0.1.17");
  EXPECT_EQ(ETWLogging::etw::NormalizeFileVersion(L"2.0.1.17"), L"2.0.1.17");
  EXPECT_EQ(ETWLogging::etw::NormalizeFileVersion(L"v2"), L"v2");
  EXPECT_EQ(ETWLogging::etw::NormalizeFileVersion(L""), L"");
  // As "%u,%u,%u,%u" reads: blanks and a sign before a number, nothing
  // before a comma, anything after the fourth number.
  EXPECT_EQ(ETWLogging::etw::NormalizeFileVersion(L" 2,\t+0, 1, 17 beta"), L"2.0.1.17");
  EXPECT_EQ(ETWLogging::etw::NormalizeFileVersion(L"2 ,0,1,17"), L"2 ,0,1,17");
  EXPECT_EQ(ETWLogging::etw::NormalizeFileVersion(L"2,0,1,"), L"2,0,1,");
  // checkRVQ.dll carries "2, 0, 1, 17" in its version resource.
  EXPECT_EQ(ETWLogging::internal::ReadFileVersionText(rvqtest::BinPath(L"checkRVQ.dll")), L"2.0.1.17");
  EXPECT_EQ(ETWLogging::internal::ReadFileVersionText(L"C:\\no\\such.dll"), L"");
}

TEST(EtwContextBlock, InlineStorageGrowsOnlyForLongNames) {
  ETWLogging::etw::InlineByteBuffer small;
  ETWLogging::etw::ContextFields fields;
  fields.sourceFile = L"detection.cpp";
  fields.function = L"PreInstall";
  ETWLogging::etw::AppendContextBlock(small, fields);
  EXPECT_FALSE(small.OnHeap());
  EXPECT_EQ(small.size(), 4u + 4 + 2 + (2 + 26) + (2 + 20) + 4 + 2 + 2 + 2 + 8);

  ETWLogging::etw::InlineByteBuffer large;
  const std::wstring longName(300, L'n');
  fields.function = longName.c_str();
  ETWLogging::etw::AppendContextBlock(large, fields);
  EXPECT_TRUE(large.OnHeap());
  EXPECT_GE(large.capacity(), large.size());
  std::vector<uint8_t> bytes(large.data(), large.data() + large.size());
  DecodedContext c;
  ASSERT_TRUE(rvqtest::DecodeContext(bytes, c));
  EXPECT_EQ(c.function, longName);
}

// The event's UTF-8 bytes are our own encoder's: they must be the system's
// CP_UTF8 conversion, byte for byte, also for surrogates without a partner.
TEST(EtwUtf8, TheEncoderGivesTheSystemConversion) {
  const std::wstring cases[] = {
      L"",
      L"plain ASCII \x7f",
      std::wstring(1, L'\0'),
      L"\x80\x7ff\x800\xfffd\xffff",
      L"\xd83d\xde00",             // a pair: U+1F600
      L"a\xd83d",                   // high surrogate at the end
      L"\xde00" L"b",               // low surrogate alone
      L"\xde00\xd83d",             // the pair the wrong way round
      L"\xd83d\xd83d\xde00\xde00",  // a pair between two halves
  };
  for (const std::wstring& text : cases) {
    const int count = static_cast<int>(text.size());
    std::string system(static_cast<size_t>(count) * 3 + 1, '\0');
    const int systemBytes =
        count == 0 ? 0 : WideCharToMultiByte(CP_UTF8, 0, text.data(), count, &system[0], static_cast<int>(system.size()), nullptr, nullptr);
    system.resize(static_cast<size_t>(systemBytes));
    std::string ours(text.size() * 3 + 1, '\0');
    ours.resize(ETWLogging::etw::EncodeUtf8(text.data(), text.size(), &ours[0]));
    EXPECT_EQ(ours, system) << ::testing::PrintToString(text);
    EXPECT_EQ(ETWLogging::etw::Utf8Length(text.data(), text.size()), system.size());
  }
}

}  // namespace
