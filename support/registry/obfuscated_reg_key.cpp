#include "registry/obfuscated_reg_key.h"

#include <climits>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "codec/codec_errors.h"
#include "codec/record_codec.h"
#include "common/system_text.h"
#include "common/text_conversion.h"

namespace Trevalk {

namespace {

constexpr DWORD kFirstReadBytes = 256;
// The value may grow between the size query and the read; a few retries.
constexpr int kReadAttempts = 4;

// The ANSI form of a value name; empty (the default value) for a null name
// or a string-resource identifier that the module's string table lacks.
std::string AnsiValueName(LPCWSTR name) {
  const wchar_t* text = nullptr;
  int length = 0;
  if (name == nullptr) return std::string();
  if (IS_INTRESOURCE(name)) {
    // A zero-capacity LoadStringW hands out the resource text itself (not
    // terminated) and its length: no buffer to outgrow.
    const wchar_t* resource = nullptr;
    length = LoadStringW(ThisModule(), static_cast<UINT>(reinterpret_cast<ULONG_PTR>(name)),
                         reinterpret_cast<LPWSTR>(&resource), 0);
    if (length <= 0 || resource == nullptr) return std::string();
    text = resource;
  } else {
    const size_t chars = wcslen(name);
    if (chars > INT_MAX) return std::string();
    text = name;
    length = static_cast<int>(chars);
  }
  std::string ansi;
  Utf16ToMultiByte(CP_THREAD_ACP, text, static_cast<size_t>(length), ansi);
  return ansi;
}

// Appends text[0..chars) as UTF-8 and a zero byte. False on a conversion
// failure (the thread's last error says why).
bool AppendUtf8(const wchar_t* text, size_t chars, std::string& out) {
  std::string utf8;
  if (!Utf16ToMultiByte(CP_UTF8, text, chars, utf8)) return false;
  out.append(utf8).push_back('\0');
  return true;
}

// UTF-16 length of utf8[0..bytes); 0 for empty input or a failure.
int Utf16Length(const uint8_t* utf8, size_t bytes) {
  if (bytes == 0 || bytes > INT_MAX) return 0;
  return MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(utf8), static_cast<int>(bytes), nullptr, 0);
}

// Reads and validates the record of one value; raw holds it afterwards.
LONG ReadRecord(HKEY key, const std::string& name, std::vector<uint8_t>& raw, codec::RecordInfo& info) {
  raw.assign(kFirstReadBytes, 0);
  DWORD type = 0;
  DWORD size = kFirstReadBytes;
  LONG result = RegQueryValueExA(key, name.c_str(), nullptr, &type, raw.data(), &size);
  for (int attempt = 0; result == ERROR_MORE_DATA && attempt < kReadAttempts; ++attempt) {
    raw.assign(size, 0);
    result = RegQueryValueExA(key, name.c_str(), nullptr, &type, raw.data(), &size);
  }
  if (result != ERROR_SUCCESS) return result;
  if (type != REG_BINARY) return ERROR_INVALID_DATA;
  raw.resize(size);
  return static_cast<LONG>(codec::ValidateRecord(raw.data(), raw.size(), &info));
}

// The payload of a REG_MULTI_SZ record as UTF-16 into buffer[0..capacity):
// returns the bytes needed with every terminator. When the buffer runs out
// it is cleared and *fits is false.
DWORD MultiStringToUtf16(const uint8_t* payload, size_t length, wchar_t* buffer, size_t capacity, bool* fits) {
  size_t used = 0;
  *fits = true;
  size_t pos = 0;
  auto put = [&](const uint8_t* utf8, size_t bytes, int chars) {
    if (buffer != nullptr && *fits && used + static_cast<size_t>(chars) + 1 <= capacity) {
      if (chars > 0) {
        MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(utf8), static_cast<int>(bytes),
                            buffer + used, chars);
      }
      buffer[used + static_cast<size_t>(chars)] = L'\0';
    } else if (buffer != nullptr && *fits) {
      *fits = false;
      std::memset(buffer, 0, capacity * sizeof(wchar_t));
    }
    used += static_cast<size_t>(chars) + 1;
  };
  while (pos < length) {
    const void* zero = std::memchr(payload + pos, 0, length - pos);
    const size_t bytes = zero ? static_cast<const uint8_t*>(zero) - (payload + pos) : length - pos;
    if (bytes == 0) break;
    put(payload + pos, bytes, Utf16Length(payload + pos, bytes));
    pos += bytes + 1;
  }
  put(nullptr, 0, 0);  // the final empty string
  return static_cast<DWORD>(used * sizeof(wchar_t));
}

}  // namespace

LONG CObfuscatedRegKeyImpl::QueryValue(LPCWSTR name, DWORD* type, void* data, DWORD* size) {
  if (type == nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  const DWORD capacity = size ? *size : 0;
  try {
    std::vector<uint8_t> raw;
    codec::RecordInfo info;
    LONG result = ReadRecord(Handle(), AnsiValueName(name), raw, info);
    if (result != ERROR_SUCCESS) return result;
    if (type != nullptr) *type = info.valueType;
    if (size == nullptr) return ERROR_SUCCESS;

    std::vector<uint8_t> payload(info.payloadLength);
    result = static_cast<LONG>(codec::UnscrambleRecordPayload(raw.data(), info, payload.data(), payload.size()));
    if (result != ERROR_SUCCESS) return result;

    if (info.valueType == REG_SZ) {
      const int chars = Utf16Length(payload.data(), payload.size());
      const DWORD needed = static_cast<DWORD>(chars) * sizeof(wchar_t);
      *size = needed;
      if (data == nullptr) return ERROR_SUCCESS;
      if (capacity / sizeof(wchar_t) < static_cast<DWORD>(chars)) return ERROR_MORE_DATA;
      if (chars > 0) {
        MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(payload.data()),
                            static_cast<int>(payload.size()), static_cast<wchar_t*>(data), chars);
      }
      return ERROR_SUCCESS;
    }
    if (info.valueType == REG_MULTI_SZ) {
      bool fits = true;
      *size = MultiStringToUtf16(payload.data(), payload.size(), static_cast<wchar_t*>(data),
                                 capacity / sizeof(wchar_t), &fits);
      return fits ? ERROR_SUCCESS : ERROR_MORE_DATA;
    }
    *size = info.payloadLength;
    if (data == nullptr) return ERROR_SUCCESS;
    if (info.payloadLength > capacity) return ERROR_MORE_DATA;
    if (!payload.empty()) std::memcpy(data, payload.data(), payload.size());
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
}

LONG CObfuscatedRegKeyImpl::SetValue(LPCWSTR name, DWORD type, const void* data, DWORD size) {
  if (data == nullptr || size == 0) return ERROR_INVALID_PARAMETER;
  try {
    std::string payload;
    if (type == REG_SZ) {
      // Up to the terminator or the caller's size, whichever comes first:
      // nothing beyond the size the caller vouched for is read.
      const wchar_t* text = static_cast<const wchar_t*>(data);
      if (!AppendUtf8(text, wcsnlen(text, size / sizeof(wchar_t)), payload)) return ERROR_INVALID_PARAMETER;
    } else if (type == REG_MULTI_SZ) {
      const wchar_t* text = static_cast<const wchar_t*>(data);
      const size_t limit = size / sizeof(wchar_t);
      for (size_t pos = 0; pos < limit;) {
        const size_t chars = wcsnlen(text + pos, limit - pos);
        if (chars == 0) break;
        if (!AppendUtf8(text + pos, chars, payload)) return static_cast<LONG>(GetLastError());
        pos += chars + 1;
      }
      payload.push_back('\0');
    } else {
      payload.assign(static_cast<const char*>(data), size);
    }

    if (payload.size() > MAXDWORD - codec::kRecordHeaderSize) return ERROR_INVALID_PARAMETER;
    std::unique_ptr<uint8_t[]> record(new (std::nothrow) uint8_t[payload.size() + codec::kRecordHeaderSize]);
    if (!record) return ERROR_NOT_ENOUGH_MEMORY;
    const uint32_t encoded = codec::EncodeRecord(type, reinterpret_cast<const uint8_t*>(payload.data()),
                                                 payload.size(), record.get());
    if (encoded != codec::kOk) return static_cast<LONG>(encoded);
    return RegSetValueExA(Handle(), AnsiValueName(name).c_str(), 0, REG_BINARY, record.get(),
                          static_cast<DWORD>(payload.size() + codec::kRecordHeaderSize));
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

CObfuscatedRegKey::CObfuscatedRegKey() : CRegKey(std::make_shared<CObfuscatedRegKeyImpl>()) {}

CObfuscatedRegKey::~CObfuscatedRegKey() = default;

}  // namespace Trevalk
