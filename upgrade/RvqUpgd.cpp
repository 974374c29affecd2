// RvqUpgd.exe: the windowless upgrade detector. An updater starts it with the
// build it is about to install; the whole pass is RunUpgradeDetector.
#include <windows.h>

#include <cstdlib>

#include "loader/secure_dll_loading.h"
#include "runtime/runtime_state.h"
#include "upgrade_detector.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // The exception path's lock, made while memory is there.
  Trevalk::PrepareRuntime(instance);
  // The C runtime's narrow argument vector, with its quoting rules.
  return static_cast<int>(rvqupgd::RunUpgradeDetector(__argc, __argv, &Trevalk::InitSecureDllLoading));
}
