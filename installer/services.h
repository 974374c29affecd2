// Service removal: stops and deletes Windows services by name.
#pragma once

#include <windows.h>

namespace checkrvq {

// Stops and deletes each named service. 87 for an empty or null list or an
// empty first name (nothing touched); the error of OpenSCManagerW when the
// service control manager cannot be opened; otherwise 0, whatever happened to
// the individual services (failures are logged).
DWORD DeleteServices(const wchar_t* const* names, DWORD count);

// The services of older product versions that installation removes.
extern const wchar_t* const kObsoleteServices[];
constexpr DWORD kObsoleteServiceCount = 1;

}  // namespace checkrvq
