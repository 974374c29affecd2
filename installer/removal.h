// Incompatible-product removal: the maker's cleaner, run twice from the
// library's own folder.
#pragma once

#include <windows.h>

namespace checkrvq {

// How a cleaner run is waited for: WaitForSingleObject's signature.
using CleanerWait = DWORD(WINAPI*)(HANDLE handle, DWORD milliseconds);

// UninstallIncompatible's body (see entry_points.h), with `wait` waiting for
// each cleaner run.
DWORD RemoveIncompatible(CleanerWait wait);

}  // namespace checkrvq
