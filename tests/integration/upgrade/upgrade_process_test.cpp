// RvqUpgd.exe as the updater runs it: "SourceDisk" set in the prefix's
// registry, the program started with its arguments, then the exit code and
// the restart flag checked.
//
// Not shown here: the run without elevation (exit code 5, access denied, on
// the first key creation). Wine does not enforce registry access checks, so
// every caller may write below HKEY_LOCAL_MACHINE. The in-process tests stage
// a failing flag write instead (tests/upgrade/upgrade_detector_test.cpp).
// Volatility across a restart is shown by volatility.sh.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/unique_handle.h"
#include "test_support.h"

namespace {

constexpr wchar_t kSourceDiskKey[] = L"Software\\BryxenOnline\\Tovrin Service";
constexpr wchar_t kDynaInfoKey[] = L"Software\\Bryxen\\RVQ\\DynaInfo";

bool KeyExists(const wchar_t* path) {
  Trevalk::UniqueHKey key;
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// Removes what the tests add to the machine, and the keys they created.
class UpgradeProcessTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    hadBryxenOnline_ = KeyExists(L"Software\\BryxenOnline");
    hadProductKey_ = KeyExists(L"Software\\Bryxen\\RVQ");
    hadBryxen_ = KeyExists(L"Software\\Bryxen");
  }
  static void TearDownTestSuite() {
    Trevalk::UniqueHKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSourceDiskKey, 0, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS) {
      RegDeleteValueW(key.get(), L"SourceDisk");
    }
    key.reset();
    if (!hadBryxenOnline_) RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\BryxenOnline");
    // Only keys without subkeys go: whatever else is there belongs to others.
    if (!hadProductKey_) RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Software\\Bryxen\\RVQ");
    if (!hadBryxen_) RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Software\\Bryxen");
  }

  void SetUp() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kDynaInfoKey); }
  void TearDown() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kDynaInfoKey); }

  static void SetSourceDisk(DWORD type, const std::wstring& text) {
    Trevalk::UniqueHKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSourceDiskKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), L"SourceDisk", 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
  }
  static void RemoveSourceDisk() {
    Trevalk::UniqueHKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSourceDiskKey, 0, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS) {
      RegDeleteValueW(key.get(), L"SourceDisk");
    }
  }

  static bool FlagIsSet() {
    DWORD value = 0, size = sizeof value, type = 0;
    return RegGetValueW(HKEY_LOCAL_MACHINE, kDynaInfoKey, L"UpdRestartReq", RRF_RT_ANY, &type, &value, &size) ==
               ERROR_SUCCESS &&
           type == REG_DWORD && size == 4 && value == 1;
  }

  static rvqtest::ProcessResult Run(const wchar_t* program, const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + rvqtest::BinPath(program) + L"\"";
    if (!arguments.empty()) commandLine += L" " + arguments;
    return rvqtest::RunProcess(commandLine, L"", 60000);
  }

  static bool hadBryxenOnline_, hadProductKey_, hadBryxen_;
};
bool UpgradeProcessTest::hadBryxenOnline_ = false;
bool UpgradeProcessTest::hadProductKey_ = false;
bool UpgradeProcessTest::hadBryxen_ = false;

struct ProcessCase {
  const char* name;
  const wchar_t* arguments;
  DWORD type;
  std::wstring sourceDisk;  // nullptr-like: see kNoValue
  bool flag;
};
const std::wstring kNoValue = L"<no SourceDisk value>";

// 259 characters fit the reader's buffer with the terminator; 260 do not.
std::wstring TextOfLength(size_t length) { return L"x,build=7," + std::wstring(length - 10, L'p'); }

const ProcessCase kCases[] = {
    {"no argument, stored 9", L"", REG_SZ, L"Tovrin,build=9", true},
    {"no argument, stored 10", L"", REG_SZ, L"Tovrin,build=10", false},
    {"no argument, stored 11", L"", REG_SZ, L"Tovrin,build=11", false},
    {"two arguments are ignored", L"500 x", REG_SZ, L"Tovrin,build=11", false},
    {"two arguments give 10", L"500 x", REG_SZ, L"Tovrin,build=9", true},
    {"INT_MAX falls back to 10", L"2147483647", REG_SZ, L"Tovrin,build=11", false},
    {"INT_MAX falls back to 10 (due)", L"2147483647", REG_SZ, L"Tovrin,build=9", true},
    {"overflow falls back to 10", L"99999999999", REG_SZ, L"Tovrin,build=11", false},
    {"overflow falls back to 10 (due)", L"99999999999", REG_SZ, L"Tovrin,build=9", true},
    {"new build 0", L"0", REG_SZ, L"Tovrin,build=1", false},
    {"new build -5", L"-5", REG_SZ, L"Tovrin,build=1", false},
    {"argument without digits", L"abc", REG_SZ, L"Tovrin,build=1", false},
    {"12 followed by letters", L"12abc", REG_SZ, L"Tovrin,build=11", true},
    {"quoted argument with a blank is one argument", L"\"12 x\"", REG_SZ, L"Tovrin,build=11", true},
    {"capitalised marker", L"8", REG_SZ, L"x,BUILD=7,y", true},
    {"nothing after the marker", L"8", REG_SZ, L"x,build=", false},
    {"blank before the digits", L"8", REG_SZ, L"x,build= 7", true},
    {"first of two markers decides (due)", L"5", REG_SZ, L"a,build=3,b,build=9", true},
    {"first of two markers decides (not due)", L"5", REG_SZ, L"a,build=9,b,build=3", false},
    {"stored 0", L"8", REG_SZ, L"x,build=0", false},
    {"stored negative", L"8", REG_SZ, L"x,build=-3", false},
    {"equal builds", L"7", REG_SZ, L"x,build=7", false},
    {"REG_EXPAND_SZ", L"8", REG_EXPAND_SZ, L"x,build=7", false},
    {"REG_MULTI_SZ", L"8", REG_MULTI_SZ, L"x,build=7", false},
    {"259 characters", L"8", REG_SZ, TextOfLength(259), true},
    {"260 characters", L"8", REG_SZ, TextOfLength(260), false},
    {"1000 characters", L"8", REG_SZ, TextOfLength(1000), false},
    {"no marker", L"8", REG_SZ, L"Tovrin build 7", false},
    {"empty text", L"8", REG_SZ, L"", false},
    {"no SourceDisk", L"8", REG_SZ, kNoValue, false},
    {"text outside ASCII", L"8", REG_SZ, L"\x00DCberpr\x00FC" L"fung \x20AC,Build=7", true},
};

TEST_F(UpgradeProcessTest, ExitCodeAndRestartFlag) {
  ASSERT_TRUE(rvqtest::FileExists(rvqtest::BinPath(L"RvqUpgd.exe")));
  for (const ProcessCase& c : kCases) {
    SCOPED_TRACE(c.name);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kDynaInfoKey);
    if (c.sourceDisk == kNoValue) {
      RemoveSourceDisk();
    } else {
      SetSourceDisk(c.type, c.sourceDisk);
    }
    const rvqtest::ProcessResult run = Run(L"RvqUpgd.exe", c.arguments);
    ASSERT_TRUE(run.started) << run.startError;
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(FlagIsSet(), c.flag);
    EXPECT_EQ(KeyExists(kDynaInfoKey), c.flag) << "the registry is touched only when the flag is due";
    EXPECT_EQ(run.output, "") << "the program writes nothing";
  }
}

TEST_F(UpgradeProcessTest, AdvapiAndVersionAreNotMappedBeforeTheSearchIsRestricted) {
  SetSourceDisk(REG_SZ, L"Tovrin,build=9");
  const rvqtest::ProcessResult run = Run(L"upgrade_load_probe.exe", L"");
  ASSERT_TRUE(run.started) << run.startError;
  EXPECT_EQ(run.exitCode, 0u);
  const auto lines = rvqtest::SplitLines(run.output);
  ASSERT_EQ(lines.size(), 3u) << run.output;
  EXPECT_EQ(lines[0], "before_init advapi32=0 version=0 advapi32_path=");
  EXPECT_EQ(lines[1], "init=1");
  // The registry calls bound advapi32 afterwards, from the System folder.
  EXPECT_EQ(lines[2].rfind("exit advapi32=1 ", 0), 0u) << lines[2];
  const std::string systemCopy = "\\system32\\advapi32.dll";
  std::string lower = lines[2];
  for (char& ch : lower) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
  EXPECT_EQ(lower.size() - lower.rfind(systemCopy), systemCopy.size()) << lines[2];
  EXPECT_TRUE(FlagIsSet());
}

TEST_F(UpgradeProcessTest, WithoutSetDefaultDllDirectoriesTheWorkIsStillDone) {
  SetSourceDisk(REG_SZ, L"Tovrin,build=9");
  SetEnvironmentVariableW(L"RVQ_PROBE_INIT", L"missing");
  const rvqtest::ProcessResult run = Run(L"upgrade_load_probe.exe", L"");
  SetEnvironmentVariableW(L"RVQ_PROBE_INIT", nullptr);
  ASSERT_TRUE(run.started) << run.startError;
  EXPECT_EQ(run.exitCode, 0u);
  const auto lines = rvqtest::SplitLines(run.output);
  ASSERT_GE(lines.size(), 2u) << run.output;
  EXPECT_EQ(lines[1], "init=0");
  EXPECT_TRUE(FlagIsSet());
}

// The built program itself: 64-bit GUI subsystem (no console), manifest
// "asInvoker" without uiAccess, a version resource.
TEST(RvqUpgdImage, GuiSubsystemManifestAndVersion) {
  const std::wstring path = rvqtest::BinPath(L"RvqUpgd.exe");
  Trevalk::UniqueModule image(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  ASSERT_TRUE(image);
  // A data-file mapping's handle is the image base with its low bit set.
  const auto* base = reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(image.get()) & ~ULONG_PTR{3});
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  ASSERT_EQ(dos->e_magic, IMAGE_DOS_SIGNATURE);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
  EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
  EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);

  HRSRC found = FindResourceW(image.get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
  ASSERT_NE(found, nullptr);
  const auto* bytes = static_cast<const char*>(LockResource(LoadResource(image.get(), found)));
  ASSERT_NE(bytes, nullptr);
  const std::string manifest(bytes, SizeofResource(image.get(), found));
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos) << manifest;
  EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos) << manifest;

  HRSRC version = FindResourceW(image.get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));  // RT_VERSION
  ASSERT_NE(version, nullptr);
  const auto* block = static_cast<const BYTE*>(LockResource(LoadResource(image.get(), version)));
  ASSERT_NE(block, nullptr);
  // VS_VERSIONINFO: length, value length, type, then L"VS_VERSION_INFO".
  EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(block + 6)), L"VS_VERSION_INFO");
}

}  // namespace
