// Pre-install and post-install steps: the data-file migration before the
// installation and the reboot answer after it.
#pragma once

#include <windows.h>

#include "entry_points.h"

namespace Trevalk {
class SecurityApiTable;
class ShlObjAPI;
}

namespace checkrvq {

// The two system folders the migration works in. Either may be null: the
// product then asks the shell for it (and moves nothing from a folder the
// shell cannot name).
struct DataFileFolders {
  const wchar_t* commonAppData = nullptr;
  const wchar_t* programFiles = nullptr;
  // The access-control functions the folder and owner checks use; null:
  // the system's.
  Trevalk::SecurityApiTable* security = nullptr;
  // Where known folders come from; null: the shell.
  Trevalk::ShlObjAPI* shell = nullptr;
};

// PreInstall working in the given folders instead of the machine's. Same
// results and out-parameters as the export.
DWORD PreInstallIn(const DataFileFolders& folders, StepResult** result, DWORD* canBeInstalled);

}  // namespace checkrvq
