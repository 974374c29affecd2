#include "paths.h"

#include <cwchar>

namespace Trevalk {

namespace {

constexpr wchar_t kLongPathPrefix[] = L"\\\\?\\";
constexpr size_t kLongPathPrefixChars = 4;
// Module file names are read in steps of this many characters.
constexpr size_t kModuleNameStep = 255;

bool HasLongPathPrefix(const std::wstring& path) {
  return path.compare(0, kLongPathPrefixChars, kLongPathPrefix) == 0;
}

}  // namespace

HRESULT ShlObjAPI::GetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags, HANDLE token, PWSTR* path) {
  return SHGetKnownFolderPath(folderId, flags, token, path);
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

std::wstring MakeAbsoluteDirectoryPath(const std::wstring& path, const std::wstring& currentDirectory) {
  if (HasLongPathPrefix(path)) return path;
  if (path.find(L'\\') == std::wstring::npos) return JoinPath(currentDirectory, path);
  if (path[0] == L'\\') return currentDirectory.substr(0, 2) + path;
  if (path.size() > 1 && path[1] == L':') return path;
  return JoinPath(currentDirectory, path);
}

bool CreateDirectoryPath(const wchar_t* path, DWORD* error) {
  DWORD result = ERROR_INVALID_PARAMETER;
  bool created = false;
  if (path && path[0] != L'\0') {
    if (IsDirectory(path)) {
      result = ERROR_ALREADY_EXISTS;
      created = true;
    } else {
      const std::wstring full = MakeAbsoluteDirectoryPath(path, GetCurrentDirectoryString());
      result = CreateDirectoryTree(full.c_str());
      created = result == ERROR_SUCCESS;
    }
  }
  if (error) *error = result;
  return created;
}

DWORD CreateDirectoryTree(const wchar_t* path) {
  if (!path) return ERROR_INVALID_PARAMETER;
  if (IsDirectory(path)) return ERROR_SUCCESS;
  const std::wstring full(path);
  const bool longForm = HasLongPathPrefix(full);
  // The prefix is set aside while looking for the parent, so that the
  // backslashes of "\\?\" are never taken for folder separators.
  const std::wstring bare = longForm ? full.substr(kLongPathPrefixChars) : full;
  const size_t first = bare.find(L'\\');
  if (first == std::wstring::npos) return ERROR_SUCCESS;
  const size_t last = bare.rfind(L'\\');
  // With a single backslash (C:\logs) the parent is a root, which exists or
  // cannot be made.
  if (first != last) {
    const std::wstring parent = (longForm ? std::wstring(kLongPathPrefix) : std::wstring()) + bare.substr(0, last);
    const DWORD parentResult = CreateDirectoryTree(parent.c_str());
    if (parentResult != ERROR_SUCCESS) return parentResult;
  }
  if (CreateDirectoryW(full.c_str(), nullptr)) return ERROR_SUCCESS;
  const DWORD error = GetLastError();
  if (error != ERROR_ALREADY_EXISTS) return error;
  // "Already exists" also comes for a file of that name, and then there is
  // no directory to put anything in.
  return IsDirectory(full.c_str()) ? ERROR_SUCCESS : ERROR_DIRECTORY;
}

}  // namespace Trevalk
