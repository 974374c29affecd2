// The floor of the RvqUpgd.exe figure: a GUI program that does nothing,
// built with the same toolchain, runtime and link options.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return 0; }
