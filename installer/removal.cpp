// Incompatible-product removal: runs the maker's cleaner twice, hidden and
// one after the other, from the library's own folder.
#include <windows.h>
#include <shlwapi.h>

#include <cwchar>
#include <memory>
#include <new>

#include "common/bounded_string.h"
#include "common/unique_handle.h"
#include "entry_points.h"
#include "module_state.h"

namespace checkrvq {
namespace {

// Found by CreateProcessW's program search, which includes the current
// directory: hence the library's folder as current directory while they run.
const wchar_t* const kCleanerCommands[] = {
    L"bxclean.exe -p RVQ -d -s -silent -m",
    L"bxclean.exe -p purgix -d -s -silent -m",
};
constexpr size_t kCommandChars = 64;

// Starts one cleaner run hidden and waits for it to end. False when the
// process could not be created. Its exit code is of no interest.
bool RunCleaner(const wchar_t* commandLine) {
  // CreateProcessW may write into its command line: hand it our own copy.
  wchar_t command[kCommandChars];
  if (!Trevalk::CopyString(command, kCommandChars, commandLine)) return false;

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    return false;
  }
  Trevalk::UniqueKernelHandle process(info.hProcess);
  Trevalk::UniqueKernelHandle thread(info.hThread);
  WaitForSingleObject(process.get(), INFINITE);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.get(), &exitCode);
  return true;
}

// Makes the folder of checkrvq.dll the current directory. False when the
// directory was not changed (nothing then needs restoring).
bool EnterLibraryFolder() {
  HMODULE module = GetModuleHandleW(L"checkrvq.dll");
  if (!module) {
    LogStep(ETWLogging::kSeverityError, L"UninstallIncompatible", 140, L"Unable to get module handle for checkrvq.dll");
    return false;
  }
  wchar_t folder[kModuleDirChars] = {};
  const DWORD length = GetModuleFileNameW(module, folder, kModuleDirChars);
  // A cut path would name another folder.
  if (length == 0 || length >= kModuleDirChars) return false;
  PathRemoveFileSpecW(folder);
  return SetCurrentDirectoryW(folder) != FALSE;
}

}  // namespace
}  // namespace checkrvq

extern "C" DWORD UninstallIncompatible() {
  using namespace checkrvq;
  return GuardedEntry(kResultUnexpected, []() -> DWORD {
    LogStep(ETWLogging::kSeverityNormal, L"UninstallIncompatible", 104,
            L"detectRVQ.dll UninstallIncompatible(): Starting incompatible uninstallation.");

    std::unique_ptr<wchar_t[]> saved;
    const DWORD needed = GetCurrentDirectoryW(0, nullptr);
    if (needed != 0) {
      saved.reset(new (std::nothrow) wchar_t[static_cast<size_t>(needed) + 1]());
      if (saved) {
        const DWORD read = GetCurrentDirectoryW(needed + 1, saved.get());
        // A directory that grew in between does not fit: not saved.
        if (read == 0 || read > needed) saved.reset();
      }
    }
    const bool changed = saved && EnterLibraryFolder();

    RunCleaner(kCleanerCommands[0]);  // its outcome does not matter
    const DWORD result = RunCleaner(kCleanerCommands[1]) ? 0 : kResultUnexpected;

    if (changed) SetCurrentDirectoryW(saved.get());
    LogStep(ETWLogging::kSeverityNormal, L"UninstallIncompatible", 198,
            L"detectRVQ.dll UninstallIncompatible(): Done incompatible uninstallation.");
    return result;
  });
}
