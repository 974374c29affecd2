// Console output of bxlogctl: UTF-16 text out as UTF-16 to a console and as
// UTF-8 to pipes and files, errors on standard error, and the exit codes.
#pragma once

#include <windows.h>

#include <string>

namespace bxlogctl {

enum ExitCode : int {
  kExitOk = 0,
  kExitUsage = 1,   // bad command line or value
  kExitSystem = 2,  // a system call failed; its Win32 code and text are printed
};

// Thrown by commands; main prints it and exits with its code.
struct CommandError {
  ExitCode code;
  std::wstring message;
  DWORD win32 = 0;  // printed with its system text when not 0
};

[[noreturn]] void UsageError(const std::wstring& message);
[[noreturn]] void SystemError(const std::wstring& what, DWORD code);

void Out(const std::wstring& text);  // standard output
void Err(const std::wstring& text);  // standard error

// "%s"-style convenience: text with a trailing line break.
inline void OutLine(const std::wstring& text) { Out(text + L"\n"); }

// The system's message for a Win32 code, without the trailing line break.
std::wstring Win32Text(DWORD code);

}  // namespace bxlogctl
