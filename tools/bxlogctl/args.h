// A small command-line model for bxlogctl: positional words plus the
// options a command declares, with clear usage errors.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace bxlogctl {

class Args {
 public:
  // Splits `words` into positionals and options. `valued` are the options
  // that take a value ("--for", "-n"), `flags` those that do not. Anything
  // else starting with "-" is a usage error. "--help" is always a flag.
  Args(const std::vector<std::wstring>& words, const std::set<std::wstring>& valued,
       const std::set<std::wstring>& flags);

  const std::vector<std::wstring>& positional() const { return positional_; }
  bool Has(const std::wstring& option) const { return values_.count(option) != 0; }
  std::wstring Value(const std::wstring& option, const std::wstring& fallback = L"") const;

  // Fails with a usage error unless there are between min and max positionals.
  void ExpectPositional(size_t min, size_t max, const std::wstring& usage) const;

 private:
  std::vector<std::wstring> positional_;
  std::map<std::wstring, std::wstring> values_;
};

// A whole decimal or 0x-hexadecimal 32-bit unsigned number; false otherwise.
bool ParseUnsigned(const std::wstring& text, unsigned long* value);

}  // namespace bxlogctl
