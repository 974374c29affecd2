// InitSecureDllLoading and LoadSystemLibrary, through their seams and for
// real under Wine.
#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>
#include <delayimp.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "exception_guard.h"
#include "loader/delay_load_hook.h"
#include "loader/secure_dll_loading.h"
#include "test_support.h"

namespace {

using Trevalk::UniqueModule;

std::wstring SystemFolder() {
  Trevalk::UniqueCoTaskString path;
  std::wstring result;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_System, 0, nullptr, path.put())) && path) result = path.get();
  return result;
}

std::wstring ModulePath(HMODULE module) {
  wchar_t path[MAX_PATH] = L"";
  const DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
  return std::wstring(path, n);
}

// --- InitSecureDllLoading through the lookup seam ---------------------------

struct FakeSetter {
  static BOOL answer;
  static std::vector<DWORD> calls;
  static BOOL WINAPI Set(DWORD flags) {
    calls.push_back(flags);
    return answer;
  }
};
BOOL FakeSetter::answer = TRUE;
std::vector<DWORD> FakeSetter::calls;

std::string g_lookedUp;
bool g_provideSetter = true;
FARPROC WINAPI FakeLookup(HMODULE module, LPCSTR name) {
  EXPECT_EQ(module, GetModuleHandleW(L"kernel32.dll"));
  g_lookedUp = name;
  return g_provideSetter ? reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&FakeSetter::Set)) : nullptr;
}

TEST(InitSecureDllLoading, MissingSetDefaultDllDirectoriesAnswersFalse) {
  g_provideSetter = false;
  FakeSetter::calls.clear();
  EXPECT_FALSE(Trevalk::internal::InitSecureDllLoadingWith(&FakeLookup));
  EXPECT_EQ(g_lookedUp, "SetDefaultDllDirectories");
  EXPECT_TRUE(FakeSetter::calls.empty());
}

TEST(InitSecureDllLoading, TrueOnlyWhenTheCallAnswersExactlyOne) {
  const struct {
    BOOL answer;
    bool expected;
  } cases[] = {{1, true}, {0, false}, {2, false}, {-1, false}};
  g_provideSetter = true;
  for (const auto& c : cases) {
    FakeSetter::calls.clear();
    FakeSetter::answer = c.answer;
    EXPECT_EQ(Trevalk::internal::InitSecureDllLoadingWith(&FakeLookup), c.expected) << "answer " << c.answer;
    // One call, with the System-folder-only flag and nothing else.
    EXPECT_EQ(FakeSetter::calls, std::vector<DWORD>{LOAD_LIBRARY_SEARCH_SYSTEM32});
  }
}

// --- LoadSystemLibrary through the loader seam ------------------------------

struct LoaderCall {
  std::wstring path;
  HANDLE file;
  DWORD flags;
};
std::vector<LoaderCall> g_loaderCalls;
HMODULE WINAPI RecordingLoader(LPCWSTR path, HANDLE file, DWORD flags) {
  g_loaderCalls.push_back({path, file, flags});
  return reinterpret_cast<HMODULE>(0x1000);
}

TEST(LoadSystemLibrary, ClearsOnlyTheAlteredSearchPathBit) {
  const struct {
    DWORD in, out;
  } cases[] = {
      {0, 0},
      {LOAD_WITH_ALTERED_SEARCH_PATH, 0},
      {LOAD_WITH_ALTERED_SEARCH_PATH | LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE,
       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE},
      {LOAD_LIBRARY_SEARCH_SYSTEM32, LOAD_LIBRARY_SEARCH_SYSTEM32},
      {0xFFFFFFFF, 0xFFFFFFF7},
  };
  const std::wstring expectedPath = SystemFolder() + L"\\advapi32.dll";
  ASSERT_GT(expectedPath.size(), 13u);
  for (const auto& c : cases) {
    g_loaderCalls.clear();
    EXPECT_EQ(Trevalk::internal::LoadSystemLibraryWith(L"advapi32.dll", c.in, &RecordingLoader),
              reinterpret_cast<HMODULE>(0x1000));
    ASSERT_EQ(g_loaderCalls.size(), 1u);
    EXPECT_EQ(g_loaderCalls[0].path, expectedPath);
    EXPECT_EQ(g_loaderCalls[0].file, nullptr);
    EXPECT_EQ(g_loaderCalls[0].flags, c.out) << std::hex << "flags in 0x" << c.in;
  }
}

TEST(LoadSystemLibrary, RefusesNamesThatAreNotPlainFileNames) {
  const wchar_t* names[] = {nullptr, L"", L"..\\rvqloadprobe.dll", L"C:\\windows\\system32\\kernel32.dll",
                            L"sub/kernel32.dll", L"c:kernel32.dll"};
  for (const wchar_t* name : names) {
    g_loaderCalls.clear();
    EXPECT_EQ(Trevalk::internal::LoadSystemLibraryWith(name, 0, &RecordingLoader), nullptr)
        << rvqtest::ToUtf8(name ? name : L"(null)");
    EXPECT_TRUE(g_loaderCalls.empty());
  }
}

TEST(LoadSystemLibrary, RefusesAPathTooLongForMaxPath) {
  g_loaderCalls.clear();
  const std::wstring name(MAX_PATH, L'a');
  EXPECT_EQ(Trevalk::internal::LoadSystemLibraryWith(name.c_str(), 0, &RecordingLoader), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_TRUE(g_loaderCalls.empty());
}

// --- The delay helper's hook ------------------------------------------------

// Where the flags of the LOAD_LIBRARY_SEARCH_* family are missing (Windows 7
// without KB2533623), only the full path and the altered search order keep
// the library and its dependencies in the System folder. A library loaded
// by its own full path keeps its dependencies in its folder and the System
// folder.
TEST(DelayLoadHook, SystemFolderPathAndFlagsWithAndWithoutTheSearchFlags) {
  using Trevalk::internal::LoadDelayImportedLibraryWith;
  const std::wstring expectedPath = SystemFolder() + L"\\version.dll";
  ASSERT_GT(expectedPath.size(), 12u);
  for (const bool searchFlags : {true, false}) {
    g_loaderCalls.clear();
    EXPECT_EQ(LoadDelayImportedLibraryWith("version.dll", searchFlags, &RecordingLoader),
              reinterpret_cast<HMODULE>(0x1000));
    ASSERT_EQ(g_loaderCalls.size(), 1u);
    EXPECT_EQ(g_loaderCalls[0].path, expectedPath);
    EXPECT_EQ(g_loaderCalls[0].flags,
              searchFlags ? static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32) : LOAD_WITH_ALTERED_SEARCH_PATH);

    g_loaderCalls.clear();
    Trevalk::internal::LoadLibraryBesideItsDependenciesWith(L"C:\\setup\\Uninst.dll", searchFlags, &RecordingLoader);
    ASSERT_EQ(g_loaderCalls.size(), 1u);
    EXPECT_EQ(g_loaderCalls[0].flags,
              searchFlags ? static_cast<DWORD>(LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32)
                          : LOAD_WITH_ALTERED_SEARCH_PATH);
  }
  EXPECT_EQ(Trevalk::internal::LibrarySearchFlagsAvailable(),
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "AddDllDirectory") != nullptr);

  const std::string tooLong(MAX_PATH, 'a');
  const char* refused[] = {nullptr, "", "..\\version.dll", "sub/version.dll", "c:version.dll", "version.dll:x",
                           "vers\xe9on.dll", tooLong.c_str()};
  for (const char* name : refused) {
    g_loaderCalls.clear();
    EXPECT_EQ(LoadDelayImportedLibraryWith(name, true, &RecordingLoader), nullptr) << (name ? name : "(null)");
    EXPECT_TRUE(g_loaderCalls.empty());
  }
}

ULONG CallHookFor(void* name) {
  DelayLoadInfo info = {};
  info.cb = sizeof info;
  info.szDll = static_cast<const char*>(name);
  const FARPROC module = __pfnDliNotifyHook2(dliNotePreLoadLibrary, &info);
  if (module != nullptr) FreeLibrary(reinterpret_cast<HMODULE>(module));
  return module != nullptr ? 1u : 0u;
}

// The hook that every image with delay imports links: it hands over the
// System folder's library, and for a library that is not there it raises
// the delay helper's "module not found" rather than answer null, which would
// have the helper load the name by the search order (here: the probe beside
// this program).
TEST(DelayLoadHook, LinkedHookLoadsFromTheSystemFolderOrRaises) {
  ASSERT_NE(__pfnDliNotifyHook2, nullptr);
  ASSERT_TRUE(rvqtest::FileExists(rvqtest::BinPath(L"rvqloadprobe.dll")));
  EXPECT_EQ(__pfnDliNotifyHook2(dliNoteStartProcessing, nullptr), nullptr);
  ULONG answer = 0;
  DWORD code = 0;
  char systemName[] = "version.dll";
  ASSERT_TRUE(ETWLogging::internal::CallWithExceptionGuard(&CallHookFor, systemName, &answer, &code)) << std::hex << code;
  EXPECT_EQ(answer, 1u);
  char probeName[] = "rvqloadprobe.dll";
  EXPECT_FALSE(ETWLogging::internal::CallWithExceptionGuard(&CallHookFor, probeName, &answer, &code));
  EXPECT_EQ(code, static_cast<DWORD>(VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND))) << std::hex << code;
  EXPECT_EQ(GetModuleHandleW(L"rvqloadprobe.dll"), nullptr);
}

// --- For real ---------------------------------------------------------------

TEST(LoadSystemLibrary, LoadsTheSystemFoldersCopy) {
  UniqueModule module(Trevalk::LoadSystemLibrary(L"version.dll"));
  ASSERT_TRUE(module);
  EXPECT_EQ(_wcsicmp(ModulePath(module.get()).c_str(), (SystemFolder() + L"\\version.dll").c_str()), 0);
  EXPECT_NE(GetProcAddress(module.get(), "GetFileVersionInfoSizeW"), nullptr);
}

TEST(LoadSystemLibrary, MissingNameGivesNone) {
  SetLastError(0);
  UniqueModule module(Trevalk::LoadSystemLibrary(L"rvq-no-such-library.dll"));
  EXPECT_FALSE(module);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST(LoadSystemLibrary, IgnoresTheProgramFolderAndTheCurrentDirectory) {
  const std::wstring probe = rvqtest::BinPath(L"rvqloadprobe.dll");
  ASSERT_TRUE(rvqtest::FileExists(probe));
  rvqtest::ScratchDir scratch(L"rvqloader");
  ASSERT_TRUE(CopyFileW(probe.c_str(), scratch.Child(L"rvqprobecwd.dll").c_str(), FALSE));
  wchar_t previous[MAX_PATH];
  ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, previous), 0u);
  ASSERT_TRUE(SetCurrentDirectoryW(scratch.path().c_str()));

  // The ordinary search finds both, so they are there to be taken...
  {
    UniqueModule fromProgramFolder(LoadLibraryW(L"rvqloadprobe.dll"));
    UniqueModule fromCurrentDirectory(LoadLibraryW(L"rvqprobecwd.dll"));
    EXPECT_TRUE(fromProgramFolder);
    EXPECT_TRUE(fromCurrentDirectory);
  }
  // ...but not from the System folder.
  UniqueModule a(Trevalk::LoadSystemLibrary(L"rvqloadprobe.dll"));
  UniqueModule b(Trevalk::LoadSystemLibrary(L"rvqprobecwd.dll", LOAD_WITH_ALTERED_SEARCH_PATH));
  EXPECT_FALSE(a);
  EXPECT_FALSE(b);
  SetCurrentDirectoryW(previous);
}

// Last in this file, in a suite of its own (gtest runs a suite's tests
// together): it restricts the search of the whole test process.
TEST(SecureDllSearch, InitRestrictsTheSearchToTheSystemFolder) {
  ASSERT_TRUE(rvqtest::FileExists(rvqtest::BinPath(L"rvqloadprobe.dll")));
  EXPECT_TRUE(Trevalk::InitSecureDllLoading());
  // The program's own folder is no longer searched...
  UniqueModule probe(LoadLibraryW(L"rvqloadprobe.dll"));
  EXPECT_FALSE(probe);
  // ...the System folder still is.
  UniqueModule system(LoadLibraryW(L"version.dll"));
  EXPECT_TRUE(system);
}

}  // namespace
