// The whole pass in-process, with HKEY_LOCAL_MACHINE redirected to a scratch
// key (RegOverridePredefKey), so that the failure paths of the flag write can
// be staged without touching the machine's keys.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/unique_handle.h"
#include "loader/secure_dll_loading.h"
#include "recording_logger.h"
#include "upgrade_detector.h"

namespace {

using rvqtest::RecordingBuilder;
using rvqtest::ScopedRecordingLog;
using rvqupgd::RunUpgradeDetector;

constexpr wchar_t kScratch[] = L"Software\\RvqTest\\DetectorMachine";

FARPROC WINAPI NoSuchFunction(HMODULE, LPCSTR) { return nullptr; }
// InitSecureDllLoading on a system whose kernel32 lacks
// SetDefaultDllDirectories.
bool InitWithoutSetDefaultDllDirectories() { return Trevalk::internal::InitSecureDllLoadingWith(&NoSuchFunction); }
bool InitSucceeds() { return true; }

class UpgradeDetectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kScratch, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, machine_.put(),
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine_.get()), ERROR_SUCCESS);
  }
  void TearDown() override {
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    machine_.reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\RvqTest");  // only once empty
  }

  void SetSourceDisk(const std::wstring& text) {
    Trevalk::UniqueHKey key;
    ASSERT_EQ(RegCreateKeyExW(machine_.get(), L"Software\\BryxenOnline\\Tovrin Service", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), L"SourceDisk", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
  }

  bool FlagIsSet() {
    DWORD value = 0, size = sizeof value, type = 0;
    return RegGetValueW(machine_.get(), L"Software\\Bryxen\\RVQ\\DynaInfo", L"UpdRestartReq", RRF_RT_ANY, &type,
                        &value, &size) == ERROR_SUCCESS &&
           type == REG_DWORD && size == 4 && value == 1;
  }

  static DWORD Run(std::initializer_list<const char*> args, rvqupgd::SecureLoadingInit init) {
    std::vector<const char*> argv{"RvqUpgd.exe"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunUpgradeDetector(static_cast<int>(argv.size()), argv.data(), init);
  }

  Trevalk::UniqueHKey machine_;
};

TEST_F(UpgradeDetectorTest, MissingSetDefaultDllDirectoriesIsLoggedAndTheWorkStillDone) {
  ScopedRecordingLog log;
  SetSourceDisk(L"Tovrin,build=9");
  EXPECT_EQ(Run({}, &InitWithoutSetDefaultDllDirectories), 0u);
  EXPECT_TRUE(FlagIsSet());
  const auto entries = log.Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].severity, 4u);
  EXPECT_EQ(entries[0].sourceFile, L"RvqUpgd.cpp");
  EXPECT_EQ(entries[0].function, L"WinMain");
  EXPECT_EQ(entries[0].line, 102);
  EXPECT_EQ(entries[0].message, L"RvqUpgd.exe :: InitSecureDllLoading Failed");
}

TEST_F(UpgradeDetectorTest, FailureMessageOnlyWhenTheLoggerAllowsErrors) {
  ScopedRecordingLog log;
  log.state.threshold = 5;  // Error (4) is below the threshold
  SetSourceDisk(L"Tovrin,build=9");
  EXPECT_EQ(Run({}, &InitWithoutSetDefaultDllDirectories), 0u);
  EXPECT_TRUE(FlagIsSet());
  EXPECT_TRUE(log.Entries().empty());
  EXPECT_EQ(log.state.prepareCalls.load(), 0);
}

TEST_F(UpgradeDetectorTest, NoLoggerWhenTheRestrictionIsInForce) {
  ScopedRecordingLog log;
  SetSourceDisk(L"Tovrin,build=9");
  EXPECT_EQ(Run({"12"}, &InitSucceeds), 0u);
  EXPECT_TRUE(FlagIsSet());
  // The logger is created only when there is a failure to report.
  EXPECT_EQ(log.builder().buildCalls.load(), 0);
}

TEST_F(UpgradeDetectorTest, NoLoggerAtAllStillRuns) {
  ScopedRecordingLog log(RecordingBuilder::Kind::kNone);
  SetSourceDisk(L"Tovrin,build=9");
  EXPECT_EQ(Run({}, &InitWithoutSetDefaultDllDirectories), 0u);
  EXPECT_TRUE(FlagIsSet());
}

TEST_F(UpgradeDetectorTest, FailedFlagWriteBecomesTheExitCode) {
  SetSourceDisk(L"Tovrin,build=3");
  // A non-volatile "RVQ" cannot be created below a volatile "Bryxen".
  Trevalk::UniqueHKey bryxen;
  ASSERT_EQ(RegCreateKeyExW(machine_.get(), L"Software\\Bryxen", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, bryxen.put(), nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(Run({"5"}, &InitSucceeds), static_cast<DWORD>(ERROR_CHILD_MUST_BE_VOLATILE));
  EXPECT_FALSE(FlagIsSet());
  // Nothing due: the registry is not touched, so the same setup answers 0.
  EXPECT_EQ(Run({"3"}, &InitSucceeds), 0u);
}

TEST_F(UpgradeDetectorTest, ExistingFlagIsSetAgainAndNeverCleared) {
  SetSourceDisk(L"Tovrin,build=9");
  Trevalk::UniqueHKey dynaInfo;
  ASSERT_EQ(RegCreateKeyExW(machine_.get(), L"Software\\Bryxen\\RVQ\\DynaInfo", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, dynaInfo.put(), nullptr),
            ERROR_SUCCESS);
  const DWORD zero = 0;
  ASSERT_EQ(RegSetValueExW(dynaInfo.get(), L"UpdRestartReq", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&zero), 4),
            ERROR_SUCCESS);
  EXPECT_EQ(Run({"5"}, &InitSucceeds), 0u);  // not due: left at 0
  EXPECT_FALSE(FlagIsSet());
  EXPECT_EQ(Run({"10"}, &InitSucceeds), 0u);
  EXPECT_TRUE(FlagIsSet());
  EXPECT_EQ(Run({"5"}, &InitSucceeds), 0u);  // not due: the flag stays
  EXPECT_TRUE(FlagIsSet());
}

}  // namespace
