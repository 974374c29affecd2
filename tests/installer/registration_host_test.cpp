// DllInstallFunction of the built checkRVQ.dll, called through
// install-host.exe as the installer host calls it, with the registry, the
// pending file operations and the service control manager checked after.
#include <gtest/gtest.h>

#include <clocale>
#include <ctime>
#include <cwchar>
#include <string>

#include "common/unique_handle.h"
#include "entry_points.h"
#include "registration_test_util.h"
#include "step_test_util.h"
#include "test_support.h"

namespace {

using rvqtest::IsPending;
using rvqtest::kProductKey;
using rvqtest::kSubstituteKey;
using rvqtest::ReadDword;
using rvqtest::ReadValue;

constexpr char kResultZero[] = "\"result\":0x00000000";

class DllInstallFunctionTest : public rvqtest::RegistrationTest {
 protected:
  // Runs the entry point; true when it ran and answered 0.
  static bool RunInstall() {
    const auto run =
        rvqtest::RunProcess(L"\"" + rvqtest::BinPath(L"install-host.exe") + L"\" DllInstallFunction");
    EXPECT_TRUE(run.started) << run.startError;
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_NE(run.output.find(kResultZero), std::string::npos) << run.output;
    return run.exitCode == 0 && run.output.find(kResultZero) != std::string::npos;
  }

  static std::wstring TodayAsShortDate() {
    setlocale(LC_ALL, ".ACP");
    const time_t now = time(nullptr);
    tm local{};
    localtime_s(&local, &now);
    wchar_t date[255] = {};
    wcsftime(date, 255, L"%x", &local);
    return date;
  }
};

TEST_F(DllInstallFunctionTest, WritesTheThreeRecords) {
  CreateProductKey();
  const unsigned long long before = static_cast<unsigned long long>(time(nullptr));
  ASSERT_TRUE(RunInstall());
  const unsigned long long after = static_cast<unsigned long long>(time(nullptr));

  DWORD platform = 0;
  ASSERT_TRUE(ReadDword(kProductKey, L"InstallPlatform", platform));
  EXPECT_EQ(platform, 17u);  // Wine reports Windows 10

  DWORD gmtdate = 0;
  ASSERT_TRUE(ReadDword(kSubstituteKey, L"gmtdate", gmtdate));
  EXPECT_GE(gmtdate, static_cast<DWORD>(before & 0xFFFFFFFFull));
  EXPECT_LE(gmtdate, static_cast<DWORD>(after & 0xFFFFFFFFull));

  const auto lastUpdate = ReadValue(kProductKey, L"Last Update");
  ASSERT_TRUE(lastUpdate.present);
  EXPECT_EQ(lastUpdate.type, static_cast<DWORD>(REG_SZ));
  const std::wstring expected = TodayAsShortDate();
  ASSERT_FALSE(expected.empty());
  // The library writes the text without its terminator. Wine's (like
  // Windows NT's) RegSetValueExW adds one itself when the character after
  // the given bytes is a null, so the stored size may be either.
  const size_t textBytes = expected.size() * sizeof(wchar_t);
  EXPECT_TRUE(lastUpdate.data.size() == textBytes || lastUpdate.data.size() == textBytes + sizeof(wchar_t))
      << lastUpdate.data.size();
  EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(lastUpdate.data.data()), expected.size()), expected);
  printf("Last Update stored as %zu bytes for %zu characters\n", lastUpdate.data.size(), expected.size());
}

// A host on the same C runtime DLL (msvcrt.dll) shares its locale with the
// library: under a German user locale, a changed one turns the host's 1.5
// into "1,5" and its atof("1.5") into 1.
TEST_F(DllInstallFunctionTest, HostLocaleIsLeftAsItWas) {
  CreateProductKey();
  ASSERT_NE(setlocale(LC_ALL, "C"), nullptr);
  Trevalk::UniqueModule library(LoadLibraryW(rvqtest::BinPath(L"checkRVQ.dll").c_str()));
  ASSERT_TRUE(library);
  const auto install = ProcAs<DllInstallFunctionFn>(GetProcAddress(library.get(), "DllInstallFunction"));
  ASSERT_NE(install, nullptr);
  EXPECT_EQ(install(), 0u);
  EXPECT_STREQ(setlocale(LC_ALL, nullptr), "C");
  EXPECT_TRUE(ReadValue(kProductKey, L"Last Update").present);
}

TEST_F(DllInstallFunctionTest, WithoutTheProductKeyOnlyLastUpdateIsMissing) {
  ASSERT_TRUE(RunInstall());
  EXPECT_FALSE(ReadValue(kProductKey, L"Last Update").present);
  DWORD value = 0;
  EXPECT_TRUE(ReadDword(kSubstituteKey, L"gmtdate", value));
  EXPECT_TRUE(ReadDword(kProductKey, L"InstallPlatform", value));
  EXPECT_EQ(value, 17u);
}

TEST_F(DllInstallFunctionTest, LocaleFilesOfBothFoldersAreScheduled) {
  rvqtest::ScratchDir install(L"rvqinst");
  ASSERT_TRUE(CreateDirectoryW(install.Child(L"Locale").c_str(), nullptr));
  const std::wstring files[] = {install.Child(L"loc_en.dat"), install.Child(L"loc_de.dat"),
                                install.Child(L"Locale\\loc_fr.dat")};
  for (const auto& file : files) ASSERT_TRUE(rvqtest::WriteFileBytes(file, "locale"));
  // The last three match the pattern only through their 8.3 short names
  // ("LOC_~xxx.DAT"), which the file search also looks at.
  const std::wstring others[] = {install.Child(L"keep.dat"),       install.Child(L"loc_en.txt"),
                                 install.Child(L"Locale\\other.dat"), install.Child(L"loc_en.dat_bak"),
                                 install.Child(L"loc_cache.data"), install.Child(L"Locale\\loc_fr.dat2")};
  for (const auto& file : others) ASSERT_TRUE(rvqtest::WriteFileBytes(file, "keep"));
  ASSERT_TRUE(rvqtest::WriteString(kProductKey, L"Install Dir", install.path()));

  ASSERT_TRUE(RunInstall());
  for (const auto& file : files) EXPECT_TRUE(IsPending(file)) << rvqtest::ToUtf8(file);
  for (const auto& file : others) EXPECT_FALSE(IsPending(file)) << rvqtest::ToUtf8(file);
  // Scheduled, not deleted now.
  for (const auto& file : files) EXPECT_TRUE(rvqtest::FileExists(file));
}

TEST_F(DllInstallFunctionTest, ExpandableInstallDirIsUsedAsStored) {
  rvqtest::ScratchDir install(L"rvqinst");
  ASSERT_TRUE(rvqtest::WriteFileBytes(install.Child(L"loc_en.dat"), "locale"));
  ASSERT_TRUE(rvqtest::WriteString(kProductKey, L"Install Dir", install.path(), REG_EXPAND_SZ));
  ASSERT_TRUE(RunInstall());
  EXPECT_TRUE(IsPending(install.Child(L"loc_en.dat")));
}

TEST_F(DllInstallFunctionTest, InstallDirOfAnotherTypeSchedulesNothing) {
  rvqtest::ScratchDir install(L"rvqinst");
  ASSERT_TRUE(rvqtest::WriteFileBytes(install.Child(L"loc_en.dat"), "locale"));
  const DWORD number = 42;
  ASSERT_TRUE(rvqtest::WriteValue(kProductKey, L"Install Dir", REG_DWORD, &number, sizeof number));
  const auto pendingBefore = rvqtest::PendingOperations();
  ASSERT_TRUE(RunInstall());
  EXPECT_EQ(rvqtest::PendingOperations(), pendingBefore);
}

TEST_F(DllInstallFunctionTest, PathThatWouldBeCutIsNotScheduled) {
  rvqtest::ScratchDir scratch(L"rvqinst");
  // A folder of 245 characters: "loc_a.dat" fits the 260-character path
  // buffer, a longer locale file name does not.
  std::wstring folder = scratch.path() + L"\\";
  folder += std::wstring(245 - folder.size(), L'f');
  ASSERT_EQ(folder.size(), 245u);
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  const std::wstring fits = folder + L"\\loc_a.dat";
  const std::wstring cut = folder + L"\\loc_" + std::wstring(20, L'x') + L".dat";
  ASSERT_TRUE(rvqtest::WriteFileBytes(fits, "locale"));
  ASSERT_TRUE(rvqtest::WriteFileBytes(L"\\\\?\\" + cut, "locale"));
  ASSERT_TRUE(rvqtest::WriteString(kProductKey, L"Install Dir", folder));

  ASSERT_TRUE(RunInstall());
  EXPECT_TRUE(IsPending(fits));
  for (const std::wstring& entry : rvqtest::PendingOperations()) {
    // Neither the long name, nor a cut form of it, nor the folder itself.
    EXPECT_EQ(entry.find(L"loc_xxxx"), std::wstring::npos) << rvqtest::ToUtf8(entry);
    EXPECT_NE(_wcsicmp(entry.c_str(), (L"\\??\\" + folder).c_str()), 0);
  }
}

TEST_F(DllInstallFunctionTest, ResultIsZeroWhenTheStepsFail) {
  // No rvq9 service to remove and an "Install Dir" that names no folder:
  // those steps fail and are passed over.
  rvqtest::ScratchDir scratch;
  ASSERT_TRUE(rvqtest::WriteString(kProductKey, L"Install Dir", scratch.Child(L"missing")));
  ASSERT_TRUE(RunInstall());
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kProductKey);
  // Without the product key "Last Update" fails as well.
  EXPECT_TRUE(RunInstall());
}

// The rvq9 stand-in registered and running before the installation.
TEST_F(DllInstallFunctionTest, RunningServiceIsStoppedAndDeleted) {
  const std::wstring binary = rvqtest::FixturePath(L"rvq9svc.exe");
  const auto created = rvqtest::RunProcess(L"sc.exe create rvq9 binpath= \"" + binary + L" stop-delay=0\"");
  ASSERT_EQ(created.exitCode, 0u) << created.output;
  const auto started = rvqtest::RunProcess(L"sc.exe start rvq9");
  ASSERT_EQ(started.exitCode, 0u) << started.output;

  const bool ran = RunInstall();
  Trevalk::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ASSERT_TRUE(manager);
  DWORD error = 0;
  const ULONGLONG deadline = GetTickCount64() + 10000;
  for (;;) {
    Trevalk::UniqueServiceHandle service(OpenServiceW(manager.get(), L"rvq9", SERVICE_QUERY_STATUS));
    error = service ? 0 : GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST || GetTickCount64() > deadline) break;
    Sleep(50);
  }
  if (error != ERROR_SERVICE_DOES_NOT_EXIST) rvqtest::RunProcess(L"sc.exe delete rvq9");
  EXPECT_TRUE(ran);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

}  // namespace
