// install-host.exe drives the built checkRVQ.dll as an installer host would.
#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace {

using rvqtest::BinPath;
using rvqtest::RunProcess;
using rvqtest::SplitLines;

std::wstring HostCommand(const std::wstring& arguments) {
  return L"\"" + BinPath(L"install-host.exe") + L"\" " + arguments;
}

TEST(InstallHost, LoadsChecksOrdinalsAndUnloads) {
  const auto run = RunProcess(HostCommand(L"none"));
  ASSERT_TRUE(run.started) << run.startError;
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  const auto lines = SplitLines(run.output);
  ASSERT_EQ(lines.size(), 3u) << run.output;
  EXPECT_NE(lines[0].find("\"exports\":\"ok\""), std::string::npos) << lines[0];
  EXPECT_EQ(lines[1], "{\"entry\":\"none\"}");
  EXPECT_EQ(lines[2], "{\"event\":\"unload\"}");
}

TEST(InstallHost, EntriesInOrderWithTheirResults) {
  const auto run = RunProcess(HostCommand(L"OnFreeLibrary StartApplication OnFreeLibrary OnFreeLibrary"));
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  const auto lines = SplitLines(run.output);
  ASSERT_EQ(lines.size(), 6u) << run.output;
  EXPECT_EQ(lines[1].rfind("{\"entry\":\"OnFreeLibrary\",\"cwdBefore\":", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2].rfind("{\"entry\":\"StartApplication\",\"result\":0x00000000,", 0), 0u) << lines[2];
  EXPECT_EQ(lines[3].rfind("{\"entry\":\"OnFreeLibrary\"", 0), 0u);
  EXPECT_EQ(lines[4].rfind("{\"entry\":\"OnFreeLibrary\"", 0), 0u);
}

TEST(InstallHost, BadUsageAndMissingLibrary) {
  EXPECT_EQ(RunProcess(HostCommand(L"")).exitCode, 1u);
  EXPECT_EQ(RunProcess(HostCommand(L"--bogus StartApplication")).exitCode, 1u);
  const auto unknown = RunProcess(HostCommand(L"NoSuchEntry"));
  EXPECT_EQ(unknown.exitCode, 1u);
  EXPECT_NE(unknown.output.find("unknown entry"), std::string::npos);
  const auto missing = RunProcess(HostCommand(L"--dll C:\\no\\such\\checkRVQ.dll none"));
  EXPECT_EQ(missing.exitCode, 2u);
  EXPECT_NE(missing.output.find("\"error\":126"), std::string::npos) << missing.output;
}

TEST(InstallHost, LibraryWithoutTheEntryPointsIsRefused) {
  // Any system DLL lacks the entry points; named by its full path, since
  // the host never searches for the library.
  const auto run = RunProcess(HostCommand(L"--dll C:\\windows\\system32\\version.dll none"));
  EXPECT_EQ(run.exitCode, 2u);
  EXPECT_NE(run.output.find("\"missingExport\":\"StartApplication\""), std::string::npos) << run.output;
}

}  // namespace
