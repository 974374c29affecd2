// The upgrade detector's parsing and decision, as plain functions: the build
// number from the command line, the installed build from the stored
// "SourceDisk" text, and whether the restart flag is due. No system calls.
#pragma once

#include <cstddef>
#include <optional>

namespace rvqupgd {

// Build number used when the command line gives none, more than one, or one
// that overflows.
constexpr int kDefaultNewBuild = 10;
// Installed build when the stored text has the marker but no usable number.
constexpr int kNoInstalledBuild = -1;
// Capacity of the "SourceDisk" text buffer, terminator included.
constexpr size_t kSourceDiskChars = 260;

// Decimal conversion with the C runtime's atoi/_wtoi rules: leading white
// space (space, \t \n \v \f \r) skipped, one optional '+' or '-', digits up
// to the first non-digit, the rest ignored. No digits give 0; positive
// overflow gives INT_MAX, negative overflow INT_MIN. A null text gives 0.
int ParseDecimal(const char* text);
int ParseDecimal(const wchar_t* text);

// The new build from the narrow argument vector (argv[0] is the program):
// with exactly one argument, that argument as ParseDecimal reads it; with
// none, more than one, or a result of INT_MAX (overflow, or a literal
// 2147483647), kDefaultNewBuild.
int NewBuildFromArguments(int argc, const char* const* argv);

// Maps 'A'..'Z' to 'a'..'z' in place and leaves every other character alone
// (the "C" locale's lower-casing), up to the terminator or `capacity`
// characters, whichever comes first.
void LowerCaseInPlace(wchar_t* text, size_t capacity);

// The installed build in an already lower-cased text: nullopt when ",build="
// does not occur in it; otherwise the number after its first occurrence as
// ParseDecimal reads it, or kNoInstalledBuild when nothing follows the
// marker or the number overflows (INT_MAX). `text` must be terminated.
std::optional<int> InstalledBuildFromText(const wchar_t* text);

// True only when the installed build is a real build (at least 1) and older
// than the new one.
bool ShouldSetRestartFlag(int installedBuild, int newBuild);

}  // namespace rvqupgd
