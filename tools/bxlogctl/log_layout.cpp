#include "log_layout.h"

#include <shlobj.h>

#include <algorithm>

#include "common/unique_handle.h"
#include "paths/paths.h"
#include "console.h"
#include "text_log_format.h"

namespace bxlogctl {
namespace {

bool IsLogFileName(const std::wstring& name, const std::wstring& module, unsigned* index) {
  // <module>[_<host>]NNN.log, NNN at least three digits.
  if (name.size() < module.size() + 7) return false;
  if (_wcsnicmp(name.c_str(), module.c_str(), module.size()) != 0) return false;
  if (_wcsicmp(name.c_str() + name.size() - 4, L".log") != 0) return false;
  size_t end = name.size() - 4, start = end;
  while (start > module.size() && iswdigit(name[start - 1])) --start;
  if (end - start < 3) return false;
  if (start != module.size() && name[module.size()] != L'_') return false;
  *index = static_cast<unsigned>(wcstoul(name.substr(start, end - start).c_str(), nullptr, 10));
  return true;
}

bool IsLink(const std::wstring& path) {
  bool isLink = false;
  return Trevalk::PathExists(path.c_str(), &isLink) && isLink;
}

std::vector<std::wstring> SubFolders(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  Trevalk::UniqueFindHandle find(FindFirstFileW((folder + L"*").c_str(), &data));
  if (!find) return names;
  do {
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && wcscmp(data.cFileName, L".") != 0 &&
        wcscmp(data.cFileName, L"..") != 0) {
      names.push_back(data.cFileName);
    }
  } while (FindNextFileW(find.get(), &data));
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

LogTarget ParseTarget(const std::wstring& text) {
  if (_wcsicmp(text.c_str(), L"checkRVQ") == 0) return {L"DetectRVQdll", L"checkRVQ"};
  if (_wcsicmp(text.c_str(), L"RvqUpgd") == 0) return {L"_no_group", L"RvqUpgd"};
  const size_t slash = text.find(L'\\');
  if (slash == std::wstring::npos || slash == 0 || slash + 1 >= text.size() ||
      text.find(L'\\', slash + 1) != std::wstring::npos || text.find(L'/') != std::wstring::npos ||
      text.find(L"..") != std::wstring::npos) {
    UsageError(L"--for takes checkRVQ, RvqUpgd or GROUP\\MODULE, not \"" + text + L"\"");
  }
  return {text.substr(0, slash), text.substr(slash + 1)};
}

std::wstring DescribeTarget(const LogTarget& target) {
  return target.group.empty() ? target.module : target.group + L"\\" + target.module;
}

std::wstring ProgramDataFolder() {
  std::wstring programData;
  const HRESULT hr = Trevalk::GetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE, programData);
  if (FAILED(hr)) SystemError(L"cannot find the common application-data folder", static_cast<DWORD>(hr));
  return programData;
}

std::wstring LogRoot() { return ETWLogging::textlog::LogRootPath(ProgramDataFolder()); }

FolderState JudgeLogFolder(const std::wstring& folder) {
  Trevalk::FolderChainRules rules;
  rules.security = Trevalk::FolderSecurity::kJudge;
  FolderState state;
  const DWORD error = Trevalk::CheckRealFolderChain(ProgramDataFolder(), folder, &state.level, nullptr, &rules);
  if (error == Trevalk::kErrorReparsePointEncountered || error == Trevalk::kErrorUntrustedOwner ||
      error == Trevalk::kErrorOpenToOthers) {
    state.error = error;
  } else {
    state.level.clear();
  }
  return state;
}

void SecureLogFolder(const std::wstring& folder) {
  Trevalk::FolderChainRules rules;
  rules.security = Trevalk::FolderSecurity::kTakeBack;
  rules.create = true;
  std::wstring level;
  const DWORD error = Trevalk::CheckRealFolderChain(ProgramDataFolder(), folder, &level, nullptr, &rules);
  switch (error) {
    case ERROR_SUCCESS:
      return;
    case Trevalk::kErrorReparsePointEncountered:
      SystemError(L"will not write below " + level + L": it is a link (reparse point)", error);
    case ERROR_DIRECTORY:
      SystemError(L"cannot create the folder " + folder + L": " + level + L" is not a folder", error);
    case Trevalk::kErrorUntrustedOwner:
      SystemError(L"will not write below " + level +
                      L": its owner is not the system, the administrators or you, so the text log writer does "
                      L"not use it",
                  error);
    default:
      SystemError(L"cannot create " + level + L" or protect it from other users", error);
  }
}

std::wstring LogFolder(const LogTarget& target) {
  return ETWLogging::textlog::LogFolderPath(LogRoot(), target.group.empty() ? nullptr : target.group.c_str(),
                                            target.module);
}

std::wstring FolderIniPath(const LogTarget& target) { return LogFolder(target) + L"\\log.ini"; }
std::wstring RootIniPath() { return LogRoot() + L"log.ini"; }

std::vector<LogFile> ListLogFiles(const LogTarget& target) {
  std::vector<LogFile> files;
  const std::wstring folder = LogFolder(target);
  WIN32_FIND_DATAW data;
  Trevalk::UniqueFindHandle find(FindFirstFileW((folder + L"\\*.log").c_str(), &data));
  if (!find) return files;
  do {
    unsigned index = 0;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !IsLogFileName(data.cFileName, target.module, &index)) {
      continue;
    }
    LogFile file;
    file.name = data.cFileName;
    file.path = folder + L"\\" + file.name;
    file.index = index;
    file.size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    file.lastWrite = (static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                     data.ftLastWriteTime.dwLowDateTime;
    file.isLink = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    files.push_back(file);
  } while (FindNextFileW(find.get(), &data));
  std::sort(files.begin(), files.end(), [](const LogFile& a, const LogFile& b) {
    return a.lastWrite != b.lastWrite ? a.lastWrite < b.lastWrite : a.index < b.index;
  });
  return files;
}

std::vector<LogTarget> FindLogFolders() {
  std::vector<LogTarget> targets;
  const std::wstring root = LogRoot();
  if (!Trevalk::IsDirectory(root.c_str())) return targets;
  for (const std::wstring& first : SubFolders(root)) {
    if (IsLink(root + first) || !ListLogFiles({L"", first}).empty()) targets.push_back({L"", first});
    for (const std::wstring& second : SubFolders(root + first + L"\\")) {
      if (IsLink(root + first + L"\\" + second) || !ListLogFiles({first, second}).empty()) {
        targets.push_back({first, second});
      }
    }
  }
  return targets;
}

std::vector<std::wstring> ReadLogLines(const std::wstring& path) {
  std::vector<std::wstring> lines;
  Trevalk::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return lines;
  std::wstring text;
  wchar_t buffer[8192];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
    text.append(buffer, got / sizeof(wchar_t));
    if (got % 2) break;  // an odd tail cannot be UTF-16; stop there
  }
  size_t start = (!text.empty() && text[0] == 0xFEFF) ? 1 : 0;
  while (start < text.size()) {
    size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring line = text.substr(start, end - start);
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

}  // namespace bxlogctl
