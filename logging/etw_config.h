// The ETW backend's machine-wide configuration: the application key (or the
// built-in defaults for "QMW") and the run-time overrides "Enable" and
// "Severity" below the provider key. Read only when the backend initialises
// and when a trace session enables or disables the provider; nothing here
// watches the registry.
#pragma once

#include <windows.h>

#include <string>

#include "logging_if.h"

namespace Trevalk {
class CRegKey;
}

namespace ETWLogging {
namespace internal {

// The loaded application configuration. Copyable. Of its members the backend
// uses providerGuid and the listener rootKey and providerKeyPath; the
// session and controller settings are loaded and carried only. They stay:
// four of them are required values of an application key (a missing one
// fails Load), and the members are the configuration's published shape.
class ETWAppProperties {
 public:
  ETWAppProperties() = default;
  ETWAppProperties(const ETWAppProperties&) = default;
  ETWAppProperties& operator=(const ETWAppProperties&) = default;

  virtual ~ETWAppProperties() = default;
  // Loads once: false, with nothing changed, when already loaded. A null or
  // empty name means "QMW". False when the data folder is unavailable, when
  // the application key exists but lacks a subkey or a required value
  // (members read before the failure keep their values), or when it is
  // absent and the name is not "QMW".
  virtual bool Load(const wchar_t* appName);
  // The ProgramData folder without trailing backslash: 0, or 87.
  virtual DWORD GetDataFolder(std::wstring& out);
  // Takes over appKey's handle (it is detached from appKey).
  virtual bool ReadFromRegistry(const std::wstring& dataFolder, Trevalk::CRegKey& appKey);
  // The built-in defaults; false unless appName is "QMW" (any case).
  virtual bool ApplyDefaults(const std::wstring& dataFolder);
  virtual void GetEtlFileName(std::wstring& out);
  virtual void GetRootKeyPath(std::wstring& out);
  // "<root key path>\<appName>[\<subkey>]".
  virtual void GetAppKeyPath(std::wstring& out, const wchar_t* subkey);

  std::wstring appName;
  std::wstring dataFolder;
  GUID sessionId = {};
  std::wstring sessionName;
  GUID providerGuid = {};
  std::wstring ownerMutexName;
  std::wstring logPath;
  std::wstring etlPath;
  std::wstring etlFile;
  std::wstring controllerPath;
  HKEY rootKey = HKEY_LOCAL_MACHINE;
  std::wstring appKeyPath;
  std::wstring controllerKeyPath;
  std::wstring providerKeyPath;
  std::wstring settingsKeyPath;
};

// Built-in values used when the "QMW" application key is absent.
extern const GUID kDefaultProviderGuid;  // {E16CA450-55CC-11E0-B8AF-0800200C9A66}
extern const GUID kDefaultSessionId;     // {491FB070-54CC-11E0-B8AF-0800200C9A66}

}  // namespace internal

// How the ETW backend hears of configuration changes.
class LoggingConfigListenerIf {
 public:
  // enable and level come from a trace session (or the initial (true, 3));
  // flags are accepted and ignored.
  virtual void OnConfigurationChanged(bool enable, DWORD level, DWORD flags) = 0;
  virtual ~LoggingConfigListenerIf() = default;
};

// Applies a session's enable state and level to its logger, then lets the
// registry have the last word: the provider key, its subkey <group>, then
// <group>\<module base name>. Holds its own copy of the properties; the
// logger is not owned.
class CETWConfigurationListener : public LoggingConfigListenerIf {
 public:
  explicit CETWConfigurationListener(const internal::ETWAppProperties& properties) : properties_(properties) {}

  void OnConfigurationChanged(bool enable, DWORD level, DWORD flags) override;
  ~CETWConfigurationListener() override = default;
  // False when a logger is attached already or `logger` is null.
  virtual bool AttachLogger(CLoggingIf* logger);
  virtual void GetProviderKey(HKEY& root, std::wstring& path);
  // Reads the DWORD values "Enable" and "Severity" of root\path and applies
  // each one that is present; a missing key or value, or another type, is
  // skipped.
  virtual void ApplyRegistryOverrides(HKEY root, const std::wstring& path);

  const internal::ETWAppProperties& properties() const { return properties_; }

 private:
  internal::ETWAppProperties properties_;
  CLoggingIf* logger_ = nullptr;
};

}  // namespace ETWLogging
