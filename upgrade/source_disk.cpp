#include "source_disk.h"

#include <cstring>
#include <memory>
#include <new>

#include "common/unique_handle.h"

namespace rvqupgd {
namespace {

size_t BoundedLength(const char* text, size_t maxBytes) {
  size_t n = 0;
  while (n < maxBytes && text[n] != '\0') ++n;
  return n;
}

// Converts `count` ANSI bytes and appends them plus a terminator at
// out[*used]. ERROR_MORE_DATA when that leaves no room for `reserve` more
// characters after the terminator.
LONG AppendConverted(const char* text, size_t count, wchar_t* out, DWORD outChars, DWORD* used, DWORD reserve) {
  int wide = 0;
  if (count != 0) {
    wide = MultiByteToWideChar(CP_THREAD_ACP, 0, text, static_cast<int>(count), nullptr, 0);
    if (wide <= 0) return static_cast<LONG>(GetLastError());
  }
  const unsigned long long needed = static_cast<unsigned long long>(*used) + wide + 1 + reserve;
  if (needed > outChars) return ERROR_MORE_DATA;
  if (count != 0 &&
      MultiByteToWideChar(CP_THREAD_ACP, 0, text, static_cast<int>(count), out + *used, wide) != wide) {
    return static_cast<LONG>(GetLastError());
  }
  *used += static_cast<DWORD>(wide);
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

// The name in the thread's ANSI code page, or null with *error set.
std::unique_ptr<char[]> ToThreadAnsi(const wchar_t* text, LONG* error) {
  const int bytes = WideCharToMultiByte(CP_THREAD_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) {
    *error = static_cast<LONG>(GetLastError());
    return nullptr;
  }
  std::unique_ptr<char[]> ansi(new (std::nothrow) char[static_cast<size_t>(bytes)]);
  if (!ansi) {
    *error = ERROR_OUTOFMEMORY;
    return nullptr;
  }
  if (WideCharToMultiByte(CP_THREAD_ACP, 0, text, -1, ansi.get(), bytes, nullptr, nullptr) != bytes) {
    *error = static_cast<LONG>(GetLastError());
    return nullptr;
  }
  return ansi;
}

LONG ReadAndConvert(HKEY root, const wchar_t* subKey, const wchar_t* valueName, DWORD* type, wchar_t* buffer,
                    DWORD bufferBytes) {
  LONG error = ERROR_SUCCESS;
  const std::unique_ptr<char[]> subKeyAnsi = ToThreadAnsi(subKey, &error);
  if (!subKeyAnsi) return error;
  const std::unique_ptr<char[]> valueNameAnsi = ToThreadAnsi(valueName, &error);
  if (!valueNameAnsi) return error;

  Trevalk::UniqueHKey key;
  LONG result = RegOpenKeyExA(root, subKeyAnsi.get(), 0, KEY_READ, key.put());
  if (result != ERROR_SUCCESS) return result;

  DWORD size = bufferBytes;
  result = RegQueryValueExA(key.get(), valueNameAnsi.get(), nullptr, type, reinterpret_cast<BYTE*>(buffer), &size);
  const bool text = *type == REG_SZ || *type == REG_MULTI_SZ;
  if (!text || size == 0 || (result != ERROR_SUCCESS && result != ERROR_MORE_DATA)) return result;

  // The first query may have stopped short (the text did not fit as ANSI
  // bytes) and its bytes are ANSI, not UTF-16: read the whole value again
  // into a block of the size it reported and convert that.
  std::memset(buffer, 0, bufferBytes);
  std::unique_ptr<char[]> ansi(new (std::nothrow) char[size]());
  if (!ansi) return ERROR_OUTOFMEMORY;
  DWORD ansiBytes = size;
  result = RegQueryValueExA(key.get(), valueNameAnsi.get(), nullptr, nullptr, reinterpret_cast<BYTE*>(ansi.get()),
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
