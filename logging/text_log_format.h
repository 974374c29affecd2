// Pure pieces of the text log writer: the line layout, the 12-hour time,
// the names and paths of the log files, and the accepted log.ini values.
// Plain data in, plain data out; no file or registry access.
#pragma once

#include <windows.h>

#include <string>

namespace ETWLogging {
namespace textlog {

// Bits of the "Options" setting: which fields precede the message.
enum OptionBits : DWORD {
  kOptionDebugOutput = 0x01,  // each line also goes to OutputDebugStringW
  kOptionProcessThread = 0x04,
  kOptionSourceLine = 0x08,
  kOptionExecutable = 0x10,
  kOptionFunction = 0x20,
};

// Defaults and limits of the settings.
constexpr DWORD kDefaultMaxSize = 262144;
constexpr DWORD kMinMaxSize = 262144;
constexpr DWORD kMaxMaxSize = 10485760;
constexpr DWORD kDefaultMaxEntries = 3;
constexpr DWORD kMinMaxEntries = 2;
constexpr DWORD kMaxMaxEntries = 100;
constexpr DWORD kDefaultThreshold = 3;
constexpr DWORD kDefaultOptions = kOptionExecutable;
constexpr DWORD kDefaultEnable = 1;
// A log.ini larger than this is neither read (its settings are the
// defaults) nor written to: the writer reads the folder's ini at every
// entry, and anybody who could write one may make it huge.
constexpr unsigned long long kMaxIniBytes = 64ULL * 1024;

// "MM/DD/YYYY hh:mm:ss AM$" on a 12-hour clock: hour 0 shows as 12 AM,
// 12 as 12 PM, 13..23 as 1..11 PM.
std::wstring FormatLogTime(const SYSTEMTIME& time);

// Everything one line is built from. Null strings count as missing.
struct LineParts {
  SYSTEMTIME time = {};
  DWORD severity = 0;
  DWORD options = kDefaultOptions;
  const wchar_t* executableName = nullptr;  // null when a module names the log
  DWORD processId = 0;
  DWORD threadId = 0;
  const wchar_t* sourceFile = nullptr;
  const wchar_t* function = nullptr;
  int line = 0;
  const wchar_t* message = nullptr;
};

// Builds one line: time, severity name, the fields that `options` selects
// (in the order executable, process/thread, source, function, each after one
// space and empty when its data is missing), one space, the message, and CR
// LF unless the message already ends with a line feed. 0 on success; 87 for
// a missing or empty message or a severity outside 1..6 (out untouched);
// 14 when the line cannot be allocated.
DWORD BuildLogLine(const LineParts& parts, std::wstring& out);

// The prefix fields on their own (each without the leading space), for
// tests and for BuildLogLine. Empty when the data is missing.
std::wstring ExecutableField(const wchar_t* executableName);
std::wstring ProcessField(DWORD processId, DWORD threadId);
std::wstring SourceField(const wchar_t* sourceFile, int line);
std::wstring FunctionField(const wchar_t* function);

// Log root below the ProgramData folder: "<programData>\Bryxen\BXLOGS\".
std::wstring LogRootPath(const std::wstring& programData);
// "<root><group>\<logName>", or "<root><logName>" without a group.
std::wstring LogFolderPath(const std::wstring& root, const wchar_t* group, const std::wstring& logName);
// "<folder>\<logName>[_<suffix>]<index, at least 3 digits>.log".
std::wstring LogFilePath(const std::wstring& folder, const std::wstring& logName, const wchar_t* suffix,
                         DWORD index);

// Splits a file name: the part before its last "." (the whole name without
// a dot).
std::wstring StripExtension(const std::wstring& fileName);

// Whether a log.ini value is accepted for `key` (case-insensitive name);
// keys without a range accept everything.
bool IsAcceptedSetting(const wchar_t* key, long long value);

// The limits of the setters.
DWORD ClampMaxEntries(DWORD count);
DWORD ClampMaxSize(DWORD bytes);
DWORD ClampSeverity(DWORD severity);

}  // namespace textlog
}  // namespace ETWLogging
