// The installer steps of the built checkRVQ.dll, driven by install-host.exe
// as a host drives them, with the stand-ins in the folders each case needs.
// The library and the host are copied into scratch folders: the program
// search of the cleaner runs looks in the host's own folder first, and the
// detection looks for Uninst.dll beside the library.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "step_test_util.h"

namespace {

using rvqtest::CopyInto;
using rvqtest::FileExists;
using rvqtest::FixturePath;
using rvqtest::ToUtf8;

// The host's JSON line for `entry`, or "" when there is none.
std::string EntryLine(const rvqtest::ProcessResult& run, const std::string& entry) {
  for (const auto& line : rvqtest::SplitLines(run.output)) {
    if (line.rfind("{\"entry\":\"" + entry + "\"", 0) == 0) return line;
  }
  return "";
}

std::string JsonText(const std::wstring& text) {
  std::string out;
  for (char c : ToUtf8(text)) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return "\"" + out + "\"";
}

// Runs install-host from `hostFolder` with the current directory `cwd`.
rvqtest::ProcessResult RunHost(const std::wstring& hostFolder, const std::wstring& arguments, const std::wstring& cwd) {
  return rvqtest::RunProcess(L"\"" + hostFolder + L"\\install-host.exe\" " + arguments, cwd);
}

class Detection : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CopyInto(library_.path(), rvqtest::BinPath(L"checkRVQ.dll")));
    ASSERT_TRUE(CopyInto(library_.path(), rvqtest::BinPath(L"install-host.exe")));
  }
  void StandIn(const std::string& ini) {
    ASSERT_TRUE(CopyInto(library_.path(), FixturePath(L"Uninst.dll")));
    ASSERT_TRUE(rvqtest::WriteFileBytes(library_.Child(L"uninst.ini"), "[Detect]\r\n" + ini));
  }
  std::string Detect() {
    const auto run = RunHost(library_.path(), L"DetectIncompatible", cwd_.path());
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    const std::string line = EntryLine(run, "DetectIncompatible");
    const std::string cwd = JsonText(cwd_.path());
    EXPECT_NE(line.find("\"cwdBefore\":" + cwd + ",\"cwdAfter\":" + cwd), std::string::npos) << line;
    return line;
  }

  rvqtest::ScratchDir library_{L"rvq host lib \u00E9"};
  rvqtest::ScratchDir cwd_{L"rvqhostcwd"};
};

TEST_F(Detection, ProductsComeBackInOrderWithTheirMarks) {
  StandIn("Result=1\r\nCount=3\r\nName0=Bryxen Tovrin Service 7\r\nName1=Caf\xE9 Tool\r\n"
          "Name2=bryxen tovrin service\r\nChangeDirectory=C:\\windows\r\n");
  const std::string line = Detect();
  EXPECT_NE(line.find("\"result\":0x00000000,\"count\":3,\"list\":["
                      "{\"lacksMakerName\":0,\"productName\":\"Bryxen Tovrin Service 7\",\"matchesServiceName\":1},"
                      "{\"lacksMakerName\":1,\"productName\":\"Caf\xC3\xA9 Tool\",\"matchesServiceName\":0},"
                      "{\"lacksMakerName\":1,\"productName\":\"bryxen tovrin service\",\"matchesServiceName\":0}]"),
            std::string::npos)
      << line;
  const auto calls = rvqtest::SplitLines(rvqtest::ReadFileBytes(library_.Child(L"uninst-calls.txt")));
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0], "cmd=" + rvqtest::Narrow(L"/D " + library_.path() + L"\\uninst.ini /L"));
  EXPECT_EQ(calls[1], "cwd=" + ToUtf8(library_.path()));
}

TEST_F(Detection, NoUninstallerAndAnswersWithoutAListGiveCountZero) {
  EXPECT_NE(Detect().find("\"result\":0x00000000,\"count\":0,\"list\":null"), std::string::npos);
  for (const char* ini : {"Result=0\r\nCount=2\r\nName0=A\r\nName1=B\r\n", "Result=1\r\nCount=2\r\nNullArray=1\r\n"}) {
    StandIn(ini);
    EXPECT_NE(Detect().find("\"result\":0x00000000,\"count\":0,\"list\":null"), std::string::npos) << ini;
  }
}

class Removal : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CopyInto(host_.path(), rvqtest::BinPath(L"install-host.exe")));
    ASSERT_TRUE(CopyInto(library_.path(), rvqtest::BinPath(L"checkRVQ.dll")));
  }
  rvqtest::ProcessResult Uninstall() {
    return RunHost(host_.path(), L"--dll \"" + library_.Child(L"checkRVQ.dll") + L"\" UninstallIncompatible",
                   cwd_.path());
  }

  rvqtest::ScratchDir host_{L"rvqhost"};
  rvqtest::ScratchDir library_{L"rvq cleaner lib"};
  rvqtest::ScratchDir cwd_{L"rvqhostcwd"};
};

TEST_F(Removal, CleanerBesideTheLibraryRunsTwiceFromThere) {
  ASSERT_TRUE(CopyInto(library_.path(), FixturePath(L"bxclean.exe")));
  const auto run = Uninstall();
  const std::string line = EntryLine(run, "UninstallIncompatible");
  const std::string cwd = JsonText(cwd_.path());
  EXPECT_NE(line.find("\"result\":0x00000000,\"cwdBefore\":" + cwd + ",\"cwdAfter\":" + cwd), std::string::npos)
      << run.output;
  const auto runs = rvqtest::SplitLines(rvqtest::ReadFileBytes(library_.Child(L"bxclean-runs.txt")));
  ASSERT_EQ(runs.size(), 2u);
  const auto first = rvqtest::ParseFields(runs[0]);
  const auto second = rvqtest::ParseFields(runs[1]);
  EXPECT_EQ(first.at("cmd"), "bxclean.exe -p RVQ -d -s -silent -m");
  EXPECT_EQ(second.at("cmd"), "bxclean.exe -p purgix -d -s -silent -m");
  EXPECT_EQ(first.at("cwd"), ToUtf8(library_.path()));
  EXPECT_EQ(second.at("cwd"), ToUtf8(library_.path()));
  EXPECT_LE(std::stoull(first.at("end")), std::stoull(second.at("start")));
}

TEST_F(Removal, NoCleanerAnywhereIsUnexpected) {
  const auto run = Uninstall();
  EXPECT_NE(EntryLine(run, "UninstallIncompatible").find("\"result\":0x8000FFFF"), std::string::npos) << run.output;
}

// Moves a machine folder aside for the test and puts it back afterwards.
class SetAside {
 public:
  explicit SetAside(std::wstring path) : path_(std::move(path)), aside_(path_ + L".rvqtest-aside") {
    rvqtest::RemoveTree(aside_);
    moved_ = MoveFileW(path_.c_str(), aside_.c_str()) != FALSE;
  }
  ~SetAside() {
    rvqtest::RemoveTree(path_);
    if (moved_) MoveFileW(aside_.c_str(), path_.c_str());
  }

 private:
  std::wstring path_, aside_;
  bool moved_ = false;
};

class PrePostInstall : public ::testing::Test {
 protected:
  const std::wstring target_ = L"C:\\ProgramData\\Bryxen\\RVQ\\bxdndb.dat";
  SetAside maker_{L"C:\\ProgramData\\Bryxen"};
  SetAside oldMaker_{L"C:\\ProgramData\\BryxenOnline"};
  SetAside oldProgram_{L"C:\\Program Files\\BryxenOnline"};
  const std::string zeroResult_ = "\"stepResult\":\"" + std::string(80, '0') + "\"";
};

TEST_F(PrePostInstall, DataFileMovesEvenWhereTheMakerFolderIsMissing) {
  ASSERT_FALSE(rvqtest::DirectoryExists(L"C:\\ProgramData\\Bryxen"));
  ASSERT_TRUE(rvqtest::MakeTree(L"C:\\ProgramData\\BryxenOnline\\RVQ"));
  ASSERT_TRUE(rvqtest::WriteFileBytes(L"C:\\ProgramData\\BryxenOnline\\RVQ\\bxdndb.dat", "first"));
  const auto run = rvqtest::RunProcess(L"\"" + rvqtest::BinPath(L"install-host.exe") + L"\" PreInstall PostInstall");
  EXPECT_NE(EntryLine(run, "PreInstall").find("\"result\":0x00000000," + zeroResult_ + ",\"canBeInstalled\":1"),
            std::string::npos)
      << run.output;
  EXPECT_NE(EntryLine(run, "PostInstall").find("\"result\":0x00000000," + zeroResult_ + ",\"needsReboot\":0"),
            std::string::npos)
      << run.output;
  EXPECT_EQ(rvqtest::ReadFileBytes(target_), "first");
}

TEST_F(PrePostInstall, DataFileInTheProgramFolderMovesWhenTheFirstIsMissing) {
  ASSERT_TRUE(rvqtest::MakeTree(L"C:\\Program Files\\BryxenOnline\\RVQ"));
  ASSERT_TRUE(rvqtest::WriteFileBytes(L"C:\\Program Files\\BryxenOnline\\RVQ\\bxdndb.dat", "second"));
  const auto run = rvqtest::RunProcess(L"\"" + rvqtest::BinPath(L"install-host.exe") + L"\" PreInstall");
  EXPECT_NE(EntryLine(run, "PreInstall").find("\"result\":0x00000000"), std::string::npos) << run.output;
  EXPECT_EQ(rvqtest::ReadFileBytes(target_), "second");
  EXPECT_FALSE(FileExists(L"C:\\Program Files\\BryxenOnline\\RVQ\\bxdndb.dat"));
}

TEST(Uninstallation, VaultFilesOfAddedProfilesGo) {
  const std::wstring key =
      L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\S-1-5-21-4242-8-1";
  rvqtest::ScratchDir profile(L"rvqhostprofile");
  const std::wstring product = profile.Child(L"AppData\\Local\\Bryxen\\RVQ");
  ASSERT_TRUE(rvqtest::MakeTree(product));
  ASSERT_TRUE(rvqtest::WriteFileBytes(product + L"\\rvqpv.dat", "vault"));
  {
    Trevalk::UniqueHKey profileKey;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              profileKey.put(), nullptr),
              ERROR_SUCCESS);
    const std::wstring& path = profile.path();
    ASSERT_EQ(RegSetValueExW(profileKey.get(), L"ProfileImagePath", 0, REG_EXPAND_SZ,
                             reinterpret_cast<const BYTE*>(path.c_str()),
                             static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
  }
  const auto run = rvqtest::RunProcess(L"\"" + rvqtest::BinPath(L"install-host.exe") + L"\" DllUninstallFunction");
  rvqtest::DeleteRegistryTree(HKEY_LOCAL_MACHINE, key);
  EXPECT_NE(EntryLine(run, "DllUninstallFunction").find("\"result\":0x00000000"), std::string::npos) << run.output;
  EXPECT_FALSE(rvqtest::DirectoryExists(profile.Child(L"AppData\\Local\\Bryxen")));
  EXPECT_TRUE(rvqtest::DirectoryExists(profile.Child(L"AppData\\Local")));
}

}  // namespace
