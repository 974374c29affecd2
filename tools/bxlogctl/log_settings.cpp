#include "log_settings.h"

#include <cwchar>

#include "text_log_format.h"

namespace bxlogctl {

namespace textlog = ETWLogging::textlog;

const std::vector<LogSetting>& LogSettings() {
  // The writer's own defaults and limits, in the order it resolves them.
  static const std::vector<LogSetting> settings = {
      {L"Enable", textlog::kDefaultEnable, 0, 0xFFFFFFFFul, false},
      {L"MaxSize", textlog::kDefaultMaxSize, textlog::kMinMaxSize, textlog::kMaxMaxSize, false},
      {L"MaxEntries", textlog::kDefaultMaxEntries, textlog::kMinMaxEntries, textlog::kMaxMaxEntries, false},
      {L"Severity", textlog::kDefaultThreshold, 0, 6, false},
      {L"Options", textlog::kDefaultOptions, 0, 0xFFFFFFFFul, true},
  };
  return settings;
}

bool IsAccepted(const LogSetting& setting, long long value) {
  // The writer's rule decides; the table's range only words the messages.
  return textlog::IsAcceptedSetting(setting.name, value);
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
