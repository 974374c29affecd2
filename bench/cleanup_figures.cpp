// Per-user cleanup at uninstallation (checkRVQ.dll's DllUninstallFunction)
// over 10, 100 and 1,000 profiles that the benchmark adds to the machine's
// profile list, with their folders in a scratch folder. Everything added is
// removed again, and the default user's "Local AppData" value put back.
#include <windows.h>

#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "figures.h"
#include "profile_list.h"
#include "test_support.h"

namespace rvqbench {
namespace {

constexpr const wchar_t* kSidPrefix = L"S-1-5-21-4242-10-";

bool WriteSmallFile(const std::wstring& path) {
  Trevalk::UniqueFileHandle file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file && WriteFile(file.get(), "vault", 5, &written, nullptr);
}

// `count` profiles in `profiles`, each with the vault file and both folders.
bool AddProfiles(rvqtest::TestProfileList& profiles, const std::wstring& root, int count,
                 std::vector<std::wstring>& vaults) {
  vaults.clear();
  for (int i = 0; i < count; ++i) {
    const std::wstring profile = root + L"\\u" + std::to_wstring(i);
    std::wstring folder = profile;
    if (!CreateDirectoryW(folder.c_str(), nullptr)) return false;
    for (const wchar_t* part : {L"\\AppData", L"\\Local", L"\\Bryxen", L"\\RVQ"}) {
      folder += part;
      if (!CreateDirectoryW(folder.c_str(), nullptr)) return false;
    }
    vaults.push_back(folder + L"\\rvqpv.dat");
    if (!WriteSmallFile(vaults.back())) return false;
    if (profiles.Add(profile).empty()) return false;
  }
  return profiles.ready();
}

}  // namespace

void CleanupFigures(std::vector<Row>& rows) {
  const std::string goal = "linear";
  Trevalk::UniqueModule dll(LoadLibraryExW(BinPath(L"checkRVQ.dll").c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  using Uninstall = DWORD (*)();
  Uninstall uninstall = nullptr;
  if (FARPROC address = dll ? GetProcAddress(dll.get(), "DllUninstallFunction") : nullptr) {
    // Through void (*)(): the export's real type is known here, not to FARPROC.
    uninstall = reinterpret_cast<Uninstall>(reinterpret_cast<void (*)()>(address));
  }
  if (!uninstall) {
    rows.push_back(FailedRow("per-user cleanup", "checkRVQ.dll or its export missing", goal));
    return;
  }
  wchar_t temp[MAX_PATH + 1];
  const DWORD tempChars = GetTempPathW(MAX_PATH + 1, temp);
  if (tempChars == 0 || tempChars > MAX_PATH) {
    rows.push_back(FailedRow("per-user cleanup", "no temporary folder", goal));
    return;
  }
  const std::wstring root = std::wstring(temp) + L"rvqbench-profiles";
  const std::wstring floorRoot = std::wstring(temp) + L"rvqbench-files";

  double perProfileAt100 = 0;
  for (int count : {10, 100, 1000}) {
    const std::string figure = "per-user cleanup, " + std::to_string(count) + " profiles (per profile)";
    std::vector<std::wstring> vaults;
    bool ok = true;
    const int samples = count >= 1000 ? Samples(5) : count >= 100 ? Samples(9) : Samples(15);
    const PairResult result = MeasurePair(
        [&] {
          rvqtest::RemoveTree(root);
          CreateDirectoryW(root.c_str(), nullptr);
          rvqtest::TestProfileList profiles(kSidPrefix);
          if (!AddProfiles(profiles, root, count, vaults)) ok = false;
          const double start = Now();
          uninstall();
          const double seconds = Now() - start;
          for (const auto& vault : vaults) {
            if (GetFileAttributesW(vault.c_str()) != INVALID_FILE_ATTRIBUTES) ok = false;
          }
          return seconds / count;
        },
        [&] {
          rvqtest::RemoveTree(floorRoot);
          CreateDirectoryW(floorRoot.c_str(), nullptr);
          std::vector<std::wstring> files;
          for (int i = 0; i < count; ++i) {
            files.push_back(floorRoot + L"\\f" + std::to_wstring(i) + L".dat");
            WriteSmallFile(files.back());
          }
          const double start = Now();
          for (const auto& file : files) DeleteFileW(file.c_str());
          return (Now() - start) / count;
        },
        samples, 1);
    rvqtest::RemoveTree(root);
    rvqtest::RemoveTree(floorRoot);
    Row row = MakeRow(figure, result, goal, 0);
    if (!ok) {
      row.verdict = "NO (set-up failed or files left)";
    } else if (count == 100) {
      perProfileAt100 = result.ours.median;
      row.verdict = "-";
    } else if (count == 1000 && perProfileAt100 > 0) {
      const double growth = result.ours.median / perProfileAt100;
      char text[64];
      _snprintf(text, sizeof text, "%s (%.2fx the per-profile cost at 100)", growth <= 1.5 ? "yes" : "NO", growth);
      text[sizeof text - 1] = '\0';
      row.verdict = text;
    } else {
      row.verdict = "-";
    }
    rows.push_back(row);
  }
}

}  // namespace rvqbench
