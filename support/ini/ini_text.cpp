#include "ini/ini_text.h"

#include <cstring>
#include <cwctype>
#include <vector>

#include "codec/codec_errors.h"
#include "codec/ini_value_codec.h"

namespace Trevalk {

std::wstring TrimIniText(const std::wstring& text) {
  size_t begin = 0, end = text.size();
  while (end > begin && std::iswspace(text[end - 1])) --end;
  while (begin < end && std::iswspace(text[begin])) ++begin;
  return text.substr(begin, end - begin);
}

IniLine ParseIniLine(const std::wstring& text) {
  IniLine result;
  const std::wstring line = TrimIniText(text);
  if (line.empty() || line[0] == L';') return result;
  if (line.size() >= 2 && line.front() == L'[' && line.back() == L']') {
    // The name keeps its inner blanks: "[ Config ]" is not "Config".
    if (line.size() > 2) {
      result.kind = IniLineKind::kSection;
      result.name = line.substr(1, line.size() - 2);
    }
    return result;
  }
  const size_t equals = line.find(L'=');
  if (equals == std::wstring::npos) return result;
  result.kind = IniLineKind::kValue;
  result.name = TrimIniText(line.substr(0, equals));
  result.value = TrimIniText(line.substr(equals + 1));
  return result;
}

bool DecodeObfuscatedIniValue(const std::wstring& headerText, const std::wstring& payloadText, uint32_t& type,
                              std::string& clear) {
  uint8_t header[codec::kIniHeaderSize];
  codec::ReadHexBytes(headerText.data(), headerText.size(), header, sizeof(header));
  codec::IniHeader parsed;
  if (!codec::ParseIniHeader(header, &parsed)) return false;

  if (parsed.type == codec::kIniTypeText) {
    const size_t n = codec::IniPayloadBytes(payloadText.size());
    std::vector<uint8_t> scrambled(n), bytes(n + 1, 0);
    codec::ReadHexBytes(payloadText.data(), payloadText.size(), scrambled.data(), n);
    if (codec::DecodeIniValue(scrambled.data(), n, header, bytes.data(), n) != codec::kOk) return false;
    const char* text = reinterpret_cast<const char*>(bytes.data());
    clear.assign(text, strnlen(text, n));
    type = codec::kIniTypeText;
    return true;
  }
  if (parsed.type == codec::kIniTypeInteger) {
    uint8_t scrambled[4], bytes[4];
    codec::ReadHexBytes(payloadText.data(), payloadText.size(), scrambled, 4);
    if (codec::DecodeIniValue(scrambled, 4, header, bytes, 4) != codec::kOk) return false;
    clear.assign(reinterpret_cast<const char*>(bytes), 4);
    type = codec::kIniTypeInteger;
    return true;
  }
  return false;
}

}  // namespace Trevalk
