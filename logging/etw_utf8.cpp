#include "etw_utf8.h"

#include <cstdint>
#include <cstring>

namespace ETWLogging {
namespace etw {
namespace {

constexpr uint32_t kReplacement = 0xFFFD;

inline uint32_t Unit(const wchar_t* text, size_t i) { return static_cast<uint16_t>(text[i]); }
inline bool IsHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
inline bool IsLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// A high surrogate at i with its low partner right after it, within count.
inline bool IsPairAt(const wchar_t* text, size_t i, size_t count) {
  return IsHighSurrogate(Unit(text, i)) && i + 1 < count && IsLowSurrogate(Unit(text, i + 1));
}

}  // namespace

size_t Utf8Length(const wchar_t* text, size_t count) {
  size_t bytes = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint32_t unit = Unit(text, i);
    if (unit < 0x80) {
      bytes += 1;
    } else if (unit < 0x800) {
      bytes += 2;
    } else if (IsPairAt(text, i, count)) {
      bytes += 4;
      ++i;
    } else {
      bytes += 3;
    }
  }
  return bytes;
}

size_t EncodeUtf8(const wchar_t* text, size_t count, char* out) {
  unsigned char* at = reinterpret_cast<unsigned char*>(out);
  for (size_t i = 0; i < count; ++i) {
    // Log text is mostly ASCII: four such units at a time, one store.
    while (i + 4 <= count) {
      const uint32_t a = Unit(text, i), b = Unit(text, i + 1), c = Unit(text, i + 2), d = Unit(text, i + 3);
      if ((a | b | c | d) >= 0x80) break;
      const uint32_t four = a | b << 8 | c << 16 | d << 24;  // little-endian, as the context block
      std::memcpy(at, &four, sizeof four);
      at += 4;
      i += 4;
    }
    if (i == count) break;
    uint32_t unit = Unit(text, i);
    if (unit < 0x80) {
      *at++ = static_cast<unsigned char>(unit);
    } else if (unit < 0x800) {
      *at++ = static_cast<unsigned char>(0xC0 | unit >> 6);
      *at++ = static_cast<unsigned char>(0x80 | (unit & 0x3F));
    } else if (IsPairAt(text, i, count)) {
      const uint32_t point = 0x10000 + ((unit - 0xD800) << 10) + (Unit(text, ++i) - 0xDC00);
      *at++ = static_cast<unsigned char>(0xF0 | point >> 18);
      *at++ = static_cast<unsigned char>(0x80 | (point >> 12 & 0x3F));
      *at++ = static_cast<unsigned char>(0x80 | (point >> 6 & 0x3F));
      *at++ = static_cast<unsigned char>(0x80 | (point & 0x3F));
    } else {
      if (unit >= 0xD800 && unit <= 0xDFFF) unit = kReplacement;
      *at++ = static_cast<unsigned char>(0xE0 | unit >> 12);
      *at++ = static_cast<unsigned char>(0x80 | (unit >> 6 & 0x3F));
      *at++ = static_cast<unsigned char>(0x80 | (unit & 0x3F));
    }
  }
  return static_cast<size_t>(at - reinterpret_cast<unsigned char*>(out));
}

Utf8Message ConvertMessageToUtf8(wchar_t* buffer, size_t bufferChars, size_t chars,
                                 std::unique_ptr<char[]>& overflow) {
  Utf8Message message;
  if (chars == 0 || chars > bufferChars) return message;
  char* const tail = reinterpret_cast<char*>(buffer + chars);
  const size_t tailBytes = (bufferChars - chars) * sizeof(wchar_t);
  char* out = tail;
  // A unit never takes more than 3 bytes: a tail of three bytes per unit
  // holds any message, which is then converted once, without measuring.
  if (chars > tailBytes / 3) {
    const size_t size = Utf8Length(buffer, chars);
    if (size > tailBytes) {
      overflow.reset(new char[size]);
      out = overflow.get();
    }
  }
  message.bytes = out;
  message.size = EncodeUtf8(buffer, chars, out);
  return message;
}

}  // namespace etw
}  // namespace ETWLogging
