// Per-user data cleanup at uninstallation.
#include "user_cleanup.h"

#include <windows.h>
#include <shlwapi.h>

#include <cwchar>

#include "common/bounded_string.h"
#include "common/unique_handle.h"
#include "entry_points.h"
#include "module_state.h"
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

// Reads a string value into `buffer` and applies AcceptedRegistryText.
template <size_t N>
const wchar_t* ReadText(HKEY key, const wchar_t* name, wchar_t (&buffer)[N]) {
  DWORD type = REG_NONE;
  DWORD bytes = static_cast<DWORD>(sizeof buffer);
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes) != ERROR_SUCCESS) {
    return nullptr;
  }
  return AcceptedRegistryText(type, buffer, bytes);
}

// DeleteFileW refuses a read-only file. A vault marked read-only (by its
// user or a copy or sync tool) gets that one attribute cleared for a second
// try, and back if that fails too. Links and folders are left as they are.
bool DeleteVaultFile(const wchar_t* path) {
  if (DeleteFileW(path)) return true;
  const DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY) ||
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    return false;
  }
  DWORD writable = attributes & ~FILE_ATTRIBUTE_READONLY;
  if (writable == 0) writable = FILE_ATTRIBUTE_NORMAL;
  if (!SetFileAttributesW(path, writable)) return false;
  if (DeleteFileW(path)) return true;
  SetFileAttributesW(path, attributes);
  return false;
}

// Removes the vault file and then the product and maker folders of one
// profile, each attempted whatever became of the one before.
void CleanProfile(const ProfilePaths& paths) {
  if (!PathIsDirectoryW(paths.productFolder)) {
    LogStep(ETWLogging::kSeverityNormal, kFunction, 666, L"Path does not exist: [%s]", paths.productFolder);
    return;
  }
  if (DeleteVaultFile(paths.vaultFile)) {
    LogStep(ETWLogging::kSeverityNormal, kFunction, 639, L"Removed user password vault file: [%s]", paths.vaultFile);
  } else {
    LogStep(ETWLogging::kSeverityError, kFunction, 643, L"Unable to remove user password vault file: [%s]",
            paths.vaultFile);
  }
  if (RemoveDirectoryW(paths.productFolder)) {
    LogStep(ETWLogging::kSeverityNormal, kFunction, 647, L"Removed RVQ local user app data folder: [%s]",
            paths.productFolder);
  } else {
    LogStep(ETWLogging::kSeverityError, kFunction, 651, L"Unable to remove RVQ local user app data folder: [%s]",
            paths.productFolder);
  }
  // A maker folder that another product still uses is expected to stay:
  // hence Normal, not Error.
  if (RemoveDirectoryW(paths.makerFolder)) {
    LogStep(ETWLogging::kSeverityNormal, kFunction, 657, L"Removed Bryxen local user app data folder: [%s]",
            paths.makerFolder);
  } else {
    LogStep(ETWLogging::kSeverityNormal, kFunction, 661, L"Unable to remove Bryxen local user app data folder: [%s]",
            paths.makerFolder);
  }
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
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, profileKey.put()) != ERROR_SUCCESS) return;

  wchar_t imagePath[kProfileImageChars];
  const wchar_t* profileFolder = ReadText(profileKey.get(), L"ProfileImagePath", imagePath);
  if (!profileFolder || !profileFolder[0]) return;

  wchar_t expanded[kProfilePathChars];
  const DWORD needed = ExpandEnvironmentStringsW(profileFolder, expanded, kProfilePathChars);
  if (needed == 0) return;
  ProfilePaths paths;
  if (needed > kProfilePathChars || !BuildProfilePaths(expanded, relative, paths)) {
    LogStep(ETWLogging::kSeverityError, kFunction, 624, L"Path too long, profile skipped: [%s]",
            needed > kProfilePathChars ? profileFolder : expanded);
    return;
  }
  CleanProfile(paths);
}

}  // namespace

const wchar_t* AcceptedRegistryText(DWORD type, const wchar_t* data, DWORD bytes) {
  if (type != REG_SZ && type != REG_EXPAND_SZ) return nullptr;
  if (bytes == 0) return L"";
  if (!data || bytes % sizeof(wchar_t) != 0) return nullptr;
  return data[bytes / sizeof(wchar_t) - 1] == L'\0' ? data : nullptr;
}

const wchar_t* RelativeLocalAppData(const wchar_t* value) {
  if (!value) return nullptr;
  const wchar_t* backslash = wcschr(value, L'\\');
  return backslash ? backslash + 1 : nullptr;
}

bool BuildProfilePaths(const wchar_t* profileFolder, const wchar_t* relative, ProfilePaths& paths) {
  // PathAppendW works in MAX_PATH buffers and refuses a longer result.
  static_assert(kProfilePathChars >= MAX_PATH, "PathAppendW needs MAX_PATH characters");
  if (!FormatBounded(paths.makerFolder, kProfilePathChars, L"%s\\%s\\Bryxen", profileFolder, relative)) return false;
  if (!Trevalk::CopyString(paths.productFolder, kProfilePathChars, paths.makerFolder) ||
      !PathAppendW(paths.productFolder, L"RVQ")) {
    return false;
  }
  return Trevalk::CopyString(paths.vaultFile, kProfilePathChars, paths.productFolder) &&
         PathAppendW(paths.vaultFile, L"rvqpv.dat");
}

void CleanupUserPasswordVaultFiles() {
  wchar_t relative[kLocalAppDataChars];
  {
    Trevalk::UniqueHKey shellFolders;
    if (RegOpenKeyExW(HKEY_USERS, kShellFoldersKey, 0, KEY_READ, shellFolders.put()) != ERROR_SUCCESS) {
      LogStep(ETWLogging::kSeverityError, kFunction, 562,
              L"Unable to open HKEY_USERS .DEFAULT\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell "
              L"Folders");
      return;
    }
    wchar_t localAppData[kLocalAppDataChars];
    const wchar_t* value = ReadText(shellFolders.get(), L"Local AppData", localAppData);
    if (!value) {
      LogStep(ETWLogging::kSeverityError, kFunction, 571, L"Unable to open Local AppData registry value.");
      return;
    }
    const wchar_t* relativePart = RelativeLocalAppData(value);
    if (!relativePart) {
      LogStep(ETWLogging::kSeverityError, kFunction, 580, L"Unable to find a \\ in [%s]", value);
      return;
    }
    // Fits: it is a tail of a text of the same capacity.
    Trevalk::CopyString(relative, kLocalAppDataChars, relativePart);
  }

  Trevalk::UniqueHKey profileList;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProfileListKey, 0, KEY_READ, profileList.put()) != ERROR_SUCCESS) {
    LogStep(ETWLogging::kSeverityError, kFunction, 591,
            L"Unable to open HKEY_LOCAL_MACHINE SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList");
    return;
  }
  for (DWORD index = 0;; ++index) {
    wchar_t subkeyName[kSubkeyNameChars];
    DWORD nameChars = kSubkeyNameChars;
    if (RegEnumKeyExW(profileList.get(), index, subkeyName, &nameChars, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    CleanSubkey(subkeyName, relative);
  }
}

}  // namespace checkrvq

extern "C" DWORD DllUninstallFunction() {
  using namespace checkrvq;
  GuardedEntry(0, []() -> DWORD {
    LogStep(ETWLogging::kSeverityNormal, L"DllUninstallFunction", 676, L"DllUninstallFunction");
    CleanupUserPasswordVaultFiles();
    return 0;
  });
  return 0;
}
