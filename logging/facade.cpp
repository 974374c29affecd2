#include <atomic>
#include <new>

#include "builder.h"
#include "common/system_text.h"
#include "facade_internal.h"
#include "format.h"
#include "internal_logging/trevalk_log_handler.h"
#include "logging.h"
#include "logging_testing.h"

namespace ETWLogging {
namespace {

struct Identity {
  const wchar_t* appKey = nullptr;
  const wchar_t* logGroup = L"_no_group";
  HMODULE module = nullptr;  // null: the module that contains this code
  const wchar_t* logHost = L"_no_host";
  DWORD mechanism = 0;
};

// Set when the facade's state is torn down at unload, never cleared (but by
// the test reset). An atomic with a constant initialiser and no destructor
// of its own: it stays readable after g_state is gone, for a log call that a
// later static destructor makes during the rest of the unload.
std::atomic<bool> g_tornDown{false};

// All process-wide state of the facade. Destroyed at unload in the reverse
// order of creation: the library handler first (it withdraws itself from the
// channel), then the context (it deletes the logger), the builder last.
// Holds an SRW lock exclusively for the life of the object.
class ExclusiveLock {
 public:
  explicit ExclusiveLock(SRWLOCK& lock) noexcept : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
  ~ExclusiveLock() { ReleaseSRWLockExclusive(&lock_); }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

 private:
  SRWLOCK& lock_;
};

class FacadeState {
 public:
  ~FacadeState() { TearDown(); }

  // From here on the facade answers "no context" and builds nothing: a logger
  // built now would never be deleted, and an ETW one would register a
  // callback into a module that is going away.
  void TearDown() {
    g_tornDown.store(true, std::memory_order_release);
    delete libraryHandler;
    libraryHandler = nullptr;
    DestroyContext();
    DropBuilder();
  }

  Identity identity;
  // A system lock: it needs no memory and cannot fail, where the C++
  // library's mutex (on some runtimes) allocates its state at the first
  // lock and throws when it cannot.
  SRWLOCK createLock = SRWLOCK_INIT;
  std::atomic<bool> created{false};
  std::atomic<LogContext*> context{nullptr};
  CLogBuilderIf* builder = nullptr;
  void (*destroyBuilder)(CLogBuilderIf*) = nullptr;
  CTrevalkLogHandler* libraryHandler = nullptr;  // created on first use

  void DestroyContext() {
    LogContext* ctx = context.exchange(nullptr);
    created.store(false);
    if (!ctx) return;
    if (Trevalk::ILoggingHandler* handler = ctx->libraryHandler) {
      ctx->libraryHandler = nullptr;
      Trevalk::CLogger::UnregisterHandler(handler);
    }
    ctx->loggerEx = nullptr;
    delete ctx->logger;  // deleting destructor, not Release
    ctx->logger = nullptr;
    delete ctx;
  }

  void DropBuilder() {
    if (builder && destroyBuilder) destroyBuilder(builder);
    builder = nullptr;
    destroyBuilder = nullptr;
  }
};

FacadeState g_state;

void CreateContext() {
  const Identity id = g_state.identity;

  // A creation that threw may have published its context already; reuse it.
  LogContext* ctx = g_state.context.load();
  if (!ctx) {
    ctx = new (std::nothrow) LogContext();
    if (!ctx) return;  // no context for the rest of the process
    g_state.context.store(ctx);
  }

  if (!g_state.builder) {
    internal::OwnedLogBuilder owned = internal::CreateDefaultLogBuilder();
    g_state.builder = owned.builder;
    g_state.destroyBuilder = owned.destroy;
  }
  CLogBuilderIf* builder = g_state.builder;
  if (!builder) return;

  // A builder that throws after it put a logger here keeps no claim on it:
  // the logger is deleted on the way out.
  CLoggingIf* logger = nullptr;
  struct PendingLogger {
    CLoggingIf*& logger;
    ~PendingLogger() { delete logger; }
  } pending{logger};
  bool built = false;
  if (auto* builderEx = dynamic_cast<CLogBuilderIf_ex*>(builder)) {
    built = builderEx->BuildEx(id.appKey, id.logGroup, id.module, id.logHost, id.mechanism, &logger, nullptr);
  }
  if (!built) {
    delete logger;
    logger = nullptr;
    built = builder->Build(id.logGroup, id.module, id.logHost, id.mechanism, &logger, nullptr);
  }
  if (!built) {
    delete logger;
    logger = nullptr;
    return;
  }

  CLoggingIf* previous = ctx->logger;
  ctx->logger = logger;
  ctx->loggerEx = dynamic_cast<CLoggingIf_ex*>(logger);
  if (previous && previous != logger) delete previous;
  logger = nullptr;  // the context's now

  // From now on the support library's messages reach this logger too.
  if (!g_state.libraryHandler) g_state.libraryHandler = new (std::nothrow) CTrevalkLogHandler();
  CTrevalkLogHandler* handler = g_state.libraryHandler;
  if (handler && Trevalk::CLogger::RegisterHandler(handler) == ERROR_SUCCESS) {
    Trevalk::ILoggingHandler* recorded = ctx->libraryHandler;
    ctx->libraryHandler = handler;
    if (recorded && recorded != handler) Trevalk::CLogger::UnregisterHandler(recorded);
  }
}

}  // namespace

LogContext* internal::CurrentLogContext() { return g_state.context.load(std::memory_order_acquire); }

void SetLogIdentity(const wchar_t* appKey, const wchar_t* logGroup, HMODULE module, const wchar_t* logHost,
                    DWORD mechanism) {
  Identity& id = g_state.identity;
  id.appKey = appKey;
  id.logGroup = logGroup;
  id.logHost = logHost;
  id.module = module ? module : Trevalk::ThisModule();
  id.mechanism = mechanism;
}

LogContext* GetLogger() noexcept {
  if (g_state.created.load(std::memory_order_acquire)) return g_state.context.load(std::memory_order_acquire);
  // Checked before the lock: after unload's teardown nothing is built.
  if (g_tornDown.load(std::memory_order_acquire)) return nullptr;
  try {
    ExclusiveLock lock(g_state.createLock);
    if (!g_state.created.load(std::memory_order_relaxed)) {
      if (!g_state.identity.module) g_state.identity.module = Trevalk::ThisModule();
      CreateContext();
      g_state.created.store(true, std::memory_order_release);
    }
  } catch (...) {
    // Not created: the next line tries again. A context published before
    // the throw is answered and reused then.
  }
  return g_state.context.load(std::memory_order_acquire);
}

int IsLogEnabled(DWORD severity) noexcept {
  // GetLogger's fast path without the call: this test runs before every
  // message, most of which it turns away.
  LogContext* ctx = g_state.created.load(std::memory_order_acquire) ? g_state.context.load(std::memory_order_acquire)
                                                                    : GetLogger();
  if (!ctx || !ctx->logger) return 0;
  try {
    return ctx->logger->IsEnabled(severity);
  } catch (...) {
    return 0;
  }
}

namespace {

// What a logger's exception means as a write's result.
DWORD ResultOfCurrentException() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  } catch (...) {
    return ERROR_FUNCTION_FAILED;
  }
}

}  // namespace

DWORD LogWrite(LogContext* context, DWORD severity, const wchar_t* sourceFile, const wchar_t* function, int line,
               const wchar_t* format, ...) noexcept {
  if (!context || !context->logger) return ERROR_FUNCTION_FAILED;
  CLoggingIf* logger = context->logger;
  va_list args;
  va_start(args, format);
  DWORD result = ERROR_SUCCESS;
  try {
    result = logger->Prepare();
    if (result != ERROR_SUCCESS) {
      // Nothing to write.
    } else if (CLoggingIf_ex* loggerEx = context->loggerEx) {
      if (loggerEx->IsEnabled(severity)) loggerEx->LogVEx(severity, sourceFile, function, line, format, args);
    } else {
      // Formatted on the stack: a message needs no heap of its own.
      wchar_t message[kMaxTextPathMessage + 1];
      if (FormatTruncating(message, kMaxTextPathMessage + 1, format, args) == kFormatFailed) {
        result = ERROR_INVALID_PARAMETER;
      } else {
        result = logger->WriteEntry(sourceFile, function, line, severity, message);
      }
    }
  } catch (...) {
    result = ResultOfCurrentException();
  }
  va_end(args);
  return result;
}

DWORD LogContext::ForwardEntry(const wchar_t* sourceFile, const wchar_t* function, int line, DWORD severity,
                               const wchar_t* message) noexcept {
  if (!logger) return ERROR_FUNCTION_FAILED;
  try {
    const DWORD result = logger->Prepare();
    if (result != ERROR_SUCCESS) return result;
    if (loggerEx) return loggerEx->WriteEntryEx(severity, sourceFile, function, line, message);
    return logger->WriteEntry(sourceFile, function, line, severity, message);
  } catch (...) {
    return ResultOfCurrentException();
  }
}

namespace testing {

bool InstallLogBuilder(CLogBuilderIf* builder) {
  ExclusiveLock lock(g_state.createLock);
  if (g_state.created.load()) return false;
  g_state.DropBuilder();
  g_state.builder = builder;
  return true;
}

void ResetLogging() {
  ExclusiveLock lock(g_state.createLock);
  g_state.DestroyContext();
  g_state.DropBuilder();
  g_state.identity = Identity{};
  g_tornDown.store(false);
}

void TearDownLogging() { g_state.TearDown(); }

}  // namespace testing
}  // namespace ETWLogging
