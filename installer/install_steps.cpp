// Pre-install and post-install steps.
#include "install_steps.h"

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "common/bounded_string.h"
#include "module_state.h"
#include "paths/paths.h"
#include "step_text.h"

namespace checkrvq {
namespace {

constexpr const wchar_t* kCommonAppDataFallback = L"C:\\Documents and Settings\\All Users\\Application Data";
constexpr const wchar_t* kProgramFilesFallback = L"C:\\Program Files";

// `given` when set, else the shell's answer for `csidl`, else `fallback`.
// False when the folder does not fit the buffer.
bool ResolveFolder(const wchar_t* given, int csidl, const wchar_t* fallback, wchar_t (&folder)[kPathChars]) {
  if (given) return Trevalk::CopyString(folder, kPathChars, given);
  folder[0] = L'\0';
  if (SHGetSpecialFolderPathW(nullptr, folder, csidl, FALSE)) return true;
  return Trevalk::CopyString(folder, kPathChars, fallback);
}

// Hands the host a new zeroed StepResult through `result` (when the host
// asked for one). False, with the host's pointer null, when it cannot be
// allocated.
bool HandOverStepResult(StepResult** result) {
  if (!result) return true;
  *result = static_cast<StepResult*>(AllocateHostBlock(sizeof(StepResult)));
  return *result != nullptr;
}

// True only when `path` is known to be absent (not merely unreadable).
bool Absent(const wchar_t* path) {
  if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) return false;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// The step runs elevated, and every user may create folders in the common
// application-data folder: a link planted there (as "Bryxen", "Bryxen\RVQ",
// "BryxenOnline\RVQ" or the data file itself) would make the move take a
// file from, or put it into, a place of the user's choosing. So the data
// file moves only along real folders and files.
void LogNotMoved(const wchar_t* offender, DWORD error) {
  LogStep(ETWLogging::kSeverityError, L"PreInstall", log_line::kDataFileNotMoved,
          L"detectRVQ.dll PreInstall(): Data file not moved: [%s] is a link or not a real folder or file. "
          L"Error code:%d",
          offender, static_cast<int>(error));
}

// Checks the folders from `root` down to the folder of `file`, and `file`
// itself, keeping the folders pinned in `pins`. True when nothing on the way
// is a link: every level is a real folder, or missing (the move then simply
// fails), and the file is absent or not a link. Logs the Error line
// otherwise.
bool RealPathTo(const wchar_t* root, const wchar_t* file, std::vector<Trevalk::UniqueFileHandle>& pins) {
  const std::wstring path(file);
  std::wstring failedAt;
  const DWORD error =
      Trevalk::CheckRealFolderChain(root, path.substr(0, path.find_last_of(L'\\')), &failedAt, &pins);
  if (error == ERROR_PATH_NOT_FOUND) return true;
  if (error != ERROR_SUCCESS) {
    LogNotMoved(failedAt.c_str(), error);
    return false;
  }
  const DWORD attributes = GetFileAttributesW(file);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    LogNotMoved(file, Trevalk::kErrorReparsePointEncountered);
    return false;
  }
  return true;
}

// Moves `from` to `targetFile` when the way to it is real. False when a
// link stopped it.
bool MoveAlongRealPath(const wchar_t* root, const wchar_t* from, const wchar_t* targetFile) {
  std::vector<Trevalk::UniqueFileHandle> pins;
  if (!RealPathTo(root, from, pins)) return false;
  MoveFileW(from, targetFile);
  return true;
}

// Moves "bxdndb.dat" from its two earlier locations to `targetFile`, the
// first old location first. Every failure is passed over: the product then
// simply starts without its old data. A link on the way stops the whole
// migration.
void MigrateDataFile(const DataFileFolders& folders, const wchar_t* commonAppData, const wchar_t* targetFile,
                     const wchar_t* targetFolder) {
  // The product folder's parent may be missing on a fresh machine. What was
  // created (or found) must be real folders, and stays pinned so that none
  // is swapped for a link before the moves are done. A folder that could
  // not be created needs no answer here: the move into it then fails, which
  // is passed over like every other failure of this step.
  static_cast<void>(Trevalk::CreateDirectoryPath(targetFolder));
  std::vector<Trevalk::UniqueFileHandle> targetPins;
  if (!RealPathTo(commonAppData, targetFile, targetPins)) return;

  wchar_t firstOld[kPathChars];
  bool firstStays = false;
  if (FormatWhole(firstOld, kPathChars, L"%s\\BryxenOnline\\RVQ\\bxdndb.dat", commonAppData)) {
    if (!MoveAlongRealPath(commonAppData, firstOld, targetFile)) return;
    LogStep(ETWLogging::kSeverityNormal, L"PreInstall", log_line::kMovingFirstDataFile,
            L"detectRVQ.dll PreInstall(): Moving file from %s", firstOld);
    firstStays = !Absent(firstOld);
  }
  if (Trevalk::PathExists(targetFile)) return;
  // The first location holds the newer file. When it is still there (the old
  // service may hold it open until installation stops it), the older copy
  // in the program-files folder must not take its place: a later PreInstall
  // would then never move the newer one.
  if (firstStays) return;

  wchar_t programFiles[kPathChars];
  wchar_t secondOld[kPathChars];
  if (!ResolveFolder(folders.programFiles, CSIDL_PROGRAM_FILES, kProgramFilesFallback, programFiles) ||
      !FormatWhole(secondOld, kPathChars, L"%s\\BryxenOnline\\RVQ\\bxdndb.dat", programFiles)) {
    return;
  }
  if (!MoveAlongRealPath(programFiles, secondOld, targetFile)) return;
  // The text is fixed: it names the usual program-files folder whatever the
  // machine's is.
  LogStep(ETWLogging::kSeverityNormal, L"PreInstall", log_line::kMovingSecondDataFile,
          L"detectRVQ.dll PreInstall(): Moving file from C:\\Program Files\\BryxenOnline\\RVQ\\bxdndb.dat");
}

// Whether the data file has to be migrated: not when it is already in place,
// nor when the way to its place is not real (Error line logged).
bool NeedsMigration(const wchar_t* commonAppData, const wchar_t* targetFile) {
  std::vector<Trevalk::UniqueFileHandle> pins;
  return RealPathTo(commonAppData, targetFile, pins) && !Trevalk::PathExists(targetFile);
}

}  // namespace


DWORD PreInstallIn(const DataFileFolders& folders, StepResult** result, DWORD* canBeInstalled) {
  LogStep(ETWLogging::kSeverityNormal, L"PreInstall", log_line::kPreInstallStart,
          L"detectRVQ.dll PreInstall(): Starting pre-install step.");
  if (!HandOverStepResult(result)) return kResultOutOfMemory;
  const DWORD flag = 1;
  if (canBeInstalled) *canBeInstalled = flag;
  LogStep(ETWLogging::kSeverityNormal, L"PreInstall", log_line::kCanBeInstalled,
          L"detectRVQ.dll PreInstall(): bCanBeInstalled = %i.", static_cast<int>(flag));

  wchar_t commonAppData[kPathChars];
  wchar_t targetFile[kPathChars];
  wchar_t targetFolder[kPathChars];
  // A folder too long for the buffers is left alone rather than cut.
  if (ResolveFolder(folders.commonAppData, CSIDL_COMMON_APPDATA, kCommonAppDataFallback, commonAppData) &&
      FormatWhole(targetFile, kPathChars, L"%s\\Bryxen\\RVQ\\bxdndb.dat", commonAppData) &&
      FormatWhole(targetFolder, kPathChars, L"%s\\Bryxen\\RVQ", commonAppData) &&
      NeedsMigration(commonAppData, targetFile)) {
    MigrateDataFile(folders, commonAppData, targetFile, targetFolder);
  }

  LogStep(ETWLogging::kSeverityNormal, L"PreInstall", log_line::kPreInstallDone,
          L"detectRVQ.dll PreInstall(): Pre-install step complete.");
  return 0;
}

}  // namespace checkrvq

namespace checkrvq {
namespace {

// An export's body with the host's two out-parameters at their failure
// values first (no StepResult, flag 0), so that a host never reads what was
// never written. The body makes its StepResult in a slot of ours; the host
// gets it only when the body succeeded, and a failure (also one that escaped
// the body: the C++ runtime out of memory) releases it and hands over
// nothing.
template <typename Body>
DWORD RunStepExport(StepResult** result, DWORD* flag, Body&& body) noexcept {
  if (result) *result = nullptr;
  if (flag) *flag = 0;
  StepResult* made = nullptr;
  DWORD answer = GuardedEntry(kResultOutOfMemory, [&]() -> DWORD { return body(result ? &made : nullptr, flag); });
  HostBlock<StepResult> owned(made, ProcessHostHeap());
  if (answer == 0 && result && !owned) answer = kResultOutOfMemory;
  if (answer != 0) {
    if (flag) *flag = 0;
    return answer;
  }
  if (result) *result = owned.HandOver();
  return 0;
}

}  // namespace
}  // namespace checkrvq

extern "C" DWORD PreInstall(void*, void*, StepResult** result, DWORD* canBeInstalled) {
  return checkrvq::RunStepExport(result, canBeInstalled, [](StepResult** slot, DWORD* flag) {
    return checkrvq::PreInstallIn({}, slot, flag);
  });
}

extern "C" DWORD PostInstall(void*, void*, StepResult** result, DWORD* needsReboot) {
  using namespace checkrvq;
  return RunStepExport(result, needsReboot, [](StepResult** slot, DWORD* reboot) -> DWORD {
    LogStep(ETWLogging::kSeverityNormal, L"PostInstall", log_line::kPostInstallStart,
            L"detectRVQ.dll PostInstall(): Starting post-install step.");
    if (!HandOverStepResult(slot)) return kResultOutOfMemory;
    const DWORD flag = 0;
    if (reboot) *reboot = flag;
    LogStep(ETWLogging::kSeverityNormal, L"PostInstall", log_line::kNeedsReboot,
            L"detectRVQ.dll PostInstall(): bNeedsReboot = %i.", static_cast<int>(flag));
    LogStep(ETWLogging::kSeverityNormal, L"PostInstall", log_line::kPostInstallDone,
            L"detectRVQ.dll PostInstall(): Post-install step complete.");
    return 0;
  });
}
