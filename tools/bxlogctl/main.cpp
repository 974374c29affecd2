// bxlogctl: configure and read the product's logging on a customer's machine.
//
// Every logging setting of the product is stored obfuscated (the registry
// selector and the log.ini values), so nobody can write them by hand; this
// tool writes and reads them with the product's own support library.
#include <windows.h>

#include "commands.h"
#include "console.h"
#include "runtime/runtime_state.h"
#include "rvq_version.h"

namespace bxlogctl {
namespace {

const wchar_t kOverview[] =
    L"bxlogctl - configure and read the RVQ logging\n"
    L"\n"
    L"usage: bxlogctl COMMAND [ARGUMENTS]   (bxlogctl COMMAND --help for details)\n"
    L"       bxlogctl --version\n"
    L"\n"
    L"commands:\n";

const wchar_t kExitCodes[] =
    L"\n"
    L"exit codes: 0 success, 1 bad usage or value, 2 a system error (its Win32 code and text are printed)\n";

int RunHelp(const Words& words);

const wchar_t kMechanismHelp[] =
    L"usage: bxlogctl mechanism [text|etw]\n"
    L"\n"
    L"Without an argument, shows \"Logging Mechanism\" (HKLM\\SOFTWARE\\Bryxen\\Logging)\n"
    L"and which logger the product builds from it. Only an obfuscated REG_DWORD 1\n"
    L"selects the text log files; a plain or damaged value is ignored (and said so).\n"
    L"\n"
    L"  text   store 1: processes started afterwards write text logs\n"
    L"  etw    store 0: processes started afterwards send ETW events\n";

const wchar_t kIniHelp[] =
    L"usage: bxlogctl ini show [--for TARGET]\n"
    L"       bxlogctl ini set KEY VALUE [--for TARGET]\n"
    L"\n"
    L"Reads or writes the text log settings in log.ini (section Config, stored\n"
    L"obfuscated; plain lines are ignored by the product). set without --for\n"
    L"writes the root log.ini, which every log folder falls back to; with --for it\n"
    L"writes that log folder's own log.ini, which comes first. show lists each\n"
    L"key's effective value for TARGET and where it comes from.\n"
    L"\n"
    L"  Enable      gates only the writer's own Log call, which the  (default 1)\n"
    L"              product does not use: 0 does NOT stop its text log\n"
    L"  MaxSize     bytes per file, 262144 to 10485760               (default 262144)\n"
    L"  MaxEntries  files in the ring, 2 to 100                      (default 3)\n"
    L"  Severity    lowest severity written, 0 to 6                  (default 3)\n"
    L"              1 Normal, 2 Warning, 3 Information, 4 Error, 5 Critical\n"
    L"  Options     line fields: 0x10 program, 0x04 process/thread,  (default 0x10)\n"
    L"              0x08 source and line, 0x20 function, 0x01 debugger copy\n"
    L"\n"
    L"TARGET: checkRVQ (the installer library), RvqUpgd (the upgrade detector)\n"
    L"or GROUP\\MODULE. Values are decimal or 0x-hexadecimal.\n"
    L"\n"
    L"To stop text logs: bxlogctl mechanism etw (processes started afterwards\n"
    L"send ETW events instead), or Severity 6, above every severity the product\n"
    L"logs with (1, 3 and 4). The support library's rare messages about itself\n"
    L"pass every filter.\n";

const wchar_t kEtwHelp[] =
    L"usage: bxlogctl etw show [--group G [--module M]]\n"
    L"       bxlogctl etw set Enable|Severity VALUE [--group G [--module M]]\n"
    L"       bxlogctl etw unset Enable|Severity [--group G [--module M]]\n"
    L"\n"
    L"The ETW backend's run-time overrides: plain REG_DWORD values under the\n"
    L"provider key, its group sub-key (checkRVQ logs with group DetectRVQdll,\n"
    L"RvqUpgd with _no_group) and the group's module sub-key. They are read when\n"
    L"a process starts logging and whenever a trace session enables or disables\n"
    L"the provider; a more specific key wins, and they win over the session.\n"
    L"Enable takes 0 or 1, Severity 1 to 6.\n";

const wchar_t kDecodeHelp[] =
    L"usage: bxlogctl decode reg KEY VALUE\n"
    L"       bxlogctl decode ini FILE\n"
    L"\n"
    L"Prints obfuscated values in clear: one registry value (KEY below\n"
    L"HKEY_LOCAL_MACHINE), or every value of an INI file. Says which values are\n"
    L"plain (ignored by the product) and which records fail their digest.\n";

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
      {L"mechanism", L"show or choose text logs or ETW events", kMechanismHelp, RunMechanism},
      {L"ini", L"show or set the text log settings (log.ini)", kIniHelp, RunIni},
      {L"etw", L"show or set the ETW run-time overrides", kEtwHelp, RunEtw},
      {L"where", L"show the log root, the log folders and their files", kWhereHelp, RunWhere},
      {L"tail", L"print the newest lines of a log", kTailHelp, RunTail},
      {L"decode", L"print obfuscated registry or INI values in clear", kDecodeHelp, RunDecode},
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
  // The exception path's lock, made while memory is there.
  Trevalk::PrepareRuntime(GetModuleHandleW(nullptr));
  if (argc < 2) {
    RunHelp({});
    return kExitUsage;
  }
  const std::wstring name = argv[1];
  if (name == L"--help" || name == L"-h") return RunHelp({});
  if (name == L"--version") {
    Out(L"bxlogctl " RVQ_VERSION_DOTTED L"\n");
    return kExitOk;
  }
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
