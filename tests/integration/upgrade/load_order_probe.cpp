// Linked into upgrade_load_probe.exe together with RvqUpgd.exe's own WinMain
// and libraries. The link wraps Trevalk::InitSecureDllLoading, so this code
// runs exactly where WinMain restricts the library search: it reports which
// of the delay-loaded DLLs are already mapped at that moment, and at exit
// where advapi32 came from.
//
// RVQ_PROBE_INIT=missing stands in a kernel32 without
// SetDefaultDllDirectories.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "loader/secure_dll_loading.h"

extern "C" bool __real__ZN7Trevalk20InitSecureDllLoadingEv();

namespace {

void Print(const char* text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(strlen(text)), &written, nullptr);
}

void PrintModules(const char* when) {
  char line[512];
  wchar_t path[MAX_PATH] = L"";
  const HMODULE advapi32 = GetModuleHandleW(L"advapi32.dll");
  if (advapi32 != nullptr) GetModuleFileNameW(advapi32, path, MAX_PATH);
  _snprintf(line, sizeof line - 1, "%s advapi32=%d version=%d advapi32_path=%ls\n", when, advapi32 != nullptr,
            GetModuleHandleW(L"version.dll") != nullptr, path);
  line[sizeof line - 1] = '\0';
  Print(line);
}

FARPROC WINAPI NoSuchFunction(HMODULE, LPCSTR) { return nullptr; }

void AtExit() { PrintModules("exit"); }

}  // namespace

extern "C" bool __wrap__ZN7Trevalk20InitSecureDllLoadingEv() {
  PrintModules("before_init");
  char mode[32] = "";
  GetEnvironmentVariableA("RVQ_PROBE_INIT", mode, sizeof mode);
  const bool missing = strcmp(mode, "missing") == 0;
  const bool result = missing ? Trevalk::internal::InitSecureDllLoadingWith(&NoSuchFunction)
                              : __real__ZN7Trevalk20InitSecureDllLoadingEv();
  Print(result ? "init=1\n" : "init=0\n");
  atexit(&AtExit);
  return result;
}
