#include "test_support.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>

#include <atomic>
#include <cstdio>

#include "common/unique_handle.h"

namespace rvqtest {

std::wstring BinDir() {
  std::wstring path(32768, L'\0');
  const DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
  path.resize(n);
  const size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring BinPath(const wchar_t* name) { return BinDir() + L"\\" + name; }

ProcessResult RunProcess(const std::wstring& commandLine, const std::wstring& currentDirectory, DWORD timeoutMs) {
  ProcessResult result;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  Trevalk::UniqueKernelHandle readEnd, writeEnd;
  if (!CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0)) {
    result.startError = GetLastError();
    return result;
  }
  SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = writeEnd.get();
  startup.hStdError = writeEnd.get();
  PROCESS_INFORMATION info{};
  // Under Wine a process start can fail for a moment when the host is short
  // of processes or memory (a parallel fuzz build, say); try a few times
  // and say so, rather than failing a test for the host's sake.
  for (int attempt = 1;; ++attempt) {
    std::wstring mutableLine = commandLine;
    if (CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                       currentDirectory.empty() ? nullptr : currentDirectory.c_str(), &startup, &info)) {
      break;
    }
    result.startError = GetLastError();
    if (attempt == 3 || result.startError == ERROR_FILE_NOT_FOUND || result.startError == ERROR_PATH_NOT_FOUND) {
      return result;
    }
    fprintf(stderr, "RunProcess: CreateProcessW failed with %lu, trying again\n", result.startError);
    Sleep(500);
  }
  result.startError = 0;
  result.started = true;
  Trevalk::UniqueKernelHandle process(info.hProcess), thread(info.hThread);
  writeEnd.reset();  // the child holds the only write end now

  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  char buffer[4096];
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr)) break;  // closed
    if (available) {
      DWORD got = 0;
      if (!ReadFile(readEnd.get(), buffer, sizeof buffer, &got, nullptr) || got == 0) break;
      result.output.append(buffer, got);
      continue;
    }
    if (WaitForSingleObject(process.get(), 20) == WAIT_OBJECT_0) {
      // Drain what is left; grandchildren may keep the pipe open, so do not
      // wait for its end.
      while (PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr) && available) {
        DWORD got = 0;
        if (!ReadFile(readEnd.get(), buffer, sizeof buffer, &got, nullptr) || got == 0) break;
        result.output.append(buffer, got);
      }
      break;
    }
    if (GetTickCount64() > deadline) {
      result.timedOut = true;
      TerminateProcess(process.get(), 0xDEAD);
      break;
    }
  }
  WaitForSingleObject(process.get(), 5000);
  GetExitCodeProcess(process.get(), &result.exitCode);
  return result;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

std::string Narrow(const std::wstring& text, UINT codePage) {
  if (text.empty()) return {};
  const int n =
      WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
  return out;
}

std::string ToUtf8(const std::wstring& text) { return Narrow(text, CP_UTF8); }

std::wstring FromUtf8(const std::string& text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
  return out;
}

ScratchDir::ScratchDir(const wchar_t* prefix) {
  static std::atomic<unsigned> counter{0};
  wchar_t temp[MAX_PATH];
  const DWORD n = GetTempPathW(MAX_PATH, temp);
  std::wstring base(temp, n);
  if (!base.empty() && base.back() == L'\\') base.pop_back();
  for (;;) {
    path_ = base + L"\\" + prefix + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(counter++);
    if (CreateDirectoryW(path_.c_str(), nullptr)) break;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
}

ScratchDir::~ScratchDir() { RemoveTree(path_); }

bool RemoveTree(const std::wstring& path) {
  WIN32_FIND_DATAW data;
  Trevalk::UniqueFindHandle find(FindFirstFileW((path + L"\\*").c_str(), &data));
  if (find) {
    do {
      const std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = path + L"\\" + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(find.get(), &data));
  }
  find.reset();
  RemoveDirectoryW(path.c_str());
  return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
}

std::string UnixPath(const std::wstring& path) {
  using ToUnix = char*(__cdecl*)(LPCWSTR);
  const auto toUnix = reinterpret_cast<ToUnix>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (!toUnix) return std::string();
  char* unix = toUnix(path.c_str());
  if (!unix) return std::string();
  std::string result(unix);
  HeapFree(GetProcessHeap(), 0, unix);
  return result;
}

namespace {

// Wine does not wait for a Unix program it starts: wait for its effect.
bool WaitForEntry(const std::wstring& path, bool present) {
  for (int i = 0; i < 500; ++i) {
    if ((GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) == present) return true;
    Sleep(10);
  }
  return false;
}

}  // namespace

ScopedUnixLink::ScopedUnixLink(const std::wstring& link, const std::wstring& target)
    : link_(link), unixLink_(UnixPath(link)) {
  const std::string unixTarget = UnixPath(target);
  if (unixLink_.empty() || unixTarget.empty() || GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES) return;
  // Wine starts Unix programs too, and hands them the words of the command
  // line as their arguments.
  started_ = RunProcess(FromUtf8("/bin/ln -sT \"" + unixTarget + "\" \"" + unixLink_ + "\"")).started;
  made_ = started_ && WaitForEntry(link_, true);
}

ScopedUnixLink::~ScopedUnixLink() {
  if (!started_) return;
  RunProcess(FromUtf8("/bin/rm -f \"" + unixLink_ + "\""));
  WaitForEntry(link_, false);
}

namespace {

// Runs a Unix shell command under Wine and waits for it to finish, which
// Wine does not do itself: the command ends by creating a marker file.
bool RunUnixShell(const std::string& command) {
  ScratchDir scratch(L"rvqunix");
  const std::wstring marker = scratch.Child(L"done");
  const std::string unixMarker = UnixPath(marker);
  if (unixMarker.empty()) return false;
  if (!RunProcess(FromUtf8("/bin/sh -c \"" + command + " ; touch '" + unixMarker + "'\"")).started) return false;
  return WaitForEntry(marker, true);
}

}  // namespace

bool SetUnixMode(const std::wstring& path, unsigned mode) {
  const std::string unixPath = UnixPath(path);
  char octal[8];
  snprintf(octal, sizeof octal, "%o", mode & 07777);
  return !unixPath.empty() && RunUnixShell(std::string("chmod ") + octal + " '" + unixPath + "'") &&
         UnixMode(path) == static_cast<int>(mode & 07777);
}

int UnixMode(const std::wstring& path) {
  const std::string unixPath = UnixPath(path);
  ScratchDir scratch(L"rvqmode");
  const std::wstring out = scratch.Child(L"mode");
  const std::string unixOut = UnixPath(out);
  if (unixPath.empty() || unixOut.empty()) return -1;
  if (!RunUnixShell("stat -c %a '" + unixPath + "' > '" + unixOut + ".tmp' && mv '" + unixOut + ".tmp' '" + unixOut +
                    "'")) {
    return -1;
  }
  Trevalk::UniqueFileHandle file(
      CreateFileW(out.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  char text[16] = {};
  DWORD got = 0;
  if (!file || !ReadFile(file.get(), text, sizeof text - 1, &got, nullptr) || got == 0) return -1;
  return static_cast<int>(strtoul(text, nullptr, 8));
}

AccessListReadBack ReadBackAccessList(const std::wstring& path) {
  AccessListReadBack result;
  Trevalk::UniqueFileHandle handle(CreateFileW(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle) return result;
  PACL acl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = GetSecurityInfo(handle.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                      &acl, nullptr, &descriptor);
  const Trevalk::UniqueLocalMemory held(descriptor);
  if (error != ERROR_SUCCESS) return result;
  std::string user;
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    BYTE buffer[256];
    DWORD size = 0;
    wchar_t* sid = nullptr;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid)) {
      user = Narrow(sid);
      LocalFree(sid);
    }
    CloseHandle(token);
  }
  result.read = true;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  result.isProtected = (control & SE_DACL_PROTECTED) != 0;
  result.othersMayChange = acl == nullptr;
  const DWORD changing = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER |
                         GENERIC_WRITE | GENERIC_ALL;
  for (DWORD k = 0; acl && k < acl->AceCount; ++k) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (!GetAce(acl, k, reinterpret_cast<void**>(&ace))) break;
    wchar_t* wideSid = nullptr;
    ConvertSidToStringSidW(&ace->SidStart, &wideSid);
    const std::string sid = wideSid ? Narrow(wideSid) : "?";
    LocalFree(wideSid);
    char entry[160];
    snprintf(entry, sizeof entry, "(%d;%d;0x%lx;%s)", ace->Header.AceType, ace->Header.AceFlags,
             static_cast<unsigned long>(ace->Mask), sid.c_str());
    result.text += entry;
    if (sid == "S-1-1-0") result.everyoneListed = true;
    if (ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && (ace->Mask & changing) && sid != "S-1-5-18" &&
        sid != "S-1-5-32-544" && sid != user) {
      result.othersMayChange = true;
    }
  }
  return result;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  Trevalk::UniqueFileHandle file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

bool FileExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace rvqtest
