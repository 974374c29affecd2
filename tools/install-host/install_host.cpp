// install-host.exe: loads checkRVQ.dll as an installer host does, calls the
// entry points named on the command line in order, and prints one JSON line
// per event on standard output (UTF-8).
//
//   install-host [--dll PATH] ENTRY [ENTRY...]
//   install-host --version
//
// ENTRY is one of the eight export names, or "none" to only load and free
// the library. Exit codes: 0 done, 1 bad usage, 2 the library or an export
// could not be found, 3 an ordinal does not match its name.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "entry_points.h"
#include "rvq_version.h"

namespace {

const char* const kExportNames[8] = {"StartApplication", "DetectIncompatible", "UninstallIncompatible",
                                     "PreInstall",       "PostInstall",        "OnFreeLibrary",
                                     "DllInstallFunction", "DllUninstallFunction"};

// Sentinels show whether the library wrote an out-parameter.
constexpr DWORD kUntouched = 0xA5A5A5A5;
constexpr DWORD kMaxRecordsPrinted = 100000;

std::string Utf8(const wchar_t* text) {
  if (!text) return {};
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return {};
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], bytes, nullptr, nullptr);
  out.resize(static_cast<size_t>(bytes) - 1);
  return out;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char escaped[8];
          snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string JsonString(const wchar_t* text) { return text ? JsonString(Utf8(text)) : "null"; }

std::string CurrentDirectory() {
  std::vector<wchar_t> buffer(GetCurrentDirectoryW(0, nullptr) + 1);
  const DWORD n = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
  return n ? Utf8(buffer.data()) : std::string();
}

std::string Hex(const void* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

std::string Number(unsigned long long value) { return std::to_string(value); }

std::string HexCode(DWORD value) {
  char text[16];
  snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
  return text;
}

void Emit(const std::string& line) {
  fputs(line.c_str(), stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

void FreeHostBlock(void* block) {
  if (block) HeapFree(GetProcessHeap(), 0, block);
}

// The blocks handed over belong to the host; this host frees them after
// printing them.
std::string DetectionFields(DWORD count, IncompatibleProductRecord** list) {
  std::string out = ",\"count\":" + (count == kUntouched ? std::string("\"untouched\"") : Number(count));
  if (!list) return out + ",\"list\":null";
  out += ",\"list\":[";
  const DWORD shown = count > kMaxRecordsPrinted ? kMaxRecordsPrinted : count;
  for (DWORD i = 0; i < shown; ++i) {
    IncompatibleProductRecord* record = list[i];
    if (i) out += ",";
    if (!record) {
      out += "null";
      continue;
    }
    out += "{\"lacksMakerName\":" + Number(record->lacksMakerName) +
           ",\"productName\":" + JsonString(record->productName) +
           ",\"matchesServiceName\":" + Number(record->matchesServiceName) + "}";
    FreeHostBlock(record->productName);
    FreeHostBlock(record);
  }
  FreeHostBlock(list);
  return out + "]";
}

std::string StepFields(StepResult* result, DWORD flag, const char* flagName) {
  std::string out = ",\"stepResult\":" + (result ? "\"" + Hex(result, sizeof *result) + "\"" : std::string("null"));
  out += std::string(",\"") + flagName + "\":" + (flag == kUntouched ? std::string("\"untouched\"") : Number(flag));
  FreeHostBlock(result);
  return out;
}

int Usage() {
  fputs("usage: install-host [--dll PATH] ENTRY [ENTRY...]\n"
        "       install-host --version\n"
        "  ENTRY: StartApplication DetectIncompatible UninstallIncompatible PreInstall\n"
        "         PostInstall OnFreeLibrary DllInstallFunction DllUninstallFunction none\n",
        stderr);
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && wcscmp(argv[1], L"--version") == 0) {
    fputs("install-host " RVQ_VERSION_DOTTED "\n", stdout);
    return 0;
  }
  std::wstring dllPath;
  std::vector<std::string> entries;
  for (int i = 1; i < argc; ++i) {
    if (wcscmp(argv[i], L"--dll") == 0 && i + 1 < argc) {
      dllPath = argv[++i];
    } else if (argv[i][0] == L'-') {
      return Usage();
    } else {
      entries.push_back(Utf8(argv[i]));
    }
  }
  if (entries.empty()) return Usage();
  if (dllPath.empty()) {
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 2;
    std::wstring folder(self, n);
    folder.resize(folder.find_last_of(L'\\') + 1);
    dllPath = folder + L"checkRVQ.dll";
  }

  // By its full path, its own dependencies from its folder and the System
  // folder only: never from the current directory or PATH. Systems without
  // the search flags answer ERROR_INVALID_PARAMETER; they get the older
  // flag, which still looks in the library's folder first.
  const DWORD fullChars = GetFullPathNameW(dllPath.c_str(), 0, nullptr, nullptr);
  if (fullChars != 0) {
    std::vector<wchar_t> full(fullChars);
    const DWORD written = GetFullPathNameW(dllPath.c_str(), fullChars, full.data(), nullptr);
    if (written != 0 && written < fullChars) dllPath.assign(full.data(), written);
  }
  HMODULE library =
      LoadLibraryExW(dllPath.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!library && GetLastError() == ERROR_INVALID_PARAMETER) {
    library = LoadLibraryExW(dllPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }
  if (!library) {
    const DWORD error = GetLastError();
    Emit("{\"event\":\"load\",\"dll\":" + JsonString(dllPath.c_str()) + ",\"error\":" + Number(error) + "}");
    return 2;
  }
  FARPROC procs[8];
  for (int i = 0; i < 8; ++i) {
    procs[i] = GetProcAddress(library, kExportNames[i]);
    if (!procs[i]) {
      Emit("{\"event\":\"load\",\"missingExport\":" + JsonString(kExportNames[i]) + "}");
      FreeLibrary(library);
      return 2;
    }
    if (GetProcAddress(library, MAKEINTRESOURCEA(i + 1)) != procs[i]) {
      Emit("{\"event\":\"load\",\"ordinalMismatch\":" + Number(i + 1) + "}");
      FreeLibrary(library);
      return 3;
    }
  }
  Emit("{\"event\":\"load\",\"dll\":" + JsonString(dllPath.c_str()) + ",\"exports\":\"ok\"}");

  int exitCode = 0;
  for (const std::string& entry : entries) {
    const std::string before = CurrentDirectory();
    std::string line = "{\"entry\":" + JsonString(entry);
    if (entry == "none") {
      Emit(line + "}");
      continue;
    }
    if (entry == "StartApplication") {
      line += ",\"result\":" + HexCode(ProcAs<StartApplicationFn>(procs[0])());
    } else if (entry == "DetectIncompatible") {
      DWORD count = kUntouched;
      IncompatibleProductRecord** list = nullptr;
      const DWORD result = ProcAs<DetectIncompatibleFn>(procs[1])(&count, &list);
      line += ",\"result\":" + HexCode(result) + DetectionFields(count, list);
    } else if (entry == "UninstallIncompatible") {
      line += ",\"result\":" + HexCode(ProcAs<UninstallIncompatibleFn>(procs[2])());
    } else if (entry == "PreInstall" || entry == "PostInstall") {
      const bool pre = entry == "PreInstall";
      StepResult* stepResult = nullptr;
      DWORD flag = kUntouched;
      const DWORD result = ProcAs<PreInstallFn>(procs[pre ? 3 : 4])(nullptr, nullptr, &stepResult, &flag);
      line += ",\"result\":" + HexCode(result) + StepFields(stepResult, flag, pre ? "canBeInstalled" : "needsReboot");
    } else if (entry == "OnFreeLibrary") {
      ProcAs<OnFreeLibraryFn>(procs[5])();
    } else if (entry == "DllInstallFunction") {
      line += ",\"result\":" + HexCode(ProcAs<DllInstallFunctionFn>(procs[6])());
    } else if (entry == "DllUninstallFunction") {
      line += ",\"result\":" + HexCode(ProcAs<DllUninstallFunctionFn>(procs[7])());
    } else {
      Emit(line + ",\"error\":\"unknown entry\"}");
      exitCode = 1;
      break;
    }
    Emit(line + ",\"cwdBefore\":" + JsonString(before) + ",\"cwdAfter\":" + JsonString(CurrentDirectory()) + "}");
  }

  FreeLibrary(library);
  Emit("{\"event\":\"unload\"}");
  return exitCode;
}
