// The text log writer's pure pieces: 12-hour time, the line layout with the
// Options fields, their widths and cuts, and the file names.
#include <gtest/gtest.h>

#include <string>

#include "text_log_format.h"

using namespace ETWLogging::textlog;

namespace {

SYSTEMTIME Time(WORD hour, WORD minute, WORD second = 0) {
  SYSTEMTIME t = {};
  t.wYear = 2026;
  t.wMonth = 3;
  t.wDay = 7;
  t.wHour = hour;
  t.wMinute = minute;
  t.wSecond = second;
  return t;
}

TEST(TextLogTime, TwelveHourClock) {
  struct Case {
    WORD hour, minute;
    const wchar_t* expected;
  } cases[] = {
      {0, 5, L"03/07/2026 12:05:09 AM$"},  {1, 0, L"03/07/2026 01:00:09 AM$"},
      {11, 59, L"03/07/2026 11:59:09 AM$"}, {12, 30, L"03/07/2026 12:30:09 PM$"},
      {13, 1, L"03/07/2026 01:01:09 PM$"},  {23, 59, L"03/07/2026 11:59:09 PM$"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatLogTime(Time(c.hour, c.minute, 9)), c.expected) << c.hour;
}

LineParts Parts(const wchar_t* message, DWORD severity = 3, DWORD options = kDefaultOptions) {
  LineParts p;
  p.time = Time(0, 5, 7);
  p.severity = severity;
  p.options = options;
  p.message = message;
  return p;
}

TEST(TextLogLine, DefaultLayoutThroughTheFacadeHasTwoSpaces) {
  std::wstring line;
  ASSERT_EQ(BuildLogLine(Parts(L"hello"), line), 0u);
  EXPECT_EQ(line, L"03/07/2026 12:05:07 AM$ -- (Information)$  hello\r\n");
}

TEST(TextLogLine, SeverityNamesAndRejectedSeverities) {
  const wchar_t* names[] = {L"Normal", L"Warning", L"Information", L"Error", L"Critical", L"Information"};
  for (DWORD s = 1; s <= 6; ++s) {
    std::wstring line;
    ASSERT_EQ(BuildLogLine(Parts(L"m", s), line), 0u);
    EXPECT_NE(line.find(std::wstring(L"-- (") + names[s - 1] + L")$"), std::wstring::npos) << s;
  }
  for (DWORD s : {0u, 7u, 100u}) {
    std::wstring line = L"untouched";
    EXPECT_EQ(BuildLogLine(Parts(L"m", s), line), 87u) << s;
    EXPECT_EQ(line, L"untouched");
  }
  std::wstring line;
  EXPECT_EQ(BuildLogLine(Parts(L""), line), 87u);
  EXPECT_EQ(BuildLogLine(Parts(nullptr), line), 87u);
}

TEST(TextLogLine, LineBreakOnlyWhenTheMessageHasNone) {
  struct Case {
    const wchar_t* message;
    const wchar_t* ending;
  } cases[] = {{L"a", L" a\r\n"}, {L"a\n", L" a\n"}, {L"a\r\n", L" a\r\n"}, {L"a\r", L" a\r\r\n"}};
  for (const Case& c : cases) {
    std::wstring line;
    ASSERT_EQ(BuildLogLine(Parts(c.message), line), 0u);
    const std::wstring ending = c.ending;
    ASSERT_GE(line.size(), ending.size());
    EXPECT_EQ(line.substr(line.size() - ending.size()), ending) << c.message;
  }
}

TEST(TextLogLine, OptionFieldsInTheirOrder) {
  LineParts p = Parts(L"msg", 4, 0x10 | 0x04 | 0x08 | 0x20 | 0x01 | 0x40);
  p.executableName = L"RvqUpgd.exe";
  p.processId = 42;
  p.threadId = 123456;
  p.sourceFile = L"C:\\src\\deep\\detection.cpp";
  p.function = L"PreInstall";
  p.line = 77;
  std::wstring line;
  ASSERT_EQ(BuildLogLine(p, line), 0u);
  EXPECT_EQ(line, L"03/07/2026 12:05:07 AM$ -- (Error)$ [    RvqUpgd.exe]$ [PID:   42 TID:123456]$ "
                  L"[       detection.cpp:   77]$ [                              PreInstall()]$ msg\r\n");
}

TEST(TextLogLine, MissingFieldDataStillWritesTheSpace) {
  LineParts p = Parts(L"msg", 3, 0x10 | 0x08 | 0x20);
  std::wstring line;
  ASSERT_EQ(BuildLogLine(p, line), 0u);
  EXPECT_EQ(line, L"03/07/2026 12:05:07 AM$ -- (Information)$    msg\r\n");
  p.sourceFile = L"";
  p.function = L"";
  ASSERT_EQ(BuildLogLine(p, line), 0u);
  EXPECT_EQ(line, L"03/07/2026 12:05:07 AM$ -- (Information)$    msg\r\n");
}

TEST(TextLogFields, CutsAndWidths) {
  EXPECT_EQ(ExecutableField(L"averyveryverylongname.exe"), L"[averyveryverylo]$");  // first 15
  EXPECT_EQ(ExecutableField(L"a.exe"), L"[          a.exe]$");
  EXPECT_EQ(ExecutableField(nullptr), L"");
  // After the last backslash, first 20 characters.
  EXPECT_EQ(SourceField(L"C:\\x\\abcdefghijklmnopqrstuvwxyz.cpp", 5), L"[abcdefghijklmnopqrst:    5]$");
  EXPECT_EQ(SourceField(L"plain.cpp", 123456), L"[           plain.cpp:123456]$");
  EXPECT_EQ(SourceField(L"dir\\", 1), L"[                    :    1]$");
  EXPECT_EQ(SourceField(nullptr, 1), L"");
  EXPECT_EQ(FunctionField(std::wstring(50, L'f').c_str()), L"[" + std::wstring(40, L'f') + L"()]$");
  EXPECT_EQ(FunctionField(L"F"), L"[" + std::wstring(39, L' ') + L"F()]$");
  EXPECT_EQ(ProcessField(1, 2), L"[PID:    1 TID:    2]$");
}

TEST(TextLogPaths, NamesBelowTheRoot) {
  const std::wstring root = LogRootPath(L"C:\\ProgramData");
  EXPECT_EQ(root, L"C:\\ProgramData\\Bryxen\\BXLOGS\\");
  const std::wstring folder = LogFolderPath(root, L"DetectRVQdll", L"checkRVQ");
  EXPECT_EQ(folder, L"C:\\ProgramData\\Bryxen\\BXLOGS\\DetectRVQdll\\checkRVQ");
  EXPECT_EQ(LogFilePath(folder, L"checkRVQ", nullptr, 0), folder + L"\\checkRVQ000.log");
  EXPECT_EQ(LogFolderPath(root, nullptr, L"RvqUpgd"), root + L"RvqUpgd");
  EXPECT_EQ(LogFilePath(L"F", L"RvqUpgd", L"_no_host", 1), L"F\\RvqUpgd__no_host001.log");
  EXPECT_EQ(LogFilePath(L"F", L"L", L"h", 99), L"F\\L_h099.log");
  EXPECT_EQ(LogFilePath(L"F", L"L", L"h", 1234), L"F\\L_h1234.log");
  EXPECT_EQ(StripExtension(L"checkRVQ.dll"), L"checkRVQ");
  EXPECT_EQ(StripExtension(L"a.b.exe"), L"a.b");
  EXPECT_EQ(StripExtension(L"noext"), L"noext");
}

TEST(TextLogSettings, AcceptedValuesAndSetterLimits) {
  struct Case {
    const wchar_t* key;
    long long value;
    bool accepted;
  } cases[] = {
      {L"MaxSize", 262143, false}, {L"MaxSize", 262144, true},  {L"maxsize", 10485760, true},
      {L"MaxSize", 10485761, false}, {L"MaxSize", 100, false},  {L"MaxEntries", 1, false},
      {L"MaxEntries", 2, true},    {L"MAXENTRIES", 100, true},  {L"MaxEntries", 101, false},
      {L"Severity", -1, false},    {L"Severity", 0, true},      {L"Severity", 6, true},
      {L"Severity", 7, false},     {L"Enable", -5, true},       {L"Options", 0xFFFFFFFF, true},
  };
  for (const Case& c : cases) EXPECT_EQ(IsAcceptedSetting(c.key, c.value), c.accepted) << c.key << " " << c.value;
  EXPECT_EQ(ClampMaxEntries(0), 2u);
  EXPECT_EQ(ClampMaxEntries(50), 50u);
  EXPECT_EQ(ClampMaxEntries(101), 100u);
  EXPECT_EQ(ClampMaxSize(1), 262144u);
  EXPECT_EQ(ClampMaxSize(300000), 300000u);
  EXPECT_EQ(ClampMaxSize(0xFFFFFFFF), 10485760u);
  EXPECT_EQ(ClampSeverity(0), 1u);
  EXPECT_EQ(ClampSeverity(4), 4u);
  EXPECT_EQ(ClampSeverity(7), 6u);
}

}  // namespace
