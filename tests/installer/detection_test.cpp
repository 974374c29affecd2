// Incompatible-product detection: the name rules, the list conversion with
// a heap that fails on demand, and DetectIncompatible against the
// Uninst.dll stand-in in a folder of its own.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "detection.h"
#include "detection_list.h"
#include "library_copy.h"
#include "module_state.h"
#include "step_test_util.h"

namespace {

using checkrvq::kUninstallerRecordBytes;
using rvqtest::LogLines;
using rvqtest::ScopedRecordingLog;

TEST(ProductName, MarksFollowCaseSensitiveSubstrings) {
  const struct {
    const wchar_t* name;
    DWORD lacksMakerName;
    DWORD matchesServiceName;
  } cases[] = {
      {L"Bryxen Tovrin Service 9", 0, 1},
      {L"Other Vendor Suite", 1, 0},
      {L"bryxen tovrin service", 1, 0},
      {L"BRYXEN TOVRIN SERVICE", 1, 0},
      {L"Bryxen Desktop", 0, 0},
      {L"Tovrin Service by someone", 1, 1},
      {L"Tovrin  Service", 1, 0},
      {L"", 1, 0},
      {nullptr, 1, 0},
  };
  for (const auto& c : cases) {
    const auto marks = checkrvq::ClassifyProductName(c.name);
    EXPECT_EQ(marks.lacksMakerName, c.lacksMakerName) << (c.name ? c.name : L"(null)");
    EXPECT_EQ(marks.matchesServiceName, c.matchesServiceName) << (c.name ? c.name : L"(null)");
  }
}

// Raw records as Dll_Uninstall hands them over: 788 bytes each, name at 8,
// every other byte non-zero so that a reader running past a name's record
// would pick up garbage.
class RawRecords {
 public:
  explicit RawRecords(size_t count) : bytes_((count + 1) * kUninstallerRecordBytes, 'H') {}
  void SetName(size_t index, const std::string& name) {
    char* at = reinterpret_cast<char*>(&bytes_[index * kUninstallerRecordBytes + 8]);
    memcpy(at, name.data(), name.size());
    at[name.size()] = '\0';
  }
  // Fills the whole name area without a terminator.
  void FillName(size_t index, char c) { memset(&bytes_[index * kUninstallerRecordBytes + 8], c, 780); }
  const unsigned char* data() const { return bytes_.data(); }
  unsigned char* record(size_t index) { return &bytes_[index * kUninstallerRecordBytes]; }

 private:
  std::vector<unsigned char> bytes_;
};

TEST(ProductName, LengthStaysInsideTheRecord) {
  RawRecords raw(1);
  const struct {
    size_t nameBytes;  // where the terminator goes; 780 means none
    size_t expected;
  } cases[] = {{0, 0}, {5, 5}, {779, 779}, {780, 780}};
  for (const auto& c : cases) {
    RawRecords records(1);
    if (c.nameBytes < 780) {
      records.SetName(0, std::string(c.nameBytes, 'x'));
    } else {
      records.FillName(0, 'x');
    }
    EXPECT_EQ(checkrvq::UninstallerRecordNameLength(records.record(0)), c.expected) << c.nameBytes;
  }
  EXPECT_EQ(checkrvq::UninstallerRecordNameLength(nullptr), 0u);
}

using rvqtest::FreeDetectionList;

TEST(MakeIncompatibleDetection, RecordsInOrderWithNamesAndMarks) {
  ScopedRecordingLog log;
  log.state.threshold = 1;
  RawRecords raw(3);
  raw.SetName(0, "Bryxen Tovrin Service 8");
  raw.SetName(1, "Caf\xE9 Cleaner");  // 1252: e with acute accent
  raw.FillName(2, 'q');
  DWORD count = 3;
  IncompatibleProductRecord** list = nullptr;
  EXPECT_EQ(checkrvq::MakeIncompatibleDetection(&count, raw.data(), &list), 0u);
  ASSERT_EQ(count, 3u);
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list[0]->productName, L"Bryxen Tovrin Service 8");
  EXPECT_EQ(list[0]->lacksMakerName, 0u);
  EXPECT_EQ(list[0]->matchesServiceName, 1u);
  EXPECT_STREQ(list[1]->productName, L"Caf\u00E9 Cleaner");
  EXPECT_EQ(list[1]->lacksMakerName, 1u);
  EXPECT_EQ(list[1]->matchesServiceName, 0u);
  // No terminator: the name ends with its record, not in the next one.
  EXPECT_EQ(std::wstring(list[2]->productName), std::wstring(780, L'q'));
  EXPECT_EQ(LogLines(log), (std::vector<std::wstring>{
                               L"1 MakeIncompatibleDetection 738 MakeIncompatibleDetection detections=3\r\n",
                               L"1 MakeIncompatibleDetection 757 Bryxen Tovrin Service 8 detected\r\n",
                               L"1 MakeIncompatibleDetection 757 Caf\u00E9 Cleaner detected\r\n",
                               L"1 MakeIncompatibleDetection 757 " + std::wstring(780, L'q') + L" detected\r\n",
                           }));
  FreeDetectionList(count, list);
}

TEST(MakeIncompatibleDetection, NormalLinesStayQuietAtTheDefaultThreshold) {
  ScopedRecordingLog log;  // threshold 3: Normal is off
  RawRecords raw(1);
  raw.SetName(0, "Bryxen");
  DWORD count = 1;
  IncompatibleProductRecord** list = nullptr;
  EXPECT_EQ(checkrvq::MakeIncompatibleDetection(&count, raw.data(), &list), 0u);
  EXPECT_TRUE(log.Entries().empty());
  FreeDetectionList(count, list);
}

// A heap that refuses its allocation number `failAt` and counts live blocks.
struct CountingHeap {
  static int failAt;
  static int allocations;
  static int live;
  static void* Allocate(size_t bytes) {
    if (allocations++ == failAt) return nullptr;
    ++live;
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
  }
  static void Release(void* block) {
    if (!block) return;
    --live;
    HeapFree(GetProcessHeap(), 0, block);
  }
};
int CountingHeap::failAt = -1;
int CountingHeap::allocations = 0;
int CountingHeap::live = 0;

TEST(MakeIncompatibleDetection, AllocationFailureFreesEverythingAndClearsTheCount) {
  RawRecords raw(3);
  raw.SetName(0, "One");
  raw.SetName(1, "Two");
  raw.SetName(2, "Three");
  const checkrvq::HostHeap heap{CountingHeap::Allocate, CountingHeap::Release};
  // One pointer array, then a record and its name per product.
  for (int failAt = 0; failAt < 7; ++failAt) {
    ScopedRecordingLog log;
    log.state.threshold = 1;
    CountingHeap::failAt = failAt;
    CountingHeap::allocations = 0;
    CountingHeap::live = 0;
    DWORD count = 3;
    auto** list = reinterpret_cast<IncompatibleProductRecord**>(static_cast<uintptr_t>(1));
    EXPECT_EQ(checkrvq::MakeIncompatibleDetection(&count, raw.data(), &list, heap), 0x8007000Eu) << failAt;
    EXPECT_EQ(list, nullptr) << failAt;
    EXPECT_EQ(count, 0u) << failAt;
    EXPECT_EQ(CountingHeap::live, 0) << failAt;
    // The detections line, one line per product made before the failure and
    // the failure's.
    const size_t made = failAt == 0 ? 0 : static_cast<size_t>((failAt - 1) / 2);
    ASSERT_EQ(log.Entries().size(), 2 + made) << failAt;
    EXPECT_EQ(log.Entries().back().line, 858) << failAt;
  }
  CountingHeap::failAt = -1;
}

// A code page the system does not know: every conversion through it fails.
constexpr UINT kNoSuchCodePage = 12345;

TEST(MakeIncompatibleDetection, ANameThatDoesNotConvertFailsTheListNeverGivesAnEmptyName) {
  ScopedRecordingLog log;
  log.state.threshold = 1;
  RawRecords raw(2);
  raw.SetName(0, "One");
  raw.SetName(1, "Two");
  const checkrvq::HostHeap heap{CountingHeap::Allocate, CountingHeap::Release};
  CountingHeap::allocations = 0;
  CountingHeap::live = 0;
  DWORD count = 2;
  auto** list = reinterpret_cast<IncompatibleProductRecord**>(static_cast<uintptr_t>(1));
  EXPECT_EQ(checkrvq::MakeIncompatibleDetection(&count, raw.data(), &list, heap, kNoSuchCodePage),
            checkrvq::kResultNameNotConverted);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(CountingHeap::live, 0);
  EXPECT_EQ(LogLines(log), (std::vector<std::wstring>{
                               L"1 MakeIncompatibleDetection 738 MakeIncompatibleDetection detections=2\r\n",
                               L"4 MakeIncompatibleDetection 856 detectRVQ.dll DetectIncompatible(): Unable to convert "
                               L"the name of product 0. Error code:87",
                           }));
}

TEST(RunDetection, ACommandLineThatDoesNotConvertFailsTheCallWithoutCallingTheUninstaller) {
  ScopedRecordingLog log;
  static int calls;
  calls = 0;
  const checkrvq::DllUninstallFn counted = [](const char*, const unsigned char** records, DWORD* count) -> int {
    ++calls;
    *records = nullptr;
    *count = 0;
    return 1;
  };
  rvqtest::ScratchDir folder{L"rvqdetect"};
  DWORD count = 0;
  IncompatibleProductRecord** list = nullptr;
  EXPECT_EQ(checkrvq::RunDetection(counted, folder.path().c_str(), &count, &list, kNoSuchCodePage),
            static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(LogLines(log), (std::vector<std::wstring>{L"4 DetectIncompatible 855 detectRVQ.dll DetectIncompatible(): "
                                                      L"Unable to convert the command line. Error code:87"}));
}

TEST(MakeIncompatibleDetection, NoRecordsOrNoArrayGiveAnEmptyList) {
  RawRecords raw(1);
  DWORD count = 0;
  IncompatibleProductRecord** list = nullptr;
  EXPECT_EQ(checkrvq::MakeIncompatibleDetection(&count, raw.data(), &list), 0u);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(count, 0u);
  count = 4;
  EXPECT_EQ(checkrvq::MakeIncompatibleDetection(&count, nullptr, &list), 0u);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(count, 0u);
}

// DetectIncompatible with a copy of checkRVQ.dll as "the library" in a
// folder with blanks and a non-ASCII letter, next to the Uninst.dll stand-in.
class DetectWithStandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(library_.Load());
    ASSERT_TRUE(SetCurrentDirectoryW(elsewhere_.path().c_str()));
  }

  void InstallStandIn(const std::string& ini) {
    ASSERT_TRUE(rvqtest::CopyInto(folder_.path(), rvqtest::FixturePath(L"Uninst.dll")));
    ASSERT_TRUE(rvqtest::WriteFileBytes(folder_.Child(L"uninst.ini"), "[Detect]\r\n" + ini));
  }

  // The stand-in's record of its calls: "cmd=" and "cwd=" lines.
  std::vector<std::string> Calls() {
    return rvqtest::SplitLines(rvqtest::ReadFileBytes(folder_.Child(L"uninst-calls.txt")));
  }

  rvqtest::LibraryCopy library_{L"rvq lib \u00C9"};
  const rvqtest::ScratchDir& folder_ = library_.folder();
  rvqtest::ScratchDir elsewhere_{L"rvqcwd"};
  // Declared last: puts the directory back before the folders go.
  rvqtest::ScopedCurrentDirectory restoreDirectory_;
  DWORD count_ = 0xA5A5A5A5;
  IncompatibleProductRecord** list_ = nullptr;
};

TEST_F(DetectWithStandIn, PassesTheCommandLineAndReturnsTheProductsInOrder) {
  InstallStandIn("Result=1\r\nCount=3\r\nName0=Bryxen Tovrin Service 7\r\nName1=Foreign Tool\r\n"
                 "Name2=bryxen tovrin service\r\n");
  ScopedRecordingLog log;
  log.state.threshold = 1;
  EXPECT_EQ(DetectIncompatible(&count_, &list_), 0u);
  ASSERT_EQ(count_, 3u);
  ASSERT_NE(list_, nullptr);
  const wchar_t* names[] = {L"Bryxen Tovrin Service 7", L"Foreign Tool", L"bryxen tovrin service"};
  const DWORD lacks[] = {0, 1, 1};
  const DWORD matches[] = {1, 0, 0};
  for (int i = 0; i < 3; ++i) {
    EXPECT_STREQ(list_[i]->productName, names[i]);
    EXPECT_EQ(list_[i]->lacksMakerName, lacks[i]) << i;
    EXPECT_EQ(list_[i]->matchesServiceName, matches[i]) << i;
  }
  const auto calls = Calls();
  ASSERT_EQ(calls.size(), 2u);
  // Unquoted, in the ANSI code page, blanks and all.
  EXPECT_EQ(calls[0], "cmd=" + rvqtest::Narrow(L"/D " + folder_.path() + L"\\uninst.ini /L"));
  EXPECT_EQ(calls[1], "cwd=" + rvqtest::ToUtf8(folder_.path()));
  EXPECT_EQ(rvqtest::CurrentDirectory(), elsewhere_.path());
  EXPECT_EQ(log.Entries().size(), 4u);
  FreeDetectionList(count_, list_);
}

TEST_F(DetectWithStandIn, CurrentDirectoryComesBackWhenTheUninstallerMovesIt) {
  InstallStandIn("Result=1\r\nCount=1\r\nName0=Bryxen\r\nChangeDirectory=C:\\windows\r\n");
  EXPECT_EQ(DetectIncompatible(&count_, &list_), 0u);
  EXPECT_EQ(count_, 1u);
  EXPECT_EQ(rvqtest::CurrentDirectory(), elsewhere_.path());
  FreeDetectionList(count_, list_);
}

// Refuses every block above 1 MiB whatever memory the machine has, and
// notes the largest request it refused.
struct SmallBlocksHeap {
  static size_t largestRefused;
  static void* Allocate(size_t bytes) {
    if (bytes > (size_t{1} << 20)) {
      if (bytes > largestRefused) largestRefused = bytes;
      return nullptr;
    }
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
  }
  static void Release(void* block) {
    if (block) HeapFree(GetProcessHeap(), 0, block);
  }
};
size_t SmallBlocksHeap::largestRefused = 0;

// The host's blocks come from `heap` for the life of the object.
class ScopedHostHeap {
 public:
  explicit ScopedHostHeap(const checkrvq::HostHeap& heap) { checkrvq::UseHostHeap(&heap); }
  ~ScopedHostHeap() { checkrvq::UseHostHeap(nullptr); }
};

TEST_F(DetectWithStandIn, UninstallerAnswersThatCarryNoListGiveCountZero) {
  // A count of 4,294,967,295 asks for a 32 GiB pointer array: refused here
  // on every machine, so that no list is ever built over records that the
  // uninstaller never made.
  SmallBlocksHeap::largestRefused = 0;
  ScopedHostHeap smallBlocks({SmallBlocksHeap::Allocate, SmallBlocksHeap::Release});
  const struct {
    const char* ini;
    DWORD expectedCount;
  } cases[] = {
      {"Result=0\r\nCount=2\r\nName0=A\r\nName1=B\r\n", 0},   // false, count left at 2 by the uninstaller
      {"Result=2\r\nCount=2\r\nName0=A\r\nName1=B\r\n", 0},   // lowest bit clear: false
      {"Result=1\r\nCount=2\r\nNullArray=1\r\n", 0},          // true with a null array
      {"Result=1\r\nCount=0\r\n", 0},                         // true, nothing found
      {"Result=3\r\nCount=1\r\nName0=A\r\n", 1},              // lowest bit set: true
      {"Result=1\r\nCount=-1\r\n", 0},                        // 4,294,967,295 records: no memory for the list
  };
  for (const auto& c : cases) {
    InstallStandIn(c.ini);
    count_ = 0xA5A5A5A5;
    list_ = nullptr;
    EXPECT_EQ(DetectIncompatible(&count_, &list_), 0u) << c.ini;
    EXPECT_EQ(count_, c.expectedCount) << c.ini;
    EXPECT_EQ(list_ != nullptr, c.expectedCount != 0) << c.ini;
    FreeDetectionList(count_, list_);
  }
  EXPECT_EQ(SmallBlocksHeap::largestRefused, size_t{0xFFFFFFFF} * sizeof(void*));
}

TEST(RunDetection, AFolderThatCannotBeEnteredIsLoggedAndTheUninstallerNotCalled) {
  // The library's folder cannot be entered: the uninstaller would run in the
  // caller's directory. It is not called, and the directory stays.
  rvqtest::ScratchDir elsewhere{L"rvqcwd"};
  rvqtest::ScopedCurrentDirectory restoreDirectory;
  ASSERT_TRUE(SetCurrentDirectoryW(elsewhere.path().c_str()));
  ScopedRecordingLog log;
  static int calls;
  calls = 0;
  const checkrvq::DllUninstallFn wanders = [](const char*, const unsigned char** records, DWORD* count) -> int {
    ++calls;
    SetCurrentDirectoryW(L"C:\\windows");
    *records = nullptr;
    *count = 0;
    return 0;
  };
  DWORD count = 0;
  IncompatibleProductRecord** list = nullptr;
  const std::wstring missing = elsewhere.Child(L"no such folder");
  EXPECT_EQ(checkrvq::RunDetection(wanders, missing.c_str(), &count, &list), 0u);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(rvqtest::CurrentDirectory(), elsewhere.path());
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(LogLines(log), (std::vector<std::wstring>{L"4 DetectIncompatible 853 detectRVQ.dll DetectIncompatible(): "
                                                      L"Unable to enter [" + missing +
                                                      L"], Uninst.dll not called. Error code:2"}));
}

TEST_F(DetectWithStandIn, NameFillingItsRecordEndsThere) {
  InstallStandIn("Result=1\r\nCount=2\r\nFillName0=1\r\nName1=Second\r\n");
  EXPECT_EQ(DetectIncompatible(&count_, &list_), 0u);
  ASSERT_EQ(count_, 2u);
  std::wstring expected;
  for (size_t b = 0; b < 780; ++b) expected += static_cast<wchar_t>(L'a' + b % 26);
  EXPECT_EQ(std::wstring(list_[0]->productName), expected);
  EXPECT_STREQ(list_[1]->productName, L"Second");
  FreeDetectionList(count_, list_);
}

TEST_F(DetectWithStandIn, FolderOutsideTheAnsiCodePageIsNamedByItsShortForm) {
  // No character of this name is in the ANSI code page (1252 here):
  // converted as it is, the description would reach the uninstaller as
  // "...\\??\\uninst.ini", a path that names no file.
  const std::wstring inner = folder_.Child(L"\u540d\u524d");
  ASSERT_TRUE(CreateDirectoryW(inner.c_str(), nullptr));
  ASSERT_TRUE(rvqtest::CopyInto(inner, rvqtest::BinPath(L"checkRVQ.dll")));
  ASSERT_TRUE(rvqtest::CopyInto(inner, rvqtest::FixturePath(L"Uninst.dll")));
  ASSERT_TRUE(rvqtest::WriteFileBytes(inner + L"\\uninst.ini", "[Detect]\r\nResult=1\r\nCount=1\r\nName0=Tool\r\n"));
  HMODULE innerLibrary = LoadLibraryW((inner + L"\\checkRVQ.dll").c_str());
  ASSERT_NE(innerLibrary, nullptr);
  checkrvq::SetLibraryModule(innerLibrary);
  EXPECT_EQ(DetectIncompatible(&count_, &list_), 0u);
  EXPECT_EQ(count_, 1u);
  FreeDetectionList(count_, list_);
  checkrvq::SetLibraryModule(library_.module());
  FreeLibrary(innerLibrary);

  const auto calls = rvqtest::SplitLines(rvqtest::ReadFileBytes(inner + L"\\uninst-calls.txt"));
  ASSERT_EQ(calls.size(), 2u);
  const std::string prefix = "cmd=/D ";
  const std::string suffix = " /L";
  ASSERT_EQ(calls[0].rfind(prefix, 0), 0u) << calls[0];
  ASSERT_GT(calls[0].size(), prefix.size() + suffix.size()) << calls[0];
  const std::string description = calls[0].substr(prefix.size(), calls[0].size() - prefix.size() - suffix.size());
  EXPECT_EQ(description.find('?'), std::string::npos) << description;
  EXPECT_NE(GetFileAttributesA(description.c_str()), INVALID_FILE_ATTRIBUTES) << description;
  // The current directory is still the library's own folder, long form.
  EXPECT_EQ(calls[1], "cwd=" + rvqtest::ToUtf8(inner));
}

TEST_F(DetectWithStandIn, MissingUninstallerLogsItsPathAndReportsNothing) {
  ScopedRecordingLog log;
  log.state.threshold = 1;
  EXPECT_EQ(DetectIncompatible(&count_, &list_), 0u);
  EXPECT_EQ(count_, 0u);
  EXPECT_EQ(list_, nullptr);
  EXPECT_EQ(LogLines(log), (std::vector<std::wstring>{L"4 DetectIncompatible 850 Unable to load Uninst.dll [" +
                                                      folder_.path() + L"\\Uninst.dll]\r\n"}));
}

TEST_F(DetectWithStandIn, UninstallerWithoutTheEntryIsPassedOverAndLogged) {
  // Any DLL without Dll_Uninstall will do: checkRVQ.dll under the other name.
  ASSERT_TRUE(rvqtest::CopyInto(folder_.path(), rvqtest::BinPath(L"checkRVQ.dll"), L"Uninst.dll"));
  ScopedRecordingLog log;
  log.state.threshold = 1;
  EXPECT_EQ(DetectIncompatible(&count_, &list_), 0u);
  EXPECT_EQ(count_, 0u);
  EXPECT_EQ(list_, nullptr);
  EXPECT_EQ(LogLines(log), (std::vector<std::wstring>{L"4 DetectIncompatible 857 detectRVQ.dll DetectIncompatible(): "
                                                      L"Unable to find Dll_Uninstall in Uninst.dll. Error code:127"}));
  // Unloaded again: the file can be replaced.
  EXPECT_TRUE(DeleteFileW(folder_.Child(L"Uninst.dll").c_str()));
}

// No folder means no library to load: "\Uninst.dll" would be a file in the
// root of the current drive.
TEST(DetectIncompatible, WithoutALibraryFolderLoadsNothing) {
  ScopedRecordingLog log;
  checkrvq::SetLibraryModule(nullptr);
  DWORD count = 7;
  IncompatibleProductRecord** list = nullptr;
  EXPECT_EQ(DetectIncompatible(&count, &list), 0u);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(LogLines(log), (std::vector<std::wstring>{L"4 DetectIncompatible 850 Unable to load Uninst.dll []\r\n"}));
  // A host without places for the answers gets nothing, and no crash.
  EXPECT_EQ(DetectIncompatible(nullptr, &list), 0u);
  EXPECT_EQ(DetectIncompatible(&count, nullptr), 0u);
}

}  // namespace
