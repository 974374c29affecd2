// Install-time registration: what DllInstallFunction records about the
// installation and the locale files it schedules for deletion at restart.
#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>

namespace checkrvq {

// Answers the OS code of the running Windows (0 when unknown).
using OSCodeQuery = std::function<DWORD()>;

// The "InstallPlatform" value for the OS code: 9, 11, 13, 15 or 17 for the
// codes 7 to 11, otherwise 3. The code is asked anew for each comparison, in
// the order 7, 8, 9, 10, 11.
DWORD InstallPlatformCode(const OSCodeQuery& queryOSCode);

// Accepts a stored "Install Dir" value: REG_SZ or REG_EXPAND_SZ (used as
// stored, not expanded), an even byte count and a terminating null as the
// last character. Copies the text into out[0..capacity). False, with out
// emptied, for anything else, for a text that does not fit, and for an empty
// text (there is no folder to look in then).
bool ParseInstallDir(DWORD type, const BYTE* data, DWORD bytes, wchar_t* out, size_t capacity);

// out = folder with `name` appended by PathAppendW, in a buffer of
// kPathChars characters. False (out unspecified) when the result would not
// fit: a cut path can name another file.
bool AppendToFolder(const wchar_t* folder, const wchar_t* name, wchar_t* out, size_t capacity);

// Writes "Last Update", "gmtdate" and "InstallPlatform" below
// HKLM\SOFTWARE\Bryxen\RVQ (64-bit view). Failures are passed over.
// "Last Update" is the short date of the user's ANSI code-page locale; the C
// runtime's global locale is left as it is.
void WriteInstallationRecords(const OSCodeQuery& queryOSCode);

// Registers every "loc_*.dat" of the installation folder and of its
// "Locale" sub-folder for deletion at the next restart. Nothing happens
// when "Install Dir" is missing or malformed; a file whose full path does not
// fit kPathChars is left alone.
void ScheduleLocaleFilesForDeletion();

}  // namespace checkrvq
