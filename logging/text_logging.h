// CLogging: the text log file writer. Each entry is one UTF-16 line in a
// small ring of files below <ProgramData>\Bryxen\BXLOGS\; before each write
// the writer moves on to the next file once the current one has reached
// MaxSize. Limits, threshold and line layout come from two optional log.ini
// files (the log folder's and the log root's), read once at Initialize
// through the obfuscated INI reader: plain values in them are ignored.
//
// Each entry opens the file, writes one line and closes it again; no handle
// stays open between entries. Entries from several threads are written one
// after another: the open file and the ring's index are shared state.
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>

#include "common/unique_handle.h"
#include "logging_if.h"
#include "paths/folder_security.h"

namespace Trevalk {
class SecurityApiTable;
}

namespace ETWLogging {

class CLogging : public CLoggingIf {
 public:
  CLogging();
  CLogging(const CLogging&) = delete;
  CLogging& operator=(const CLogging&) = delete;

  ~CLogging() override;
  // Sets up names and paths and reads log.ini; the listener is ignored.
  // kErrorAlreadyInitialized when already initialised (nothing changes);
  // ERROR_INVALID_PARAMETER for an empty (but given) group or host, or when
  // the log root is unavailable; ERROR_OUTOFMEMORY when the executable's
  // path cannot be split or a copy fails. On failure the object
  // is back in its constructed state.
  DWORD Initialize(const wchar_t* logGroup, HMODULE module, const wchar_t* logHost,
                   LoggingConfigListenerIf* listener) override;
  DWORD Prepare() override;
  void GetQualifiedName(std::wstring& name) override;
  void GetName(std::wstring& name) override;
  // 0 and back to the constructed state, or 20002 when not initialised.
  DWORD Uninitialize() override;
  void SetEnabled(bool enabled) override;
  bool GetEnabled() override;
  // Filtered by Enable and the threshold, cut at 4159 characters.
  void Log(DWORD severity, const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format,
           ...) override;
  // Writes one line (no threshold or Enable test). 87 when a folder on the
  // way to the log folder is not a folder, or it, the log file or the
  // folder's log.ini is a link, or a folder on the way has an owner the
  // writer does not trust (paths/folder_security.h); logging is then off for
  // good: the writer runs with the rights of its process, and every user may
  // create folders and files below ProgramData. The folders it creates get
  // the protected access list, and one that others may change is taken
  // back; when that, or creating one, fails, the entry answers the error
  // and the next entry tries again. 87 also for an empty message
  // or a severity outside 1..6; otherwise the error of opening, creating,
  // positioning in or writing the file, or 0. A file found without its
  // byte-order mark is started again.
  DWORD WriteEntry(const wchar_t* sourceFile, const wchar_t* function, int line, DWORD severity,
                   const wchar_t* message) override;
  int IsEnabled(DWORD severity) override;
  void SetMaxEntries(DWORD count) override;  // 2..100
  DWORD GetMaxEntries() override;
  void SetMaxSize(DWORD bytes) override;  // 262144..10485760
  DWORD GetMaxSize() override;
  // Clamps to 1..6; returns the previous process-wide severity.
  DWORD SetSeverity(DWORD severity) override;
  DWORD GetSeverity() override;
  // Counted (see CLoggingIf for who holds the references): Release deletes
  // the object when the count reaches 0.
  ULONG AddRef() override;
  ULONG Release() override;
  // Copies the ProgramData folder (no trailing backslash) into buffer. 87
  // for a null buffer or when the folder cannot be obtained; 122 when it
  // does not fit (buffer untouched); 0 otherwise.
  virtual DWORD GetLogRoot(wchar_t* buffer, size_t capacity);
  // The access-control functions the folder checks use; null (the
  // default): the system's.
  virtual Trevalk::SecurityApiTable* FolderSecurityApi() { return nullptr; }

  // Where the writer puts things; empty before Initialize.
  const std::wstring& LogFolder() const { return logFolder_; }
  const std::wstring& FolderIniPath() const { return folderIni_; }
  const std::wstring& RootIniPath() const { return rootIni_; }
  std::wstring LogFilePathFor(DWORD index) const;
  const std::wstring& LogName() const { return logName_; }
  bool HasExecutableName() const { return hasExecutableName_; }
  bool HasSuffix() const { return hasSuffix_; }
  DWORD GetOptions() const { return options_; }

 private:
  enum class FolderCheck { kArmed, kPassed, kFailed };

  void Reset();
  void ReadConfiguration();
  DWORD CheckFolder();
  DWORD DropFile(DWORD error);
  const Trevalk::FolderChainRules& FolderRules(bool create);
  void SwitchOff();
  DWORD OpenCurrentLogFile();
  DWORD OpenBelowMaxSize(DWORD index, bool& full);
  DWORD MoveRingTo(DWORD index);
  DWORD CreateLogFile(DWORD index);
  DWORD ReadLastLogIdx();
  DWORD StoreLastLogIdx(DWORD index);

  DWORD initialised_ = 0;
  std::wstring groupName_;
  bool hasGroup_ = false;
  std::wstring logName_;
  std::wstring executableName_;
  bool hasExecutableName_ = false;
  DWORD processId_ = 0;
  std::wstring suffix_;
  bool hasSuffix_ = false;
  std::wstring logFolder_;
  Trevalk::UniqueFileHandle file_;
  // Serialises WriteEntry and Uninitialize within the process: both use
  // file_, and one rotation must finish before the next entry reads the index.
  std::mutex writeLock_;
  std::atomic<LONG> refCount_{0};
  DWORD maxSize_;
  DWORD maxEntries_;
  DWORD threshold_;
  DWORD options_;
  std::wstring rootIni_;
  std::wstring folderIni_;
  DWORD enable_;
  FolderCheck folderCheck_ = FolderCheck::kArmed;
  // The deepest folder on the way to the log folder that Initialize found
  // real (not a link); the folder check verifies the levels below it once
  // it has created them.
  std::wstring verifiedFolder_;
  std::wstring programData_;
  Trevalk::FolderChainRules folderRules_;
};

}  // namespace ETWLogging
