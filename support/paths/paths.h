// File-system paths and shell known folders.
//
// All paths are UTF-16 with the backslash as separator. None of these
// functions keeps state; they may be called from any thread.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "paths/folder_security.h"

namespace Trevalk {

// "The object manager encountered a reparse point while retrieving an
// object" (not in every SDK's headers).
constexpr DWORD kErrorReparsePointEncountered = 4395;

// The shell's known folders behind an interface, so that users can be given
// another folder source (tests, redirection). Users hold it through a
// shared pointer and create this default object when none is given.
class ShlObjAPI {
 public:
  virtual ~ShlObjAPI() = default;

  // Forwards to SHGetKnownFolderPath with exactly these arguments. The caller
  // owns *path (a task-allocator block: hold it in a UniqueCoTaskString),
  // also when the result is a failure and *path is not null.
  [[nodiscard]] virtual HRESULT GetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags, HANDLE token, PWSTR* path);
};

// The one known-folder lookup: asks `shell` (null: the shell itself) for
// `folderId` with `flags` and no token. S_OK with the folder (no trailing
// backslash) in `path`; otherwise the shell's failure, or E_FAIL when it
// answered success without a path, and `path` unchanged. The block the
// shell hands out is freed on every way out.
[[nodiscard]] HRESULT GetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags, std::wstring& path,
                                         ShlObjAPI* shell = nullptr);

// Splits the full file name of `module` (null: the program's own executable)
// at its last backslash into the folder and the file name, neither keeping
// that backslash. The name is read whole, whatever its length. False, with
// both outputs unchanged, when the name cannot be read or has no backslash.
[[nodiscard]] bool SplitModulePath(HMODULE module, std::wstring& folder, std::wstring& fileName);

// True only when `path` is non-null, non-empty and names an existing
// directory.
[[nodiscard]] bool IsDirectory(const wchar_t* path);

// True only when `path` is non-null, non-empty and something exists there
// (a file, a folder or a link): one attribute query, which looks at a link
// itself and does not follow it. `isLink` (may be null) receives whether it
// is a reparse point (symbolic link, junction, mount point); false when
// nothing exists.
bool PathExists(const wchar_t* path, bool* isLink = nullptr);

// The process's current directory; empty when the system call fails.
std::wstring GetCurrentDirectoryString();

// "folder\name": exactly one backslash between the parts, nothing else added
// or removed.
std::wstring JoinPath(const std::wstring& folder, const std::wstring& name);

// Walks the folders below `root` down to `path` (root excluded: it is the
// system's folder, which may itself be reached through a link, such as the
// old "All Users" form of the common application-data folder) and checks
// that each is a real folder: not a reparse point (symbolic link, junction,
// mount point), which an ordinary user could have planted to send the
// caller's writes elsewhere. `path` must be `root` (compared without regard
// to case), a backslash and at least one folder name; a trailing backslash
// is ignored. Results:
//   0 when every level exists and is a real folder;
//   3 (ERROR_PATH_NOT_FOUND) when a level does not exist: the levels above
//     it are real folders, and nothing below it was looked at;
//   4395 (kErrorReparsePointEncountered) when a level is a reparse point;
//   267 (ERROR_DIRECTORY) when a level is not a folder;
//   87 (ERROR_INVALID_PARAMETER) when `path` is not below `root`;
//   otherwise the error of looking at a level.
// `failedAt` (may be null) receives the level the walk stopped at, and is
// emptied on success. Costs one attribute query per level.
//
// With `pins` (may be null), each level is first opened without following
// a link and without delete sharing, checked through that handle, and kept
// open in `pins` (outermost first), so that no checked level can be renamed
// or replaced by a link while the caller holds them. On failure `pins` holds
// the levels checked before the one that failed.
//
// With `rules` (may be null; see folder_security.h), each level is opened
// that way whether or not it is kept, and through that handle:
//   - create: a missing level is created with the protected list first
//     (its CreateDirectoryW error when that fails);
//   - kJudge / kTakeBack: its owner and access list are judged, giving
//     kErrorUntrustedOwner, kErrorOpenToOthers (kJudge), or the error of
//     reading or taking back its security; a level taken back is used.
// These cost an open and a security query per level, so walks with rules
// belong where a caller checks once (per process, per step), not per write.
[[nodiscard]] DWORD CheckRealFolderChain(const std::wstring& root, const std::wstring& path,
                                         std::wstring* failedAt = nullptr,
                                         std::vector<UniqueFileHandle>* pins = nullptr,
                                         const FolderChainRules* rules = nullptr);

}  // namespace Trevalk
