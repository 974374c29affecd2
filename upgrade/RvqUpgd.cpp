// RvqUpgd.exe: the windowless upgrade detector. The decision is not built
// yet; the program exits with 0.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return 0; }
