// Incompatible-product removal against the bxclean.exe stand-in. The step
// looks for "checkrvq.dll" among the loaded modules, so the tests load a
// copy of the built library from a folder of their choice.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "entry_points.h"
#include "removal.h"
#include "step_test_util.h"

namespace {

using rvqtest::LogLines;
using rvqtest::ScopedRecordingLog;

const std::wstring kStart =
    L"1 UninstallIncompatible 104 detectRVQ.dll UninstallIncompatible(): Starting incompatible uninstallation.";
const std::wstring kDone =
    L"1 UninstallIncompatible 198 detectRVQ.dll UninstallIncompatible(): Done incompatible uninstallation.";

std::vector<std::map<std::string, std::string>> CleanerRuns(const std::wstring& folder) {
  std::vector<std::map<std::string, std::string>> runs;
  for (const auto& line : rvqtest::SplitLines(rvqtest::ReadFileBytes(folder + L"\\bxclean-runs.txt"))) {
    runs.push_back(rvqtest::ParseFields(line));
  }
  return runs;
}

class RemovalTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SetCurrentDirectoryW(elsewhere_.path().c_str())); }
  void TearDown() override {
    if (library_) FreeLibrary(library_);
  }
  void LoadLibraryCopy() {
    ASSERT_TRUE(rvqtest::CopyInto(libraryFolder_.path(), rvqtest::BinPath(L"checkRVQ.dll")));
    library_ = LoadLibraryW(libraryFolder_.Child(L"checkRVQ.dll").c_str());
    ASSERT_NE(library_, nullptr);
  }

  rvqtest::ScratchDir libraryFolder_{L"rvq cleaner lib"};
  rvqtest::ScratchDir elsewhere_{L"rvqcwd"};
  // Declared last: puts the directory back before the folders go.
  rvqtest::ScopedCurrentDirectory restoreDirectory_;
  HMODULE library_ = nullptr;
};

TEST_F(RemovalTest, BothRunsStartInTheLibraryFolderOneAfterTheOther) {
  LoadLibraryCopy();
  ASSERT_TRUE(rvqtest::CopyInto(libraryFolder_.path(), rvqtest::FixturePath(L"bxclean.exe")));
  ScopedRecordingLog log;
  log.state.threshold = 1;
  EXPECT_EQ(UninstallIncompatible(), 0u);
  EXPECT_EQ(rvqtest::CurrentDirectory(), elsewhere_.path());
  EXPECT_EQ(LogLines(log), (std::vector<std::wstring>{kStart, kDone}));

  const auto runs = CleanerRuns(libraryFolder_.path());
  ASSERT_EQ(runs.size(), 2u);
  const char* commands[] = {"bxclean.exe -p RVQ -d -s -silent -m", "bxclean.exe -p purgix -d -s -silent -m"};
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(runs[i].at("cmd"), commands[i]);
    EXPECT_EQ(runs[i].at("cwd"), rvqtest::ToUtf8(libraryFolder_.path()));
    EXPECT_EQ(runs[i].at("flags"), std::to_string(STARTF_USESHOWWINDOW));
    EXPECT_EQ(runs[i].at("show"), std::to_string(SW_HIDE));
  }
  // Strictly one after the other.
  EXPECT_LE(std::stoull(runs[0].at("end")), std::stoull(runs[1].at("start")));
}

// The line of a run that could not start.
std::wstring NotStarted(const std::wstring& folder) {
  return L"4 UninstallIncompatible 153 detectRVQ.dll UninstallIncompatible(): Unable to start [" + folder +
         L"\\bxclean.exe]. Error code:2";
}

TEST_F(RemovalTest, NoCleanerAnywhereGivesUnexpectedAndSaysWhy) {
  LoadLibraryCopy();
  ScopedRecordingLog log;
  log.state.threshold = 1;
  EXPECT_EQ(UninstallIncompatible(), 0x8000FFFFu);
  EXPECT_EQ(rvqtest::CurrentDirectory(), elsewhere_.path());
  const std::wstring notStarted = NotStarted(libraryFolder_.path());
  EXPECT_EQ(LogLines(log), (std::vector<std::wstring>{kStart, notStarted, notStarted, kDone}));
}

TEST_F(RemovalTest, AFailedWaitIsAFailedRunThatNoOtherRunFollows) {
  LoadLibraryCopy();
  ASSERT_TRUE(rvqtest::CopyInto(libraryFolder_.path(), rvqtest::FixturePath(L"bxclean.exe")));
  ScopedRecordingLog log;
  log.state.threshold = 1;
  static int waits;
  waits = 0;
  const checkrvq::CleanerWait failing = [](HANDLE, DWORD) -> DWORD {
    ++waits;
    SetLastError(ERROR_ACCESS_DENIED);
    return WAIT_FAILED;
  };
  EXPECT_EQ(checkrvq::RemoveIncompatible(failing), 0x8000FFFFu);
  EXPECT_EQ(waits, 1);
  EXPECT_EQ(LogLines(log),
            (std::vector<std::wstring>{kStart,
                                       L"4 UninstallIncompatible 154 detectRVQ.dll UninstallIncompatible(): Unable to "
                                       L"wait for [bxclean.exe -p RVQ -d -s -silent -m], run ended. Error code:5",
                                       kDone}));
  // The run was ended: it never gets to record itself (it would after 250 ms).
  Sleep(600);
  EXPECT_TRUE(CleanerRuns(libraryFolder_.path()).empty());
  EXPECT_EQ(rvqtest::CurrentDirectory(), elsewhere_.path());
}

TEST_F(RemovalTest, ACurrentDirectoryThatCannotBePutBackIsLogged) {
  // The caller's directory goes away while the cleaner runs.
  LoadLibraryCopy();
  ASSERT_TRUE(rvqtest::CopyInto(libraryFolder_.path(), rvqtest::FixturePath(L"bxclean.exe")));
  static std::wstring vanishing;
  vanishing = elsewhere_.Child(L"vanishing");
  ASSERT_TRUE(CreateDirectoryW(vanishing.c_str(), nullptr));
  ASSERT_TRUE(SetCurrentDirectoryW(vanishing.c_str()));
  ScopedRecordingLog log;
  log.state.threshold = 1;
  const checkrvq::CleanerWait waitThenRemove = [](HANDLE process, DWORD milliseconds) -> DWORD {
    const DWORD waited = WaitForSingleObject(process, milliseconds);
    RemoveDirectoryW(vanishing.c_str());
    return waited;
  };
  EXPECT_EQ(checkrvq::RemoveIncompatible(waitThenRemove), 0u);
  EXPECT_EQ(CleanerRuns(libraryFolder_.path()).size(), 2u);
  const auto lines = LogLines(log);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].rfind(L"4 UninstallIncompatible 152 detectRVQ.dll UninstallIncompatible(): Unable to restore "
                           L"the current directory. Error code:",
                           0),
            0u)
      << rvqtest::ToUtf8(lines[1]);
}

TEST_F(RemovalTest, WithoutTheLibraryLoadedNoCleanerRuns) {
  // No module named checkrvq.dll in this process: the error line, and no
  // folder of ours to start a cleaner from. The one in the current
  // directory is not ours.
  ASSERT_EQ(GetModuleHandleW(L"checkrvq.dll"), nullptr);
  ASSERT_TRUE(rvqtest::CopyInto(elsewhere_.path(), rvqtest::FixturePath(L"bxclean.exe")));
  ScopedRecordingLog log;
  log.state.threshold = 1;
  EXPECT_EQ(UninstallIncompatible(), 0x8000FFFFu);
  EXPECT_EQ(LogLines(log), (std::vector<std::wstring>{
                               kStart, L"4 UninstallIncompatible 140 Unable to get module handle for checkrvq.dll",
                               kDone}));
  EXPECT_TRUE(CleanerRuns(elsewhere_.path()).empty());
  EXPECT_EQ(rvqtest::CurrentDirectory(), elsewhere_.path());
}

// Deletes the given files when the test ends (they lie outside any scratch
// folder).
class ScopedFiles {
 public:
  explicit ScopedFiles(std::vector<std::wstring> paths) : paths_(std::move(paths)) {}
  ~ScopedFiles() {
    for (const auto& path : paths_) DeleteFileW(path.c_str());
  }

 private:
  std::vector<std::wstring> paths_;
};

// Puts `folder` first on PATH for the life of the object.
class ScopedPathFolder {
 public:
  explicit ScopedPathFolder(const std::wstring& folder) {
    std::vector<wchar_t> old(32767);
    const DWORD chars = GetEnvironmentVariableW(L"PATH", old.data(), static_cast<DWORD>(old.size()));
    hadPath_ = chars > 0 && chars < old.size();
    if (hadPath_) old_.assign(old.data(), chars);
    SetEnvironmentVariableW(L"PATH", (folder + (hadPath_ ? L";" + old_ : L"")).c_str());
  }
  ~ScopedPathFolder() { SetEnvironmentVariableW(L"PATH", hadPath_ ? old_.c_str() : nullptr); }

 private:
  bool hadPath_ = false;
  std::wstring old_;
};

TEST_F(RemovalTest, OnlyTheCleanerInTheLibraryFolderEverRuns) {
  // Planted where a search by name looks: the host program's folder (this
  // test program is the host), the caller's current directory and a folder
  // on PATH. Each copy records its runs beside itself.
  LoadLibraryCopy();
  rvqtest::ScratchDir onPath{L"rvq on path"};
  const std::wstring hostFolder = rvqtest::BinDir();
  ScopedFiles hostCopy({hostFolder + L"\\bxclean.exe", hostFolder + L"\\bxclean-runs.txt"});
  for (const std::wstring& folder : {hostFolder, elsewhere_.path(), onPath.path()}) {
    ASSERT_TRUE(rvqtest::CopyInto(folder, rvqtest::FixturePath(L"bxclean.exe"))) << rvqtest::ToUtf8(folder);
  }
  ScopedPathFolder path(onPath.path());
  const auto plantedRuns = [&]() {
    return CleanerRuns(hostFolder).size() + CleanerRuns(elsewhere_.path()).size() +
           CleanerRuns(onPath.path()).size();
  };

  // None in the library's folder: neither run can start.
  ScopedRecordingLog log;
  log.state.threshold = 1;
  EXPECT_EQ(UninstallIncompatible(), 0x8000FFFFu);
  EXPECT_EQ(plantedRuns(), 0u);
  const std::wstring notStarted = NotStarted(libraryFolder_.path());
  EXPECT_EQ(LogLines(log), (std::vector<std::wstring>{kStart, notStarted, notStarted, kDone}));
  EXPECT_EQ(rvqtest::CurrentDirectory(), elsewhere_.path());

  ASSERT_TRUE(rvqtest::CopyInto(libraryFolder_.path(), rvqtest::FixturePath(L"bxclean.exe")));
  EXPECT_EQ(UninstallIncompatible(), 0u);
  EXPECT_EQ(CleanerRuns(libraryFolder_.path()).size(), 2u);
  EXPECT_EQ(plantedRuns(), 0u);
}

}  // namespace
