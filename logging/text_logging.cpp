#include "text_logging.h"

#include <shlobj.h>

#include <cstring>
#include <cwchar>

#include "common/bounded_string.h"
#include "format.h"
#include "ini/ini_reader.h"
#include "paths/folder_security.h"
#include "paths/paths.h"
#include "text_log_format.h"

namespace ETWLogging {
namespace {

constexpr const wchar_t* kConfigSection = L"Config";
// Threshold that no severity reaches: logging is off for good.
constexpr DWORD kThresholdOff = 10000;
constexpr size_t kRootChars = 260;

std::wstring ParentFolder(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

constexpr BYTE kByteOrderMark[2] = {0xFF, 0xFE};

// Opened without following a link at the file itself, should one appear
// after the attribute query that looked for it.
constexpr DWORD kLogFileFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;

// A reader that leaves a log.ini over the size limit alone.
class LogIni : public Trevalk::CObfuscatedIniReader {
 public:
  LogIni() { SetSizeLimit(textlog::kMaxIniBytes); }
};

// One setting: the folder ini first, then the root ini. A value out of range
// is replaced by the default in the file that holds it.
template <typename Apply>
void ResolveSetting(LogIni& folderIni, LogIni& rootIni,
                    const wchar_t* key, DWORD defaultValue, Apply apply) {
  int value = 0;
  if (folderIni.GetInt(kConfigSection, key, value)) {
    if (textlog::IsAcceptedSetting(key, value)) {
      apply(static_cast<DWORD>(value));
      return;
    }
    if (!folderIni.WriteInt(kConfigSection, key, static_cast<int>(defaultValue))) return;
  }
  if (rootIni.GetInt(kConfigSection, key, value)) {
    if (textlog::IsAcceptedSetting(key, value)) {
      apply(static_cast<DWORD>(value));
      return;
    }
    if (!rootIni.WriteInt(kConfigSection, key, static_cast<int>(defaultValue))) return;
  }
  apply(defaultValue);
}

}  // namespace

CLogging::CLogging() { Reset(); }

CLogging::~CLogging() { Reset(); }

void CLogging::Reset() {
  groupName_.clear();
  hasGroup_ = false;
  logName_.clear();
  executableName_.clear();
  hasExecutableName_ = false;
  processId_ = 0;
  suffix_.clear();
  hasSuffix_ = false;
  logFolder_.clear();
  rootIni_.clear();
  folderIni_.clear();
  file_.reset();
  maxSize_ = textlog::kDefaultMaxSize;
  maxEntries_ = textlog::kDefaultMaxEntries;
  threshold_ = textlog::kDefaultThreshold;
  options_ = textlog::kDefaultOptions;
  enable_ = textlog::kDefaultEnable;
  refCount_.store(0);
  initialised_ = 0;
  folderCheck_ = FolderCheck::kArmed;
  verifiedFolder_.clear();
  programData_.clear();
}

DWORD CLogging::GetLogRoot(wchar_t* buffer, size_t capacity) {
  if (!buffer) return ERROR_INVALID_PARAMETER;
  std::wstring folder;
  if (FAILED(Trevalk::GetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE, folder))) return ERROR_INVALID_PARAMETER;
  return Trevalk::CopyString(buffer, capacity, folder.c_str()) ? ERROR_SUCCESS : ERROR_INSUFFICIENT_BUFFER;
}

DWORD CLogging::Initialize(const wchar_t* logGroup, HMODULE module, const wchar_t* logHost,
                           LoggingConfigListenerIf* /*listener*/) {
  if (initialised_) return kErrorAlreadyInitialized;
  if (logGroup && !*logGroup) return ERROR_INVALID_PARAMETER;
  if (logHost && !*logHost) return ERROR_INVALID_PARAMETER;

  const DWORD result = [&]() -> DWORD {
    if (logGroup) {
      groupName_ = logGroup;
      hasGroup_ = true;
    }
    std::wstring folder;
    std::wstring fileName;
    if (!Trevalk::SplitModulePath(nullptr, folder, fileName)) return ERROR_OUTOFMEMORY;
    executableName_ = fileName;
    hasExecutableName_ = true;
    logName_ = textlog::StripExtension(fileName);
    // A module names the log instead of the executable.
    if (module && Trevalk::SplitModulePath(module, folder, fileName)) {
      executableName_.clear();
      hasExecutableName_ = false;
      logName_ = textlog::StripExtension(fileName);
    }
    if (logHost) {
      suffix_ = logHost;
      hasSuffix_ = true;
    }

    if ((hasGroup_ && groupName_.empty()) || logName_.empty()) return ERROR_INVALID_PARAMETER;
    wchar_t programData[kRootChars];
    if (GetLogRoot(programData, kRootChars) != ERROR_SUCCESS) return ERROR_INVALID_PARAMETER;
    const std::wstring root = textlog::LogRootPath(programData);
    logFolder_ = textlog::LogFolderPath(root, hasGroup_ ? groupName_.c_str() : nullptr, logName_);
    folderIni_ = logFolder_ + L"\\log.ini";
    rootIni_ = root + L"log.ini";

    // Every folder from ProgramData down to the log folder must be real,
    // and the administrators' (taken back when others may change it),
    // before anything below it is read or written; missing levels are
    // created and checked by the folder check at the first entry.
    std::wstring failedAt;
    programData_ = programData;
    switch (Trevalk::CheckRealFolderChain(programData, logFolder_, &failedAt, nullptr, &FolderRules(false))) {
      case ERROR_SUCCESS:
        verifiedFolder_ = logFolder_;
        ReadConfiguration();
        break;
      case ERROR_PATH_NOT_FOUND:
        verifiedFolder_ = ParentFolder(failedAt);
        ReadConfiguration();
        break;
      case Trevalk::kErrorReparsePointEncountered:
      case Trevalk::kErrorUntrustedOwner:
        SwitchOff();
        break;
      default:  // not a folder, unreadable, or not taken back: the folder check decides
        verifiedFolder_ = programData;
        ReadConfiguration();
        break;
    }
    processId_ = GetCurrentProcessId();
    initialised_ = 1;
    return ERROR_SUCCESS;
  }();
  if (result != ERROR_SUCCESS) Reset();
  return result;
}

void CLogging::ReadConfiguration() {
  bool folderIniIsLink = false;
  bool rootIniIsLink = false;
  const bool haveFolderIni = Trevalk::PathExists(folderIni_.c_str(), &folderIniIsLink);
  const bool haveRootIni = Trevalk::PathExists(rootIni_.c_str(), &rootIniIsLink);
  // A value out of range is written back: never through a link.
  if (folderIniIsLink || rootIniIsLink) {
    SwitchOff();
    return;
  }
  if (!haveFolderIni && !haveRootIni) return;
  LogIni folderIni;
  LogIni rootIni;
  folderIni.Load(folderIni_);
  rootIni.Load(rootIni_);
  ResolveSetting(folderIni, rootIni, L"Enable", textlog::kDefaultEnable,
                 [this](DWORD v) { enable_ = v != 0 ? 1 : 0; });
  ResolveSetting(folderIni, rootIni, L"MaxSize", textlog::kDefaultMaxSize, [this](DWORD v) { SetMaxSize(v); });
  ResolveSetting(folderIni, rootIni, L"MaxEntries", textlog::kDefaultMaxEntries,
                 [this](DWORD v) { SetMaxEntries(v); });
  ResolveSetting(folderIni, rootIni, L"Severity", textlog::kDefaultThreshold, [this](DWORD v) { threshold_ = v; });
  ResolveSetting(folderIni, rootIni, L"Options", textlog::kDefaultOptions, [this](DWORD v) { options_ = v; });
}

DWORD CLogging::Prepare() { return ERROR_SUCCESS; }
void CLogging::GetQualifiedName(std::wstring&) {}
void CLogging::GetName(std::wstring&) {}

DWORD CLogging::Uninitialize() {
  std::lock_guard<std::mutex> writing(writeLock_);
  if (!initialised_) return kErrorNotInitialized;
  Reset();
  return ERROR_SUCCESS;
}

void CLogging::SetEnabled(bool enabled) { enable_ = enabled ? 1 : 0; }
bool CLogging::GetEnabled() { return enable_ == 1; }

void CLogging::Log(DWORD severity, const wchar_t* sourceFile, const wchar_t* function, int line,
                   const wchar_t* format, ...) {
  if (enable_ == 0 || severity < threshold_) return;
  wchar_t buffer[kFormatBufferChars];
  va_list args;
  va_start(args, format);
  const size_t kept = FormatTruncating(buffer, kFormatBufferChars, format, args);
  va_end(args);
  if (kept == kFormatFailed) return;  // dropped: there is no message to write
  WriteEntry(sourceFile, function, line, severity, buffer);
}

// Never retried: the writer stays silent for the life of the object.
void CLogging::SwitchOff() {
  folderCheck_ = FolderCheck::kFailed;
  enable_ = 0;
  threshold_ = kThresholdOff;
}

const Trevalk::FolderChainRules& CLogging::FolderRules(bool create) {
  folderRules_.security = Trevalk::FolderSecurity::kTakeBack;
  folderRules_.create = create;
  folderRules_.api = FolderSecurityApi();
  return folderRules_;
}

DWORD CLogging::CheckFolder() {
  if (folderCheck_ == FolderCheck::kArmed) {
    // The levels below the verified folder were missing at Initialize: they
    // are created now with the protected access list, and what stands there
    // must be what was created (or a folder the writer may use), not a link
    // planted since. A log folder found at Initialize and since removed is
    // made again from the top.
    const bool found = verifiedFolder_ == logFolder_;
    const DWORD error = found && Trevalk::IsDirectory(logFolder_.c_str())
                            ? ERROR_SUCCESS
                            : Trevalk::CheckRealFolderChain(found ? programData_ : verifiedFolder_, logFolder_,
                                                            nullptr, nullptr, &FolderRules(true));
    switch (error) {
      case ERROR_SUCCESS:
        folderCheck_ = FolderCheck::kPassed;
        break;
      // What stands in the way will not go by itself: logging stays off.
      case Trevalk::kErrorReparsePointEncountered:
      case Trevalk::kErrorUntrustedOwner:
      case ERROR_DIRECTORY:
        SwitchOff();
        break;
      default:
        // A call that failed (memory, handles, a folder that could not be
        // made or taken back): this entry is lost with that error, the next
        // one checks again, so one failure does not silence the process.
        return error;
    }
  }
  return folderCheck_ == FolderCheck::kPassed ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

DWORD CLogging::WriteEntry(const wchar_t* sourceFile, const wchar_t* function, int line, DWORD severity,
                           const wchar_t* message) {
  std::lock_guard<std::mutex> writing(writeLock_);
  const DWORD folder = CheckFolder();
  if (folder != ERROR_SUCCESS) return folder;
  if (!message || !*message) return ERROR_INVALID_PARAMETER;
  DWORD result = OpenCurrentLogFile();
  if (result != ERROR_SUCCESS && result != ERROR_ALREADY_EXISTS) return result;

  textlog::LineParts parts;
  GetLocalTime(&parts.time);
  parts.severity = severity;
  parts.options = options_;
  parts.executableName = hasExecutableName_ ? executableName_.c_str() : nullptr;
  parts.processId = processId_;
  parts.threadId = GetCurrentThreadId();
  parts.sourceFile = sourceFile;
  parts.function = function;
  parts.line = line;
  parts.message = message;
  std::wstring text;
  result = textlog::BuildLogLine(parts, text);
  if (result == ERROR_SUCCESS) {
    const DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    DWORD written = 0;
    if (!WriteFile(file_.get(), text.data(), bytes, &written, nullptr)) result = GetLastError();
    if ((options_ & textlog::kOptionDebugOutput) && !text.empty()) OutputDebugStringW(text.c_str());
  }
  file_.reset();
  return result;
}

std::wstring CLogging::LogFilePathFor(DWORD index) const {
  return textlog::LogFilePath(logFolder_, logName_, hasSuffix_ ? suffix_.c_str() : nullptr, index);
}

DWORD CLogging::ReadLastLogIdx() {
  if (!Trevalk::PathExists(folderIni_.c_str())) return 0;
  LogIni ini;
  ini.Load(folderIni_);
  int value = 0;
  return ini.GetInt(kConfigSection, L"LastLogIdx", value) ? static_cast<DWORD>(value) : 0;
}

DWORD CLogging::StoreLastLogIdx(DWORD index) {
  if (folderIni_.empty()) return ERROR_INVALID_PARAMETER;
  bool isLink = false;
  if (Trevalk::PathExists(folderIni_.c_str(), &isLink) && isLink) {
    SwitchOff();
    return ERROR_INVALID_PARAMETER;
  }
  LogIni ini;
  ini.Load(folderIni_);  // a missing file is created by the write
  return ini.WriteInt(kConfigSection, L"LastLogIdx", static_cast<int>(index)) ? ERROR_SUCCESS
                                                                               : ERROR_INVALID_PARAMETER;
}

DWORD CLogging::CreateLogFile(DWORD index) {
  const std::wstring path = LogFilePathFor(index);
  file_.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          CREATE_ALWAYS, kLogFileFlags | FILE_ATTRIBUTE_ARCHIVE, nullptr));
  if (!file_) return GetLastError();
  DWORD written = 0;
  if (!WriteFile(file_.get(), kByteOrderMark, sizeof(kByteOrderMark), &written, nullptr)) {
    return DropFile(GetLastError());
  }
  return ERROR_SUCCESS;
}

// The ring: files <name>000.log .. <name>(MaxEntries-1).log, the current
// index kept as "LastLogIdx" in the folder ini. The size test comes before
// the entry is written, so a file may grow past MaxSize by its last entry.
DWORD CLogging::OpenCurrentLogFile() {
  if (logFolder_.empty() || logName_.empty() || (hasSuffix_ && suffix_.empty())) return ERROR_INVALID_PARAMETER;
  if (file_) return ERROR_ALREADY_EXISTS;

  const DWORD index = ReadLastLogIdx();
  // MaxEntries was lowered below the stored index: start the ring again.
  if (index >= maxEntries_) return MoveRingTo(0);
  bool full = false;
  const DWORD result = OpenBelowMaxSize(index, full);
  return full ? MoveRingTo(index + 1 < maxEntries_ ? index + 1 : 0) : result;
}

// Opens log file `index` at its end while it is below MaxSize, creates it
// when it does not exist, and only sets `full` when it has reached MaxSize.
DWORD CLogging::OpenBelowMaxSize(DWORD index, bool& full) {
  full = false;
  const std::wstring path = LogFilePathFor(index);
  // One attribute query rather than a directory search (open, query,
  // close): the same existence and size, at a third of the system calls.
  WIN32_FILE_ATTRIBUTE_DATA found;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &found)) return CreateLogFile(index);
  if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    SwitchOff();
    return ERROR_INVALID_PARAMETER;
  }
  if (found.nFileSizeLow >= maxSize_) {
    full = true;
    return ERROR_SUCCESS;
  }
  file_.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, kLogFileFlags, nullptr));
  if (!file_) return GetLastError();
  // A file that does not start with the byte-order mark (one whose mark
  // could not be written, or not the writer's) is started again: lines
  // appended to it would not read as UTF-16.
  BYTE start[sizeof kByteOrderMark] = {};
  DWORD got = 0;
  if (!ReadFile(file_.get(), start, sizeof start, &got, nullptr)) return DropFile(GetLastError());
  if (got != sizeof start || memcmp(start, kByteOrderMark, sizeof start) != 0) {
    file_.reset();
    return CreateLogFile(index);
  }
  // The entry is written only at the end it found: where the pointer could
  // not be moved, it would overwrite what is there.
  LARGE_INTEGER none{};
  if (!SetFilePointerEx(file_.get(), none, nullptr, FILE_END)) return DropFile(GetLastError());
  return ERROR_SUCCESS;
}

DWORD CLogging::DropFile(DWORD error) {
  file_.reset();
  return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

// Makes `index` the current file. The old file of that index is replaced
// only when the folder ini keeps the new index: one that cannot (read-only,
// or holding the writes where they are not read back) would bring every
// later entry back here, and each would empty the file the one before it
// wrote. Then the file is appended to until it is full, as the current one.
DWORD CLogging::MoveRingTo(DWORD index) {
  if (StoreLastLogIdx(index) == ERROR_SUCCESS && ReadLastLogIdx() == index) return CreateLogFile(index);
  bool full = false;
  const DWORD result = OpenBelowMaxSize(index, full);
  return full ? CreateLogFile(index) : result;
}

int CLogging::IsEnabled(DWORD severity) { return severity >= threshold_ ? 1 : 0; }
void CLogging::SetMaxEntries(DWORD count) { maxEntries_ = textlog::ClampMaxEntries(count); }
DWORD CLogging::GetMaxEntries() { return maxEntries_; }
void CLogging::SetMaxSize(DWORD bytes) { maxSize_ = textlog::ClampMaxSize(bytes); }
DWORD CLogging::GetMaxSize() { return maxSize_; }

DWORD CLogging::SetSeverity(DWORD severity) {
  threshold_ = textlog::ClampSeverity(severity);
  return internal::ExchangeProcessSeverity(threshold_);
}

DWORD CLogging::GetSeverity() { return threshold_; }
ULONG CLogging::AddRef() { return static_cast<ULONG>(++refCount_); }

ULONG CLogging::Release() {
  const LONG left = --refCount_;
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

}  // namespace ETWLogging
