// Parsing and decision of the upgrade detector, as plain functions.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "test_support.h"
#include "upgrade_check.h"

namespace {

using namespace rvqupgd;

struct DecimalCase {
  const char* text;
  int expected;
};
const DecimalCase kDecimalCases[] = {
    {"12", 12},
    {"  \t\n\v\f\r42", 42},
    {"+7", 7},
    {"-5", -5},
    {"12abc", 12},
    {"abc", 0},
    {"", 0},
    {"-", 0},
    {"+-3", 0},
    {"- 3", 0},
    {"007", 7},
    {"2147483647", INT_MAX},
    {"2147483648", INT_MAX},
    {"99999999999", INT_MAX},
    {"999999999999999999999999999999", INT_MAX},
    {"-2147483648", INT_MIN},
    {"-2147483649", INT_MIN},
    {"-99999999999999999999", INT_MIN},
    {"1 2", 1},
    {"\xA0" "5", 0},  // a no-break space is not white space in the "C" locale
};

TEST(ParseDecimal, NarrowAndWideAgree) {
  for (const auto& c : kDecimalCases) {
    EXPECT_EQ(ParseDecimal(c.text), c.expected) << '"' << c.text << '"';
    std::wstring wide;
    for (const char* p = c.text; *p; ++p) wide += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    EXPECT_EQ(ParseDecimal(wide.c_str()), c.expected) << '"' << c.text << "\" (wide)";
  }
  EXPECT_EQ(ParseDecimal(static_cast<const char*>(nullptr)), 0);
  EXPECT_EQ(ParseDecimal(static_cast<const wchar_t*>(nullptr)), 0);
  // Full-width digits are not decimal digits here.
  EXPECT_EQ(ParseDecimal(L"\xFF11\xFF12"), 0);
}

TEST(NewBuildFromArguments, OneArgumentOrTheDefault) {
  const char* none[] = {"RvqUpgd.exe"};
  const char* one[] = {"RvqUpgd.exe", "500"};
  const char* two[] = {"RvqUpgd.exe", "500", "x"};
  const char* letters[] = {"RvqUpgd.exe", "abc"};
  const char* maxInt[] = {"RvqUpgd.exe", "2147483647"};
  const char* overflow[] = {"RvqUpgd.exe", "99999999999"};
  const char* negativeOverflow[] = {"RvqUpgd.exe", "-99999999999"};
  const char* trailing[] = {"RvqUpgd.exe", "12abc"};
  EXPECT_EQ(NewBuildFromArguments(1, none), 10);
  EXPECT_EQ(NewBuildFromArguments(0, nullptr), 10);
  EXPECT_EQ(NewBuildFromArguments(2, one), 500);
  EXPECT_EQ(NewBuildFromArguments(3, two), 10);
  EXPECT_EQ(NewBuildFromArguments(2, letters), 0);
  EXPECT_EQ(NewBuildFromArguments(2, maxInt), 10);
  EXPECT_EQ(NewBuildFromArguments(2, overflow), 10);
  EXPECT_EQ(NewBuildFromArguments(2, negativeOverflow), INT_MIN);
  EXPECT_EQ(NewBuildFromArguments(2, trailing), 12);
}

TEST(LowerCaseInPlace, OnlyAsciiLettersAndOnlyUpToCapacity) {
  wchar_t text[] = L"X,BUILD=7,Y \xC4\x39E@[`{";
  LowerCaseInPlace(text, 64);
  EXPECT_STREQ(text, L"x,build=7,y \xC4\x39E@[`{");

  wchar_t bounded[] = L"ABCDEF";
  LowerCaseInPlace(bounded, 3);
  EXPECT_STREQ(bounded, L"abcDEF");
}

struct InstalledCase {
  const wchar_t* text;  // already lower-cased
  bool found;
  int build;
};
const InstalledCase kInstalledCases[] = {
    {L"product,build=9", true, 9},
    {L"x,build=7,y", true, 7},
    {L"x,build=", true, kNoInstalledBuild},
    {L"x,build= 12", true, 12},
    {L"x,build=\t+12", true, 12},
    {L"a,build=3,b,build=9", true, 3},
    {L"x,build=0", true, 0},
    {L"x,build=-4", true, -4},
    {L"x,build=abc", true, 0},
    {L"x,build=2147483647", true, kNoInstalledBuild},
    {L"x,build=99999999999", true, kNoInstalledBuild},
    {L"x,build=12abc", true, 12},
    {L",build=5", true, 5},
    {L"build=5", false, 0},
    {L"x, build=5", false, 0},
    {L"x,build:5", false, 0},
    {L"x,BUILD=5", false, 0},  // the caller lower-cases first
    {L"", false, 0},
};

TEST(InstalledBuildFromText, FirstMarkerDecides) {
  for (const auto& c : kInstalledCases) {
    const std::optional<int> build = InstalledBuildFromText(c.text);
    EXPECT_EQ(build.has_value(), c.found) << rvqtest::ToUtf8(c.text);
    if (build && c.found) {
      EXPECT_EQ(*build, c.build) << rvqtest::ToUtf8(c.text);
    }
  }
  EXPECT_FALSE(InstalledBuildFromText(nullptr).has_value());
}

TEST(ShouldSetRestartFlag, OnlyARealOlderBuild) {
  const struct {
    int installed, next;
    bool expected;
  } cases[] = {
      {9, 10, true},  {10, 10, false},         {11, 10, false},     {0, 10, false},
      {-1, 10, false}, {1, 2, true},           {1, 1, false},       {3, 0, false},
      {5, -5, false},  {INT_MAX - 1, INT_MAX, true}, {INT_MIN, 10, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ShouldSetRestartFlag(c.installed, c.next), c.expected) << c.installed << " vs " << c.next;
  }
}

}  // namespace
