// The obfuscated INI value decoder: arbitrary header and payload texts, and
// values encoded here then written as the private-profile struct format
// (upper-case hex and a two-digit checksum) with one character changed.
#include <cstring>
#include <cwctype>
#include <string>

#include "codec/codec_errors.h"
#include "codec/ini_value_codec.h"
#include "fuzz_input.h"
#include "ini/ini_text.h"

using namespace Trevalk::codec;

namespace {

// The text WritePrivateProfileStructW writes: the bytes as upper-case hex
// followed by their sum modulo 256.
std::wstring StructText(const uint8_t* bytes, size_t n) {
  static const wchar_t kHex[] = L"0123456789ABCDEF";
  std::wstring text;
  unsigned sum = 0;
  for (size_t k = 0; k < n; ++k) {
    text.push_back(kHex[bytes[k] >> 4]);
    text.push_back(kHex[bytes[k] & 15]);
    sum += bytes[k];
  }
  text.push_back(kHex[(sum >> 4) & 15]);
  text.push_back(kHex[sum & 15]);
  return text;
}

void CheckArbitraryTexts(rvqfuzz::Input& input) {
  const std::wstring header = rvqfuzz::SingleByteText(input.Bytes(kIniHeaderTextChars));
  const std::wstring payload = rvqfuzz::Utf16Units(input.Rest());
  uint32_t type = 0;
  std::string clear;
  if (Trevalk::DecodeObfuscatedIniValue(header, payload, type, clear)) {
    RVQ_FUZZ_CHECK(type == kIniTypeText || type == kIniTypeInteger);
    if (type == kIniTypeText) {
      RVQ_FUZZ_CHECK(clear.size() <= IniPayloadBytes(payload.size()));
      RVQ_FUZZ_CHECK(clear.find('\0') == std::string::npos);
    } else {
      RVQ_FUZZ_CHECK(clear.size() == 4);
    }
  }
}

void CheckEncodedValue(rvqfuzz::Input& input) {
  const bool integer = input.Byte() & 1;
  const bool lowerCase = input.Byte() & 1;
  const uint32_t position = input.U32();
  const uint8_t replacement = input.Byte();
  std::string payload = integer ? input.Bytes(4) : input.Rest();
  if (integer) payload.resize(4, '\0');

  uint8_t header[kIniHeaderSize];
  std::string scrambled(payload.size(), '\0');
  const uint32_t encoded = EncodeIniValue(integer ? kIniTypeInteger : kIniTypeText,
                                          reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), header,
                                          reinterpret_cast<uint8_t*>(&scrambled[0]));
  if (payload.empty()) {
    RVQ_FUZZ_CHECK(encoded == kEncryptionFailed);
    return;
  }
  RVQ_FUZZ_CHECK(encoded == kOk);
  std::wstring headerText = StructText(header, kIniHeaderSize);
  std::wstring payloadText = StructText(reinterpret_cast<const uint8_t*>(scrambled.data()), scrambled.size());
  RVQ_FUZZ_CHECK(IsIniHeaderLine(L"_Name", headerText));
  if (lowerCase) {
    for (wchar_t& c : payloadText) c = static_cast<wchar_t>(std::towlower(c));
  }

  uint32_t type = 0;
  std::string clear;
  RVQ_FUZZ_CHECK(Trevalk::DecodeObfuscatedIniValue(headerText, payloadText, type, clear));
  RVQ_FUZZ_CHECK(type == (integer ? kIniTypeInteger : kIniTypeText));
  const std::string expected = integer ? payload : payload.substr(0, std::strlen(payload.c_str()));
  RVQ_FUZZ_CHECK(clear == expected);

  // One payload digit changed to another hex digit: the digest refuses it.
  // (The two checksum digits are not read.)
  static const wchar_t kHex[] = L"0123456789ABCDEF";
  const size_t digits = payloadText.size() - 2;
  const size_t at = position % digits;
  const wchar_t other = kHex[replacement & 15];
  if (static_cast<wchar_t>(std::towupper(payloadText[at])) != other) {
    std::wstring changed = payloadText;
    changed[at] = other;
    RVQ_FUZZ_CHECK(!Trevalk::DecodeObfuscatedIniValue(headerText, changed, type, clear));
  }
  // A digest digit of the header changed: refused too.
  const size_t digestAt = 40 + position % 32;
  if (headerText[digestAt] != other) {
    std::wstring changed = headerText;
    changed[digestAt] = other;
    RVQ_FUZZ_CHECK(!Trevalk::DecodeObfuscatedIniValue(changed, payloadText, type, clear));
  }
  // Payload text cut or extended by one byte: the length check refuses it.
  std::wstring longer = payloadText;
  longer.insert(0, L"00");
  RVQ_FUZZ_CHECK(!Trevalk::DecodeObfuscatedIniValue(headerText, longer, type, clear) || integer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rvqfuzz::Input input(data, size);
  if (input.Byte() & 1) {
    CheckEncodedValue(input);
  } else {
    CheckArbitraryTexts(input);
  }
  return 0;
}
