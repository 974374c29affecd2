// CObfuscatedRegKey against Wine's registry: the stored records, reading
// them back through the typed accessors, and what a reader refuses.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "codec/md5.h"
#include "registry/obfuscated_reg_key.h"
#include "registry_fixture.h"

namespace {

using Trevalk::CObfuscatedRegKey;
using Trevalk::CRegKey;

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

uint32_t Le32(const std::string& bytes, size_t at) {
  uint32_t v = 0;
  std::memcpy(&v, bytes.data() + at, 4);
  return v;
}

void Reseal(std::string& record) {
  std::memset(&record[16], 0, 16);
  Trevalk::codec::ComputeDigest(reinterpret_cast<const uint8_t*>(record.data()), record.size(),
                                reinterpret_cast<uint8_t*>(&record[16]), 16);
}

class ObfuscatedRegKeyTest : public rvqtest::RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    ASSERT_EQ(ERROR_SUCCESS, key_.Open(HKEY_CURRENT_USER, path_.c_str()));
  }
  CObfuscatedRegKey key_;
};

TEST_F(ObfuscatedRegKeyTest, DwordRecordOnDisk) {
  ASSERT_EQ(0, key_.SetDWORDValue(L"one", 1));
  DWORD type = 0;
  const std::string raw = GetRaw(L"one", &type);
  EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
  // Computed independently (Python hashlib and the cipher rules).
  EXPECT_EQ("425852470100000004000000040000008B3B22AD8D703B79FB9463C793E1337111E0B49D", Hex(raw));
  DWORD value = 0;
  EXPECT_EQ(0, key_.QueryDWORDValue(L"one", value));
  EXPECT_EQ(1u, value);
  // The same value written again gives the same bytes.
  ASSERT_EQ(0, key_.SetDWORDValue(L"again", 1));
  EXPECT_EQ(raw, GetRaw(L"again"));
}

TEST_F(ObfuscatedRegKeyTest, TypedValuesRoundTrip) {
  const GUID guid = {0x3b7a41c9, 0x58e2, 0x4d1f, {0xa6, 0xc3, 0x92, 0xf0, 0xb8, 0xe5, 0xd7, 0x14}};
  ASSERT_EQ(0, key_.SetQWORDValue(L"q", 0xFEDCBA9876543210ull));
  ASSERT_EQ(0, key_.SetStringValue(L"s", L"Gr\u00fc\u00dfe \u20ac"));
  ASSERT_EQ(0, key_.SetBinaryValue(L"b", "\x01\x00\x02", 3));
  ASSERT_EQ(0, key_.SetMultiStringValue(L"m", L"eins\0\u00e9\0"));
  ASSERT_EQ(0, key_.SetGUIDValue(L"g", guid));
  ULONGLONG q = 0;
  std::wstring s;
  char b[8];
  ULONG bsize = sizeof(b);
  GUID g{};
  EXPECT_EQ(0, key_.QueryQWORDValue(L"q", q));
  EXPECT_EQ(0xFEDCBA9876543210ull, q);
  EXPECT_EQ(0, key_.QueryStringValue(L"s", s));
  EXPECT_EQ(L"Gr\u00fc\u00dfe \u20ac", s);
  EXPECT_EQ(0, key_.QueryBinaryValue(L"b", b, &bsize));
  EXPECT_EQ(3u, bsize);
  EXPECT_EQ(0, memcmp("\x01\x00\x02", b, 3));
  EXPECT_EQ(0, key_.QueryGUIDValue(L"g", g));
  EXPECT_TRUE(IsEqualGUID(guid, g));

  // UTF-8 payload: the multi-string is "eins\0" + "\xC3\xA9\0" + "\0".
  EXPECT_EQ(9u, Le32(GetRaw(L"m"), 8));
  wchar_t m[16];
  ULONG chars = 16;
  ASSERT_EQ(0, key_.QueryMultiStringValue(L"m", m, &chars));
  EXPECT_EQ(8u, chars);
  EXPECT_EQ(0, memcmp(L"eins\0\u00e9\0", m, 8 * sizeof(wchar_t)));
  chars = 4;
  EXPECT_EQ(ERROR_MORE_DATA, key_.QueryMultiStringValue(L"m", m, &chars));
  DWORD size = 4 * sizeof(wchar_t);
  EXPECT_EQ(ERROR_MORE_DATA, key_.QueryValue(L"m", nullptr, m, &size));
  EXPECT_EQ(16u, size) << "needed bytes reported";
  EXPECT_EQ(0, memcmp(L"\0\0\0", m, 4 * sizeof(wchar_t))) << "buffer cleared";
}

TEST_F(ObfuscatedRegKeyTest, StringLengthsAndEmptyText) {
  ASSERT_EQ(0, key_.SetStringValue(L"empty", L""));
  const std::string empty = GetRaw(L"empty");
  EXPECT_EQ(33u, empty.size());
  EXPECT_EQ(1u, Le32(empty, 8));
  std::wstring text = L"x";
  EXPECT_EQ(0, key_.QueryStringValue(L"empty", text));
  EXPECT_EQ(L"", text);

  // Five UTF-16 characters, eight UTF-8 bytes: the buffer-less query
  // reports the UTF-16 count.
  ASSERT_EQ(0, key_.SetStringValue(L"s", L"\u20ac\u20ac12"));
  EXPECT_EQ(9u, Le32(GetRaw(L"s"), 8));
  ULONG chars = 0;
  EXPECT_EQ(0, key_.QueryStringValue(L"s", nullptr, &chars));
  EXPECT_EQ(5u, chars);
  wchar_t small[3];
  chars = 3;
  EXPECT_EQ(ERROR_MORE_DATA, key_.QueryStringValue(L"s", small, &chars));
}

TEST_F(ObfuscatedRegKeyTest, StringWriteNeverReadsPastTheGivenSize) {
  // Three characters vouched for, no terminator within them.
  const wchar_t text[] = L"abcdef";
  ASSERT_EQ(0, key_.SetValue(L"cut", REG_SZ, text, 3 * sizeof(wchar_t)));
  EXPECT_EQ(4u, Le32(GetRaw(L"cut"), 8)) << "abc and the terminator";
  std::wstring read;
  EXPECT_EQ(0, key_.QueryStringValue(L"cut", read));
  EXPECT_EQ(L"abc", read);
  // A terminator before the size still ends the text.
  ASSERT_EQ(0, key_.SetValue(L"short", REG_SZ, L"ab\0cd", 5 * sizeof(wchar_t)));
  EXPECT_EQ(0, key_.QueryStringValue(L"short", read));
  EXPECT_EQ(L"ab", read);
  // The same bound for multi-strings.
  ASSERT_EQ(0, key_.SetValue(L"multi", REG_MULTI_SZ, L"ab\0cdef", 5 * sizeof(wchar_t)));
  wchar_t m[16];
  ULONG chars = 16;
  ASSERT_EQ(0, key_.QueryMultiStringValue(L"multi", m, &chars));
  EXPECT_EQ(7u, chars);
  EXPECT_EQ(0, memcmp(L"ab\0cd\0", m, 7 * sizeof(wchar_t)));
}

TEST_F(ObfuscatedRegKeyTest, AnyChangedByteMakesTheReadFail) {
  ASSERT_EQ(0, key_.SetDWORDValue(L"v", 0x01020304));
  const std::string good = GetRaw(L"v");
  ASSERT_EQ(36u, good.size());
  for (size_t at = 0; at < good.size(); ++at) {
    std::string bad = good;
    bad[at] = static_cast<char>(bad[at] ^ 0x20);
    PutRaw(L"v", REG_BINARY, bad.data(), static_cast<DWORD>(bad.size()));
    DWORD value = 0;
    EXPECT_EQ(ERROR_INVALID_DATA, key_.QueryDWORDValue(L"v", value)) << "byte " << at;
  }
  std::string other = good;
  other[4] = 9;  // another format version, sealed again
  Reseal(other);
  PutRaw(L"v", REG_BINARY, other.data(), static_cast<DWORD>(other.size()));
  DWORD value = 0;
  EXPECT_EQ(0, key_.QueryDWORDValue(L"v", value));
  EXPECT_EQ(0x01020304u, value);
}

TEST_F(ObfuscatedRegKeyTest, PlainAndMalformedValuesAreRefused) {
  CRegKey plain;
  ASSERT_EQ(0, plain.Open(HKEY_CURRENT_USER, path_.c_str()));
  ASSERT_EQ(0, plain.SetDWORDValue(L"plain", 5));
  ASSERT_EQ(0, plain.SetBinaryValue(L"short", "BXRG", 4));
  std::string empty(32, '\0');
  std::memcpy(&empty[0], "BXRG\x01", 5);
  empty[12] = REG_DWORD;
  Reseal(empty);
  PutRaw(L"emptypayload", REG_BINARY, empty.data(), 32);
  DWORD value = 0;
  EXPECT_EQ(ERROR_INVALID_DATA, key_.QueryDWORDValue(L"plain", value));
  EXPECT_EQ(ERROR_INVALID_DATA, key_.QueryDWORDValue(L"short", value));
  EXPECT_EQ(ERROR_DECRYPTION_FAILED, key_.QueryDWORDValue(L"emptypayload", value));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, key_.QueryDWORDValue(L"missing", value));
  DWORD type = 0;
  EXPECT_EQ(0, key_.QueryValue(L"emptypayload", &type, nullptr, nullptr)) << "type alone needs no unscrambling";
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, key_.QueryValue(L"plain", nullptr, nullptr, nullptr));

  // A refused write leaves the previous value.
  ASSERT_EQ(0, key_.SetDWORDValue(L"kept", 8));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, key_.SetValue(L"kept", REG_DWORD, &value, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, key_.SetValue(L"kept", REG_DWORD, nullptr, 4));
  EXPECT_EQ(0, key_.QueryDWORDValue(L"kept", value));
  EXPECT_EQ(8u, value);
  // A DWORD record with a 2-byte payload is not a DWORD.
  ASSERT_EQ(0, key_.SetValue(L"two", REG_DWORD, "\x01\x02", 2));
  EXPECT_EQ(ERROR_INVALID_DATA, key_.QueryDWORDValue(L"two", value));
}

TEST_F(ObfuscatedRegKeyTest, NamesGoThroughTheAnsiInterfaceAndResourceIds) {
  ASSERT_EQ(0, key_.SetDWORDValue(MAKEINTRESOURCEW(101), 7));
  DWORD value = 0;
  EXPECT_EQ(0, key_.QueryDWORDValue(L"Logging Mechanism", value));
  EXPECT_EQ(7u, value);
  EXPECT_NE("<missing>", GetRaw(L"Logging Mechanism"));
  // An identifier the string table lacks addresses the default value.
  ASSERT_EQ(0, key_.SetDWORDValue(MAKEINTRESOURCEW(999), 9));
  EXPECT_EQ(0, key_.QueryDWORDValue(nullptr, value));
  EXPECT_EQ(9u, value);
  EXPECT_NE("<missing>", GetRaw(nullptr));
  // Code page 1252 under Wine: e-acute converts and is found by its
  // UTF-16 name as well.
  ASSERT_EQ(0, key_.SetDWORDValue(L"caf\u00e9", 3));
  EXPECT_EQ(36u, GetRaw(L"caf\u00e9").size());
}

}  // namespace
