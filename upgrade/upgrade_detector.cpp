#include "upgrade_detector.h"

#include "loader/delay_load_hook.h"
#include "logging.h"
#include "restart_flag.h"
#include "source_disk.h"
#include "upgrade_check.h"

namespace rvqupgd {
namespace {

// The message belongs to the program's entry; log readers know it by this
// file, function and line.
constexpr wchar_t kEntrySourceFile[] = L"RvqUpgd.cpp";
constexpr wchar_t kEntryFunction[] = L"WinMain";
constexpr int kInitFailedLine = 102;
constexpr DWORD kSeverityError = 4;

}  // namespace

DWORD RunUpgradeDetector(int argc, const char* const* argv, SecureLoadingInit initSecureDllLoading) {
  // Before anything binds advapi32 or version.dll: they are delay-loaded and
  // must be found under the restricted search order. A failure only costs
  // the restriction.
  const bool restricted = initSecureDllLoading != nullptr && initSecureDllLoading();
  // Every system library bound now, under that order, before the first log
  // line needs one: a library that cannot be bound ends the pass here (as an
  // unreadable "SourceDisk" does), where the delay helper would end the
  // process with its exception at the first call.
  if (Trevalk::BindDelayImports() != ERROR_SUCCESS) return 0;
  if (!restricted) {
    ETWLogging::LogIfEnabled(kSeverityError, kEntrySourceFile, kEntryFunction, kInitFailedLine,
                             L"RvqUpgd.exe :: InitSecureDllLoading Failed");
  }

  const int newBuild = NewBuildFromArguments(argc, argv);

  wchar_t text[kSourceDiskChars] = {};
  DWORD type = REG_NONE;
  if (ReadRegistryTextAnsi(HKEY_LOCAL_MACHINE, kSourceDiskKey, kSourceDiskValue, &type, text, sizeof text) !=
          ERROR_SUCCESS ||
      type != REG_SZ || text[0] == L'\0') {
    return 0;
  }
  LowerCaseInPlace(text, kSourceDiskChars);
  const std::optional<int> installedBuild = InstalledBuildFromText(text);
  if (!installedBuild || !ShouldSetRestartFlag(*installedBuild, newBuild)) return 0;
  return static_cast<DWORD>(WriteRestartFlag());
}

}  // namespace rvqupgd
