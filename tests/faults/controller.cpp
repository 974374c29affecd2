// The fault host's controller: for one entry point and one logging mode it
// prepares the machine, starts one child per injection point, and judges
// each run from the child's report and the machine's state afterwards.
//
// Verdicts of a run (a run may earn several):
//   crash     the child ended by an exception, abort or terminate
//   hang      the child did not end within kRunTimeoutMs
//   lost      the data file not exactly once, whole, at its old or new
//             place; a file outside the step's places changed or made
//   silent    success answered, the step's work not done, and neither the
//             contract nor the expectations file allows it (in text mode:
//             also no new Error line in the log)
//   contract  out-parameters that do not go with the result, a result the
//             contract does not give, the current directory not put back,
//             a program or library run outside the library's folder or
//             overlapping, a failure answered after the work was done
//   log       a text log file without its byte-order mark
// A baseline run (no fault) comes first; it must be clean and defines the
// work the step does.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fault_host.h"
#include "ini/ini_reader.h"
#include "profile_list.h"
#include "registry/obfuscated_reg_key.h"
#include "step_test_util.h"

namespace rvqfaults {
namespace {

constexpr DWORD kRunTimeoutMs = 30000;
constexpr unsigned long kMaxPoints = 5000;  // a bound on N, far above any entry's calls
constexpr int kCycles = 40;
// RVQ_FAULTS_CYCLES overrides the count: a longer run tells a steady growth
// from the heap's page-sized steps.
int Cycles() {
  const char* text = std::getenv("RVQ_FAULTS_CYCLES");
  const int cycles = text ? std::atoi(text) : 0;
  return cycles >= 2 ? cycles : kCycles;
}

const std::wstring kProgramData = L"C:\\ProgramData";
const std::wstring kLogRoot = kProgramData + L"\\Bryxen\\BXLOGS";
const std::wstring kDataNew = kProgramData + L"\\Bryxen\\RVQ\\bxdndb.dat";
const std::wstring kDataOld = kProgramData + L"\\BryxenOnline\\RVQ\\bxdndb.dat";
const std::wstring kDataOlder = L"C:\\Program Files\\BryxenOnline\\RVQ\\bxdndb.dat";
// Where the pre-install step would go if it fell back to another tree.
const std::wstring kFallbackRoots[] = {L"C:\\Documents and Settings", L"C:\\Program Files\\Bryxen"};
const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kProductKey[] = L"SOFTWARE\\Bryxen\\RVQ";
const wchar_t kProfilePrefix[] = L"S-1-5-21-2323-55-";
constexpr int kProfiles = 3;

std::wstring Root(const std::wstring& child) { return std::wstring(RootDir()) + L"\\" + child; }
std::wstring Profile(int i) { return Root(L"profiles\\p" + std::to_wstring(i)); }

// Distinct contents, so that a copy that moved is recognised by its bytes.
std::string DataBytes(char tag) {
  std::string bytes(65536, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(tag + i % 61);
  return bytes;
}

struct Expectation {
  std::string entry, mode, function, answer, reason;  // mode: "once", "from" or empty for both
};

std::vector<Expectation> LoadExpectations(const std::wstring& path) {
  std::vector<Expectation> list;
  std::ifstream in(rvqtest::Narrow(path));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#' || line[0] == ' ') continue;
    std::istringstream fields(line);
    Expectation e;
    fields >> e.entry >> e.function >> e.answer;
    std::getline(fields, e.reason);
    const size_t colon = e.entry.find(':');
    if (colon != std::string::npos) {
      e.mode = e.entry.substr(colon + 1);
      e.entry.resize(colon);
    }
    if (!e.answer.empty()) list.push_back(e);
  }
  return list;
}

bool Expected(const std::vector<Expectation>& list, const std::string& entry, const std::string& mode,
              const std::string& function, const std::string& answer) {
  for (const Expectation& e : list) {
    if (e.entry == entry && (e.mode.empty() || e.mode == mode) && (e.function == function || e.function == "*") &&
        e.answer == answer) {
      return true;
    }
  }
  return false;
}

std::wstring Wide(const std::string& text) { return rvqtest::FromUtf8(text); }

bool RegistryValueExists(HKEY root, const wchar_t* key, const wchar_t* name) {
  return RegGetValueW(root, key, name, RRF_RT_ANY, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

std::string RegistryBytes(HKEY root, const wchar_t* key, const wchar_t* name) {
  DWORD bytes = 0;
  if (RegGetValueW(root, key, name, RRF_RT_ANY, nullptr, nullptr, &bytes) != ERROR_SUCCESS || bytes == 0) return {};
  std::string data(bytes, '\0');
  if (RegGetValueW(root, key, name, RRF_RT_ANY, nullptr, &data[0], &bytes) != ERROR_SUCCESS) return {};
  data.resize(bytes);
  return data;
}

bool HasWide(const std::string& bytes, const std::wstring& text) {
  const std::string needle(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
  return bytes.find(needle) != std::string::npos;
}

// Every file below `folder` whose name ends with `suffix`.
void FindFiles(const std::wstring& folder, const std::wstring& suffix, std::vector<std::wstring>* found) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = folder + L"\\" + name;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) FindFiles(path, suffix, found);
    } else if (name.size() >= suffix.size() && _wcsicmp(name.c_str() + name.size() - suffix.size(), suffix.c_str()) == 0) {
      found->push_back(path);
    }
  } while (FindNextFileW(find, &data));
  FindClose(find);
}

struct LogState {
  bool damaged = false;
  std::vector<std::wstring> errors;  // Error lines, time stamp cut off
};

LogState ReadLogs() {
  LogState state;
  std::vector<std::wstring> files;
  FindFiles(kLogRoot, L".log", &files);
  for (const std::wstring& file : files) {
    const std::string bytes = rvqtest::ReadFileBytes(file);
    if (bytes.empty()) continue;
    if (bytes.size() < 2 || bytes[0] != '\xFF' || bytes[1] != '\xFE' || bytes.size() % 2) {
      state.damaged = true;
      continue;
    }
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find(L'\n', start);
      if (end == std::wstring::npos) end = text.size();
      const std::wstring line = text.substr(start, end - start);
      // The severity's field, " -- (Error)$" (text_log_format.cpp); a
      // message's own "Error code" does not make an Error line.
      const size_t at = line.find(L" -- (Error)$");
      if (at != std::wstring::npos) state.errors.push_back(line.substr(at));
      start = end + 1;
    }
  }
  return state;
}

// Text logging on (the obfuscated selector, as bxlogctl writes it, and a
// root log.ini at Normal) or off (ETW, the default).
void SetLogging(bool text) {
  rvqtest::RemoveTree(kLogRoot);
  Trevalk::CObfuscatedRegKey key;
  bool set = key.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Bryxen\\Logging") == ERROR_SUCCESS;
  if (!text) {
    (void)key.DeleteValue(L"Logging Mechanism");
    return;
  }
  set = set && key.SetDWORDValue(L"Logging Mechanism", 1) == ERROR_SUCCESS;
  if (!set) std::fprintf(stderr, "cannot turn the text log on\n");
  rvqtest::MakeTree(kLogRoot);
  Trevalk::CObfuscatedIniReader ini;
  (void)ini.Load(kLogRoot + L"\\log.ini");
  if (!ini.WriteInt(L"Config", L"Severity", 1)) std::fprintf(stderr, "cannot write log.ini\n");
}

void Copy(const std::wstring& from, const std::wstring& folder) {
  if (!rvqtest::CopyInto(folder, from)) std::fprintf(stderr, "cannot copy %s\n", rvqtest::ToUtf8(from).c_str());
}

// The machine as every run of `entry` starts from.
void Prepare(const std::string& entry, bool text) {
  // The library's folder is made once a sweep (the copies take most of a
  // run's set-up); the stand-ins' records in it go before every run.
  static bool copied = false;
  for (const wchar_t* folder : {L"cwd", L"outside", L"install", L"profiles"}) rvqtest::RemoveTree(Root(folder));
  DeleteFileW((LibDir() + L"\\uninst-calls.txt").c_str());
  DeleteFileW((LibDir() + L"\\bxclean-runs.txt").c_str());
  for (const wchar_t* folder : {L"lib", L"cwd", L"outside", L"install\\Locale"}) rvqtest::MakeTree(Root(folder));
  if (!copied) {
    Copy(rvqtest::BinPath(L"checkRVQ.dll"), LibDir());
    Copy(rvqtest::BinPath(L"upgrade_probe.dll"), LibDir());
    Copy(rvqtest::FixturePath(L"Uninst.dll"), LibDir());
    Copy(rvqtest::FixturePath(L"bxclean.exe"), LibDir());
    copied = true;
  }
  rvqtest::WriteFileBytes(LibDir() + L"\\uninst.ini",
                          "[Detect]\r\nResult=1\r\nCount=3\r\nName0=Bryxen Tovrin Service 7\r\nName1=Other Suite\r\n"
                          "Name2=Bryxen Helper\r\n");
  rvqtest::WriteFileBytes(Root(L"cwd\\sentinel.txt"), "host");
  rvqtest::WriteFileBytes(Root(L"outside\\rvqpv.dat"), "not a profile's");
  SetLogging(text);

  for (const std::wstring& folder : {kProgramData + L"\\Bryxen\\RVQ", kProgramData + L"\\BryxenOnline",
                                     std::wstring(L"C:\\Program Files\\BryxenOnline")}) {
    rvqtest::RemoveTree(folder);
  }
  for (const std::wstring& folder : kFallbackRoots) rvqtest::RemoveTree(folder + L"\\Bryxen");
  rvqtest::RemoveTree(L"C:\\Documents and Settings\\All Users\\Application Data\\Bryxen");
  rvqtest::RemoveTree(L"C:\\Documents and Settings\\All Users\\Application Data\\BryxenOnline");
  if (entry == "PreInstall") {
    rvqtest::MakeTree(kDataOld.substr(0, kDataOld.rfind(L'\\')));
    rvqtest::MakeTree(kDataOlder.substr(0, kDataOlder.rfind(L'\\')));
    rvqtest::WriteFileBytes(kDataOld, DataBytes('A'));
    rvqtest::WriteFileBytes(kDataOlder, DataBytes('a'));
  }
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kProductKey);
  RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations");
  if (entry == "DllInstallFunction") {
    rvqtest::SetRegistryText(HKEY_LOCAL_MACHINE, kProductKey, L"Install Dir", Root(L"install"));
    rvqtest::WriteFileBytes(Root(L"install\\loc_a.dat"), "a");
    rvqtest::WriteFileBytes(Root(L"install\\Locale\\loc_b.dat"), "b");
  }
  if (entry == "DllUninstallFunction") {
    for (int i = 1; i <= kProfiles; ++i) {
      rvqtest::MakeTree(Profile(i) + L"\\AppData\\Local\\Bryxen\\RVQ");
      rvqtest::WriteFileBytes(Profile(i) + L"\\AppData\\Local\\Bryxen\\RVQ\\rvqpv.dat", "vault");
    }
  }
  if (entry == "RvqUpgd") {
    rvqtest::SetRegistryText(HKEY_LOCAL_MACHINE, L"Software\\BryxenOnline\\Tovrin Service", L"SourceDisk",
                             L"D:\\RVQ,build=5");
  }
}

// What Prepare and the runs leave, removed after a sweep: the test prefix
// is shared with other tests (ctest).
void CleanUp() {
  rvqtest::RemoveTree(RootDir());
  SetLogging(false);
  rvqtest::RemoveTree(kLogRoot);
  for (const std::wstring& folder : {kProgramData + L"\\Bryxen\\RVQ", kProgramData + L"\\BryxenOnline",
                                     std::wstring(L"C:\\Program Files\\BryxenOnline")}) {
    rvqtest::RemoveTree(folder);
  }
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kProductKey);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\BryxenOnline\\Tovrin Service");
  RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations");
}

struct Run {
  std::string mode;
  unsigned long n = 0;
  std::map<std::string, std::string> fields;
  DWORD exitCode = 0;
  bool reported = false;
  std::set<std::string> verdicts;
  std::string why;
  std::vector<std::string> sites;  // "function|rva" of each counted call (baseline)
  LogState log;
  unsigned long calls() const { return fields.count("calls") ? std::stoul(fields.at("calls")) : 0; }
  unsigned long failed() const { return fields.count("failed") ? std::stoul(fields.at("failed")) : 0; }
  std::string fn() const { return fields.count("fn") ? fields.at("fn") : "-"; }
  DWORD result() const { return fields.count("result") ? std::stoul(fields.at("result"), nullptr, 16) : ~0u; }
};

void Flag(Run& run, const char* verdict, const std::string& why) {
  run.verdicts.insert(verdict);
  if (!run.why.empty()) run.why += "; ";
  run.why += why;
}

// What the step did on the machine, judged against the fault-free work.
struct World {
  bool workDone = true;
  std::string notDone;
};

std::vector<std::map<std::string, std::string>> CleanerRuns() {
  std::vector<std::map<std::string, std::string>> runs;
  for (const std::string& line : rvqtest::SplitLines(rvqtest::ReadFileBytes(LibDir() + L"\\bxclean-runs.txt"))) {
    runs.push_back(rvqtest::ParseFields(line));
  }
  return runs;
}

void JudgeMachine(const std::string& entry, Run& run, World& world) {
  const DWORD result = run.result();
  const std::string libUtf8 = rvqtest::ToUtf8(LibDir());
  auto notDone = [&](const std::string& what) {
    world.workDone = false;
    world.notDone += (world.notDone.empty() ? "" : ", ") + what;
  };
  // Nothing outside the step's places: the host's folder and the decoy.
  if (rvqtest::ReadFileBytes(Root(L"cwd\\sentinel.txt")) != "host") Flag(run, "lost", "host folder changed");
  if (rvqtest::ReadFileBytes(Root(L"outside\\rvqpv.dat")) != "not a profile's") Flag(run, "lost", "decoy deleted");

  if (entry == "DetectIncompatible") {
    const auto calls = rvqtest::SplitLines(rvqtest::ReadFileBytes(LibDir() + L"\\uninst-calls.txt"));
    for (const std::string& line : calls) {
      if (line.rfind("cwd=", 0) == 0 && line != "cwd=" + libUtf8) Flag(run, "contract", "Uninst.dll ran in " + line);
    }
    if (run.fields["names"] != "Bryxen Tovrin Service 7/01;Other Suite/10;Bryxen Helper/00;") {
      notDone("products " + run.fields["names"]);
    }
    if (run.fields["names"].find(";/") != std::string::npos || run.fields["names"].rfind("/", 0) == 0) {
      Flag(run, "silent", "a record with an empty name");
    }
  } else if (entry == "UninstallIncompatible") {
    const auto runs = CleanerRuns();
    for (const auto& r : runs) {
      if (r.count("cwd") && r.at("cwd") != libUtf8) Flag(run, "contract", "bxclean ran in " + r.at("cwd"));
    }
    if (runs.size() == 2 && std::stoull(runs[0].at("end")) > std::stoull(runs[1].at("start"))) {
      Flag(run, "contract", "the cleaner runs overlapped");
    }
    if (runs.size() < 2) notDone(std::to_string(runs.size()) + " cleaner runs");
    if (result == 0 && run.fields["runsAtReturn"] != "2" && runs.size() == 2) {
      Flag(run, "contract", "returned while the cleaner still ran");
    }
    // A failure after both runs ended; one whose wait failed (the run still
    // going at return, not ended in time) is the contract's failure.
    if (result != 0 && runs.size() == 2 && run.fields["runsAtReturn"] == "2") {
      Flag(run, "contract", "failure answered after both cleaner runs");
    }
  } else if (entry == "PreInstall") {
    const std::string newer = DataBytes('A'), older = DataBytes('a');
    const std::string atNew = rvqtest::ReadFileBytes(kDataNew), atOld = rvqtest::ReadFileBytes(kDataOld),
                      atOlder = rvqtest::ReadFileBytes(kDataOlder);
    const int newerCopies = (atNew == newer) + (atOld == newer);
    const int olderCopies = (atNew == older) + (atOlder == older);
    if (newerCopies != 1) Flag(run, "lost", "the data file " + std::to_string(newerCopies) + " times at its places");
    if (olderCopies != 1) Flag(run, "lost", "the older data file " + std::to_string(olderCopies) + " times");
    for (const std::wstring& path : {kDataNew, kDataOld, kDataOlder}) {
      if (rvqtest::FileExists(path) && rvqtest::ReadFileBytes(path) != newer && rvqtest::ReadFileBytes(path) != older) {
        Flag(run, "lost", "a truncated or mixed data file at " + rvqtest::ToUtf8(path));
      }
    }
    for (const std::wstring& root : kFallbackRoots) {
      std::vector<std::wstring> stray;
      FindFiles(root, L"bxdndb.dat", &stray);
      if (!stray.empty()) Flag(run, "lost", "data file moved to " + rvqtest::ToUtf8(stray[0]));
    }
    if (atNew != newer) notDone("data file not moved");
  } else if (entry == "DllInstallFunction") {
    for (const wchar_t* value : {L"Last Update", L"InstallPlatform"}) {
      if (!RegistryValueExists(HKEY_LOCAL_MACHINE, kProductKey, value)) notDone(rvqtest::ToUtf8(value) + " missing");
    }
    if (!RegistryValueExists(HKEY_LOCAL_MACHINE, (std::wstring(kProductKey) + L"\\AppInfo\\Substitute").c_str(),
                             L"gmtdate")) {
      notDone("gmtdate missing");
    }
    const std::string pending = RegistryBytes(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations");
    if (!HasWide(pending, L"loc_a.dat")) notDone("loc_a.dat not scheduled");
    if (!HasWide(pending, L"loc_b.dat")) notDone("Locale\\loc_b.dat not scheduled");
  } else if (entry == "DllUninstallFunction") {
    for (int i = 1; i <= kProfiles; ++i) {
      if (rvqtest::DirectoryExists(Profile(i) + L"\\AppData\\Local\\Bryxen")) notDone("profile " + std::to_string(i));
      if (!rvqtest::DirectoryExists(Profile(i) + L"\\AppData\\Local")) Flag(run, "lost", "a profile's own folder");
    }
  } else if (entry == "RvqUpgd") {
    DWORD flag = 0, bytes = sizeof flag;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Bryxen\\RVQ\\DynaInfo", L"UpdRestartReq", RRF_RT_REG_DWORD,
                     nullptr, &flag, &bytes) != ERROR_SUCCESS ||
        flag != 1) {
      notDone("restart flag not set");
    }
  }
}

// Results the contract gives each entry point.
bool ResultAllowed(const std::string& entry, DWORD result) {
  if (result == 0) return true;
  if (entry == "DetectIncompatible") return result == ERROR_NOT_ENOUGH_MEMORY;
  if (entry == "UninstallIncompatible") return result == 0x8000FFFF;
  if (entry == "PreInstall" || entry == "PostInstall") return result == 0x8007000E;
  if (entry == "RvqUpgd") return result < 0x10000;  // the Win32 error of a failed flag write
  return false;
}

// Entry points whose failures the contract sends to the log only: with ETW
// an undone step cannot be told from a logged one.
bool LogOnly(const std::string& entry) {
  return entry == "PreInstall" || entry == "DllInstallFunction" || entry == "DllUninstallFunction";
}

std::wstring SelfPath() {
  wchar_t path[MAX_PATH * 2] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
  return path;
}

class Sweeper {
 public:
  Sweeper(std::string entry, bool text, std::vector<Expectation> expectations)
      : entry_(std::move(entry)), text_(text), expectations_(std::move(expectations)) {}

  Run Execute(const std::string& mode, unsigned long n) {
    Prepare(entry_, text_);
    rvqtest::TestProfileList profiles(kProfilePrefix);
    if (entry_ == "DllUninstallFunction") {
      for (int i = 1; i <= kProfiles; ++i) profiles.Add(Profile(i));
    }
    Run run;
    run.mode = mode;
    run.n = n;
    const auto process = rvqtest::RunProcess(L"\"" + SelfPath() + L"\" run " + Wide(entry_) + L" " + Wide(mode) +
                                                 L" " + std::to_wstring(n),
                                             Root(L"cwd"), kRunTimeoutMs);
    // Give a cleaner the export left running its time, then look.
    if (entry_ == "UninstallIncompatible") Sleep(600);
    run.exitCode = process.exitCode;
    for (const std::string& line : rvqtest::SplitLines(process.output)) {
      if (line.rfind("RUN|", 0) == 0) {
        run.reported = true;
        run.fields = rvqtest::ParseFields(line.substr(4));
      } else if (line.rfind("SITE|", 0) == 0) {
        const auto parts = line.substr(5);
        run.sites.push_back(parts.substr(parts.find('|') + 1));
      }
    }
    if (run.fields.count("error")) {
      Flag(run, "setup", run.fields["error"]);
      return run;
    }
    if (process.timedOut) {
      Flag(run, "hang", "no end within " + std::to_string(kRunTimeoutMs / 1000) + " s");
    } else if (process.exitCode != 0 || !run.reported) {
      // Under Wine a process whose stack overflowed twice ends with no
      // exception code; a run without its report is a crash all the same.
      char code[32];
      std::snprintf(code, sizeof code, "exit 0x%08lX", static_cast<unsigned long>(process.exitCode));
      Flag(run, "crash", std::string(code) + (run.reported ? " after the call" : " in the call"));
    }
    run.log = ReadLogs();
    if (run.log.damaged) Flag(run, "log", "a log file without its byte-order mark");
    if (!run.reported) {
      // The calls before the N-th are those of the fault-free run: it names
      // the call that failed first.
      if (n >= 1 && n <= baselineSites_.size()) {
        const std::string& site = baselineSites_[n - 1];
        run.fields["fn"] = site.substr(0, site.find('|'));
        run.fields["site"] = site.substr(site.find('|') + 1);
      }
      World ignored;
      JudgeMachine(entry_, run, ignored);  // losses still count
      return run;
    }
    if (run.fields["outs"] != "ok") Flag(run, "contract", "out-parameters do not go with the result");
    if (!ResultAllowed(entry_, run.result())) Flag(run, "contract", "result " + run.fields["result"]);
    if (run.fields["cwdSame"] != "1" && !Expected(expectations_, entry_, mode, run.fn(), "cwd")) {
      Flag(run, "contract", "current directory left at " + run.fields["cwdAfter"]);
    }
    World world;
    JudgeMachine(entry_, run, world);
    if (run.result() == 0 && !world.workDone && mode != "count") {
      const bool logged = text_ && NewErrorLine(run.log);
      const std::string answer = entry_ == "DetectIncompatible" ? "none" : "incomplete";
      if (!logged && !Expected(expectations_, entry_, mode, run.fn(), answer) && (text_ || !LogOnly(entry_))) {
        Flag(run, "silent", "success with " + world.notDone + (text_ ? ", no Error line" : ""));
      }
    }
    if (mode == "count" && !world.workDone) Flag(run, "baseline", "work not done without a fault: " + world.notDone);
    return run;
  }

  void Print(const Run& run) const {
    std::printf("RUN %s %s %s %lu calls=%lu fn=%s site=%s result=%s verdict=%s %s\n", entry_.c_str(),
                text_ ? "text" : "etw", run.mode.c_str(), run.n, run.calls(), run.fn().c_str(),
                run.fields.count("site") ? run.fields.at("site").c_str() : "-",
                run.fields.count("result") ? run.fields.at("result").c_str() : "-", Verdicts(run).c_str(),
                run.why.c_str());
    std::fflush(stdout);
  }

  static std::string Verdicts(const Run& run) {
    if (run.verdicts.empty()) return "ok";
    std::string all;
    for (const std::string& v : run.verdicts) all += (all.empty() ? "" : ",") + v;
    return all;
  }

  void SetBaseline(const Run& run) {
    baselineErrors_ = run.log.errors;
    baselineSites_ = run.sites;
  }

 private:
  bool NewErrorLine(const LogState& log) const {
    std::multiset<std::wstring> before(baselineErrors_.begin(), baselineErrors_.end());
    for (const std::wstring& line : log.errors) {
      auto it = before.find(line);
      if (it == before.end()) return true;
      before.erase(it);
    }
    return false;
  }

  std::string entry_;
  bool text_;
  std::vector<Expectation> expectations_;
  std::vector<std::wstring> baselineErrors_;
  std::vector<std::string> baselineSites_;
};

struct Tally {
  unsigned long points = 0, crash = 0, hang = 0, lost = 0, silent = 0, contract = 0, log = 0, setup = 0;
  void Add(const Run& run) {
    ++points;
    crash += run.verdicts.count("crash");
    hang += run.verdicts.count("hang");
    lost += run.verdicts.count("lost");
    silent += run.verdicts.count("silent");
    contract += run.verdicts.count("contract");
    log += run.verdicts.count("log");
    setup += run.verdicts.count("setup") + run.verdicts.count("baseline");
  }
  unsigned long Bad() const { return crash + hang + lost + silent + contract + log + setup; }
};

}  // namespace

int Sweep(const std::string& entry, bool text, bool subset, const std::wstring& expectationsPath) {
  Sweeper sweeper(entry, text, LoadExpectations(expectationsPath));
  const char* logName = text ? "text" : "etw";
  const Run base = sweeper.Execute("count", 0);
  sweeper.Print(base);
  sweeper.SetBaseline(base);
  unsigned long bad = base.verdicts.empty() ? 0 : 1;

  // Injection points: every N up to the first run that makes fewer calls
  // (full sweep); or (subset) one-shot at the first call of each distinct
  // call site of the fault-free run (its return address) and persistent
  // from the first call of each distinct function.
  std::map<std::string, std::vector<unsigned long>> points;
  if (subset) {
    std::set<std::string> sites, functions;
    for (size_t i = 0; i < base.sites.size(); ++i) {
      const std::string& site = base.sites[i];
      if (sites.insert(site).second) points["once"].push_back(i + 1);
      if (functions.insert(site.substr(0, site.find('|'))).second) points["from"].push_back(i + 1);
    }
  }
  for (const char* mode : {"once", "from"}) {
    Tally tally;
    if (subset) {
      for (unsigned long n : points[mode]) {
        const Run run = sweeper.Execute(mode, n);
        sweeper.Print(run);
        tally.Add(run);
      }
    } else {
      for (unsigned long n = 1; n <= kMaxPoints; ++n) {
        const Run run = sweeper.Execute(mode, n);
        if (run.reported && run.failed() == 0 && run.verdicts.empty()) break;  // fewer than N calls
        sweeper.Print(run);
        tally.Add(run);
      }
    }
    std::printf("TOTAL %s %s %s points=%lu crash=%lu hang=%lu lost=%lu silent=%lu contract=%lu log=%lu setup=%lu\n",
                entry.c_str(), logName, mode, tally.points, tally.crash, tally.hang, tally.lost, tally.silent,
                tally.contract, tally.log, tally.setup);
    std::fflush(stdout);
    bad += tally.Bad();
  }

  // Load/call/unload cycles without a fault: nothing may grow after the
  // first.
  Prepare(entry, text);
  rvqtest::TestProfileList profiles(kProfilePrefix);
  const auto cycles = rvqtest::RunProcess(L"\"" + SelfPath() + L"\" cycles " + Wide(entry) + L" " +
                                              std::to_wstring(Cycles()),
                                          Root(L"cwd"), kRunTimeoutMs * 4);
  std::string figures = "error=no report (exit " + std::to_string(cycles.exitCode) + ")";
  for (const std::string& line : rvqtest::SplitLines(cycles.output)) {
    if (line.rfind("CYCLES|", 0) == 0) figures = line.substr(7);
  }
  auto fields = rvqtest::ParseFields(figures);
  const bool leaks = !fields.count("handles") || std::stod(fields["handles"]) > 0 || std::stod(fields["tls"]) > 0 ||
                     std::stod(fields["bytes"]) >= 512;
  std::printf("LEAK %s %s %s verdict=%s\n", entry.c_str(), logName, figures.c_str(), leaks ? "leak" : "ok");
  std::fflush(stdout);
  if (leaks) ++bad;
  CleanUp();
  return bad ? 1 : 0;
}

}  // namespace rvqfaults
