// Making test folders: a path with every missing parent, as the tests
// prepare their scratch trees. The folders get the access list they
// inherit, which is what a test wants and what the product must never do
// under ProgramData or a profile (it creates its folders through
// Trevalk::FolderAccess, with a protected list): so these live here, not in
// the support library.
#pragma once

#include <windows.h>

#include <string>

namespace rvqtest {

// The absolute form of `path` that CreateDirectoryPath works on, given the
// current directory: the long-path form ("\\?\...") and drive-qualified paths
// as they are, a rooted path on the current directory's drive, anything else
// below the current directory. `path` must be non-empty.
std::wstring MakeAbsoluteDirectoryPath(const std::wstring& path, const std::wstring& currentDirectory);

// Creates `path` with every missing parent; a relative or drive-less path is
// taken relative to the current directory. Answers true when the directory
// exists afterwards. `error` (may be null) receives:
//   87  (ERROR_INVALID_PARAMETER) for a null or empty path, with false;
//   183 (ERROR_ALREADY_EXISTS) when the directory already existed, with true;
//   0 when it was created;
//   otherwise the first error met from the outermost missing folder inwards,
//   with false (folders created before the error stay). A path, or a parent,
//   that names an existing file gives 267 (ERROR_DIRECTORY).
[[nodiscard]] bool CreateDirectoryPath(const wchar_t* path, DWORD* error = nullptr);

// Creates the absolute `path` and its missing parents, outermost first.
// Accepts the long-path form "\\?\..." (the prefix is kept on every folder
// created and never sent alone). 0 when the directory exists afterwards
// (also when it already did, or when the path has no backslash at all);
// 267 (ERROR_DIRECTORY) when the path or a parent names something that is
// not a directory; otherwise the CreateDirectoryW error.
[[nodiscard]] DWORD CreateDirectoryTree(const wchar_t* path);

}  // namespace rvqtest
