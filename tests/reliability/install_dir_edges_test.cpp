// DllInstallFunction with "Install Dir" naming folders of 242 to 32,767
// characters below non-ASCII names. Its locale files are scheduled for
// deletion when their whole paths fit the step's 260-character buffers, and
// otherwise nothing is. Decoy folders sit where the install folder cut to
// 259 or 260 characters would point; their locale files are never scheduled.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "registration_test_util.h"
#include "step_test_util.h"
#include "test_support.h"

namespace {

using rvqtest::LongPath;

// `base` and folders of at most 100 characters below it, `chars` in all.
std::wstring FolderOfLength(const std::wstring& base, size_t chars) {
  std::wstring folder = base;
  while (folder.size() < chars) {
    const size_t left = chars - folder.size() - 1;  // after the backslash
    const size_t name = left <= 100 ? left : (left - 100 >= 2 ? 100 : 50);
    folder += L'\\' + std::wstring(name, L'\u00e4');
  }
  return folder;
}

bool PlaceLocaleFiles(const std::wstring& folder, const wchar_t* name) {
  return rvqtest::MakeTree(LongPath(folder + L"\\Locale\\")) &&
         rvqtest::WriteFileBytes(LongPath(folder + L"\\" + name), "locale") &&
         rvqtest::WriteFileBytes(LongPath(folder + L"\\Locale\\" + name), "locale");
}

using InstallDirEdges = rvqtest::RegistrationTest;

TEST_F(InstallDirEdges, LocaleFilesOfTheWholeFolderOrNone) {
  rvqtest::ScratchDir scratch(L"rvqinstdir");
  const std::wstring base = scratch.Child(L"\u00dcbersicht \u540d\u524d");
  const std::wstring host = L"\"" + rvqtest::BinPath(L"install-host.exe") + L"\" DllInstallFunction";

  for (size_t chars : {242u, 243u, 249u, 250u, 259u, 260u, 261u, 1000u, 32767u}) {
    const std::wstring folder = FolderOfLength(base, chars);
    ASSERT_EQ(folder.size(), chars);
    // Under Wine a folder whose Unix path passes 4,096 bytes cannot be made;
    // the value alone still has to be refused.
    if (chars <= 1000) {
      ASSERT_TRUE(PlaceLocaleFiles(folder, L"loc_a.dat")) << chars;
      ASSERT_TRUE(rvqtest::WriteFileBytes(LongPath(folder + L"\\keep.dat"), "keep"));
    }
    for (size_t cut : {259u, 260u}) {
      if (cut < chars && folder[cut] != L'\\' && folder[cut - 1] != L'\\') {
        ASSERT_TRUE(PlaceLocaleFiles(folder.substr(0, cut), L"loc_cut.dat")) << cut;
      }
    }
    ASSERT_TRUE(rvqtest::WriteString(rvqtest::kProductKey, L"Install Dir", folder));

    const auto run = rvqtest::RunProcess(host);
    ASSERT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_NE(run.output.find("\"result\":0x00000000"), std::string::npos) << run.output;

    // "<folder>\loc_*.dat" fits 260 characters up to a folder of 249, and
    // "<folder>\Locale\loc_*.dat" up to 242.
    const bool inFolder = rvqtest::IsPending(folder + L"\\loc_a.dat");
    const bool inLocale = rvqtest::IsPending(folder + L"\\Locale\\loc_a.dat");
    EXPECT_EQ(inFolder, chars <= 249) << chars;
    EXPECT_EQ(inLocale, chars <= 242) << chars;
    for (const std::wstring& entry : rvqtest::PendingOperations()) {
      EXPECT_EQ(entry.find(L"loc_cut"), std::wstring::npos) << chars << ": " << rvqtest::ToUtf8(entry);
      EXPECT_EQ(entry.find(L"keep.dat"), std::wstring::npos) << chars;
    }
    std::printf("install folder %zu characters: folder's file %s, Locale's file %s\n", chars,
                inFolder ? "scheduled" : "not scheduled", inLocale ? "scheduled" : "not scheduled");
  }
}

}  // namespace
