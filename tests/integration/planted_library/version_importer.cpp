// The control: a program that imports version.dll the ordinary way, so the
// loader takes the first version.dll of the search order when it starts.
#include <windows.h>
#include <winver.h>

int wmain() {
  wchar_t self[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 2;
  DWORD ignored = 0;
  // Any answer will do: the call only keeps the import.
  return GetFileVersionInfoSizeW(self, &ignored) > 0 ? 0 : 1;
}
