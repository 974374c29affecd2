// Per-user cleanup over profile paths at the edges of its 261-character
// buffers and of MAX_PATH: vault paths of 255 to 265 characters, a product folder that would
// be cut, ProfileImagePath values of 1,000 and 32,767 characters, and a
// non-ASCII user name. A path that fits is cleaned; one that does not is left
// alone, and the files and empty folders that a cut path would name survive.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "profile_list.h"
#include "step_test_util.h"
#include "user_cleanup.h"

namespace {

const wchar_t* const kSidPrefix = L"S-1-5-21-4242-9-";
const wchar_t* const kVaultTail = L"\\AppData\\Local\\Bryxen\\RVQ\\rvqpv.dat";  // 35 characters

using rvqtest::LongPath;
using rvqtest::SetRegistryText;

class ProfileEdges : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(profiles_.ready()); }
  void TearDown() override { RemoveLongTree(LongPath(root_.path())); }

  void AddProfile(const std::wstring& imagePath, DWORD type = REG_SZ) {
    ASSERT_FALSE(profiles_.Add(imagePath, type).empty());
  }

  // A profile folder below the root whose vault path has `vaultChars`
  // characters.
  std::wstring ProfileFor(size_t vaultChars, const std::wstring& tag) {
    const std::wstring base = root_.Child(tag);
    const size_t tail = wcslen(kVaultTail);
    EXPECT_GT(vaultChars, base.size() + 1 + tail);
    return base + L"\\" + std::wstring(vaultChars - tail - base.size() - 1, L'p');
  }

  // Deletes a tree whose paths may pass MAX_PATH (the scratch folder's own
  // removal works in MAX_PATH buffers).
  static void RemoveLongTree(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          RemoveLongTree(path + L"\\" + name);
        } else {
          DeleteFileW((path + L"\\" + name).c_str());
        }
      } while (FindNextFileW(find, &found));
      FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
  }

  rvqtest::TestProfileList profiles_{kSidPrefix};
  rvqtest::ScratchDir root_{L"rvqedges"};
};

TEST_F(ProfileEdges, VaultPathsAroundTheBufferAreCleanedWholeOrLeftAlone) {
  // The longest path the system's own calls take without "\\?\": MAX_PATH
  // with its terminator. A 260-character vault path is refused as too long
  // (the buffers hold it, PathAppendW and DeleteFileW would not).
  constexpr size_t kFits = MAX_PATH - 1;
  static_assert(checkrvq::kProfilePathChars > kFits, "the buffers hold every path that is used");
  struct Case {
    size_t vaultChars;
    std::wstring profile, product, vault, cutVault;
  };
  std::vector<Case> cases;
  for (size_t chars = 255; chars <= 265; ++chars) {
    Case c;
    c.vaultChars = chars;
    c.profile = ProfileFor(chars, std::to_wstring(chars));
    c.product = c.profile + L"\\AppData\\Local\\Bryxen\\RVQ";
    c.vault = c.product + L"\\rvqpv.dat";
    ASSERT_EQ(c.vault.size(), chars);
    ASSERT_TRUE(rvqtest::MakeTree(LongPath(c.product)));
    ASSERT_TRUE(rvqtest::WriteFileBytes(LongPath(c.vault), "vault"));
    // The file a vault path cut to the buffer would name.
    if (chars > kFits) {
      c.cutVault = c.vault.substr(0, kFits);
      ASSERT_TRUE(rvqtest::WriteFileBytes(LongPath(c.cutVault), "another file"));
    }
    AddProfile(c.profile);
    cases.push_back(c);
  }
  checkrvq::CleanupUserPasswordVaultFiles();
  for (const Case& c : cases) {
    if (c.vaultChars <= kFits) {
      EXPECT_FALSE(rvqtest::FileExists(LongPath(c.vault))) << c.vaultChars;
    } else {
      EXPECT_TRUE(rvqtest::FileExists(LongPath(c.vault))) << c.vaultChars;
      EXPECT_TRUE(rvqtest::FileExists(LongPath(c.cutVault))) << c.vaultChars;
      EXPECT_TRUE(rvqtest::DirectoryExists(LongPath(c.product))) << c.vaultChars;
    }
  }
}

TEST_F(ProfileEdges, FoldersACutPathWouldNameSurvive) {
  // Product folder of 265 characters: cut to 260 it names an empty sibling
  // that RemoveDirectoryW would take; the maker folder (261) likewise.
  const std::wstring profile = ProfileFor(275, L"cut");
  const std::wstring maker = profile + L"\\AppData\\Local\\Bryxen";
  const std::wstring product = maker + L"\\RVQ";
  ASSERT_EQ(product.size(), 265u);
  ASSERT_TRUE(rvqtest::MakeTree(LongPath(product)));
  ASSERT_TRUE(rvqtest::WriteFileBytes(LongPath(product + L"\\rvqpv.dat"), "vault"));
  const std::wstring cutProduct = product.substr(0, 260);
  const std::wstring cutMaker = maker.substr(0, 260);
  ASSERT_TRUE(rvqtest::MakeTree(LongPath(cutProduct)));
  ASSERT_TRUE(rvqtest::MakeTree(LongPath(cutMaker)));
  AddProfile(profile);
  checkrvq::CleanupUserPasswordVaultFiles();
  EXPECT_TRUE(rvqtest::FileExists(LongPath(product + L"\\rvqpv.dat")));
  EXPECT_TRUE(rvqtest::DirectoryExists(LongPath(cutProduct)));
  EXPECT_TRUE(rvqtest::DirectoryExists(LongPath(cutMaker)));
}

TEST_F(ProfileEdges, HostileProfileListEntriesTouchNothingElse) {
  // A user with a non-ASCII name, whose product files go; beside it values
  // of 1,000 and 32,767 characters naming the same user with a tail, a
  // REG_DWORD, a value without a terminator, a ".bak" twin, and a key
  // without the value. Files outside the product folder stay.
  const std::wstring user = root_.Child(L"J\u00f6rg \u540d\u524d");
  const std::wstring product = user + L"\\AppData\\Local\\Bryxen\\RVQ";
  ASSERT_TRUE(rvqtest::MakeTree(product));
  ASSERT_TRUE(rvqtest::WriteFileBytes(product + L"\\rvqpv.dat", "vault"));
  ASSERT_TRUE(rvqtest::WriteFileBytes(user + L"\\AppData\\Local\\Bryxen\\other.dat", "another product"));
  ASSERT_TRUE(rvqtest::WriteFileBytes(user + L"\\ntuser.dat", "profile"));
  AddProfile(user);
  AddProfile(user + std::wstring(1000 - user.size(), L'x'));
  AddProfile(user + std::wstring(32767 - user.size(), L'y'), REG_EXPAND_SZ);
  ASSERT_TRUE(SetRegistryText(HKEY_LOCAL_MACHINE, profiles_.NextKey(), L"Other", L"no image path"));
  const DWORD number = 5;
  ASSERT_TRUE(rvqtest::SetRegistryValue(HKEY_LOCAL_MACHINE, profiles_.NextKey(), L"ProfileImagePath", REG_DWORD,
                                        &number, sizeof number));
  // The user's folder without its terminator and with an odd byte count.
  const std::wstring lastKey = profiles_.NextKey();
  ASSERT_TRUE(rvqtest::SetRegistryValue(HKEY_LOCAL_MACHINE, lastKey, L"ProfileImagePath", REG_SZ, user.c_str(),
                                        static_cast<DWORD>(user.size() * sizeof(wchar_t) - 1)));
  // Its ".bak" twin carries the prefix too: it goes with the others.
  ASSERT_TRUE(SetRegistryText(HKEY_LOCAL_MACHINE, lastKey + L".bak", L"ProfileImagePath", user));

  checkrvq::CleanupUserPasswordVaultFiles();
  EXPECT_FALSE(rvqtest::FileExists(product + L"\\rvqpv.dat"));
  EXPECT_TRUE(rvqtest::FileExists(user + L"\\AppData\\Local\\Bryxen\\other.dat"));
  EXPECT_TRUE(rvqtest::FileExists(user + L"\\ntuser.dat"));
}

}  // namespace
