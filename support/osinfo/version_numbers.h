// The pure halves of the OS version query: reading a product version text
// and finding a minor version by yes/no questions. No system calls, so they
// also build natively.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace Trevalk {

// Splits `text` at every "." (empty parts kept) and reads the first four
// parts as unsigned 32-bit decimals into parts[0..3]; missing parts give 0.
// False, with `parts` unspecified, for an empty text or a part that does not
// begin with a digit or does not fit 32 bits. Text after a part's leading
// digits is ignored.
bool ParseProductVersionParts(const std::wstring& text, uint32_t (&parts)[4]);

// The comparisons ProbeMinorVersionNumber asks about; the numbers are the
// platform's VER_EQUAL and VER_LESS.
constexpr uint8_t kVersionConditionEqual = 1;
constexpr uint8_t kVersionConditionLess = 4;

// Finds the minor version by questions alone: `confirms(v, Less)` must
// answer whether the minor version is below v, `confirms(v, Equal)` whether
// it equals v. Searches in steps of 8 up to `limit` rounded up to a multiple
// of 8, then halves. Returns `limit` when the version lies above.
uint32_t ProbeMinorVersionNumber(uint32_t limit, const std::function<bool(uint32_t value, uint8_t condition)>& confirms);

}  // namespace Trevalk
