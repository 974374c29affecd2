// The default builder's choice between the text log files and the ETW
// backend, and its refusals; then the same choice through the facade.
#include <gtest/gtest.h>

#include <memory>

#include "allocation_counter.h"
#include "default_builder.h"
#include "etw_logging.h"
#include "logging.h"
#include "logging_registry_fixture.h"
#include "logging_testing.h"
#include "text_logging.h"

using ETWLogging::CDefaultLogBuilder;
using ETWLogging::CETWLogging;
using ETWLogging::CLogging;
using ETWLogging::CLoggingIf;

namespace {

const wchar_t* const kLoggingKey = L"SOFTWARE\\Bryxen\\Logging";
const wchar_t* const kMechanism = L"Logging Mechanism";

enum class Kind { kNone, kText, kEtw };

Kind Build(DWORD mechanism = 0, const wchar_t* group = L"RvqBuilderTest", const wchar_t* host = nullptr,
           Trevalk::CRegKey* configKey = nullptr) {
  CDefaultLogBuilder builder;
  CLoggingIf* logger = nullptr;
  if (!builder.BuildEx(nullptr, group, GetModuleHandleW(nullptr), host, mechanism, &logger, configKey)) {
    EXPECT_EQ(logger, nullptr);
    return Kind::kNone;
  }
  std::unique_ptr<CLoggingIf> owned(logger);
  if (dynamic_cast<CLogging*>(logger)) {
    EXPECT_EQ(logger->Release(), 0u) << "one reference taken";  // deletes it
    owned.release();
    return Kind::kText;
  }
  if (dynamic_cast<CETWLogging*>(logger)) return Kind::kEtw;
  return Kind::kNone;
}

using Builder = rvqtest::LoggingRegistryTest;

TEST_F(Builder, OnlyAnObfuscatedDwordOneSelectsTheTextLogger) {
  EXPECT_EQ(Build(), Kind::kEtw);  // no key
  PlainString(kLoggingKey, L"Other", L"x");
  EXPECT_EQ(Build(), Kind::kEtw);  // no value
  ObfuscatedDword(kLoggingKey, kMechanism, 1);
  EXPECT_EQ(Build(), Kind::kText);
  for (DWORD value : {0u, 2u}) {
    ObfuscatedDword(kLoggingKey, kMechanism, value);
    EXPECT_EQ(Build(), Kind::kEtw) << value;
  }
  PlainDword(kLoggingKey, kMechanism, 1);
  EXPECT_EQ(Build(), Kind::kEtw);
  PlainString(kLoggingKey, kMechanism, L"1");
  EXPECT_EQ(Build(), Kind::kEtw);
  ObfuscatedString(kLoggingKey, kMechanism, L"1");
  EXPECT_EQ(Build(), Kind::kEtw);
}

TEST_F(Builder, IdentityMechanismOneForcesTheTextLogger) {
  ObfuscatedDword(kLoggingKey, kMechanism, 0);
  EXPECT_EQ(Build(1), Kind::kText);
  EXPECT_EQ(Build(2), Kind::kEtw);
}

TEST_F(Builder, AGivenKeyIsReadAsAPlainDword) {
  PlainDword(kLoggingKey, kMechanism, 1);
  Trevalk::CRegKey key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, kLoggingKey, KEY_QUERY_VALUE), 0);
  EXPECT_EQ(Build(0, L"RvqBuilderTest", nullptr, &key), Kind::kText);
}

TEST_F(Builder, RefusalsBuildNothing) {
  ObfuscatedDword(kLoggingKey, kMechanism, 1);
  EXPECT_EQ(Build(0, L""), Kind::kNone);
  EXPECT_EQ(Build(0, L"G", L""), Kind::kNone);
  EXPECT_EQ(Build(1, L""), Kind::kNone);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kLoggingKey);
  EXPECT_EQ(Build(0, L""), Kind::kNone);

  CDefaultLogBuilder builder;
  CLogging occupant;
  CLoggingIf* slot = &occupant;
  EXPECT_FALSE(builder.Build(L"G", nullptr, nullptr, 1, &slot, nullptr));
  EXPECT_EQ(slot, &occupant);
  // The ETW logger fails to initialise for an unknown application: no
  // fallback to the text logger.
  CLoggingIf* none = nullptr;
  EXPECT_FALSE(builder.BuildEx(L"NoSuchApp", L"G", nullptr, nullptr, 0, &none, nullptr));
  EXPECT_EQ(none, nullptr);
}

TEST_F(Builder, TheFacadeUsesTheDefaultBuilder) {
  ETWLogging::testing::ResetLogging();
  ObfuscatedDword(kLoggingKey, kMechanism, 1);
  ETWLogging::SetLogIdentity(nullptr, L"RvqBuilderTest", nullptr, nullptr, 0);
  ETWLogging::LogContext* context = ETWLogging::GetLogger();
  ASSERT_NE(context, nullptr);
  auto* text = dynamic_cast<CLogging*>(context->logger);
  ASSERT_NE(text, nullptr);
  EXPECT_FALSE(text->HasSuffix());  // no host given: no file-name suffix
  EXPECT_EQ(text->LogName(), L"logging_builder_tests");
  EXPECT_EQ(ETWLogging::IsLogEnabled(1), 0);
  EXPECT_EQ(ETWLogging::IsLogEnabled(2), 0);
  EXPECT_NE(ETWLogging::IsLogEnabled(3), 0);
  ETWLogging::testing::ResetLogging();

  ObfuscatedDword(kLoggingKey, kMechanism, 0);
  context = ETWLogging::GetLogger();
  ASSERT_NE(context, nullptr);
  EXPECT_NE(dynamic_cast<CETWLogging*>(context->logger), nullptr);
  ETWLogging::testing::ResetLogging();
}

TEST_F(Builder, ABuildThatThrowsKeepsNothing) {
  // Operator new fails at the first, second, ... allocation of a text
  // logger's build: whatever throws out of it leaves no block behind.
  long failAt = 0;
  int threw = 0;
  for (; failAt < 400; ++failAt) {
    CDefaultLogBuilder builder;
    CLoggingIf* logger = nullptr;
    rvqtest::StartCountingAllocations(failAt);
    bool built = false;
    try {
      built = builder.BuildEx(nullptr, L"RvqBuilderTest", GetModuleHandleW(nullptr), nullptr, 1, &logger, nullptr);
    } catch (...) {
      ++threw;
      EXPECT_EQ(logger, nullptr);
    }
    const long made = rvqtest::StopCountingAllocations();
    if (built) delete logger;
    EXPECT_EQ(rvqtest::LiveCountedAllocations(), 0) << "allocation " << failAt << " failed";
    if (made <= failAt) break;
  }
  EXPECT_LT(failAt, 400);
  EXPECT_GT(threw, 0);  // the seam reached a throw inside the initialisation
}

}  // namespace
