// Per-user data cleanup at uninstallation.
#include "user_cleanup.h"

#include <shlwapi.h>
#include <windows.h>

#include <cwchar>

#include "common/bounded_string.h"
#include "common/unique_handle.h"
#include "entry_points.h"
#include "module_state.h"
#include "registry/registry_text.h"
#include "step_text.h"

namespace checkrvq {
namespace {

constexpr const wchar_t* kFunction = L"CleanupUserPasswordVaultFiles";
constexpr const wchar_t* kShellFoldersKey = L".DEFAULT\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
constexpr const wchar_t* kProfileListKey = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr size_t kLocalAppDataChars = 260;     // 520 bytes
constexpr size_t kProfileImageChars = 261;     // 522 bytes
constexpr size_t kSubkeyNameChars = 261;
constexpr size_t kProfileKeyChars = 260;

// Reads a string value into `buffer` and applies AcceptedRegistryText;
// null when it cannot, with the reason in `status` when one is asked for.
template <size_t N>
const wchar_t* ReadText(HKEY key, const wchar_t* name, wchar_t (&buffer)[N], LSTATUS* status = nullptr) {
  DWORD type = REG_NONE;
  DWORD bytes = static_cast<DWORD>(sizeof buffer);
  const LSTATUS read = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes);
  const wchar_t* text = read == ERROR_SUCCESS ? Trevalk::AcceptedRegistryText(type, buffer, bytes) : nullptr;
  if (status) *status = read != ERROR_SUCCESS ? read : text ? ERROR_SUCCESS : ERROR_INVALID_DATA;
  return text;
}

// Room for a path as GetFinalPathNameByHandleW gives it ("\\?\" in front).
// A resolved path that does not fit is not checked, and its profile skipped.
constexpr size_t kResolvedChars = 1024;

CheckedProfileHook g_checkedProfileHook = nullptr;

// One of the three items of a profile, opened as itself (never what a link
// there points to) and resolved from that handle.
struct OpenedItem {
  Trevalk::UniqueFileHandle handle;
  BY_HANDLE_FILE_INFORMATION info{};
  wchar_t resolved[kResolvedChars];
};

enum class ItemCheck {
  kSound,      // opened, no reparse point, where its name says
  kAbsent,     // not there
  kLink,       // a reparse point, or it resolves to another place
  kUnchecked,  // could not be opened or resolved
};

bool IsNotFound(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

bool Resolve(HANDLE handle, wchar_t (&resolved)[kResolvedChars]) {
  const DWORD chars =
      GetFinalPathNameByHandleW(handle, resolved, kResolvedChars, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  return chars > 0 && chars < kResolvedChars;
}

// True when `path` is `folder`, a backslash and `name` (without regard to
// case, as the file system compares names).
bool IsChildNamed(const wchar_t* path, const wchar_t* folder, const wchar_t* name) {
  if (!IsPathInsideFolder(path, folder)) return false;
  const wchar_t* rest = wcsrchr(path, L'\\') + 1;
  return CompareStringOrdinal(rest, -1, name, -1, TRUE) == CSTR_EQUAL &&
         CompareStringOrdinal(path, static_cast<int>(rest - 1 - path), folder, -1, TRUE) == CSTR_EQUAL;
}

// Opens `path` for deletion and checks it. `within` and `name`: the resolved
// path must be `within`\`name`; with a null `name` it must merely lie inside
// `within`. The attributes are read by name too: Wine ignores
// FILE_FLAG_OPEN_REPARSE_POINT and opens the target of a Unix symbolic link,
// but marks a link to a folder as a reparse point when asked by name.
ItemCheck OpenChecked(const wchar_t* path, bool folder, const wchar_t* within, const wchar_t* name,
                      OpenedItem& item) {
  const DWORD byName = GetFileAttributesW(path);
  if (byName == INVALID_FILE_ATTRIBUTES) {
    return IsNotFound(GetLastError()) ? ItemCheck::kAbsent : ItemCheck::kUnchecked;
  }
  if (byName & FILE_ATTRIBUTE_REPARSE_POINT) return ItemCheck::kLink;
  // No FILE_SHARE_DELETE: while we hold the handle, the item cannot be
  // renamed or deleted by anyone else, so it cannot be swapped for a link.
  const DWORD access = DELETE | FILE_READ_ATTRIBUTES | (folder ? 0 : FILE_WRITE_ATTRIBUTES);
  const DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT | (folder ? FILE_FLAG_BACKUP_SEMANTICS : 0);
  item.handle.reset(
      CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr));
  if (!item.handle) return IsNotFound(GetLastError()) ? ItemCheck::kAbsent : ItemCheck::kUnchecked;
  if (!GetFileInformationByHandle(item.handle.get(), &item.info) || !Resolve(item.handle.get(), item.resolved)) {
    return ItemCheck::kUnchecked;
  }
  if (item.info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return ItemCheck::kLink;
  if (((item.info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != folder) return ItemCheck::kUnchecked;
  const bool placed = name ? IsChildNamed(item.resolved, within, name) : IsPathInsideFolder(item.resolved, within);
  return placed ? ItemCheck::kSound : ItemCheck::kLink;
}

bool MarkForDeletion(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

// Marks an opened item for deletion and closes it; the system deletes the
// very file or folder the handle holds, wherever its name now leads.
bool DeleteByHandle(OpenedItem& item) {
  const bool marked = MarkForDeletion(item.handle.get());
  item.handle.reset();
  return marked;
}

// A read-only vault (marked so by its user or a copy or sync tool) cannot be
// marked for deletion: it gets that one attribute cleared for a second try,
// and back if that fails too. The attribute belongs to the file, not to one
// of its names, so a vault with further hard links keeps it.
bool DeleteVault(OpenedItem& vault, const wchar_t* path) {
  const HANDLE handle = vault.handle.get();
  bool deleted = MarkForDeletion(handle);
  const DWORD attributes = vault.info.dwFileAttributes;
  if (!deleted && GetLastError() == ERROR_ACCESS_DENIED && (attributes & FILE_ATTRIBUTE_READONLY)) {
    if (vault.info.nNumberOfLinks != 1) {
      LogStep(ETWLogging::kSeverityError, kFunction, log_line::kVaultFileHasLinks,
              L"User password vault file has other links, left read-only: [%s]", path);
    } else {
      FILE_BASIC_INFO basic{};  // times of 0 stay as they are
      basic.FileAttributes = attributes & ~FILE_ATTRIBUTE_READONLY;
      if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
      if (SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic)) {
        deleted = MarkForDeletion(handle);
        if (!deleted) {
          basic.FileAttributes = attributes;
          SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
        }
      }
    }
  }
  vault.handle.reset();
  return deleted;
}

// Opens and checks the maker folder, the product folder and the vault file.
// False (with the profile's Error line logged) when the profile must be
// left alone.
bool OpenProfileItems(const wchar_t* profileFolder, const ProfilePaths& paths, OpenedItem& maker, OpenedItem& product,
                      OpenedItem& vault, bool& vaultOpened) {
  // The profile folder itself is the administrator's (its parent is), so it
  // is resolved as it is, links included.
  wchar_t profile[kResolvedChars];
  {
    Trevalk::UniqueFileHandle handle(CreateFileW(profileFolder, FILE_READ_ATTRIBUTES,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle || !Resolve(handle.get(), profile)) {
      LogStep(ETWLogging::kSeverityError, kFunction, log_line::kProfilePathUnchecked,
              L"Unable to check path, profile skipped: [%s]", profileFolder);
      return false;
    }
  }
  const struct {
    const wchar_t* path;
    bool folder;
    const wchar_t* within;
    const wchar_t* name;
    OpenedItem& item;
  } items[] = {
      {paths.makerFolder, true, profile, nullptr, maker},
      {paths.productFolder, true, maker.resolved, L"RVQ", product},
      {paths.vaultFile, false, product.resolved, L"rvqpv.dat", vault},
  };
  vaultOpened = false;
  for (const auto& entry : items) {
    switch (OpenChecked(entry.path, entry.folder, entry.within, entry.name, entry.item)) {
      case ItemCheck::kSound:
        break;
      case ItemCheck::kLink:
        LogStep(ETWLogging::kSeverityError, kFunction, log_line::kProfilePathLinked,
                L"Link or path outside the profile, profile skipped: [%s]", entry.path);
        return false;
      case ItemCheck::kAbsent:
      case ItemCheck::kUnchecked:
        // A vault that is not there or cannot be opened is not touched
        // (kVaultFileNotRemoved); its folders are still removed if they are empty.
        if (&entry.item == &vault) {
          vault.handle.reset();
          return true;
        }
        LogStep(ETWLogging::kSeverityError, kFunction, log_line::kProfilePathUnchecked,
                L"Unable to check path, profile skipped: [%s]", entry.path);
        return false;
    }
  }
  vaultOpened = true;
  return true;
}

// Removes the vault file and then the product and maker folders of one
// profile, each attempted whatever became of the one before, and only after
// all three passed their checks.
// The two log lines of one removal: the one for success, and the one for
// failure with its severity.
struct RemovalLines {
  int removedLine;
  const wchar_t* removedFormat;
  DWORD failedSeverity;
  int failedLine;
  const wchar_t* failedFormat;
};

constexpr RemovalLines kVaultRemoval = {
    log_line::kVaultFileRemoved, L"Removed user password vault file: [%s]", ETWLogging::kSeverityError,
    log_line::kVaultFileNotRemoved, L"Unable to remove user password vault file: [%s]"};
constexpr RemovalLines kProductFolderRemoval = {
    log_line::kProductFolderRemoved, L"Removed RVQ local user app data folder: [%s]", ETWLogging::kSeverityError,
    log_line::kProductFolderNotRemoved, L"Unable to remove RVQ local user app data folder: [%s]"};
// A maker folder that another product still uses is expected to stay:
// hence Normal, not Error.
constexpr RemovalLines kMakerFolderRemoval = {
    log_line::kMakerFolderRemoved, L"Removed Bryxen local user app data folder: [%s]", ETWLogging::kSeverityNormal,
    log_line::kMakerFolderNotRemoved, L"Unable to remove Bryxen local user app data folder: [%s]"};

void LogRemoval(bool removed, const RemovalLines& lines, const wchar_t* path) {
  if (removed) {
    LogStep(ETWLogging::kSeverityNormal, kFunction, lines.removedLine, lines.removedFormat, path);
  } else {
    LogStep(lines.failedSeverity, kFunction, lines.failedLine, lines.failedFormat, path);
  }
}

void CleanProfile(const wchar_t* profileFolder, const ProfilePaths& paths) {
  SetLastError(ERROR_SUCCESS);
  if (!PathIsDirectoryW(paths.productFolder)) {
    // Not there (or not a folder) is the usual case; anything else means it
    // could not be looked at.
    const DWORD error = GetLastError();
    if (error == ERROR_SUCCESS || IsNotFound(error)) {
      LogStep(ETWLogging::kSeverityNormal, kFunction, log_line::kProductFolderMissing, L"Path does not exist: [%s]",
              paths.productFolder);
    } else {
      LogStep(ETWLogging::kSeverityError, kFunction, log_line::kProfilePathUnchecked,
              L"Unable to check path, profile skipped: [%s]", paths.productFolder);
    }
    return;
  }
  OpenedItem maker, product, vault;
  bool vaultOpened = false;
  if (!OpenProfileItems(profileFolder, paths, maker, product, vault, vaultOpened)) return;
  if (g_checkedProfileHook) g_checkedProfileHook(paths);

  LogRemoval(vaultOpened && DeleteVault(vault, paths.vaultFile), kVaultRemoval, paths.vaultFile);
  LogRemoval(DeleteByHandle(product), kProductFolderRemoval, paths.productFolder);
  LogRemoval(DeleteByHandle(maker), kMakerFolderRemoval, paths.makerFolder);
}

void LogProfileNotRead(const wchar_t* subkeyName, DWORD error) {
  LogStep(ETWLogging::kSeverityError, kFunction, log_line::kProfileNotRead,
          L"Unable to read profile [%s], profile skipped. Error code:%d", subkeyName, static_cast<int>(error));
}

void CleanSubkey(const wchar_t* subkeyName, const wchar_t* relative) {
  wchar_t keyPath[kProfileKeyChars];
  // A name that does not fit would open another key: pass it over as a key
  // that cannot be opened.
  if (!Trevalk::CopyString(keyPath, kProfileKeyChars, kProfileListKey) ||
      !Trevalk::AppendString(keyPath, kProfileKeyChars, L"\\") ||
      !Trevalk::AppendString(keyPath, kProfileKeyChars, subkeyName)) {
    return;
  }
  Trevalk::UniqueHKey profileKey;
  const LSTATUS opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, profileKey.put());
  if (opened != ERROR_SUCCESS) {
    LogProfileNotRead(subkeyName, static_cast<DWORD>(opened));
    return;
  }

  wchar_t imagePath[kProfileImageChars];
  LSTATUS read = ERROR_SUCCESS;
  const wchar_t* profileFolder = ReadText(profileKey.get(), L"ProfileImagePath", imagePath, &read);
  if (!profileFolder || !profileFolder[0]) {
    LogProfileNotRead(subkeyName, profileFolder ? ERROR_INVALID_DATA : static_cast<DWORD>(read));
    return;
  }

  wchar_t expanded[kProfilePathChars];
  const DWORD needed = ExpandEnvironmentStringsW(profileFolder, expanded, kProfilePathChars);
  if (needed == 0) {
    LogProfileNotRead(subkeyName, GetLastError());
    return;
  }
  ProfilePaths paths;
  if (needed > kProfilePathChars || !BuildProfilePaths(expanded, relative, paths)) {
    LogStep(ETWLogging::kSeverityError, kFunction, log_line::kProfilePathTooLong,
            L"Path too long, profile skipped: [%s]", needed > kProfilePathChars ? profileFolder : expanded);
    return;
  }
  CleanProfile(expanded, paths);
}

}  // namespace

const wchar_t* RelativeLocalAppData(const wchar_t* value) {
  if (!value) return nullptr;
  const wchar_t* backslash = wcschr(value, L'\\');
  return backslash ? backslash + 1 : nullptr;
}

bool BuildProfilePaths(const wchar_t* profileFolder, const wchar_t* relative, ProfilePaths& paths) {
  // PathAppendW works in MAX_PATH buffers and refuses a longer result.
  static_assert(kProfilePathChars >= MAX_PATH, "PathAppendW needs MAX_PATH characters");
  if (!FormatWhole(paths.makerFolder, kProfilePathChars, L"%s\\%s\\Bryxen", profileFolder, relative)) return false;
  if (!Trevalk::CopyString(paths.productFolder, kProfilePathChars, paths.makerFolder) ||
      !PathAppendW(paths.productFolder, L"RVQ")) {
    return false;
  }
  return Trevalk::CopyString(paths.vaultFile, kProfilePathChars, paths.productFolder) &&
         PathAppendW(paths.vaultFile, L"rvqpv.dat");
}

bool IsPathInsideFolder(const wchar_t* path, const wchar_t* folder) {
  if (!path || !folder || !folder[0]) return false;
  const size_t folderChars = wcslen(folder);
  if (wcslen(path) <= folderChars + (folder[folderChars - 1] == L'\\' ? 0 : 1)) return false;
  if (CompareStringOrdinal(path, static_cast<int>(folderChars), folder, static_cast<int>(folderChars), TRUE) !=
      CSTR_EQUAL) {
    return false;
  }
  return folder[folderChars - 1] == L'\\' || path[folderChars] == L'\\';
}

void SetCheckedProfileHook(CheckedProfileHook hook) { g_checkedProfileHook = hook; }

void CleanupUserPasswordVaultFiles() {
  wchar_t relative[kLocalAppDataChars];
  {
    Trevalk::UniqueHKey shellFolders;
    if (RegOpenKeyExW(HKEY_USERS, kShellFoldersKey, 0, KEY_READ, shellFolders.put()) != ERROR_SUCCESS) {
      LogStep(ETWLogging::kSeverityError, kFunction, log_line::kShellFoldersNotOpened,
              L"Unable to open HKEY_USERS .DEFAULT\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell "
              L"Folders");
      return;
    }
    wchar_t localAppData[kLocalAppDataChars];
    const wchar_t* value = ReadText(shellFolders.get(), L"Local AppData", localAppData);
    if (!value) {
      LogStep(ETWLogging::kSeverityError, kFunction, log_line::kLocalAppDataNotRead,
              L"Unable to open Local AppData registry value.");
      return;
    }
    const wchar_t* relativePart = RelativeLocalAppData(value);
    if (!relativePart) {
      LogStep(ETWLogging::kSeverityError, kFunction, log_line::kLocalAppDataWithoutBackslash,
              L"Unable to find a \\ in [%s]", value);
      return;
    }
    // Fits: it is a tail of a text of the same capacity.
    Trevalk::CopyString(relative, kLocalAppDataChars, relativePart);
  }

  Trevalk::UniqueHKey profileList;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProfileListKey, 0, KEY_READ, profileList.put()) != ERROR_SUCCESS) {
    LogStep(ETWLogging::kSeverityError, kFunction, log_line::kProfileListNotOpened,
            L"Unable to open HKEY_LOCAL_MACHINE SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList");
    return;
  }
  // A profile that cannot be read is logged and passed over; the loop ends
  // at the end of the list, or after a run of failures that says the list
  // itself cannot be read.
  constexpr DWORD kMaxFailuresInARow = 16;
  DWORD failuresInARow = 0;
  for (DWORD index = 0; failuresInARow < kMaxFailuresInARow; ++index) {
    wchar_t subkeyName[kSubkeyNameChars];
    DWORD nameChars = kSubkeyNameChars;
    const LSTATUS status =
        RegEnumKeyExW(profileList.get(), index, subkeyName, &nameChars, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) {
      ++failuresInARow;
      LogStep(ETWLogging::kSeverityError, kFunction, log_line::kProfileNotEnumerated,
              L"Unable to read profile %d of the profile list, next profile. Error code:%d", static_cast<int>(index),
              static_cast<int>(status));
      continue;
    }
    failuresInARow = 0;
    // One profile's failure (the C++ runtime out of memory) must not cost
    // the others their cleanup.
    if (GuardedEntry(1, [&]() -> DWORD {
          CleanSubkey(subkeyName, relative);
          return 0;
        }) != 0) {
      LogStep(ETWLogging::kSeverityError, kFunction, log_line::kProfileCleanupFailed,
              L"Cleanup of a profile failed, next profile: [%s]", subkeyName);
    }
  }
}

}  // namespace checkrvq

extern "C" DWORD DllUninstallFunction() {
  using namespace checkrvq;
  // Always 0: failures go to the log only.
  return GuardedEntry(0, []() -> DWORD {
    LogStep(ETWLogging::kSeverityNormal, L"DllUninstallFunction", log_line::kUninstallStart, L"DllUninstallFunction");
    CleanupUserPasswordVaultFiles();
    return 0;
  });
}
