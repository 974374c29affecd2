// What each function checkRVQ.dll (and the upgrade probe) imports answers
// when it fails, and which imports are taken as unable to fail. Every import
// must be in one of the two lists: the host refuses to run a module with an
// import this file does not classify, so a new import is reviewed here.
//
// Failure values are those the function's documentation gives; the last
// error is a plausible one for a machine short of memory, handles or access.
#include <cstring>

#include "interception.h"

namespace rvqfaults {
namespace {

constexpr std::uintptr_t kAllOnes = ~std::uintptr_t{0};  // INVALID_HANDLE_VALUE, (DWORD)-1, -1
constexpr std::uintptr_t kDword = 0xFFFFFFFF;            // INVALID_FILE_ATTRIBUTES, WAIT_FAILED, ...
constexpr DWORD kNoMemory = ERROR_NOT_ENOUGH_MEMORY;
constexpr DWORD kDenied = ERROR_ACCESS_DENIED;

const FailureRule kFallible[] = {
    // kernel32: files, folders, processes, synchronisation, memory.
    {"AddVectoredExceptionHandler", 0, kNoMemory, -1},
    {"CreateDirectoryW", FALSE, kDenied, -1},
    {"CreateEventA", 0, kNoMemory, -1},
    {"CreateFileW", kAllOnes, kDenied, -1},
    {"CreateProcessW", FALSE, kNoMemory, -1},
    {"CreateSemaphoreA", 0, kNoMemory, -1},
    {"DuplicateHandle", FALSE, ERROR_NO_SYSTEM_RESOURCES, -1},
    {"ExpandEnvironmentStringsW", 0, kNoMemory, -1},
    {"FindFirstFileW", kAllOnes, kDenied, -1},
    {"FindNextFileW", FALSE, kNoMemory, -1},
    {"FormatMessageA", 0, kNoMemory, -1},
    {"FormatMessageW", 0, kNoMemory, -1},
    {"GetCurrentDirectoryW", 0, kNoMemory, -1},
    {"GetExitCodeProcess", FALSE, kDenied, -1},
    {"GetFileAttributesExW", FALSE, kDenied, -1},
    {"GetFileAttributesW", kDword, kDenied, -1},
    {"GetFileInformationByHandle", FALSE, kDenied, -1},
    {"GetFileInformationByHandleEx", FALSE, kDenied, -1},
    {"GetFinalPathNameByHandleW", 0, kNoMemory, -1},
    {"GetModuleFileNameW", 0, kNoMemory, -1},
    {"GetModuleHandleExW", FALSE, ERROR_MOD_NOT_FOUND, 2},
    {"GetModuleHandleW", 0, ERROR_MOD_NOT_FOUND, -1},
    {"GetProcAddress", 0, ERROR_PROC_NOT_FOUND, -1},
    {"GetProcessAffinityMask", FALSE, kDenied, -1},
    {"GetShortPathNameW", 0, kDenied, -1},
    {"GetSystemDirectoryW", 0, kNoMemory, -1},
    {"GetThreadContext", FALSE, kDenied, -1},
    {"HeapAlloc", 0, kNoMemory, -1},
    {"LoadLibraryExW", 0, kNoMemory, -1},
    {"LoadLibraryW", 0, kNoMemory, -1},
    {"LocalAlloc", 0, kNoMemory, -1},
    {"MoveFileExW", FALSE, ERROR_SHARING_VIOLATION, -1},
    {"MoveFileW", FALSE, ERROR_SHARING_VIOLATION, -1},
    {"MultiByteToWideChar", 0, ERROR_NO_UNICODE_TRANSLATION, -1},
    {"OpenProcessToken", FALSE, kDenied, -1},
    {"OpenProcess", 0, kDenied, -1},
    {"ReadFile", FALSE, kDenied, -1},
    {"ResumeThread", kDword, kDenied, -1},
    {"SetCurrentDirectoryW", FALSE, kDenied, -1},
    {"SetFileInformationByHandle", FALSE, kDenied, -1},
    {"SetFilePointer", kDword, kDenied, -1},
    {"SetFilePointerEx", FALSE, kDenied, -1},
    {"SetProcessAffinityMask", FALSE, kDenied, -1},
    {"SetThreadContext", FALSE, kDenied, -1},
    {"SetThreadPriority", FALSE, kDenied, -1},
    {"SetThreadStackGuarantee", FALSE, kNoMemory, -1},
    {"SuspendThread", kDword, kDenied, -1},
    {"TerminateProcess", FALSE, kDenied, -1},
    {"TlsAlloc", kDword, ERROR_NO_MORE_ITEMS, -1},
    {"TlsSetValue", FALSE, kNoMemory, -1},
    {"VerifyVersionInfoW", FALSE, ERROR_OLD_WIN_VERSION, -1},
    {"VirtualAlloc", 0, kNoMemory, -1},
    {"VirtualProtect", FALSE, kNoMemory, -1},
    {"VirtualQuery", 0, ERROR_INVALID_PARAMETER, -1},
    {"WaitForMultipleObjects", kDword, ERROR_INVALID_HANDLE, -1},
    {"WaitForSingleObject", kDword, ERROR_INVALID_HANDLE, -1},
    {"WideCharToMultiByte", 0, ERROR_NO_UNICODE_TRANSLATION, -1},
    {"WriteFile", FALSE, ERROR_DISK_FULL, -1},
    {"WritePrivateProfileStringW", FALSE, kDenied, -1},
    {"WritePrivateProfileStructW", FALSE, kDenied, -1},
    // msvcrt: allocation, files, formatting, threads, time.
    {"_beginthreadex", 0, kNoMemory, -1},
    {"_filelengthi64", kAllOnes, kDenied, -1},
    {"_localtime64", 0, ERROR_INVALID_PARAMETER, -1},
    {"_read", kAllOnes, kDenied, -1},
    {"_scwprintf", kAllOnes, kNoMemory, -1},
    {"_snwprintf", kAllOnes, kNoMemory, -1},
    {"_strdup", 0, kNoMemory, -1},
    {"_vscwprintf", kAllOnes, kNoMemory, -1},
    {"_vsnwprintf", kAllOnes, kNoMemory, -1},
    {"_wcsdup", 0, kNoMemory, -1},
    {"_wcsftime_l", 0, kNoMemory, -1},
    {"_wfopen_s", 12 /* ENOMEM */, kNoMemory, 0},
    {"calloc", 0, kNoMemory, -1},
    {"fgets", 0, kDenied, -1},
    {"fgetwc", 0xFFFF /* WEOF */, kDenied, -1},
    {"fprintf", kAllOnes, ERROR_DISK_FULL, -1},
    {"fputc", kAllOnes, ERROR_DISK_FULL, -1},
    {"fputs", kAllOnes, ERROR_DISK_FULL, -1},
    {"fputwc", 0xFFFF, ERROR_DISK_FULL, -1},
    {"fwprintf", kAllOnes, ERROR_DISK_FULL, -1},
    {"fwrite", 0, ERROR_DISK_FULL, -1},
    {"malloc", 0, kNoMemory, -1},
    {"printf", kAllOnes, ERROR_DISK_FULL, -1},
    {"realloc", 0, kNoMemory, -1},
    {"vfprintf", kAllOnes, ERROR_DISK_FULL, -1},
    {"wcsftime", 0, kNoMemory, -1},
    // advapi32 (delay-loaded): registry calls answer their error, services
    // and ETW registration theirs.
    {"ControlService", FALSE, kDenied, -1},
    {"DeleteService", FALSE, kDenied, -1},
    {"GetTraceLoggerHandle", kAllOnes, ERROR_INVALID_HANDLE, -1},
    {"OpenSCManagerW", 0, kDenied, -1},
    {"OpenServiceW", 0, kDenied, -1},
    {"QueryServiceStatus", FALSE, kDenied, -1},
    {"RegCreateKeyExA", kDenied, kDenied, 7},
    {"RegCreateKeyExW", kDenied, kDenied, 7},
    {"RegDeleteKeyW", kDenied, kDenied, -1},
    {"RegDeleteValueW", kDenied, kDenied, -1},
    {"RegEnumKeyExW", kNoMemory, kNoMemory, -1},
    {"RegFlushKey", kDenied, kDenied, -1},
    {"RegGetKeySecurity", kDenied, kDenied, -1},
    {"RegNotifyChangeKeyValue", kDenied, kDenied, -1},
    {"RegOpenKeyExA", kDenied, kDenied, 4},
    {"RegOpenKeyExW", kDenied, kDenied, 4},
    {"RegQueryValueExA", kDenied, kDenied, -1},
    {"RegQueryValueExW", kDenied, kDenied, -1},
    {"RegSetKeySecurity", kDenied, kDenied, -1},
    {"RegSetValueExA", kDenied, kDenied, -1},
    {"RegSetValueExW", kDenied, kDenied, -1},
    {"RegisterTraceGuidsW", kNoMemory, kNoMemory, -1},
    {"TraceEvent", kNoMemory, kNoMemory, -1},
    // Bound at run time by the support library (access control).
    {"AllocateAndInitializeSid", FALSE, kNoMemory, -1},
    {"GetNamedSecurityInfoW", kDenied, kDenied, 6},
    {"SetEntriesInAclW", kNoMemory, kNoMemory, 3},
    {"SetNamedSecurityInfoW", kDenied, kDenied, -1},
    {"SetSecurityInfo", kDenied, kDenied, -1},
    {"GetSecurityInfo", kDenied, kDenied, 7},
    {"GetFileSecurityW", FALSE, kDenied, -1},
    {"SetFileSecurityW", FALSE, kDenied, -1},
    {"LookupAccountSidW", FALSE, kNoMemory, -1},
    {"GetExplicitEntriesFromAclW", kNoMemory, kNoMemory, -1},
    {"InitializeSecurityDescriptor", FALSE, kNoMemory, -1},
    {"SetSecurityDescriptorDacl", FALSE, kNoMemory, -1},
    {"GetSecurityDescriptorDacl", FALSE, kNoMemory, -1},
    {"OpenThreadToken", FALSE, kDenied, -1},
    {"GetTokenInformation", FALSE, kDenied, -1},
    {"InitializeAcl", FALSE, kNoMemory, -1},
    {"AddAccessAllowedAce", FALSE, kNoMemory, -1},
    {"QueryServiceStatusEx", FALSE, kDenied, -1},
    {"DeleteAce", FALSE, kNoMemory, -1},
    {"GetAclInformation", FALSE, kNoMemory, -1},
    {"SetSecurityDescriptorControl", FALSE, kNoMemory, -1},
    // Bound at run time elsewhere in the support library.
    {"RegDeleteKeyExW", kDenied, kDenied, -1},
    {"NtDeleteKey", 0xC0000022 /* STATUS_ACCESS_DENIED */, kDenied, -1},
    {"SetDefaultDllDirectories", FALSE, kDenied, -1},
    {"IsWow64Process", FALSE, kDenied, -1},
    // version.dll, shell32, ole32, shlwapi, user32 (delay-loaded).
    {"GetFileVersionInfoSizeW", 0, ERROR_RESOURCE_DATA_NOT_FOUND, -1},
    {"GetFileVersionInfoW", FALSE, kNoMemory, -1},
    {"VerQueryValueW", FALSE, ERROR_RESOURCE_TYPE_NOT_FOUND, -1},
    {"SHGetKnownFolderPath", 0x80004005 /* E_FAIL */, ERROR_FILE_NOT_FOUND, 3},
    {"SHGetSpecialFolderPathW", FALSE, ERROR_FILE_NOT_FOUND, -1},
    {"CLSIDFromString", 0x800401F3 /* CO_E_CLASSSTRING */, ERROR_INVALID_PARAMETER, -1},
    {"StringFromGUID2", 0, ERROR_INSUFFICIENT_BUFFER, -1},
    {"PathAppendW", FALSE, ERROR_FILENAME_EXCED_RANGE, -1},
    {"PathIsDirectoryW", FALSE, kDenied, -1},
    {"SHDeleteKeyW", kDenied, kDenied, -1},
    {"LoadStringW", 0, ERROR_RESOURCE_NAME_NOT_FOUND, -1},
};

// Taken as unable to fail, with the reason: answers about the process
// itself; releases (a failing stub would leave the object held, a leak of
// the rig's making); locks and waits-free primitives; the unwinder and the
// runtime's start-up (QueryPerformanceCounter cannot fail since Windows XP); pure C library functions without an error answer;
// LoadLibraryA, which only the delay-load helper calls (its failure is the
// helper's designed exception, not an answer the code can give).
const char* const kInfallible[] = {
    "AcquireSRWLockExclusive", "CloseHandle", "CompareStringOrdinal", "DeleteCriticalSection", "EnterCriticalSection", "FindClose",
    "FreeLibrary", "GetCurrentProcess", "GetCurrentProcessId", "GetCurrentThread", "GetCurrentThreadId",
    "GetHandleInformation", "GetLastError", "GetSystemInfo", "GetLocalTime", "GetProcessHeap", "GetSystemTimeAsFileTime",
    "GetThreadPriority", "GetTickCount64", "HeapFree", "InitializeCriticalSection",
    "InitializeCriticalSectionAndSpinCount", "IsDBCSLeadByteEx", "IsDebuggerPresent", "LeaveCriticalSection",
    "LoadLibraryA", "LocalFree", "OutputDebugStringA", "OutputDebugStringW", "RaiseException", "ReleaseSemaphore",
    "QueryPerformanceCounter", "ReleaseSRWLockExclusive",
    "RemoveVectoredExceptionHandler", "ResetEvent", "RtlCaptureContext", "RtlLookupFunctionEntry", "RtlUnwindEx",
    "RtlVirtualUnwind", "SetEvent", "SetLastError", "Sleep", "SwitchToThread", "TlsFree", "TlsGetValue", "TryEnterCriticalSection",
    "VerSetConditionMask", "__C_specific_handler",
    // msvcrt
    "___lc_codepage_func", "___mb_cur_max_func", "__iob_func", "_amsg_exit", "_close", "_endthreadex", "_errno", "_fileno",
    "_initterm", "_lock", "_setjmp", "_time64", "_ultoa", "_unlock", "_wcsicmp", "_wcsnicmp", "abort", "exit",
    "fclose", "free", "iswctype", "iswspace", "localeconv", "longjmp", "memchr", "memcmp", "memcpy", "memmove",
    "memset", "signal", "strcmp", "strerror", "strlen", "strncmp", "towlower", "ungetwc", "wcschr", "wcslen",
    "wcsrchr", "wcsstr", "wcstol", "wcstoul",
    // advapi32 and ole32 releases, ETW answers read inside the control
    // callback (0 is a valid level and flag set)
    "CloseServiceHandle", "CoTaskMemFree", "FreeSid", "GetTraceEnableFlags", "GetTraceEnableLevel", "RegCloseKey",
    "UnregisterTraceGuids",
};

}  // namespace

const FailureRule* FindRule(const char* name) {
  for (const FailureRule& rule : kFallible) {
    if (std::strcmp(rule.name, name) == 0) return &rule;
  }
  return nullptr;
}

bool IsInfallible(const char* name) {
  for (const char* known : kInfallible) {
    if (std::strcmp(known, name) == 0) return true;
  }
  return false;
}

}  // namespace rvqfaults
