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
// failures end it with one Error line; per-profile failures never stop it.
void CleanupUserPasswordVaultFiles();

// The text of a string value as RegQueryValueExW left it in `data` with
// `bytes` bytes of type `type`: `data` itself when the type is REG_SZ or
// REG_EXPAND_SZ, the byte count is even and the last character is the
// terminator; "" for 0 bytes of such a type; otherwise null (rejected).
const wchar_t* AcceptedRegistryText(DWORD type, const wchar_t* data, DWORD bytes);

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

}  // namespace checkrvq
