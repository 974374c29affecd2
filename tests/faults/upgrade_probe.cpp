// The upgrade detector's pass in a DLL, so that the fault host patches its
// import tables as it patches checkRVQ.dll's. It links the same library and
// runtime as RvqUpgd.exe, whose WinMain is this one call.
#include <windows.h>

#include "loader/secure_dll_loading.h"
#include "upgrade_detector.h"

extern "C" __declspec(dllexport) DWORD RunUpgrade(int argc, const char* const* argv) {
  return rvqupgd::RunUpgradeDetector(argc, argv, &Trevalk::InitSecureDllLoading);
}
