// Helpers shared by the test executables: where the built binaries are,
// running a program and capturing its output, scratch folders.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace rvqtest {

// Folder of the running test executable, where every built binary lies
// (no trailing backslash).
std::wstring BinDir();

// BinDir() + L"\\" + name.
std::wstring BinPath(const wchar_t* name);

struct ProcessResult {
  bool started = false;
  DWORD startError = 0;
  DWORD exitCode = ~0u;  // never 0 (success) for a process that did not start
  bool timedOut = false;
  std::string output;  // standard output and standard error, as written
};

// Runs `commandLine` (application found as CreateProcessW finds it) in
// `currentDirectory` (empty: inherit) and waits at most timeoutMs.
ProcessResult RunProcess(const std::wstring& commandLine, const std::wstring& currentDirectory = L"",
                         DWORD timeoutMs = 120000);

// The lines of `text`, without their line breaks.
std::vector<std::string> SplitLines(const std::string& text);

// `text` in the code page `codePage` (the ANSI code page by default: 1252
// under Wine, what the stand-ins see).
std::string Narrow(const std::wstring& text, UINT codePage = CP_ACP);
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

// A new empty folder below the temporary folder, removed with its contents
// when the object goes.
class ScratchDir {
 public:
  explicit ScratchDir(const wchar_t* prefix = L"rvqtest");
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::wstring& path() const { return path_; }
  std::wstring Child(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

// A Unix symbolic link at `link` (a Windows path in the prefix) to `target`,
// made with /bin/ln: Wine follows it and reports it as a reparse point (for
// a link to a folder; a link to a file looks like the file). Removed again,
// the link only, when the object goes.
class ScopedUnixLink {
 public:
  ScopedUnixLink(const std::wstring& link, const std::wstring& target);
  ~ScopedUnixLink();
  ScopedUnixLink(const ScopedUnixLink&) = delete;
  ScopedUnixLink& operator=(const ScopedUnixLink&) = delete;

  // False when the link could not be made (not under Wine, say).
  bool made() const { return made_; }

 private:
  std::wstring link_;
  std::string unixLink_;
  bool started_ = false;
  bool made_ = false;
};

// The Unix path of a Windows path under Wine; empty elsewhere.
std::string UnixPath(const std::wstring& path);

// Sets the Unix mode of `path` (under Wine), as a user would from the Unix
// side: Wine reads a folder of mode 0777 as one that Everyone may write.
bool SetUnixMode(const std::wstring& path, unsigned mode);
// The Unix permission bits of `path`; -1 when they cannot be read.
int UnixMode(const std::wstring& path);
constexpr int kOthersWrite = 02;

// The access list of `path` as GetSecurityInfo reads it back. Wine keeps
// no list of its own: it answers what the Unix mode gives (SYSTEM, the
// current user, Everyone for the "other" bits), so a list set through the
// API shows only through what it made of the mode.
struct AccessListReadBack {
  bool read = false;
  bool isProtected = false;     // SE_DACL_PROTECTED
  bool othersMayChange = false;  // write, append, delete, WRITE_DAC... for anyone but
                                 // SYSTEM, Administrators and the current user
  bool everyoneListed = false;   // an entry for Everyone at all
  std::string text;              // "(type;flags;mask;SID)" per entry
};
AccessListReadBack ReadBackAccessList(const std::wstring& path);

// Deletes a folder and everything below it, never following a link (a
// link's own entry is left for its owner to remove). True when it is gone.
bool RemoveTree(const std::wstring& path);

// Writes `bytes` to a new file. True on success.
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);

bool FileExists(const std::wstring& path);
bool DirectoryExists(const std::wstring& path);

}  // namespace rvqtest
