// Reading registry text through the ANSI interface: the conversion on its
// own, then the whole read against a scratch key below HKEY_CURRENT_USER.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/unique_handle.h"
#include "source_disk.h"
#include "test_support.h"
#include "upgrade_check.h"

namespace {

using rvqupgd::AnsiRegistryTextToWide;
using rvqupgd::ReadRegistryTextAnsi;

// The result of a conversion as a string that keeps the embedded zeros of a
// multi-string, up to and including the final one.
std::wstring Converted(const wchar_t* out, size_t chars) { return std::wstring(out, chars); }

TEST(AnsiRegistryTextToWide, Table) {
  const struct {
    DWORD type;
    std::string data;
    DWORD outChars;
    LONG result;
    std::wstring expected;  // compared over expected.size() characters
  } cases[] = {
      {REG_SZ, std::string("abc\0", 4), 16, 0, std::wstring(L"abc\0", 4)},
      {REG_SZ, "abc", 16, 0, std::wstring(L"abc\0", 4)},  // stored without terminator
      {REG_SZ, std::string("ab\0cd\0", 6), 16, 0, std::wstring(L"ab\0", 3)},
      {REG_SZ, std::string("\0", 1), 16, 0, std::wstring(L"\0", 1)},
      {REG_SZ, "", 16, 0, std::wstring(L"\0", 1)},
      {REG_SZ, "\xE9t\xE9", 16, 0, std::wstring(L"\xE9t\xE9\0", 4)},  // code page 1252
      {REG_SZ, "abc", 4, 0, std::wstring(L"abc\0", 4)},               // just fits
      {REG_SZ, "abcd", 4, ERROR_MORE_DATA, std::wstring(L"\0", 1)},   // refused, not cut
      {REG_MULTI_SZ, std::string("a\0bc\0\0", 6), 16, 0, std::wstring(L"a\0bc\0\0", 6)},
      {REG_MULTI_SZ, std::string("a\0bc", 4), 16, 0, std::wstring(L"a\0bc\0\0", 6)},
      {REG_MULTI_SZ, std::string("\0\0", 2), 16, 0, std::wstring(L"\0", 1)},
      {REG_MULTI_SZ, std::string("a\0bc\0\0", 6), 6, 0, std::wstring(L"a\0bc\0\0", 6)},
      {REG_MULTI_SZ, std::string("a\0bc\0\0", 6), 5, ERROR_MORE_DATA, std::wstring(L"\0", 1)},
      {REG_EXPAND_SZ, "abc", 16, ERROR_INVALID_PARAMETER, std::wstring()},
      {REG_DWORD, "abcd", 16, ERROR_INVALID_PARAMETER, std::wstring()},
  };
  int index = 0;
  for (const auto& c : cases) {
    wchar_t out[16];
    wmemset(out, L'#', 16);
    EXPECT_EQ(AnsiRegistryTextToWide(c.type, c.data.data(), static_cast<DWORD>(c.data.size()), out, c.outChars),
              c.result)
        << "case " << index;
    EXPECT_EQ(Converted(out, c.expected.size()), c.expected) << "case " << index;
    ++index;
  }
  wchar_t out[4];
  EXPECT_EQ(AnsiRegistryTextToWide(REG_SZ, nullptr, 0, out, 4), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(AnsiRegistryTextToWide(REG_SZ, "a", 1, nullptr, 4), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(AnsiRegistryTextToWide(REG_SZ, "a", 1, out, 0), ERROR_INVALID_PARAMETER);
}

// A scratch key below HKCU, removed before and after each test. Each test
// executable has its own key: they run side by side in one prefix.
class ReadRegistryTextAnsiTest : public ::testing::Test {
 protected:
  static constexpr const wchar_t* kKey = L"Software\\RvqTest\\AnsiRead";

  void SetUp() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, kKey);
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key_.put(), nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    key_.reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, kKey);
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\RvqTest");  // only once empty
  }

  void SetWide(DWORD type, const std::wstring& text) {
    ASSERT_EQ(RegSetValueExW(key_.get(), L"SourceDisk", 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
  }

  LONG Read(DWORD* type) {
    wmemset(buffer_, L'#', rvqupgd::kSourceDiskChars);
    buffer_[0] = L'\0';
    *type = REG_NONE;
    return ReadRegistryTextAnsi(HKEY_CURRENT_USER, kKey, L"SourceDisk", type, buffer_, sizeof buffer_);
  }

  Trevalk::UniqueHKey key_;
  wchar_t buffer_[rvqupgd::kSourceDiskChars];
};

TEST_F(ReadRegistryTextAnsiTest, ReadsAndConvertsText) {
  SetWide(REG_SZ, L"Tovrin \xE9t\xE9,build=42");
  DWORD type = 0;
  EXPECT_EQ(Read(&type), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_STREQ(buffer_, L"Tovrin \xE9t\xE9,build=42");
}

TEST_F(ReadRegistryTextAnsiTest, LengthLimitIs259Characters) {
  // 260 characters are 261 ANSI bytes, which the first query takes whole;
  // only the conversion back finds they do not fit.
  const struct {
    size_t length;
    LONG result;
  } cases[] = {{258, ERROR_SUCCESS}, {259, ERROR_SUCCESS}, {260, ERROR_MORE_DATA}, {600, ERROR_MORE_DATA}};
  for (const auto& c : cases) {
    const std::wstring text = L"x,build=5," + std::wstring(c.length - 10, L'p');
    SetWide(REG_SZ, text);
    DWORD type = 0;
    EXPECT_EQ(Read(&type), c.result) << c.length;
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    if (c.result == ERROR_SUCCESS) {
      EXPECT_EQ(std::wstring(buffer_), text);
    } else {
      EXPECT_EQ(buffer_[0], L'\0') << "a text that does not fit is never used cut";
    }
  }
}

TEST_F(ReadRegistryTextAnsiTest, MultiStringIsConvertedStringByString) {
  const wchar_t data[] = L"a,build=3\0b\0";
  ASSERT_EQ(RegSetValueExW(key_.get(), L"SourceDisk", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data),
                           sizeof data),
            ERROR_SUCCESS);
  DWORD type = 0;
  EXPECT_EQ(Read(&type), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(std::wstring(buffer_, 13), std::wstring(L"a,build=3\0b\0\0", 13));
}

TEST_F(ReadRegistryTextAnsiTest, OtherTypesComeBackRaw) {
  SetWide(REG_EXPAND_SZ, L"x,build=3");
  DWORD type = 0;
  EXPECT_EQ(Read(&type), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
  // The ANSI form of the text, as the first query left it: not UTF-16.
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer_)), "x,build=3");

  const DWORD number = 7;
  ASSERT_EQ(RegSetValueExW(key_.get(), L"SourceDisk", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4),
            ERROR_SUCCESS);
  EXPECT_EQ(Read(&type), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  DWORD stored = 0;
  memcpy(&stored, buffer_, sizeof stored);
  EXPECT_EQ(stored, 7u);
}

TEST_F(ReadRegistryTextAnsiTest, EmptyTextAndMissingValueOrKey) {
  SetWide(REG_SZ, L"");
  DWORD type = 0;
  EXPECT_EQ(Read(&type), ERROR_SUCCESS);
  EXPECT_EQ(buffer_[0], L'\0');

  ASSERT_EQ(RegDeleteValueW(key_.get(), L"SourceDisk"), ERROR_SUCCESS);
  EXPECT_EQ(Read(&type), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(buffer_[0], L'\0');

  EXPECT_EQ(ReadRegistryTextAnsi(HKEY_CURRENT_USER, L"Software\\RvqTest\\AnsiReadMissing", L"SourceDisk", &type,
                                 buffer_, sizeof buffer_),
            ERROR_FILE_NOT_FOUND);
}

}  // namespace
