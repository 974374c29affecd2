// The support library's message channel: registration rules with their
// messages (texts and line numbers), the default handler's lines, and the
// bridge that the logging context registers.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "internal_logging/internal_logging.h"
#include "internal_logging/trevalk_log_handler.h"
#include "logging.h"
#include "recording_logger.h"

using Trevalk::CLogger;
using Trevalk::ILoggingHandler;

namespace {

struct Message {
  int type;
  std::wstring sourceFile;
  std::wstring function;
  int line;
  std::wstring text;
};

class CapturingHandler : public ILoggingHandler {
 public:
  int Log(int type, const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* message) override {
    messages.push_back({type, sourceFile, function, line, message});
    return 0;
  }
  std::vector<Message> messages;
};

std::wstring Hex(const void* p) {
  wchar_t buffer[16];
  _snwprintf(buffer, 16, L"0x%08X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(p) & 0xFFFFFFFFu));
  return buffer;
}

// Leaves the channel with nothing registered, whatever a test left behind.
void ClearChannel() {
  if (ILoggingHandler* h = CLogger::RegisteredHandler()) CLogger::UnregisterHandler(h);
  ASSERT_EQ(CLogger::RegisteredHandler(), nullptr);
}

class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearChannel(); }
  void TearDown() override { ClearChannel(); }
  const std::wstring kSource = L"Logging\\internal_logging.cpp";
};

TEST_F(ChannelTest, BridgeReplacesTheDefaultHandlerSilently) {
  CLogger::Report(1, L"a.cpp", L"F", 1, L"first");  // installs the default handler
  EXPECT_EQ(CLogger::RegisteredHandler(), &Trevalk::DefaultLoggingHandler());
  CapturingHandler handler;
  EXPECT_EQ(CLogger::RegisterHandler(&handler), 0u);
  EXPECT_EQ(CLogger::RegisteredHandler(), &handler);
  EXPECT_TRUE(handler.messages.empty());
  EXPECT_EQ(CLogger::RegisterHandler(&handler), 0u);  // again: no change
}

TEST_F(ChannelTest, SecondHandlerIsRefusedAndTheFirstHearsOfIt) {
  CapturingHandler first, second;
  ASSERT_EQ(CLogger::RegisterHandler(&first), 0u);
  EXPECT_EQ(CLogger::RegisterHandler(&second), 5023u);
  EXPECT_EQ(CLogger::RegisteredHandler(), &first);
  ASSERT_EQ(first.messages.size(), 1u);
  EXPECT_TRUE(second.messages.empty());
  const Message& m = first.messages[0];
  EXPECT_EQ(m.type, 2);
  EXPECT_EQ(m.sourceFile, kSource);
  EXPECT_EQ(m.function, L"Trevalk::CLogger::RegisterHandler");
  EXPECT_EQ(m.line, 72);
  EXPECT_EQ(m.text, Trevalk::SystemErrorText(5023) + L": Registered Logging Handler " + Hex(&first) +
                        L" cannot be replaced with " + Hex(&second));
}

TEST_F(ChannelTest, NullHandlersAreRefused) {
  CapturingHandler listener;
  ASSERT_EQ(CLogger::RegisterHandler(&listener), 0u);
  EXPECT_EQ(CLogger::RegisterHandler(nullptr), 87u);
  EXPECT_EQ(CLogger::UnregisterHandler(nullptr), 87u);
  ASSERT_EQ(listener.messages.size(), 2u);
  EXPECT_EQ(listener.messages[0].line, 62);
  EXPECT_EQ(listener.messages[0].text, Trevalk::SystemErrorText(87) + L": Cannot Register (NULL) handler");
  EXPECT_EQ(listener.messages[1].line, 97);
  EXPECT_EQ(listener.messages[1].function, L"Trevalk::CLogger::UnregisterHandler");
  EXPECT_EQ(listener.messages[1].text, Trevalk::SystemErrorText(87) + L": Cannot Unregister (NULL) handler");
  EXPECT_EQ(CLogger::RegisteredHandler(), &listener);
}

TEST_F(ChannelTest, UnregisterWithNothingRegisteredTellsTheLeavingHandler) {
  CapturingHandler handler;
  EXPECT_EQ(CLogger::UnregisterHandler(&handler), 5023u);
  EXPECT_EQ(CLogger::RegisteredHandler(), nullptr);
  ASSERT_EQ(handler.messages.size(), 1u);
  EXPECT_EQ(handler.messages[0].line, 107);
  EXPECT_EQ(handler.messages[0].text, Trevalk::SystemErrorText(5023) + L": Request to Unregister Logging handler " +
                                          Hex(&handler) + L", but none are registered");
}

TEST_F(ChannelTest, UnregisterOfAnotherHandlerSendsTwoMessagesAndKeepsTheRegisteredOne) {
  CapturingHandler registered, requested;
  ASSERT_EQ(CLogger::RegisterHandler(&registered), 0u);
  EXPECT_EQ(CLogger::UnregisterHandler(&requested), 5023u);
  EXPECT_EQ(CLogger::RegisteredHandler(), &registered);
  const std::wstring prefix = Trevalk::SystemErrorText(5023) +
                              L": Failed to Unregister Logging handler (requested handler " + Hex(&requested) +
                              L" != registered handler ";
  ASSERT_EQ(registered.messages.size(), 1u);
  EXPECT_EQ(registered.messages[0].line, 115);
  EXPECT_EQ(registered.messages[0].text, prefix + Hex(&registered) + L")");
  ASSERT_EQ(requested.messages.size(), 1u);
  EXPECT_EQ(requested.messages[0].line, 120);
  EXPECT_EQ(requested.messages[0].text, prefix + Hex(&requested) + L")");
  EXPECT_EQ(CLogger::UnregisterHandler(&registered), 0u);
  EXPECT_EQ(CLogger::RegisteredHandler(), nullptr);
}

TEST_F(ChannelTest, ReportFormatsWideArguments) {
  CapturingHandler handler;
  ASSERT_EQ(CLogger::RegisterHandler(&handler), 0u);
  const std::wstring big(3000, L'z');
  EXPECT_EQ(CLogger::Report(7, L"lib.cpp", L"Fn", 12, L"%s=%d [%s]", L"name", -4, big.c_str()), 0u);
  ASSERT_EQ(handler.messages.size(), 1u);
  EXPECT_EQ(handler.messages[0].type, 7);
  EXPECT_EQ(handler.messages[0].text, L"name=-4 [" + big + L"]");  // no length cut
}

TEST(DefaultHandler, LinesByType) {
  struct Case {
    int type;
    bool written;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {0, false, L""},
      {1, true, L"src.cpp(42): [INFO]: [Fn]: hello\n"},
      {2, true, L"src.cpp(42): [ERROR]: [Fn]: hello\n"},
      {3, true, L"src.cpp(42): [UNKNOWN]: [Fn]: hello\n"},
      {-1, true, L"src.cpp(42): [UNKNOWN]: [Fn]: hello\n"},
  };
  for (const Case& c : cases) {
    std::wstring line;
    EXPECT_EQ(Trevalk::FormatDefaultHandlerLine(line, c.type, L"src.cpp", L"Fn", 42, L"hello"), c.written) << c.type;
    EXPECT_EQ(line, c.expected) << c.type;
  }
}

TEST(SystemErrorTextTest, KnownAndUnknownCodes) {
  const std::wstring text = Trevalk::SystemErrorText(87);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), L'\n');  // the system text keeps its line break
  EXPECT_EQ(Trevalk::SystemErrorText(0x2FFFFFFF), L"");
  // A message with an insert ("... %1.") comes back with the insert as it
  // stands: no arguments are read for it.
  const std::wstring withInserts = Trevalk::SystemErrorText(ERROR_INVALID_ORDINAL);
  EXPECT_NE(withInserts.find(L"%1"), std::wstring::npos) << withInserts;
}

TEST(Bridge, SeverityOfEachType) {
  EXPECT_EQ(ETWLogging::SeverityOfLibraryMessage(0), 1u);
  EXPECT_EQ(ETWLogging::SeverityOfLibraryMessage(1), 1u);
  EXPECT_EQ(ETWLogging::SeverityOfLibraryMessage(2), 4u);
  EXPECT_EQ(ETWLogging::SeverityOfLibraryMessage(3), 2u);
}

TEST(Bridge, ContextRegistersItAndLibraryMessagesReachTheLogger) {
  ClearChannel();
  {
    rvqtest::ScopedRecordingLog log(rvqtest::RecordingBuilder::Kind::kText);
    ASSERT_NE(ETWLogging::GetLogger(), nullptr);
    ILoggingHandler* bridge = CLogger::RegisteredHandler();
    ASSERT_NE(bridge, nullptr);
    EXPECT_NE(bridge, &Trevalk::DefaultLoggingHandler());
    EXPECT_EQ(ETWLogging::GetLogger()->libraryHandler, bridge);

    for (int type : {0, 1, 2, 3}) CLogger::Report(type, L"lib.cpp", L"Lib::Fn", 10 + type, L"type %d", type);
    const auto entries = log.Entries();
    ASSERT_EQ(entries.size(), 4u);
    const DWORD expected[] = {1, 1, 4, 2};
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(entries[i].severity, expected[i]) << i;
      EXPECT_EQ(entries[i].line, 10 + i);
      EXPECT_EQ(entries[i].sourceFile, L"lib.cpp");
      EXPECT_EQ(entries[i].function, L"Lib::Fn");
      EXPECT_EQ(entries[i].message, L"type " + std::to_wstring(i));
    }
  }
  // Destroying the context withdrew the bridge from the channel.
  EXPECT_EQ(CLogger::RegisteredHandler(), nullptr);
}

TEST(Bridge, NoLoggerMeansNoRegistration) {
  ClearChannel();
  rvqtest::ScopedRecordingLog log(rvqtest::RecordingBuilder::Kind::kNone);
  ASSERT_NE(ETWLogging::GetLogger(), nullptr);
  EXPECT_EQ(CLogger::RegisteredHandler(), nullptr);
  EXPECT_EQ(ETWLogging::GetLogger()->libraryHandler, nullptr);
}

}  // namespace
