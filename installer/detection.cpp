// Incompatible-product detection: runs Uninst.dll's Dll_Uninstall in its
// detection mode and turns the products it lists into host records.
#include "detection.h"

#include <windows.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>

#include "common/bounded_string.h"
#include "common/current_directory.h"
#include "common/text_conversion.h"
#include "common/unique_handle.h"
#include "loader/secure_dll_loading.h"
#include "module_state.h"
#include "step_text.h"

namespace checkrvq {
namespace {

constexpr size_t kCommandChars = 521;  // the command line's buffer
constexpr DWORD kResultNoCommandBuffer = ERROR_NOT_ENOUGH_MEMORY;

// The host's list under construction: the pointer array and the records
// made so far, each with its name. What was not handed over is released
// with the owner.
class ProductList {
 public:
  ProductList(DWORD total, const HostHeap& heap) noexcept
      : heap_(heap), records_(sizeof(IncompatibleProductRecord*) * static_cast<size_t>(total), heap) {}
  ~ProductList() {
    IncompatibleProductRecord** records = records_.get();
    if (!records) return;
    for (DWORD i = 0; i < made_; ++i) {
      heap_.release(records[i]->productName);
      heap_.release(records[i]);
    }
  }
  ProductList(const ProductList&) = delete;
  ProductList& operator=(const ProductList&) = delete;

  explicit operator bool() const noexcept { return static_cast<bool>(records_); }

  // Appends a record with a copy of `name`; false when out of memory.
  bool Add(const std::wstring& name, const wchar_t** stored) noexcept {
    HostBlock<IncompatibleProductRecord> record(sizeof(IncompatibleProductRecord), heap_);
    if (!record) return false;
    HostBlock<wchar_t> copy((name.size() + 1) * sizeof(wchar_t), heap_);
    if (!copy) return false;
    if (!name.empty()) wmemcpy(copy.get(), name.data(), name.size());
    copy.get()[name.size()] = L'\0';
    const ProductNameMarks marks = ClassifyProductName(copy.get());
    record->lacksMakerName = marks.lacksMakerName;
    record->matchesServiceName = marks.matchesServiceName;
    record->productName = copy.HandOver();
    *stored = record->productName;
    records_.get()[made_++] = record.HandOver();
    return true;
  }

  // The array for the host, which owns it and every record from now on.
  IncompatibleProductRecord** HandOver() noexcept {
    made_ = 0;
    return records_.HandOver();
  }

 private:
  HostHeap heap_;
  HostBlock<IncompatibleProductRecord*> records_;
  DWORD made_ = 0;
};

// The description path "<folder>\uninst.ini". A folder with characters
// outside the ANSI code page would reach the uninstaller as '?' and name no
// file: its short (8.3) form is used then, when it has one that converts.
bool FormatDescriptionPath(const wchar_t* libraryFolder, wchar_t (&path)[kModuleDirChars]) {
  if (!FormatWhole(path, kModuleDirChars, L"%s\\uninst.ini", libraryFolder)) return false;
  if (Trevalk::FitsThreadCodePage(path)) return true;
  wchar_t shortFolder[kModuleDirChars];
  const DWORD chars = GetShortPathNameW(libraryFolder, shortFolder, kModuleDirChars);
  wchar_t shortPath[kModuleDirChars];
  if (chars > 0 && chars < kModuleDirChars && FormatWhole(shortPath, kModuleDirChars, L"%s\\uninst.ini", shortFolder) &&
      Trevalk::FitsThreadCodePage(shortPath)) {
    Trevalk::CopyString(path, kModuleDirChars, shortPath);
  }
  return true;
}

}  // namespace

DWORD RunDetection(DllUninstallFn dllUninstall, const wchar_t* libraryFolder, DWORD* count,
                   IncompatibleProductRecord*** list, UINT codePage) {
  std::unique_ptr<wchar_t[]> command(new (std::nothrow) wchar_t[kCommandChars]());
  if (!command) return kResultNoCommandBuffer;

  wchar_t descriptionPath[kModuleDirChars];
  if (!FormatDescriptionPath(libraryFolder, descriptionPath)) return 0;
  if (!FormatWhole(command.get(), kCommandChars - 1, L"/D %s /L", descriptionPath)) return 0;

  std::string narrow;
  bool converted = false;
  try {
    converted = Trevalk::Utf16ToMultiByte(codePage, command.get(), wcslen(command.get()), narrow);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
  if (!converted) {
    // Without its command line the uninstaller cannot be asked: that is no
    // answer, never "no products".
    LogStep(ETWLogging::kSeverityError, L"DetectIncompatible", log_line::kCommandNotConverted,
            L"detectRVQ.dll DetectIncompatible(): Unable to convert the command line. Error code:%d",
            static_cast<int>(GetLastError()));
    return kResultNoCommandBuffer;
  }

  // The uninstaller runs in the library's folder or not at all: never in
  // the host's. A current directory that cannot be saved is not changed, so
  // that there is never a wrong one to put back.
  Trevalk::ScopedCurrentDirectory directory;
  if (!directory.saved()) {
    LogStep(ETWLogging::kSeverityError, L"DetectIncompatible", log_line::kDetectionDirectoryNotSaved,
            L"detectRVQ.dll DetectIncompatible(): Unable to save the current directory, Uninst.dll not called. "
            L"Error code:%d",
            static_cast<int>(directory.error()));
    return directory.error() == ERROR_NOT_ENOUGH_MEMORY ? kResultNoCommandBuffer : 0;
  }
  if (!directory.Enter(libraryFolder)) {
    LogStep(ETWLogging::kSeverityError, L"DetectIncompatible", log_line::kDetectionFolderNotEntered,
            L"detectRVQ.dll DetectIncompatible(): Unable to enter [%s], Uninst.dll not called. Error code:%d",
            libraryFolder, static_cast<int>(directory.error()));
    return 0;
  }

  const unsigned char* raw = nullptr;
  const int called = dllUninstall(narrow.c_str(), &raw, count);

  // Put back even when the uninstaller moved it itself.
  if (!directory.Restore()) {
    LogStep(ETWLogging::kSeverityError, L"DetectIncompatible", log_line::kDetectionDirectoryNotRestored,
            L"detectRVQ.dll DetectIncompatible(): Unable to restore the current directory. Error code:%d",
            static_cast<int>(directory.error()));
  }

  if (!(called & 1)) {
    LogStep(ETWLogging::kSeverityError, L"DetectIncompatible", log_line::kUninstallerReportedFailure,
            L"detectRVQ.dll DetectIncompatible(): Uninst.dll reported failure (%d).", called);
    *count = 0;
    return 0;
  }
  if (*count > 0 && raw) {
    const DWORD made = MakeIncompatibleDetection(count, raw, list, ProcessHostHeap(), codePage);
    // A record that cannot be allocated gives an empty list (logged); a name
    // that cannot be converted fails the call.
    if (made == kResultNameNotConverted) return kResultNoCommandBuffer;
  }
  return 0;
}

size_t UninstallerRecordNameLength(const unsigned char* record) {
  if (!record) return 0;
  const unsigned char* name = record + kUninstallerNameOffset;
  const void* end = memchr(name, 0, kUninstallerNameBytes);
  return end ? static_cast<size_t>(static_cast<const unsigned char*>(end) - name) : kUninstallerNameBytes;
}

ProductNameMarks ClassifyProductName(const wchar_t* name) {
  if (!name) return {1, 0};
  return {wcsstr(name, L"Bryxen") ? 0u : 1u, wcsstr(name, L"Tovrin Service") ? 1u : 0u};
}

DWORD MakeIncompatibleDetection(DWORD* count, const unsigned char* raw, IncompatibleProductRecord*** list) {
  return MakeIncompatibleDetection(count, raw, list, ProcessHostHeap());
}

DWORD MakeIncompatibleDetection(DWORD* count, const unsigned char* raw, IncompatibleProductRecord*** list,
                                const HostHeap& heap, UINT codePage) {
  *list = nullptr;
  const DWORD total = *count;
  *count = 0;
  LogStep(ETWLogging::kSeverityNormal, L"MakeIncompatibleDetection", log_line::kDetectionCount,
          L"MakeIncompatibleDetection detections=%d\r\n", static_cast<int>(total));
  if (total == 0 || !raw) return 0;

  // The array doubles as the ordered working list: it is handed over only
  // once every record is made.
  ProductList products(total, heap);
  if (!products) {
    LogStep(ETWLogging::kSeverityError, L"MakeIncompatibleDetection", log_line::kProductListNotAllocated,
            L"detectRVQ.dll DetectIncompatible(): Unable to allocate the product list.");
    return kResultOutOfMemory;
  }
  std::wstring name;
  for (DWORD i = 0; i < total; ++i) {
    const unsigned char* rawRecord = raw + static_cast<size_t>(i) * kUninstallerRecordBytes;
    if (!Trevalk::MultiByteToUtf16(codePage, reinterpret_cast<const char*>(rawRecord + kUninstallerNameOffset),
                                   UninstallerRecordNameLength(rawRecord), name)) {
      LogStep(ETWLogging::kSeverityError, L"MakeIncompatibleDetection", log_line::kProductNameNotConverted,
              L"detectRVQ.dll DetectIncompatible(): Unable to convert the name of product %d. Error code:%d",
              static_cast<int>(i), static_cast<int>(GetLastError()));
      return kResultNameNotConverted;
    }
    const wchar_t* stored = nullptr;
    if (!products.Add(name, &stored)) {
      LogStep(ETWLogging::kSeverityError, L"MakeIncompatibleDetection", log_line::kProductListNotAllocated,
              L"detectRVQ.dll DetectIncompatible(): Unable to allocate the product list.");
      return kResultOutOfMemory;
    }
    LogStep(ETWLogging::kSeverityNormal, L"MakeIncompatibleDetection", log_line::kProductDetected, L"%s detected\r\n",
            stored);
  }
  *list = products.HandOver();
  *count = total;
  return 0;
}

}  // namespace checkrvq

extern "C" DWORD DetectIncompatible(DWORD* count, IncompatibleProductRecord*** list) {
  using namespace checkrvq;
  // Nothing can be handed to a host that gives no place for it.
  if (!count || !list) return 0;
  *count = 0;
  *list = nullptr;
  // Anything that escapes (the C++ runtime out of memory, in a log line for
  // instance) is a failure: "no incompatible products" would let the
  // installation go on.
  constexpr DWORD kEscaped = ERROR_NOT_ENOUGH_MEMORY;
  const DWORD result = GuardedEntry(kEscaped, [&]() -> DWORD {
    wchar_t folder[kModuleDirChars];
    GetModuleDirectory(LibraryModule(), folder, kModuleDirChars);
    wchar_t libraryPath[kModuleDirChars];
    // An empty folder (the module path did not fit) would make "\Uninst.dll"
    // a file in the root of the current drive: never load that.
    if (folder[0] == L'\0' || !FormatWhole(libraryPath, kModuleDirChars, L"%s\\Uninst.dll", folder)) {
      // The folder alone names what could not be loaded; a cut path would
      // name another file.
      LogStep(ETWLogging::kSeverityError, L"DetectIncompatible", log_line::kUninstallerNotLoaded,
              L"Unable to load Uninst.dll [%s]\r\n", folder);
      return 0;
    }
    // Its own imports resolve from its folder and the System folder only,
    // never from the host program's folder, the current directory or PATH.
    Trevalk::UniqueModule uninstaller(Trevalk::LoadLibraryBesideItsDependencies(libraryPath));
    if (!uninstaller) {
      LogStep(ETWLogging::kSeverityError, L"DetectIncompatible", log_line::kUninstallerNotLoaded,
              L"Unable to load Uninst.dll [%s]\r\n", libraryPath);
      return 0;
    }
    const auto dllUninstall = ProcAs<DllUninstallFn>(GetProcAddress(uninstaller.get(), "Dll_Uninstall"));
    if (!dllUninstall) {
      LogStep(ETWLogging::kSeverityError, L"DetectIncompatible", log_line::kUninstallerEntryMissing,
              L"detectRVQ.dll DetectIncompatible(): Unable to find Dll_Uninstall in Uninst.dll. Error code:%d",
              static_cast<int>(GetLastError()));
      return 0;
    }
    return RunDetection(dllUninstall, folder, count, list);
  });
  // The list is handed over only whole, and only by a call that succeeded.
  if (!*list) *count = 0;
  return result;
}
