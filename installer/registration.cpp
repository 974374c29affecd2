// Install-time registration: service removal, the installation records and
// the locale files scheduled for deletion at restart.
#include "registration.h"

#include <shlwapi.h>

#include <clocale>
#include <ctime>
#include <cwchar>
#include <memory>
#include <type_traits>

#include "common/bounded_string.h"
#include "common/unique_handle.h"
#include "entry_points.h"
#include "module_state.h"
#include "osinfo/os_version.h"
#include "registry/registry_text.h"
#include "services.h"

namespace checkrvq {

namespace {

using Trevalk::UniqueFindHandle;
using Trevalk::UniqueHKey;

constexpr wchar_t kProductKey[] = L"SOFTWARE\\Bryxen\\RVQ";
constexpr wchar_t kSubstituteKey[] = L"SOFTWARE\\Bryxen\\RVQ\\AppInfo\\Substitute";
constexpr wchar_t kInstallDirKey[] = L"Software\\Bryxen\\RVQ";
constexpr REGSAM kWriteAccess = KEY_ALL_ACCESS | KEY_WOW64_64KEY;
constexpr size_t kDateChars = 255;
constexpr DWORD kInstallDirBytes = 520;

void LogKeyNotOpened(const wchar_t* key, LSTATUS status) {
  LogStep(ETWLogging::kSeverityError, L"DllInstallFunction", log_line::kRecordKeyNotOpened,
          L"detectRVQ.dll DllInstallFunction(): Unable to open HKEY_LOCAL_MACHINE\\%s. Error code:%d", key,
          static_cast<int>(status));
}

void LogValueNotWritten(const wchar_t* name, LSTATUS status) {
  LogStep(ETWLogging::kSeverityError, L"DllInstallFunction", log_line::kRecordValueNotWritten,
          L"detectRVQ.dll DllInstallFunction(): Unable to write the value [%s]. Error code:%d", name,
          static_cast<int>(status));
}

void SetDword(HKEY key, const wchar_t* name, DWORD value) {
  const LSTATUS status = RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  if (status != ERROR_SUCCESS) LogValueNotWritten(name, status);
}

void WriteLastUpdate() {
  wchar_t date[kDateChars] = {};
  const time_t now = time(nullptr);
  tm local{};
  if (localtime_s(&local, &now) != 0) return;
  // The user's short date, in a locale object of our own: the C runtime's
  // global locale is shared with a host on the same runtime DLL, whose
  // number formats would change with it.
  std::unique_ptr<std::remove_pointer_t<_locale_t>, decltype(&_free_locale)> userLocale(
      _create_locale(LC_ALL, ".ACP"), &_free_locale);
  const size_t length = userLocale ? _wcsftime_l(date, kDateChars, L"%x", &local, userLocale.get())
                                   : wcsftime(date, kDateChars, L"%x", &local);
  UniqueHKey key;
  const LSTATUS opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, kWriteAccess, key.put());
  if (opened != ERROR_SUCCESS) {
    LogKeyNotOpened(kProductKey, opened);
    return;
  }
  // The stored text leaves out the terminating null.
  const LSTATUS written = RegSetValueExW(key.get(), L"Last Update", 0, REG_SZ, reinterpret_cast<const BYTE*>(date),
                                         static_cast<DWORD>(length * sizeof(wchar_t)));
  if (written != ERROR_SUCCESS) LogValueNotWritten(L"Last Update", written);
}

void WriteGmtDate() {
  const DWORD seconds = static_cast<DWORD>(static_cast<unsigned long long>(time(nullptr)) & 0xFFFFFFFFull);
  UniqueHKey key;
  const LSTATUS created =
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSubstituteKey, 0, nullptr, 0, kWriteAccess, nullptr, key.put(), nullptr);
  if (created != ERROR_SUCCESS) {
    LogKeyNotOpened(kSubstituteKey, created);
    return;
  }
  SetDword(key.get(), L"gmtdate", seconds);
}

void WriteInstallPlatform(const OSCodeQuery& queryOSCode) {
  const DWORD platform = InstallPlatformCode(queryOSCode);
  UniqueHKey key;
  const LSTATUS opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, kWriteAccess, key.put());
  if (opened != ERROR_SUCCESS) {
    LogKeyNotOpened(kProductKey, opened);
    return;
  }
  SetDword(key.get(), L"InstallPlatform", platform);
}

// True when a found long name itself has the form "loc_*.dat". The search
// also matches its pattern against 8.3 short names, so that "loc_*.dat"
// finds "loc_en.dat_bak" or "loc_cache.data" through names like
// "LOC_~1.DAT": those files are not ours to delete.
bool IsLocaleFileName(const wchar_t* name) {
  const size_t chars = Trevalk::BoundedLength(name, MAX_PATH);
  return chars >= 8 && _wcsnicmp(name, L"loc_", 4) == 0 && _wcsicmp(name + chars - 4, L".dat") == 0;
}

void LogLocaleSearchFailed(const wchar_t* folder, DWORD error) {
  LogStep(ETWLogging::kSeverityError, L"DllInstallFunction", log_line::kLocaleSearchFailed,
          L"detectRVQ.dll DllInstallFunction(): Unable to list the locale files in [%s]. Error code:%d", folder,
          static_cast<int>(error));
}

// Schedules each "loc_*.dat" directly in `folder`.
void ScheduleLocaleFilesIn(const wchar_t* folder) {
  wchar_t pattern[kPathChars];
  if (!AppendToFolder(folder, L"loc_*.dat", pattern, kPathChars)) {
    LogLocaleSearchFailed(folder, ERROR_FILENAME_EXCED_RANGE);
    return;
  }
  WIN32_FIND_DATAW found{};
  UniqueFindHandle search(FindFirstFileW(pattern, &found));
  if (!search) {
    const DWORD error = GetLastError();
    // No locale file, or no such folder: nothing to schedule.
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) LogLocaleSearchFailed(folder, error);
    return;
  }
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !IsLocaleFileName(found.cFileName)) continue;
    wchar_t path[kPathChars];
    if (!AppendToFolder(folder, found.cFileName, path, kPathChars)) {
      LogStep(ETWLogging::kSeverityError, L"DllInstallFunction", log_line::kLocaleFileNotScheduled,
              L"detectRVQ.dll DllInstallFunction(): Unable to schedule [%s\\%s] for deletion. Error code:%d", folder,
              found.cFileName, static_cast<int>(ERROR_FILENAME_EXCED_RANGE));
      continue;
    }
    if (!MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
      LogStep(ETWLogging::kSeverityError, L"DllInstallFunction", log_line::kLocaleFileNotScheduled,
              L"detectRVQ.dll DllInstallFunction(): Unable to schedule [%s] for deletion. Error code:%d", path,
              static_cast<int>(GetLastError()));
    }
  } while (FindNextFileW(search.get(), &found));
  const DWORD error = GetLastError();
  if (error != ERROR_NO_MORE_FILES) LogLocaleSearchFailed(folder, error);
}

}  // namespace

DWORD InstallPlatformCode(const OSCodeQuery& queryOSCode) {
  static const struct {
    DWORD osCode;
    DWORD platform;
  } kPlatforms[] = {{Trevalk::kOSCodeVista, 9},
                    {Trevalk::kOSCodeWindows7, 11},
                    {Trevalk::kOSCodeWindows8, 13},
                    {Trevalk::kOSCodeWindows81, 15},
                    {Trevalk::kOSCodeWindows10, 17}};
  for (const auto& entry : kPlatforms) {
    if (queryOSCode() == entry.osCode) return entry.platform;
  }
  return 3;
}

bool ParseInstallDir(DWORD type, const BYTE* data, DWORD bytes, wchar_t* out, size_t capacity) {
  if (!out || capacity == 0) return false;
  out[0] = L'\0';
  const wchar_t* text = Trevalk::AcceptedRegistryText(type, reinterpret_cast<const wchar_t*>(data), bytes);
  const size_t chars = bytes / sizeof(wchar_t);
  if (!text || chars > capacity) return false;
  wmemcpy(out, text, chars);
  // The empty text names no folder; a value with an embedded null ends
  // there, like any registry string.
  return out[0] != L'\0';
}

bool AppendToFolder(const wchar_t* folder, const wchar_t* name, wchar_t* out, size_t capacity) {
  // PathAppendW writes up to MAX_PATH characters and checks nothing of
  // ours: measure first, so that nothing is ever cut.
  if (!folder || !name || capacity < MAX_PATH) return false;
  const size_t folderChars = Trevalk::BoundedLength(folder, capacity);
  const size_t nameChars = Trevalk::BoundedLength(name, capacity);
  const size_t separator = folderChars > 0 && folder[folderChars - 1] == L'\\' ? 0 : 1;
  if (folderChars + separator + nameChars + 1 > kPathChars) return false;
  if (!Trevalk::CopyString(out, capacity, folder)) return false;
  return PathAppendW(out, name) != FALSE;
}

void WriteInstallationRecords(const OSCodeQuery& queryOSCode) {
  WriteLastUpdate();
  WriteGmtDate();
  WriteInstallPlatform(queryOSCode);
}

void ScheduleLocaleFilesForDeletion() {
  UniqueHKey key;
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kInstallDirKey, 0, KEY_READ, key.put());
  BYTE data[kInstallDirBytes];
  DWORD bytes = sizeof data;
  DWORD type = REG_NONE;
  if (status == ERROR_SUCCESS) status = RegQueryValueExW(key.get(), L"Install Dir", nullptr, &type, data, &bytes);
  wchar_t installDir[kPathChars];
  if (status == ERROR_SUCCESS && !ParseInstallDir(type, data, bytes, installDir, kPathChars)) {
    status = ERROR_INVALID_DATA;
  }
  if (status != ERROR_SUCCESS) {
    LogStep(ETWLogging::kSeverityError, L"DllInstallFunction", log_line::kInstallDirNotRead,
            L"detectRVQ.dll DllInstallFunction(): Unable to read \"Install Dir\", no locale file scheduled. "
            L"Error code:%d",
            static_cast<int>(status));
    return;
  }
  ScheduleLocaleFilesIn(installDir);
  wchar_t localeDir[kPathChars];
  if (AppendToFolder(installDir, L"Locale", localeDir, kPathChars)) {
    ScheduleLocaleFilesIn(localeDir);
  } else {
    LogLocaleSearchFailed(installDir, ERROR_FILENAME_EXCED_RANGE);
  }
}

}  // namespace checkrvq

namespace checkrvq {
namespace {

// Runs one step of DllInstallFunction: a failure escaping it (the C++
// runtime out of memory) is logged, and the next step still runs.
template <typename Step>
void RunInstallStep(int line, const wchar_t* message, Step&& step) noexcept {
  constexpr DWORD kEscaped = 1;
  if (GuardedEntry(kEscaped, [&]() -> DWORD {
        step();
        return 0;
      }) == kEscaped) {
    LogStep(ETWLogging::kSeverityError, L"DllInstallFunction", line, message);
  }
}

}  // namespace
}  // namespace checkrvq

extern "C" DWORD DllInstallFunction() {
  using namespace checkrvq;
  // Always 0: failures go to the log only. The outer boundary binds the
  // system libraries before any step, or its failure line, needs them.
  return GuardedEntry(0, []() -> DWORD {
    RunInstallStep(log_line::kOldServiceRemovalFailed,
                   L"detectRVQ.dll DllInstallFunction(): Removing the old service failed.",
                   [] { DeleteServices(kObsoleteServices, kObsoleteServiceCount); });
    RunInstallStep(log_line::kRecordingFailed,
                   L"detectRVQ.dll DllInstallFunction(): Recording the installation failed.",
                   [] { WriteInstallationRecords([] { return Trevalk::QueryOSCode(); }); });
    RunInstallStep(log_line::kLocaleSchedulingFailed,
                   L"detectRVQ.dll DllInstallFunction(): Scheduling the locale files failed.",
                   [] { ScheduleLocaleFilesForDeletion(); });
    return 0;
  });
}
