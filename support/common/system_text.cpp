#include "common/system_text.h"

namespace Trevalk {

std::wstring SystemErrorText(DWORD code) {
  wchar_t buffer[1024];
  buffer[0] = L'\0';
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                      buffer, 1024, nullptr);
  if (length == 0) return std::wstring();
  buffer[1023] = L'\0';
  return std::wstring(buffer);
}

HMODULE ThisModule() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&ThisModule), &module)) {
    return nullptr;
  }
  return module;
}

}  // namespace Trevalk
