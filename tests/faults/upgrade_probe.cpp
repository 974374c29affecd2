// The upgrade detector's pass in a DLL, so that the fault host patches its
// import tables as it patches checkRVQ.dll's. It links the same library and
// runtime as RvqUpgd.exe, whose WinMain is this one call.
#include <windows.h>

#include "loader/secure_dll_loading.h"
#include "runtime/runtime_state.h"
#include "upgrade_detector.h"

// What WinMain does before the pass, before the host patches anything.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) Trevalk::PrepareRuntime(instance);
  return TRUE;
}

extern "C" __declspec(dllexport) DWORD RunUpgrade(int argc, const char* const* argv) {
  return rvqupgd::RunUpgradeDetector(argc, argv, &Trevalk::InitSecureDllLoading);
}
