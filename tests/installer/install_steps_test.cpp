// Pre-install and post-install steps. The data-file migration runs with
// scratch folders standing in for the common application-data and
// program-files folders, so the machine's own stay untouched.
#include <windows.h>

#include <aclapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "directory_tree.h"
#include "install_steps.h"
#include "paths/paths.h"
#include "step_test_util.h"
#include "test_support.h"
#include "untrusted_owner_table.h"

namespace {

using rvqtest::FileExists;
using rvqtest::LogLines;
using rvqtest::ReadFileBytes;
using rvqtest::ScopedRecordingLog;

const std::wstring kStart = L"1 PreInstall 204 detectRVQ.dll PreInstall(): Starting pre-install step.";
const std::wstring kFlag = L"1 PreInstall 218 detectRVQ.dll PreInstall(): bCanBeInstalled = 1.";
const std::wstring kSecondMove =
    L"1 PreInstall 252 detectRVQ.dll PreInstall(): Moving file from C:\\Program Files\\BryxenOnline\\RVQ\\bxdndb.dat";
const std::wstring kComplete = L"1 PreInstall 256 detectRVQ.dll PreInstall(): Pre-install step complete.";

bool AllZero(const void* block, size_t bytes) {
  const auto* p = static_cast<const unsigned char*>(block);
  for (size_t i = 0; i < bytes; ++i) {
    if (p[i]) return false;
  }
  return true;
}

class PreInstallMigration : public ::testing::Test {
 protected:
  std::wstring Target() const { return common_.path() + L"\\Bryxen\\RVQ\\bxdndb.dat"; }
  std::wstring FirstOld() const { return common_.path() + L"\\BryxenOnline\\RVQ\\bxdndb.dat"; }
  std::wstring SecondOld() const { return programs_.path() + L"\\BryxenOnline\\RVQ\\bxdndb.dat"; }
  std::wstring FirstMoveLine() const {
    return L"1 PreInstall 240 detectRVQ.dll PreInstall(): Moving file from " + FirstOld();
  }

  static void Put(const std::wstring& file, const std::string& content) {
    ASSERT_TRUE(rvqtest::CreateDirectoryPath(file.substr(0, file.find_last_of(L'\\')).c_str()));
    ASSERT_TRUE(rvqtest::WriteFileBytes(file, content));
  }

  // Runs the step with the recording log at Normal; checks the result, the
  // flag and the zeroed StepResult.
  std::vector<std::wstring> Run(Trevalk::SecurityApiTable* security = nullptr) {
    ScopedRecordingLog log;
    log.state.threshold = 1;
    const std::wstring commonPath = common_.path();
    const std::wstring programsPath = programs_.path();
    checkrvq::DataFileFolders folders;
    folders.commonAppData = commonPath.c_str();
    folders.programFiles = programsPath.c_str();
    folders.security = security;
    StepResult* result = nullptr;
    DWORD flag = 0xA5A5A5A5;
    EXPECT_EQ(checkrvq::PreInstallIn(folders, &result, &flag), 0u);
    EXPECT_EQ(flag, 1u);
    EXPECT_NE(result, nullptr);
    if (result) {
      EXPECT_TRUE(AllZero(result, sizeof *result));
      HeapFree(GetProcessHeap(), 0, result);
    }
    return LogLines(log);
  }

  rvqtest::ScratchDir common_{L"rvqcommon"};
  rvqtest::ScratchDir programs_{L"rvqprograms"};
};

TEST_F(PreInstallMigration, TargetPresentTouchesNothing) {
  Put(Target(), "current");
  Put(FirstOld(), "old one");
  Put(SecondOld(), "old two");
  EXPECT_EQ(Run(), (std::vector<std::wstring>{kStart, kFlag, kComplete}));
  EXPECT_EQ(ReadFileBytes(Target()), "current");
  EXPECT_TRUE(FileExists(FirstOld()));
  EXPECT_TRUE(FileExists(SecondOld()));
}

TEST_F(PreInstallMigration, FirstOldLocationMovesToTheTarget) {
  ASSERT_TRUE(CreateDirectoryW((common_.path() + L"\\Bryxen").c_str(), nullptr));
  Put(FirstOld(), "old one");
  Put(SecondOld(), "old two");
  EXPECT_EQ(Run(), (std::vector<std::wstring>{kStart, kFlag, FirstMoveLine(), kComplete}));
  EXPECT_EQ(ReadFileBytes(Target()), "old one");
  EXPECT_FALSE(FileExists(FirstOld()));
  EXPECT_TRUE(FileExists(SecondOld()));
}

TEST_F(PreInstallMigration, SecondOldLocationMovesAfterTheFirstFailed) {
  ASSERT_TRUE(CreateDirectoryW((common_.path() + L"\\Bryxen").c_str(), nullptr));
  Put(SecondOld(), "old two");
  EXPECT_EQ(Run(), (std::vector<std::wstring>{kStart, kFlag, FirstMoveLine(), kSecondMove, kComplete}));
  EXPECT_EQ(ReadFileBytes(Target()), "old two");
  EXPECT_FALSE(FileExists(SecondOld()));
}

TEST_F(PreInstallMigration, FileNowhereStillLogsBothMoves) {
  EXPECT_EQ(Run(), (std::vector<std::wstring>{kStart, kFlag, FirstMoveLine(), kSecondMove, kComplete}));
  EXPECT_FALSE(FileExists(Target()));
}

TEST_F(PreInstallMigration, MissingMakerFolderIsCreatedAndTheFileMigrates) {
  // A fresh machine: no "Bryxen" below the common application-data folder.
  Put(FirstOld(), "old one");
  ASSERT_FALSE(rvqtest::DirectoryExists(common_.path() + L"\\Bryxen"));
  EXPECT_EQ(Run(), (std::vector<std::wstring>{kStart, kFlag, FirstMoveLine(), kComplete}));
  EXPECT_EQ(ReadFileBytes(Target()), "old one");
}

TEST_F(PreInstallMigration, HeldFirstFileIsNotSupersededByTheOlderSecond) {
  // The old service still has the file open at pre-install time (it is
  // stopped only at installation): the older copy must not take its place.
  ASSERT_TRUE(CreateDirectoryW((common_.path() + L"\\Bryxen").c_str(), nullptr));
  Put(FirstOld(), "old one");
  Put(SecondOld(), "old two");
  {
    Trevalk::UniqueFileHandle held(CreateFileW(FirstOld().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                               nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    // The file stays, and the log says so rather than that it moved.
    EXPECT_EQ(Run(), (std::vector<std::wstring>{kStart, kFlag,
                                                L"4 PreInstall 238 detectRVQ.dll PreInstall(): Data file not moved "
                                                L"from " + FirstOld() + L". Error code:32",
                                                kComplete}));
  }
  EXPECT_FALSE(FileExists(Target()));
  EXPECT_EQ(ReadFileBytes(FirstOld()), "old one");
  EXPECT_EQ(ReadFileBytes(SecondOld()), "old two");
}

// Every user may create folders in the common application-data folder. A
// level she made before the step (Wine: mode 0777, which it reads as
// Everyone may write) is taken back before the data file goes into it, a
// level the step makes carries the protected list, and the moved file keeps
// none of its planter's rights: only what the folder gives it.
TEST_F(PreInstallMigration, OpenLevelsAreTakenBackAndTheMovedFileInheritsFromThem) {
  const std::wstring maker = common_.Child(L"Bryxen");
  ASSERT_TRUE(rvqtest::CreateDirectoryPath(maker.c_str()));
  ASSERT_TRUE(rvqtest::SetUnixMode(maker, 0777));
  Put(FirstOld(), "old one");
  ASSERT_TRUE(rvqtest::SetUnixMode(FirstOld(), 0666));
  EXPECT_EQ(Run(), (std::vector<std::wstring>{kStart, kFlag, FirstMoveLine(), kComplete}));
  EXPECT_EQ(ReadFileBytes(Target()), "old one");
  EXPECT_EQ(rvqtest::UnixMode(maker) & rvqtest::kOthersWrite, 0);
  const auto takenBack = rvqtest::ReadBackAccessList(maker);
  EXPECT_TRUE(takenBack.read && !takenBack.othersMayChange) << takenBack.text;
  const auto created = rvqtest::ReadBackAccessList(common_.Child(L"Bryxen\\RVQ"));
  EXPECT_TRUE(created.read && !created.othersMayChange && !created.everyoneListed) << created.text;
  // The moved file: what the folder gives (Wine shows no inherited entries,
  // only the mode they made).
  EXPECT_EQ(rvqtest::UnixMode(Target()) & rvqtest::kOthersWrite, 0);
  const auto moved = rvqtest::ReadBackAccessList(Target());
  EXPECT_TRUE(moved.read && !moved.othersMayChange && !moved.isProtected) << moved.text;
}

// Wine reports every file as the current user's: the owner is answered
// through the security functions' table. A folder on the way, or the data
// file itself, that a stranger owns stops the move, with the Error line,
// and the installation is still allowed.
TEST_F(PreInstallMigration, AStrangerOwnedFolderOrFileIsNotUsed) {
  ASSERT_TRUE(rvqtest::CreateDirectoryPath(common_.Child(L"Bryxen\\RVQ").c_str()));
  Put(FirstOld(), "old one");
  const std::wstring prefix = L"4 PreInstall 230 detectRVQ.dll PreInstall(): Data file not moved: [";
  const std::wstring suffix =
      L"] is not owned by the system, the administrators or the installing user. Error code:1307";
  {
    rvqtest::UntrustedOwnerTable strangerFolders(rvqtest::UntrustedOwnerTable::kFolders);
    EXPECT_EQ(Run(&strangerFolders),
              (std::vector<std::wstring>{kStart, kFlag, prefix + common_.Child(L"Bryxen") + suffix, kComplete}));
  }
  {
    rvqtest::UntrustedOwnerTable strangerFiles(rvqtest::UntrustedOwnerTable::kFiles);
    EXPECT_EQ(Run(&strangerFiles), (std::vector<std::wstring>{kStart, kFlag, prefix + FirstOld() + suffix, kComplete}));
    EXPECT_GT(rvqtest::UntrustedOwnerTable::strangerAnswers(), 0);
  }
  EXPECT_FALSE(FileExists(Target()));
  EXPECT_EQ(ReadFileBytes(FirstOld()), "old one");
}

// Every user may create folders in the common application-data folder, so
// each folder the data file moves through may be a link to a place of the
// user's choosing, here a folder outside holding the names the step uses.
struct LinkCase {
  const wchar_t* at;       // the link, below the common application-data folder
  const char* outsideFile;  // what lies outside, where the link points
};

class PreInstallThroughLink : public PreInstallMigration, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(PreInstallThroughLink, MovesNothingAndSaysSo) {
  const LinkCase& c = GetParam();
  rvqtest::ScratchDir outside(L"rvqoutside");
  const std::wstring at(c.at);
  const bool sourceSide = at.rfind(L"BryxenOnline", 0) == 0;
  // The data file's name where the link makes the step look for it.
  const std::wstring outsideFile = outside.Child(at == L"Bryxen" ? L"RVQ\\bxdndb.dat" : L"bxdndb.dat");
  ASSERT_TRUE(rvqtest::CreateDirectoryPath(outsideFile.substr(0, outsideFile.find_last_of(L'\\')).c_str()));
  if (c.outsideFile) {
    ASSERT_TRUE(rvqtest::WriteFileBytes(outsideFile, c.outsideFile));
  }
  const std::wstring link = common_.Child(at);
  ASSERT_TRUE(rvqtest::CreateDirectoryPath(link.substr(0, link.find_last_of(L'\\')).c_str()));
  if (!sourceSide) {
    Put(FirstOld(), "old one");
  }
  rvqtest::ScopedUnixLink planted(link, outside.path());
  ASSERT_TRUE(planted.made());

  EXPECT_EQ(Run(), (std::vector<std::wstring>{
                       kStart, kFlag,
                       L"4 PreInstall 226 detectRVQ.dll PreInstall(): Data file not moved: [" + link +
                           L"] is a link or not a real folder or file. Error code:4395",
                       kComplete}));
  if (c.outsideFile) {
    EXPECT_EQ(ReadFileBytes(outsideFile), c.outsideFile);
  } else {
    EXPECT_FALSE(FileExists(outsideFile));
  }
  if (!sourceSide) {
    EXPECT_EQ(ReadFileBytes(FirstOld()), "old one");
  }
}

INSTANTIATE_TEST_SUITE_P(Links, PreInstallThroughLink,
                         ::testing::Values(LinkCase{L"Bryxen", "outside"}, LinkCase{L"Bryxen", nullptr},
                                           LinkCase{L"Bryxen\\RVQ", "outside"}, LinkCase{L"Bryxen\\RVQ", nullptr},
                                           LinkCase{L"BryxenOnline\\RVQ", "outside"}));

// A folder the shell cannot name is not replaced by another folder tree,
// where the product would never read the data file: nothing moves from or
// into it, and an Error line says why.
TEST_F(PreInstallMigration, AFolderTheShellCannotNameMovesNothing) {
  class NoFolders : public Trevalk::ShlObjAPI {
   public:
    HRESULT GetKnownFolderPath(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR* path) override {
      *path = nullptr;
      return E_FAIL;
    }
  } shell;
  const std::wstring oldTree = L"C:\\Documents and Settings\\All Users\\Application Data\\Bryxen";
  rvqtest::RemoveTree(oldTree);
  Put(SecondOld(), "old two");
  const auto run = [&](bool commonKnown) {
    ScopedRecordingLog log;
    log.state.threshold = 1;
    const std::wstring commonPath = common_.path();
    checkrvq::DataFileFolders folders;
    folders.commonAppData = commonKnown ? commonPath.c_str() : nullptr;
    folders.shell = &shell;
    DWORD flag = 0;
    EXPECT_EQ(checkrvq::PreInstallIn(folders, nullptr, &flag), 0u);
    EXPECT_EQ(flag, 1u);
    return LogLines(log);
  };
  const std::wstring unknown = L"4 PreInstall 236 detectRVQ.dll PreInstall(): Data file not moved: the ";
  EXPECT_EQ(run(false), (std::vector<std::wstring>{kStart, kFlag,
                                                   unknown + L"common application-data folder could not be found. "
                                                             L"Error code:0x80004005",
                                                   kComplete}));
  EXPECT_FALSE(rvqtest::DirectoryExists(oldTree));
  EXPECT_EQ(run(true),
            (std::vector<std::wstring>{kStart, kFlag, FirstMoveLine(),
                                       unknown + L"program-files folder could not be found. Error code:0x80004005",
                                       kComplete}));
  EXPECT_FALSE(FileExists(Target()));
  EXPECT_EQ(ReadFileBytes(SecondOld()), "old two");
}

TEST(PreInstall, NormalLinesStayQuietAtTheDefaultThreshold) {
  rvqtest::ScratchDir common(L"rvqcommon");
  const std::wstring path = common.Child(L"Bryxen\\RVQ\\bxdndb.dat");
  ASSERT_TRUE(rvqtest::CreateDirectoryPath(common.Child(L"Bryxen\\RVQ").c_str()));
  ASSERT_TRUE(rvqtest::WriteFileBytes(path, "current"));
  ScopedRecordingLog log;
  checkrvq::DataFileFolders folders;
  const std::wstring commonPath = common.path();
  folders.commonAppData = commonPath.c_str();
  folders.programFiles = commonPath.c_str();
  StepResult* result = nullptr;
  DWORD flag = 0;
  EXPECT_EQ(checkrvq::PreInstallIn(folders, &result, &flag), 0u);
  EXPECT_TRUE(log.Entries().empty());
  HeapFree(GetProcessHeap(), 0, result);
  // Without places for the answers the step still runs.
  EXPECT_EQ(checkrvq::PreInstallIn(folders, nullptr, nullptr), 0u);
  EXPECT_EQ(PostInstall(nullptr, nullptr, nullptr, nullptr), 0u);
}

TEST(PostInstall, ReportsNoRebootWithAZeroedResult) {
  ScopedRecordingLog log;
  log.state.threshold = 1;
  StepResult* result = nullptr;
  DWORD flag = 0xA5A5A5A5;
  EXPECT_EQ(PostInstall(reinterpret_cast<void*>(1), reinterpret_cast<void*>(2), &result, &flag), 0u);
  EXPECT_EQ(flag, 0u);
  ASSERT_NE(result, nullptr);
  EXPECT_TRUE(AllZero(result, sizeof *result));
  EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, result));
  EXPECT_EQ(LogLines(log), (std::vector<std::wstring>{
                               L"1 PostInstall 262 detectRVQ.dll PostInstall(): Starting post-install step.",
                               L"1 PostInstall 277 detectRVQ.dll PostInstall(): bNeedsReboot = 0.",
                               L"1 PostInstall 278 detectRVQ.dll PostInstall(): Post-install step complete.",
                           }));
}


}  // namespace
