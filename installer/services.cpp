// Service removal: stop, wait a bounded time, delete.
#include "services.h"

#include "common/unique_handle.h"
#include "module_state.h"

namespace checkrvq {
namespace {

constexpr const wchar_t* kFunction = L"_DeleteServices";
constexpr DWORD kServiceAccess = DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS;

class SleepPause : public ServicePollPause {
 public:
  void Pause() override { Sleep(kStopPollIntervalMs); }
};

// Polls until the service reports stopped, or the poll bound of the state
// it keeps reporting is reached, or the status cannot be read.
void WaitForStop(SC_HANDLE service, SERVICE_STATUS& status, ServicePollPause& pause) {
  for (DWORD polls = 0;; ++polls) {
    const DWORD state = status.dwCurrentState;
    if (state == SERVICE_STOPPED) return;
    // A service that hangs in stop-pending must not hold the installation
    // for ever: it gets a longer but still finite wait.
    const DWORD limit = state == SERVICE_STOP_PENDING ? kStopPendingPollLimit : kStopPollLimit;
    if (polls >= limit) return;
    pause.Pause();
    if (!QueryServiceStatus(service, &status)) {
      LogStep(ETWLogging::kSeverityError, kFunction, log_line::kServiceStatusNotQueried,
              L"Failed in QueryServiceStatus error %ld", static_cast<long>(GetLastError()));
      return;
    }
  }
}

void StopAndDelete(SC_HANDLE manager, const wchar_t* name, ServicePollPause& pause) {
  Trevalk::UniqueServiceHandle service(OpenServiceW(manager, name, kServiceAccess));
  if (!service) {
    LogStep(ETWLogging::kSeverityInformation, kFunction, log_line::kServiceNotOpened,
            L"open service:%s failed, error code:%d", name, static_cast<int>(GetLastError()));
    return;
  }
  SERVICE_STATUS status{};
  if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
    WaitForStop(service.get(), status, pause);
  } else {
    const DWORD error = GetLastError();
    if (error != ERROR_SERVICE_NOT_ACTIVE) {
      LogStep(ETWLogging::kSeverityInformation, kFunction, log_line::kServiceNotStopped,
              L"Failed in stop service:%s error %ld", name, static_cast<long>(error));
    }
  }
  if (!DeleteService(service.get())) {
    LogStep(ETWLogging::kSeverityError, kFunction, log_line::kServiceNotDeleted,
            L"Delete  service:%s failed. Error code:%d", name, static_cast<int>(GetLastError()));
  }
}

}  // namespace

const wchar_t* const kObsoleteServices[] = {L"rvq9"};

DWORD DeleteServices(const wchar_t* const* names, DWORD count) {
  SleepPause pause;
  return DeleteServices(names, count, pause);
}

DWORD DeleteServices(const wchar_t* const* names, DWORD count, ServicePollPause& pause) {
  if (count == 0 || !names || !names[0] || !names[0][0]) return ERROR_INVALID_PARAMETER;
  Trevalk::UniqueServiceHandle manager(OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    const DWORD error = GetLastError();
    LogStep(ETWLogging::kSeverityError, kFunction, log_line::kServiceManagerNotOpened,
            L"Open SCManager failed. Error code:%d", static_cast<int>(error));
    return error;
  }
  for (DWORD i = 0; i < count; ++i) {
    // A null name among later entries cannot name a service: pass it over.
    if (!names[i]) continue;
    StopAndDelete(manager.get(), names[i], pause);
  }
  return 0;
}

}  // namespace checkrvq
