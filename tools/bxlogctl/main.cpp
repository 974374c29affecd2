// bxlogctl: configure and read the product's logging on a customer's machine.
//
// Every logging setting of the product is stored obfuscated (the registry
// selector and the log.ini values), so nobody can write them by hand; this
// tool writes and reads them with the product's own support library.
#include <windows.h>

#include "commands.h"
#include "console.h"

namespace bxlogctl {
namespace {

const wchar_t kOverview[] =
    L"bxlogctl - configure and read the RVQ logging\n"
    L"\n"
    L"usage: bxlogctl COMMAND [ARGUMENTS]   (bxlogctl COMMAND --help for details)\n"
    L"\n"
    L"commands:\n";

const wchar_t kExitCodes[] =
    L"\n"
    L"exit codes: 0 success, 1 bad usage or value, 2 a system error (its Win32 code and text are printed)\n";

int RunHelp(const Words& words);

const wchar_t kWhereHelp[] =
    L"usage: bxlogctl where\n"
    L"\n"
    L"Shows the log root, every log folder below it with its files and sizes,\n"
    L"and which file the writer appends to (the most recently written one).\n";

const wchar_t kTailHelp[] =
    L"usage: bxlogctl tail [--for TARGET] [-n N] [--follow [--seconds S]]\n"
    L"\n"
    L"Prints the newest N lines (default 20) across the ring of log files of\n"
    L"TARGET, oldest first. TARGET is checkRVQ (the default), RvqUpgd or\n"
    L"GROUP\\MODULE. --follow keeps printing new lines (for S seconds, or until\n"
    L"Ctrl+C), also across a rotation to the next file.\n";

const wchar_t kHelpHelp[] = L"usage: bxlogctl help [COMMAND]\n";

}  // namespace

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {L"where", L"show the log root, the log folders and their files", kWhereHelp, RunWhere},
      {L"tail", L"print the newest lines of a log", kTailHelp, RunTail},
      {L"help", L"show this overview or a command's help", kHelpHelp, RunHelp},
  };
  return commands;
}

namespace {

const Command* Find(const std::wstring& name) {
  for (const Command& command : Commands()) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

void PrintOverview() {
  std::wstring text = kOverview;
  for (const Command& command : Commands()) {
    std::wstring name = command.name;
    name.resize(12, L' ');
    text += L"  " + name + command.synopsis + L"\n";
  }
  Out(text + kExitCodes);
}

int RunHelp(const Words& words) {
  if (words.empty()) {
    PrintOverview();
    return kExitOk;
  }
  const Command* command = Find(words[0]);
  if (!command || words.size() > 1) UsageError(L"no such command: " + words[0]);
  Out(command->help);
  return kExitOk;
}

bool WantsHelp(const Words& words) {
  for (const std::wstring& word : words) {
    if (word == L"--help" || word == L"-h") return true;
  }
  return false;
}

}  // namespace
}  // namespace bxlogctl

int wmain(int argc, wchar_t** argv) {
  using namespace bxlogctl;
  if (argc < 2) {
    RunHelp({});
    return kExitUsage;
  }
  const std::wstring name = argv[1];
  if (name == L"--help" || name == L"-h") return RunHelp({});
  const Command* command = Find(name);
  if (!command) {
    Err(L"bxlogctl: unknown command \"" + name + L"\" (bxlogctl --help lists the commands)\n");
    return kExitUsage;
  }
  const Words words(argv + 2, argv + argc);
  if (WantsHelp(words)) {
    Out(command->help);
    return kExitOk;
  }
  try {
    return command->run(words);
  } catch (const CommandError& error) {
    std::wstring text = L"bxlogctl " + name + L": " + error.message;
    if (error.win32) text += L": error " + std::to_wstring(error.win32) + L" (" + Win32Text(error.win32) + L")";
    Err(text + L"\n");
    return error.code;
  } catch (const std::bad_alloc&) {
    Err(L"bxlogctl " + name + L": out of memory\n");
    return kExitSystem;
  }
}
