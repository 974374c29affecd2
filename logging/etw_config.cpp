#include "etw_config.h"

#include <shlobj.h>

#include <cwchar>
#include <stdio.h>

#include "paths/paths.h"
#include "registry/obfuscated_reg_key.h"
#include "registry/reg_key.h"

namespace ETWLogging {
namespace internal {

const GUID kDefaultProviderGuid = {0xE16CA450, 0x55CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
const GUID kDefaultSessionId = {0x491FB070, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};

namespace {

constexpr const wchar_t* kDefaultAppName = L"QMW";
constexpr const wchar_t* kDefaultLogPath = L"\\Bryxen\\BXLOGS";
constexpr const wchar_t* kDefaultEtlPath = L"\\Bryxen\\BXLOGS\\ETW";

std::wstring Format2(const wchar_t* format, const wchar_t* a, const wchar_t* b) {
  const int length = _scwprintf(format, a, b);
  if (length < 0) return std::wstring();
  std::wstring out(static_cast<size_t>(length) + 1, L'\0');
  _snwprintf(&out[0], out.size(), format, a, b);
  out.resize(static_cast<size_t>(length));
  return out;
}

}  // namespace

bool ETWAppProperties::Load(const wchar_t* name) {
  if (!appName.empty()) return false;
  appName = (name && *name) ? name : kDefaultAppName;
  if (dataFolder.empty() && GetDataFolder(dataFolder) != ERROR_SUCCESS) return false;

  std::wstring path;
  GetAppKeyPath(path, nullptr);
  Trevalk::CRegKey appKey;
  if (appKey.Open(rootKey, path.c_str(), KEY_QUERY_VALUE) == ERROR_SUCCESS) {
    const bool read = ReadFromRegistry(dataFolder, appKey);
    appKey.Close();
    return read;
  }
  return ApplyDefaults(dataFolder);
}

DWORD ETWAppProperties::GetDataFolder(std::wstring& out) {
  return SUCCEEDED(Trevalk::GetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE, out)) ? ERROR_SUCCESS
                                                                                           : ERROR_INVALID_PARAMETER;
}

bool ETWAppProperties::ReadFromRegistry(const std::wstring& folder, Trevalk::CRegKey& appKey) {
  Trevalk::CObfuscatedRegKey app;
  app.Attach(appKey.Detach());

  Trevalk::CObfuscatedRegKey session;
  Trevalk::CObfuscatedRegKey provider;
  Trevalk::CObfuscatedRegKey controller;
  if (session.Open(app.Handle(), L"Session", KEY_QUERY_VALUE) != ERROR_SUCCESS) return false;
  if (provider.Open(app.Handle(), L"Provider", KEY_QUERY_VALUE) != ERROR_SUCCESS) return false;
  if (controller.Open(app.Handle(), L"Controller", KEY_QUERY_VALUE) != ERROR_SUCCESS) return false;

  GetAppKeyPath(appKeyPath, nullptr);
  GetAppKeyPath(controllerKeyPath, L"Controller");
  GetAppKeyPath(providerKeyPath, L"Provider");
  settingsKeyPath = appKeyPath;

  std::wstring value;
  if (app.QueryStringValue(L"Log Path", value) != ERROR_SUCCESS) value = kDefaultLogPath;
  logPath = folder + value;  // the stored value brings its own leading backslash
  if (app.QueryStringValue(L"ETL Path", value) != ERROR_SUCCESS) value = kDefaultEtlPath;
  etlPath = folder + value;
  std::wstring etlName;
  GetEtlFileName(etlName);
  etlFile = etlPath + L"\\" + etlName;

  if (controller.QueryStringValue(L"Controller Path", controllerPath) != ERROR_SUCCESS) return false;
  if (controller.QueryStringValue(L"Owner Mutex Name", ownerMutexName) != ERROR_SUCCESS) return false;
  if (session.QueryGUIDValue(L"Session ID Guid", sessionId) != ERROR_SUCCESS) return false;
  if (session.QueryStringValue(L"Session Name", sessionName) != ERROR_SUCCESS) return false;
  if (provider.QueryGUIDValue(L"Provider Guid", providerGuid) != ERROR_SUCCESS) return false;
  return true;
}

bool ETWAppProperties::ApplyDefaults(const std::wstring& folder) {
  if (_wcsicmp(appName.c_str(), kDefaultAppName) != 0) return false;
  appKeyPath = L"SOFTWARE\\Bryxen\\Logging";
  settingsKeyPath = appKeyPath;
  controllerKeyPath = L"SOFTWARE\\Bryxen\\Logging\\Controller";
  providerKeyPath = L"SOFTWARE\\Bryxen\\Logging\\Provider";
  logPath = folder + kDefaultLogPath;
  etlPath = folder + kDefaultEtlPath;
  std::wstring etlName;
  GetEtlFileName(etlName);
  etlFile = etlPath + L"\\" + etlName;
  ownerMutexName = L"Global\\Bryxen.{0696D115-BE52-46c3-BFEE-D73A305B6581}";
  sessionId = kDefaultSessionId;
  sessionName = L"Bryxen.{E4367DA7-2B80-47f3-86D2-7626A18FC6F4}";
  providerGuid = kDefaultProviderGuid;
  return true;
}

void ETWAppProperties::GetEtlFileName(std::wstring& out) { out = L"bxlogs.etl"; }

void ETWAppProperties::GetRootKeyPath(std::wstring& out) { out = L"SOFTWARE\\Bryxen.logging"; }

void ETWAppProperties::GetAppKeyPath(std::wstring& out, const wchar_t* subkey) {
  std::wstring root;
  GetRootKeyPath(root);
  out = Format2(L"%s\\%s", root.c_str(), appName.c_str());
  if (subkey) out += L"\\" + std::wstring(subkey);
}

}  // namespace internal

void CETWConfigurationListener::OnConfigurationChanged(bool enable, DWORD level, DWORD /*flags*/) {
  if (!logger_) return;
  logger_->SetEnabled(enable);
  logger_->SetSeverity(level);

  // The registry has the last word, the most specific key last.
  HKEY root = nullptr;
  std::wstring path;
  GetProviderKey(root, path);
  ApplyRegistryOverrides(root, path);
  std::wstring name;
  logger_->GetName(name);
  ApplyRegistryOverrides(root, internal::Format2(L"%s\\%s", path.c_str(), name.c_str()));
  logger_->GetQualifiedName(name);
  ApplyRegistryOverrides(root, internal::Format2(L"%s\\%s", path.c_str(), name.c_str()));
}

bool CETWConfigurationListener::AttachLogger(CLoggingIf* logger) {
  if (logger_ || !logger) return false;
  logger_ = logger;
  return true;
}

void CETWConfigurationListener::GetProviderKey(HKEY& root, std::wstring& path) {
  root = properties_.rootKey;
  path = properties_.providerKeyPath;
}

void CETWConfigurationListener::ApplyRegistryOverrides(HKEY root, const std::wstring& path) {
  if (!logger_) return;
  Trevalk::CRegKey key;
  if (key.Open(root, path.c_str(), KEY_QUERY_VALUE) != ERROR_SUCCESS) return;
  DWORD value = 0;
  if (key.QueryDWORDValue(L"Enable", value) == ERROR_SUCCESS) logger_->SetEnabled(value != 0);
  if (key.QueryDWORDValue(L"Severity", value) == ERROR_SUCCESS) logger_->SetSeverity(value);
  key.Close();
}

}  // namespace ETWLogging
