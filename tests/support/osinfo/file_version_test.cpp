// File version information from real version resources (fixture DLLs built
// with the tests) and the System folder under Wine.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "osinfo/file_version.h"
#include "scoped_current_directory.h"
#include "test_support.h"

namespace {

using Trevalk::FileVersionInfo;
using Trevalk::SystemFileVersionInfo;

// Answers a fixed folder, or a failure, and counts the questions.
class FixedFolderShell : public Trevalk::ShlObjAPI {
 public:
  explicit FixedFolderShell(std::wstring folder, HRESULT result = S_OK)
      : folder_(std::move(folder)), result_(result) {}
  std::atomic<int> calls{0};
  GUID lastFolder{};

  HRESULT GetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD, HANDLE, PWSTR* path) override {
    ++calls;
    lastFolder = folderId;
    *path = nullptr;
    if (!folder_.empty()) {
      const size_t bytes = (folder_.size() + 1) * sizeof(wchar_t);
      *path = static_cast<PWSTR>(CoTaskMemAlloc(bytes));
      memcpy(*path, folder_.c_str(), bytes);
    }
    return result_;
  }

 private:
  std::wstring folder_;
  HRESULT result_;
};

TEST(FileVersionInfo, LoadsOnceAndKeepsTheFirstData) {
  FileVersionInfo info;
  EXPECT_TRUE(info.Load(rvqtest::BinPath(L"decoy_kernel32.dll")));
  EXPECT_FALSE(info.Load(rvqtest::BinPath(L"version_two_languages.dll")));
  EXPECT_EQ(info.GetString(L"ProductVersion"), L"1.2.3.4");
}

TEST(FileVersionInfo, FileWithoutVersionResource) {
  rvqtest::ScratchDir scratch;
  const std::wstring plain = scratch.Child(L"plain.txt");
  ASSERT_TRUE(rvqtest::WriteFileBytes(plain, "no resources here"));
  for (const std::wstring& path : {plain, scratch.Child(L"missing.dll")}) {
    FileVersionInfo info;
    EXPECT_FALSE(info.Load(path));
    EXPECT_FALSE(info.IsLoaded());
    EXPECT_EQ(info.GetString(L"ProductVersion"), L"");
  }
  // A failed load does not count: the object can still load.
  FileVersionInfo info;
  EXPECT_FALSE(info.Load(plain));
  EXPECT_TRUE(info.Load(rvqtest::BinPath(L"decoy_kernel32.dll")));
}

TEST(FileVersionInfo, FirstTranslationHoldingTheKeyWins) {
  FileVersionInfo info;
  ASSERT_TRUE(info.Load(rvqtest::BinPath(L"version_two_languages.dll")));
  struct Case {
    const wchar_t* key;
    const wchar_t* expected;
  } cases[] = {
      {L"ProductVersion", L"1.0.0.0"},
      {L"FileDescription", L"English"},
      {L"Special", L"only in the second"},
      {L"NoSuchKey", L""},
      {L"", L""},
      {L"\\", L""},
  };
  for (const auto& c : cases) EXPECT_EQ(info.GetString(c.key), c.expected) << c.key;
}

TEST(FileVersionInfo, MissingProductVersion) {
  FileVersionInfo info;
  ASSERT_TRUE(info.Load(rvqtest::BinPath(L"version_no_product.dll")));
  EXPECT_EQ(info.GetString(L"FileVersion"), L"3.1.0.0");
  EXPECT_EQ(info.GetString(L"ProductVersion"), L"");
}

// One node of a version resource as the file holds it: length, value
// length, type, key, padding, value, then the children on 4-byte bounds.
using Bytes = std::vector<BYTE>;
Bytes VersionNode(const wchar_t* key, WORD valueLength, WORD type, const Bytes& value,
                  const std::vector<Bytes>& children = {}) {
  Bytes node(6, 0);
  const BYTE* keyBytes = reinterpret_cast<const BYTE*>(key);
  node.insert(node.end(), keyBytes, keyBytes + (wcslen(key) + 1) * sizeof(wchar_t));
  node.resize((node.size() + 3) & ~size_t{3}, 0);
  node.insert(node.end(), value.begin(), value.end());
  for (const Bytes& child : children) {
    node.resize((node.size() + 3) & ~size_t{3}, 0);
    node.insert(node.end(), child.begin(), child.end());
  }
  const WORD header[3] = {static_cast<WORD>(node.size()), valueLength, type};
  memcpy(node.data(), header, sizeof header);
  return node;
}

Bytes TextBytes(const std::wstring& text) {
  const BYTE* bytes = reinterpret_cast<const BYTE*>(text.data());
  return Bytes(bytes, bytes + text.size() * sizeof(wchar_t));
}

// A whole version resource: the fixed part, the string tables, and a
// translation table of `translationLength` bytes of which `translation`
// holds the bytes present; the table is the resource's last bytes.
Bytes VersionResource(const std::vector<Bytes>& tables, const std::vector<WORD>& translation,
                      WORD translationLength) {
  VS_FIXEDFILEINFO fixed = {};
  fixed.dwSignature = VS_FFI_SIGNATURE;
  fixed.dwStrucVersion = VS_FFI_STRUCVERSION;
  const BYTE* fixedBytes = reinterpret_cast<const BYTE*>(&fixed);
  const BYTE* pairs = reinterpret_cast<const BYTE*>(translation.data());
  return VersionNode(L"VS_VERSION_INFO", sizeof fixed, 0, Bytes(fixedBytes, fixedBytes + sizeof fixed),
                     {VersionNode(L"StringFileInfo", 0, 1, {}, tables),
                      VersionNode(L"VarFileInfo", 0, 1, {},
                                  {VersionNode(L"Translation", translationLength, 0,
                                               Bytes(pairs, pairs + translation.size() * sizeof(WORD)))})});
}

// A copy of a fixture DLL whose only resource is `resource` as its version
// resource.
std::wstring DllWithVersionResource(const rvqtest::ScratchDir& scratch, const Bytes& resource) {
  const std::wstring path = scratch.Child(L"crafted.dll");
  EXPECT_TRUE(CopyFileW(rvqtest::BinPath(L"version_no_product.dll").c_str(), path.c_str(), FALSE));
  HANDLE update = BeginUpdateResourceW(path.c_str(), TRUE);
  EXPECT_NE(update, nullptr);
  EXPECT_TRUE(UpdateResourceW(update, RT_VERSION, MAKEINTRESOURCEW(1), MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL),
                              const_cast<BYTE*>(resource.data()), static_cast<DWORD>(resource.size())));
  EXPECT_TRUE(EndUpdateResourceW(update, FALSE));
  return path;
}

// The value length bounds the text: an entry without a value, or one whose
// text has no terminator, ends where its value ends, not at the next zero
// further on (the next entry's header and key).
TEST(FileVersionInfo, TextEndsWithItsValue) {
  rvqtest::ScratchDir scratch;
  const Bytes strings = VersionNode(
      L"040904B0", 0, 1, {},
      {VersionNode(L"ProductVersion", 0, 1, {}), VersionNode(L"Comments", 4, 1, TextBytes(L"6.10")),
       VersionNode(L"FileVersion", 8, 1, TextBytes(std::wstring(L"9.8.7.6", 8)))});
  const std::wstring path = DllWithVersionResource(scratch, VersionResource({strings}, {0x0409, 0x04B0}, 4));
  FileVersionInfo info;
  ASSERT_TRUE(info.Load(path));
  EXPECT_EQ(info.GetString(L"FileVersion"), L"9.8.7.6");
  EXPECT_EQ(info.GetString(L"ProductVersion"), L"");
  EXPECT_EQ(info.GetString(L"Comments"), L"6.10");
}

// A translation table whose length claims more pairs than the resource
// holds: only whole pairs inside the resource are asked for. (Past the
// resource the system keeps scratch bytes; Wine starts them with "FE2X",
// which reads as the pair 4546 5832.)
TEST(FileVersionInfo, TranslationsEndWithTheResource) {
  rvqtest::ScratchDir scratch;
  const Bytes tables[] = {
      VersionNode(L"040904B0", 0, 1, {}, {VersionNode(L"Comments", 4, 1, TextBytes(std::wstring(L"1.2", 4)))}),
      VersionNode(L"45465832", 0, 1, {}, {VersionNode(L"FileVersion", 6, 1, TextBytes(std::wstring(L"past!", 6)))}),
  };
  for (WORD claimed : {6, 8, 0xFFFC}) {
    SCOPED_TRACE(claimed);
    FileVersionInfo info;
    ASSERT_TRUE(info.Load(
        DllWithVersionResource(scratch, VersionResource({tables[0], tables[1]}, {0x0409, 0x04B0}, claimed))));
    EXPECT_EQ(info.GetString(L"Comments"), L"1.2");
    EXPECT_EQ(info.GetString(L"FileVersion"), L"") << "a pair read past the resource";
  }
}

using rvqtest::ScopedCurrentDirectory;

// Puts a copy of a fixture DLL into the System folder for the life of the
// object. (Wine answers the version of its own kernel32.dll for any file of
// that name, so a decoy named kernel32.dll cannot tell the folders apart.)
class ScopedSystemFile {
 public:
  ScopedSystemFile(const wchar_t* fixture, const wchar_t* name) {
    wchar_t system[MAX_PATH] = {};
    EXPECT_NE(GetSystemDirectoryW(system, MAX_PATH), 0u);
    path_ = std::wstring(system) + L"\\" + name;
    EXPECT_TRUE(CopyFileW(rvqtest::BinPath(fixture).c_str(), path_.c_str(), FALSE)) << GetLastError();
  }
  ~ScopedSystemFile() { DeleteFileW(path_.c_str()); }

 private:
  std::wstring path_;
};

TEST(SystemFileVersionInfo, ReadsTheSystemFolderNotTheCurrentDirectory) {
  rvqtest::ScratchDir scratch;
  ASSERT_TRUE(CopyFileW(rvqtest::BinPath(L"decoy_kernel32.dll").c_str(), scratch.Child(L"kernel32.dll").c_str(), FALSE));
  ASSERT_TRUE(CopyFileW(rvqtest::BinPath(L"decoy_kernel32.dll").c_str(), scratch.Child(L"rvq_sysprobe.dll").c_str(), FALSE));
  ScopedSystemFile inSystem(L"version_two_languages.dll", L"rvq_sysprobe.dll");
  ScopedCurrentDirectory cd(scratch.path());

  SystemFileVersionInfo probe;
  ASSERT_TRUE(probe.Load(L"rvq_sysprobe.dll"));
  EXPECT_EQ(probe.GetString(L"ProductVersion"), L"1.0.0.0");

  SystemFileVersionInfo kernel;
  ASSERT_TRUE(kernel.Load(L"kernel32.dll"));
  const std::wstring version = kernel.GetString(L"ProductVersion");
  EXPECT_NE(version, L"1.2.3.4");
  EXPECT_EQ(version.rfind(L"10.0.", 0), 0u) << rvqtest::ToUtf8(version);
}

TEST(SystemFileVersionInfo, AsksTheGivenShellOnceForTheSystemFolder) {
  rvqtest::ScratchDir scratch;
  ASSERT_TRUE(CopyFileW(rvqtest::BinPath(L"decoy_kernel32.dll").c_str(), scratch.Child(L"decoy.dll").c_str(), FALSE));
  auto shell = std::make_shared<FixedFolderShell>(scratch.path());
  SystemFileVersionInfo info(shell);
  EXPECT_FALSE(info.Load(L"missing.dll"));
  EXPECT_TRUE(info.Load(L"decoy.dll"));
  EXPECT_EQ(info.GetString(L"ProductVersion"), L"1.2.3.4");
  EXPECT_EQ(shell->calls.load(), 1);
  EXPECT_TRUE(IsEqualGUID(shell->lastFolder, FOLDERID_System));
}

TEST(SystemFileVersionInfo, FailedLookupIsTriedAgain) {
  rvqtest::ScratchDir scratch;
  ASSERT_TRUE(CopyFileW(rvqtest::BinPath(L"decoy_kernel32.dll").c_str(), scratch.Child(L"decoy.dll").c_str(), FALSE));
  ScopedCurrentDirectory cd(scratch.path());
  // A failure that still hands out a path: the path is not used, and the
  // name is not looked for in the current directory either.
  auto shell = std::make_shared<FixedFolderShell>(scratch.path(), E_FAIL);
  SystemFileVersionInfo info(shell);
  EXPECT_FALSE(info.Load(L"decoy.dll"));  // "\decoy.dll": the drive's root
  EXPECT_FALSE(info.Load(L"decoy.dll"));
  EXPECT_EQ(shell->calls.load(), 2);
}

}  // namespace
