// A GUI-subsystem program that does nothing: the baseline for how long
// starting RvqUpgd.exe itself takes.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return 0; }
