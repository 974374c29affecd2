// Per-user cleanup over profile paths at the edges of its 261-character
// buffers and of MAX_PATH: vault paths of 255 to 265 characters, a product folder that would
// be cut, ProfileImagePath values of 1,000 and 32,767 characters, and a
// non-ASCII user name. A path that fits is cleaned; one that does not is left
// alone, and the files and empty folders that a cut path would name survive.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "step_test_util.h"
#include "user_cleanup.h"

namespace {

const wchar_t* const kShellFolders = L".DEFAULT\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
const wchar_t* const kProfileList = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
const wchar_t* const kSidPrefix = L"S-1-5-21-4242-9-";
const wchar_t* const kVaultTail = L"\\AppData\\Local\\Bryxen\\RVQ\\rvqpv.dat";  // 35 characters

using rvqtest::LongPath;

bool SetText(const std::wstring& key, const wchar_t* name, const std::wstring& text, DWORD type) {
  Trevalk::UniqueHKey opened;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, opened.put(), nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  return RegSetValueExW(opened.get(), name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

class ProfileEdges : public ::testing::Test {
 protected:
  void SetUp() override {
    Trevalk::UniqueHKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, kShellFolders, 0, KEY_READ | KEY_SET_VALUE, key.put()), ERROR_SUCCESS);
    savedBytes_ = sizeof savedValue_;
    savedFound_ = RegQueryValueExW(key.get(), L"Local AppData", nullptr, &savedType_,
                                   reinterpret_cast<BYTE*>(savedValue_), &savedBytes_) == ERROR_SUCCESS;
    const std::wstring usual = L"%USERPROFILE%\\AppData\\Local";
    ASSERT_EQ(RegSetValueExW(key.get(), L"Local AppData", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(usual.c_str()),
                             static_cast<DWORD>((usual.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    for (int k = 1; k <= sids_; ++k) {
      rvqtest::DeleteRegistryTree(HKEY_LOCAL_MACHINE, std::wstring(kProfileList) + L"\\" + kSidPrefix + std::to_wstring(k));
    }
    Trevalk::UniqueHKey key;
    RegOpenKeyExW(HKEY_USERS, kShellFolders, 0, KEY_SET_VALUE, key.put());
    if (savedFound_) {
      RegSetValueExW(key.get(), L"Local AppData", 0, savedType_, reinterpret_cast<const BYTE*>(savedValue_), savedBytes_);
    } else {
      RegDeleteValueW(key.get(), L"Local AppData");
    }
    RemoveLongTree(LongPath(root_.path()));
  }

  void AddProfile(const std::wstring& imagePath, DWORD type = REG_SZ) {
    ASSERT_TRUE(SetText(std::wstring(kProfileList) + L"\\" + kSidPrefix + std::to_wstring(++sids_), L"ProfileImagePath",
                        imagePath, type));
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

  rvqtest::ScratchDir root_{L"rvqedges"};
  int sids_ = 0;
  wchar_t savedValue_[1024] = {};
  DWORD savedBytes_ = 0;
  DWORD savedType_ = 0;
  bool savedFound_ = false;
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
  const std::wstring base = std::wstring(kProfileList) + L"\\" + kSidPrefix;
  ++sids_;
  ASSERT_TRUE(SetText(base + std::to_wstring(sids_), L"Other", L"no image path", REG_SZ));
  {
    Trevalk::UniqueHKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (base + std::to_wstring(++sids_)).c_str(), 0, nullptr, 0,
                              KEY_SET_VALUE, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    const DWORD number = 5;
    RegSetValueExW(key.get(), L"ProfileImagePath", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
  }
  {
    Trevalk::UniqueHKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (base + std::to_wstring(++sids_)).c_str(), 0, nullptr, 0,
                              KEY_SET_VALUE, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    // The user's folder without its terminator and with an odd byte count.
    RegSetValueExW(key.get(), L"ProfileImagePath", 0, REG_SZ, reinterpret_cast<const BYTE*>(user.c_str()),
                   static_cast<DWORD>(user.size() * sizeof(wchar_t) - 1));
  }
  ASSERT_TRUE(SetText(base + std::to_wstring(sids_) + L".bak", L"ProfileImagePath", user, REG_SZ));

  checkrvq::CleanupUserPasswordVaultFiles();
  rvqtest::DeleteRegistryTree(HKEY_LOCAL_MACHINE, base + std::to_wstring(sids_) + L".bak");
  EXPECT_FALSE(rvqtest::FileExists(product + L"\\rvqpv.dat"));
  EXPECT_TRUE(rvqtest::FileExists(user + L"\\AppData\\Local\\Bryxen\\other.dat"));
  EXPECT_TRUE(rvqtest::FileExists(user + L"\\ntuser.dat"));
}

}  // namespace
