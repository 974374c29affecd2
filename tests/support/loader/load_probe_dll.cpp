// An empty library with one export, so that tests can tell it was loaded.
#include <windows.h>

extern "C" __declspec(dllexport) int RvqLoadProbe() { return 42; }
