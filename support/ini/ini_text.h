// The pure halves of the INI reader: what one line of a file says, and the
// clear bytes of one obfuscated value given the texts of its two lines. No
// file access and no code-page conversion, so they also build natively.
#pragma once

#include <cstdint>
#include <string>

namespace Trevalk {

enum class IniLineKind {
  kIgnored,  // blank, comment (";"), "[]", or a line without "="
  kSection,  // "[name]": `name` is the text between the brackets, not trimmed
  kValue,    // "key=value": both trimmed, split at the first "="
};

struct IniLine {
  IniLineKind kind = IniLineKind::kIgnored;
  std::wstring name;  // section name (kSection) or key (kValue)
  std::wstring value;
};

// Classifies one line that has already been converted to UTF-16. Trailing
// white space (the line break included) and leading white space are removed
// first. May throw std::bad_alloc.
IniLine ParseIniLine(const std::wstring& text);

// White space removed from both ends (iswspace).
std::wstring TrimIniText(const std::wstring& text);

// Decodes the value whose header line carries `headerText` and whose
// payload line carries `payloadText`. True with `type` (1 text, 4 integer)
// and `clear`: for text, the unscrambled bytes up to their first zero byte
// (still in the file's ANSI code page); for an integer, its 4 bytes. False,
// with both outputs untouched, when the header lacks the magic, version 1 or
// the format flag, when the type is neither 1 nor 4, or when the payload
// fails its digest, length or magic. May throw std::bad_alloc.
bool DecodeObfuscatedIniValue(const std::wstring& headerText, const std::wstring& payloadText, uint32_t& type,
                              std::string& clear);

}  // namespace Trevalk
