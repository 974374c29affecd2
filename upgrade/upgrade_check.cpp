#include "upgrade_check.h"

#include <climits>
#include <cwchar>

#include "common/decimal_text.h"

namespace rvqupgd {

int ParseDecimal(const char* text) { return Trevalk::ParseDecimal(text); }
int ParseDecimal(const wchar_t* text) { return Trevalk::ParseDecimal(text); }

int NewBuildFromArguments(int argc, const char* const* argv) {
  if (argc != 2 || argv == nullptr) return kDefaultNewBuild;
  const int build = ParseDecimal(argv[1]);
  // INT_MAX is what an overflowing conversion answers, so it cannot be told
  // apart from a real build of that number and counts as no number.
  return build == INT_MAX ? kDefaultNewBuild : build;
}

void LowerCaseInPlace(wchar_t* text, size_t capacity) {
  if (text == nullptr) return;
  for (size_t i = 0; i < capacity && text[i] != L'\0'; ++i) {
    if (text[i] >= L'A' && text[i] <= L'Z') text[i] = static_cast<wchar_t>(text[i] - L'A' + L'a');
  }
}

std::optional<int> InstalledBuildFromText(const wchar_t* text) {
  static const wchar_t kMarker[] = L",build=";
  if (text == nullptr) return std::nullopt;
  const wchar_t* marker = wcsstr(text, kMarker);
  if (marker == nullptr) return std::nullopt;
  const wchar_t* number = marker + (sizeof kMarker / sizeof kMarker[0] - 1);
  if (*number == L'\0') return kNoInstalledBuild;
  const int build = ParseDecimal(number);
  return build == INT_MAX ? kNoInstalledBuild : build;
}

bool ShouldSetRestartFlag(int installedBuild, int newBuild) { return installedBuild > 0 && installedBuild < newBuild; }

}  // namespace rvqupgd
