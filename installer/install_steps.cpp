// Pre-install and post-install steps.
#include "install_steps.h"

#include <windows.h>
#include <shlobj.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "common/bounded_string.h"
#include "module_state.h"
#include "paths/folder_security.h"
#include "paths/paths.h"
#include "registry/security_api_table.h"
#include "step_text.h"

namespace checkrvq {
namespace {

// `given` when set, else the shell's answer for `folderId` (through
// `shell`, null: the shell itself). False when the shell has no answer
// (Error line logged: a folder tree put in its place would be one the
// product never reads), or when the folder does not fit the buffer.
bool ResolveFolder(const wchar_t* given, REFKNOWNFOLDERID folderId, const wchar_t* name, Trevalk::ShlObjAPI* shell,
                   wchar_t (&folder)[kPathChars]) {
  if (given) return Trevalk::CopyString(folder, kPathChars, given);
  std::wstring path;
  const HRESULT hr = Trevalk::GetKnownFolderPath(folderId, 0, path, shell);
  if (FAILED(hr)) {
    LogStep(ETWLogging::kSeverityError, L"PreInstall", log_line::kDataFolderUnknown,
            L"detectRVQ.dll PreInstall(): Data file not moved: the %s folder could not be found. Error code:0x%08X",
            name, static_cast<unsigned>(hr));
    return false;
  }
  return Trevalk::CopyString(folder, kPathChars, path.c_str());
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

// An owner other than the trusted ones (folder_security.h) may have shaped
// the place: its file keeps its planter's rights, and a folder would stay
// hers to change.
void LogNotTrusted(const wchar_t* place) {
  LogStep(ETWLogging::kSeverityError, L"PreInstall", log_line::kDataPlaceNotTrusted,
          L"detectRVQ.dll PreInstall(): Data file not moved: [%s] is not owned by the system, the administrators "
          L"or the installing user. Error code:%d",
          place, static_cast<int>(Trevalk::kErrorUntrustedOwner));
}

// The target folder, or its parent, could not be created with the
// protected access list, or an existing one that others may change could
// not be taken back.
void LogNotProtected(const wchar_t* folder, DWORD error) {
  LogStep(ETWLogging::kSeverityError, L"PreInstall", log_line::kDataFolderNotProtected,
          L"detectRVQ.dll PreInstall(): Data file not moved: [%s] could not be created or protected from other "
          L"users. Error code:%d",
          folder, static_cast<int>(error));
}

// The target folder and its parent as the data file's home: missing levels
// created with the protected access list, existing ones judged and taken
// back when others may change them, all real folders, pinned in `pins`.
// Logs the Error line and answers false otherwise.
bool SecureTargetFolder(const wchar_t* commonAppData, const wchar_t* targetFolder,
                        Trevalk::FolderChainRules& rules, std::vector<Trevalk::UniqueFileHandle>& pins) {
  std::wstring failedAt;
  const DWORD error = Trevalk::CheckRealFolderChain(commonAppData, targetFolder, &failedAt, &pins, &rules);
  switch (error) {
    case ERROR_SUCCESS:
      return true;
    case Trevalk::kErrorReparsePointEncountered:
    case ERROR_DIRECTORY:
      LogNotMoved(failedAt.c_str(), error);
      return false;
    case Trevalk::kErrorUntrustedOwner:
      LogNotTrusted(failedAt.c_str());
      return false;
    default:
      LogNotProtected(failedAt.c_str(), error);
      return false;
  }
}

// Renames the file open as `source` (with DELETE) to `targetFile`, never
// replacing a file there. The rename works on the file that was checked,
// whatever has happened to its name since.
DWORD RenameByHandle(HANDLE source, const wchar_t* targetFile) {
  const size_t chars = wcslen(targetFile);
  std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + (chars + 1) * sizeof(wchar_t));
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(chars * sizeof(wchar_t));
  memcpy(info->FileName, targetFile, (chars + 1) * sizeof(wchar_t));
  return SetFileInformationByHandle(source, FileRenameInfo, info, static_cast<DWORD>(buffer.size()))
             ? ERROR_SUCCESS
             : GetLastError();
}

enum class MoveOutcome {
  kStopped,  // a link or an owner that is not trusted (Error line logged)
  kMoved,
  kAbsent,   // nothing to move there
  kFailed,   // the file is there but did not move (`error` says why)
};

// Moves `from` to `targetFile` when the way to it is real and the file's
// owner is trusted, and gives the moved file the access list it inherits
// from the protected target folder: whoever could change it where it was
// keeps no right to it.
MoveOutcome MoveAlongRealPath(const wchar_t* root, const wchar_t* from, const wchar_t* targetFile,
                              Trevalk::FolderAccess& access, DWORD& error) {
  std::vector<Trevalk::UniqueFileHandle> pins;
  if (!RealPathTo(root, from, pins)) return MoveOutcome::kStopped;
  Trevalk::UniqueFileHandle source(CreateFileW(from, DELETE | READ_CONTROL | WRITE_DAC,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!source) {
    error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? MoveOutcome::kAbsent
                                                                          : MoveOutcome::kFailed;
  }
  if (access.CheckOwner(source.get()) != ERROR_SUCCESS) {
    LogNotTrusted(from);
    return MoveOutcome::kStopped;
  }
  error = RenameByHandle(source.get(), targetFile);
  if (error == ERROR_NOT_SAME_DEVICE) {
    // Another volume: only a copy can move it. The copy is made by this
    // step, in the protected folder, and is given its list below.
    source.reset();
    if (!MoveFileExW(from, targetFile, MOVEFILE_COPY_ALLOWED)) {
      error = GetLastError();
      return MoveOutcome::kFailed;
    }
    source.reset(CreateFileW(targetFile, READ_CONTROL | WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    error = source ? ERROR_SUCCESS : GetLastError();
  }
  if (error != ERROR_SUCCESS) return MoveOutcome::kFailed;
  const DWORD reset = access.InheritFromFolder(source.get());
  if (reset != ERROR_SUCCESS) {
    LogStep(ETWLogging::kSeverityError, L"PreInstall", log_line::kDataFileAccessNotReset,
            L"detectRVQ.dll PreInstall(): Access list of [%s] not reset. Error code:%d", targetFile,
            static_cast<int>(reset));
  }
  return MoveOutcome::kMoved;
}

// The "Moving file" line goes with a move that happened, or with a file
// that was not there; a file that stayed where it was says so with the
// error instead. True when that was the case.
// Writes "<folder><rest>" into a path buffer of the step; a path that does
// not fit is logged and refused, never cut.
bool DataPath(wchar_t* path, const wchar_t* folder, const wchar_t* rest) {
  if (FormatWhole(path, kPathChars, L"%s%s", folder, rest)) return true;
  LogStep(ETWLogging::kSeverityError, L"PreInstall", log_line::kDataPathTooLong,
          L"detectRVQ.dll PreInstall(): Data file not moved: the path under [%s] does not fit. Error code:%d", folder,
          static_cast<int>(ERROR_FILENAME_EXCED_RANGE));
  return false;
}

bool LogMoveFailure(MoveOutcome outcome, DWORD error, const wchar_t* from) {
  if (outcome != MoveOutcome::kFailed) return false;
  LogStep(ETWLogging::kSeverityError, L"PreInstall", log_line::kDataFileMoveFailed,
          L"detectRVQ.dll PreInstall(): Data file not moved from %s. Error code:%d", from, static_cast<int>(error));
  return true;
}

// Moves "bxdndb.dat" from its two earlier locations to `targetFile`, the
// first old location first. Every failure is passed over: the product then
// simply starts without its old data. A link on the way, an owner that is
// not trusted, or a target folder that cannot be made the administrators'
// stops the whole migration.
void MigrateDataFile(const DataFileFolders& folders, const wchar_t* commonAppData, const wchar_t* targetFile,
                     const wchar_t* targetFolder) {
  Trevalk::SecurityApiTable systemSecurity;
  Trevalk::FolderChainRules rules;
  rules.security = Trevalk::FolderSecurity::kTakeBack;
  rules.create = true;
  rules.api = folders.security ? folders.security : &systemSecurity;
  // The product folder's parent may be missing on a fresh machine. What was
  // created (or found) stays pinned so that none is swapped for a link
  // before the moves are done.
  std::vector<Trevalk::UniqueFileHandle> targetPins;
  if (!SecureTargetFolder(commonAppData, targetFolder, rules, targetPins)) return;
  const DWORD targetAttributes = GetFileAttributesW(targetFile);
  if (targetAttributes != INVALID_FILE_ATTRIBUTES && (targetAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    LogNotMoved(targetFile, Trevalk::kErrorReparsePointEncountered);
    return;
  }
  Trevalk::FolderAccess access(*rules.api);

  wchar_t firstOld[kPathChars];
  bool firstStays = false;
  if (DataPath(firstOld, commonAppData, L"\\BryxenOnline\\RVQ\\bxdndb.dat")) {
    DWORD error = ERROR_SUCCESS;
    const MoveOutcome outcome = MoveAlongRealPath(commonAppData, firstOld, targetFile, access, error);
    if (outcome == MoveOutcome::kStopped) return;
    if (!LogMoveFailure(outcome, error, firstOld)) {
      LogStep(ETWLogging::kSeverityNormal, L"PreInstall", log_line::kMovingFirstDataFile,
              L"detectRVQ.dll PreInstall(): Moving file from %s", firstOld);
    }
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
  if (!ResolveFolder(folders.programFiles, FOLDERID_ProgramFiles, L"program-files", folders.shell, programFiles) ||
      !DataPath(secondOld, programFiles, L"\\BryxenOnline\\RVQ\\bxdndb.dat")) {
    return;
  }
  DWORD error = ERROR_SUCCESS;
  const MoveOutcome outcome = MoveAlongRealPath(programFiles, secondOld, targetFile, access, error);
  if (outcome == MoveOutcome::kStopped || LogMoveFailure(outcome, error, secondOld)) return;
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
  if (ResolveFolder(folders.commonAppData, FOLDERID_ProgramData, L"common application-data", folders.shell,
                    commonAppData) &&
      DataPath(targetFile, commonAppData, L"\\Bryxen\\RVQ\\bxdndb.dat") &&
      DataPath(targetFolder, commonAppData, L"\\Bryxen\\RVQ") &&
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
