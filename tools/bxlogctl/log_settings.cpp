#include "log_settings.h"

#include <cwchar>

namespace bxlogctl {

const std::vector<LogSetting>& LogSettings() {
  // The order is the order in which the writer resolves them.
  static const std::vector<LogSetting> settings = {
      {L"Enable", 1, 0, 0xFFFFFFFFul, false},
      {L"MaxSize", 262144, 262144, 10485760, false},
      {L"MaxEntries", 3, 2, 100, false},
      {L"Severity", 3, 0, 6, false},
      {L"Options", 16, 0, 0xFFFFFFFFul, true},
  };
  return settings;
}

const LogSetting* FindLogSetting(const std::wstring& name) {
  for (const LogSetting& setting : LogSettings()) {
    if (_wcsicmp(setting.name, name.c_str()) == 0) return &setting;
  }
  return nullptr;
}

std::wstring LogSettingNames() {
  std::wstring names;
  for (const LogSetting& setting : LogSettings()) names += (names.empty() ? L"" : L", ") + std::wstring(setting.name);
  return names;
}

std::wstring LogSettingRange(const LogSetting& setting) {
  if (setting.min == 0 && setting.max == 0xFFFFFFFFul) return L"any number from 0 to 4294967295";
  return std::to_wstring(setting.min) + L" to " + std::to_wstring(setting.max);
}

}  // namespace bxlogctl
