#include "console.h"

#include <vector>

#include "common/system_text.h"
#include "common/text_conversion.h"

namespace bxlogctl {
namespace {

void Write(DWORD stdHandle, const std::wstring& text) {
  if (text.empty()) return;
  HANDLE handle = GetStdHandle(stdHandle);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode)) {
    DWORD written = 0;
    WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  std::string utf8;
  if (!Trevalk::Utf16ToMultiByte(CP_UTF8, text.data(), text.size(), utf8)) return;
  DWORD written = 0;
  WriteFile(handle, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

}  // namespace

void Out(const std::wstring& text) { Write(STD_OUTPUT_HANDLE, text); }
void Err(const std::wstring& text) { Write(STD_ERROR_HANDLE, text); }

std::wstring Win32Text(DWORD code) {
  std::wstring text = Trevalk::SystemErrorText(code);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
  return text.empty() ? L"unknown error" : text;
}

void UsageError(const std::wstring& message) { throw CommandError{kExitUsage, message, 0}; }

void SystemError(const std::wstring& what, DWORD code) { throw CommandError{kExitSystem, what, code}; }

}  // namespace bxlogctl
