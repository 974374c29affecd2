// The upgrade detector's single pass, as RvqUpgd.exe's WinMain runs it:
// restrict the library search, compare the build about to be installed with
// the installed one, and set the restart flag when the installed one is
// older.
#pragma once

#include <windows.h>

namespace rvqupgd {

// Restricts the process's library search; true when the restriction is in
// force (Trevalk::InitSecureDllLoading, or a stand-in in tests).
using SecureLoadingInit = bool (*)();

// Runs the whole pass and returns the process exit code:
// 1. calls `initSecureDllLoading` first of all; on false, logs
//    "RvqUpgd.exe :: InitSecureDllLoading Failed" at severity Error through
//    the logging facade when a logger allows it, and carries on;
// 2. takes the new build from the narrow argument vector
//    (NewBuildFromArguments);
// 3. reads HKLM "SourceDisk" (ReadRegistryTextAnsi into 260 characters);
//    a read error, a type other than REG_SZ or an empty text ends the pass;
// 4. finds the installed build after ",build=" in any letter case;
// 5. writes the restart flag only when 0 < installed < new.
// Exit code: 0 when nothing was due or the flag was written; otherwise the
// Win32 error of the registry call that failed while writing the flag.
DWORD RunUpgradeDetector(int argc, const char* const* argv, SecureLoadingInit initSecureDllLoading);

}  // namespace rvqupgd
