// bxlogctl.exe under Wine: every command against the machine's registry and
// log folders, read back with the product's own readers, and its handling
// of bad input.
#include <windows.h>

#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>

#include "ini/ini_reader.h"
#include "registry/obfuscated_reg_key.h"
#include "registry/reg_key.h"
#include "test_support.h"

namespace {

using rvqtest::RunProcess;

const wchar_t kLoggingKey[] = L"SOFTWARE\\Bryxen\\Logging";
const wchar_t kLogRoot[] = L"C:\\ProgramData\\Bryxen\\BXLOGS";

struct Run {
  DWORD exitCode;
  std::string output;
};

Run Ctl(const std::wstring& arguments) {
  const auto result = RunProcess(L"\"" + rvqtest::BinPath(L"bxlogctl.exe") + L"\" " + arguments);
  EXPECT_TRUE(result.started) << "CreateProcessW failed: " << result.startError;
  return {result.exitCode, result.output};
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Every test starts without logging configuration and log files.
class BxlogctlTest : public ::testing::Test {
 protected:
  void SetUp() override { Clean(); }
  void TearDown() override { Clean(); }
  static void Clean() {
    Trevalk::CRegKey software;
    if (software.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Bryxen", KEY_ALL_ACCESS) == ERROR_SUCCESS) {
      software.RecurseDeleteKey(L"Logging");
    }
    rvqtest::RemoveTree(kLogRoot);
  }
};

TEST_F(BxlogctlTest, MechanismRoundTripAndWhatTheProductIgnores) {
  auto shown = Ctl(L"mechanism");
  EXPECT_EQ(shown.exitCode, 0u);
  EXPECT_TRUE(Contains(shown.output, "not set")) << shown.output;
  EXPECT_TRUE(Contains(shown.output, "ETW backend"));

  EXPECT_EQ(Ctl(L"mechanism text").exitCode, 0u);
  Trevalk::CObfuscatedRegKey obfuscated;
  ASSERT_EQ(obfuscated.Open(HKEY_LOCAL_MACHINE, kLoggingKey, KEY_QUERY_VALUE), ERROR_SUCCESS);
  DWORD value = 0;
  ASSERT_EQ(obfuscated.QueryDWORDValue(L"Logging Mechanism", value), ERROR_SUCCESS);
  EXPECT_EQ(value, 1u);
  EXPECT_TRUE(Contains(Ctl(L"mechanism").output, "text log writer"));

  EXPECT_EQ(Ctl(L"mechanism etw").exitCode, 0u);
  ASSERT_EQ(obfuscated.QueryDWORDValue(L"Logging Mechanism", value), ERROR_SUCCESS);
  EXPECT_EQ(value, 0u);

  // A plain value is what a person would write by hand: ignored.
  Trevalk::CRegKey plain;
  ASSERT_EQ(plain.Open(HKEY_LOCAL_MACHINE, kLoggingKey, KEY_ALL_ACCESS), ERROR_SUCCESS);
  ASSERT_EQ(plain.SetDWORDValue(L"Logging Mechanism", 1), ERROR_SUCCESS);
  shown = Ctl(L"mechanism");
  EXPECT_TRUE(Contains(shown.output, "plain REG_DWORD 1")) << shown.output;
  EXPECT_TRUE(Contains(shown.output, "ETW backend"));

  // A record with one changed byte fails its digest.
  ASSERT_EQ(Ctl(L"mechanism text").exitCode, 0u);
  BYTE record[64];
  DWORD type = 0, size = sizeof record;
  ASSERT_EQ(plain.QueryValue(L"Logging Mechanism", &type, record, &size), ERROR_SUCCESS);
  record[size - 1] ^= 0x01;
  ASSERT_EQ(plain.SetValue(L"Logging Mechanism", REG_BINARY, record, size), ERROR_SUCCESS);
  shown = Ctl(L"mechanism");
  EXPECT_TRUE(Contains(shown.output, "damaged")) << shown.output;
  EXPECT_TRUE(Contains(shown.output, "ETW backend"));
  const auto decoded = Ctl(L"decode reg HKLM\\SOFTWARE\\Bryxen\\Logging \"Logging Mechanism\"");
  EXPECT_EQ(decoded.exitCode, 0u);
  EXPECT_TRUE(Contains(decoded.output, "damaged")) << decoded.output;
}

TEST_F(BxlogctlTest, IniSetWritesWhatTheProductReads) {
  ASSERT_EQ(Ctl(L"ini set Severity 1").exitCode, 0u);
  ASSERT_EQ(Ctl(L"ini set maxentries 5 --for checkRVQ").exitCode, 0u);  // key case as the user types it
  ASSERT_EQ(Ctl(L"ini set Options 0x3C --for RvqUpgd").exitCode, 0u);

  int value = 0;
  Trevalk::CObfuscatedIniReader root;
  root.Load(std::wstring(kLogRoot) + L"\\log.ini");
  ASSERT_TRUE(root.GetInt(L"Config", L"Severity", value));
  EXPECT_EQ(value, 1);
  Trevalk::CObfuscatedIniReader folder;
  folder.Load(std::wstring(kLogRoot) + L"\\DetectRVQdll\\checkRVQ\\log.ini");
  ASSERT_TRUE(folder.GetInt(L"Config", L"MaxEntries", value));  // written under the writer's spelling
  EXPECT_EQ(value, 5);
  Trevalk::CObfuscatedIniReader upgrade;
  upgrade.Load(std::wstring(kLogRoot) + L"\\_no_group\\RvqUpgd\\log.ini");
  ASSERT_TRUE(upgrade.GetInt(L"Config", L"Options", value));
  EXPECT_EQ(value, 0x3C);

  const auto shown = Ctl(L"ini show --for checkRVQ");
  EXPECT_EQ(shown.exitCode, 0u);
  EXPECT_TRUE(Contains(shown.output, "Severity   = 1  (root ini)")) << shown.output;
  EXPECT_TRUE(Contains(shown.output, "MaxEntries = 5  (folder ini)")) << shown.output;
  EXPECT_TRUE(Contains(shown.output, "MaxSize    = 262144  (default)")) << shown.output;
  // Enable is no off switch for the product: show says what stops text logs.
  EXPECT_TRUE(Contains(shown.output, "not the product's messages")) << shown.output;
  EXPECT_TRUE(Contains(shown.output, "bxlogctl mechanism etw, or ini set Severity 6")) << shown.output;

  const auto decoded = Ctl(L"decode ini C:\\ProgramData\\Bryxen\\BXLOGS\\log.ini");
  EXPECT_TRUE(Contains(decoded.output, "Severity = 1  (obfuscated)")) << decoded.output;
}

TEST_F(BxlogctlTest, IniShowAndDecodeExplainIgnoredValues) {
  // A plain line, a value outside its range, and a damaged value.
  const std::wstring folderIni = std::wstring(kLogRoot) + L"\\DetectRVQdll\\checkRVQ\\log.ini";
  ASSERT_EQ(Ctl(L"ini set MaxSize 300000 --for checkRVQ").exitCode, 0u);
  {
    Trevalk::CObfuscatedIniReader writer;
    writer.Load(folderIni);
    ASSERT_TRUE(writer.WriteInt(L"Config", L"MaxEntries", 500));  // outside 2..100
  }
  ASSERT_TRUE(WritePrivateProfileStringW(L"Config", L"Severity", L"1", folderIni.c_str()));
  wchar_t payload[64] = {};
  GetPrivateProfileStringW(L"Config", L"MaxSize", L"", payload, 64, folderIni.c_str());
  payload[0] = payload[0] == L'0' ? L'1' : L'0';
  ASSERT_TRUE(WritePrivateProfileStringW(L"Config", L"MaxSize", payload, folderIni.c_str()));

  const auto shown = Ctl(L"ini show --for checkRVQ");
  EXPECT_TRUE(Contains(shown.output, "MaxEntries = 3  (default); folder ini holds 500, outside 2 to 100")) << shown.output;
  EXPECT_TRUE(Contains(shown.output, "Severity   = 3  (default)")) << shown.output;
  EXPECT_TRUE(Contains(shown.output, "MaxSize    = 262144  (default)")) << shown.output;

  const auto decoded = Ctl(L"decode ini " + folderIni);
  EXPECT_EQ(decoded.exitCode, 0u);
  EXPECT_TRUE(Contains(decoded.output, "MaxSize: damaged")) << decoded.output;
  EXPECT_TRUE(Contains(decoded.output, "Severity = 1  (plain: the product ignores it)")) << decoded.output;
  EXPECT_TRUE(Contains(decoded.output, "MaxEntries = 500  (obfuscated)")) << decoded.output;
}

TEST_F(BxlogctlTest, EtwOverridesArePlainDwordsAtEachLevel) {
  ASSERT_EQ(Ctl(L"etw set Severity 2").exitCode, 0u);
  ASSERT_EQ(Ctl(L"etw set Severity 4 --group DetectRVQdll").exitCode, 0u);
  ASSERT_EQ(Ctl(L"etw set Enable 0 --group DetectRVQdll --module checkRVQ").exitCode, 0u);
  Trevalk::CRegKey key;
  DWORD value = 0;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Bryxen\\Logging\\Provider", KEY_QUERY_VALUE), ERROR_SUCCESS);
  ASSERT_EQ(key.QueryDWORDValue(L"Severity", value), ERROR_SUCCESS);
  EXPECT_EQ(value, 2u);
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Bryxen\\Logging\\Provider\\DetectRVQdll\\checkRVQ",
                     KEY_QUERY_VALUE),
            ERROR_SUCCESS);
  ASSERT_EQ(key.QueryDWORDValue(L"Enable", value), ERROR_SUCCESS);
  EXPECT_EQ(value, 0u);

  const auto shown = Ctl(L"etw show");
  EXPECT_TRUE(Contains(shown.output, "provider: Severity=2")) << shown.output;
  EXPECT_TRUE(Contains(shown.output, "DetectRVQdll: Severity=4")) << shown.output;
  EXPECT_TRUE(Contains(shown.output, "DetectRVQdll\\checkRVQ: Enable=0")) << shown.output;

  EXPECT_EQ(Ctl(L"etw unset Enable --group DetectRVQdll --module checkRVQ").exitCode, 0u);
  EXPECT_EQ(key.QueryDWORDValue(L"Enable", value), ERROR_FILE_NOT_FOUND);
}

TEST_F(BxlogctlTest, WhereAndTailReadTheRing) {
  // A ring of two files as the writer leaves it: 000 older, 001 current.
  const std::wstring folder = std::wstring(kLogRoot) + L"\\DetectRVQdll\\checkRVQ";
  ASSERT_EQ(SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr), ERROR_SUCCESS);
  auto utf16 = [](const std::wstring& text) {
    std::string bytes("\xFF\xFE", 2);
    bytes.append(reinterpret_cast<const char*>(text.data()), text.size() * 2);
    return bytes;
  };
  ASSERT_TRUE(rvqtest::WriteFileBytes(folder + L"\\checkRVQ000.log", utf16(L"one\r\ntwo\r\nthree\r\n")));
  Sleep(50);
  ASSERT_TRUE(rvqtest::WriteFileBytes(folder + L"\\checkRVQ001.log", utf16(L"four\r\nGr\u00fc\u00dfe\r\n")));

  const auto where = Ctl(L"where");
  EXPECT_EQ(where.exitCode, 0u);
  EXPECT_TRUE(Contains(where.output, "folder DetectRVQdll\\checkRVQ")) << where.output;
  EXPECT_TRUE(Contains(where.output, "checkRVQ000.log  36 bytes\r\n") || Contains(where.output, "checkRVQ000.log  36 bytes\n"))
      << where.output;
  EXPECT_TRUE(Contains(where.output, "checkRVQ001.log  28 bytes  (current)")) << where.output;

  const auto tail = Ctl(L"tail -n 3");
  EXPECT_EQ(tail.exitCode, 0u);
  EXPECT_EQ(rvqtest::SplitLines(tail.output), (std::vector<std::string>{"three", "four", "Gr\xC3\xBC\xC3\x9F" "e"}))
      << tail.output;
}

TEST_F(BxlogctlTest, WhereNamesTheLinkThatKeepsTheWriterOut) {
  // A log folder planted as a link (to an empty folder: nothing to list).
  rvqtest::ScratchDir outside(L"rvqoutside");
  const std::wstring group = std::wstring(kLogRoot) + L"\\DetectRVQdll";
  ASSERT_EQ(SHCreateDirectoryExW(nullptr, group.c_str(), nullptr), ERROR_SUCCESS);
  rvqtest::ScopedUnixLink link(group + L"\\checkRVQ", outside.path());
  ASSERT_TRUE(link.made());
  const auto where = Ctl(L"where");
  EXPECT_EQ(where.exitCode, 0u);
  EXPECT_TRUE(Contains(where.output, "folder DetectRVQdll\\checkRVQ")) << where.output;
  EXPECT_TRUE(Contains(where.output, "refuses to log through a link (reparse point): C:\\ProgramData\\Bryxen\\BXLOGS"
                                     "\\DetectRVQdll\\checkRVQ"))
      << where.output;
}

TEST_F(BxlogctlTest, BadInputGivesAClearMessageAndTheDocumentedCode) {
  struct Case {
    const wchar_t* arguments;
    DWORD exitCode;
    const char* message;
  } cases[] = {
      {L"", 1, "commands:"},
      {L"frobnicate", 1, "unknown command"},
      {L"mechanism maybe", 1, "text or etw"},
      {L"ini set Verbosity 1", 1, "unknown key"},
      {L"ini set MaxSize 100", 1, "262144 to 10485760"},
      {L"ini set MaxEntries 101 --for checkRVQ", 1, "2 to 100"},
      {L"ini set Severity 7", 1, "0 to 6"},
      {L"ini set Severity -1", 1, "0 to 6"},
      {L"ini set Severity 1 --for a\\b\\c", 1, "GROUP\\MODULE"},
      {L"ini set Severity", 1, "usage"},
      {L"etw set Severity 0", 1, "1 to 6"},
      {L"etw set Level 1", 1, "Enable and Severity"},
      {L"etw show --module M", 1, "--module goes with --group"},
      {L"tail -n 0", 1, "-n takes"},
      {L"tail --bogus", 1, "unknown option"},
      {L"decode reg SOFTWARE\\Bryxen\\NoSuchKey Value", 2, "error 2"},
      {L"decode ini C:\\no\\such\\log.ini", 2, "error 2"},
      {L"decode xml x", 1, "reg or ini"},
  };
  for (const Case& c : cases) {
    const auto run = Ctl(c.arguments);
    EXPECT_EQ(run.exitCode, c.exitCode) << rvqtest::ToUtf8(c.arguments) << "\n" << run.output;
    EXPECT_TRUE(Contains(run.output, c.message)) << rvqtest::ToUtf8(c.arguments) << "\n" << run.output;
  }
  // Nothing was written by any of them.
  EXPECT_FALSE(rvqtest::DirectoryExists(kLogRoot));
  Trevalk::CRegKey key;
  EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, kLoggingKey, KEY_QUERY_VALUE), ERROR_FILE_NOT_FOUND);
}

// A log folder a user made before the tool ran (Wine: mode 0777, read as
// Everyone may write) is named by where and taken back by ini set; a
// log.ini over 64 KiB is shown as not read, and ini set leaves it alone.
TEST_F(BxlogctlTest, OpenFoldersAreTakenBackAndOversizedInisRefused) {
  ASSERT_EQ(SHCreateDirectoryExW(nullptr, kLogRoot, nullptr), ERROR_SUCCESS);
  ASSERT_TRUE(rvqtest::SetUnixMode(kLogRoot, 0777));
  auto run = Ctl(L"where");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_TRUE(Contains(run.output, "open to other users: C:\\ProgramData\\Bryxen\\BXLOGS (the text log writer takes "
                                   "it back"))
      << run.output;
  ASSERT_EQ(Ctl(L"ini set Severity 2").exitCode, 0u);
  EXPECT_EQ(rvqtest::UnixMode(kLogRoot) & rvqtest::kOthersWrite, 0);
  EXPECT_FALSE(rvqtest::ReadBackAccessList(kLogRoot).othersMayChange);
  EXPECT_FALSE(Contains(Ctl(L"where").output, "open to other users")) << Ctl(L"where").output;

  const std::wstring rootIni = std::wstring(kLogRoot) + L"\\log.ini";
  const std::string big = "[Config]\r\n" + std::string(70000, ';') + "\r\n";
  ASSERT_TRUE(rvqtest::WriteFileBytes(rootIni, big));
  run = Ctl(L"ini show");
  EXPECT_TRUE(Contains(run.output, "log.ini (larger than 65536 bytes: not read; the writer uses the defaults)"))
      << run.output;
  run = Ctl(L"ini set Severity 2");
  EXPECT_EQ(run.exitCode, 2u) << run.output;
  EXPECT_TRUE(Contains(run.output, "larger than 65536 bytes")) << run.output;
  HANDLE file = CreateFileW(rootIni.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD size = GetFileSize(file, nullptr);
  CloseHandle(file);
  EXPECT_EQ(size, big.size());
}

TEST_F(BxlogctlTest, UnwritableIniIsLeftWhole) {
  ASSERT_EQ(Ctl(L"ini set Severity 2").exitCode, 0u);
  const std::wstring rootIni = std::wstring(kLogRoot) + L"\\log.ini";
  std::string before;
  {
    HANDLE file = CreateFileW(rootIni.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    char buffer[4096];
    DWORD got = 0;
    ReadFile(file, buffer, sizeof buffer, &got, nullptr);
    before.assign(buffer, got);
    CloseHandle(file);
  }
  // Read-only, then held open by another program without sharing.
  ASSERT_TRUE(SetFileAttributesW(rootIni.c_str(), FILE_ATTRIBUTE_READONLY));
  auto run = Ctl(L"ini set Severity 5");
  EXPECT_EQ(run.exitCode, 2u) << run.output;
  EXPECT_TRUE(Contains(run.output, "read-only")) << run.output;
  SetFileAttributesW(rootIni.c_str(), FILE_ATTRIBUTE_NORMAL);
  HANDLE held = CreateFileW(rootIni.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  run = Ctl(L"ini set Severity 5");
  CloseHandle(held);
  EXPECT_EQ(run.exitCode, 2u) << run.output;
  EXPECT_TRUE(Contains(run.output, "error 32")) << run.output;
  int value = 0;
  Trevalk::CObfuscatedIniReader reader;
  reader.Load(rootIni);
  ASSERT_TRUE(reader.GetInt(L"Config", L"Severity", value));
  EXPECT_EQ(value, 2);
  EXPECT_FALSE(rvqtest::FileExists(rootIni + L".bxlogctl.tmp"));
  std::string after;
  HANDLE file = CreateFileW(rootIni.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  char buffer[4096];
  DWORD got = 0;
  ReadFile(file, buffer, sizeof buffer, &got, nullptr);
  after.assign(buffer, got);
  CloseHandle(file);
  EXPECT_EQ(after, before);  // byte for byte
}

// What the tool writes is what checkRVQ.dll acts on, run by a host.
TEST_F(BxlogctlTest, SettingsThroughTheToolReachTheProduct) {
  const std::wstring host = L"\"" + rvqtest::BinPath(L"install-host.exe") + L"\" PostInstall";
  const std::wstring logFile = std::wstring(kLogRoot) + L"\\DetectRVQdll\\checkRVQ\\checkRVQ000.log";
  const char kStartLine[] = "detectRVQ.dll PostInstall(): Starting post-install step.";

  // Text logs at the default threshold: the Normal lines stay out.
  ASSERT_EQ(Ctl(L"mechanism text").exitCode, 0u);
  ASSERT_EQ(RunProcess(host).exitCode, 0u);
  EXPECT_FALSE(Contains(Ctl(L"tail --for checkRVQ").output, kStartLine));

  // Severity 1 lets them in.
  ASSERT_EQ(Ctl(L"ini set Severity 1").exitCode, 0u);
  ASSERT_EQ(RunProcess(host).exitCode, 0u);
  ASSERT_TRUE(rvqtest::FileExists(logFile));
  const auto tail = Ctl(L"tail --for checkRVQ -n 3");
  EXPECT_TRUE(Contains(tail.output, kStartLine)) << tail.output;
  EXPECT_TRUE(Contains(tail.output, "-- (Normal)$  detectRVQ.dll PostInstall(): Post-install step complete."))
      << tail.output;
  EXPECT_TRUE(Contains(Ctl(L"where").output, "checkRVQ000.log"));

  // Back to ETW: no more text lines.
  ASSERT_EQ(Ctl(L"mechanism etw").exitCode, 0u);
  ASSERT_TRUE(DeleteFileW(logFile.c_str()));
  ASSERT_EQ(RunProcess(host).exitCode, 0u);
  EXPECT_FALSE(rvqtest::FileExists(logFile));
}

TEST_F(BxlogctlTest, HelpForTheProgramAndEachCommand) {
  const auto overview = Ctl(L"--help");
  EXPECT_EQ(overview.exitCode, 0u);
  for (const char* command : {"mechanism", "ini", "etw", "where", "tail", "decode"}) {
    EXPECT_TRUE(Contains(overview.output, command)) << command;
    const auto help = Ctl(rvqtest::FromUtf8(command) + L" --help");
    EXPECT_EQ(help.exitCode, 0u) << command;
    EXPECT_TRUE(Contains(help.output, std::string("usage: bxlogctl ") + command)) << help.output;
  }
  EXPECT_TRUE(Contains(overview.output, "exit codes"));
}

}  // namespace
