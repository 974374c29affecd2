// Per-user cleanup: the value rules and path building as plain functions,
// then CleanupUserPasswordVaultFiles over profiles that the tests add to the
// machine's profile list (and remove again), with their folders in scratch
// space. The default user's "Local AppData" value is saved and put back.
#include "user_cleanup.h"

#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "entry_points.h"
#include "profile_list.h"
#include "registry/registry_text.h"
#include "step_test_util.h"

namespace {

using rvqtest::DirectoryExists;
using rvqtest::FromUtf8;
using rvqtest::ReadFileBytes;
using rvqtest::FileExists;
using rvqtest::LogLines;
using rvqtest::ScopedRecordingLog;

TEST(RegistryText, AcceptsOnlyTerminatedStringsOfEvenLength) {
  const wchar_t text[] = L"ab";  // 6 bytes with the terminator
  const wchar_t unterminated[] = {L'a', L'b'};
  const struct {
    DWORD type;
    const wchar_t* data;
    DWORD bytes;
    const wchar_t* expected;  // null: rejected
  } cases[] = {
      {REG_SZ, text, 6, text},
      {REG_EXPAND_SZ, text, 6, text},
      {REG_SZ, text, 0, L""},
      {REG_EXPAND_SZ, nullptr, 0, L""},
      {REG_SZ, unterminated, 4, nullptr},
      {REG_SZ, text, 5, nullptr},  // odd byte count
      {REG_MULTI_SZ, text, 6, nullptr},
      {REG_DWORD, text, 4, nullptr},
      {REG_BINARY, text, 6, nullptr},
  };
  for (const auto& c : cases) {
    const wchar_t* accepted = Trevalk::AcceptedRegistryText(c.type, c.data, c.bytes);
    if (!c.expected) {
      EXPECT_EQ(accepted, nullptr) << c.type << "/" << c.bytes;
    } else {
      ASSERT_NE(accepted, nullptr) << c.type << "/" << c.bytes;
      EXPECT_STREQ(accepted, c.expected);
    }
  }
}

TEST(RegistryText, RelativePartFollowsTheFirstBackslash) {
  EXPECT_STREQ(checkrvq::RelativeLocalAppData(L"%USERPROFILE%\\AppData\\Local"), L"AppData\\Local");
  EXPECT_STREQ(checkrvq::RelativeLocalAppData(L"%USERPROFILE%\\Local Settings\\Application Data"),
               L"Local Settings\\Application Data");
  EXPECT_STREQ(checkrvq::RelativeLocalAppData(L"\\"), L"");
  EXPECT_EQ(checkrvq::RelativeLocalAppData(L"NoBackslash"), nullptr);
  EXPECT_EQ(checkrvq::RelativeLocalAppData(L""), nullptr);
}

TEST(ProfilePaths, BuiltInOrderAndRefusedWhenTheyWouldBeCut) {
  checkrvq::ProfilePaths paths;
  ASSERT_TRUE(checkrvq::BuildProfilePaths(L"C:\\users\\ann", L"AppData\\Local", paths));
  EXPECT_STREQ(paths.makerFolder, L"C:\\users\\ann\\AppData\\Local\\Bryxen");
  EXPECT_STREQ(paths.productFolder, L"C:\\users\\ann\\AppData\\Local\\Bryxen\\RVQ");
  EXPECT_STREQ(paths.vaultFile, L"C:\\users\\ann\\AppData\\Local\\Bryxen\\RVQ\\rvqpv.dat");

  // "\AppData\Local\Bryxen" adds 21 characters, "\RVQ" 4, "\rvqpv.dat" 10.
  const struct {
    size_t profileChars;
    bool fits;
  } cases[] = {{259 - 35, true}, {259 - 34, false}, {259 - 25, false}, {259 - 21, false}, {300, false}};
  for (const auto& c : cases) {
    const std::wstring profile = L"C:\\" + std::wstring(c.profileChars - 3, L'p');
    EXPECT_EQ(checkrvq::BuildProfilePaths(profile.c_str(), L"AppData\\Local", paths), c.fits) << c.profileChars;
  }
}

TEST(ProfilePaths, InsideMeansBelowTheFolderNotBesideIt) {
  const struct {
    const wchar_t* path;
    const wchar_t* folder;
    bool inside;
  } cases[] = {
      {L"\\\\?\\C:\\Users\\ann\\AppData", L"\\\\?\\C:\\Users\\ann", true},
      {L"\\\\?\\c:\\USERS\\Ann\\x", L"\\\\?\\C:\\Users\\ann", true},  // names compare without case
      {L"\\\\?\\C:\\Users\\anna\\AppData", L"\\\\?\\C:\\Users\\ann", false},
      {L"\\\\?\\C:\\Users\\ann", L"\\\\?\\C:\\Users\\ann", false},
      {L"\\\\?\\C:\\Users\\ann\\", L"\\\\?\\C:\\Users\\ann", false},
      {L"\\\\?\\C:\\Users", L"\\\\?\\C:\\Users\\ann", false},
      {L"\\\\?\\D:\\Users\\ann\\x", L"\\\\?\\C:\\Users\\ann", false},
      {L"\\\\?\\C:\\x", L"\\\\?\\C:\\", true},  // a root keeps its backslash
      {L"\\\\?\\C:\\", L"\\\\?\\C:\\", false},
      {L"\\\\?\\C:\\x", L"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(checkrvq::IsPathInsideFolder(c.path, c.folder), c.inside) << c.path << " in " << c.folder;
  }
}

const wchar_t* const kShellFolders = rvqtest::TestProfileList::kShellFolders;
const wchar_t* const kTestSidPrefix = L"S-1-5-21-4242-7-";

using rvqtest::SetRegistryText;
using rvqtest::SetRegistryValue;

class UserCleanup : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(profiles_.ready()); }

  // Adds a profile whose ProfileImagePath is `folder`; returns its key path.
  std::wstring AddProfile(const std::wstring& folder, DWORD type = REG_SZ) {
    const std::wstring key = profiles_.Add(folder, type);
    EXPECT_FALSE(key.empty());
    return key;
  }
  std::wstring ProfileKey() { return profiles_.NextKey(); }

  // A user folder below the scratch root with the product's tree in it.
  struct User {
    std::wstring profile, maker, product, vault;
  };
  User MakeUser(const std::wstring& name, bool withProduct, bool withVault) {
    User user;
    user.profile = root_.Child(name);
    user.maker = user.profile + L"\\AppData\\Local\\Bryxen";
    user.product = user.maker + L"\\RVQ";
    user.vault = user.product + L"\\rvqpv.dat";
    const std::wstring folder = withProduct ? user.product : user.profile + L"\\AppData\\Local";
    EXPECT_TRUE(rvqtest::MakeTree(folder));
    if (withVault) {
      EXPECT_TRUE(rvqtest::WriteFileBytes(user.vault, "vault"));
    }
    return user;
  }

  // Runs the cleanup at Normal and returns the lines about our scratch root.
  std::vector<std::wstring> Clean() {
    ScopedRecordingLog log;
    log.state.threshold = 1;
    checkrvq::CleanupUserPasswordVaultFiles();
    return LogLines(log, root_.path());
  }

  static std::wstring Line(int severity, int line, const std::wstring& text) {
    return std::to_wstring(severity) + L" CleanupUserPasswordVaultFiles " + std::to_wstring(line) + L" " + text;
  }

  // The lines of a whole cleanup of `user`.
  static std::vector<std::wstring> CleanedLines(const User& user) {
    return {Line(1, 639, L"Removed user password vault file: [" + user.vault + L"]"),
            Line(1, 647, L"Removed RVQ local user app data folder: [" + user.product + L"]"),
            Line(1, 657, L"Removed Bryxen local user app data folder: [" + user.maker + L"]")};
  }

  rvqtest::TestProfileList profiles_{kTestSidPrefix};
  rvqtest::ScratchDir root_{L"rvqprofiles"};
};

TEST_F(UserCleanup, VaultAndBothFoldersGoWhenNothingElseIsThere) {
  const User user = MakeUser(L"ann", true, true);
  AddProfile(user.profile);
  EXPECT_EQ(Clean(), (std::vector<std::wstring>{
                         Line(1, 639, L"Removed user password vault file: [" + user.vault + L"]"),
                         Line(1, 647, L"Removed RVQ local user app data folder: [" + user.product + L"]"),
                         Line(1, 657, L"Removed Bryxen local user app data folder: [" + user.maker + L"]"),
                     }));
  EXPECT_FALSE(DirectoryExists(user.maker));
  EXPECT_TRUE(DirectoryExists(user.profile + L"\\AppData\\Local"));
}

TEST_F(UserCleanup, ReadOnlyVaultGoesToo) {
  const User user = MakeUser(L"ria", true, true);
  ASSERT_TRUE(SetFileAttributesW(user.vault.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  AddProfile(user.profile);
  EXPECT_EQ(Clean(), (std::vector<std::wstring>{
                         Line(1, 639, L"Removed user password vault file: [" + user.vault + L"]"),
                         Line(1, 647, L"Removed RVQ local user app data folder: [" + user.product + L"]"),
                         Line(1, 657, L"Removed Bryxen local user app data folder: [" + user.maker + L"]"),
                     }));
  EXPECT_FALSE(FileExists(user.vault));
}

TEST_F(UserCleanup, MakerFolderSharedWithAnotherProductStays) {
  const User user = MakeUser(L"bob", true, true);
  ASSERT_TRUE(CreateDirectoryW((user.maker + L"\\Other").c_str(), nullptr));
  AddProfile(user.profile);
  EXPECT_EQ(Clean(), (std::vector<std::wstring>{
                         Line(1, 639, L"Removed user password vault file: [" + user.vault + L"]"),
                         Line(1, 647, L"Removed RVQ local user app data folder: [" + user.product + L"]"),
                         Line(1, 661, L"Unable to remove Bryxen local user app data folder: [" + user.maker + L"]"),
                     }));
  EXPECT_TRUE(DirectoryExists(user.maker + L"\\Other"));
  EXPECT_FALSE(DirectoryExists(user.product));
}

TEST_F(UserCleanup, EachStepIsTriedWhateverBecameOfTheOneBefore) {
  const User user = MakeUser(L"cy", true, false);  // no vault file
  ASSERT_TRUE(rvqtest::WriteFileBytes(user.product + L"\\settings.dat", "keep"));
  AddProfile(user.profile);
  EXPECT_EQ(Clean(), (std::vector<std::wstring>{
                         Line(4, 643, L"Unable to remove user password vault file: [" + user.vault + L"]"),
                         Line(4, 651, L"Unable to remove RVQ local user app data folder: [" + user.product + L"]"),
                         Line(1, 661, L"Unable to remove Bryxen local user app data folder: [" + user.maker + L"]"),
                     }));
  EXPECT_TRUE(FileExists(user.product + L"\\settings.dat"));
}

TEST_F(UserCleanup, ProfileWithoutTheProductFolderLogsOnlyThatLine) {
  const User user = MakeUser(L"dee", false, false);
  AddProfile(user.profile);
  EXPECT_EQ(Clean(), (std::vector<std::wstring>{Line(1, 666, L"Path does not exist: [" + user.product + L"]")}));
}

TEST_F(UserCleanup, ProfilePathWithVariablesIsExpandedInOurEnvironment) {
  const User user = MakeUser(L"eve", true, true);
  ASSERT_TRUE(SetEnvironmentVariableW(L"RVQ_TEST_PROFILES", root_.path().c_str()));
  AddProfile(L"%RVQ_TEST_PROFILES%\\eve", REG_EXPAND_SZ);
  EXPECT_EQ(Clean().size(), 3u);
  EXPECT_FALSE(DirectoryExists(user.maker));
  SetEnvironmentVariableW(L"RVQ_TEST_PROFILES", nullptr);
}

TEST_F(UserCleanup, ProfilesWithoutAUsableImagePathArePassedOverQuietly) {
  // Each of these would be cleaned if its value were taken: they all name a
  // user folder with the full product tree.
  const User user = MakeUser(L"fay", true, true);
  const DWORD number = 7;
  SetRegistryValue(HKEY_LOCAL_MACHINE, ProfileKey(), L"ProfileImagePath", REG_DWORD, &number, sizeof number);
  SetRegistryText(HKEY_LOCAL_MACHINE, ProfileKey(), L"OtherValue", user.profile);  // no ProfileImagePath
  AddProfile(L"");                                                          // empty
  SetRegistryValue(HKEY_LOCAL_MACHINE, ProfileKey(), L"ProfileImagePath", REG_BINARY, user.profile.c_str(),
                   static_cast<DWORD>((user.profile.size() + 1) * sizeof(wchar_t)));
  SetRegistryValue(HKEY_LOCAL_MACHINE, ProfileKey(), L"ProfileImagePath", REG_SZ, user.profile.c_str(),
                   static_cast<DWORD>(user.profile.size() * sizeof(wchar_t) + 1));  // odd byte count
  // Longer than the 522 bytes the value is read into.
  AddProfile(user.profile + L"\\" + std::wstring(300, L'x'));
  EXPECT_EQ(Clean(), std::vector<std::wstring>{});
  EXPECT_TRUE(FileExists(user.vault));
}

TEST_F(UserCleanup, ProfileWhosePathsWouldBeCutIsSkippedWithAnError) {
  // The vault path would need 265 characters: cut to 260, it names "rvqp"
  // in the product folder, a file that must survive.
  const std::wstring base = root_.Child(L"long");
  const size_t profileChars = 265 - 35;
  ASSERT_LT(base.size() + 1, profileChars);
  const std::wstring profile = base + L"\\" + std::wstring(profileChars - base.size() - 1, L'n');
  const std::wstring product = profile + L"\\AppData\\Local\\Bryxen\\RVQ";
  ASSERT_EQ(product.size(), 255u);
  ASSERT_TRUE(rvqtest::MakeTree(L"\\\\?\\" + product));
  ASSERT_TRUE(rvqtest::WriteFileBytes(L"\\\\?\\" + product + L"\\rvqp", "other file"));
  AddProfile(profile);

  // A profile folder that only its expansion makes too long.
  ASSERT_TRUE(SetEnvironmentVariableW(L"RVQ_TEST_LONG", std::wstring(300, L'l').c_str()));
  AddProfile(root_.path() + L"\\%RVQ_TEST_LONG%", REG_EXPAND_SZ);

  EXPECT_EQ(Clean(), (std::vector<std::wstring>{
                         Line(4, 624, L"Path too long, profile skipped: [" + profile + L"]"),
                         Line(4, 624, L"Path too long, profile skipped: [" + root_.path() + L"\\%RVQ_TEST_LONG%]"),
                     }));
  EXPECT_TRUE(FileExists(L"\\\\?\\" + product + L"\\rvqp"));
  EXPECT_TRUE(DirectoryExists(L"\\\\?\\" + product));
  SetEnvironmentVariableW(L"RVQ_TEST_LONG", nullptr);
}

TEST_F(UserCleanup, UnusableLocalAppDataEndsTheCleanupWithOneError) {
  const User user = MakeUser(L"gus", true, true);
  AddProfile(user.profile);
  const DWORD number = 1;
  const std::wstring tooLong = L"%USERPROFILE%\\" + std::wstring(280, L'a');
  const struct {
    DWORD type;  // REG_NONE: the value is deleted
    std::wstring text;
    std::wstring expected;
  } cases[] = {
      {REG_EXPAND_SZ, L"NoBackslashHere", Line(4, 580, L"Unable to find a \\ in [NoBackslashHere]")},
      {REG_SZ, L"", Line(4, 580, L"Unable to find a \\ in []")},
      {REG_NONE, L"", Line(4, 571, L"Unable to open Local AppData registry value.")},
      {REG_DWORD, L"", Line(4, 571, L"Unable to open Local AppData registry value.")},
      {REG_EXPAND_SZ, tooLong, Line(4, 571, L"Unable to open Local AppData registry value.")},
  };
  for (const auto& c : cases) {
    if (c.type == REG_NONE) {
      Trevalk::UniqueHKey key;
      ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, kShellFolders, 0, KEY_SET_VALUE, key.put()), ERROR_SUCCESS);
      ASSERT_EQ(RegDeleteValueW(key.get(), L"Local AppData"), ERROR_SUCCESS);
    } else if (c.type == REG_DWORD) {
      ASSERT_TRUE(SetRegistryValue(HKEY_USERS, kShellFolders, L"Local AppData", REG_DWORD, &number, sizeof number));
    } else if (c.text.empty()) {
      ASSERT_TRUE(SetRegistryValue(HKEY_USERS, kShellFolders, L"Local AppData", c.type, L"", 0));
    } else {
      ASSERT_TRUE(SetRegistryText(HKEY_USERS, kShellFolders, L"Local AppData", c.text, c.type));
    }
    ScopedRecordingLog log;
    log.state.threshold = 1;
    EXPECT_EQ(DllUninstallFunction(), 0u);
    EXPECT_EQ(LogLines(log), (std::vector<std::wstring>{L"1 DllUninstallFunction 676 DllUninstallFunction",
                                                        c.expected}));
    EXPECT_TRUE(FileExists(user.vault));
  }
}

// Links planted in profiles. Wine follows a Unix symbolic link inside its
// prefix: asked by name it reports a link to a folder as a reparse point
// (a link to a file not at all), it ignores FILE_FLAG_OPEN_REPARSE_POINT
// and opens the target, and GetFinalPathNameByHandleW gives the target's
// path. Its CreateSymbolicLinkW does nothing, so the links are made on the
// Unix side: Wine starts a program that is not a Windows program as a Unix
// one. DeleteFileW through such a link deletes the target, so the links go
// again the same way before the scratch folders are removed.
class PlantedLinks : public UserCleanup {
 protected:
  void TearDown() override {
    for (const std::wstring& link : links_) {
      EXPECT_TRUE(RunUnix(L"/bin/rm -f " + Quoted(link), [&] { return !Exists(link); })) << link;
    }
    UserCleanup::TearDown();
  }

  static std::wstring UnixPath(const std::wstring& path) {
    using ToUnix = char*(CDECL*)(const wchar_t*);
    const auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!toUnix) return L"";
    char* unix = toUnix(path.c_str());
    if (!unix) return L"";
    const std::wstring wide = FromUtf8(unix);
    HeapFree(GetProcessHeap(), 0, unix);
    return wide;
  }

  // Starts a Unix program and waits until `done` holds (at most 10 s).
  // Wine starts it without a process to wait for: the process handle comes
  // back null and the thread handle is not filled in (closing that value
  // would close one of ours), so neither is touched.
  template <typename Done>
  static bool RunUnix(const std::wstring& commandLine, Done done) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) return false;
    if (info.hProcess) {  // a Windows program after all
      CloseHandle(info.hProcess);
      CloseHandle(info.hThread);
      return false;
    }
    for (int i = 0; i < 500 && !done(); ++i) Sleep(20);
    return done();
  }
  static bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
  static std::wstring Quoted(const std::wstring& path) { return L"\"" + UnixPath(path) + L"\""; }

  // Makes `link` a Unix symbolic link to `target` (both Windows paths).
  void PlantLink(const std::wstring& link, const std::wstring& target) {
    ASSERT_FALSE(UnixPath(link).empty());
    ASSERT_FALSE(UnixPath(target).empty());
    links_.push_back(link);
    ASSERT_TRUE(RunUnix(L"/bin/ln -s " + Quoted(target) + L" " + Quoted(link), [&] { return Exists(link); }));
  }

  // A folder outside every profile holding `files` (name, bytes).
  std::wstring Outside(const std::wstring& name, const std::vector<std::pair<std::wstring, std::string>>& files) {
    const std::wstring folder = outside_.Child(name);
    for (const auto& file : files) {
      const std::wstring path = folder + L"\\" + file.first;
      EXPECT_TRUE(rvqtest::MakeTree(path.substr(0, path.find_last_of(L'\\'))));
      EXPECT_TRUE(rvqtest::WriteFileBytes(path, file.second));
    }
    return folder;
  }

  rvqtest::ScratchDir outside_{L"rvqoutside"};
  std::vector<std::wstring> links_;
};

TEST_F(PlantedLinks, ProfilesWithALinkAreSkippedAndWhatItPointsToStays) {
  // The product folder, the maker folder, the vault file and the folder
  // above the maker folder, each a link to a place outside the profile that
  // holds files by the names the cleanup uses.
  const std::string vaultBytes = "another user's vault";
  const std::wstring productTarget = Outside(L"product", {{L"rvqpv.dat", vaultBytes}});
  const std::wstring makerTarget = Outside(L"maker", {{L"RVQ\\rvqpv.dat", vaultBytes}});
  const std::wstring fileTarget = Outside(L"file", {{L"secret.dat", "not the user's"}});
  const std::wstring localTarget = Outside(L"local", {{L"Bryxen\\RVQ\\rvqpv.dat", vaultBytes}});

  const User ann = MakeUser(L"ann", false, false);
  ASSERT_TRUE(CreateDirectoryW(ann.maker.c_str(), nullptr));
  PlantLink(ann.product, productTarget);
  const User bob = MakeUser(L"bob", false, false);
  ASSERT_TRUE(RemoveDirectoryW((bob.profile + L"\\AppData\\Local").c_str()));
  ASSERT_TRUE(rvqtest::MakeTree(bob.profile + L"\\AppData"));
  PlantLink(bob.profile + L"\\AppData\\Local", localTarget);
  const User cy = MakeUser(L"cy", true, false);
  PlantLink(cy.vault, fileTarget + L"\\secret.dat");
  const User dee = MakeUser(L"dee", false, false);
  ASSERT_TRUE(rvqtest::MakeTree(dee.profile + L"\\AppData\\Local"));
  PlantLink(dee.maker, makerTarget);
  const User eve = MakeUser(L"eve", true, true);  // an ordinary profile beside them
  for (const User* user : {&ann, &bob, &cy, &dee, &eve}) AddProfile(user->profile);

  std::vector<std::wstring> expected = {
      Line(4, 626, L"Link or path outside the profile, profile skipped: [" + ann.product + L"]"),
      Line(4, 626, L"Link or path outside the profile, profile skipped: [" + bob.maker + L"]"),
      Line(4, 626, L"Link or path outside the profile, profile skipped: [" + cy.vault + L"]"),
      Line(4, 626, L"Link or path outside the profile, profile skipped: [" + dee.maker + L"]"),
  };
  for (const std::wstring& line : CleanedLines(eve)) expected.push_back(line);
  EXPECT_EQ(Clean(), expected);

  EXPECT_EQ(ReadFileBytes(productTarget + L"\\rvqpv.dat"), vaultBytes);
  EXPECT_EQ(ReadFileBytes(makerTarget + L"\\RVQ\\rvqpv.dat"), vaultBytes);
  EXPECT_EQ(ReadFileBytes(localTarget + L"\\Bryxen\\RVQ\\rvqpv.dat"), vaultBytes);
  EXPECT_EQ(ReadFileBytes(fileTarget + L"\\secret.dat"), "not the user's");
  EXPECT_TRUE(DirectoryExists(makerTarget + L"\\RVQ"));
  EXPECT_TRUE(DirectoryExists(localTarget + L"\\Bryxen\\RVQ"));
  // Nothing of a skipped profile is touched, its own folders included.
  EXPECT_TRUE(DirectoryExists(cy.product));
  EXPECT_FALSE(DirectoryExists(eve.maker));
}

// While the cleanup holds its handles, the folders cannot be renamed from
// Windows (no FILE_SHARE_DELETE). A Unix-side rename passes by that, and
// stands in for a swap the sharing rule would stop: the product folder is
// moved aside and replaced by a link after the checks, and the deletion,
// which goes through the handles, does not follow the link.
const wchar_t* g_swapAside = nullptr;
const wchar_t* g_swapTarget = nullptr;
bool g_windowsRenameRefused = false;
bool g_swapped = false;

TEST_F(PlantedLinks, AFolderSwappedForALinkAfterTheChecksIsNotFollowed) {
  const std::string vaultBytes = "another user's vault";
  const std::wstring target = Outside(L"target", {{L"rvqpv.dat", vaultBytes}});
  const std::wstring aside = root_.Child(L"aside");
  const User ann = MakeUser(L"ann", true, true);
  AddProfile(ann.profile);
  g_swapAside = aside.c_str();
  g_swapTarget = target.c_str();
  g_windowsRenameRefused = g_swapped = false;
  links_.push_back(ann.product);
  checkrvq::SetCheckedProfileHook([](const checkrvq::ProfilePaths& paths) {
    g_windowsRenameRefused = !MoveFileExW(paths.productFolder, g_swapAside, 0) &&
                             GetLastError() == ERROR_SHARING_VIOLATION;
    const std::wstring product = paths.productFolder;
    const auto moved = [] { return Exists(g_swapAside); };
    const auto linked = [&] { return Exists(product); };
    g_swapped = RunUnix(L"/bin/mv " + Quoted(product) + L" " + Quoted(g_swapAside), moved) &&
                RunUnix(L"/bin/ln -s " + Quoted(g_swapTarget) + L" " + Quoted(product), linked);
  });
  Clean();
  checkrvq::SetCheckedProfileHook(nullptr);

  EXPECT_TRUE(g_windowsRenameRefused);
  ASSERT_TRUE(g_swapped);
  EXPECT_EQ(GetFileAttributesW(ann.product.c_str()),
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
  EXPECT_EQ(ReadFileBytes(target + L"\\rvqpv.dat"), vaultBytes);
  EXPECT_TRUE(DirectoryExists(target));
}

TEST_F(UserCleanup, ReadOnlyVaultWithFurtherLinksKeepsItsAttribute) {
  // The attribute belongs to the file: cleared through one name, it would
  // be cleared for every other name of the file too.
  const User user = MakeUser(L"hal", true, true);
  const std::wstring other = root_.Child(L"kept.dat");
  ASSERT_TRUE(CreateHardLinkW(other.c_str(), user.vault.c_str(), nullptr));
  ASSERT_TRUE(SetFileAttributesW(user.vault.c_str(), FILE_ATTRIBUTE_READONLY));
  AddProfile(user.profile);
  EXPECT_EQ(Clean(), (std::vector<std::wstring>{
                         Line(4, 645,
                              L"User password vault file has other links, left read-only: [" + user.vault + L"]"),
                         Line(4, 643, L"Unable to remove user password vault file: [" + user.vault + L"]"),
                         Line(4, 651, L"Unable to remove RVQ local user app data folder: [" + user.product + L"]"),
                         Line(1, 661, L"Unable to remove Bryxen local user app data folder: [" + user.maker + L"]"),
                     }));
  EXPECT_EQ(GetFileAttributesW(other.c_str()) & FILE_ATTRIBUTE_READONLY, static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(ReadFileBytes(user.vault), "vault");
  SetFileAttributesW(other.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// A logger that runs out of memory at every line about one profile.
class FailingForText : public rvqtest::RecordingTextLogger {
 public:
  FailingForText(rvqtest::RecordingState& state, const std::wstring& text)
      : rvqtest::RecordingTextLogger(state), text_(text) {}
  DWORD WriteEntry(const wchar_t* sourceFile, const wchar_t* function, int line, DWORD severity,
                   const wchar_t* message) override {
    if (message && std::wstring(message).find(text_) != std::wstring::npos) throw std::bad_alloc();
    return rvqtest::RecordingTextLogger::WriteEntry(sourceFile, function, line, severity, message);
  }

 private:
  std::wstring text_;
};

class FailingForTextBuilder : public ETWLogging::CLogBuilderIf {
 public:
  FailingForTextBuilder(rvqtest::RecordingState& state, const std::wstring& text) : state_(state), text_(text) {}
  bool Build(const wchar_t*, HMODULE, const wchar_t*, DWORD, ETWLogging::CLoggingIf** logger,
             Trevalk::CRegKey*) override {
    *logger = new FailingForText(state_, text_);
    return true;
  }

 private:
  rvqtest::RecordingState& state_;
  std::wstring text_;
};

TEST_F(UserCleanup, AFailureInOneProfileLeavesTheOthersToTheirCleanup) {
  const User ann = MakeUser(L"ann", true, true);
  const User bob = MakeUser(L"bob", true, true);
  AddProfile(ann.profile);
  AddProfile(bob.profile);
  rvqtest::RecordingState state;
  state.threshold = 1;
  FailingForTextBuilder builder(state, ann.profile);
  ETWLogging::testing::ResetLogging();
  ASSERT_TRUE(ETWLogging::testing::InstallLogBuilder(&builder));
  EXPECT_EQ(DllUninstallFunction(), 0u);
  ETWLogging::testing::ResetLogging();

  // The lines about the test's profiles (the machine's own are listed too):
  // ann's lines failed, and ann's cleanup went on regardless.
  std::vector<std::wstring> lines;
  for (const rvqtest::LogEntry& entry : state.Entries()) {
    if (entry.message.find(root_.path()) != std::wstring::npos ||
        entry.message.find(kTestSidPrefix) != std::wstring::npos) {
      lines.push_back(rvqtest::Describe(entry));
    }
  }
  EXPECT_EQ(lines, CleanedLines(bob));
  EXPECT_FALSE(DirectoryExists(ann.maker));
  EXPECT_FALSE(DirectoryExists(bob.maker));
}

// A logger whose building fails: the first line (which builds it) is lost,
// the cleanup is not.
class FailingBuilder : public ETWLogging::CLogBuilderIf {
 public:
  int builds = 0;
  bool Build(const wchar_t*, HMODULE, const wchar_t*, DWORD, ETWLogging::CLoggingIf**, Trevalk::CRegKey*) override {
    ++builds;
    throw std::bad_alloc();
  }
};

TEST_F(UserCleanup, ALoggerThatCannotBeBuiltCostsNoProfileItsCleanup) {
  const User ann = MakeUser(L"ann", true, true);
  AddProfile(ann.profile);
  FailingBuilder builder;
  ETWLogging::testing::ResetLogging();
  ASSERT_TRUE(ETWLogging::testing::InstallLogBuilder(&builder));
  EXPECT_EQ(DllUninstallFunction(), 0u);
  ETWLogging::testing::ResetLogging();
  EXPECT_GE(builder.builds, 1);
  EXPECT_FALSE(DirectoryExists(ann.maker));
}

}  // namespace
