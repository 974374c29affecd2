// The logging subsystem end to end under Wine: the obfuscated "Logging
// Mechanism" 1 selects the text log files, an obfuscated "Severity" 1 in the
// root log.ini lets severity 1 through, and the built binaries write their
// lines where support engineers look for them.
#include <gtest/gtest.h>

#include <string>

#include "directory_tree.h"
#include "ini/ini_reader.h"
#include "paths/paths.h"
#include "registry/obfuscated_reg_key.h"
#include "test_support.h"

namespace {

const wchar_t* const kLogRoot = L"C:\\ProgramData\\Bryxen\\BXLOGS\\";

std::wstring ReadLog(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return L"<missing>";
  std::string bytes;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) bytes.append(chunk, got);
  CloseHandle(file);
  if (bytes.size() < 2 || bytes[0] != '\xFF' || bytes[1] != '\xFE') return L"<no BOM>";
  return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
}

class LoggingEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    Clean();
    Trevalk::CObfuscatedRegKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Bryxen\\Logging", nullptr, REG_OPTION_NON_VOLATILE,
                         KEY_ALL_ACCESS),
              0);
    ASSERT_EQ(key.SetDWORDValue(L"Logging Mechanism", 1), 0);
    ASSERT_TRUE(rvqtest::CreateDirectoryPath(kLogRoot));
    Trevalk::CObfuscatedIniReader ini;
    ini.Load(std::wstring(kLogRoot) + L"log.ini");
    ASSERT_TRUE(ini.WriteInt(L"Config", L"Severity", 1));
  }
  void TearDown() override { Clean(); }
  void Clean() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Bryxen\\Logging");
    rvqtest::RemoveTree(std::wstring(kLogRoot) + L"DetectRVQdll");
    rvqtest::RemoveTree(std::wstring(kLogRoot) + L"_no_group");
    DeleteFileW((std::wstring(kLogRoot) + L"log.ini").c_str());
  }
};

TEST_F(LoggingEndToEnd, PreInstallThroughTheHostWritesTheLibraryLog) {
  const auto run = rvqtest::RunProcess(L"\"" + rvqtest::BinPath(L"install-host.exe") + L"\" PreInstall");
  ASSERT_TRUE(run.started);
  ASSERT_EQ(run.exitCode, 0u) << run.output;
  const std::wstring text = ReadLog(std::wstring(kLogRoot) + L"DetectRVQdll\\checkRVQ\\checkRVQ000.log");
  EXPECT_NE(text.find(L"$ -- (Normal)$  detectRVQ.dll PreInstall(): Starting pre-install step.\r\n"),
            std::wstring::npos)
      << rvqtest::ToUtf8(text);
  EXPECT_NE(text.find(L"$ -- (Normal)$  detectRVQ.dll PreInstall(): Pre-install step complete.\r\n"),
            std::wstring::npos)
      << rvqtest::ToUtf8(text);
}

TEST_F(LoggingEndToEnd, DefaultIdentityWritesBelowNoGroup) {
  const auto run = rvqtest::RunProcess(L"\"" + rvqtest::BinPath(L"logging_probe.exe") + L"\"");
  ASSERT_TRUE(run.started);
  ASSERT_EQ(run.exitCode, 0u) << run.output;
  const std::wstring text =
      ReadLog(std::wstring(kLogRoot) + L"_no_group\\logging_probe\\logging_probe__no_host000.log");
  // The facade always names a module (here the executable that holds it), so
  // the executable field stays empty.
  for (const wchar_t* name : {L"Normal", L"Warning", L"Information", L"Error", L"Critical"}) {
    EXPECT_NE(text.find(std::wstring(L"$ -- (") + name + L")$  probe line at severity"), std::wstring::npos)
        << rvqtest::ToUtf8(text);
  }
}

TEST_F(LoggingEndToEnd, WithoutTheMechanismNoTextLogIsWritten) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Bryxen\\Logging");
  const auto run = rvqtest::RunProcess(L"\"" + rvqtest::BinPath(L"install-host.exe") + L"\" PreInstall");
  ASSERT_EQ(run.exitCode, 0u) << run.output;
  EXPECT_FALSE(rvqtest::DirectoryExists(std::wstring(kLogRoot) + L"DetectRVQdll"));
}

}  // namespace
