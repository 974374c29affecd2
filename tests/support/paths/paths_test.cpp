// Paths and known folders: the absolute-path rules as a table, directory
// creation against the real file system under Wine, and module path splits
// of a probe program copied to long and spaced paths.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "directory_tree.h"
#include "paths/paths.h"
#include "scoped_current_directory.h"
#include "test_support.h"
#include "untrusted_owner_table.h"

namespace {

using rvqtest::CreateDirectoryPath;
using rvqtest::CreateDirectoryTree;
using Trevalk::IsDirectory;
using rvqtest::DirectoryExists;
using rvqtest::ScratchDir;

using rvqtest::ScopedCurrentDirectory;

TEST(MakeAbsoluteDirectoryPath, Rules) {
  const std::wstring cwd = L"C:\\work";
  struct Case {
    const wchar_t* path;
    const wchar_t* expected;
  } cases[] = {
      {L"\\\\?\\C:\\a\\b", L"\\\\?\\C:\\a\\b"},
      {L"logs", L"C:\\work\\logs"},
      {L"logs\\today", L"C:\\work\\logs\\today"},
      {L"\\logs", L"C:\\logs"},
      {L"D:\\x\\y", L"D:\\x\\y"},
      {L"D:x\\y", L"D:x\\y"},
      // Network paths are not supported: they land on the current drive.
      {L"\\\\server\\share", L"C:\\\\server\\share"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rvqtest::MakeAbsoluteDirectoryPath(c.path, cwd), c.expected) << c.path;
  }
}

TEST(JoinPath, OneBackslashNothingElse) {
  EXPECT_EQ(Trevalk::JoinPath(L"C:\\a", L"b.dll"), L"C:\\a\\b.dll");
  EXPECT_EQ(Trevalk::JoinPath(L"C:\\a\\", L"b"), L"C:\\a\\\\b");
}

TEST(IsDirectory, Kinds) {
  ScratchDir scratch;
  ASSERT_TRUE(rvqtest::WriteFileBytes(scratch.Child(L"file"), "x"));
  EXPECT_FALSE(IsDirectory(nullptr));
  EXPECT_FALSE(IsDirectory(L""));
  EXPECT_FALSE(IsDirectory(scratch.Child(L"file").c_str()));
  EXPECT_FALSE(IsDirectory(scratch.Child(L"missing").c_str()));
  EXPECT_TRUE(IsDirectory(scratch.path().c_str()));
}

TEST(GetCurrentDirectoryString, FollowsTheProcess) {
  ScratchDir scratch;
  ScopedCurrentDirectory cd(scratch.path());
  EXPECT_EQ(Trevalk::GetCurrentDirectoryString(), scratch.path());
}

TEST(CreateDirectoryPath, BadArguments) {
  DWORD error = 0;
  EXPECT_FALSE(CreateDirectoryPath(nullptr, &error));
  EXPECT_EQ(error, 87u);
  error = 0;
  EXPECT_FALSE(CreateDirectoryPath(L"", &error));
  EXPECT_EQ(error, 87u);
  EXPECT_FALSE(CreateDirectoryPath(nullptr));
}

TEST(CreateDirectoryPath, ExistingDirectoryAnswers183) {
  ScratchDir scratch;
  DWORD error = 0;
  EXPECT_TRUE(CreateDirectoryPath(scratch.path().c_str(), &error));
  EXPECT_EQ(error, 183u);
}

TEST(CreateDirectoryPath, MissingParentsOutermostFirst) {
  for (const wchar_t* tail : {L"\\a\\b\\c", L"\\a\\b\\c\\"}) {
    ScratchDir scratch;
    ASSERT_TRUE(CreateDirectoryW(scratch.Child(L"a").c_str(), nullptr));
    DWORD error = 99;
    EXPECT_TRUE(CreateDirectoryPath((scratch.path() + tail).c_str(), &error)) << tail;
    EXPECT_EQ(error, 0u) << tail;
    EXPECT_TRUE(DirectoryExists(scratch.Child(L"a\\b"))) << tail;
    EXPECT_TRUE(DirectoryExists(scratch.Child(L"a\\b\\c"))) << tail;
  }
}

TEST(CreateDirectoryPath, LongPathForm) {
  ScratchDir scratch;
  const std::wstring target = L"\\\\?\\" + scratch.path() + L"\\a\\b";
  DWORD error = 99;
  EXPECT_TRUE(CreateDirectoryPath(target.c_str(), &error));
  EXPECT_EQ(error, 0u);
  EXPECT_TRUE(DirectoryExists(scratch.Child(L"a\\b")));
}

TEST(CreateDirectoryPath, LongPathFormBeyondMaxPath) {
  ScratchDir scratch;
  std::wstring target = L"\\\\?\\" + scratch.path();
  const std::wstring segment(60, L'd');
  while (target.size() < 400) target += L"\\" + segment;
  DWORD error = 99;
  EXPECT_TRUE(CreateDirectoryPath(target.c_str(), &error)) << error;
  EXPECT_EQ(error, 0u);
  EXPECT_TRUE(IsDirectory(target.c_str()));
  // The tree is deeper than the plain API reaches; take it down from inside.
  while (target.size() > 4 + scratch.path().size()) {
    RemoveDirectoryW(target.c_str());
    target.resize(target.rfind(L'\\'));
  }
}

TEST(CreateDirectoryPath, RelativeToCurrentDirectory) {
  ScratchDir scratch;
  ScopedCurrentDirectory cd(scratch.path());
  DWORD error = 99;
  EXPECT_TRUE(CreateDirectoryPath(L"logs", &error));
  EXPECT_EQ(error, 0u);
  EXPECT_TRUE(DirectoryExists(scratch.Child(L"logs")));
  EXPECT_TRUE(CreateDirectoryPath(L"more\\today", &error));
  EXPECT_EQ(error, 0u);
  EXPECT_TRUE(DirectoryExists(scratch.Child(L"more\\today")));
}

TEST(CreateDirectoryPath, RootedPathWithoutDrive) {
  ScratchDir scratch;
  ASSERT_EQ(scratch.path()[1], L':');
  ScopedCurrentDirectory cd(scratch.path());
  const std::wstring rooted = scratch.path().substr(2) + L"\\rooted\\inner";
  DWORD error = 99;
  EXPECT_TRUE(CreateDirectoryPath(rooted.c_str(), &error));
  EXPECT_EQ(error, 0u);
  EXPECT_TRUE(DirectoryExists(scratch.Child(L"rooted\\inner")));
}

TEST(CreateDirectoryPath, ExistingFileIsAFailure) {
  ScratchDir scratch;
  const std::wstring file = scratch.Child(L"taken");
  ASSERT_TRUE(rvqtest::WriteFileBytes(file, "x"));
  DWORD error = 0;
  EXPECT_FALSE(CreateDirectoryPath(file.c_str(), &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_DIRECTORY));
  // A file in the middle of the path stops the creation there.
  error = 0;
  EXPECT_FALSE(CreateDirectoryPath((file + L"\\below").c_str(), &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_DIRECTORY));
  EXPECT_FALSE(IsDirectory((file + L"\\below").c_str()));
  EXPECT_EQ(CreateDirectoryTree(file.c_str()), static_cast<DWORD>(ERROR_DIRECTORY));
}

TEST(CreateDirectoryTree, NoBackslashCreatesNothing) {
  ScratchDir scratch;
  ScopedCurrentDirectory cd(scratch.path());
  EXPECT_EQ(CreateDirectoryTree(L"plain"), 0u);
  EXPECT_FALSE(DirectoryExists(scratch.Child(L"plain")));
}

TEST(CreateDirectoryTree, FailureOfAnOuterFolderIsReported) {
  ScratchDir scratch;
  const std::wstring file = scratch.Child(L"taken");
  ASSERT_TRUE(rvqtest::WriteFileBytes(file, "x"));
  // An invalid name in the middle: the error is the one met there, and the
  // inner folder is not attempted.
  const DWORD error = CreateDirectoryTree((scratch.path() + L"\\ok\\bad|name\\inner").c_str());
  EXPECT_NE(error, 0u);
  EXPECT_TRUE(DirectoryExists(scratch.Child(L"ok")));
}

// 32,767 characters of one-letter folders, 16,000 levels, below a file: the
// walk up through every level (once a recursion that overflowed the stack)
// ends at the file, and nothing is made.
TEST(CreateDirectoryTree, SixteenThousandLevelsBelowAFile) {
  ScratchDir scratch;
  const std::wstring file = scratch.Child(L"taken");
  ASSERT_TRUE(rvqtest::WriteFileBytes(file, "x"));
  for (const std::wstring& start : {file, L"\\\\?\\" + file}) {
    std::wstring deep = start;
    while (deep.size() + 2 <= 32767) deep += L"\\a";
    EXPECT_EQ(CreateDirectoryTree(deep.c_str()), static_cast<DWORD>(ERROR_DIRECTORY));
    EXPECT_TRUE(rvqtest::FileExists(file));
  }
}

std::string RunProbeAt(const std::wstring& exePath) {
  EXPECT_TRUE(CopyFileW(rvqtest::BinPath(L"module_path_probe.exe").c_str(), exePath.c_str(), FALSE)) << GetLastError();
  const auto run = rvqtest::RunProcess(L"\"" + exePath + L"\"");
  EXPECT_TRUE(run.started) << run.startError;
  return run.output;
}

TEST(SplitModulePath, SpacedFolder) {
  ScratchDir scratch;
  const std::wstring folder = scratch.Child(L"Program Files\\App");
  ASSERT_TRUE(CreateDirectoryPath(folder.c_str()));
  EXPECT_EQ(RunProbeAt(folder + L"\\app.exe"), rvqtest::ToUtf8(folder) + "|app.exe");
}

TEST(SplitModulePath, NameLongerThanOneReadStep) {
  ScratchDir scratch;
  std::wstring folder = scratch.path();
  while (folder.size() < 200) folder += L"\\" + std::wstring(40, L'p');
  const std::wstring name = std::wstring(258 - folder.size() - 1 - 4, L'n') + L".exe";
  ASSERT_TRUE(CreateDirectoryPath(folder.c_str()));
  ASSERT_EQ(folder.size() + 1 + name.size(), 258u);
  EXPECT_EQ(RunProbeAt(folder + L"\\" + name), rvqtest::ToUtf8(folder) + "|" + rvqtest::ToUtf8(name));
}

TEST(SplitModulePath, LoadedModuleAndFailure) {
  std::wstring folder = L"unchanged", name = L"unchanged";
  EXPECT_TRUE(Trevalk::SplitModulePath(GetModuleHandleW(L"kernel32.dll"), folder, name));
  EXPECT_EQ(_wcsicmp(name.c_str(), L"kernel32.dll"), 0) << rvqtest::ToUtf8(name);
  EXPECT_TRUE(IsDirectory(folder.c_str()));
  EXPECT_TRUE(Trevalk::SplitModulePath(nullptr, folder, name));
  EXPECT_EQ(folder, rvqtest::BinDir());

  folder = L"unchanged";
  name = L"unchanged";
  // Not a module: the name cannot be read and the outputs stay.
  int notAModule = 0;
  EXPECT_FALSE(Trevalk::SplitModulePath(reinterpret_cast<HMODULE>(&notAModule), folder, name));
  EXPECT_EQ(folder, L"unchanged");
  EXPECT_EQ(name, L"unchanged");
}

TEST(ShlObjAPI, DefaultAnswersTheSystemFolder) {
  Trevalk::ShlObjAPI api;
  Trevalk::UniqueCoTaskString path;
  ASSERT_EQ(api.GetKnownFolderPath(FOLDERID_System, 0, nullptr, path.put()), S_OK);
  ASSERT_TRUE(path);
  wchar_t expected[MAX_PATH] = {};
  ASSERT_NE(GetSystemDirectoryW(expected, MAX_PATH), 0u);
  EXPECT_EQ(_wcsicmp(path.get(), expected), 0);
}

// A shell that answers `result` and hands out `folder` (none when null).
class AnsweringShell : public Trevalk::ShlObjAPI {
 public:
  AnsweringShell(HRESULT result, const wchar_t* folder) : result_(result), folder_(folder) {}
  HRESULT GetKnownFolderPath(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR* path) override {
    *path = nullptr;
    if (folder_) {
      const size_t bytes = (wcslen(folder_) + 1) * sizeof(wchar_t);
      *path = static_cast<PWSTR>(CoTaskMemAlloc(bytes));
      memcpy(*path, folder_, bytes);
    }
    return result_;
  }

 private:
  HRESULT result_;
  const wchar_t* folder_;
};

// The caller learns of every failure, also a "success" without a folder,
// and keeps what it had.
TEST(GetKnownFolderPath, AnswersTheFolderOrTheFailureAndLeavesThePathAloneOnFailure) {
  struct Case {
    HRESULT answer;
    const wchar_t* folder;
    HRESULT expected;
    const wchar_t* path;
  };
  const Case cases[] = {
      {S_OK, L"C:\\Data", S_OK, L"C:\\Data"},
      {S_OK, nullptr, E_FAIL, L"before"},
      {E_INVALIDARG, nullptr, E_INVALIDARG, L"before"},
      {E_FAIL, L"C:\\Partial", E_FAIL, L"before"},  // a block handed out with a failure
  };
  for (const Case& c : cases) {
    AnsweringShell shell(c.answer, c.folder);
    std::wstring path = L"before";
    EXPECT_EQ(Trevalk::GetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE, path, &shell), c.expected)
        << (c.folder ? c.folder : L"(none)");
    EXPECT_EQ(path, c.path);
  }
}

// Links planted from the Unix side, which Wine reports as reparse points.
TEST(CheckRealFolderChain, StopsAtTheFirstLinkOrMissingLevelAndPinsWhatItChecked) {
  ScratchDir root(L"rvqchain");
  ScratchDir outside(L"rvqoutside");
  ASSERT_TRUE(CreateDirectoryPath(root.Child(L"a\\b").c_str()));
  ASSERT_TRUE(CreateDirectoryPath(outside.Child(L"c\\d").c_str()));
  rvqtest::ScopedUnixLink link(root.Child(L"a\\b\\c"), outside.Child(L"c"));
  ASSERT_TRUE(link.made());
  ASSERT_TRUE(IsDirectory(root.Child(L"a\\b\\c\\d").c_str()));  // Wine follows it

  std::wstring failedAt = L"stale";
  EXPECT_EQ(Trevalk::CheckRealFolderChain(root.path(), root.Child(L"a\\b"), &failedAt), 0u);
  EXPECT_TRUE(failedAt.empty());
  // Root compared without regard to case, trailing backslashes ignored.
  EXPECT_EQ(Trevalk::CheckRealFolderChain(root.path() + L"\\", root.Child(L"A\\x\\y\\"), &failedAt),
            static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(failedAt, root.Child(L"A\\x"));
  EXPECT_EQ(Trevalk::CheckRealFolderChain(root.path(), root.Child(L"a\\b\\c\\d"), &failedAt),
            Trevalk::kErrorReparsePointEncountered);
  EXPECT_EQ(failedAt, root.Child(L"a\\b\\c"));
  EXPECT_EQ(Trevalk::CheckRealFolderChain(root.path(), outside.Child(L"c")), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Trevalk::CheckRealFolderChain(root.path(), root.path()), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  std::vector<Trevalk::UniqueFileHandle> pins;
  EXPECT_EQ(Trevalk::CheckRealFolderChain(root.path(), root.Child(L"a\\b\\c\\d"), nullptr, &pins),
            Trevalk::kErrorReparsePointEncountered);
  EXPECT_EQ(pins.size(), 2u);  // a and a\b, not the link
  // While pinned, a checked level cannot be swapped for something else.
  EXPECT_FALSE(MoveFileW(root.Child(L"a\\b").c_str(), root.Child(L"moved").c_str()));
  pins.clear();
  EXPECT_TRUE(MoveFileW(root.Child(L"a\\b").c_str(), root.Child(L"moved").c_str()));
  EXPECT_TRUE(MoveFileW(root.Child(L"moved").c_str(), root.Child(L"a\\b").c_str()));  // for the link's removal
}

// With rules, each level is judged through its own handle. Wine reads a
// folder of mode 0777 as one Everyone may write: it is reported (judged
// only) or taken back; a level that is right already is left exactly as it
// is; a missing one is made with the protected list; an owner the checks do
// not trust (answered through the table) stops the walk, and nothing
// changes.
TEST(CheckRealFolderChain, JudgesTakesBackAndCreatesLevels) {
  ScratchDir root(L"rvqsecure");
  const std::wstring open = root.Child(L"open");
  const std::wstring right = root.Child(L"open\\right");
  const std::wstring fresh = root.Child(L"open\\right\\new");
  ASSERT_TRUE(CreateDirectoryPath(right.c_str()));
  ASSERT_TRUE(rvqtest::SetUnixMode(open, 0777));
  ASSERT_TRUE(rvqtest::SetUnixMode(right, 0755));
  const std::string rightList = rvqtest::ReadBackAccessList(right).text;

  Trevalk::FolderChainRules rules;
  rules.security = Trevalk::FolderSecurity::kJudge;
  std::wstring failedAt;
  EXPECT_EQ(Trevalk::CheckRealFolderChain(root.path(), fresh, &failedAt, nullptr, &rules), Trevalk::kErrorOpenToOthers);
  EXPECT_EQ(failedAt, open);
  EXPECT_EQ(rvqtest::UnixMode(open), 0777);

  rules.security = Trevalk::FolderSecurity::kTakeBack;
  rules.create = true;
  {
    rvqtest::UntrustedOwnerTable stranger(rvqtest::UntrustedOwnerTable::kFolders);
    rules.api = &stranger;
    EXPECT_EQ(Trevalk::CheckRealFolderChain(root.path(), fresh, &failedAt, nullptr, &rules),
              Trevalk::kErrorUntrustedOwner);
    EXPECT_EQ(failedAt, open);
    EXPECT_EQ(rvqtest::UnixMode(open), 0777);
    EXPECT_FALSE(DirectoryExists(fresh));
    rules.api = nullptr;
  }

  std::vector<Trevalk::UniqueFileHandle> pins;
  EXPECT_EQ(Trevalk::CheckRealFolderChain(root.path(), fresh, &failedAt, &pins, &rules), 0u);
  EXPECT_EQ(pins.size(), 3u);
  EXPECT_EQ(rvqtest::UnixMode(open) & rvqtest::kOthersWrite, 0);
  EXPECT_FALSE(rvqtest::ReadBackAccessList(open).othersMayChange);
  EXPECT_EQ(rvqtest::UnixMode(right), 0755);
  EXPECT_EQ(rvqtest::ReadBackAccessList(right).text, rightList);
  EXPECT_NE(rightList.find("S-1-1-0"), std::string::npos) << "Everyone may read what is right already";
  const auto created = rvqtest::ReadBackAccessList(fresh);
  EXPECT_TRUE(created.read && !created.othersMayChange && !created.everyoneListed) << created.text;
}

}  // namespace
