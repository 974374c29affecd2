// The deliverables as the system meets them: one RvqUpgd.exe run, loading
// and freeing checkRVQ.dll, and the size of each shipped binary.
#include <windows.h>

#include <string>

#include "common/unique_handle.h"
#include "figures.h"

namespace rvqbench {
namespace {

constexpr const wchar_t* kSourceDiskKey = L"Software\\BryxenOnline\\Tovrin Service";
constexpr const wchar_t* kDynaInfoKey = L"Software\\Bryxen\\RVQ\\DynaInfo";

// Seconds from CreateProcess to the end of the process, or a negative
// value when it could not be started.
double RunOnce(const std::wstring& path) {
  std::wstring commandLine = L"\"" + path + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  const double start = Now();
  if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    return -1;
  }
  Trevalk::UniqueKernelHandle process(info.hProcess);
  Trevalk::UniqueKernelHandle thread(info.hThread);
  WaitForSingleObject(process.get(), INFINITE);
  return Now() - start;
}

bool FlagIsSet() {
  DWORD value = 0, size = sizeof value, type = 0;
  return RegGetValueW(HKEY_LOCAL_MACHINE, kDynaInfoKey, L"UpdRestartReq", RRF_RT_ANY, &type, &value, &size) ==
             ERROR_SUCCESS &&
         type == REG_DWORD && value == 1;
}

// `variant` is "" for the binaries as built, or "stripped\\" for the copies
// without symbols and debug information that scripts/bench makes.
void UpgradeRunFigure(std::vector<Row>& rows, const std::wstring& variant) {
  const std::string figure =
      std::string("one `RvqUpgd.exe` run that writes the flag") + (variant.empty() ? "" : ", stripped");
  const std::wstring upgd = BinPath((variant + L"RvqUpgd.exe").c_str());
  const std::wstring empty = BinPath((variant + L"rvq_bench_empty_gui.exe").c_str());
  // The stored build 9 is below the default new build 10: every run is due.
  Trevalk::UniqueHKey key;
  const wchar_t text[] = L"Tovrin,build=9";
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSourceDiskKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                      nullptr) != ERROR_SUCCESS ||
      RegSetValueExW(key.get(), L"SourceDisk", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text) !=
          ERROR_SUCCESS) {
    rows.push_back(FailedRow(figure, "cannot set SourceDisk", "<= 1.3x"));
    return;
  }
  bool allSet = true;
  const PairResult result = MeasurePair(
      [&] {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kDynaInfoKey);
        const double t = RunOnce(upgd);
        allSet = allSet && FlagIsSet();
        return t;
      },
      [&] { return RunOnce(empty); }, Samples(31), 2);
  RegDeleteValueW(key.get(), L"SourceDisk");
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kDynaInfoKey);
  if (result.ours.min < 0 || result.floor.min < 0) {
    rows.push_back(FailedRow(figure, "a program did not start", "<= 1.3x"));
    return;
  }
  Row row = MakeRow(figure, result, "<= 1.3x", 1.3);
  if (!allSet) {
    row.verdict = "NO";
    row.ratio += " (flag not written)";
  }
  rows.push_back(row);
}

// Seconds to load and free a DLL, or a negative value when it does not load.
double LoadAndFree(const std::wstring& path, int batch) {
  const double start = Now();
  for (int i = 0; i < batch; ++i) {
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module) return -1;
    FreeLibrary(module);
  }
  return (Now() - start) / batch;
}

void DllLoadFigure(std::vector<Row>& rows, const std::wstring& variant) {
  const std::string figure = std::string("load and free `checkRVQ.dll`") + (variant.empty() ? "" : ", stripped");
  const std::wstring dll = BinPath((variant + L"checkRVQ.dll").c_str());
  const std::wstring empty = BinPath((variant + L"rvq_bench_empty.dll").c_str());
  const int batch = 5;
  const PairResult result =
      MeasurePair([&] { return LoadAndFree(dll, batch); }, [&] { return LoadAndFree(empty, batch); }, Samples(41), 2);
  if (result.ours.min < 0 || result.floor.min < 0) {
    rows.push_back(FailedRow(figure, "a DLL did not load", "<= 1.5x"));
    return;
  }
  rows.push_back(MakeRow(figure, result, "<= 1.5x", 1.5));
}

bool HaveStripped() { return GetFileAttributesW(BinPath(L"stripped\\checkRVQ.dll").c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string KiB(unsigned long long bytes) { return std::to_string((bytes + 512) / 1024) + " KiB"; }

// Size in bytes, or 0 when the file is missing.
unsigned long long FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

void ProcessFigures(std::vector<Row>& rows) {
  UpgradeRunFigure(rows, L"");
  if (HaveStripped()) UpgradeRunFigure(rows, L"stripped\\");
  DllLoadFigure(rows, L"");
  if (HaveStripped()) DllLoadFigure(rows, L"stripped\\");
}

// Ours: as built (with debug information); floor column: the stripped copy,
// which is what the limit applies to.
void SizeFigures(std::vector<Row>& rows) {
  const wchar_t* const shipped[] = {L"checkRVQ.dll", L"RvqUpgd.exe", L"bxlogctl.exe", L"install-host.exe"};
  for (const wchar_t* name : shipped) {
    std::string narrow;
    for (const wchar_t* c = name; *c; ++c) narrow += static_cast<char>(*c);
    Row row;
    row.figure = "size of `" + narrow + "` (as built / stripped)";
    row.goal = "< 1 MiB";
    const unsigned long long built = FileSize(BinPath(name));
    const unsigned long long stripped = FileSize(BinPath((std::wstring(L"stripped\\") + name).c_str()));
    row.ours = built ? KiB(built) : "missing";
    row.floor = stripped ? KiB(stripped) : "not made";
    const unsigned long long shippedSize = stripped ? stripped : built;
    row.verdict = shippedSize && shippedSize < 1024ull * 1024 ? "yes" : "NO";
    rows.push_back(row);
  }
}

}  // namespace rvqbench
