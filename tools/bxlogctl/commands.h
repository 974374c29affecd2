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

int RunMechanism(const Words& words);
int RunIni(const Words& words);
int RunEtw(const Words& words);
int RunWhere(const Words& words);
int RunTail(const Words& words);
int RunDecode(const Words& words);

class Args;
int RunDecodeReg(const Args& args);
int RunDecodeIni(const Args& args);

}  // namespace bxlogctl
