// A version.dll planted in the folder of the program and in the current
// directory, where the search order looks before the System folder. Wine
// takes a library from there only when told to prefer files to its own
// (WINEDLLOVERRIDES=version=n,b, set for this test), as Windows always does.
//
// The control program imports version.dll the ordinary way and must load a
// planted copy, or the rest proves nothing. Our binaries delay-load it and
// must take the System folder's: install-host.exe (a host that restricts
// nothing) with checkRVQ.dll reading a file version in DllInstallFunction,
// RvqUpgd.exe, and bxlogctl.exe.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/unique_handle.h"
#include "test_support.h"

namespace {

using rvqtest::BinPath;
using rvqtest::FileExists;

constexpr wchar_t kProductKey[] = L"SOFTWARE\\Bryxen\\RVQ";
constexpr wchar_t kSubstituteKey[] = L"SOFTWARE\\Bryxen\\RVQ\\AppInfo\\Substitute";

bool ValueExists(const wchar_t* key, const wchar_t* name) {
  return RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_ANY, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

void DeleteValue(const wchar_t* key, const wchar_t* name) {
  Trevalk::UniqueHKey handle;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_SET_VALUE, handle.put()) == ERROR_SUCCESS) {
    RegDeleteValueW(handle.get(), name);
  }
}

// The values DllInstallFunction writes go again unless they were there.
class InstallValues {
 public:
  InstallValues()
      : lastUpdate_(ValueExists(kProductKey, L"Last Update")),
        platform_(ValueExists(kProductKey, L"InstallPlatform")),
        gmtdate_(ValueExists(kSubstituteKey, L"gmtdate")) {}
  ~InstallValues() {
    if (!lastUpdate_) DeleteValue(kProductKey, L"Last Update");
    if (!platform_) DeleteValue(kProductKey, L"InstallPlatform");
    if (!gmtdate_) DeleteValue(kSubstituteKey, L"gmtdate");
  }
  InstallValues(const InstallValues&) = delete;
  InstallValues& operator=(const InstallValues&) = delete;

 private:
  bool lastUpdate_, platform_, gmtdate_;
};

class PlantedVersionLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::wstring planted = rvqtest::BinDir() + L"\\..\\planted\\version.dll";
    ASSERT_TRUE(FileExists(planted)) << "not built: " << rvqtest::Narrow(planted);
    ASSERT_TRUE(CopyFileW(planted.c_str(), program_.Child(L"version.dll").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(planted.c_str(), current_.Child(L"version.dll").c_str(), FALSE));
    for (const wchar_t* name : {L"checkRVQ.dll", L"install-host.exe", L"RvqUpgd.exe", L"bxlogctl.exe",
                                L"rvq_version_importer.exe"}) {
      ASSERT_TRUE(CopyFileW(BinPath(name).c_str(), program_.Child(name).c_str(), FALSE)) << rvqtest::Narrow(name);
    }
  }

  // Runs a copied program with the second folder as its current directory.
  rvqtest::ProcessResult Run(const wchar_t* program, const wchar_t* arguments) {
    const std::wstring commandLine = L"\"" + program_.Child(program) + L"\" " + arguments;
    return rvqtest::RunProcess(commandLine, current_.path(), 60000);
  }

  // Which planted copies `program` loaded: "" for none, else "program
  // folder" and/or "current directory".
  std::string PlantedCopiesLoadedBy(const wchar_t* program) {
    const std::wstring marker = std::wstring(L"loaded-by-") + program;
    std::string where;
    if (FileExists(program_.Child(marker))) where += "program folder ";
    if (FileExists(current_.Child(marker))) where += "current directory";
    return where;
  }

  rvqtest::ScratchDir program_{L"rvqplanthost"};
  rvqtest::ScratchDir current_{L"rvqplantcwd"};
};

TEST_F(PlantedVersionLibrary, OnlyAnOrdinaryImportTakesIt) {
  // The control: Wine searches as Windows does here, so the test can fail.
  const auto control = Run(L"rvq_version_importer.exe", L"");
  ASSERT_TRUE(control.started) << control.startError;
  ASSERT_EQ(PlantedCopiesLoadedBy(L"rvq_version_importer.exe"), "program folder ");

  {
    InstallValues restore;
    const auto host = Run(L"install-host.exe", L"DllInstallFunction");
    EXPECT_EQ(host.exitCode, 0u) << host.output;
    EXPECT_NE(host.output.find("{\"entry\":\"DllInstallFunction\""), std::string::npos) << host.output;
  }
  EXPECT_EQ(PlantedCopiesLoadedBy(L"install-host.exe"), "");

  const auto upgrade = Run(L"RvqUpgd.exe", L"0");
  EXPECT_EQ(upgrade.exitCode, 0u) << upgrade.output;
  EXPECT_EQ(PlantedCopiesLoadedBy(L"RvqUpgd.exe"), "");

  const auto tool = Run(L"bxlogctl.exe", L"where");
  EXPECT_TRUE(tool.started) << tool.startError;
  EXPECT_EQ(PlantedCopiesLoadedBy(L"bxlogctl.exe"), "");
}

}  // namespace
