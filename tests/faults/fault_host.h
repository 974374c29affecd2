// The fault host: one executable, three roles.
//   fault_host run ENTRY count|once|from N   one run in this process (child)
//   fault_host cycles ENTRY                  load/call/unload cycles (child)
//   fault_host sweep ENTRY text|etw [--subset] [--expect FILE]
//                                            prepares, starts and judges the
//                                            runs above, one process each
// ENTRY is an export of checkRVQ.dll or "RvqUpgd" (the upgrade detector's
// pass through upgrade_probe.dll).
#pragma once

#include <string>

#include "interception.h"

namespace rvqfaults {

// The scratch root every run starts from, and the library's folder in it.
inline const wchar_t* RootDir() { return L"C:\\rvqfaults"; }
inline std::wstring LibDir() { return std::wstring(RootDir()) + L"\\lib"; }

int RunChild(const std::string& entry, Mode mode, unsigned long n);
int RunCycles(const std::string& entry, int cycles);
int Sweep(const std::string& entry, bool text, bool subset, const std::wstring& expectations);

}  // namespace rvqfaults
