// Where the text logger keeps its files, as bxlogctl sees it: the log root,
// the folder of one logging identity (group and module), and the ring of
// numbered files in it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace bxlogctl {

// One logging identity: its files live in <root><group>\<module>\ (or
// <root><module>\ without a group) and are named <module>[_<host>]NNN.log.
struct LogTarget {
  std::wstring group;   // empty: no group level
  std::wstring module;  // base name of the logging module
};

// "checkRVQ" (the installer library), "RvqUpgd" (the upgrade detector) or
// "GROUP\MODULE". Anything else is a usage error.
LogTarget ParseTarget(const std::wstring& text);
std::wstring DescribeTarget(const LogTarget& target);

// The common application-data folder, e.g. C:\ProgramData.
std::wstring ProgramDataFolder();
// The log root with its trailing backslash, e.g. C:\ProgramData\Bryxen\BXLOGS\.
std::wstring LogRoot();
std::wstring LogFolder(const LogTarget& target);
std::wstring FolderIniPath(const LogTarget& target);
std::wstring RootIniPath();

struct LogFile {
  std::wstring path;
  std::wstring name;
  unsigned index = 0;
  ULONGLONG size = 0;
  ULONGLONG lastWrite = 0;  // FILETIME as one number
  bool isLink = false;      // a reparse point: the writer never writes it
};

// The numbered log files of `target`'s folder, oldest first (by last write,
// then by index). Empty when the folder does not exist.
std::vector<LogFile> ListLogFiles(const LogTarget& target);

// Every folder below the log root that holds numbered log files or is a
// link (which the writer refuses to log into).
std::vector<LogTarget> FindLogFolders();

// The first folder from the common application-data folder down to `folder`
// that the writer would not log below as it is, and why: a link (reparse
// point, kErrorReparsePointEncountered) or an owner it does not trust
// (kErrorUntrustedOwner), for which it logs nothing below it; or an access
// list that lets other users change it (kErrorOpenToOthers), which the
// writer takes back at its first entry. Judged only: nothing is changed.
// Level empty and error 0 when nothing is in the way.
struct FolderState {
  std::wstring level;
  DWORD error = 0;
};
FolderState JudgeLogFolder(const std::wstring& folder);

// Creates `folder` (below the common application-data folder) and its
// missing parents as the writer does, with the protected access list, and
// takes back existing levels that others may change. Exits with a system
// error (code 2) naming the level and the reason when a level is a link, is
// not a folder, has an owner the writer does not trust, or cannot be
// created or taken back.
void SecureLogFolder(const std::wstring& folder);

// The lines of a UTF-16 log file (byte-order mark dropped, CR LF removed).
std::vector<std::wstring> ReadLogLines(const std::wstring& path);

}  // namespace bxlogctl
