// Helpers for the installer step tests: the stand-ins' files, record files,
// current directory, registry clean-up and log lines in a comparable form.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "directory_tree.h"
#include "recording_logger.h"
#include "scoped_current_directory.h"
#include "test_support.h"

namespace rvqtest {

// A stand-in built with the tests (bin\fixtures\<name>).
inline std::wstring FixturePath(const wchar_t* name) { return BinDir() + L"\\fixtures\\" + name; }

// The "\\?\" form of an absolute path, which the file functions take past
// MAX_PATH.
inline std::wstring LongPath(const std::wstring& path) { return L"\\\\?\\" + path; }

// Copies `source` into `folder` under its own or the given name. True on success.
inline bool CopyInto(const std::wstring& folder, const std::wstring& source, const std::wstring& name = L"") {
  std::wstring target = name;
  if (target.empty()) target = source.substr(source.find_last_of(L'\\') + 1);
  return CopyFileW(source.c_str(), (folder + L"\\" + target).c_str(), FALSE) != FALSE;
}

inline std::string ReadFileBytes(const std::wstring& path) {
  std::string bytes;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got) bytes.append(buffer, got);
  CloseHandle(file);
  return bytes;
}

// "key=value|key=value" as a map.
inline std::map<std::string, std::string> ParseFields(const std::string& line) {
  std::map<std::string, std::string> fields;
  size_t start = 0;
  while (start <= line.size()) {
    size_t end = line.find('|', start);
    if (end == std::string::npos) end = line.size();
    const std::string field = line.substr(start, end - start);
    const size_t equals = field.find('=');
    if (equals != std::string::npos) fields[field.substr(0, equals)] = field.substr(equals + 1);
    start = end + 1;
  }
  return fields;
}

// One log entry as "<severity> <function> <line> <message>", for readable
// comparisons of whole sequences.
inline std::wstring Describe(const LogEntry& entry) {
  return std::to_wstring(entry.severity) + L" " + entry.function + L" " + std::to_wstring(entry.line) + L" " +
         entry.message;
}

// The entries of `log` described, optionally only those whose message
// contains `filter`; each must carry the library's source-file literal.
inline std::vector<std::wstring> LogLines(const ScopedRecordingLog& log, const std::wstring& filter = L"") {
  std::vector<std::wstring> lines;
  for (const LogEntry& entry : log.Entries()) {
    if (entry.sourceFile != L"detection.cpp") lines.push_back(L"bad source file: " + entry.sourceFile);
    if (filter.empty() || entry.message.find(filter) != std::wstring::npos) lines.push_back(Describe(entry));
  }
  return lines;
}

// Creates `path` and the folders above it; a "\\\\?\\" prefix lifts the length
// limit. True when the folder exists afterwards.
inline bool MakeTree(const std::wstring& path) { return CreateDirectoryPath(path.c_str()); }

// Deletes a registry key and everything below it; "not found" is fine.
inline void DeleteRegistryTree(HKEY root, const std::wstring& path) { RegDeleteTreeW(root, path.c_str()); }

// DllInstallFunction records the installation below HKLM\SOFTWARE\Bryxen\RVQ;
// a key that was not there before the test goes again afterwards.
class RestoreInstallationKey {
 public:
  RestoreInstallationKey() {
    HKEY key = nullptr;
    existed_ = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (key) RegCloseKey(key);
  }
  ~RestoreInstallationKey() {
    if (!existed_) RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
  }

 private:
  static constexpr const wchar_t* kKey = L"SOFTWARE\\Bryxen\\RVQ";
  bool existed_ = false;
};

}  // namespace rvqtest
