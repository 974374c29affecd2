#include "paths.h"

#include <cwchar>
#include <memory>
#include <vector>

#include "registry/security_api_table.h"

namespace Trevalk {

namespace {

// Module file names are read in steps of this many characters.
constexpr size_t kModuleNameStep = 255;

// Opens the folder itself (a link is opened, not followed) with read
// access, so that the share mode counts: while the handle is open, nobody
// can open the folder for deletion, which renaming or removing it takes.
// `extraAccess` adds what judging (READ_CONTROL) or taking back (WRITE_DAC)
// the level needs.
UniqueFileHandle PinFolder(const std::wstring& folder, DWORD extraAccess, DWORD& error) {
  UniqueFileHandle pin(CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | extraAccess,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!pin) {
    error = GetLastError();
    return pin;
  }
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!GetFileInformationByHandleEx(pin.get(), FileAttributeTagInfo, &tag, sizeof tag)) {
    error = GetLastError();
  } else if (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    error = kErrorReparsePointEncountered;
  } else if (!(tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    error = ERROR_DIRECTORY;
  } else {
    error = ERROR_SUCCESS;
  }
  if (error != ERROR_SUCCESS) pin.reset();
  return pin;
}

// Pins one level for judging: with WRITE_DAC when it may have to be taken
// back and the caller may change it, else with READ_CONTROL alone (a level
// that then needs taking back fails when its list is set).
UniqueFileHandle PinForJudging(const std::wstring& folder, FolderSecurity security, DWORD& error) {
  if (security == FolderSecurity::kIgnore) return PinFolder(folder, 0, error);
  if (security == FolderSecurity::kTakeBack) {
    UniqueFileHandle pin = PinFolder(folder, READ_CONTROL | WRITE_DAC, error);
    if (error != ERROR_ACCESS_DENIED) return pin;
  }
  return PinFolder(folder, READ_CONTROL, error);
}

// The rules' table, or one of the walk's own, and the lists built from it;
// made when the first level needs them.
class WalkSecurity {
 public:
  explicit WalkSecurity(const FolderChainRules* rules) : rules_(rules) {}
  FolderAccess& Access() {
    if (!access_) {
      if (!rules_->api) own_.reset(new SecurityApiTable());
      access_.reset(new FolderAccess(rules_->api ? *rules_->api : *own_));
    }
    return *access_;
  }

 private:
  const FolderChainRules* rules_;
  std::unique_ptr<SecurityApiTable> own_;
  std::unique_ptr<FolderAccess> access_;
};

DWORD CheckFolderLevel(const std::wstring& folder, std::vector<UniqueFileHandle>* pins,
                       const FolderChainRules* rules, WalkSecurity& security) {
  UniqueFileHandle pin;
  if (pins || rules) {
    const FolderSecurity judging = rules ? rules->security : FolderSecurity::kIgnore;
    DWORD error = ERROR_SUCCESS;
    pin = PinForJudging(folder, judging, error);
    if (rules && rules->create && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)) {
      // Created with the protected list; a level that appeared meanwhile
      // is judged like any other.
      error = security.Access().CreateFolder(folder.c_str());
      if (error != ERROR_SUCCESS && error != ERROR_ALREADY_EXISTS) return error;
      pin = PinForJudging(folder, judging, error);
    }
    if (error == ERROR_FILE_NOT_FOUND) error = ERROR_PATH_NOT_FOUND;
    if (error != ERROR_SUCCESS) return error;
    if (judging != FolderSecurity::kIgnore) {
      error = security.Access().JudgeFolder(pin.get(), judging);
      if (error != ERROR_SUCCESS) return error;
    }
  }
  // The attribute query also runs with a pin: some file systems (and Wine,
  // for its symbolic links) report the reparse point only on the path.
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : error;
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return kErrorReparsePointEncountered;
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return ERROR_DIRECTORY;
  if (pins) pins->push_back(std::move(pin));
  return ERROR_SUCCESS;
}

}  // namespace

HRESULT ShlObjAPI::GetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags, HANDLE token, PWSTR* path) {
  return SHGetKnownFolderPath(folderId, flags, token, path);
}

HRESULT GetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags, std::wstring& path, ShlObjAPI* shell) {
  ShlObjAPI system;
  UniqueCoTaskString folder;
  const HRESULT hr = (shell ? shell : &system)->GetKnownFolderPath(folderId, flags, nullptr, folder.put());
  if (FAILED(hr)) return hr;
  if (!folder) return E_FAIL;
  path = folder.get();
  return S_OK;
}

bool SplitModulePath(HMODULE module, std::wstring& folder, std::wstring& fileName) {
  std::wstring path;
  path.resize(path.capacity() + kModuleNameStep);
  for (;;) {
    const DWORD size = static_cast<DWORD>(path.size());
    const DWORD length = GetModuleFileNameW(module, &path[0], size);
    if (length == 0) {
      path.clear();
      break;
    }
    // A result that fills the buffer may have been cut: grow and ask again.
    if (length < size) {
      path.resize(length);
      break;
    }
    path.resize(path.size() + kModuleNameStep);
  }
  const size_t slash = path.rfind(L'\\');
  if (path.empty() || slash == std::wstring::npos) return false;
  folder = path.substr(0, slash);
  fileName = path.substr(slash + 1);
  return true;
}

bool IsDirectory(const wchar_t* path) {
  if (!path || path[0] == L'\0') return false;
  const DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool PathExists(const wchar_t* path, bool* isLink) {
  const DWORD attributes = path && path[0] != L'\0' ? GetFileAttributesW(path) : INVALID_FILE_ATTRIBUTES;
  if (isLink) *isLink = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  return attributes != INVALID_FILE_ATTRIBUTES;
}

std::wstring GetCurrentDirectoryString() {
  std::wstring directory;
  DWORD capacity = MAX_PATH;
  for (;;) {
    directory.resize(capacity);
    const DWORD length = GetCurrentDirectoryW(capacity, &directory[0]);
    if (length == 0) return std::wstring();
    if (length < capacity) {
      directory.resize(length);
      return directory;
    }
    // Too small: `length` is the size needed, terminator included; one more
    // covers a directory that grew between the calls.
    capacity = length + 1;
  }
}

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name) {
  std::wstring joined;
  joined.reserve(folder.size() + 1 + name.size());
  joined.append(folder).append(1, L'\\').append(name);
  return joined;
}

DWORD CheckRealFolderChain(const std::wstring& root, const std::wstring& path, std::wstring* failedAt,
                           std::vector<UniqueFileHandle>* pins, const FolderChainRules* rules) {
  if (failedAt) failedAt->clear();
  size_t rootChars = root.size();
  while (rootChars > 0 && root[rootChars - 1] == L'\\') --rootChars;
  size_t pathChars = path.size();
  while (pathChars > 0 && path[pathChars - 1] == L'\\') --pathChars;
  if (rootChars == 0 || pathChars <= rootChars + 1 || path[rootChars] != L'\\' ||
      _wcsnicmp(root.c_str(), path.c_str(), rootChars) != 0) {
    return ERROR_INVALID_PARAMETER;
  }
  // Outermost first: a link higher up would redirect every level below it.
  WalkSecurity security(rules);
  size_t end = rootChars;
  do {
    end = path.find(L'\\', end + 1);
    if (end == std::wstring::npos || end > pathChars) end = pathChars;
    const std::wstring level = path.substr(0, end);
    const DWORD error = CheckFolderLevel(level, pins, rules, security);
    if (error != ERROR_SUCCESS) {
      if (failedAt) *failedAt = level;
      return error;
    }
  } while (end < pathChars);
  return ERROR_SUCCESS;
}

}  // namespace Trevalk
