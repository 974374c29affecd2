// Loggers and a builder for tests: they keep every entry in memory so that
// tests can check severities, literals, line numbers and texts without any
// logging backend.
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "logging.h"
#include "logging_if.h"
#include "logging_testing.h"

namespace rvqtest {

struct LogEntry {
  DWORD severity = 0;
  std::wstring sourceFile;
  std::wstring function;
  int line = 0;
  std::wstring message;
};

// Shared by the two recorders: threshold test, entry list, counters.
class RecordingState {
 public:
  DWORD threshold = 3;  // severity >= threshold is enabled
  DWORD prepareResult = 0;
  std::atomic<int> prepareCalls{0};
  std::atomic<int> isEnabledCalls{0};

  void Add(LogEntry entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(std::move(entry));
  }
  std::vector<LogEntry> Entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<LogEntry> entries_;
};

// Implements every slot of CLoggingIf over a RecordingState. `Base` is
// CLoggingIf (a text-style logger) or CLoggingIf_ex (an ETW-style logger).
template <typename Base>
class RecordingLoggerT : public Base {
 public:
  explicit RecordingLoggerT(RecordingState& state) : state_(state) {}

  DWORD Initialize(const wchar_t*, HMODULE, const wchar_t*, ETWLogging::LoggingConfigListenerIf*) override {
    return 0;
  }
  DWORD Prepare() override {
    ++state_.prepareCalls;
    return state_.prepareResult;
  }
  void GetQualifiedName(std::wstring&) override {}
  void GetName(std::wstring&) override {}
  DWORD Uninitialize() override { return 0; }
  void SetEnabled(bool enabled) override { enabled_ = enabled; }
  bool GetEnabled() override { return enabled_; }
  void Log(DWORD, const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override {}
  DWORD WriteEntry(const wchar_t* sourceFile, const wchar_t* function, int line, DWORD severity,
                   const wchar_t* message) override {
    state_.Add({severity, sourceFile ? sourceFile : L"", function ? function : L"", line, message ? message : L""});
    return 0;
  }
  int IsEnabled(DWORD severity) override {
    ++state_.isEnabledCalls;
    return severity >= state_.threshold ? 1 : 0;
  }
  void SetMaxEntries(DWORD) override {}
  DWORD GetMaxEntries() override { return 0; }
  void SetMaxSize(DWORD) override {}
  DWORD GetMaxSize() override { return 0; }
  DWORD SetSeverity(DWORD severity) override { return ETWLogging::internal::ExchangeProcessSeverity(severity); }
  DWORD GetSeverity() override { return state_.threshold; }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  RecordingState& state_;

 private:
  bool enabled_ = true;
  std::atomic<ULONG> refs_{1};
};

using RecordingTextLogger = RecordingLoggerT<ETWLogging::CLoggingIf>;

class RecordingExLogger : public RecordingLoggerT<ETWLogging::CLoggingIf_ex> {
 public:
  using RecordingLoggerT::RecordingLoggerT;
  std::atomic<int> logVExCalls{0};

  DWORD InitializeEx(const wchar_t*, const wchar_t*, HMODULE, const wchar_t*,
                     ETWLogging::LoggingConfigListenerIf*) override {
    return 0;
  }
  DWORD WriteEntryEx(DWORD severity, const wchar_t* sourceFile, const wchar_t* function, int line,
                     const wchar_t* message) override {
    return WriteEntry(sourceFile, function, line, severity, message);
  }
  DWORD LogVEx(DWORD severity, const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format,
               va_list args) override {
    ++logVExCalls;
    wchar_t buffer[2080];
    _vsnwprintf(buffer, 2079, format, args);
    buffer[2079] = L'\0';
    return WriteEntry(sourceFile, function, line, severity, buffer);
  }
};

// A builder that hands out one recording logger per Build call, of the kind
// asked for, and counts the calls.
class RecordingBuilder : public ETWLogging::CLogBuilderIf {
 public:
  enum class Kind { kNone, kText, kEx };
  RecordingBuilder(RecordingState& state, Kind kind) : state_(state), kind_(kind) {}

  std::atomic<int> buildCalls{0};
  std::wstring lastGroup;
  std::wstring lastHost;
  HMODULE lastModule = nullptr;
  DWORD lastMechanism = 0;

  bool Build(const wchar_t* logGroup, HMODULE module, const wchar_t* logHost, DWORD mechanism,
             ETWLogging::CLoggingIf** logger, Trevalk::CRegKey*) override {
    ++buildCalls;
    lastGroup = logGroup ? logGroup : L"(none)";
    lastHost = logHost ? logHost : L"(none)";
    lastModule = module;
    lastMechanism = mechanism;
    if (kind_ == Kind::kNone) return false;
    // Widen the window in which a second thread could race the creation.
    Sleep(50);
    if (kind_ == Kind::kText) {
      *logger = new RecordingTextLogger(state_);
    } else {
      *logger = new RecordingExLogger(state_);
    }
    return true;
  }

 private:
  RecordingState& state_;
  Kind kind_;
};

// Installs a recording builder in the facade for the life of the object and
// resets the facade before and after.
class ScopedRecordingLog {
 public:
  explicit ScopedRecordingLog(RecordingBuilder::Kind kind = RecordingBuilder::Kind::kText)
      : builder_(state, kind) {
    ETWLogging::testing::ResetLogging();
    ETWLogging::testing::InstallLogBuilder(&builder_);
  }
  ~ScopedRecordingLog() { ETWLogging::testing::ResetLogging(); }

  RecordingState state;
  RecordingBuilder& builder() { return builder_; }
  std::vector<LogEntry> Entries() const { return state.Entries(); }

 private:
  RecordingBuilder builder_;
};

}  // namespace rvqtest
