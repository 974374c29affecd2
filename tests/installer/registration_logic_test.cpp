// Install-time registration in-process: the platform table, the checks of
// the stored installation folder and of path lengths, and the records
// written for Windows versions that Wine does not report.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "module_state.h"
#include "osinfo/os_version.h"
#include "registration.h"
#include "recording_logger.h"
#include "registration_test_util.h"
#include "step_test_util.h"
#include "test_support.h"

namespace {

using rvqtest::RegistrationTest;

TEST(InstallPlatformCode, TableAndQuestionOrder) {
  struct Case {
    DWORD osCode, platform;
    int questions;
  } cases[] = {
      {7, 9, 1},  {8, 11, 2}, {9, 13, 3}, {10, 15, 4}, {11, 17, 5},
      {0, 3, 5},  {1, 3, 5},  {6, 3, 5},  {12, 3, 5},
  };
  for (const auto& c : cases) {
    int questions = 0;
    EXPECT_EQ(checkrvq::InstallPlatformCode([&] {
                ++questions;
                return c.osCode;
              }),
              c.platform)
        << c.osCode;
    EXPECT_EQ(questions, c.questions) << c.osCode;
  }
}

std::vector<BYTE> Bytes(const std::wstring& text, size_t extraNulls = 1) {
  std::vector<BYTE> bytes((text.size() + extraNulls) * sizeof(wchar_t), 0);
  memcpy(bytes.data(), text.data(), text.size() * sizeof(wchar_t));
  return bytes;
}

TEST(ParseInstallDir, AcceptedAndRefused) {
  const std::vector<BYTE> good = Bytes(L"C:\\RVQ");
  const std::vector<BYTE> unterminated = Bytes(L"C:\\RVQ", 0);
  std::vector<BYTE> odd = good;
  odd.push_back(0);
  const std::vector<BYTE> empty = Bytes(L"");
  const std::vector<BYTE> longest = Bytes(std::wstring(259, L'a'));
  struct Case {
    const char* label;
    DWORD type;
    const std::vector<BYTE>* data;
    bool ok;
  } cases[] = {
      {"REG_SZ", REG_SZ, &good, true},
      {"REG_EXPAND_SZ", REG_EXPAND_SZ, &good, true},
      {"259 characters", REG_SZ, &longest, true},
      {"REG_DWORD", REG_DWORD, &good, false},
      {"REG_MULTI_SZ", REG_MULTI_SZ, &good, false},
      {"no terminator", REG_SZ, &unterminated, false},
      {"odd byte count", REG_SZ, &odd, false},
      {"empty text", REG_SZ, &empty, false},
  };
  for (const auto& c : cases) {
    wchar_t out[checkrvq::kPathChars] = L"stale";
    const bool ok = checkrvq::ParseInstallDir(c.type, c.data->data(), static_cast<DWORD>(c.data->size()), out,
                                              checkrvq::kPathChars);
    EXPECT_EQ(ok, c.ok) << c.label;
    if (c.ok) {
      EXPECT_EQ(std::wstring(out), std::wstring(reinterpret_cast<const wchar_t*>(c.data->data()))) << c.label;
    } else {
      EXPECT_EQ(out[0], L'\0') << c.label;
    }
  }
  wchar_t out[4];
  EXPECT_FALSE(checkrvq::ParseInstallDir(REG_SZ, good.data(), 0, out, 4));
  EXPECT_FALSE(checkrvq::ParseInstallDir(REG_SZ, good.data(), static_cast<DWORD>(good.size()), out, 4));
}

TEST(AppendToFolder, RefusesWhatDoesNotFit) {
  wchar_t out[checkrvq::kPathChars];
  ASSERT_TRUE(checkrvq::AppendToFolder(L"C:\\RVQ", L"loc_en.dat", out, checkrvq::kPathChars));
  EXPECT_STREQ(out, L"C:\\RVQ\\loc_en.dat");
  ASSERT_TRUE(checkrvq::AppendToFolder(L"C:\\RVQ\\", L"Locale", out, checkrvq::kPathChars));
  EXPECT_STREQ(out, L"C:\\RVQ\\Locale");

  // 259 characters fit (with the terminator, the whole buffer); 260 do not.
  const std::wstring folder = L"C:\\" + std::wstring(240, L'f');  // 243 characters
  const std::wstring fits(259 - folder.size() - 1, L'n');
  const std::wstring tooLong(fits.size() + 1, L'n');
  ASSERT_TRUE(checkrvq::AppendToFolder(folder.c_str(), fits.c_str(), out, checkrvq::kPathChars));
  EXPECT_EQ(std::wstring(out).size(), 259u);
  EXPECT_FALSE(checkrvq::AppendToFolder(folder.c_str(), tooLong.c_str(), out, checkrvq::kPathChars));
  EXPECT_FALSE(checkrvq::AppendToFolder((folder + L"\\").c_str(), tooLong.c_str(), out, checkrvq::kPathChars));
}

// Answers the NT line and confirms no service pack.
class NTOnlyVersionAPI : public Trevalk::WinOSVersionAPI {
 public:
  BOOL VerifyVersion(OSVERSIONINFOEXW* info, DWORD typeMask, DWORDLONG) override {
    return typeMask == VER_PLATFORMID && info->dwPlatformId == VER_PLATFORM_WIN32_NT;
  }
};

// A kernel32.dll of the given product version.
class StandInKernel : public Trevalk::internal::OSInfoImpl {
 public:
  explicit StandInKernel(std::wstring productVersion) : productVersion_(std::move(productVersion)) {}
  bool ReadKernelVersion(Trevalk::KernelVersion& out) override {
    return Trevalk::ParseProductVersion(productVersion_, out);
  }

 private:
  std::wstring productVersion_;
};

class InstallRecords : public RegistrationTest {};

TEST_F(InstallRecords, PlatformOfStandInWindowsVersions) {
  struct Case {
    const wchar_t* kernelVersion;
    DWORD platform;
  } cases[] = {
      {L"6.1.7601.17514", 11},  // Windows 7
      {L"6.3.9600.16384", 15},  // Windows 8.1
      {L"6.2.9200.16384", 13},  // Windows 8
      {L"6.0.6002.18005", 9},   // Vista
      {L"12.0.1.1", 3},         // a version the table does not know
      {L"", 3},                 // no version at all
  };
  for (const auto& c : cases) {
    CreateProductKey();
    checkrvq::WriteInstallationRecords([&] {
      Trevalk::internal::OSInfoProxy<NTOnlyVersionAPI> proxy(std::make_shared<StandInKernel>(c.kernelVersion));
      return Trevalk::QueryOSCode(proxy);
    });
    DWORD platform = 0;
    EXPECT_TRUE(rvqtest::ReadDword(rvqtest::kProductKey, L"InstallPlatform", platform))
        << rvqtest::ToUtf8(c.kernelVersion);
    EXPECT_EQ(platform, c.platform) << rvqtest::ToUtf8(c.kernelVersion);
  }
}

TEST_F(InstallRecords, UnderWineTheRealQueryGives17) {
  CreateProductKey();
  checkrvq::WriteInstallationRecords([] { return Trevalk::QueryOSCode(); });
  DWORD platform = 0;
  ASSERT_TRUE(rvqtest::ReadDword(rvqtest::kProductKey, L"InstallPlatform", platform));
  EXPECT_EQ(platform, 17u);
}

TEST_F(InstallRecords, WhatCannotBeWrittenOrReadIsLoggedWithItsResult) {
  // No product key: "Last Update" cannot be written (the other records
  // create the key), and there is no "Install Dir" to schedule from.
  rvqtest::ScopedRecordingLog log;
  checkrvq::WriteInstallationRecords([] { return Trevalk::QueryOSCode(); });
  checkrvq::ScheduleLocaleFilesForDeletion();
  EXPECT_EQ(rvqtest::LogLines(log),
            (std::vector<std::wstring>{
                L"4 DllInstallFunction 310 detectRVQ.dll DllInstallFunction(): Unable to open "
                L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Bryxen\\RVQ. Error code:2",
                L"4 DllInstallFunction 312 detectRVQ.dll DllInstallFunction(): Unable to read \"Install Dir\", no "
                L"locale file scheduled. Error code:2",
            }));
}

}  // namespace
