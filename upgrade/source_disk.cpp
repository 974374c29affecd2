#include "source_disk.h"

#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>

#include "common/bounded_string.h"
#include "common/text_conversion.h"
#include "common/unique_handle.h"

namespace rvqupgd {
namespace {

using Trevalk::BoundedLength;

// Converts `count` ANSI bytes and appends them plus a terminator at
// out[*used]. ERROR_MORE_DATA when that leaves no room for `reserve` more
// characters after the terminator.
LONG AppendConverted(const char* text, size_t count, wchar_t* out, DWORD outChars, DWORD* used, DWORD reserve) {
  std::wstring wide;
  try {
    if (!Trevalk::MultiByteToUtf16(CP_THREAD_ACP, text, count, wide)) return static_cast<LONG>(GetLastError());
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
  const unsigned long long needed = static_cast<unsigned long long>(*used) + wide.size() + 1 + reserve;
  if (needed > outChars) return ERROR_MORE_DATA;
  if (!wide.empty()) wmemcpy(out + *used, wide.data(), wide.size());
  *used += static_cast<DWORD>(wide.size());
  out[(*used)++] = L'\0';
  return ERROR_SUCCESS;
}

LONG ConvertMultiString(const char* data, DWORD dataBytes, wchar_t* out, DWORD outChars) {
  DWORD used = 0;
  size_t pos = 0;
  while (pos < dataBytes && data[pos] != '\0') {
    const size_t n = BoundedLength(data + pos, dataBytes - pos);
    const LONG result = AppendConverted(data + pos, n, out, outChars, &used, 1);
    if (result != ERROR_SUCCESS) return result;
    pos += n + 1;
  }
  if (used >= outChars) return ERROR_MORE_DATA;
  out[used] = L'\0';
  return ERROR_SUCCESS;
}

// The name in the thread's ANSI code page into `ansi`; false with *error
// set.
bool ToThreadAnsi(const wchar_t* text, std::string& ansi, LONG* error) {
  try {
    if (Trevalk::Utf16ToMultiByte(CP_THREAD_ACP, text, wcslen(text), ansi)) return true;
    *error = static_cast<LONG>(GetLastError());
  } catch (const std::bad_alloc&) {
    *error = ERROR_OUTOFMEMORY;
  }
  return false;
}

LONG ReadAndConvert(HKEY root, const wchar_t* subKey, const wchar_t* valueName, DWORD* type, wchar_t* buffer,
                    DWORD bufferBytes) {
  LONG error = ERROR_SUCCESS;
  std::string subKeyAnsi;
  if (!ToThreadAnsi(subKey, subKeyAnsi, &error)) return error;
  std::string valueNameAnsi;
  if (!ToThreadAnsi(valueName, valueNameAnsi, &error)) return error;

  Trevalk::UniqueHKey key;
  LONG result = RegOpenKeyExA(root, subKeyAnsi.c_str(), 0, KEY_READ, key.put());
  if (result != ERROR_SUCCESS) return result;

  DWORD size = bufferBytes;
  result = RegQueryValueExA(key.get(), valueNameAnsi.c_str(), nullptr, type, reinterpret_cast<BYTE*>(buffer), &size);
  const bool text = *type == REG_SZ || *type == REG_MULTI_SZ;
  if (!text || size == 0 || (result != ERROR_SUCCESS && result != ERROR_MORE_DATA)) return result;

  // The first query may have stopped short (the text did not fit as ANSI
  // bytes) and its bytes are ANSI, not UTF-16: read the whole value again
  // into a block of the size it reported and convert that.
  std::memset(buffer, 0, bufferBytes);
  std::unique_ptr<char[]> ansi(new (std::nothrow) char[size]());
  if (!ansi) return ERROR_OUTOFMEMORY;
  DWORD ansiBytes = size;
  result = RegQueryValueExA(key.get(), valueNameAnsi.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(ansi.get()),
                            &ansiBytes);
  if (result != ERROR_SUCCESS) return result;
  return AnsiRegistryTextToWide(*type, ansi.get(), ansiBytes, buffer, bufferBytes / sizeof(wchar_t));
}

}  // namespace

LONG AnsiRegistryTextToWide(DWORD type, const char* data, DWORD dataBytes, wchar_t* out, DWORD outChars) {
  if (data == nullptr || out == nullptr || outChars == 0) return ERROR_INVALID_PARAMETER;
  LONG result = ERROR_INVALID_PARAMETER;
  if (type == REG_SZ) {
    DWORD used = 0;
    result = AppendConverted(data, BoundedLength(data, dataBytes), out, outChars, &used, 0);
  } else if (type == REG_MULTI_SZ) {
    result = ConvertMultiString(data, dataBytes, out, outChars);
  }
  if (result != ERROR_SUCCESS) out[0] = L'\0';
  return result;
}

LONG ReadRegistryTextAnsi(HKEY root, const wchar_t* subKey, const wchar_t* valueName, DWORD* type, wchar_t* buffer,
                          DWORD bufferBytes) {
  const LONG result = ReadAndConvert(root, subKey, valueName, type, buffer, bufferBytes);
  return result == ERROR_INSUFFICIENT_BUFFER ? ERROR_MORE_DATA : result;
}

}  // namespace rvqupgd
