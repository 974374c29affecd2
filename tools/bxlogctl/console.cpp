#include "console.h"

#include <vector>

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
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return;
  std::string utf8(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], bytes, nullptr, nullptr);
  DWORD written = 0;
  WriteFile(handle, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

}  // namespace

void Out(const std::wstring& text) { Write(STD_OUTPUT_HANDLE, text); }
void Err(const std::wstring& text) { Write(STD_ERROR_HANDLE, text); }

std::wstring Win32Text(DWORD code) {
  wchar_t buffer[1024];
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                 buffer, 1024, nullptr);
  std::wstring text(buffer, n);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
  return text.empty() ? L"unknown error" : text;
}

void UsageError(const std::wstring& message) { throw CommandError{kExitUsage, message, 0}; }

void SystemError(const std::wstring& what, DWORD code) { throw CommandError{kExitSystem, what, code}; }

}  // namespace bxlogctl
