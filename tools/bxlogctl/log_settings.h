// The log.ini keys the text log writer reads, with the ranges it accepts.
#pragma once

#include <string>
#include <vector>

namespace bxlogctl {

struct LogSetting {
  const wchar_t* name;  // exactly as the writer looks it up
  unsigned long defaultValue;
  unsigned long min, max;
  bool hex;  // shown in hexadecimal too (a bit set)
};

const std::vector<LogSetting>& LogSettings();
// Whether the writer accepts `value` for the setting (as a 32-bit int read
// from log.ini, widened).
bool IsAccepted(const LogSetting& setting, long long value);
// Matches without regard to case, as the writer's range check does.
const LogSetting* FindLogSetting(const std::wstring& name);
std::wstring LogSettingNames();
std::wstring LogSettingRange(const LogSetting& setting);

}  // namespace bxlogctl
