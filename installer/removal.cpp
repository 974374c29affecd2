// Incompatible-product removal: runs the maker's cleaner from the library's
// own folder twice, hidden and one after the other, with that folder as
// current directory.
#include <windows.h>

#include <cwchar>
#include <memory>
#include <new>

#include "common/bounded_string.h"
#include "common/unique_handle.h"
#include "entry_points.h"
#include "module_state.h"
#include "step_text.h"

namespace checkrvq {
namespace {

// The command lines keep the cleaner's bare name as their first word; the
// program itself is always started by its full path in the library's
// folder. A search by name would look in the host program's folder first
// (an installer runs elevated from wherever it was saved, beside whatever
// else was saved there), then in the current directory, the system folders
// and PATH.
const wchar_t* const kCleanerCommands[] = {
    L"bxclean.exe -p RVQ -d -s -silent -m",
    L"bxclean.exe -p purgix -d -s -silent -m",
};
constexpr size_t kCommandChars = 64;

// Starts the cleaner at `program` (null: there is none) hidden with
// `commandLine` and waits for it to end. False when the process could not
// be created. Its exit code is of no interest.
bool RunCleaner(const wchar_t* program, const wchar_t* commandLine) {
  if (!program) return false;
  // CreateProcessW may write into its command line: hand it our own copy.
  wchar_t command[kCommandChars];
  if (!Trevalk::CopyString(command, kCommandChars, commandLine)) return false;

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(program, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    return false;
  }
  Trevalk::UniqueKernelHandle process(info.hProcess);
  Trevalk::UniqueKernelHandle thread(info.hThread);
  WaitForSingleObject(process.get(), INFINITE);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.get(), &exitCode);
  return true;
}

// The folder of the module loaded as checkrvq.dll. False when there is no
// such module (logged) or its path does not fit.
bool FindLibraryFolder(wchar_t (&folder)[kModuleDirChars]) {
  folder[0] = L'\0';
  HMODULE module = GetModuleHandleW(L"checkrvq.dll");
  if (!module) {
    LogStep(ETWLogging::kSeverityError, L"UninstallIncompatible", log_line::kNoModuleHandle,
            L"Unable to get module handle for checkrvq.dll");
    return false;
  }
  GetModuleDirectory(module, folder, kModuleDirChars);
  return folder[0] != L'\0';
}

// Makes `folder` the current directory. False when it was not changed
// (nothing then needs restoring).
bool EnterFolder(const wchar_t* folder) {
  // "X:" alone would mean the drive's own current directory, not its root.
  wchar_t directory[kModuleDirChars];
  const wchar_t* format = folder[0] != L'\0' && folder[1] == L':' && folder[2] == L'\0' ? L"%s\\" : L"%s";
  return FormatWhole(directory, kModuleDirChars, format, folder) && SetCurrentDirectoryW(directory) != FALSE;
}

}  // namespace
}  // namespace checkrvq

extern "C" DWORD UninstallIncompatible() {
  using namespace checkrvq;
  return GuardedEntry(kResultUnexpected, []() -> DWORD {
    LogStep(ETWLogging::kSeverityNormal, L"UninstallIncompatible", log_line::kRemovalStart,
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
    wchar_t folder[kModuleDirChars];
    const bool found = FindLibraryFolder(folder);
    wchar_t cleaner[kPathChars];
    // Without the library's folder there is no cleaner of ours to start.
    const bool located = found && FormatWhole(cleaner, kPathChars, L"%s\\bxclean.exe", folder);
    const bool changed = saved && found && EnterFolder(folder);

    const wchar_t* program = located ? cleaner : nullptr;
    RunCleaner(program, kCleanerCommands[0]);  // its outcome does not matter
    const DWORD result = RunCleaner(program, kCleanerCommands[1]) ? 0 : kResultUnexpected;

    if (changed) SetCurrentDirectoryW(saved.get());
    LogStep(ETWLogging::kSeverityNormal, L"UninstallIncompatible", log_line::kRemovalDone,
            L"detectRVQ.dll UninstallIncompatible(): Done incompatible uninstallation.");
    return result;
  });
}
