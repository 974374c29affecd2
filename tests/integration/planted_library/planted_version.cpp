// A library named version.dll with the three functions the product calls
// from the system's, planted where the search order would find it first.
// DllMain leaves "loaded-by-<program file name>" beside the library, so the
// test can tell which program loaded which copy. The functions fail as for
// a file without a version resource.
#include <windows.h>

#include <cwchar>

namespace {

// The text after the last backslash of the module path, "" when unknown.
const wchar_t* FileNamePart(const wchar_t* path) {
  const wchar_t* slash = wcsrchr(path, L'\\');
  return slash ? slash + 1 : path;
}

void LeaveMarker(HINSTANCE self) {
  wchar_t library[MAX_PATH];
  wchar_t program[MAX_PATH];
  const DWORD libraryChars = GetModuleFileNameW(self, library, MAX_PATH);
  const DWORD programChars = GetModuleFileNameW(nullptr, program, MAX_PATH);
  if (libraryChars == 0 || libraryChars >= MAX_PATH || programChars == 0 || programChars >= MAX_PATH) return;
  wchar_t* slash = wcsrchr(library, L'\\');
  if (!slash) return;
  *slash = L'\0';
  wchar_t marker[MAX_PATH];
  const int written = _snwprintf(marker, MAX_PATH, L"%s\\loaded-by-%s", library, FileNamePart(program));
  if (written < 0 || written >= MAX_PATH) return;
  HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, void*) {
  if (reason == DLL_PROCESS_ATTACH) LeaveMarker(self);
  return TRUE;
}

extern "C" DWORD WINAPI PlantedGetFileVersionInfoSizeW(const wchar_t*, DWORD* handle) {
  if (handle) *handle = 0;
  SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
  return 0;
}

extern "C" BOOL WINAPI PlantedGetFileVersionInfoW(const wchar_t*, DWORD, DWORD, void*) {
  SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
  return FALSE;
}

extern "C" BOOL WINAPI PlantedVerQueryValueW(const void*, const wchar_t*, void** value, UINT* length) {
  if (value) *value = nullptr;
  if (length) *length = 0;
  return FALSE;
}
