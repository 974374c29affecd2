#include "etw_logging.h"

#include <cwchar>
#include <memory>
#include <new>
#include <stdio.h>

#include "common/system_text.h"
#include "etw_event.h"
#include "etw_utf8.h"
#include "exception_guard.h"
#include "format.h"
#include "osinfo/file_version.h"
#include "paths/paths.h"

namespace ETWLogging {
namespace {

// The value GetTraceLoggerHandle answers for a buffer it cannot use.
constexpr TRACEHANDLE kInvalidTraceHandle = static_cast<TRACEHANDLE>(-1);

// ERROR_UNHANDLED_EXCEPTION, which not every SDK's winerror.h defines.
constexpr ULONG kUnhandledException = 574;

constexpr DWORD kRegistrationSpinCount = 4000;

}  // namespace

namespace internal {

std::wstring ReadFileVersionText(const std::wstring& path) {
  Trevalk::FileVersionInfo info;
  if (!info.Load(path)) return std::wstring();
  return etw::NormalizeFileVersion(info.GetString(L"FileVersion"));
}

ModuleIdentity ReadModuleIdentity() {
  ModuleIdentity id;
  HMODULE module = Trevalk::ThisModule();
  if (!module) return id;
  std::wstring folder;
  std::wstring fileName;
  if (!Trevalk::SplitModulePath(module, folder, fileName)) return id;
  id.fullPath = folder + L"\\" + fileName;
  id.fileName = fileName;
  id.version = ReadFileVersionText(id.fullPath);
  return id;
}

}  // namespace internal

CETWLogging::CETWLogging(TraceApi& api) : api_(api), registrationLock_(kRegistrationSpinCount) {}

CETWLogging::~CETWLogging() {
  // During destruction this class's versions run whatever a derived class
  // overrides (its part is already gone): named so, as it runs.
  if (registered_.load() && CETWLogging::DisableAndUnregister() == ERROR_SUCCESS) registered_.store(false);
  registration_.reset();
  // Only now, with the provider gone, can no notification reach the listener.
  listener_.reset();
}

DWORD CETWLogging::Initialize(const wchar_t* logGroup, HMODULE module, const wchar_t* logHost,
                              LoggingConfigListenerIf* listener) {
  return InitializeEx(nullptr, logGroup, module, logHost, listener);
}

DWORD CETWLogging::InitializeEx(const wchar_t* appKey, const wchar_t* logGroup, HMODULE module,
                                const wchar_t* logHost, LoggingConfigListenerIf* listener) {
  if (registered_.load()) return kErrorAlreadyInitialized;
  if (logGroup && !*logGroup) return ERROR_INVALID_PARAMETER;
  groupName_ = logGroup ? logGroup : L"";
  if (logHost && !*logHost) return ERROR_INVALID_PARAMETER;
  hostName_ = logHost ? logHost : L"";
  if (!properties_.Load(appKey)) return ERROR_INVALID_PARAMETER;

  GetModuleFileTitle(processImageName_, nullptr, false);
  GetModuleFileTitle(moduleBaseName_, module, true);
  BuildQualifiedName();

  listener_.reset();
  if (!listener) {
    auto* own = new CETWConfigurationListener(properties_);
    own->AttachLogger(this);
    listener = own;
  }
  listener_.reset(listener);
  listener_->OnConfigurationChanged(true, 3, 0);

  processId_ = GetCurrentProcessId();
  // Read here, with the logger's other state, rather than in a function-local
  // static: its first-use guard would take the thread library's lazily made
  // locks on whichever path logged first.
  internal::ModuleIdentity identity = internal::ReadModuleIdentity();
  moduleFileName_ = std::move(identity.fileName);
  moduleVersion_ = std::move(identity.version);
  SetEventClassGuid();
  return ERROR_SUCCESS;
}

DWORD CETWLogging::Prepare() {
  if (registered_.load()) return ERROR_SUCCESS;
  Trevalk::CriticalSectionLock lock(registrationLock_);
  if (registered_.load()) return ERROR_SUCCESS;
  TRACEHANDLE handle = 0;
  TRACE_GUID_REGISTRATION registration = {&eventClassGuid_, nullptr};
  const ULONG result = api_.RegisterTraceGuidsW(&CETWLogging::ControlCallback, this, &properties_.providerGuid, 1,
                                                &registration, nullptr, nullptr, &handle);
  // Holds the new handle; a handle held before is unregistered now.
  registration_.reset(TraceRegistration{&api_, handle});
  // Also after a failure: a failed registration is not retried.
  registered_.store(true);
  return result;
}

void CETWLogging::GetQualifiedName(std::wstring& name) { name = qualifiedName_; }
void CETWLogging::GetName(std::wstring& name) { name = groupName_; }

DWORD CETWLogging::Uninitialize() {
  if (!registered_.load()) return ERROR_SUCCESS;
  const DWORD result = DisableAndUnregister();
  if (result != ERROR_SUCCESS) return result;
  registered_.store(false);
  return ERROR_SUCCESS;
}

void CETWLogging::SetEnabled(bool enabled) { enabled_.store(enabled, std::memory_order_relaxed); }
bool CETWLogging::GetEnabled() { return enabled_.load(std::memory_order_relaxed); }

void CETWLogging::Log(DWORD severity, const wchar_t* sourceFile, const wchar_t* function, int line,
                      const wchar_t* format, ...) {
  if (!enabled_.load(std::memory_order_relaxed) || !IsEnabled(severity) || !format || !*format) return;
  std::wstring text;
  va_list args;
  va_start(args, format);
  const bool formatted = FormatToString(text, text.max_size() - 1, format, args);
  va_end(args);
  if (!formatted) return;
  WriteEntryEx(severity, sourceFile, function, line, text.c_str());
}

DWORD CETWLogging::WriteEntry(const wchar_t* sourceFile, const wchar_t* function, int line, DWORD severity,
                              const wchar_t* message) {
  WriteEntryEx(severity, sourceFile, function, line, message);
  return ERROR_SUCCESS;
}

int CETWLogging::IsEnabled(DWORD severity) {
  return (severity >= threshold_.load(std::memory_order_relaxed) || severity == kSeverityInformation) ? 1 : 0;
}

void CETWLogging::SetMaxEntries(DWORD) {}
DWORD CETWLogging::GetMaxEntries() { return 0; }
void CETWLogging::SetMaxSize(DWORD) {}
DWORD CETWLogging::GetMaxSize() { return 0; }

DWORD CETWLogging::SetSeverity(DWORD severity) {
  const DWORD clamped = severity > 6 ? 6 : (severity < 1 ? 1 : severity);
  threshold_.store(clamped, std::memory_order_relaxed);
  return internal::ExchangeProcessSeverity(clamped);
}

DWORD CETWLogging::GetSeverity() { return threshold_.load(std::memory_order_relaxed); }
ULONG CETWLogging::AddRef() { return 0; }
ULONG CETWLogging::Release() { return 0; }

DWORD CETWLogging::WriteEntryEx(DWORD severity, const wchar_t* sourceFile, const wchar_t* function, int line,
                                const wchar_t* message) {
  return LogEx(severity, sourceFile, function, line, L"%s", message);
}

DWORD CETWLogging::LogEx(DWORD severity, const wchar_t* sourceFile, const wchar_t* function, int line,
                         const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const DWORD result = LogVEx(severity, sourceFile, function, line, format, args);
  va_end(args);
  return result;
}

DWORD CETWLogging::LogVEx(DWORD severity, const wchar_t* sourceFile, const wchar_t* function, int line,
                          const wchar_t* format, va_list args) {
  if (!format) return ERROR_INVALID_PARAMETER;
  if (!enabled_.load(std::memory_order_relaxed) || !IsEnabled(severity)) return ERROR_SUCCESS;

  // The message and, when it fits, its UTF-8 form share this buffer: the
  // UTF-8 bytes go into the tail the message left free.
  wchar_t buffer[kMessageChars];
  const size_t room = kMessageChars - 1;
  buffer[room - 1] = L'\0';  // tells a cut output (filled) from a rejected format
  const int n = _vsnwprintf(buffer, room, format, args);
  size_t converted = 0;
  if (n >= 0 && static_cast<size_t>(n) <= room) {
    converted = static_cast<size_t>(n);
  } else if (buffer[room - 1] != L'\0') {
    buffer[room] = L'\0';  // cut: 2079 characters and the terminating zero
    converted = kMessageChars;
  } else {
    return ERROR_INVALID_PARAMETER;  // the formatter rejected the format
  }

  std::unique_ptr<char[]> overflow;
  const etw::Utf8Message utf8 = etw::ConvertMessageToUtf8(buffer, kMessageChars, converted, overflow);

  etw::ContextFields fields;
  FillContextRecord(sourceFile, function, line, fields);
  fields.messageBytes = utf8.size;
  etw::InlineByteBuffer context;
  etw::AppendContextBlock(context, fields);

  etw::TraceEventRecord event;
  etw::FillTraceEvent(event, eventClassGuid_, severity, context.data(), static_cast<ULONG>(context.size()),
                      utf8.bytes, static_cast<ULONG>(utf8.size));
  // Without a session the handle is 0 and the call fails; the message is lost.
  api_.TraceEvent(sessionHandle_.load(std::memory_order_relaxed), &event.header);
  return ERROR_SUCCESS;
}

bool CETWLogging::IsCurrentSession(TRACEHANDLE handle) { return handle == sessionHandle_.load(); }

DWORD CETWLogging::OnControlRequest(WMIDPREQUESTCODE code, void* buffer) {
  switch (code) {
    case WMI_ENABLE_EVENTS: {
      SetLastError(ERROR_SUCCESS);
      const TRACEHANDLE handle = api_.GetTraceLoggerHandle(buffer);
      if (handle == kInvalidTraceHandle) return GetLastError();
      if (sessionHandle_.load() == 0) {
        sessionHandle_.store(handle);
      } else if (!IsCurrentSession(handle)) {
        return ERROR_SUCCESS;  // the first session keeps the provider
      }
      if (!listener_) return ERROR_SUCCESS;
      const UCHAR level = api_.GetTraceEnableLevel(handle);
      if (level == 0) return GetLastError();
      const ULONG flags = api_.GetTraceEnableFlags(handle);
      listener_->OnConfigurationChanged(true, level, flags);
      return ERROR_SUCCESS;
    }
    case WMI_DISABLE_EVENTS: {
      if (listener_) listener_->OnConfigurationChanged(false, threshold_.load(), 0);
      const TRACEHANDLE handle = api_.GetTraceLoggerHandle(buffer);
      const TRACEHANDLE current = sessionHandle_.load();
      if (handle != kInvalidTraceHandle && current != 0 && handle == current) sessionHandle_.store(0);
      return ERROR_SUCCESS;
    }
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

namespace {

struct ControlRequest {
  CETWLogging* logger;
  WMIDPREQUESTCODE code;
  void* buffer;
};

ULONG HandleControlRequest(void* argument) {
  const ControlRequest* request = static_cast<const ControlRequest*>(argument);
  // C++ exceptions end here; structured ones (faults) in the guard around.
  try {
    return request->logger->OnControlRequest(request->code, request->buffer);
  } catch (...) {
    return kUnhandledException;
  }
}

}  // namespace

ULONG WINAPI CETWLogging::ControlCallback(WMIDPREQUESTCODE code, void* context, ULONG* /*bufferSize*/,
                                          void* buffer) {
  if (!context) return ERROR_INVALID_PARAMETER;
  // Nothing may escape into the system's notification thread: a C++
  // exception or a fault (an access violation, say) answers 574.
  ControlRequest request = {static_cast<CETWLogging*>(context), code, buffer};
  ULONG result = kUnhandledException;
  DWORD exceptionCode = 0;
  if (!internal::CallWithExceptionGuard(&HandleControlRequest, &request, &result, &exceptionCode)) {
    return kUnhandledException;
  }
  return result;
}

void CETWLogging::SetEventClassGuid() { eventClassGuid_ = etw::kEventClassGuid; }

void CETWLogging::GetModuleFileTitle(std::wstring& out, HMODULE module, bool strip) {
  std::wstring folder;
  std::wstring fileName;
  out.clear();
  if (!Trevalk::SplitModulePath(module, folder, fileName)) return;
  if (strip) {
    const size_t dot = fileName.rfind(L'.');
    if (dot != std::wstring::npos) fileName.resize(dot);
  }
  out = fileName;
}

void CETWLogging::BuildQualifiedName() {
  qualifiedName_ = groupName_;
  if (!moduleBaseName_.empty()) qualifiedName_ += L"\\" + moduleBaseName_;
}

DWORD CETWLogging::UnregisterProvider() {
  Trevalk::CriticalSectionLock lock(registrationLock_);
  if (!registration_) return ERROR_SUCCESS;
  // The one unregistration whose result is reported: taken from the owner
  // and made here.
  const TraceRegistration held = registration_.release();
  const DWORD result = held.api->UnregisterTraceGuids(held.handle);
  registered_.store(false);
  return result;
}

DWORD CETWLogging::DisableAndUnregister() {
  // Virtual on purpose; reached from the destructor as well, where this
  // class's versions are the ones meant.
  SetEnabled(false);             // NOLINT(clang-analyzer-optin.cplusplus.VirtualCall)
  return UnregisterProvider();   // NOLINT(clang-analyzer-optin.cplusplus.VirtualCall)
}

DWORD CETWLogging::MapSeverityToLevel(DWORD severity) { return etw::MapSeverityToLevel(severity); }

void CETWLogging::FillContextRecord(const wchar_t* sourceFile, const wchar_t* function, int line,
                                    etw::ContextFields& record) {
  record.processId = processId_;
  record.threadId = GetCurrentThreadId();
  record.sourceFile = sourceFile;
  record.function = function;
  record.line = line;
  record.groupName = groupName_.c_str();
  record.groupNameLength = groupName_.size();
  if (!record.moduleFileName) {
    record.moduleFileName = moduleFileName_.c_str();
    record.moduleFileNameLength = moduleFileName_.size();
  }
  record.moduleVersion = moduleVersion_.c_str();
  record.moduleVersionLength = moduleVersion_.size();
  record.processImageName = processImageName_.c_str();
  record.processImageNameLength = processImageName_.size();
}

}  // namespace ETWLogging
