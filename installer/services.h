// Service removal: stops and deletes Windows services by name.
#pragma once

#include <windows.h>

namespace checkrvq {

// Stops and deletes each named service. ERROR_INVALID_PARAMETER for an empty
// or null list or an empty first name (nothing touched); the error of
// OpenSCManagerW when the service control manager cannot be opened;
// otherwise 0, whatever happened to the individual services (failures are
// logged).
DWORD DeleteServices(const wchar_t* const* names, DWORD count);

// The services of older product versions that installation removes.
extern const wchar_t* const kObsoleteServices[];
constexpr DWORD kObsoleteServiceCount = 1;

// Bounds of the wait for a stopping service, counted in status polls.
constexpr DWORD kStopPollLimit = 10;             // while it reports neither stopped nor stop-pending
constexpr DWORD kStopPendingPollLimit = 30;      // while it keeps reporting stop-pending
constexpr DWORD kStopPollIntervalMs = 1000;

// The pause between two status polls. The product sleeps kStopPollIntervalMs;
// tests pass a shorter pause that counts the polls.
class ServicePollPause {
 public:
  virtual ~ServicePollPause() = default;
  virtual void Pause() = 0;
};

// DeleteServices with the given pause between polls.
DWORD DeleteServices(const wchar_t* const* names, DWORD count, ServicePollPause& pause);

}  // namespace checkrvq
