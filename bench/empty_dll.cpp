// The floor of the checkRVQ.dll figure: a DLL with one export and nothing
// else, built with the same toolchain, runtime and link options.
#include <windows.h>

extern "C" __declspec(dllexport) DWORD BenchEmptyExport() { return 0; }

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
