// The stack protector's own guard and failure handler (cmake/stack_guard.c),
// in a built binary: a smashed canary ends the process with
// STATUS_STACK_BUFFER_OVERRUN before the function returns, and each process
// runs with its own guard value, never the one in the image.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "test_support.h"

namespace {

std::wstring Probe(const wchar_t* mode) {
  return L"\"" + rvqtest::BinPath(L"stack_smash_probe.exe") + L"\" " + mode;
}

TEST(StackGuard, SmashedCanaryEndsTheProcess) {
  const rvqtest::ProcessResult run = rvqtest::RunProcess(Probe(L"smash"));
  ASSERT_TRUE(run.started) << run.startError;
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitCode, static_cast<DWORD>(STATUS_STACK_BUFFER_OVERRUN));
  EXPECT_EQ(run.output.find("survived"), std::string::npos) << run.output;
}

TEST(StackGuard, EachProcessHasItsOwnGuard) {
  const rvqtest::ProcessResult first = rvqtest::RunProcess(Probe(L"guard"));
  const rvqtest::ProcessResult second = rvqtest::RunProcess(Probe(L"guard"));
  ASSERT_EQ(first.exitCode, 0u);
  ASSERT_EQ(second.exitCode, 0u);
  EXPECT_NE(first.output, second.output);
  // The value the image carries until the first constructor seeds it.
  EXPECT_EQ(first.output.find("2b992ddfa23249d6"), std::string::npos);
  EXPECT_EQ(second.output.find("2b992ddfa23249d6"), std::string::npos);
}

}  // namespace
