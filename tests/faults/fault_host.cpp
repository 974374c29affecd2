// fault_host: the entry of the fault-injection host (see fault_host.h).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fault_host.h"
#include "test_support.h"

int wmain(int argc, wchar_t** argv) {
  using namespace rvqfaults;
  std::string args[8];
  for (int i = 1; i < argc && i < 8; ++i) args[i] = rvqtest::ToUtf8(argv[i]);
  if (argc >= 5 && args[1] == "run") {
    const Mode mode = args[3] == "once" ? Mode::kOnce : args[3] == "from" ? Mode::kFrom : Mode::kCount;
    return RunChild(args[2], mode, std::strtoul(args[4].c_str(), nullptr, 10));
  }
  if (argc >= 4 && args[1] == "cycles") return RunCycles(args[2], std::atoi(args[3].c_str()));
  if (argc >= 4 && args[1] == "sweep") {
    bool subset = false;
    std::wstring expectations = rvqtest::BinPath(L"fault_expectations.txt");
    for (int i = 4; i < argc; ++i) {
      if (std::wstring(argv[i]) == L"--subset") subset = true;
      if (std::wstring(argv[i]) == L"--expect" && i + 1 < argc) expectations = argv[++i];
    }
    return Sweep(args[2], args[3] == "text", subset, expectations);
  }
  std::fprintf(stderr,
               "usage: fault_host run ENTRY count|once|from N\n"
               "       fault_host cycles ENTRY CYCLES\n"
               "       fault_host sweep ENTRY text|etw [--subset] [--expect FILE]\n");
  return 64;
}
