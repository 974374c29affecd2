/* The stack protector's guard value and failure handler for mingw-w64
   builds (-fstack-protector-strong), in place of libssp's.

   libssp seeds its guard in a constructor through CryptGenRandom, which
   maps advapi32.dll before WinMain runs: RvqUpgd.exe must not bind advapi32
   before it has restricted the DLL search order. The seed here comes from
   kernel32 alone, from the same sources the Visual C++ runtime mixes into
   its /GS cookie: the time, the process and thread ids, the tick and
   performance counters, and addresses that ASLR moves.

   The guard is set by the first constructor to run (priority 101); the
   CRT start-up code that runs before it is not compiled with the stack
   protector, so no protected frame outlives the change. A mismatch ends the
   process at once with STATUS_STACK_BUFFER_OVERRUN, as /GS does. */
#include <windows.h>

#include <stdint.h>

uintptr_t __stack_chk_guard = 0x2b992ddfa23249d6u;

static uint64_t Mix(uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9u;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebu;
  x ^= x >> 31;
  return x;
}

__attribute__((constructor(101), no_stack_protector)) static void SeedStackGuard(void) {
  FILETIME now;
  LARGE_INTEGER counter;
  GetSystemTimeAsFileTime(&now);
  QueryPerformanceCounter(&counter);
  uint64_t seed = ((uint64_t)now.dwHighDateTime << 32) | now.dwLowDateTime;
  seed = Mix(seed ^ (uint64_t)counter.QuadPart);
  seed = Mix(seed ^ ((uint64_t)GetCurrentProcessId() << 32 | GetCurrentThreadId()));
  seed = Mix(seed ^ GetTickCount64());
  seed = Mix(seed ^ (uint64_t)(uintptr_t)&seed ^ ((uint64_t)(uintptr_t)&__stack_chk_guard << 17));
  __stack_chk_guard = (uintptr_t)seed;
}

__attribute__((noreturn)) void __stack_chk_fail(void) {
  /* __fastfail(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE): no handler runs, the
     report goes to Windows Error Reporting; where the instruction is not
     known (before Windows 8) it faults, which ends the process as well. */
  __asm__ volatile("int $0x29" : : "c"(2) : "memory");
  TerminateProcess(GetCurrentProcess(), (UINT)STATUS_STACK_BUFFER_OVERRUN);
  __builtin_unreachable();
}
