// Pre-install and post-install steps. Not built yet.
#include "entry_points.h"

extern "C" DWORD PreInstall(void*, void*, StepResult**, DWORD*) { return 0; }
extern "C" DWORD PostInstall(void*, void*, StepResult**, DWORD*) { return 0; }
