// The INI reader's parsing of a whole log.ini: the file is cut into pieces
// as the reader's line reader cuts it (at a line feed or after 1023 bytes,
// each piece ending at its first zero byte), every piece goes through
// ParseIniLine, and every header line that finds its payload line in the
// same section goes through the value decoder.
#include <cwctype>
#include <map>
#include <string>

#include "codec/ini_value_codec.h"
#include "fuzz_input.h"
#include "ini/ini_text.h"

using Trevalk::IniLine;
using Trevalk::IniLineKind;

namespace {

constexpr size_t kPieceBytes = 1023;  // the reader's 1024-byte buffer

bool IsTrimmed(const std::wstring& text) {
  return text.empty() || (!std::iswspace(text.front()) && !std::iswspace(text.back()));
}

void CheckLine(const std::wstring& text, const IniLine& line) {
  switch (line.kind) {
    case IniLineKind::kIgnored:
      RVQ_FUZZ_CHECK(line.name.empty() && line.value.empty());
      break;
    case IniLineKind::kSection:
      RVQ_FUZZ_CHECK(!line.name.empty() && line.value.empty());
      RVQ_FUZZ_CHECK(text.find(L"[" + line.name + L"]") != std::wstring::npos);
      break;
    case IniLineKind::kValue:
      RVQ_FUZZ_CHECK(line.name.find(L'=') == std::wstring::npos);
      RVQ_FUZZ_CHECK(IsTrimmed(line.name) && IsTrimmed(line.value));
      RVQ_FUZZ_CHECK(text.find(line.value) != std::wstring::npos);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string file(reinterpret_cast<const char*>(data), size);
  // section -> key -> value; the first occurrence of a key wins, a later
  // header replaces an earlier one, as in the obfuscated reader.
  std::map<std::wstring, std::map<std::wstring, std::wstring>> values;
  std::map<std::pair<std::wstring, std::wstring>, std::wstring> headers;
  std::wstring section;

  size_t at = 0;
  while (at < file.size()) {
    size_t end = at;
    while (end < file.size() && end - at < kPieceBytes && file[end] != '\n') ++end;
    if (end < file.size() && file[end] == '\n' && end - at < kPieceBytes) ++end;
    std::string piece = file.substr(at, end - at);
    at = end;
    piece.resize(std::strlen(piece.c_str()));

    const std::wstring text = rvqfuzz::SingleByteText(piece);
    const IniLine line = Trevalk::ParseIniLine(text);
    CheckLine(text, line);
    if (line.kind == IniLineKind::kSection) {
      section = line.name;
    } else if (line.kind == IniLineKind::kValue) {
      if (Trevalk::codec::IsIniHeaderLine(line.name, line.value)) {
        headers[{section, line.name.substr(1)}] = line.value;
      } else {
        values[section].emplace(line.name, line.value);
      }
    }
  }

  for (const auto& header : headers) {
    const auto s = values.find(header.first.first);
    if (s == values.end()) continue;
    const auto entry = s->second.find(header.first.second);
    if (entry == s->second.end()) continue;
    uint32_t type = 0;
    std::string clear;
    if (Trevalk::DecodeObfuscatedIniValue(header.second, entry->second, type, clear)) {
      RVQ_FUZZ_CHECK(type == Trevalk::codec::kIniTypeText || type == Trevalk::codec::kIniTypeInteger);
    }
  }
  return 0;
}
