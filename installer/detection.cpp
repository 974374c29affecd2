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
#include "common/text_conversion.h"
#include "common/unique_handle.h"
#include "loader/secure_dll_loading.h"
#include "module_state.h"
#include "step_text.h"

namespace checkrvq {
namespace {

constexpr size_t kCommandChars = 521;  // the command line's buffer
constexpr DWORD kResultNoCommandBuffer = ERROR_NOT_ENOUGH_MEMORY;

// Frees the records (with their names) and the pointer array of a list
// under construction.
void ReleaseRecords(IncompatibleProductRecord** records, DWORD made, const HostHeap& heap) {
  for (DWORD i = 0; i < made; ++i) {
    if (!records[i]) continue;
    heap.release(records[i]->productName);
    heap.release(records[i]);
  }
}

// The name of the raw record at `rawRecord` (thread code page) as UTF-16; a
// name that does not convert is empty.
std::wstring RecordName(const unsigned char* rawRecord) {
  std::wstring name;
  Trevalk::MultiByteToUtf16(CP_THREAD_ACP, reinterpret_cast<const char*>(rawRecord + kUninstallerNameOffset),
                            UninstallerRecordNameLength(rawRecord), name);
  return name;
}

// A zero-terminated copy of `text` in the host heap; null when out of memory.
wchar_t* HostCopy(const std::wstring& text, const HostHeap& heap) {
  auto* copy = static_cast<wchar_t*>(heap.allocate((text.size() + 1) * sizeof(wchar_t)));
  if (!copy) return nullptr;
  if (!text.empty()) wmemcpy(copy, text.data(), text.size());
  copy[text.size()] = L'\0';
  return copy;
}

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
                   IncompatibleProductRecord*** list) {
  std::unique_ptr<wchar_t[]> command(new (std::nothrow) wchar_t[kCommandChars]());
  if (!command) return kResultNoCommandBuffer;

  wchar_t descriptionPath[kModuleDirChars];
  if (!FormatDescriptionPath(libraryFolder, descriptionPath)) return 0;
  if (!FormatWhole(command.get(), kCommandChars - 1, L"/D %s /L", descriptionPath)) return 0;

  std::string narrow;
  try {
    if (!Trevalk::Utf16ToMultiByte(CP_THREAD_ACP, command.get(), wcslen(command.get()), narrow)) return 0;
  } catch (const std::bad_alloc&) {
    return kResultNoCommandBuffer;
  }

  // A current directory that cannot be saved is not changed, so that there
  // is never a wrong one to put back. One that was saved is put back even
  // when the change failed: the uninstaller may move it itself.
  wchar_t savedDirectory[kModuleDirChars] = {};
  const DWORD savedLength = GetCurrentDirectoryW(kModuleDirChars, savedDirectory);
  const bool saved = savedLength > 0 && savedLength < kModuleDirChars;
  if (saved) SetCurrentDirectoryW(libraryFolder);

  const unsigned char* raw = nullptr;
  const int called = dllUninstall(narrow.c_str(), &raw, count);

  if (saved) SetCurrentDirectoryW(savedDirectory);

  if ((called & 1) && *count > 0 && raw) MakeIncompatibleDetection(count, raw, list);
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
                                const HostHeap& heap) {
  *list = nullptr;
  const DWORD total = *count;
  LogStep(ETWLogging::kSeverityNormal, L"MakeIncompatibleDetection", log_line::kDetectionCount,
          L"MakeIncompatibleDetection detections=%d\r\n", static_cast<int>(total));
  if (total == 0 || !raw) {
    *count = 0;
    return 0;
  }

  // The pointer array doubles as the ordered working list: it is handed over
  // only once every record is made.
  auto** records = static_cast<IncompatibleProductRecord**>(heap.allocate(sizeof(void*) * static_cast<size_t>(total)));
  if (!records) {
    *count = 0;
    return kResultOutOfMemory;
  }
  try {
    for (DWORD i = 0; i < total; ++i) {
      // Converted before anything of this record is in the host heap: what
      // the conversion throws leaves only listed records behind.
      const std::wstring converted = RecordName(raw + static_cast<size_t>(i) * kUninstallerRecordBytes);
      auto* record = static_cast<IncompatibleProductRecord*>(heap.allocate(sizeof(IncompatibleProductRecord)));
      wchar_t* name = record ? HostCopy(converted, heap) : nullptr;
      if (!name) {
        heap.release(record);
        ReleaseRecords(records, i, heap);
        heap.release(records);
        *count = 0;
        return kResultOutOfMemory;
      }
      const ProductNameMarks marks = ClassifyProductName(name);
      record->productName = name;
      record->lacksMakerName = marks.lacksMakerName;
      record->matchesServiceName = marks.matchesServiceName;
      // In the list before the line is logged, so that a throwing logger
      // cannot orphan it.
      records[i] = record;
      LogStep(ETWLogging::kSeverityNormal, L"MakeIncompatibleDetection", log_line::kProductDetected, L"%s detected\r\n",
              name);
    }
  } catch (...) {
    // The zeroed array holds exactly the records made so far.
    ReleaseRecords(records, total, heap);
    heap.release(records);
    *count = 0;
    throw;
  }
  *list = records;
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
    if (!dllUninstall) return 0;
    return RunDetection(dllUninstall, folder, count, list);
  });
  if (result == kEscaped && *list) {
    // Nothing half-done reaches the host.
    for (DWORD i = 0; i < *count; ++i) {
      if (!(*list)[i]) continue;
      FreeHostBlock((*list)[i]->productName);
      FreeHostBlock((*list)[i]);
    }
    FreeHostBlock(*list);
    *list = nullptr;
  }
  // Whatever happened, a null list goes with a count of 0.
  if (!*list) *count = 0;
  return result;
}
