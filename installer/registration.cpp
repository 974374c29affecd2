// Install-time registration. Not built yet.
#include "entry_points.h"

extern "C" DWORD DllInstallFunction() { return 0; }
