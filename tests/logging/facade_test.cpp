// The logging facade with recording loggers of both kinds: creation, the
// two write paths, the per-severity operations and the identity handed to
// the builder.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include "facade_internal.h"
#include "format.h"
#include "logging.h"
#include "recording_logger.h"

using namespace ETWLogging;
using rvqtest::RecordingBuilder;
using rvqtest::ScopedRecordingLog;

namespace {

HMODULE ThisExe() { return GetModuleHandleW(nullptr); }

TEST(LoggingFacade, WithoutLoggerNothingIsEnabledAndWritesFail) {
  ScopedRecordingLog log(RecordingBuilder::Kind::kNone);
  LogContext* context = GetLogger();
  ASSERT_NE(context, nullptr);  // the context exists, without a logger
  EXPECT_EQ(context->logger, nullptr);
  for (DWORD severity = 0; severity <= 7; ++severity) EXPECT_EQ(IsLogEnabled(severity), 0) << severity;
  EXPECT_EQ(LogWrite(context, kSeverityError, L"f.cpp", L"Fn", 1, L"text"), 1627u);
  EXPECT_EQ(context->ForwardEntry(L"f.cpp", L"Fn", 1, kSeverityError, L"text"), 1627u);
  EXPECT_EQ(LogWrite(nullptr, kSeverityError, L"f.cpp", L"Fn", 1, L"text"), 1627u);
  EXPECT_EQ(log.builder().buildCalls.load(), 1);
}

TEST(LoggingFacade, ContextIsCreatedOnceAndReturnedAgain) {
  ScopedRecordingLog log;
  LogContext* first = GetLogger();
  EXPECT_EQ(GetLogger(), first);
  IsLogEnabled(3);
  EXPECT_EQ(log.builder().buildCalls.load(), 1);
}

TEST(LoggingFacade, TwoThreadsBuildExactlyOneContext) {
  ScopedRecordingLog log;
  LogContext* seen[2] = {};
  std::thread a([&] { seen[0] = GetLogger(); });
  std::thread b([&] { seen[1] = GetLogger(); });
  a.join();
  b.join();
  EXPECT_NE(seen[0], nullptr);
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(log.builder().buildCalls.load(), 1);
}

TEST(LoggingFacade, DefaultIdentityAndTheLibraryIdentity) {
  {
    ScopedRecordingLog log;
    GetLogger();
    EXPECT_EQ(log.builder().lastGroup, L"_no_group");
    EXPECT_EQ(log.builder().lastHost, L"_no_host");
    EXPECT_EQ(log.builder().lastModule, ThisExe());
    EXPECT_EQ(log.builder().lastMechanism, 0u);
  }
  {
    ScopedRecordingLog log;
    SetLogIdentity(nullptr, L"DetectRVQdll", nullptr, nullptr, 0);
    GetLogger();
    EXPECT_EQ(log.builder().lastGroup, L"DetectRVQdll");
    EXPECT_EQ(log.builder().lastHost, L"(none)");  // no file-name suffix
    EXPECT_EQ(log.builder().lastModule, ThisExe());  // the module holding the facade
  }
  {
    ScopedRecordingLog log;
    SetLogIdentity(nullptr, L"G", reinterpret_cast<HMODULE>(0x1000), L"H", 1);
    GetLogger();
    EXPECT_EQ(log.builder().lastModule, reinterpret_cast<HMODULE>(0x1000));
    EXPECT_EQ(log.builder().lastMechanism, 1u);
    // Set after creation: no effect on the existing context.
    SetLogIdentity(nullptr, L"Other", nullptr, nullptr, 0);
    GetLogger();
    EXPECT_EQ(log.builder().buildCalls.load(), 1);
  }
}

TEST(LoggingFacade, TextPathFormatsWideStringsAndCallsWriteEntry) {
  ScopedRecordingLog log(RecordingBuilder::Kind::kText);
  LogContext* context = GetLogger();
  EXPECT_EQ(IsLogEnabled(1), 0);
  EXPECT_EQ(IsLogEnabled(2), 0);
  EXPECT_NE(IsLogEnabled(3), 0);
  EXPECT_EQ(LogWrite(context, kSeverityError, L"detection.cpp", L"PreInstall", 42, L"%s moved %d\r\n",
                     L"bxdndb.dat", 7),
            0u);
  // The text path itself does not test the severity.
  EXPECT_EQ(LogWrite(context, kSeverityNormal, L"detection.cpp", L"PreInstall", 43, L"quiet"), 0u);
  const auto entries = log.Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].message, L"bxdndb.dat moved 7\r\n");
  EXPECT_EQ(entries[0].severity, kSeverityError);
  EXPECT_EQ(entries[0].sourceFile, L"detection.cpp");
  EXPECT_EQ(entries[0].function, L"PreInstall");
  EXPECT_EQ(entries[0].line, 42);
  EXPECT_EQ(entries[1].severity, kSeverityNormal);
  EXPECT_EQ(log.state.prepareCalls.load(), 2);  // once per write
}

TEST(LoggingFacade, TextPathCutsLongMessages) {
  ScopedRecordingLog log(RecordingBuilder::Kind::kText);
  const std::wstring longText(5000, L'x');
  LogWrite(GetLogger(), kSeverityError, L"f", L"F", 1, L"%s", longText.c_str());
  const auto entries = log.Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].message, longText.substr(0, kMaxTextPathMessage));
}

TEST(LoggingFacade, PrepareFailureStopsTheWrite) {
  for (auto kind : {RecordingBuilder::Kind::kText, RecordingBuilder::Kind::kEx}) {
    ScopedRecordingLog log(kind);
    log.state.prepareResult = 5;
    EXPECT_EQ(LogWrite(GetLogger(), kSeverityError, L"f", L"F", 1, L"x"), 5u);
    EXPECT_EQ(GetLogger()->ForwardEntry(L"f", L"F", 1, kSeverityError, L"x"), 5u);
    EXPECT_TRUE(log.Entries().empty());
  }
}

TEST(LoggingFacade, ExtendedPathCallsLogVExOnlyWhenEnabled) {
  ScopedRecordingLog log(RecordingBuilder::Kind::kEx);
  LogContext* context = GetLogger();
  auto* logger = dynamic_cast<rvqtest::RecordingExLogger*>(context->logger);
  ASSERT_NE(logger, nullptr);
  EXPECT_EQ(LogWrite(context, kSeverityNormal, L"f", L"F", 1, L"dropped %d", 1), 0u);
  EXPECT_EQ(logger->logVExCalls.load(), 0);
  EXPECT_EQ(LogWrite(context, kSeverityError, L"f", L"F", 2, L"kept %s", L"wide"), 0u);
  EXPECT_EQ(logger->logVExCalls.load(), 1);
  const auto entries = log.Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].message, L"kept wide");
  EXPECT_EQ(log.state.prepareCalls.load(), 2);  // once per write on this path
}

// A logger that throws at one of its operations: 1 IsEnabled, 2 Prepare,
// 3 the write.
template <typename Base>
class ThrowingLogger : public Base {
 public:
  using Base::Base;
  int throwAt = 0;
  int IsEnabled(DWORD severity) override {
    if (throwAt == 1) throw std::bad_alloc();
    return Base::IsEnabled(severity);
  }
  DWORD Prepare() override {
    if (throwAt == 2) throw std::runtime_error("prepare");
    return Base::Prepare();
  }
  DWORD WriteEntry(const wchar_t* sourceFile, const wchar_t* function, int line, DWORD severity,
                   const wchar_t* message) override {
    if (throwAt == 3) throw std::bad_alloc();
    return Base::WriteEntry(sourceFile, function, line, severity, message);
  }
};

// Throws at its first Build, then hands out one throwing logger.
class ThrowingBuilder : public CLogBuilderIf {
 public:
  ThrowingBuilder(rvqtest::RecordingState& state, bool extended) : state_(state), extended_(extended) {}
  int builds = 0;
  int* throwAt = nullptr;
  bool Build(const wchar_t*, HMODULE, const wchar_t*, DWORD, CLoggingIf** logger, Trevalk::CRegKey*) override {
    if (++builds == 1) throw std::bad_alloc();
    if (extended_) {
      auto* made = new ThrowingLogger<rvqtest::RecordingExLogger>(state_);
      throwAt = &made->throwAt;
      *logger = made;
    } else {
      auto* made = new ThrowingLogger<rvqtest::RecordingTextLogger>(state_);
      throwAt = &made->throwAt;
      *logger = made;
    }
    return true;
  }

 private:
  rvqtest::RecordingState& state_;
  bool extended_;
};

TEST(LoggingFacade, WhatTheLoggerOrItsBuilderThrowsEndsInTheFacade) {
  for (bool extended : {false, true}) {
    SCOPED_TRACE(extended ? "extended logger" : "text logger");
    rvqtest::RecordingState state;
    state.threshold = 1;
    ThrowingBuilder builder(state, extended);
    ETWLogging::testing::ResetLogging();
    ASSERT_TRUE(ETWLogging::testing::InstallLogBuilder(&builder));
    // The build throws: no logger for this line, and the next one builds.
    LogIfEnabled(kSeverityError, L"f", L"F", 1, L"lost %d", 1);
    EXPECT_EQ(builder.builds, 1);
    LogContext* context = GetLogger();
    ASSERT_NE(context, nullptr);
    ASSERT_NE(context->logger, nullptr);
    EXPECT_EQ(builder.builds, 2);

    *builder.throwAt = 1;
    EXPECT_EQ(IsLogEnabled(kSeverityError), 0);
    *builder.throwAt = 2;
    EXPECT_EQ(LogWrite(context, kSeverityError, L"f", L"F", 2, L"x"), static_cast<DWORD>(ERROR_FUNCTION_FAILED));
    EXPECT_EQ(context->ForwardEntry(L"f", L"F", 3, kSeverityError, L"x"), static_cast<DWORD>(ERROR_FUNCTION_FAILED));
    *builder.throwAt = 3;
    EXPECT_EQ(LogWrite(context, kSeverityError, L"f", L"F", 4, L"%d", 4), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    LogIfEnabled(kSeverityError, L"f", L"F", 5, L"%s", L"lost");
    *builder.throwAt = 0;
    // A format the formatter rejects writes nothing and is answered.
    if (!extended) {
      EXPECT_EQ(LogWrite(context, kSeverityError, L"f", L"F", 6, nullptr),
                static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(LogWrite(context, kSeverityError, L"f", L"F", 7, L"kept"), 0u);
    const auto entries = state.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].line, 7);
    ETWLogging::testing::ResetLogging();
  }
}

TEST(LoggingFacade, ForwardEntryUsesWriteEntryExOrWriteEntryWithoutFilter) {
  for (auto kind : {RecordingBuilder::Kind::kText, RecordingBuilder::Kind::kEx}) {
    ScopedRecordingLog log(kind);
    const std::wstring longText(9000, L'y');
    EXPECT_EQ(GetLogger()->ForwardEntry(L"lib.cpp", L"Lib", 9, kSeverityNormal, longText.c_str()), 0u);
    const auto entries = log.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].severity, kSeverityNormal);  // no severity test
    EXPECT_EQ(entries[0].message.size(), longText.size());  // no length cut
  }
}

TEST(LoggingFacade, LoggerIsDeletedWhenTheContextGoes) {
  static int destroyed = 0;
  struct Logger : rvqtest::RecordingTextLogger {
    explicit Logger(rvqtest::RecordingState& state) : rvqtest::RecordingTextLogger(state) {}
    ~Logger() override { ++destroyed; }
  };
  struct Builder : CLogBuilderIf {
    rvqtest::RecordingState state;
    bool Build(const wchar_t*, HMODULE, const wchar_t*, DWORD, CLoggingIf** logger, Trevalk::CRegKey*) override {
      *logger = new Logger(state);
      return true;
    }
  } builder;
  destroyed = 0;
  ETWLogging::testing::ResetLogging();
  ASSERT_TRUE(ETWLogging::testing::InstallLogBuilder(&builder));
  ASSERT_NE(GetLogger(), nullptr);
  EXPECT_FALSE(ETWLogging::testing::InstallLogBuilder(&builder));  // too late once created
  ETWLogging::testing::ResetLogging();
  EXPECT_EQ(destroyed, 1);
}

// Unload destroys the facade's state; a log call that comes later (from a
// static destructor that runs afterwards, say) must find no context and build
// nothing: nobody would delete that logger, and an ETW one would register a
// callback into a module that is going away.
TEST(LoggingFacade, AfterTeardownNothingIsBuilt) {
  ScopedRecordingLog log(RecordingBuilder::Kind::kText);
  ASSERT_NE(GetLogger(), nullptr);
  ETWLogging::testing::TearDownLogging();
  EXPECT_EQ(GetLogger(), nullptr);
  EXPECT_EQ(IsLogEnabled(kSeverityCritical), 0);
  EXPECT_EQ(internal::CurrentLogContext(), nullptr);
  EXPECT_EQ(LogWrite(GetLogger(), kSeverityError, L"f", L"F", 1, L"late"), 1627u);
  EXPECT_EQ(log.builder().buildCalls.load(), 1);
  EXPECT_TRUE(log.Entries().empty());
}

// The per-severity operations share one implementation with a fixed
// severity and a 4160-character buffer.
using RecordingPerSeverity = rvqtest::RecordingTextLogger;

TEST(PerSeverityOperations, FixedSeverityAndCutAt4159) {
  rvqtest::RecordingState state;
  state.threshold = 6;  // the operations ignore the threshold
  RecordingPerSeverity logger(state);
  logger.SetEnabled(false);  // and the Enable flag
  const std::wstring text(5000, L'z');
  logger.LogNormal(L"f", L"F", 1, L"%s", text.c_str());
  logger.LogError(L"f", L"F", 2, L"%d", 4);
  logger.LogWarning(L"f", L"F", 3, L"w");
  logger.LogCritical(L"f", L"F", 4, L"c");
  logger.LogInformation(L"f", L"F", 5, L"%s", L"i");
  const auto entries = state.Entries();
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries[0].severity, 1u);
  EXPECT_EQ(entries[0].message.size(), 4159u);
  EXPECT_EQ(entries[0].message, text.substr(0, 4159));
  EXPECT_EQ(entries[1].severity, 4u);
  EXPECT_EQ(entries[1].message, L"4");
  EXPECT_EQ(entries[2].severity, 2u);
  EXPECT_EQ(entries[3].severity, 5u);
  EXPECT_EQ(entries[4].severity, 3u);
  EXPECT_EQ(entries[4].message, L"i");
}

TEST(PerSeverityOperations, OutputOfExactly4159CharactersIsKeptWhole) {
  rvqtest::RecordingState state;
  RecordingPerSeverity logger(state);
  const std::wstring text(4159, L'q');
  logger.LogNormal(L"f", L"F", 1, L"%s", text.c_str());
  ASSERT_EQ(state.Entries().size(), 1u);
  EXPECT_EQ(state.Entries()[0].message, text);
}

// A format the formatter fails on (not a full buffer) leaves the buffer
// without a message: nothing may be written from it. Wine's formatter gives
// up on a precision of INT_MAX after writing "ab"; a null format fails
// before writing anything.
TEST(PerSeverityOperations, AFormatThatFailsWritesNothing) {
  rvqtest::RecordingState state;
  RecordingPerSeverity logger(state);
  using Operation = DWORD (CLoggingIf::*)(const wchar_t*, const wchar_t*, int, const wchar_t*, ...);
  const Operation operations[] = {&CLoggingIf::LogNormal, &CLoggingIf::LogError, &CLoggingIf::LogWarning,
                                  &CLoggingIf::LogCritical, &CLoggingIf::LogInformation};
  for (Operation operation : operations) {
    EXPECT_EQ((logger.*operation)(L"f", L"F", 1, L"ab%.*d", 0x7FFFFFFF, 1), 87u);
    EXPECT_EQ((logger.*operation)(L"f", L"F", 2, nullptr), 87u);
  }
  EXPECT_TRUE(state.Entries().empty());
}

TEST(Severity, NamesAndTheProcessWideSeverity) {
  EXPECT_EQ(SeverityName(0), nullptr);
  EXPECT_STREQ(SeverityName(1), L"Normal");
  EXPECT_STREQ(SeverityName(2), L"Warning");
  EXPECT_STREQ(SeverityName(3), L"Information");
  EXPECT_STREQ(SeverityName(4), L"Error");
  EXPECT_STREQ(SeverityName(5), L"Critical");
  EXPECT_STREQ(SeverityName(6), L"Information");
  EXPECT_EQ(SeverityName(7), nullptr);
  const DWORD original = internal::ProcessSeverity();
  EXPECT_EQ(internal::ExchangeProcessSeverity(5), original);
  EXPECT_EQ(internal::ExchangeProcessSeverity(original), 5u);
}

// "%s" in a wide format takes a UTF-16 string: the Microsoft convention,
// which the build relies on (see the top-level CMakeLists.txt).
TEST(Formatting, PercentSTakesAWideString) {
  wchar_t buffer[32];
  auto format = [&](const wchar_t* f, ...) {
    va_list args;
    va_start(args, f);
    const size_t n = FormatTruncating(buffer, 32, f, args);
    va_end(args);
    return n;
  };
  EXPECT_EQ(format(L"%s|%d|%i", L"Grüße", -3, 12), 11u);
  EXPECT_STREQ(buffer, L"Grüße|-3|12");
  EXPECT_EQ(format(L"%s", L"0123456789012345678901234567890123456789"), 31u);
  EXPECT_STREQ(buffer, L"0123456789012345678901234567890");
}

TEST(Formatting, FormatToStringMeasuresThenCuts) {
  auto format = [](size_t maxChars, const wchar_t* f, ...) {
    std::wstring out;
    va_list args;
    va_start(args, f);
    FormatToString(out, maxChars, f, args);
    va_end(args);
    return out;
  };
  EXPECT_EQ(format(100, L"%s-%d", L"ab", 12), L"ab-12");
  EXPECT_EQ(format(3, L"%s-%d", L"ab", 12), L"ab-");
  EXPECT_EQ(format(100, L""), L"");
}

}  // namespace
