// Prints "folder|file name" of its own executable as UTF-8, or "false".
#include <windows.h>

#include <cstdio>
#include <string>

#include "paths/paths.h"

namespace {

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                        nullptr, nullptr);
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], bytes, nullptr, nullptr);
  return out;
}

}  // namespace

int main() {
  std::wstring folder, name;
  if (!Trevalk::SplitModulePath(nullptr, folder, name)) {
    std::fputs("false", stdout);
    return 1;
  }
  std::fputs((Utf8(folder) + "|" + Utf8(name)).c_str(), stdout);
  return 0;
}
