#include "codec/ini_value_codec.h"

#include <climits>
#include <cstring>
#include <cwctype>

#include "codec/codec_errors.h"
#include "codec/md5.h"
#include "codec/record_codec.h"
#include "codec/value_cipher.h"
#include "common/decimal_text.h"

namespace Trevalk {
namespace codec {

namespace {

constexpr size_t kDigestOffset = 20;

int HexDigit(wchar_t c) noexcept {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  return -1;
}

}  // namespace

bool IsIniHeaderLine(const std::wstring& key, const std::wstring& value) {
  return !key.empty() && key[0] == L'_' && value.size() == kIniHeaderTextChars &&
         value.compare(0, 8, L"42585247") == 0;
}

void ReadHexBytes(const wchar_t* text, size_t textChars, uint8_t* out, size_t count) noexcept {
  for (size_t k = 0; k < count; ++k) {
    int high = -1, low = -1;
    if (text != nullptr && 2 * k + 1 < textChars) {
      high = HexDigit(text[2 * k]);
      low = HexDigit(text[2 * k + 1]);
    }
    out[k] = (high < 0 || low < 0) ? 0 : static_cast<uint8_t>(high << 4 | low);
  }
}

size_t IniPayloadBytes(size_t textChars) noexcept { return textChars == 0 ? 0 : (textChars - 1) / 2; }

bool ParseIniHeader(const uint8_t header[kIniHeaderSize], IniHeader* out) noexcept {
  if (std::memcmp(header, kRecordMagic, 4) != 0) return false;
  out->version = GetLe32(header + 4);
  out->length = GetLe32(header + 8);
  out->type = GetLe32(header + 12);
  out->flag = GetLe32(header + 16);
  return out->version == 1 && out->flag != 0;
}

uint32_t EncodeIniValue(uint32_t type, const uint8_t* payload, size_t n, uint8_t header[kIniHeaderSize],
                        uint8_t* scrambled) noexcept {
  if (header == nullptr || scrambled == nullptr || n > UINT32_MAX) return kInvalidParameter;
  ValueCipher cipher(reinterpret_cast<const uint8_t*>(kIniValueKey), int(kCipherKeyLength), 1);
  if (!cipher.Scramble(payload, scrambled, n)) return kEncryptionFailed;
  std::memcpy(header, kRecordMagic, 4);
  PutLe32(header + 4, 1);
  PutLe32(header + 8, static_cast<uint32_t>(n));
  PutLe32(header + 12, type);
  PutLe32(header + 16, 1);
  if (ComputeDigest(scrambled, n, header + kDigestOffset, kMd5Size) != 0) return kEncryptionFailed;
  return kOk;
}

uint32_t DecodeIniValue(const uint8_t* scrambled, size_t n, const uint8_t header[kIniHeaderSize], uint8_t* out,
                        size_t capacity) noexcept {
  if (header == nullptr) return kInvalidData;
  if (VerifyDigest(scrambled, n, header + kDigestOffset, kMd5Size) != 0) return kInvalidData;
  const uint32_t length = GetLe32(header + 8);
  if (n != length || std::memcmp(header, kRecordMagic, 4) != 0) return kInvalidData;
  if (capacity < length) return kMoreData;
  ValueCipher cipher(reinterpret_cast<const uint8_t*>(kIniValueKey), int(kCipherKeyLength), 1);
  if (!cipher.Unscramble(scrambled, out, n)) return kDecryptionFailed;
  return kOk;
}

int ParseDecimalInt(const std::wstring& text) noexcept {
  // The runtime's wide white space (iswspace), as _wtoi skips it; the text
  // ends at its first null, as for _wtoi.
  return ParseDecimal(text.c_str(), [](wchar_t c) { return std::iswspace(c) != 0; });
}

}  // namespace codec
}  // namespace Trevalk
