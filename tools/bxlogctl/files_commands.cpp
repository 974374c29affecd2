// bxlogctl where / tail: finding and reading the text logs.
#include <windows.h>

#include <deque>

#include "args.h"
#include "commands.h"
#include "console.h"
#include "log_layout.h"
#include "paths/paths.h"

namespace bxlogctl {
namespace {

std::wstring SizeText(ULONGLONG bytes) { return std::to_wstring(bytes) + L" bytes"; }

// The file the writer appends to next: the most recently written one.
const LogFile* CurrentFile(const std::vector<LogFile>& files) { return files.empty() ? nullptr : &files.back(); }

// Says why the writer would not log below a folder as it is; false when it
// logs nothing there.
bool ReportFolderState(const FolderState& state) {
  switch (state.error) {
    case Trevalk::kErrorReparsePointEncountered:
      OutLine(L"  not used: the text log writer refuses to log through a link (reparse point): " + state.level);
      return false;
    case Trevalk::kErrorUntrustedOwner:
      OutLine(L"  not used: the text log writer refuses a folder whose owner is not the system, the administrators "
              L"or the logging process's user: " +
              state.level);
      return false;
    case Trevalk::kErrorOpenToOthers:
      OutLine(L"  open to other users: " + state.level +
              L" (the text log writer takes it back, with the protected access list, before it logs there)");
      return true;
    default:
      return true;
  }
}

}  // namespace

int RunWhere(const Words& words) {
  Args args(words, {}, {});
  args.ExpectPositional(0, 0, L"bxlogctl where");
  const std::wstring root = LogRoot();
  OutLine(L"log root: " + root);
  if (!Trevalk::PathExists(root.c_str())) {
    OutLine(L"  (does not exist yet: nothing has been logged to files on this machine)");
    return kExitOk;
  }
  if (!ReportFolderState(JudgeLogFolder(root.substr(0, root.size() - 1)))) return kExitOk;
  const std::wstring rootIni = RootIniPath();
  OutLine(L"root log.ini: " + rootIni + (Trevalk::PathExists(rootIni.c_str()) ? L"" : L" (absent)"));
  const auto targets = FindLogFolders();
  if (targets.empty()) OutLine(L"no log folders");
  for (const LogTarget& target : targets) {
    const auto files = ListLogFiles(target);
    OutLine(L"");
    OutLine(L"folder " + DescribeTarget(target) + L": " + LogFolder(target));
    if (!ReportFolderState(JudgeLogFolder(LogFolder(target)))) continue;
    const std::wstring folderIni = FolderIniPath(target);
    bool iniIsLink = false;
    if (Trevalk::PathExists(folderIni.c_str(), &iniIsLink)) {
      OutLine(L"  log.ini" + std::wstring(iniIsLink ? L"  (a link: the writer logs nothing in this folder)" : L""));
    }
    const LogFile* current = CurrentFile(files);
    for (const LogFile& file : files) {
      OutLine(L"  " + file.name + L"  " + SizeText(file.size) + (&file == current ? L"  (current)" : L"") +
              (file.isLink ? L"  (a link: the writer stops logging when it meets it)" : L""));
    }
  }
  return kExitOk;
}

int RunTail(const Words& words) {
  Args args(words, {L"--for", L"-n", L"--seconds"}, {L"--follow"});
  args.ExpectPositional(0, 0, L"bxlogctl tail [--for TARGET] [-n N] [--follow [--seconds S]]");
  const LogTarget target = ParseTarget(args.Value(L"--for", L"checkRVQ"));
  unsigned long count = 20;
  if (args.Has(L"-n") && (!ParseUnsigned(args.Value(L"-n"), &count) || count == 0 || count > 100000)) {
    UsageError(L"-n takes a number of lines from 1 to 100000");
  }
  unsigned long seconds = 0;
  if (args.Has(L"--seconds") && (!ParseUnsigned(args.Value(L"--seconds"), &seconds) || !args.Has(L"--follow"))) {
    UsageError(L"--seconds takes a number and goes with --follow");
  }

  auto files = ListLogFiles(target);
  if (files.empty() && !args.Has(L"--follow")) {
    Err(L"bxlogctl: no log files for " + DescribeTarget(target) + L" in " + LogFolder(target) + L"\n");
    return kExitOk;
  }
  // The newest lines across the ring, oldest file first.
  std::deque<std::wstring> last;
  for (const LogFile& file : files) {
    for (std::wstring& line : ReadLogLines(file.path)) {
      last.push_back(std::move(line));
      if (last.size() > count) last.pop_front();
    }
  }
  for (const std::wstring& line : last) OutLine(line);
  if (!args.Has(L"--follow")) return kExitOk;

  // Follow: print what is appended to the current file, and switch to a
  // new current file when the writer rotates.
  std::wstring followed = files.empty() ? L"" : files.back().path;
  size_t printed = followed.empty() ? 0 : ReadLogLines(followed).size();
  const ULONGLONG deadline = seconds ? GetTickCount64() + seconds * 1000ull : 0;
  while (!deadline || GetTickCount64() < deadline) {
    Sleep(250);
    files = ListLogFiles(target);
    if (files.empty()) continue;
    if (files.back().path != followed) {
      followed = files.back().path;
      printed = 0;
    }
    const auto lines = ReadLogLines(followed);
    for (size_t i = printed; i < lines.size(); ++i) OutLine(lines[i]);
    if (lines.size() > printed) printed = lines.size();
  }
  return kExitOk;
}

}  // namespace bxlogctl
