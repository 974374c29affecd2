#include "osinfo/version_numbers.h"

namespace Trevalk {

bool ParseProductVersionParts(const std::wstring& text, uint32_t (&parts)[4]) {
  if (text.empty()) return false;
  for (uint32_t& part : parts) part = 0;
  size_t start = 0;
  for (int part = 0; part < 4 && start <= text.size(); ++part) {
    size_t at = start;
    if (at >= text.size() || text[at] < L'0' || text[at] > L'9') return false;
    unsigned long long value = 0;
    for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at) {
      value = value * 10 + static_cast<unsigned>(text[at] - L'0');
      if (value > 0xFFFFFFFFull) return false;
    }
    parts[part] = static_cast<uint32_t>(value);
    const size_t dot = text.find(L'.', start);
    if (dot == std::wstring::npos) break;
    start = dot + 1;
  }
  return true;
}

uint32_t ProbeMinorVersionNumber(uint32_t limit,
                                 const std::function<bool(uint32_t value, uint8_t condition)>& confirms) {
  const uint32_t top = (limit + 7) / 8 * 8;
  uint32_t v = 8;
  while (v <= top && !confirms(v, kVersionConditionLess)) v += 8;
  if (v > top) return limit;
  // The version lies in [v-8, v): halve down to one candidate.
  v -= 4;
  for (uint32_t step : {2u, 1u}) {
    if (confirms(v, kVersionConditionLess)) {
      v -= step;
    } else {
      v += step;
    }
  }
  if (!confirms(v, kVersionConditionEqual)) --v;
  return v;
}

}  // namespace Trevalk
