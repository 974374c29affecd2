#include "common/text_conversion.h"

#include <climits>

namespace Trevalk {

namespace {

// The measure-then-convert pair of system calls over text[0..length), into
// `out`. `convert(destination, capacity)` is the system call with the text
// bound: with a null destination it answers the units needed.
template <typename Out, typename Convert>
bool RunConversion(const void* text, size_t length, Out& out, Convert convert) {
  out.clear();
  if (length == 0) return true;
  if (!text || length > INT_MAX) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const int units = convert(nullptr, 0);
  if (units <= 0) return false;
  out.resize(static_cast<size_t>(units));
  if (convert(&out[0], units) != units) {
    out.clear();
    return false;
  }
  return true;
}

}  // namespace

bool MultiByteToUtf16(UINT codePage, const char* text, size_t length, std::wstring& out) {
  return RunConversion(text, length, out, [&](wchar_t* destination, int capacity) {
    return MultiByteToWideChar(codePage, 0, text, static_cast<int>(length), destination, capacity);
  });
}

bool Utf16ToMultiByte(UINT codePage, const wchar_t* text, size_t length, std::string& out) {
  return RunConversion(text, length, out, [&](char* destination, int capacity) {
    return WideCharToMultiByte(codePage, 0, text, static_cast<int>(length), destination, capacity, nullptr, nullptr);
  });
}

bool FitsThreadCodePage(const wchar_t* text) noexcept {
  BOOL usedDefault = FALSE;
  const int bytes =
      WideCharToMultiByte(CP_THREAD_ACP, WC_NO_BEST_FIT_CHARS, text, -1, nullptr, 0, nullptr, &usedDefault);
  return bytes <= 0 || !usedDefault;
}

}  // namespace Trevalk
