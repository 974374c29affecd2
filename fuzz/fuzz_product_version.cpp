// The kernel32 product-version parser, against a reference written here
// from the format's rules, and the minor-version probe against an oracle
// that knows the answer.
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "osinfo/version_numbers.h"

namespace {

// "a.b.c.d": split at every dot, look at the first four parts; each must
// begin with a decimal digit and its leading digits must fit 32 bits.
bool ReferenceParse(const std::wstring& text, uint32_t (&parts)[4]) {
  if (text.empty()) return false;
  std::vector<std::wstring> pieces(1);
  for (wchar_t c : text) {
    if (c == L'.') {
      pieces.emplace_back();
    } else {
      pieces.back().push_back(c);
    }
  }
  for (uint32_t& part : parts) part = 0;
  for (size_t k = 0; k < 4 && k < pieces.size(); ++k) {
    const std::wstring& piece = pieces[k];
    size_t digits = 0;
    while (digits < piece.size() && piece[digits] >= L'0' && piece[digits] <= L'9') ++digits;
    if (digits == 0) return false;
    // Leading zeros do not count towards the size of the number.
    size_t first = 0;
    while (first + 1 < digits && piece[first] == L'0') ++first;
    if (digits - first > 10) return false;
    unsigned long long value = 0;
    for (size_t d = first; d < digits; ++d) value = value * 10 + static_cast<unsigned>(piece[d] - L'0');
    if (value > 0xFFFFFFFFull) return false;
    parts[k] = static_cast<uint32_t>(value);
  }
  return true;
}

void CheckParse(const std::wstring& text) {
  uint32_t parts[4], expected[4];
  const bool parsed = Trevalk::ParseProductVersionParts(text, parts);
  RVQ_FUZZ_CHECK(parsed == ReferenceParse(text, expected));
  if (parsed) {
    for (int k = 0; k < 4; ++k) RVQ_FUZZ_CHECK(parts[k] == expected[k]);
  }
}

void CheckProbe(rvqfuzz::Input& input) {
  // Limits as callers use them are small; the probe's arithmetic is meant
  // for limits well below 2^32.
  const uint32_t limit = input.U32() % (1u << 20);
  const uint32_t actual = input.U32() % (1u << 21);
  unsigned questions = 0;
  const uint32_t found = Trevalk::ProbeMinorVersionNumber(limit, [&](uint32_t value, uint8_t condition) {
    ++questions;
    RVQ_FUZZ_CHECK(questions <= limit / 8 + 8);
    RVQ_FUZZ_CHECK(condition == Trevalk::kVersionConditionLess || condition == Trevalk::kVersionConditionEqual);
    return condition == Trevalk::kVersionConditionLess ? actual < value : actual == value;
  });
  const uint32_t top = (limit + 7) / 8 * 8;
  RVQ_FUZZ_CHECK(found == (actual < top ? actual : limit));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rvqfuzz::Input input(data, size);
  const uint8_t mode = input.Byte();
  if (mode == 0xFF) {
    CheckProbe(input);
  } else if (mode & 1) {
    CheckParse(rvqfuzz::Utf16Units(input.Rest()));
  } else {
    // Mostly digits and dots, the shape of real versions.
    std::wstring text;
    for (char c : input.Rest()) {
      const uint8_t b = static_cast<uint8_t>(c);
      text.push_back(b < 200 ? static_cast<wchar_t>(L'0' + b % 10) : b < 240 ? L'.' : static_cast<wchar_t>(b));
    }
    CheckParse(text);
  }
  return 0;
}
