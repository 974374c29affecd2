// The text log writer with log names (the module's file name) long enough
// to put the log file's path and then the log folder's path around and past
// MAX_PATH. Whatever is created below the group folder is the whole log
// folder or the whole log file, never something a cut path would name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>

#include "step_test_util.h"
#include "text_logging.h"

namespace {

using rvqtest::LongPath;

// Every file and folder below `folder`, as full paths.
void ListTree(const std::wstring& folder, std::set<std::wstring>& out) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(LongPath(folder + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    out.insert(folder + L"\\" + name);
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ListTree(folder + L"\\" + name, out);
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

void RemoveLongTree(const std::wstring& path) {
  std::set<std::wstring> all;
  ListTree(path, all);
  for (auto it = all.rbegin(); it != all.rend(); ++it) {
    if (!DeleteFileW(LongPath(*it).c_str())) RemoveDirectoryW(LongPath(*it).c_str());
  }
  RemoveDirectoryW(LongPath(path).c_str());
}

TEST(LogPathEdges, TheLogIsWrittenWholeOrNotAtAll) {
  ETWLogging::CLogging probe;
  wchar_t programData[MAX_PATH];
  ASSERT_EQ(probe.GetLogRoot(programData, MAX_PATH), 0u);
  const std::wstring groupFolder = std::wstring(programData) + L"\\Bryxen\\BXLOGS\\RvqEdgeLog";
  RemoveLongTree(groupFolder);
  rvqtest::ScratchDir modules(L"rvqlogname");

  for (size_t nameChars : {100u, 104u, 105u, 150u, 216u, 219u, 220u, 221u, 240u}) {
    // A module "<n characters>.dll" names the log.
    const std::wstring name = std::wstring(nameChars - 1, L'L') + std::to_wstring(nameChars % 10);
    const std::wstring module = modules.path() + L"\\" + name + L".dll";
    ASSERT_TRUE(CopyFileW(rvqtest::BinPath(L"checkRVQ.dll").c_str(), LongPath(module).c_str(), FALSE));
    HMODULE library = LoadLibraryW(LongPath(module).c_str());
    ASSERT_NE(library, nullptr) << nameChars;
    {
      ETWLogging::CLogging logger;
      ASSERT_EQ(logger.Initialize(L"RvqEdgeLog", library, nullptr, nullptr), 0u) << nameChars;
      const std::wstring folder = logger.LogFolder();
      const std::wstring file = logger.LogFilePathFor(0);
      ASSERT_EQ(folder, groupFolder + L"\\" + name);
      const DWORD result = logger.WriteEntry(L"log_path_edges_test.cpp", L"Edge", 1, 4, L"edge entry");
      std::set<std::wstring> created;
      ListTree(groupFolder, created);
      for (const std::wstring& path : created) {
        EXPECT_TRUE(path == folder || path == file) << nameChars << ": created " << path.size() << " characters: "
                                                    << rvqtest::ToUtf8(path);
      }
      std::printf("log name %zu: folder %zu, file %zu characters: WriteEntry %lu, file %s\n", nameChars,
                  folder.size(), file.size(), static_cast<unsigned long>(result),
                  created.count(file) ? "written" : "absent");
      if (result == 0) {
        EXPECT_EQ(created.count(file), 1u) << nameChars;
      }
      if (file.size() < MAX_PATH) {
        EXPECT_EQ(result, 0u) << nameChars;
      }
    }
    FreeLibrary(library);
    DeleteFileW(LongPath(module).c_str());
    RemoveLongTree(groupFolder);
  }
}

// A log group of many non-ASCII folders ("é-----00\é-----01\...", 20
// characters each) puts the log folder at 1,000, 32,767 and 40,000
// characters, up to 2,000 levels deep. The writer either makes the whole
// folder and file or fails the entry; what it leaves below the group's first
// folder is whole folders of the real path, never a cut name ("é---").
TEST(LogPathEdges, DeepLogFoldersUpTo32767Characters) {
  ETWLogging::CLogging probe;
  wchar_t programData[MAX_PATH];
  ASSERT_EQ(probe.GetLogRoot(programData, MAX_PATH), 0u);
  const std::wstring root = std::wstring(programData) + L"\\Bryxen\\BXLOGS\\";
  const auto component = [](int level) {
    return L'\u00e9' + std::wstring(17, L'-') + std::to_wstring(level / 10 % 10) + std::to_wstring(level % 10);
  };
  const std::wstring top = root + component(0);

  for (size_t folderChars : {1000u, 32767u, 40000u}) {
    RemoveLongTree(top);
    // The log is named after this test executable; everything but the
    // group is fixed, so the group is grown to the length wanted.
    ETWLogging::CLogging logger;
    ASSERT_EQ(logger.Initialize(L"g", nullptr, nullptr, nullptr), 0u);
    const size_t groupChars = folderChars - (logger.LogFolder().size() - 1);
    logger.Uninitialize();
    std::wstring group;
    for (int level = 0; group.size() < groupChars; ++level) {
      if (level) group += L'\\';
      group += component(level);
    }
    group.resize(groupChars);
    if (group.back() == L'\\') group.back() = L'z';
    ASSERT_EQ(logger.Initialize(group.c_str(), nullptr, nullptr, nullptr), 0u);
    const std::wstring folder = logger.LogFolder();
    const std::wstring file = logger.LogFilePathFor(0);
    ASSERT_EQ(folder.size(), folderChars);

    const DWORD started = GetTickCount();
    const DWORD result = logger.WriteEntry(L"log_path_edges_test.cpp", L"Deep", 1, 4, L"deep entry");
    const DWORD elapsed = GetTickCount() - started;
    std::set<std::wstring> created;
    ListTree(top, created);
    if (rvqtest::DirectoryExists(LongPath(top))) created.insert(top);
    size_t deepest = 0;
    for (const std::wstring& path : created) {
      const bool whole = path == file || (folder.compare(0, path.size(), path) == 0 &&
                                          (path.size() == folder.size() || folder[path.size()] == L'\\'));
      EXPECT_TRUE(whole) << folderChars << ": created " << path.size() << " characters: " << rvqtest::ToUtf8(path);
      if (path != file) deepest = std::max(deepest, path.size());
    }
    std::printf("log folder %zu characters: WriteEntry %lu in %lu ms, deepest folder made %zu characters, file %s\n",
                folderChars, static_cast<unsigned long>(result), static_cast<unsigned long>(elapsed), deepest,
                created.count(file) ? "written" : "absent");
    if (result == 0) {
      EXPECT_EQ(created.count(file), 1u);
    }
    if (folderChars == 1000u) {
      EXPECT_EQ(result, 0u);  // Wine takes it whole without "\\?\"
    }
    if (folderChars > 32767u) {
      EXPECT_NE(result, 0u);
    }
  }
  RemoveLongTree(top);
}

}  // namespace
