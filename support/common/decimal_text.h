// The saturating decimal parser of the C runtime's atoi family, for narrow
// and wide text. Pure: no system calls.
#pragma once

#include <climits>

namespace Trevalk {

// White space as the "C" locale knows it: space and \t \n \v \f \r.
template <typename Char>
constexpr bool IsCSpace(Char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// atoi/_wtoi rules on the zero-terminated `text`: leading white space (as
// `isSpace` tells it) skipped, one optional '+' or '-', ASCII digits up to the
// first other character, the rest ignored. No digits give 0; positive
// overflow gives INT_MAX, negative overflow INT_MIN; a null text gives 0.
template <typename Char, typename IsSpace>
int ParseDecimal(const Char* text, IsSpace isSpace) {
  if (text == nullptr) return 0;
  while (*text != 0 && isSpace(*text)) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') {
    negative = *text == '-';
    ++text;
  }
  // The magnitude saturates just past what an int can hold, so that long
  // digit runs cannot overflow the accumulator.
  constexpr long long kLimit = static_cast<long long>(INT_MAX) + 1;
  long long magnitude = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    if (magnitude <= kLimit) magnitude = magnitude * 10 + (*text - '0');
  }
  if (negative) return magnitude >= kLimit ? INT_MIN : static_cast<int>(-magnitude);
  return magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude);
}

// As above with the "C" locale's white space.
template <typename Char>
int ParseDecimal(const Char* text) {
  return ParseDecimal(text, IsCSpace<Char>);
}

}  // namespace Trevalk
