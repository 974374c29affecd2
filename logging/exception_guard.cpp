#include "exception_guard.h"

namespace ETWLogging {
namespace internal {
namespace {
bool CallGuarded(GuardedFunction function, void* argument, ULONG* result, DWORD* exceptionCode);
bool RestoreStackGuard();
}  // namespace

bool CallWithExceptionGuard(GuardedFunction function, void* argument, ULONG* result, DWORD* exceptionCode) {
  if (CallGuarded(function, argument, result, exceptionCode)) return true;
  // The guarded frames are gone by now: the stack is as shallow as at the
  // call, with room below for a new guard region.
  if (*exceptionCode == static_cast<DWORD>(STATUS_STACK_OVERFLOW)) RestoreStackGuard();
  return false;
}

namespace {

// To raise STATUS_STACK_OVERFLOW the system turns the thread's last guard
// pages into ordinary stack and puts none back. Left so, the next overflow
// on this thread runs into the end of the stack without warning, with no
// room left to report it, and the process ends. So a guard region goes back
// just below the current frame, as the C runtime's _resetstkoflw does: the
// size of the thread's stack guarantee plus a page, at least two pages,
// committed first. Whatever stack lies below it becomes guard again page by
// page as it is used, as before the overflow. Not the runtime's own
// function: msvcrt.dll's copy differs between systems (Wine's marks the
// current page), and this one behaves the same with every compiler.
bool RestoreStackGuard() {
  volatile char marker = 0;
  const ULONG_PTR here = reinterpret_cast<ULONG_PTR>(&marker);
  MEMORY_BASIC_INFORMATION stack;
  if (VirtualQuery(const_cast<const char*>(&marker), &stack, sizeof stack) == 0) return false;
  const ULONG_PTR base = reinterpret_cast<ULONG_PTR>(stack.AllocationBase);
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  const ULONG_PTR page = system.dwPageSize;
  ULONG guarantee = 0;  // 0 only asks
  ULONG_PTR size = 0;
  if (SetThreadStackGuarantee(&guarantee) && guarantee > 0) size = ((guarantee + page - 1) & ~(page - 1)) + page;
  if (size < 2 * page) size = 2 * page;
  const ULONG_PTR currentPage = here & ~(page - 1);
  // The lowest page of the stack is never part of the guard.
  if (currentPage < base + page + size) return false;
  // A stack address computed from the page size: integer arithmetic by nature.
  void* const guard = reinterpret_cast<void*>(currentPage - size);  // NOLINT(performance-no-int-to-ptr)
  DWORD previous = 0;
  return VirtualAlloc(guard, size, MEM_COMMIT, PAGE_READWRITE) != nullptr &&
         VirtualProtect(guard, size, PAGE_READWRITE | PAGE_GUARD, &previous) != FALSE;
}

}  // namespace
}  // namespace internal
}  // namespace ETWLogging

#if defined(_MSC_VER)

namespace ETWLogging {
namespace internal {
namespace {

bool CallGuarded(GuardedFunction function, void* argument, ULONG* result, DWORD* exceptionCode) {
  __try {
    *result = function(argument);
    return true;
  } __except (*exceptionCode = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
    return false;
  }
}

}  // namespace
}  // namespace internal
}  // namespace ETWLogging

#elif defined(__GNUC__) && defined(__x86_64__)

// GCC has no __try/__except. The guard is what the compiler would build for
// one, written out: a small function of its own (etwlogging_guarded_call)
// whose unwind data names a language handler of ours. When an exception's
// search reaches that frame, the handler asks the system to unwind to the
// frame's resume point (RtlUnwindEx, as __except does). The unwind restores
// the non-volatile registers from the unwind data of every frame in between,
// so the trampoline returns to its caller exactly as from a normal call, with
// the answer the handler chose in RAX.
//
// Rejected ways:
// - mingw-w64's __try1/__except1 (excpt.h) put the scope labels in inline asm
//   in the middle of a compiled function. The compiler does not know that the
//   handler jumps to the second label, so what it keeps in registers or stack
//   slots there is not what it expects; the labels have fixed names (one use
//   per object file); and a function has one handler slot, which GCC takes
//   for its own C++ exception tables.
// - A vectored handler sees every exception of every thread before the frame
//   handlers: it takes faults that code further down handles itself, needs a
//   thread filter, and can only resume by rewriting the context into a
//   longjmp.
//
// The answer is 64 bits wide: the function's 32-bit answer, zero-extended, or
// bit 32 set with the exception code below it.

extern "C" {
unsigned long long etwlogging_guarded_call(ETWLogging::internal::GuardedFunction function, void* argument);
extern const char etwlogging_guard_resume[];
EXCEPTION_DISPOSITION etwlogging_guard_handler(EXCEPTION_RECORD* record, void* establisherFrame, CONTEXT* context,
                                               DISPATCHER_CONTEXT* dispatch);
}

// The frame: 32 bytes of home space for the callee plus 8 to keep the stack
// 16-byte aligned at the call. The handler is consulted only for exceptions
// (@except), not while unwinding.
__asm__(
    "\t.text\n"
    "\t.p2align 4\n"
    "\t.globl etwlogging_guarded_call\n"
    "\t.def etwlogging_guarded_call; .scl 2; .type 32; .endef\n"
    "\t.seh_proc etwlogging_guarded_call\n"
    "etwlogging_guarded_call:\n"
    "\tsubq $40, %rsp\n"
    "\t.seh_stackalloc 40\n"
    "\t.seh_endprologue\n"
    "\t.seh_handler etwlogging_guard_handler, @except\n"
    "\tmovq %rcx, %rax\n"
    "\tmovq %rdx, %rcx\n"
    "\tcall *%rax\n"
    "\tmovl %eax, %eax\n"  // only EAX is the answer: clear the upper half
    "\t.globl etwlogging_guard_resume\n"
    "etwlogging_guard_resume:\n"
    "\taddq $40, %rsp\n"
    "\tret\n"
    "\t.seh_endproc\n");

extern "C" EXCEPTION_DISPOSITION etwlogging_guard_handler(EXCEPTION_RECORD* record, void* establisherFrame,
                                                          CONTEXT* /*context*/, DISPATCHER_CONTEXT* dispatch) {
  if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
  const unsigned long long answer = (1ull << 32) | record->ExceptionCode;
  // Does not return: the thread continues at etwlogging_guard_resume in the
  // guard's frame, with RAX = answer.
  // RtlUnwindEx's return value is a PVOID that reaches the resume point in
  // RAX: it carries an integer and is never dereferenced.
  RtlUnwindEx(establisherFrame, const_cast<char*>(etwlogging_guard_resume), record,
              reinterpret_cast<PVOID>(answer),  // NOLINT(performance-no-int-to-ptr)
              dispatch->ContextRecord, dispatch->HistoryTable);
  return ExceptionContinueSearch;
}

namespace ETWLogging {
namespace internal {
namespace {

bool CallGuarded(GuardedFunction function, void* argument, ULONG* result, DWORD* exceptionCode) {
  const unsigned long long answer = etwlogging_guarded_call(function, argument);
  if (answer >> 32) {
    *exceptionCode = static_cast<DWORD>(answer);
    return false;
  }
  *result = static_cast<ULONG>(answer);
  return true;
}

}  // namespace
}  // namespace internal
}  // namespace ETWLogging

#else
#error "no structured-exception guard for this compiler and target"
#endif
