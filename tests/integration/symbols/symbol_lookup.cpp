// Resolves an exported function of a module through the system's symbol
// handler (dbghelp), the way a debugger resolves an address of a crash:
//
//   symbol_lookup MODULE EXPORT SEARCH_PATH [OFFSET]
//
// maps MODULE without running it, takes the address of EXPORT plus OFFSET
// bytes, loads the module's symbols from SEARCH_PATH (dbghelp's syntax:
// folders separated by ';') and prints what dbghelp finds:
//   pdb <file dbghelp loaded the symbols from>
//   key pdb <GUID><age>          the PDB's key in a symbol store
//   key image <TIMESTAMP><size>  the image's key in a symbol store
//   symbol <name> +<displacement>
//   line <source file> <line>
// Exit status 0 when the PDB, the symbol and the line were found.
#include <windows.h>

#include <dbghelp.h>

#include <cstdio>
#include <cwchar>
#include <memory>
#include <type_traits>

namespace {

struct ModuleCloser {
  void operator()(HMODULE module) const { FreeLibrary(module); }
};
using ModuleHandle = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleCloser>;

using SymSetOptionsFn = DWORD(WINAPI*)(DWORD);
using SymInitializeWFn = BOOL(WINAPI*)(HANDLE, PCWSTR, BOOL);
using SymCleanupFn = BOOL(WINAPI*)(HANDLE);
using SymLoadModuleExWFn = DWORD64(WINAPI*)(HANDLE, HANDLE, PCWSTR, PCWSTR, DWORD64, DWORD, PMODLOAD_DATA, DWORD);
using SymGetModuleInfoW64Fn = BOOL(WINAPI*)(HANDLE, DWORD64, PIMAGEHLP_MODULEW64);
using SymFromAddrWFn = BOOL(WINAPI*)(HANDLE, DWORD64, PDWORD64, PSYMBOL_INFOW);
using SymGetLineFromAddrW64Fn = BOOL(WINAPI*)(HANDLE, DWORD64, PDWORD, PIMAGEHLP_LINEW64);

template <typename Fn>
Fn Proc(HMODULE module, const char* name) {
  // GetProcAddress returns a generic function pointer; each name is cast to
  // the type dbghelp documents for it.
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Calls SymCleanup for a session SymInitializeW opened.
class SymbolSession {
 public:
  SymbolSession(HANDLE process, SymCleanupFn cleanup) : process_(process), cleanup_(cleanup) {}
  ~SymbolSession() { cleanup_(process_); }
  SymbolSession(const SymbolSession&) = delete;
  SymbolSession& operator=(const SymbolSession&) = delete;

 private:
  HANDLE process_;
  SymCleanupFn cleanup_;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4 || argc > 5) {
    std::fwprintf(stderr, L"usage: symbol_lookup MODULE EXPORT SEARCH_PATH [OFFSET]\n");
    return 2;
  }
  const wchar_t* modulePath = argv[1];
  char exportName[256] = {};
  if (WideCharToMultiByte(CP_ACP, 0, argv[2], -1, exportName, sizeof exportName, nullptr, nullptr) == 0) {
    std::fwprintf(stderr, L"export name too long\n");
    return 2;
  }
  const unsigned long offset = argc == 5 ? std::wcstoul(argv[4], nullptr, 0) : 0;

  ModuleHandle dbghelp(LoadLibraryExW(L"dbghelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (!dbghelp) {
    std::fwprintf(stderr, L"dbghelp.dll not loaded from the System folder: %lu\n", GetLastError());
    return 1;
  }
  auto setOptions = Proc<SymSetOptionsFn>(dbghelp.get(), "SymSetOptions");
  auto initialize = Proc<SymInitializeWFn>(dbghelp.get(), "SymInitializeW");
  auto cleanup = Proc<SymCleanupFn>(dbghelp.get(), "SymCleanup");
  auto loadModule = Proc<SymLoadModuleExWFn>(dbghelp.get(), "SymLoadModuleExW");
  auto moduleInfo = Proc<SymGetModuleInfoW64Fn>(dbghelp.get(), "SymGetModuleInfoW64");
  auto fromAddr = Proc<SymFromAddrWFn>(dbghelp.get(), "SymFromAddrW");
  auto lineFromAddr = Proc<SymGetLineFromAddrW64Fn>(dbghelp.get(), "SymGetLineFromAddrW64");
  if (!setOptions || !initialize || !cleanup || !loadModule || !moduleInfo || !fromAddr || !lineFromAddr) {
    std::fwprintf(stderr, L"dbghelp.dll lacks a function this program uses\n");
    return 1;
  }

  // Mapped, its imports not bound and DllMain not run: only its addresses
  // are wanted.
  ModuleHandle module(LoadLibraryExW(modulePath, nullptr, DONT_RESOLVE_DLL_REFERENCES));
  if (!module) {
    std::fwprintf(stderr, L"%ls not loaded: %lu\n", modulePath, GetLastError());
    return 1;
  }
  const auto function = reinterpret_cast<DWORD64>(reinterpret_cast<void*>(GetProcAddress(module.get(), exportName)));
  if (function == 0) {
    std::fwprintf(stderr, L"%ls exports no %ls\n", modulePath, argv[2]);
    return 1;
  }
  const DWORD64 base = reinterpret_cast<DWORD64>(module.get());
  const DWORD64 address = function + offset;

  // Exact symbols: a PDB whose GUID and age differ from the module's RSDS
  // record is not taken.
  setOptions(SYMOPT_LOAD_LINES | SYMOPT_UNDNAME | SYMOPT_EXACT_SYMBOLS | SYMOPT_FAIL_CRITICAL_ERRORS);
  HANDLE process = GetCurrentProcess();
  if (!initialize(process, argv[3], FALSE)) {
    std::fwprintf(stderr, L"SymInitializeW failed: %lu\n", GetLastError());
    return 1;
  }
  SymbolSession session(process, cleanup);
  if (loadModule(process, nullptr, modulePath, nullptr, base, 0, nullptr, 0) == 0 && GetLastError() != ERROR_SUCCESS) {
    std::fwprintf(stderr, L"SymLoadModuleExW failed: %lu\n", GetLastError());
    return 1;
  }

  int found = 0;
  IMAGEHLP_MODULEW64 info = {};
  info.SizeOfStruct = sizeof info;
  if (moduleInfo(process, base, &info) && info.SymType == SymPdb) {
    std::wprintf(L"pdb %ls\n", info.LoadedPdbName);
    // The store keys as symstore spells them: the GUID's fields in upper
    // case hex without separators, then the age; the image's time stamp in
    // eight digits, then its size.
    const GUID& guid = info.PdbSig70;
    std::wprintf(L"key pdb %08lX%04X%04X", static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3);
    for (unsigned char byte : guid.Data4) {
      std::wprintf(L"%02X", byte);
    }
    std::wprintf(L"%lX\n", static_cast<unsigned long>(info.PdbAge));
    std::wprintf(L"key image %08lX%lx\n", static_cast<unsigned long>(info.TimeDateStamp),
                 static_cast<unsigned long>(info.ImageSize));
    ++found;
  } else {
    std::wprintf(L"pdb (none: symbol type %d)\n", moduleInfo(process, base, &info) ? static_cast<int>(info.SymType) : -1);
  }

  // SYMBOL_INFOW ends in a one-character name: room for MAX_SYM_NAME more.
  alignas(SYMBOL_INFOW) unsigned char symbolBuffer[sizeof(SYMBOL_INFOW) + MAX_SYM_NAME * sizeof(wchar_t)] = {};
  auto* symbol = reinterpret_cast<SYMBOL_INFOW*>(symbolBuffer);
  symbol->SizeOfStruct = sizeof(SYMBOL_INFOW);
  symbol->MaxNameLen = MAX_SYM_NAME;
  DWORD64 displacement = 0;
  if (fromAddr(process, address, &displacement, symbol)) {
    std::wprintf(L"symbol %.*ls +%llu\n", static_cast<int>(symbol->NameLen), symbol->Name,
                 static_cast<unsigned long long>(displacement));
    ++found;
  } else {
    std::wprintf(L"symbol (none: %lu)\n", GetLastError());
  }

  IMAGEHLP_LINEW64 line = {};
  line.SizeOfStruct = sizeof line;
  DWORD lineDisplacement = 0;
  if (lineFromAddr(process, address, &lineDisplacement, &line)) {
    std::wprintf(L"line %ls %lu\n", line.FileName, line.LineNumber);
    ++found;
  } else {
    std::wprintf(L"line (none: %lu)\n", GetLastError());
  }
  return found == 3 ? 0 : 1;
}
