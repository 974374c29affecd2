// checkRVQ.dll loaded from folders whose module path has 250 to 262 and 300
// characters, with the Uninst.dll stand-in beside it ("Real") and a decoy in
// the parent folder ("Decoy"), where a module path cut inside its folder part
// would point. Detection either uses the whole folder or refuses it; it never
// loads the decoy.
#include <gtest/gtest.h>

#include <string>

#include "detection_list.h"
#include "entry_points.h"
#include "step_test_util.h"

namespace {

using rvqtest::LongPath;

// Names the detection reported, joined by "|"; the host frees the list.
std::wstring Detect(HMODULE library) {
  const auto detect = ProcAs<DetectIncompatibleFn>(GetProcAddress(library, "DetectIncompatible"));
  if (!detect) return L"<no export>";
  DWORD count = 0;
  IncompatibleProductRecord** list = nullptr;
  detect(&count, &list);
  std::wstring names;
  for (DWORD i = 0; list && i < count; ++i) names += (i ? L"|" : L"") + std::wstring(list[i]->productName);
  rvqtest::FreeDetectionList(count, list);
  return names;
}

bool PlaceStandIn(const std::wstring& folder, const char* product) {
  return CopyFileW(rvqtest::FixturePath(L"Uninst.dll").c_str(), LongPath(folder + L"\\Uninst.dll").c_str(), FALSE) &&
         rvqtest::WriteFileBytes(LongPath(folder + L"\\uninst.ini"),
                                 std::string("[Detect]\r\nResult=1\r\nCount=1\r\nName0=") + product + "\r\n");
}

TEST(ModulePathEdges, DetectionUsesTheWholeFolderOrNone) {
  rvqtest::ScratchDir root(L"rvq modpath \u00e9");
  rvqtest::ScopedCurrentDirectory restore;
  ASSERT_TRUE(SetCurrentDirectoryW(root.path().c_str()));
  const std::wstring parent = root.Child(L"p");
  ASSERT_TRUE(rvqtest::MakeTree(parent));
  ASSERT_TRUE(PlaceStandIn(parent, "Decoy"));
  // A refused folder must not turn into the root of the current drive.
  const wchar_t driveRoot[3] = {root.path()[0], L':', L'\0'};
  ASSERT_TRUE(PlaceStandIn(driveRoot, "RootDecoy"));
  const size_t kDllName = wcslen(L"\\checkRVQ.dll");
  for (size_t chars : {250u, 258u, 259u, 260u, 261u, 262u, 300u}) {
    // <parent>\<q...q>\checkRVQ.dll of `chars` characters.
    const std::wstring folder = parent + L"\\" + std::wstring(chars - kDllName - parent.size() - 1, L'q');
    const std::wstring dll = folder + L"\\checkRVQ.dll";
    ASSERT_EQ(dll.size(), chars);
    ASSERT_TRUE(rvqtest::MakeTree(LongPath(folder)));
    ASSERT_TRUE(CopyFileW(rvqtest::BinPath(L"checkRVQ.dll").c_str(), LongPath(dll).c_str(), FALSE));
    ASSERT_TRUE(PlaceStandIn(folder, "Real"));
    HMODULE library = LoadLibraryW(LongPath(dll).c_str());
    ASSERT_NE(library, nullptr) << chars;
    const std::wstring found = Detect(library);
    FreeLibrary(library);
    EXPECT_EQ(found.find(L"Decoy"), std::wstring::npos) << chars << ": " << found;  // RootDecoy too
    // Within the module buffer (260 characters and the terminator) the whole
    // folder is used.
    if (chars <= 260) {
      EXPECT_EQ(found, L"Real") << chars;
    }
    std::printf("module path %zu characters: detected [%ls]\n", chars, found.c_str());
    DeleteFileW(LongPath(dll).c_str());
    DeleteFileW(LongPath(folder + L"\\Uninst.dll").c_str());
    DeleteFileW(LongPath(folder + L"\\uninst.ini").c_str());
    DeleteFileW(LongPath(folder + L"\\uninst-calls.txt").c_str());
    RemoveDirectoryW(LongPath(folder).c_str());
  }
  for (const wchar_t* name : {L"Uninst.dll", L"uninst.ini", L"uninst-calls.txt"}) {
    DeleteFileW((std::wstring(driveRoot) + L"\\" + name).c_str());
  }
}

}  // namespace
