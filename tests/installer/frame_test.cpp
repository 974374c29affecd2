// The library frame: module folder, OnFreeLibrary, StartApplication, and the
// built checkRVQ.dll itself (exports, resources, load and unload).
#include <windows.h>
#include <ole2.h>

#include <gtest/gtest.h>

#include <string>

#include "entry_points.h"
#include "module_state.h"
#include "test_support.h"

namespace {

using checkrvq::GetModuleDirectory;

TEST(ModuleDirectory, NullHandleGivesTheEmptyString) {
  wchar_t buffer[261];
  wcscpy(buffer, L"old contents");
  GetModuleDirectory(nullptr, buffer, 261);
  EXPECT_STREQ(buffer, L"");
}

TEST(ModuleDirectory, FolderWithoutTrailingBackslash) {
  wchar_t buffer[261];
  GetModuleDirectory(GetModuleHandleW(nullptr), buffer, 261);
  EXPECT_EQ(std::wstring(buffer), rvqtest::BinDir());
  ASSERT_GT(wcslen(buffer), 0u);
  EXPECT_NE(buffer[wcslen(buffer) - 1], L'\\');
}

TEST(ModuleDirectory, PathThatDoesNotFitIsRefusedNotCut) {
  const std::wstring folder = rvqtest::BinDir();
  wchar_t buffer[8];
  ASSERT_GT(folder.size(), 8u);
  GetModuleDirectory(GetModuleHandleW(nullptr), buffer, 8);
  EXPECT_STREQ(buffer, L"");
}

TEST(LibraryFrame, OnFreeLibraryFirstAndTwiceFreesNothing) {
  EXPECT_EQ(checkrvq::PendingReleaseCount(), 0u);
  OnFreeLibrary();
  OnFreeLibrary();
  EXPECT_EQ(checkrvq::PendingReleaseCount(), 0u);
}

TEST(LibraryFrame, StartApplicationReturnsZero) { EXPECT_EQ(StartApplication(), 0u); }

TEST(LibraryFrame, HostBlocksAreZeroedProcessHeapBlocks) {
  auto* result = static_cast<StepResult*>(checkrvq::AllocateHostBlock(sizeof(StepResult)));
  ASSERT_NE(result, nullptr);
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(result);
  for (size_t i = 0; i < sizeof(StepResult); ++i) EXPECT_EQ(bytes[i], 0) << i;
  // The host frees with the process heap.
  EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, result));
}

// The built DLL, loaded as a host loads it.
class BuiltLibrary : public ::testing::Test {
 protected:
  std::wstring path_ = rvqtest::BinPath(L"checkRVQ.dll");
};

TEST_F(BuiltLibrary, ExportsByNameMatchTheirOrdinals) {
  HMODULE module = LoadLibraryW(path_.c_str());
  ASSERT_NE(module, nullptr) << GetLastError();
  const char* names[] = {"StartApplication", "DetectIncompatible", "UninstallIncompatible", "PreInstall",
                         "PostInstall",      "OnFreeLibrary",      "DllInstallFunction",    "DllUninstallFunction"};
  for (int i = 0; i < 8; ++i) {
    FARPROC byName = GetProcAddress(module, names[i]);
    EXPECT_NE(byName, nullptr) << names[i];
    EXPECT_EQ(GetProcAddress(module, MAKEINTRESOURCEA(i + 1)), byName) << names[i];
  }
  EXPECT_EQ(GetProcAddress(module, MAKEINTRESOURCEA(9)), nullptr);
  auto start = ProcAs<StartApplicationFn>(GetProcAddress(module, "StartApplication"));
  EXPECT_EQ(start(), 0u);
  FreeLibrary(module);
}

TEST_F(BuiltLibrary, BothTypeLibrariesLoad) {
  for (int id : {1, 2}) {
    const std::wstring resource = path_ + L"\\" + std::to_wstring(id);
    ITypeLib* typeLib = nullptr;
    const HRESULT hr = LoadTypeLibEx(resource.c_str(), REGKIND_NONE, &typeLib);
    ASSERT_EQ(hr, S_OK) << "type library " << id;
    TLIBATTR* attributes = nullptr;
    ASSERT_EQ(typeLib->GetLibAttr(&attributes), S_OK);
    EXPECT_EQ(attributes->lcid, 0u);
    EXPECT_GT(typeLib->GetTypeInfoCount(), 0u);
    typeLib->ReleaseTLibAttr(attributes);
    typeLib->Release();
  }
}

TEST_F(BuiltLibrary, ResourcesManifestAndTypeLibraries) {
  HMODULE module = LoadLibraryExW(path_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  HRSRC manifest = FindResourceW(module, MAKEINTRESOURCEW(2), MAKEINTRESOURCEW(24));
  ASSERT_NE(manifest, nullptr);
  const char* text = static_cast<const char*>(LockResource(LoadResource(module, manifest)));
  const std::string manifestText(text, SizeofResource(module, manifest));
  EXPECT_NE(manifestText.find("level=\"asInvoker\""), std::string::npos);
  EXPECT_NE(manifestText.find("uiAccess=\"false\""), std::string::npos);
  for (int id : {1, 2}) {
    HRSRC typeLib = FindResourceExW(module, L"TYPELIB", MAKEINTRESOURCEW(id), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_NE(typeLib, nullptr) << id;
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(module, typeLib)));
    EXPECT_EQ(std::string(bytes, 4), "MSFT") << id;
    printf("type library %d: %lu bytes\n", id, SizeofResource(module, typeLib));
  }
  EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16)), nullptr);  // RT_VERSION
  FreeLibrary(module);
}

TEST_F(BuiltLibrary, LoadAndUnloadLeaveNothingBehind) {
  wchar_t before[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, before);
  HMODULE module = LoadLibraryW(path_.c_str());
  ASSERT_NE(module, nullptr);
  EXPECT_NE(GetModuleHandleW(L"checkRVQ.dll"), nullptr);
  FreeLibrary(module);
  EXPECT_EQ(GetModuleHandleW(L"checkRVQ.dll"), nullptr);
  wchar_t after[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, after);
  EXPECT_STREQ(before, after);
}

}  // namespace
