// The text log ring under stress: 10,000 entries at the smallest MaxSize and
// MaxEntries while another process holds file 000 open as a viewer would.
// At every checkpoint the files of the ring, oldest first, hold one unbroken
// run of entries that ends with the last one written (an entry leaves only
// when rotation recreates its file), and no file but the one just created
// is empty.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "directory_tree.h"
#include "ini/ini_reader.h"
#include "paths/paths.h"
#include "test_support.h"
#include "text_logging.h"

namespace {

constexpr int kEntries = 10000;
constexpr int kCheckEvery = 250;

std::string ReadShared(const std::wstring& path) {
  Trevalk::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
  std::string bytes;
  if (!file) return bytes;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
  return bytes;
}

// The entry numbers in a log file, in file order. Every file starts with
// the UTF-16 byte-order mark.
std::vector<int> EntriesIn(const std::wstring& path, bool* emptyFile) {
  const std::string bytes = ReadShared(path);
  *emptyFile = bytes.size() <= 2;
  std::vector<int> numbers;
  if (bytes.empty()) return numbers;
  EXPECT_TRUE(bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') << "no byte-order mark";
  const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
  for (size_t at = text.find(L"entry#"); at != std::wstring::npos; at = text.find(L"entry#", at + 6)) {
    numbers.push_back(_wtoi(text.c_str() + at + 6));
  }
  return numbers;
}

TEST(RingStress, TenThousandEntriesWhileAnotherProcessHoldsAFile) {
  ETWLogging::CLogging probe;
  wchar_t programData[MAX_PATH];
  ASSERT_EQ(probe.GetLogRoot(programData, MAX_PATH), 0u);
  const std::wstring group = std::wstring(programData) + L"\\Bryxen\\BXLOGS\\RvqRingStress";
  rvqtest::RemoveTree(group);

  ETWLogging::CLogging logger;
  ASSERT_EQ(logger.Initialize(L"RvqRingStress", GetModuleHandleW(nullptr), nullptr, nullptr), 0u);
  ASSERT_TRUE(rvqtest::CreateDirectoryPath(logger.LogFolder().c_str()));
  {
    Trevalk::CObfuscatedIniReader ini;
    ini.Load(logger.FolderIniPath());
    ASSERT_TRUE(ini.WriteInt(L"Config", L"MaxSize", 262144));
    ASSERT_TRUE(ini.WriteInt(L"Config", L"MaxEntries", 2));
  }
  // Settings are read at Initialize: start again with them in place.
  ASSERT_EQ(logger.Uninitialize(), 0u);
  ASSERT_EQ(logger.Initialize(L"RvqRingStress", GetModuleHandleW(nullptr), nullptr, nullptr), 0u);
  ASSERT_EQ(logger.GetMaxSize(), 262144u);
  ASSERT_EQ(logger.GetMaxEntries(), 2u);

  const std::wstring padding(40, L'.');
  const auto write = [&](int n) {
    const std::wstring message = L"entry#" + std::to_wstring(n) + L" " + padding;
    return logger.WriteEntry(L"ring_stress_test.cpp", L"Stress", n, 4, message.c_str());
  };
  // The first entry creates file 000; then a viewer in another process
  // opens it and keeps it open to the end.
  ASSERT_EQ(write(1), 0u);
  const std::wstring eventName = L"RvqRingStressReady" + std::to_wstring(GetCurrentProcessId());
  Trevalk::UniqueKernelHandle ready(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
  std::wstring command = L"\"" + rvqtest::BinPath(L"hold_file.exe") + L"\" \"" + logger.LogFilePathFor(0) + L"\" " +
                         eventName;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
  Trevalk::UniqueKernelHandle holder(info.hProcess);
  Trevalk::UniqueKernelHandle holderThread(info.hThread);
  ASSERT_EQ(WaitForSingleObject(ready.get(), 30000), WAIT_OBJECT_0);

  int lost = 0, oldestKept = 0;
  for (int n = 2; n <= kEntries; ++n) {
    if (write(n) != 0) ++lost;
    if (n % kCheckEvery != 0 && n != kEntries) continue;

    // Oldest file first: the one that is not current (LastLogIdx).
    int current = 0;
    {
      Trevalk::CObfuscatedIniReader ini;
      ini.Load(logger.FolderIniPath());
      ini.GetInt(L"Config", L"LastLogIdx", current);
    }
    std::vector<int> all;
    for (int k = 1; k <= 2; ++k) {
      const int index = (current + k) % 2;
      bool empty = false;
      const std::vector<int> numbers = EntriesIn(logger.LogFilePathFor(static_cast<DWORD>(index)), &empty);
      if (index != current && rvqtest::FileExists(logger.LogFilePathFor(static_cast<DWORD>(index)))) {
        ASSERT_FALSE(empty) << "older file " << index << " empty after entry " << n;
      }
      all.insert(all.end(), numbers.begin(), numbers.end());
    }
    ASSERT_FALSE(all.empty()) << n;
    ASSERT_EQ(all.back(), n) << "last entry missing after entry " << n;
    for (size_t k = 1; k < all.size(); ++k) {
      ASSERT_EQ(all[k], all[k - 1] + 1) << "gap after entry " << all[k - 1] << " at checkpoint " << n;
    }
    oldestKept = all.front();
  }
  TerminateProcess(holder.get(), 0);
  WaitForSingleObject(holder.get(), 10000);
  std::printf("ring stress: %d entries, %d lost, entries %d-%d kept in the ring\n", kEntries, lost, oldestKept,
              kEntries);
  EXPECT_EQ(lost, 0);
  EXPECT_GT(oldestKept, 1);  // the ring did turn over
  logger.Uninitialize();
  rvqtest::RemoveTree(group);
}

}  // namespace
