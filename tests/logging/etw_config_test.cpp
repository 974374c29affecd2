// The ETW configuration: the "QMW" application key or its built-in
// defaults, and the registry overrides applied through the listener.
#include <gtest/gtest.h>

#include <string>

#include "etw_config.h"
#include "etw_logging.h"
#include "logging_registry_fixture.h"
#include "trace_recorder.h"

using ETWLogging::internal::ETWAppProperties;

namespace {

const wchar_t* const kApp = L"SOFTWARE\\Bryxen.logging\\QMW";
const wchar_t* const kProvider = L"SOFTWARE\\Bryxen\\Logging\\Provider";

std::wstring DataFolder() {
  ETWAppProperties p;
  std::wstring folder;
  EXPECT_EQ(p.GetDataFolder(folder), 0u);
  return folder;
}

class EtwConfig : public rvqtest::LoggingRegistryTest {
 protected:
  // A complete application key for QMW, all values obfuscated.
  void WriteAppKey(bool withControllerPath = true, const wchar_t* providerGuid = L"{11111111-2222-3333-4444-555555555555}") {
    const std::wstring app = kApp;
    ObfuscatedString(app, L"Log Path", L"Logs");
    ObfuscatedString(app + L"\\Session", L"Session ID Guid", L"{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}");
    ObfuscatedString(app + L"\\Session", L"Session Name", L"session");
    ObfuscatedString(app + L"\\Provider", L"Provider Guid", providerGuid);
    if (withControllerPath) ObfuscatedString(app + L"\\Controller", L"Controller Path", L"C:\\ctl.exe");
    ObfuscatedString(app + L"\\Controller", L"Owner Mutex Name", L"mutex");
  }
};

TEST_F(EtwConfig, NoQmwKeyGivesTheBuiltInDefaults) {
  ETWAppProperties p;
  ASSERT_TRUE(p.Load(nullptr));
  const std::wstring data = DataFolder();
  EXPECT_EQ(p.appName, L"QMW");
  EXPECT_TRUE(IsEqualGUID(p.providerGuid, ETWLogging::internal::kDefaultProviderGuid));
  EXPECT_TRUE(IsEqualGUID(p.sessionId, ETWLogging::internal::kDefaultSessionId));
  EXPECT_EQ(p.etlFile, data + L"\\Bryxen\\BXLOGS\\ETW\\bxlogs.etl");
  EXPECT_EQ(p.logPath, data + L"\\Bryxen\\BXLOGS");
  EXPECT_EQ(p.appKeyPath, L"SOFTWARE\\Bryxen\\Logging");
  EXPECT_EQ(p.settingsKeyPath, L"SOFTWARE\\Bryxen\\Logging");
  EXPECT_EQ(p.controllerKeyPath, L"SOFTWARE\\Bryxen\\Logging\\Controller");
  EXPECT_EQ(p.providerKeyPath, L"SOFTWARE\\Bryxen\\Logging\\Provider");
  EXPECT_EQ(p.ownerMutexName, L"Global\\Bryxen.{0696D115-BE52-46c3-BFEE-D73A305B6581}");
  EXPECT_EQ(p.sessionName, L"Bryxen.{E4367DA7-2B80-47f3-86D2-7626A18FC6F4}");
  EXPECT_EQ(p.controllerPath, L"");
  EXPECT_EQ(p.rootKey, HKEY_LOCAL_MACHINE);

  // Loaded once: a second Load changes nothing.
  EXPECT_FALSE(p.Load(L"Other"));
  EXPECT_EQ(p.appName, L"QMW");
  EXPECT_TRUE(IsEqualGUID(p.providerGuid, ETWLogging::internal::kDefaultProviderGuid));

  ETWAppProperties lower;
  EXPECT_TRUE(lower.Load(L"qmw"));  // the default name in any case
}

TEST_F(EtwConfig, AnotherApplicationWithoutKeyFails) {
  ETWAppProperties p;
  EXPECT_FALSE(p.Load(L"OtherApp"));
}

TEST_F(EtwConfig, ApplicationKeyIsReadAndJoinedWithoutSeparator) {
  WriteAppKey();
  ETWAppProperties p;
  ASSERT_TRUE(p.Load(nullptr));
  const std::wstring data = DataFolder();
  EXPECT_EQ(p.logPath, data + L"Logs");
  EXPECT_EQ(p.etlPath, data + L"\\Bryxen\\BXLOGS\\ETW");  // missing: default
  EXPECT_EQ(p.etlFile, data + L"\\Bryxen\\BXLOGS\\ETW\\bxlogs.etl");
  EXPECT_EQ(p.providerKeyPath, L"SOFTWARE\\Bryxen.logging\\QMW\\Provider");
  EXPECT_EQ(p.controllerKeyPath, L"SOFTWARE\\Bryxen.logging\\QMW\\Controller");
  EXPECT_EQ(p.appKeyPath, L"SOFTWARE\\Bryxen.logging\\QMW");
  EXPECT_EQ(p.controllerPath, L"C:\\ctl.exe");
  EXPECT_EQ(p.ownerMutexName, L"mutex");
  EXPECT_EQ(p.sessionName, L"session");
  const GUID provider = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
  EXPECT_TRUE(IsEqualGUID(p.providerGuid, provider));
}

TEST_F(EtwConfig, IncompleteOrMalformedApplicationKeyFails) {
  WriteAppKey(false);
  {
    ETWAppProperties p;
    EXPECT_FALSE(p.Load(nullptr));  // although the defaults would have served
  }
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Bryxen.logging");
  WriteAppKey(true, L"11111111-2222-3333-4444-555555555555");
  {
    ETWAppProperties p;
    EXPECT_FALSE(p.Load(nullptr));
  }
  // The same values stored as plain text are not accepted.
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Bryxen.logging");
  WriteAppKey();
  PlainString(std::wstring(kApp) + L"\\Controller", L"Controller Path", L"C:\\plain.exe");
  {
    ETWAppProperties p;
    EXPECT_FALSE(p.Load(nullptr));
  }
}

class EtwOverrides : public EtwConfig {
 protected:
  void Init() {
    ASSERT_EQ(logger.InitializeEx(nullptr, L"DetectRVQdll", GetModuleHandleW(nullptr), nullptr, nullptr), 0u);
  }
  rvqtest::TraceRecorder recorder;
  ETWLogging::CETWLogging logger{recorder};
};

TEST_F(EtwOverrides, MoreSpecificKeysWin) {
  PlainDword(kProvider, L"Severity", 2);
  PlainDword(std::wstring(kProvider) + L"\\DetectRVQdll", L"Severity", 4);
  Init();
  EXPECT_EQ(logger.GetSeverity(), 4u);

  // The module's own key (group\module base name) has the last word.
  PlainDword(std::wstring(kProvider) + L"\\DetectRVQdll\\logging_etw_config_tests", L"Severity", 5);
  ASSERT_EQ(logger.Prepare(), 0u);
  ASSERT_EQ(recorder.Enable(0x42, 1), 0u);
  EXPECT_EQ(logger.GetSeverity(), 5u);
}

TEST_F(EtwOverrides, SeverityIsClampedAndOtherTypesAreSkipped) {
  PlainDword(kProvider, L"Severity", 0);
  PlainString(kProvider, L"Enable", L"0");  // REG_SZ: ignored
  Init();
  EXPECT_EQ(logger.GetSeverity(), 1u);
  EXPECT_TRUE(logger.GetEnabled());
  PlainDword(kProvider, L"Severity", 9);
  ASSERT_EQ(logger.Prepare(), 0u);
  ASSERT_EQ(recorder.Enable(0x42, 2), 0u);
  EXPECT_EQ(logger.GetSeverity(), 6u);
}

TEST_F(EtwOverrides, RegistryEnableZeroSwitchesTheBackendOffAfterASession) {
  Init();
  PlainDword(kProvider, L"Enable", 0);
  ASSERT_EQ(logger.Prepare(), 0u);
  ASSERT_EQ(recorder.Enable(0x42, 4), 0u);
  EXPECT_FALSE(logger.GetEnabled());
  logger.LogEx(5, L"f", L"F", 1, L"dropped");
  EXPECT_TRUE(recorder.events.empty());
}

TEST(EtwListener, AttachesOnce) {
  ETWAppProperties p;
  ETWLogging::CETWConfigurationListener listener(p);
  rvqtest::TraceRecorder recorder;
  ETWLogging::CETWLogging a{recorder}, b{recorder};
  EXPECT_FALSE(listener.AttachLogger(nullptr));
  EXPECT_TRUE(listener.AttachLogger(&a));
  EXPECT_FALSE(listener.AttachLogger(&b));
  // Without a logger nothing happens.
  ETWLogging::CETWConfigurationListener lonely(p);
  lonely.OnConfigurationChanged(false, 6, 0);
}

}  // namespace
