#include "text_log_format.h"

#include <cwchar>
#include <new>
#include <stdio.h>

#include "logging_if.h"

namespace ETWLogging {
namespace textlog {
namespace {

// Each prefix field is formatted into a fixed buffer of this many characters.
constexpr size_t kFieldChars = 260;

// Copies at most `cut` characters of text and right-aligns them in `cut`
// characters: the width and the cut of a field are the same number.
std::wstring CutAndAlign(const wchar_t* text, size_t cut) {
  std::wstring copy(text, wcsnlen(text, cut));
  wchar_t format[16];
  _snwprintf(format, 16, L"%%%lus", static_cast<unsigned long>(cut));
  format[15] = L'\0';
  wchar_t buffer[kFieldChars];
  _snwprintf(buffer, kFieldChars - 1, format, copy.c_str());
  buffer[kFieldChars - 1] = L'\0';
  return buffer;
}

std::wstring FormatField(const wchar_t* format, ...) {
  wchar_t buffer[kFieldChars];
  va_list args;
  va_start(args, format);
  _vsnwprintf(buffer, kFieldChars - 1, format, args);
  va_end(args);
  buffer[kFieldChars - 1] = L'\0';
  return buffer;
}

bool IsEmpty(const wchar_t* s) { return !s || !*s; }

}  // namespace

std::wstring FormatLogTime(const SYSTEMTIME& time) {
  const WORD hour12 = (time.wHour % 12 == 0) ? 12 : static_cast<WORD>(time.wHour % 12);
  const wchar_t* half = time.wHour < 12 ? L"AM" : L"PM";
  return FormatField(L"%02hu/%02hu/%hu %02hu:%02hu:%02hu %s$", time.wMonth, time.wDay, time.wYear, hour12,
                     time.wMinute, time.wSecond, half);
}

std::wstring ExecutableField(const wchar_t* executableName) {
  if (IsEmpty(executableName)) return std::wstring();
  return L"[" + CutAndAlign(executableName, 15) + L"]$";
}

std::wstring ProcessField(DWORD processId, DWORD threadId) {
  return FormatField(L"[PID:%5lu TID:%5lu]$", static_cast<unsigned long>(processId),
                     static_cast<unsigned long>(threadId));
}

std::wstring SourceField(const wchar_t* sourceFile, int line) {
  if (IsEmpty(sourceFile)) return std::wstring();
  const wchar_t* name = wcsrchr(sourceFile, L'\\');
  name = name ? name + 1 : sourceFile;
  return FormatField(L"[%s:%5d]$", CutAndAlign(name, 20).c_str(), line);
}

std::wstring FunctionField(const wchar_t* function) {
  if (IsEmpty(function)) return std::wstring();
  return FormatField(L"[%s()]$", CutAndAlign(function, 40).c_str());
}

DWORD BuildLogLine(const LineParts& parts, std::wstring& out) {
  if (IsEmpty(parts.message)) return ERROR_INVALID_PARAMETER;
  const DWORD options = parts.options;
  const std::wstring executable =
      (options & kOptionExecutable) ? ExecutableField(parts.executableName) : std::wstring();
  const std::wstring process =
      (options & kOptionProcessThread) ? ProcessField(parts.processId, parts.threadId) : std::wstring();
  const std::wstring source = (options & kOptionSourceLine) ? SourceField(parts.sourceFile, parts.line) : std::wstring();
  const std::wstring function = (options & kOptionFunction) ? FunctionField(parts.function) : std::wstring();
  const wchar_t* severityName = SeverityName(parts.severity);
  if (!severityName) return ERROR_INVALID_PARAMETER;
  const std::wstring time = FormatLogTime(parts.time);

  const size_t messageLength = wcslen(parts.message);
  std::wstring line;
  try {
    line.reserve(executable.size() + messageLength + time.size() + wcslen(severityName) + function.size() +
                 source.size() + process.size() + 30);
    line += time;
    line += L" -- (";
    line += severityName;
    line += L")$";
    if (options & kOptionExecutable) line += L" " + executable;
    if (options & kOptionProcessThread) line += L" " + process;
    if (options & kOptionSourceLine) line += L" " + source;
    if (options & kOptionFunction) line += L" " + function;
    line += L" ";
    line.append(parts.message, messageLength);
    if (parts.message[messageLength - 1] != L'\n') line += L"\r\n";
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
  out.swap(line);
  return ERROR_SUCCESS;
}

std::wstring LogRootPath(const std::wstring& programData) { return programData + L"\\Bryxen\\" L"BXLOGS" L"\\"; }

std::wstring LogFolderPath(const std::wstring& root, const wchar_t* group, const std::wstring& logName) {
  if (group) return root + group + L"\\" + logName;
  return root + logName;
}

std::wstring LogFilePath(const std::wstring& folder, const std::wstring& logName, const wchar_t* suffix,
                         DWORD index) {
  std::wstring path = folder + L"\\" + logName;
  if (suffix) {
    path += L"_";
    path += suffix;
  }
  path += FormatField(L"%0.3lu", static_cast<unsigned long>(index));
  path += L".log";
  return path;
}

std::wstring StripExtension(const std::wstring& fileName) {
  const size_t dot = fileName.rfind(L'.');
  return dot == std::wstring::npos ? fileName : fileName.substr(0, dot);
}

bool IsAcceptedSetting(const wchar_t* key, long long value) {
  if (!key) return true;
  if (_wcsicmp(key, L"MaxSize") == 0) return value >= kMinMaxSize && value <= kMaxMaxSize;
  if (_wcsicmp(key, L"MaxEntries") == 0) return value >= kMinMaxEntries && value <= kMaxMaxEntries;
  if (_wcsicmp(key, L"Severity") == 0) return value >= 0 && value <= 6;
  return true;
}

DWORD ClampMaxEntries(DWORD count) {
  return count < kMinMaxEntries ? kMinMaxEntries : (count > kMaxMaxEntries ? kMaxMaxEntries : count);
}

DWORD ClampMaxSize(DWORD bytes) {
  return bytes < kMinMaxSize ? kMinMaxSize : (bytes > kMaxMaxSize ? kMaxMaxSize : bytes);
}

DWORD ClampSeverity(DWORD severity) { return severity == 0 ? 1 : (severity > 6 ? 6 : severity); }

}  // namespace textlog
}  // namespace ETWLogging
