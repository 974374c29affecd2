#include "args.h"

#include <cerrno>
#include <cwchar>
#include <cwctype>

#include "console.h"

namespace bxlogctl {

Args::Args(const std::vector<std::wstring>& words, const std::set<std::wstring>& valued,
           const std::set<std::wstring>& flags) {
  for (size_t i = 0; i < words.size(); ++i) {
    const std::wstring& word = words[i];
    // "-5" is a (bad) value, not an option: let the command's range check
    // say what it takes.
    if (word.size() > 1 && word[0] == L'-' && !iswdigit(word[1])) {
      if (word == L"--help" || word == L"-h" || flags.count(word)) {
        values_[word == L"-h" ? L"--help" : word] = L"";
      } else if (valued.count(word)) {
        if (i + 1 >= words.size()) UsageError(word + L" needs a value");
        values_[word] = words[++i];
      } else {
        UsageError(L"unknown option " + word);
      }
    } else {
      positional_.push_back(word);
    }
  }
}

std::wstring Args::Value(const std::wstring& option, const std::wstring& fallback) const {
  auto it = values_.find(option);
  return it == values_.end() ? fallback : it->second;
}

void Args::ExpectPositional(size_t min, size_t max, const std::wstring& usage) const {
  if (positional_.size() < min || positional_.size() > max) UsageError(L"usage: " + usage);
}

bool ParseUnsigned(const std::wstring& text, unsigned long* value) {
  if (text.empty() || text.size() > 12 || text[0] == L'-' || text[0] == L'+' || iswspace(text[0])) return false;
  // Decimal, or hexadecimal with 0x; a leading zero is not octal here.
  const bool hex = text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
  wchar_t* end = nullptr;
  errno = 0;
  const unsigned long long parsed = wcstoull(text.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
  if (errno != 0 || !end || *end != L'\0' || parsed > 0xFFFFFFFFull) return false;
  *value = static_cast<unsigned long>(parsed);
  return true;
}

}  // namespace bxlogctl
