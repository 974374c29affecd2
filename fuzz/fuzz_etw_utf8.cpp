// The UTF-8 step of an ETW event: any UTF-16 message (lone and paired
// surrogates included) of any length in the event's 2080-unit buffer. The
// bytes must decode back to the message (a lone surrogate as U+FFFD), the
// measured length must match, the tail or the overflow block must be chosen
// by size, and the message in front of the tail must stay as it was.
#include <cstring>
#include <memory>
#include <string>

#include "etw_utf8.h"
#include "fuzz_input.h"

using namespace ETWLogging::etw;

namespace {

constexpr size_t kBufferChars = 2080;

// Decodes well-formed UTF-8 into 16-bit units; false on anything else.
bool DecodeUtf8(const char* bytes, size_t size, std::wstring& out) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes);
  for (size_t i = 0; i < size;) {
    uint32_t point = 0;
    size_t extra = 0;
    if (b[i] < 0x80) {
      point = b[i];
    } else if ((b[i] & 0xE0) == 0xC0) {
      point = b[i] & 0x1F;
      extra = 1;
    } else if ((b[i] & 0xF0) == 0xE0) {
      point = b[i] & 0x0F;
      extra = 2;
    } else if ((b[i] & 0xF8) == 0xF0) {
      point = b[i] & 0x07;
      extra = 3;
    } else {
      return false;
    }
    if (i + extra >= size) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((b[i + k] & 0xC0) != 0x80) return false;
      point = point << 6 | (b[i + k] & 0x3F);
    }
    // Shortest form only, no encoded surrogates, nothing past U+10FFFF.
    static const uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (point < kLeast[extra] || (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF) return false;
    if (point >= 0x10000) {
      out += static_cast<wchar_t>(0xD800 + ((point - 0x10000) >> 10));
      out += static_cast<wchar_t>(0xDC00 + ((point - 0x10000) & 0x3FF));
    } else {
      out += static_cast<wchar_t>(point);
    }
    i += extra + 1;
  }
  return true;
}

// The message with every surrogate that lacks its partner replaced.
std::wstring Expected(const std::wstring& text) {
  std::wstring out = text;
  for (size_t i = 0; i < out.size(); ++i) {
    const wchar_t unit = out[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < out.size() && out[i + 1] >= 0xDC00 && out[i + 1] <= 0xDFFF) {
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      out[i] = 0xFFFD;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rvqfuzz::Input input(data, size);
  // The length: the fuzzed units, or (shape 3) those units repeated to a
  // fuzzed length up to the whole buffer, where the overflow block takes over.
  const uint8_t shape = input.Byte();
  const size_t target = input.U16() % (kBufferChars + 1);
  std::wstring message = rvqfuzz::Utf16Units(input.Rest());
  if (shape % 4 == 3 && !message.empty()) {
    std::wstring repeated;
    while (repeated.size() < target) repeated += message;
    message = repeated.substr(0, target);
  }
  if (message.size() > kBufferChars) message.resize(kBufferChars);

  wchar_t buffer[kBufferChars];
  std::memset(buffer, 0xA5, sizeof buffer);
  if (!message.empty()) std::memcpy(buffer, message.data(), message.size() * sizeof(wchar_t));

  std::unique_ptr<char[]> overflow;
  const Utf8Message utf8 = ConvertMessageToUtf8(buffer, kBufferChars, message.size(), overflow);
  RVQ_FUZZ_CHECK(std::memcmp(buffer, message.data(), message.size() * sizeof(wchar_t)) == 0);
  if (message.empty()) {
    RVQ_FUZZ_CHECK(utf8.bytes == nullptr && utf8.size == 0 && !overflow);
    return 0;
  }
  RVQ_FUZZ_CHECK(utf8.size == Utf8Length(message.data(), message.size()));
  const char* tail = reinterpret_cast<const char*>(buffer + message.size());
  const size_t tailBytes = (kBufferChars - message.size()) * sizeof(wchar_t);
  if (utf8.size <= tailBytes) {
    RVQ_FUZZ_CHECK(utf8.bytes == tail && !overflow);
  } else {
    RVQ_FUZZ_CHECK(overflow && utf8.bytes == overflow.get());
  }
  std::wstring decoded;
  RVQ_FUZZ_CHECK(DecodeUtf8(utf8.bytes, utf8.size, decoded));
  RVQ_FUZZ_CHECK(decoded == Expected(message));
  return 0;
}
