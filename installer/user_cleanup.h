// Per-user data cleanup at uninstallation: the password vault file and the
// product's folders under every user profile's local application-data
// folder.
#pragma once

#include <windows.h>

#include <cstddef>

namespace checkrvq {

// Capacity of every per-profile path, in characters.
constexpr size_t kProfilePathChars = 261;

// Deletes "rvqpv.dat" and then the emptied "RVQ" and "Bryxen" folders in
// each profile of the machine's profile list, logging each outcome. Set-up
// failures end it with one Error line; per-profile failures (an exception
// included) never stop it.
//
// Runs elevated over folders that each user controls, so nothing is deleted
// through a link: a profile is touched only when its maker folder, product
// folder and vault file are no reparse points and, resolved from open
// handles, lie where their names say inside the profile folder. Deletion
// goes through those same handles, which are held without FILE_SHARE_DELETE
// so that nobody can rename or replace them in the meantime.
void CleanupUserPasswordVaultFiles();

// The part of a "Local AppData" value after its first backslash (a pointer
// into `value`), or null when there is none.
const wchar_t* RelativeLocalAppData(const wchar_t* value);

// The three paths of one profile.
struct ProfilePaths {
  wchar_t makerFolder[kProfilePathChars];    // <profile>\<relative>\Bryxen
  wchar_t productFolder[kProfilePathChars];  // ...\Bryxen\RVQ
  wchar_t vaultFile[kProfilePathChars];      // ...\Bryxen\RVQ\rvqpv.dat
};

// Builds the paths of the profile folder `profileFolder` (expanded). False
// when one of them would not fit: such a profile must be skipped, since a
// cut path can name another file.
bool BuildProfilePaths(const wchar_t* profileFolder, const wchar_t* relative, ProfilePaths& paths);

// True when `path` names something below `folder` (both as the system
// resolves them, compared without regard to case): `folder` followed by a
// backslash and at least one more character. A sibling whose name merely
// begins with the folder's name ("C:\Users\ann" and "C:\Users\anna")
// is not inside.
bool IsPathInsideFolder(const wchar_t* path, const wchar_t* folder);

// Test seam: called for each profile after its folders and vault file passed
// the checks and before anything in it is deleted. Null (the default) in the
// product; a hook may throw, which ends that profile only.
using CheckedProfileHook = void (*)(const ProfilePaths& paths);
void SetCheckedProfileHook(CheckedProfileHook hook);

}  // namespace checkrvq
