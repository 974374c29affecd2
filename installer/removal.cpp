// Incompatible-product removal. Not built yet.
#include "entry_points.h"

extern "C" DWORD UninstallIncompatible() { return 0; }
