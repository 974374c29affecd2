// The upgrade detector's parsing: the command-line build number, the
// lower-casing of the stored "SourceDisk" text inside its 260-character
// buffer, and the installed build after ",build=". The decimal parser is
// checked against the C library's strtoll.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "fuzz_input.h"
#include "upgrade_check.h"

namespace {

int ReferenceDecimal(const char* text) {
  errno = 0;
  const long long value = std::strtoll(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

void CheckArguments(const std::string& bytes) {
  // Zero bytes separate the arguments; the first one is the program name.
  std::vector<std::string> args;
  size_t start = 0;
  for (size_t k = 0; k <= bytes.size(); ++k) {
    if (k == bytes.size() || bytes[k] == '\0') {
      args.push_back(bytes.substr(start, k - start));
      start = k + 1;
    }
  }
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(args.size());

  for (int k = 0; k < argc; ++k) {
    RVQ_FUZZ_CHECK(rvqupgd::ParseDecimal(argv[k]) == ReferenceDecimal(argv[k]));
  }
  int expected = rvqupgd::kDefaultNewBuild;
  if (argc == 2 && ReferenceDecimal(argv[1]) != INT_MAX) expected = ReferenceDecimal(argv[1]);
  RVQ_FUZZ_CHECK(rvqupgd::NewBuildFromArguments(argc, argv.data()) == expected);
}

void CheckStoredText(const std::wstring& units) {
  // The registry read leaves at most 259 units and a terminator in a
  // 260-unit buffer; an exact-size heap block lets ASan see any overrun.
  const size_t capacity = rvqupgd::kSourceDiskChars;
  std::unique_ptr<wchar_t[]> buffer(new wchar_t[capacity]);
  const size_t length = units.size() < capacity - 1 ? units.size() : capacity - 1;
  std::copy(units.begin(), units.begin() + length, buffer.get());
  buffer[length] = L'\0';

  rvqupgd::LowerCaseInPlace(buffer.get(), capacity);
  const std::wstring lowered(buffer.get());
  for (size_t k = 0; k < lowered.size(); ++k) {
    RVQ_FUZZ_CHECK(!(lowered[k] >= L'A' && lowered[k] <= L'Z'));
    const wchar_t before = units[k];
    const wchar_t expected = before >= L'A' && before <= L'Z' ? static_cast<wchar_t>(before + 32) : before;
    RVQ_FUZZ_CHECK(lowered[k] == expected);
  }

  const std::optional<int> build = rvqupgd::InstalledBuildFromText(buffer.get());
  const size_t marker = lowered.find(L",build=");
  RVQ_FUZZ_CHECK(build.has_value() == (marker != std::wstring::npos));
  if (build) {
    const std::wstring rest = lowered.substr(marker + 7);
    int expected = rvqupgd::kNoInstalledBuild;
    if (!rest.empty()) {
      expected = rvqupgd::ParseDecimal(rest.c_str());
      if (expected == INT_MAX) expected = rvqupgd::kNoInstalledBuild;
    }
    RVQ_FUZZ_CHECK(*build == expected);
  }

  // A buffer without a terminator inside its capacity: the lower-casing
  // must stop at the capacity.
  if (!units.empty()) {
    const size_t n = units.size() < capacity ? units.size() : capacity;
    std::unique_ptr<wchar_t[]> unterminated(new wchar_t[n]);
    for (size_t k = 0; k < n; ++k) unterminated[k] = units[k] == L'\0' ? L'x' : units[k];
    rvqupgd::LowerCaseInPlace(unterminated.get(), n);
  }
}

void CheckWideAgreesWithNarrow(const std::string& bytes) {
  // For ASCII text the wide parser must answer as the narrow one.
  std::string narrow;
  std::wstring wide;
  for (char c : bytes) {
    if (c == '\0') break;
    const char ascii = static_cast<char>(c & 0x7F);
    if (ascii == '\0') break;
    narrow.push_back(ascii);
    wide.push_back(static_cast<wchar_t>(ascii));
  }
  RVQ_FUZZ_CHECK(rvqupgd::ParseDecimal(narrow.c_str()) == rvqupgd::ParseDecimal(wide.c_str()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rvqfuzz::Input input(data, size);
  const uint8_t mode = input.Byte();
  const std::string rest = input.Rest();
  switch (mode % 3) {
    case 0: CheckArguments(rest); break;
    case 1: CheckStoredText(rvqfuzz::Utf16Units(rest)); break;
    default: CheckWideAgreesWithNarrow(rest); break;
  }
  const int a = static_cast<int>(size) - 128, b = static_cast<int>(mode) - 64;
  RVQ_FUZZ_CHECK(rvqupgd::ShouldSetRestartFlag(a, b) == (a > 0 && a < b));
  return 0;
}
