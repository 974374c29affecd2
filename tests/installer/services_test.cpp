// Service removal against Wine's service control manager, with the rvq9
// stand-in registered through sc.exe. The poll bounds are checked through
// the pause seam with short pauses; one case keeps the real one-second
// interval.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "common/unique_handle.h"
#include "services.h"
#include "step_test_util.h"

namespace {

using rvqtest::LogLines;
using rvqtest::ScopedRecordingLog;
using Trevalk::UniqueServiceHandle;

// Counts the polls; sleeps `ms` for each.
class CountingPause : public checkrvq::ServicePollPause {
 public:
  explicit CountingPause(DWORD ms) : ms_(ms) {}
  void Pause() override {
    ++polls;
    Sleep(ms_);
  }
  int polls = 0;

 private:
  DWORD ms_;
};

UniqueServiceHandle OpenManager() {
  return UniqueServiceHandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

// The current state of the service, or 0 with `error` set when it cannot be
// opened (1060 once it is gone).
DWORD ServiceState(const wchar_t* name, DWORD* error = nullptr, DWORD* processId = nullptr) {
  UniqueServiceHandle manager = OpenManager();
  UniqueServiceHandle service(OpenServiceW(manager.get(), name, SERVICE_QUERY_STATUS));
  if (!service) {
    if (error) *error = GetLastError();
    return 0;
  }
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                            &needed)) {
    if (error) *error = GetLastError();
    return 0;
  }
  if (error) *error = 0;
  if (processId) *processId = status.dwProcessId;
  return status.dwCurrentState;
}

bool WaitForState(const wchar_t* name, DWORD state, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (ServiceState(name) != state) {
    if (GetTickCount64() > deadline) return false;
    Sleep(50);
  }
  return true;
}

bool WaitUntilGone(const wchar_t* name, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    DWORD error = 0;
    ServiceState(name, &error);
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) return true;
    if (GetTickCount64() > deadline) return false;
    Sleep(50);
  }
}

rvqtest::ProcessResult Sc(const std::wstring& arguments) { return rvqtest::RunProcess(L"sc.exe " + arguments); }

// Registers the stand-in as "rvq9" in the given mode, optionally started,
// and removes whatever is left of it afterwards.
class ServiceRemoval : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(WaitUntilGone(L"rvq9", 0)) << "rvq9 is left over from elsewhere"; }
  void TearDown() override {
    DWORD processId = 0;
    DWORD error = 0;
    if (ServiceState(L"rvq9", &error, &processId) != 0 && processId) {
      HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId);
      if (process) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
      }
    }
    if (error != ERROR_SERVICE_DOES_NOT_EXIST) Sc(L"delete rvq9");
    EXPECT_TRUE(WaitUntilGone(L"rvq9", 10000));
  }

  void Register(const std::wstring& mode, bool start) {
    const std::wstring binary = rvqtest::FixturePath(L"rvq9svc.exe");
    const auto created = Sc(L"create rvq9 binpath= \"" + binary + L" " + mode + L"\"");
    ASSERT_EQ(created.exitCode, 0u) << created.output;
    if (!start) return;
    const auto started = Sc(L"start rvq9");
    ASSERT_EQ(started.exitCode, 0u) << started.output;
    ASSERT_TRUE(WaitForState(L"rvq9", SERVICE_RUNNING, 10000));
  }

  DWORD Gone() {
    DWORD error = 0;
    ServiceState(L"rvq9", &error);
    return error;
  }
};

TEST_F(ServiceRemoval, RunningServiceThatStopsWithinTwoSecondsIsDeleted) {
  Register(L"stop-delay=1500", true);
  ScopedRecordingLog log;
  log.state.threshold = 1;
  // The product's own one-second pause, counted.
  CountingPause pause(checkrvq::kStopPollIntervalMs);
  const ULONGLONG started = GetTickCount64();
  EXPECT_EQ(checkrvq::DeleteServices(checkrvq::kObsoleteServices, checkrvq::kObsoleteServiceCount, pause), 0u);
  const ULONGLONG elapsed = GetTickCount64() - started;
  EXPECT_GE(pause.polls, 2);
  EXPECT_LE(pause.polls, 3);
  printf("stopped and deleted after %d polls, %llu ms\n", pause.polls, elapsed);
  EXPECT_TRUE(log.Entries().empty()) << LogLines(log).size();
  EXPECT_TRUE(WaitUntilGone(L"rvq9", 5000));
}

TEST_F(ServiceRemoval, StoppedServiceIsDeletedAtOnceWithoutALine) {
  Register(L"stop-delay=0", false);
  ASSERT_EQ(ServiceState(L"rvq9"), static_cast<DWORD>(SERVICE_STOPPED));
  ScopedRecordingLog log;
  log.state.threshold = 1;
  CountingPause pause(10);
  EXPECT_EQ(checkrvq::DeleteServices(checkrvq::kObsoleteServices, checkrvq::kObsoleteServiceCount, pause), 0u);
  EXPECT_EQ(pause.polls, 0);
  EXPECT_TRUE(log.Entries().empty());
  EXPECT_EQ(Gone(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(ServiceRemoval, MissingServiceLogsItsNameAndTheListGoesOn) {
  Register(L"stop-delay=0", false);
  ScopedRecordingLog log;
  log.state.threshold = 1;
  const wchar_t* names[] = {L"rvq9-missing", L"rvq9"};
  CountingPause pause(10);
  EXPECT_EQ(checkrvq::DeleteServices(names, 2, pause), 0u);
  EXPECT_EQ(LogLines(log),
            (std::vector<std::wstring>{L"3 _DeleteServices 913 open service:rvq9-missing failed, error code:1060"}));
  EXPECT_EQ(Gone(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));

  // The product's entry with no service at all: the one line, result 0.
  ScopedRecordingLog again;
  again.state.threshold = 1;
  EXPECT_EQ(checkrvq::DeleteServices(checkrvq::kObsoleteServices, checkrvq::kObsoleteServiceCount), 0u);
  EXPECT_EQ(LogLines(again),
            (std::vector<std::wstring>{L"3 _DeleteServices 913 open service:rvq9 failed, error code:1060"}));
}

TEST_F(ServiceRemoval, BadListsReturn87AndTouchNothing) {
  Register(L"stop-delay=0", false);
  ScopedRecordingLog log;
  log.state.threshold = 1;
  const wchar_t* nullFirst[] = {nullptr, L"rvq9"};
  const wchar_t* emptyFirst[] = {L"", L"rvq9"};
  const struct {
    const wchar_t* const* names;
    DWORD count;
  } cases[] = {{checkrvq::kObsoleteServices, 0}, {nullptr, 1}, {nullFirst, 2}, {emptyFirst, 2}};
  for (const auto& c : cases) {
    EXPECT_EQ(checkrvq::DeleteServices(c.names, c.count), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  EXPECT_EQ(ServiceState(L"rvq9"), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_TRUE(log.Entries().empty());
}

// The wait is bounded for a service that never reports stopped: 30 polls
// while it stays stop-pending, 10 in any other state. It is deleted (marked)
// either way.
class StopWaitBound : public ServiceRemoval, public ::testing::WithParamInterface<std::pair<const wchar_t*, int>> {};

TEST_P(StopWaitBound, PollsThenDeletes) {
  Register(GetParam().first, true);
  ScopedRecordingLog log;
  log.state.threshold = 1;
  CountingPause pause(20);
  EXPECT_EQ(checkrvq::DeleteServices(checkrvq::kObsoleteServices, checkrvq::kObsoleteServiceCount, pause), 0u);
  EXPECT_EQ(pause.polls, GetParam().second);
  EXPECT_TRUE(log.Entries().empty());
  // Marked for deletion: removing it again is refused.
  DWORD error = 0;
  UniqueServiceHandle manager = OpenManager();
  UniqueServiceHandle service(OpenServiceW(manager.get(), L"rvq9", DELETE));
  if (service) {
    EXPECT_FALSE(DeleteService(service.get()));
    error = GetLastError();
  } else {
    error = GetLastError();
  }
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
}

INSTANTIATE_TEST_SUITE_P(Modes, StopWaitBound,
                         ::testing::Values(std::make_pair(L"stuck", 30), std::make_pair(L"ignore-stop", 10)));

TEST_F(ServiceRemoval, RefusedStopIsLoggedAndTheServiceStillMarkedForDeletion) {
  Register(L"refuse-stop", true);
  ScopedRecordingLog log;
  log.state.threshold = 1;
  CountingPause pause(20);
  EXPECT_EQ(checkrvq::DeleteServices(checkrvq::kObsoleteServices, checkrvq::kObsoleteServiceCount, pause), 0u);
  EXPECT_EQ(pause.polls, 0);
  EXPECT_EQ(LogLines(log), (std::vector<std::wstring>{L"3 _DeleteServices 939 Failed in stop service:rvq9 error 1052"}));
  // Marked: a second removal cannot delete it again.
  ScopedRecordingLog again;
  again.state.threshold = 1;
  EXPECT_EQ(checkrvq::DeleteServices(checkrvq::kObsoleteServices, checkrvq::kObsoleteServiceCount, pause), 0u);
  EXPECT_EQ(LogLines(again), (std::vector<std::wstring>{
                                 L"3 _DeleteServices 939 Failed in stop service:rvq9 error 1052",
                                 L"4 _DeleteServices 945 Delete  service:rvq9 failed. Error code:1072",
                             }));
}

}  // namespace
