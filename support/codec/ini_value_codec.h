// Obfuscated INI values. One logical value Name takes two lines of its
// section, both in the private-profile struct format (upper-case hex bytes
// followed by a two-digit byte-sum checksum):
//   _Name = the 36-byte header (74 characters)
//   Name  = the n scrambled payload bytes (2n + 2 characters)
// Header, little-endian: 0 "BXRG", 4 version 1, 8 payload length n,
// 12 type (1 text, 4 integer), 16 format flag 1, 20 MD5 of the n scrambled
// bytes. The payload is scrambled with the INI key, 1 round.
// Plain functions over bytes and text; the reader does the file I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Trevalk {
namespace codec {

constexpr size_t kIniHeaderSize = 36;
constexpr size_t kIniHeaderTextChars = 74;
constexpr uint32_t kIniTypeText = 1;     // REG_SZ
constexpr uint32_t kIniTypeInteger = 4;  // REG_DWORD

// True for the line "_Name=<74 characters starting with 42585247>".
bool IsIniHeaderLine(const std::wstring& key, const std::wstring& value);

// Reads count bytes from text, two hex digits (either case) per byte; a pair
// that is not hexadecimal, or lies beyond textChars, gives 0.
void ReadHexBytes(const wchar_t* text, size_t textChars, uint8_t* out, size_t count) noexcept;

// Number of payload bytes a payload line of textChars characters carries
// (its last two characters are the checksum).
size_t IniPayloadBytes(size_t textChars) noexcept;

struct IniHeader {
  uint32_t version = 0;
  uint32_t length = 0;
  uint32_t type = 0;
  uint32_t flag = 0;
};

// True when header has the magic, version 1 and a non-zero format flag.
bool ParseIniHeader(const uint8_t header[kIniHeaderSize], IniHeader* out) noexcept;

// Scrambles payload[0..n) into scrambled[0..n) and fills header. 0, or
// kEncryptionFailed (n == 0 included), kInvalidParameter for null pointers.
uint32_t EncodeIniValue(uint32_t type, const uint8_t* payload, size_t n, uint8_t header[kIniHeaderSize],
                        uint8_t* scrambled) noexcept;

// Verifies scrambled[0..n) against header and unscrambles it into
// out[0..capacity): kInvalidData for a digest, length or magic mismatch,
// kMoreData when capacity is below the header's length, kDecryptionFailed
// when the cipher refuses.
uint32_t DecodeIniValue(const uint8_t* scrambled, size_t n, const uint8_t header[kIniHeaderSize], uint8_t* out,
                        size_t capacity) noexcept;

// The C library's wide atoi: leading white space, optional sign, decimal
// digits up to the first other character; saturates instead of overflowing.
int ParseDecimalInt(const std::wstring& text) noexcept;

}  // namespace codec
}  // namespace Trevalk
