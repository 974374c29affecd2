// A test DLL whose logging is built as checkRVQ.dll's is (the facade and the
// ETW backend, linked statically), except that the six ETW functions come
// from its host: Wine only stubs them. The host logs through it, frees it,
// and sees whether the registration went while the DLL was still there.
#include <windows.h>

#include <new>

#include "etw_logging.h"
#include "logging.h"
#include "logging_testing.h"

namespace {

ETWLogging::TraceApi* g_api = nullptr;

class ProbeBuilder final : public ETWLogging::CLogBuilderIf {
 public:
  bool Build(const wchar_t* logGroup, HMODULE module, const wchar_t* logHost, DWORD, ETWLogging::CLoggingIf** logger,
             Trevalk::CRegKey*) override {
    auto* etw = new (std::nothrow) ETWLogging::CETWLogging(*g_api);
    if (!etw) return false;
    if (etw->Initialize(logGroup, module, logHost, nullptr) != ERROR_SUCCESS) {
      delete etw;
      return false;
    }
    *logger = etw;
    return true;
  }
};

ProbeBuilder g_builder;

}  // namespace

// Logs one line through the facade with the host's ETW functions. True when
// a logger was built.
extern "C" __declspec(dllexport) bool ProbeLog(ETWLogging::TraceApi* api) {
  if (!g_api) {
    g_api = api;
    ETWLogging::SetLogIdentity(nullptr, L"RvqProbe", nullptr, nullptr, 0);
    if (!ETWLogging::testing::InstallLogBuilder(&g_builder)) return false;
  }
  ETWLogging::LogContext* context = ETWLogging::GetLogger();
  if (!context) return false;
  ETWLogging::LogWrite(context, ETWLogging::kSeverityNormal, L"etw_unload_probe.cpp", L"ProbeLog", __LINE__,
                       L"probe line %d\r\n", 1);
  return true;
}
