// The commands of bxlogctl. Each takes the words after its name and returns
// an exit code, or throws CommandError.
#pragma once

#include <string>
#include <vector>

namespace bxlogctl {

using Words = std::vector<std::wstring>;

struct Command {
  const wchar_t* name;
  const wchar_t* synopsis;  // one line for the overview
  const wchar_t* help;      // the command's --help text
  int (*run)(const Words& words);
};

// All commands, in the order the overview lists them.
const std::vector<Command>& Commands();

int RunWhere(const Words& words);
int RunTail(const Words& words);

}  // namespace bxlogctl
