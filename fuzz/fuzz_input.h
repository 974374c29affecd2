// Helpers shared by the fuzz targets: reading typed pieces off the input,
// turning bytes into the 16-bit text units the product sees on Windows, and
// a check that aborts (so libFuzzer records the input) when an expectation
// of a target fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace rvqfuzz {

#define RVQ_FUZZ_CHECK(condition)                                                   \
  do {                                                                              \
    if (!(condition)) {                                                             \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)

// Consumes the input from the front; every read past the end gives zeros or
// empty results, so each input is a valid program for the target.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t remaining() const { return size_ - pos_; }

  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }

  uint16_t U16() {
    const uint16_t low = Byte();
    return static_cast<uint16_t>(low | Byte() << 8);
  }

  uint32_t U32() {
    uint32_t value = 0;
    for (int k = 0; k < 4; ++k) value |= static_cast<uint32_t>(Byte()) << (8 * k);
    return value;
  }

  // Up to `maxBytes` bytes (fewer at the end of the input).
  std::string Bytes(size_t maxBytes) {
    const size_t n = maxBytes < remaining() ? maxBytes : remaining();
    std::string out(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return out;
  }

  // A length-prefixed piece: one byte of length (0..255), then the bytes.
  std::string Piece() { return Bytes(Byte()); }

  std::string Rest() { return Bytes(remaining()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Bytes taken two at a time (little-endian) as UTF-16 code units, the way
// Windows would hold them in a wchar_t; an odd last byte is dropped.
inline std::wstring Utf16Units(const std::string& bytes) {
  std::wstring out;
  out.reserve(bytes.size() / 2);
  for (size_t k = 0; k + 1 < bytes.size(); k += 2) {
    const uint16_t unit = static_cast<uint16_t>(static_cast<uint8_t>(bytes[k]) | static_cast<uint8_t>(bytes[k + 1]) << 8);
    out.push_back(static_cast<wchar_t>(unit));
  }
  return out;
}

// Bytes as single-byte code-page text (each byte one character), the stand-in
// for the ANSI conversion that needs the system.
inline std::wstring SingleByteText(const std::string& bytes) {
  std::wstring out;
  out.reserve(bytes.size());
  for (char c : bytes) out.push_back(static_cast<wchar_t>(static_cast<uint8_t>(c)));
  return out;
}

}  // namespace rvqfuzz
