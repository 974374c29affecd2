// Incompatible-product removal: runs the maker's cleaner from the library's
// own folder twice, hidden and one after the other, with that folder as
// current directory.
#include <windows.h>

#include <cwchar>
#include <memory>
#include <new>

#include "common/bounded_string.h"
#include "common/current_directory.h"
#include "common/unique_handle.h"
#include "entry_points.h"
#include "module_state.h"
#include "removal.h"
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
// How long a cleaner whose wait failed is given to end once terminated.
constexpr DWORD kCleanerEndMilliseconds = 30000;

enum class CleanerRun { kEnded, kNotStarted, kWaitFailed };

// Starts the cleaner at `program` hidden with `commandLine` and waits for
// it to end. When the wait fails the cleaner is ended (and waited for once
// more, bounded), so that no run goes on past this call unless the system
// refuses that too. Each failure is logged. Its exit code is of no interest.
CleanerRun RunCleaner(const wchar_t* program, const wchar_t* commandLine, CleanerWait wait) {
  // CreateProcessW may write into its command line: hand it our own copy.
  wchar_t command[kCommandChars];
  if (!Trevalk::CopyString(command, kCommandChars, commandLine)) return CleanerRun::kNotStarted;

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(program, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    LogStep(ETWLogging::kSeverityError, L"UninstallIncompatible", log_line::kCleanerNotStarted,
            L"detectRVQ.dll UninstallIncompatible(): Unable to start [%s]. Error code:%d", program,
            static_cast<int>(GetLastError()));
    return CleanerRun::kNotStarted;
  }
  Trevalk::UniqueKernelHandle process(info.hProcess);
  Trevalk::UniqueKernelHandle thread(info.hThread);
  const DWORD waited = wait(process.get(), INFINITE);
  if (waited == WAIT_OBJECT_0) return CleanerRun::kEnded;
  const DWORD error = waited == WAIT_FAILED ? GetLastError() : waited;
  const bool ended = TerminateProcess(process.get(), ERROR_CANCELLED) &&
                     WaitForSingleObject(process.get(), kCleanerEndMilliseconds) == WAIT_OBJECT_0;
  LogStep(ETWLogging::kSeverityError, L"UninstallIncompatible", log_line::kCleanerWaitFailed,
          L"detectRVQ.dll UninstallIncompatible(): Unable to wait for [%s], run %s. Error code:%d", command,
          ended ? L"ended" : L"may still be running", static_cast<int>(error));
  return CleanerRun::kWaitFailed;
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

// Both cleaner runs in `folder`, the library's: the current directory is
// that folder while they run, or they do not run at all (never in the
// host's). E_UNEXPECTED unless the second run started and was waited for.
DWORD RunCleanersIn(const wchar_t* folder, const wchar_t* cleaner, CleanerWait wait) {
  Trevalk::ScopedCurrentDirectory directory;
  if (!directory.saved()) {
    LogStep(ETWLogging::kSeverityError, L"UninstallIncompatible", log_line::kRemovalDirectoryNotSaved,
            L"detectRVQ.dll UninstallIncompatible(): Unable to save the current directory, cleaner not started. "
            L"Error code:%d",
            static_cast<int>(directory.error()));
    return kResultUnexpected;
  }
  if (!directory.Enter(folder)) {
    LogStep(ETWLogging::kSeverityError, L"UninstallIncompatible", log_line::kRemovalFolderNotEntered,
            L"detectRVQ.dll UninstallIncompatible(): Unable to enter [%s], cleaner not started. Error code:%d", folder,
            static_cast<int>(directory.error()));
    return kResultUnexpected;
  }
  // The first run's exit decides nothing, but a failed wait is a failed
  // run: no second run may overlap it, and the call fails.
  DWORD result = kResultUnexpected;
  if (RunCleaner(cleaner, kCleanerCommands[0], wait) != CleanerRun::kWaitFailed) {
    result = RunCleaner(cleaner, kCleanerCommands[1], wait) == CleanerRun::kEnded ? 0 : kResultUnexpected;
  }
  if (!directory.Restore()) {
    LogStep(ETWLogging::kSeverityError, L"UninstallIncompatible", log_line::kRemovalDirectoryNotRestored,
            L"detectRVQ.dll UninstallIncompatible(): Unable to restore the current directory. Error code:%d",
            static_cast<int>(directory.error()));
  }
  return result;
}

}  // namespace

DWORD RemoveIncompatible(CleanerWait wait) {
  LogStep(ETWLogging::kSeverityNormal, L"UninstallIncompatible", log_line::kRemovalStart,
          L"detectRVQ.dll UninstallIncompatible(): Starting incompatible uninstallation.");
  wchar_t folder[kModuleDirChars];
  wchar_t cleaner[kPathChars];
  // Without the library's folder there is no cleaner of ours to start.
  const DWORD result = FindLibraryFolder(folder) && FormatWhole(cleaner, kPathChars, L"%s\\bxclean.exe", folder)
                           ? RunCleanersIn(folder, cleaner, wait)
                           : kResultUnexpected;
  LogStep(ETWLogging::kSeverityNormal, L"UninstallIncompatible", log_line::kRemovalDone,
          L"detectRVQ.dll UninstallIncompatible(): Done incompatible uninstallation.");
  return result;
}

}  // namespace checkrvq

extern "C" DWORD UninstallIncompatible() {
  return checkrvq::GuardedEntry(kResultUnexpected, [] { return checkrvq::RemoveIncompatible(WaitForSingleObject); });
}
