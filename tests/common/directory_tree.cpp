#include "directory_tree.h"

#include <vector>

#include "paths/paths.h"

namespace rvqtest {

using Trevalk::GetCurrentDirectoryString;
using Trevalk::IsDirectory;
using Trevalk::JoinPath;

namespace {

constexpr wchar_t kLongPathPrefix[] = L"\\\\?\\";
constexpr size_t kLongPathPrefixChars = 4;

// Ends `text` after its first `chars` characters for as long as it lives,
// without copying it.
class CutText {
 public:
  CutText(std::wstring& text, size_t chars) : text_(text), chars_(chars), saved_(chars < text.size() ? text[chars] : L'\0') {
    if (chars_ < text_.size()) text_[chars_] = L'\0';
  }
  ~CutText() {
    if (chars_ < text_.size()) text_[chars_] = saved_;
  }
  CutText(const CutText&) = delete;
  CutText& operator=(const CutText&) = delete;

 private:
  std::wstring& text_;
  const size_t chars_;
  const wchar_t saved_;
};
bool HasLongPathPrefix(const std::wstring& path) {
  return path.compare(0, kLongPathPrefixChars, kLongPathPrefix) == 0;
}

}  // namespace

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
  // Each folder of the path is its text up to one of its backslashes. They
  // are walked in loops, not by recursion: a path of 32,767 characters can
  // be thousands of folders deep.
  std::wstring text(path);
  // The prefix is skipped when looking for separators, so that the
  // backslashes of "\\?\" are never taken for folder separators.
  const size_t first = text.find(L'\\', HasLongPathPrefix(text) ? kLongPathPrefixChars : 0);
  if (first == std::wstring::npos) return ERROR_SUCCESS;

  // The folders below the root, outermost first, as lengths of `text`.
  // With a single backslash (C:\logs) the parent is a root, which exists
  // or cannot be made.
  std::vector<size_t> folders;
  for (size_t end = text.find(L'\\', first + 1); end != std::wstring::npos; end = text.find(L'\\', end + 1)) {
    folders.push_back(end);
  }
  folders.push_back(text.size());

  // Walk up to the deepest folder that exists.
  size_t missing = folders.size() - 1;  // the whole path is missing
  while (missing > 0) {
    const CutText parent(text, folders[missing - 1]);
    if (IsDirectory(text.c_str())) break;
    --missing;
  }

  // Then make them, outermost first.
  for (size_t level = missing; level < folders.size(); ++level) {
    const CutText folder(text, folders[level]);
    if (CreateDirectoryW(text.c_str(), nullptr)) continue;
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS) return error;
    // "Already exists" also comes for a file of that name, and then there
    // is no directory to put anything in.
    if (!IsDirectory(text.c_str())) return ERROR_DIRECTORY;
  }
  return ERROR_SUCCESS;
}

}  // namespace rvqtest
