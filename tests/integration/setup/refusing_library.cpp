// Stand-in for checkRVQ.dll that refuses the installation: by default its
// PreInstall answers "cannot be installed" (flag 0, result 0); with the
// environment variable RVQ_REFUSE_AT=DllInstallFunction, PreInstall allows it
// and DllInstallFunction fails (0x8000FFFF) after the host has installed its
// files. Every entry point appends its name to "host-calls.txt"
// in RVQ_FIXTURE_RECORD_DIR (or beside the library), so a test sees which
// steps the installer ran after the refusal. Blocks are handed over from the
// process heap, as the real library does.
#include <windows.h>

#include <cwchar>

#include "entry_points.h"
#include "fixture_record.h"

namespace {

HMODULE g_module = nullptr;

void Record(const char* entry) {
  rvqfixture::AppendLine(rvqfixture::RecordFolder(g_module) + L"\\host-calls.txt", entry);
}

bool RefuseAtInstall() {
  wchar_t value[64];
  const DWORD n = GetEnvironmentVariableW(L"RVQ_REFUSE_AT", value, 64);
  return n > 0 && n < 64 && wcscmp(value, L"DllInstallFunction") == 0;
}

StepResult* NewStepResult() {
  return static_cast<StepResult*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(StepResult)));
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) g_module = instance;
  return TRUE;
}

extern "C" {

DWORD StartApplication() {
  Record("StartApplication");
  return 0;
}

DWORD DetectIncompatible(DWORD* count, IncompatibleProductRecord*** list) {
  Record("DetectIncompatible");
  *count = 0;
  *list = nullptr;
  return 0;
}

DWORD UninstallIncompatible() {
  Record("UninstallIncompatible");
  return 0;
}

DWORD PreInstall(void*, void*, StepResult** result, DWORD* canBeInstalled) {
  Record("PreInstall");
  *result = NewStepResult();
  if (!*result) return kResultOutOfMemory;
  *canBeInstalled = RefuseAtInstall() ? 1 : 0;
  return 0;
}

DWORD PostInstall(void*, void*, StepResult** result, DWORD* needsReboot) {
  Record("PostInstall");
  *result = NewStepResult();
  if (!*result) return kResultOutOfMemory;
  *needsReboot = 0;
  return 0;
}

void OnFreeLibrary() { Record("OnFreeLibrary"); }

DWORD DllInstallFunction() {
  Record("DllInstallFunction");
  return RefuseAtInstall() ? kResultUnexpected : 0;
}

DWORD DllUninstallFunction() {
  Record("DllUninstallFunction");
  return 0;
}

}  // extern "C"
