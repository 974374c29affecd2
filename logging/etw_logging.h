// CETWLogging: the Event Tracing for Windows backend. It registers the
// process as a classic (MOF) provider on the first Prepare and sends each
// message that passes its filters as one 80-byte event through TraceEvent to
// whichever session enabled the provider (to handle 0, i.e. nowhere, when
// none did). Enable and disable notifications arrive on a thread of the
// system's choosing and are applied through the configuration listener.
//
// The six ETW functions are reached through TraceApi (default: advapi32).
#pragma once

#include <windows.h>
#include <evntrace.h>

#include <atomic>
#include <cstdarg>
#include <memory>
#include <string>

#include "common/unique_handle.h"
#include "etw_config.h"
#include "etw_context_block.h"
#include "etw_trace_api.h"
#include "logging_if.h"

namespace ETWLogging {

class CETWLogging : public CLoggingIf_ex {
 public:
  // Capacity of the message buffer in UTF-16 characters: a longer message is
  // sent as its first 2079 characters and the terminating zero.
  static constexpr size_t kMessageChars = 2080;

  // `api` must outlive the object.
  explicit CETWLogging(TraceApi& api = SystemTraceApi());
  CETWLogging(const CETWLogging&) = delete;
  CETWLogging& operator=(const CETWLogging&) = delete;

  // Unregisters the provider, then deletes the listener, so that no
  // notification reaches a deleted listener.
  ~CETWLogging() override;
  DWORD Initialize(const wchar_t* logGroup, HMODULE module, const wchar_t* logHost,
                   LoggingConfigListenerIf* listener) override;
  // Registers the provider on the first call; that call's result is
  // RegisterTraceGuidsW's, later calls return 0. A failed registration is
  // not retried.
  DWORD Prepare() override;
  void GetQualifiedName(std::wstring& name) override;
  void GetName(std::wstring& name) override;
  DWORD Uninitialize() override;
  void SetEnabled(bool enabled) override;
  bool GetEnabled() override;
  void Log(DWORD severity, const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format,
           ...) override;
  DWORD WriteEntry(const wchar_t* sourceFile, const wchar_t* function, int line, DWORD severity,
                   const wchar_t* message) override;
  // 1 when severity >= threshold or severity is 3 (Information always
  // passes); the Enable flag is not looked at.
  int IsEnabled(DWORD severity) override;
  void SetMaxEntries(DWORD count) override;
  DWORD GetMaxEntries() override;
  void SetMaxSize(DWORD bytes) override;
  DWORD GetMaxSize() override;
  // Clamps to 1..6.
  DWORD SetSeverity(DWORD severity) override;
  DWORD GetSeverity() override;
  // Not reference-counted (the context owns the backend, see CLoggingIf):
  // both return 0 and do nothing.
  ULONG AddRef() override;
  ULONG Release() override;
  // Loads the configuration (once per object: a second call fails with 87,
  // or kErrorAlreadyInitialized once registered), sets the names, installs
  // the listener (the given one or a new CETWConfigurationListener) and
  // applies the registry overrides once. 87 for an empty (but given) group or host or a failed
  // Load. A given listener belongs to the backend once this returns 0 (it is
  // installed unchanged, not attached); on failure it stays the caller's.
  // Does not register the provider.
  DWORD InitializeEx(const wchar_t* appKey, const wchar_t* logGroup, HMODULE module, const wchar_t* logHost,
                     LoggingConfigListenerIf* listener) override;
  DWORD WriteEntryEx(DWORD severity, const wchar_t* sourceFile, const wchar_t* function, int line,
                     const wchar_t* message) override;
  // Sends one event; 87 without a format, otherwise 0 (a failed TraceEvent
  // is ignored). Allocates only for long messages or long names; an
  // allocation failure throws std::bad_alloc and sends nothing.
  DWORD LogVEx(DWORD severity, const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format,
               va_list args) override;
  virtual DWORD LogEx(DWORD severity, const wchar_t* sourceFile, const wchar_t* function, int line,
                      const wchar_t* format, ...);
  virtual bool IsCurrentSession(TRACEHANDLE handle);
  // Handles WMI_ENABLE_EVENTS and WMI_DISABLE_EVENTS; 87 for other codes.
  virtual DWORD OnControlRequest(WMIDPREQUESTCODE code, void* buffer);
  virtual void SetEventClassGuid();
  // File name of `module` (null: the executable), without its extension
  // when `strip` is set; empty when the path has no backslash.
  virtual void GetModuleFileTitle(std::wstring& out, HMODULE module, bool strip);
  virtual void BuildQualifiedName();
  virtual DWORD UnregisterProvider();
  virtual DWORD DisableAndUnregister();
  virtual DWORD MapSeverityToLevel(DWORD severity);
  // Fills the context block of an event: this object's ids and names and
  // the caller's place; the module file name only when the record has none
  // yet. Strings point into the logger and stay valid while it lives.
  // LogVEx builds every event's block with it.
  virtual void FillContextRecord(const wchar_t* sourceFile, const wchar_t* function, int line,
                                 etw::ContextFields& record);

  // For tests and diagnostics.
  TRACEHANDLE SessionHandle() const { return sessionHandle_.load(); }
  TRACEHANDLE RegistrationHandle() const { return registration_.get().handle; }
  bool IsRegistered() const { return registered_.load(); }
  const internal::ETWAppProperties& Properties() const { return properties_; }
  LoggingConfigListenerIf* Listener() const { return listener_.get(); }
  const std::wstring& ModuleFileName() const { return moduleFileName_; }
  const std::wstring& ModuleVersion() const { return moduleVersion_; }
  const std::wstring& ProcessImageName() const { return processImageName_; }
  const GUID& EventClassGuid() const { return eventClassGuid_; }

 private:
  static ULONG WINAPI ControlCallback(WMIDPREQUESTCODE code, void* context, ULONG* bufferSize, void* buffer);

  TraceApi& api_;
  std::atomic<bool> registered_{false};
  Trevalk::UniqueCriticalSection registrationLock_;
  DWORD processId_ = 0;
  GUID eventClassGuid_ = {};
  std::unique_ptr<LoggingConfigListenerIf> listener_;
  std::atomic<bool> enabled_{true};
  std::atomic<DWORD> threshold_{3};
  std::wstring groupName_;
  std::wstring hostName_;
  std::wstring processImageName_;
  std::wstring moduleBaseName_;
  std::wstring qualifiedName_;
  std::wstring moduleFileName_;
  std::wstring moduleVersion_;
  std::atomic<TRACEHANDLE> sessionHandle_{0};
  UniqueTraceRegistration registration_;
  internal::ETWAppProperties properties_;
};

namespace internal {

// The module that contains the logging code: full path, file name and
// FileVersion ("a.b.c.d" when the resource gives "a, b, c, d"). Empty
// strings when unavailable. Read by each logger's initialisation.
struct ModuleIdentity {
  std::wstring fullPath;
  std::wstring fileName;
  std::wstring version;
};
ModuleIdentity ReadModuleIdentity();

// The FileVersion string of a file's version resource (the first translation
// that has one), normalised as above; empty on any failure.
std::wstring ReadFileVersionText(const std::wstring& path);

}  // namespace internal
}  // namespace ETWLogging
