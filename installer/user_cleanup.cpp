// Per-user data cleanup at uninstallation. Not built yet.
#include "entry_points.h"

extern "C" DWORD DllUninstallFunction() { return 0; }
