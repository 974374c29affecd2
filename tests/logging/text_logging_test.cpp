// The text log writer on the real file system of the Wine prefix: folder and
// file creation, the ring of files with "LastLogIdx", the log.ini settings
// (obfuscated values only, out-of-range values rewritten) and switching off
// when the folder cannot be made. Works below C:\ProgramData\Bryxen\BXLOGS
// in groups of its own and removes them, and the root log.ini, afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "directory_tree.h"
#include "ini/ini_reader.h"
#include "logging.h"
#include "paths/paths.h"
#include "test_support.h"
#include "text_log_format.h"
#include "text_logging.h"
#include "untrusted_owner_table.h"

using ETWLogging::CLogging;

namespace {

std::wstring LogRoot() {
  wchar_t buffer[MAX_PATH];
  CLogging probe;
  EXPECT_EQ(probe.GetLogRoot(buffer, MAX_PATH), 0u);
  return std::wstring(buffer) + L"\\Bryxen\\BXLOGS\\";
}

std::string ReadAll(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::string();
  std::string bytes;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) bytes.append(chunk, got);
  CloseHandle(file);
  return bytes;
}

// The text after the byte-order mark, or "<no BOM>".
std::wstring TextOf(const std::wstring& path) {
  const std::string bytes = ReadAll(path);
  if (bytes.size() < 2 || bytes[0] != '\xFF' || bytes[1] != '\xFE') return L"<no BOM>";
  return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
}

void WriteIniInt(const std::wstring& path, const wchar_t* key, int value) {
  Trevalk::CObfuscatedIniReader ini;
  ini.Load(path);
  ASSERT_TRUE(ini.WriteInt(L"Config", key, value)) << key;
}

bool ReadIniInt(const std::wstring& path, const wchar_t* key, int& value) {
  Trevalk::CObfuscatedIniReader ini;
  ini.Load(path);
  return ini.GetInt(L"Config", key, value);
}

// Points the test program's import of kernel32's `name` (the writer is
// linked into it) at `replacement` for as long as it lives.
class ScopedImportPatch {
 public:
  ScopedImportPatch(const char* name, void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const auto& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); module->Name;
         ++module) {
      auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->OriginalFirstThunk);
      auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
      for (; names->u1.AddressOfData; ++names, ++slots) {
        if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
        const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
        if (strcmp(reinterpret_cast<const char*>(byName->Name), name) != 0) continue;
        slot_ = &slots->u1.Function;
        saved_ = *slot_;
        Write(reinterpret_cast<ULONG_PTR>(replacement));
        return;
      }
    }
  }
  ~ScopedImportPatch() {
    if (slot_) Write(saved_);
  }
  ScopedImportPatch(const ScopedImportPatch&) = delete;
  ScopedImportPatch& operator=(const ScopedImportPatch&) = delete;
  bool patched() const { return slot_ != nullptr; }

 private:
  void Write(ULONG_PTR value) {
    DWORD old = 0;
    VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &old);
    *slot_ = value;
    VirtualProtect(slot_, sizeof *slot_, old, &old);
  }
  ULONG_PTR* slot_ = nullptr;
  ULONG_PTR saved_ = 0;
};

BOOL WINAPI FailingSetFilePointerEx(HANDLE, LARGE_INTEGER, PLARGE_INTEGER, DWORD) {
  SetLastError(ERROR_NEGATIVE_SEEK);
  return FALSE;
}

DWORD WINAPI FailingSetFilePointer(HANDLE, LONG, PLONG, DWORD) {
  SetLastError(ERROR_NEGATIVE_SEEK);
  return INVALID_SET_FILE_POINTER;
}

void MakeFullFile(const std::wstring& path, size_t bytes) {
  ASSERT_TRUE(rvqtest::WriteFileBytes(path, "\xFF\xFE" + std::string(bytes - 2, 'x')));
}

class TextLogging : public ::testing::Test {
 protected:
  void SetUp() override {
    root = LogRoot();
    Clean();
    folder = root + L"RvqTextTest\\" + exe;
  }
  void TearDown() override { Clean(); }
  void Clean() {
    rvqtest::RemoveTree(root + L"RvqTextTest");
    rvqtest::RemoveTree(root + L"RvqBlocked");
    DeleteFileW((root + L"RvqBlocked").c_str());
    DeleteFileW((root + L"log.ini").c_str());
  }
  // Settings written before Initialize into the folder ini.
  void PrepareFolderIni() { ASSERT_TRUE(rvqtest::CreateDirectoryPath(folder.c_str())); }
  void Init(CLogging& logger) {
    ASSERT_EQ(logger.Initialize(L"RvqTextTest", GetModuleHandleW(nullptr), nullptr, nullptr), 0u);
    ASSERT_EQ(logger.LogFolder(), folder);
  }

  const std::wstring exe = L"logging_text_tests";
  std::wstring root;
  std::wstring folder;
};

TEST_F(TextLogging, FirstEntryCreatesFolderAndFileZeroWithoutStoringTheIndex) {
  CLogging logger;
  Init(logger);
  EXPECT_FALSE(rvqtest::DirectoryExists(folder));  // nothing before the first entry
  EXPECT_EQ(logger.WriteEntry(L"detection.cpp", L"PreInstall", 5, 3, L"hello"), 0u);
  const std::wstring file = folder + L"\\" + exe + L"000.log";
  EXPECT_EQ(logger.LogFilePathFor(0), file);
  const std::wstring text = TextOf(file);
  ASSERT_GE(text.size(), 24u);
  // Default layout: time, severity, an empty executable field, the message.
  EXPECT_EQ(text.substr(22), L"$ -- (Information)$  hello\r\n");
  EXPECT_FALSE(rvqtest::FileExists(logger.FolderIniPath()));

  EXPECT_EQ(logger.WriteEntry(nullptr, nullptr, 0, 6, L"second\n"), 0u);
  const std::wstring both = TextOf(file);
  EXPECT_NE(both.find(L"$ -- (Information)$  second\n"), std::wstring::npos);
  EXPECT_EQ(both.substr(both.size() - 9), L"  second\n");  // no extra CR LF
}

TEST_F(TextLogging, RingMovesOnAtMaxSizeAndWrapsAfterTheLastIndex) {
  CLogging logger;
  Init(logger);
  ASSERT_EQ(logger.WriteEntry(L"f", L"F", 1, 4, L"zero"), 0u);
  MakeFullFile(logger.LogFilePathFor(0), 262144);
  MakeFullFile(logger.LogFilePathFor(1), 1000);  // an old file 001 is emptied
  ASSERT_EQ(logger.WriteEntry(L"f", L"F", 1, 4, L"one"), 0u);
  int index = -1;
  ASSERT_TRUE(ReadIniInt(logger.FolderIniPath(), L"LastLogIdx", index));
  EXPECT_EQ(index, 1);
  std::wstring text = TextOf(logger.LogFilePathFor(1));
  EXPECT_EQ(text.substr(text.size() - 6), L" one\r\n");
  EXPECT_EQ(text.find(L"x"), std::wstring::npos);

  // Below MaxSize the same file is appended to.
  ASSERT_EQ(logger.WriteEntry(L"f", L"F", 1, 4, L"one more"), 0u);
  EXPECT_NE(TextOf(logger.LogFilePathFor(1)).find(L" one\r\n"), std::wstring::npos);

  MakeFullFile(logger.LogFilePathFor(1), 300000);
  ASSERT_EQ(logger.WriteEntry(L"f", L"F", 1, 4, L"two"), 0u);
  ASSERT_TRUE(ReadIniInt(logger.FolderIniPath(), L"LastLogIdx", index));
  EXPECT_EQ(index, 2);
  MakeFullFile(logger.LogFilePathFor(2), 262144);
  ASSERT_EQ(logger.WriteEntry(L"f", L"F", 1, 4, L"wrapped"), 0u);
  ASSERT_TRUE(ReadIniInt(logger.FolderIniPath(), L"LastLogIdx", index));
  EXPECT_EQ(index, 0);
  text = TextOf(logger.LogFilePathFor(0));
  EXPECT_EQ(text.find(L"x"), std::wstring::npos);  // recreated
  EXPECT_EQ(text.substr(text.size() - 10), L" wrapped\r\n");
}

TEST_F(TextLogging, StoredIndexAboveALoweredMaxEntriesRestartsAtZero) {
  PrepareFolderIni();
  const std::wstring ini = folder + L"\\log.ini";
  WriteIniInt(ini, L"LastLogIdx", 4);
  MakeFullFile(folder + L"\\" + exe + L"004.log", 100);
  CLogging logger;
  Init(logger);
  EXPECT_EQ(logger.GetMaxEntries(), 3u);
  ASSERT_EQ(logger.WriteEntry(L"f", L"F", 1, 4, L"restart"), 0u);
  int index = -1;
  ASSERT_TRUE(ReadIniInt(ini, L"LastLogIdx", index));
  EXPECT_EQ(index, 0);
  EXPECT_NE(TextOf(logger.LogFilePathFor(0)).find(L"restart"), std::wstring::npos);
  EXPECT_EQ(ReadAll(folder + L"\\" + exe + L"004.log").size(), 100u);  // left alone
}

// A folder ini that cannot keep "LastLogIdx" (read-only on a customer's
// machine; here a folder in its place, or a hand-written "[CONFIG]" section
// that takes the writes, section names matching without case there, where
// the reader never looks). The ring cannot move on, but no entry may be lost
// to a file emptied again at every entry.
TEST_F(TextLogging, IndexThatCannotBeStoredLosesNoEntries) {
  for (const bool iniIsFolder : {true, false}) {
    SCOPED_TRACE(iniIsFolder ? "folder" : "[CONFIG]");
    Clean();
    PrepareFolderIni();
    const std::wstring ini = folder + L"\\log.ini";
    if (iniIsFolder) {
      ASSERT_TRUE(CreateDirectoryW(ini.c_str(), nullptr));
    } else {
      ASSERT_TRUE(rvqtest::WriteFileBytes(ini, "[CONFIG]\r\nEnable=1\r\n"));
    }
    CLogging logger;
    Init(logger);
    MakeFullFile(logger.LogFilePathFor(0), 262144);
    for (const wchar_t* message : {L"first", L"second", L"third"}) {
      ASSERT_EQ(logger.WriteEntry(L"f", L"F", 1, 4, message), 0u) << message;
    }
    const std::wstring text = TextOf(logger.LogFilePathFor(1));
    for (const wchar_t* message : {L" first\r\n", L" second\r\n", L" third\r\n"}) {
      EXPECT_NE(text.find(message), std::wstring::npos) << rvqtest::ToUtf8(message);
    }
    // Once that file is full too, it starts again: the disk use stays bounded.
    MakeFullFile(logger.LogFilePathFor(1), 262144);
    ASSERT_EQ(logger.WriteEntry(L"f", L"F", 1, 4, L"fourth"), 0u);
    EXPECT_EQ(TextOf(logger.LogFilePathFor(1)).find(L"x"), std::wstring::npos);
  }
}

// Several threads through one writer, across two rotations: every entry
// arrives whole and every call answers 0 (the shared open file was closed
// under other threads, files lost their byte-order mark and entries).
TEST_F(TextLogging, ThreadsShareOneWriter) {
  CLogging logger;
  Init(logger);
  constexpr int kThreads = 4;
  constexpr int kEntries = 100;
  // About 1,300 bytes a line: 200 lines fill a file.
  const auto message = [](int t, int i) { return L"<" + std::to_wstring(t) + L":" + std::to_wstring(i) + L">" +
                                                 std::wstring(600, L'p') + L"|"; };
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEntries; ++i) {
        if (logger.WriteEntry(L"f", L"F", 1, 4, message(t, i).c_str()) != 0) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  std::wstring all;
  for (DWORD index = 0; index < 3; ++index) all += TextOf(logger.LogFilePathFor(index));
  int found = 0;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kEntries; ++i) found += all.find(L" " + message(t, i) + L"\r\n") != std::wstring::npos;
  }
  EXPECT_EQ(found, kThreads * kEntries);
}

TEST_F(TextLogging, PlainValuesAreIgnoredAndOutOfRangeValuesRewritten) {
  PrepareFolderIni();
  const std::wstring ini = folder + L"\\log.ini";
  ASSERT_TRUE(rvqtest::WriteFileBytes(ini, "[Config]\r\nMaxSize=1048576\r\nSeverity=1\r\n"));
  {
    CLogging logger;
    Init(logger);
    EXPECT_EQ(logger.GetMaxSize(), 262144u);
    EXPECT_EQ(logger.GetSeverity(), 3u);
  }
  ASSERT_TRUE(rvqtest::WriteFileBytes(ini, ""));
  WriteIniInt(ini, L"MaxSize", 100);
  {
    CLogging logger;
    Init(logger);
    EXPECT_EQ(logger.GetMaxSize(), 262144u);
    int stored = 0;
    ASSERT_TRUE(ReadIniInt(ini, L"MaxSize", stored));
    EXPECT_EQ(stored, 262144);
  }
  // An accepted value in the root ini wins over a rejected one in the folder.
  WriteIniInt(ini, L"MaxSize", 100);
  WriteIniInt(root + L"log.ini", L"MaxSize", 524288);
  {
    CLogging logger;
    Init(logger);
    EXPECT_EQ(logger.GetMaxSize(), 524288u);
  }
}

TEST_F(TextLogging, SettingsFromBothFiles) {
  PrepareFolderIni();
  const std::wstring ini = folder + L"\\log.ini";
  WriteIniInt(ini, L"Severity", 1);
  WriteIniInt(ini, L"MaxEntries", 7);
  WriteIniInt(root + L"log.ini", L"Options", 0x08);
  WriteIniInt(root + L"log.ini", L"Enable", 0);
  WriteIniInt(root + L"log.ini", L"Severity", 5);  // the folder ini is read first
  CLogging logger;
  Init(logger);
  EXPECT_EQ(logger.GetSeverity(), 1u);
  EXPECT_NE(logger.IsEnabled(1), 0);
  EXPECT_EQ(logger.GetMaxEntries(), 7u);
  EXPECT_EQ(logger.GetOptions(), 8u);
  EXPECT_FALSE(logger.GetEnabled());
  logger.Log(5, L"f.cpp", L"F", 1, L"gated by Enable");
  EXPECT_FALSE(rvqtest::FileExists(logger.LogFilePathFor(0)));
  // WriteEntry itself tests neither; Options 0x08 cuts the path.
  ASSERT_EQ(logger.WriteEntry(L"C:\\very\\long\\path\\to\\a_source_file_name_longer.cpp", L"F", 42, 1, L"m"), 0u);
  EXPECT_NE(TextOf(logger.LogFilePathFor(0)).find(L"$ -- (Normal)$ [a_source_file_name_l:   42]$ m\r\n"),
            std::wstring::npos);
}

TEST_F(TextLogging, RejectedSeveritiesWriteNothing) {
  CLogging logger;
  Init(logger);
  ASSERT_EQ(logger.WriteEntry(L"f", L"F", 1, 4, L"first"), 0u);
  const std::wstring before = TextOf(logger.LogFilePathFor(0));
  EXPECT_EQ(logger.WriteEntry(L"f", L"F", 1, 0, L"zero"), 87u);
  EXPECT_EQ(logger.WriteEntry(L"f", L"F", 1, 7, L"seven"), 87u);
  EXPECT_EQ(logger.WriteEntry(L"f", L"F", 1, 4, L""), 87u);
  EXPECT_EQ(logger.WriteEntry(L"f", L"F", 1, 4, nullptr), 87u);
  EXPECT_EQ(TextOf(logger.LogFilePathFor(0)), before);
}

// Log formats into its own buffer: a format the formatter fails on (Wine's
// gives up on a precision of INT_MAX after "ab") is dropped, not written as
// whatever the buffer holds.
TEST_F(TextLogging, LogDropsAMessageTheFormatterFailsOn) {
  CLogging logger;
  Init(logger);
  logger.Log(4, L"f.cpp", L"F", 1, L"ab%.*d", 0x7FFFFFFF, 1);
  EXPECT_FALSE(rvqtest::FileExists(logger.LogFilePathFor(0)));
  logger.Log(4, L"f.cpp", L"F", 2, L"kept %d", 2);
  EXPECT_NE(TextOf(logger.LogFilePathFor(0)).find(L"$ -- (Error)$  kept 2\r\n"), std::wstring::npos);
}

TEST_F(TextLogging, UncreatableFolderSwitchesLoggingOffForGood) {
  // A file where the group folder should be.
  ASSERT_TRUE(rvqtest::CreateDirectoryPath(root.c_str()));
  ASSERT_TRUE(rvqtest::WriteFileBytes(root + L"RvqBlocked", "file"));
  CLogging logger;
  ASSERT_EQ(logger.Initialize(L"RvqBlocked", GetModuleHandleW(nullptr), nullptr, nullptr), 0u);
  EXPECT_NE(logger.IsEnabled(5), 0);
  EXPECT_EQ(logger.WriteEntry(L"f", L"F", 1, 4, L"lost"), 87u);
  for (DWORD s = 0; s <= 7; ++s) EXPECT_EQ(logger.IsEnabled(s), 0) << s;
  EXPECT_FALSE(logger.GetEnabled());
  // No retry, even once the way is clear.
  ASSERT_TRUE(DeleteFileW((root + L"RvqBlocked").c_str()));
  EXPECT_EQ(logger.WriteEntry(L"f", L"F", 1, 4, L"still lost"), 87u);
  EXPECT_FALSE(rvqtest::DirectoryExists(root + L"RvqBlocked"));
}

// Every user may create folders below ProgramData: a link planted on the way
// to the log folder, before Initialize or between Initialize and the first
// entry, gets neither entries nor log.ini write-backs. Wine reports the
// Unix links planted here as reparse points.
TEST_F(TextLogging, LinksOnTheWaySwitchLoggingOff) {
  rvqtest::ScratchDir outside(L"rvqoutside");
  const std::wstring outsideFolder = outside.Child(exe);
  const std::wstring outsideLog = outsideFolder + L"\\" + exe + L"000.log";
  const std::wstring outsideIni = outsideFolder + L"\\log.ini";
  ASSERT_TRUE(rvqtest::CreateDirectoryPath(outsideFolder.c_str()));
  MakeFullFile(outsideLog, 16);
  WriteIniInt(outsideIni, L"MaxSize", 100);  // out of range: would be rewritten
  const std::string logBefore = ReadAll(outsideLog);
  const std::string iniBefore = ReadAll(outsideIni);
  ASSERT_TRUE(rvqtest::CreateDirectoryPath(root.c_str()));
  {
    rvqtest::ScopedUnixLink group(root + L"RvqTextTest", outside.path());
    ASSERT_TRUE(group.made());
    CLogging logger;
    Init(logger);
    EXPECT_EQ(logger.IsEnabled(5), 0);
    EXPECT_EQ(logger.WriteEntry(L"f", L"F", 1, 4, L"lost"), 87u);
  }
  {
    CLogging logger;
    Init(logger);
    ASSERT_TRUE(rvqtest::CreateDirectoryPath((root + L"RvqTextTest").c_str()));
    rvqtest::ScopedUnixLink module(folder, outsideFolder);
    ASSERT_TRUE(module.made());
    EXPECT_EQ(logger.WriteEntry(L"f", L"F", 1, 4, L"lost"), 87u);
    EXPECT_EQ(logger.IsEnabled(5), 0);
    EXPECT_EQ(logger.WriteEntry(L"f", L"F", 1, 4, L"still lost"), 87u);
  }
  EXPECT_EQ(ReadAll(outsideLog), logBefore);
  EXPECT_EQ(ReadAll(outsideIni), iniBefore);
}

// A level a user made before the writer ran (Wine: mode 0777, read as
// Everyone may write) is taken back before the first file goes into it, and
// the levels the writer makes carry the protected list.
TEST_F(TextLogging, OpenLevelsAreTakenBackAndNewLevelsProtected) {
  const std::wstring group = root + L"RvqTextTest";
  ASSERT_TRUE(rvqtest::CreateDirectoryPath(group.c_str()));
  ASSERT_TRUE(rvqtest::SetUnixMode(group, 0777));
  CLogging logger;
  Init(logger);
  ASSERT_EQ(logger.WriteEntry(L"f", L"F", 1, 4, L"kept"), 0u);
  EXPECT_NE(TextOf(logger.LogFilePathFor(0)).find(L"kept"), std::wstring::npos);
  EXPECT_EQ(rvqtest::UnixMode(group) & rvqtest::kOthersWrite, 0);
  const auto takenBack = rvqtest::ReadBackAccessList(group);
  EXPECT_TRUE(takenBack.read && !takenBack.othersMayChange) << takenBack.text;
  const auto created = rvqtest::ReadBackAccessList(folder);
  EXPECT_TRUE(created.read && !created.othersMayChange && !created.everyoneListed) << created.text;
}

// Wine reports every file as the current user's: the owner is answered
// through the security functions' table. A level a stranger owns switches
// logging off, as a folder that cannot be made does.
TEST_F(TextLogging, AStrangerOwnedLevelSwitchesLoggingOff) {
  class StrangerOwnedLogger : public CLogging {
   public:
    Trevalk::SecurityApiTable* FolderSecurityApi() override { return &table_; }

   private:
    rvqtest::UntrustedOwnerTable table_{rvqtest::UntrustedOwnerTable::kFolders};
  };
  ASSERT_TRUE(rvqtest::CreateDirectoryPath(root.c_str()));
  auto* logger = new StrangerOwnedLogger();
  logger->AddRef();
  Init(*logger);
  EXPECT_EQ(logger->IsEnabled(5), 0);
  EXPECT_EQ(logger->WriteEntry(L"f", L"F", 1, 4, L"lost"), 87u);
  EXPECT_GT(rvqtest::UntrustedOwnerTable::strangerAnswers(), 0);
  logger->Release();
  EXPECT_FALSE(rvqtest::DirectoryExists(root + L"RvqTextTest"));
}

// The writer reads the folder's log.ini at every entry: one larger than
// 64 KiB is neither read nor written, and the defaults apply.
TEST_F(TextLogging, AnOversizedIniIsNotRead) {
  PrepareFolderIni();
  const std::wstring ini = folder + L"\\log.ini";
  WriteIniInt(ini, L"Severity", 5);
  WriteIniInt(ini, L"LastLogIdx", 1);
  std::string bytes = ReadAll(ini);
  bytes.append(ETWLogging::textlog::kMaxIniBytes - bytes.size(), ';');
  ASSERT_TRUE(rvqtest::WriteFileBytes(ini, bytes));
  {
    CLogging logger;
    Init(logger);
    EXPECT_EQ(logger.GetSeverity(), 5u) << "at the limit it is read";
  }
  bytes += "\r\n";
  ASSERT_TRUE(rvqtest::WriteFileBytes(ini, bytes));
  CLogging logger;
  Init(logger);
  EXPECT_EQ(logger.GetSeverity(), 3u);
  ASSERT_EQ(logger.WriteEntry(L"f", L"F", 1, 4, L"to file 0"), 0u);
  EXPECT_NE(TextOf(logger.LogFilePathFor(0)).find(L"to file 0"), std::wstring::npos);
  EXPECT_EQ(ReadAll(ini), bytes);
}

// A file without the byte-order mark (its mark could not be written) is
// started again, not appended to: its lines would not read as UTF-16.
TEST_F(TextLogging, AFileWithoutItsMarkIsStartedAgain) {
  PrepareFolderIni();
  CLogging logger;
  Init(logger);
  const std::wstring file = logger.LogFilePathFor(0);
  for (const char* left : {"", "ab"}) {
    ASSERT_TRUE(rvqtest::WriteFileBytes(file, left));
    ASSERT_EQ(logger.WriteEntry(L"f", L"F", 1, 4, L"fresh"), 0u);
    const std::wstring text = TextOf(file);
    EXPECT_EQ(text.substr(22), L"$ -- (Error)$  fresh\r\n") << left;
  }
}

// The entry is written only at the end the writer found: a file pointer
// that cannot be moved ends the entry with its error and leaves the file
// as it was, mark and lines.
TEST_F(TextLogging, AnEndThatCannotBeFoundIsNotWrittenOver) {
  CLogging logger;
  Init(logger);
  ASSERT_EQ(logger.WriteEntry(L"f", L"F", 1, 4, L"first"), 0u);
  const std::string before = ReadAll(logger.LogFilePathFor(0));
  DWORD result = 0;
  {
    ScopedImportPatch extended("SetFilePointerEx", reinterpret_cast<void*>(&FailingSetFilePointerEx));
    ScopedImportPatch plain("SetFilePointer", reinterpret_cast<void*>(&FailingSetFilePointer));
    ASSERT_TRUE(extended.patched() || plain.patched());
    result = logger.WriteEntry(L"f", L"F", 1, 4, L"second");
  }
  EXPECT_EQ(result, static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
  EXPECT_EQ(ReadAll(logger.LogFilePathFor(0)), before);
}

// A folder check that fails at the first entry (here the security query,
// through the table) is tried again at the next one: one failed call does
// not silence the process.
TEST_F(TextLogging, AFolderCheckThatFailedIsTriedAgain) {
  class Logger : public CLogging {
   public:
    Trevalk::SecurityApiTable* FolderSecurityApi() override { return &table_; }

   private:
    rvqtest::UntrustedOwnerTable table_{rvqtest::UntrustedOwnerTable::kNoAnswer};
  };
  ASSERT_TRUE(rvqtest::CreateDirectoryPath(root.c_str()));
  auto* logger = new Logger();
  logger->AddRef();
  Init(*logger);
  EXPECT_EQ(logger->WriteEntry(L"f", L"F", 1, 4, L"lost"), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_NE(logger->IsEnabled(5), 0);
  rvqtest::UntrustedOwnerTable::Answer(rvqtest::UntrustedOwnerTable::kSystem);
  EXPECT_EQ(logger->WriteEntry(L"f", L"F", 1, 4, L"kept"), 0u);
  EXPECT_NE(TextOf(logger->LogFilePathFor(0)).find(L"kept"), std::wstring::npos);
  logger->Release();
}

// The maker's folder itself as a link; the machine's own folder is put
// aside for the test and back afterwards.
TEST_F(TextLogging, LinkedMakerFolderSwitchesLoggingOff) {
  const std::wstring maker = root.substr(0, root.size() - wcslen(L"\\BXLOGS\\"));
  const std::wstring saved = maker + L".rvqtest-saved";
  struct PutAside {
    std::wstring from, to;
    bool moved;
    ~PutAside() {
      if (moved) MoveFileW(to.c_str(), from.c_str());
    }
  } aside{maker, saved, MoveFileW(maker.c_str(), saved.c_str()) != FALSE};
  ASSERT_FALSE(rvqtest::DirectoryExists(maker));
  rvqtest::ScratchDir outside(L"rvqoutside");
  const std::wstring outsideLog = outside.Child(L"BXLOGS\\RvqTextTest\\" + exe + L"\\" + exe + L"000.log");
  ASSERT_TRUE(rvqtest::CreateDirectoryPath(outsideLog.substr(0, outsideLog.find_last_of(L'\\')).c_str()));
  MakeFullFile(outsideLog, 16);
  const std::string before = ReadAll(outsideLog);
  {
    rvqtest::ScopedUnixLink link(maker, outside.path());
    ASSERT_TRUE(link.made());
    CLogging logger;
    Init(logger);
    EXPECT_EQ(logger.WriteEntry(L"f", L"F", 1, 4, L"lost"), 87u);
    EXPECT_EQ(logger.IsEnabled(5), 0);
  }
  EXPECT_EQ(ReadAll(outsideLog), before);
}

TEST_F(TextLogging, InitializeRulesNamesAndReset) {
  CLogging logger;
  EXPECT_EQ(logger.Uninitialize(), ETWLogging::kErrorNotInitialized);
  EXPECT_EQ(logger.Initialize(L"", nullptr, nullptr, nullptr), 87u);
  EXPECT_EQ(logger.Initialize(L"G", nullptr, L"", nullptr), 87u);
  // No module: the executable names the log and appears in the line.
  ASSERT_EQ(logger.Initialize(L"RvqTextTest", nullptr, L"host", nullptr), 0u);
  EXPECT_EQ(logger.Initialize(L"RvqTextTest", nullptr, nullptr, nullptr), ETWLogging::kErrorAlreadyInitialized);
  EXPECT_TRUE(logger.HasExecutableName());
  EXPECT_EQ(logger.LogFilePathFor(2), folder + L"\\" + exe + L"_host002.log");
  ASSERT_EQ(logger.WriteEntry(L"f", L"F", 1, 4, L"named"), 0u);
  EXPECT_NE(TextOf(logger.LogFilePathFor(0)).find(L"$ -- (Error)$ [logging_text_te]$ named\r\n"),
            std::wstring::npos);
  logger.SetMaxSize(5);
  EXPECT_EQ(logger.Uninitialize(), 0u);
  EXPECT_EQ(logger.GetMaxSize(), 262144u);
  EXPECT_EQ(logger.LogFolder(), L"");
  EXPECT_EQ(logger.Uninitialize(), ETWLogging::kErrorNotInitialized);

  wchar_t tiny[4];
  EXPECT_EQ(logger.GetLogRoot(nullptr, 10), 87u);
  EXPECT_EQ(logger.GetLogRoot(tiny, 4), 122u);
}

TEST_F(TextLogging, ReferenceCountDeletesAtZero) {
  CLogging* logger = new CLogging();
  EXPECT_EQ(logger->AddRef(), 1u);
  EXPECT_EQ(logger->AddRef(), 2u);
  EXPECT_EQ(logger->Release(), 1u);
  EXPECT_EQ(logger->Release(), 0u);  // deleted
}

}  // namespace
