// Incompatible-product removal against the bxclean.exe stand-in. The step
// looks for "checkrvq.dll" among the loaded modules, so the tests load a
// copy of the built library from a folder of their choice.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "entry_points.h"
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

TEST_F(RemovalTest, NoCleanerAnywhereGivesUnexpectedAndOnlyTheTwoLines) {
  LoadLibraryCopy();
  ScopedRecordingLog log;
  log.state.threshold = 1;
  EXPECT_EQ(UninstallIncompatible(), 0x8000FFFFu);
  EXPECT_EQ(rvqtest::CurrentDirectory(), elsewhere_.path());
  EXPECT_EQ(LogLines(log), (std::vector<std::wstring>{kStart, kDone}));
}

TEST_F(RemovalTest, WithoutTheLibraryLoadedTheCleanersRunWhereWeAre) {
  // No module named checkrvq.dll in this process: the error line, and the
  // search finds the cleaner in the unchanged current directory.
  ASSERT_EQ(GetModuleHandleW(L"checkrvq.dll"), nullptr);
  ASSERT_TRUE(rvqtest::CopyInto(elsewhere_.path(), rvqtest::FixturePath(L"bxclean.exe")));
  ScopedRecordingLog log;
  log.state.threshold = 1;
  EXPECT_EQ(UninstallIncompatible(), 0u);
  EXPECT_EQ(LogLines(log), (std::vector<std::wstring>{
                               kStart, L"4 UninstallIncompatible 140 Unable to get module handle for checkrvq.dll",
                               kDone}));
  const auto runs = CleanerRuns(elsewhere_.path());
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].at("cwd"), rvqtest::ToUtf8(elsewhere_.path()));
}

}  // namespace
