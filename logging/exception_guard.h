// A structured-exception guard for code that the system calls on its own
// threads (the ETW control callback): a fault inside must become an answer,
// never the end of the host process.
#pragma once

#include <windows.h>

namespace ETWLogging {
namespace internal {

using GuardedFunction = ULONG (*)(void* argument);

// Calls function(argument). Returns true and stores the function's answer in
// *result when it returns. Returns false and stores the exception code in
// *exceptionCode when a structured exception (an access violation, for
// example) leaves it; execution then continues here, on the calling thread.
//
// The frames between this call and the fault are abandoned: their C++
// destructors do not run (as with the compiler's own __except under /EHsc).
// C++ exceptions are not for this guard; the guarded function catches its
// own.
//
// After STATUS_STACK_OVERFLOW it puts a guard region back below the calling
// frame (the system used up the thread's guard pages to raise it), so that
// a second overflow on the same thread is caught as the first was.
bool CallWithExceptionGuard(GuardedFunction function, void* argument, ULONG* result, DWORD* exceptionCode);

}  // namespace internal
}  // namespace ETWLogging
