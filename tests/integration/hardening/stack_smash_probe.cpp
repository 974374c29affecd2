// What the stack protector does in a built binary (cmake/stack_guard.c):
//   stack_smash_probe guard   prints the guard value this process runs with
//   stack_smash_probe smash   overruns a local array; the canary check must
//                             end the process before the function returns
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>

extern "C" uintptr_t __stack_chk_guard;

namespace {

// Out of line and through a volatile pointer, so that the compiler can
// neither see the overrun nor drop the writes.
__attribute__((noinline)) void Fill(volatile char* target, size_t count) {
  for (size_t i = 0; i < count; ++i) target[i] = 'A';
}

__attribute__((noinline)) int Overrun(size_t count) {
  char local[16];
  Fill(local, count);  // count > sizeof local on purpose: the fault under test
  return local[0];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && std::wcscmp(argv[1], L"guard") == 0) {
    std::printf("%016llx\n", static_cast<unsigned long long>(__stack_chk_guard));
    return 0;
  }
  if (argc == 2 && std::wcscmp(argv[1], L"smash") == 0) {
    const int value = Overrun(64);
    std::printf("survived %d\n", value);
    return 0;
  }
  std::fprintf(stderr, "usage: stack_smash_probe guard|smash\n");
  return 2;
}
