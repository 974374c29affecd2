// The digest, the value cipher and the record and INI value codecs, as plain
// functions over bytes. Expected bytes marked "independent" were computed
// with a separate script (Python hashlib MD5 and a direct transcription of
// the cipher's rules), not with this code.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "codec/codec_errors.h"
#include "codec/ini_value_codec.h"
#include "codec/md5.h"
#include "codec/record_codec.h"
#include "codec/value_cipher.h"

namespace {

using namespace Trevalk::codec;
using Bytes = std::vector<uint8_t>;

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string Hex(const uint8_t* data, size_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (size_t k = 0; k < n; ++k) {
    out += digits[data[k] >> 4];
    out += digits[data[k] & 15];
  }
  return out;
}
std::string Hex(const Bytes& b) { return Hex(b.data(), b.size()); }

TEST(Md5Test, Rfc1321Suite) {
  const struct {
    const char* input;
    const char* digest;
  } suite[] = {
      {"", "D41D8CD98F00B204E9800998ECF8427E"},
      {"a", "0CC175B9C0F1B6A831C399E269772661"},
      {"abc", "900150983CD24FB0D6963F7D28E17F72"},
      {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
      {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "D174AB98D277D9F5A5611C2C9F419D9F"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57EDF4A22BE3C955AC49DA2E2107B67A"},
  };
  for (const auto& c : suite) {
    uint8_t digest[16];
    ASSERT_EQ(0, ComputeDigest(reinterpret_cast<const uint8_t*>(c.input), strlen(c.input), digest, 16));
    EXPECT_EQ(c.digest, Hex(digest, 16)) << '"' << c.input << '"';
    EXPECT_EQ(0, VerifyDigest(reinterpret_cast<const uint8_t*>(c.input), strlen(c.input), digest, 16));
    digest[15] ^= 1;
    EXPECT_EQ(-1, VerifyDigest(reinterpret_cast<const uint8_t*>(c.input), strlen(c.input), digest, 16));
  }
}

TEST(Md5Test, IncrementalUpdatesAcrossBlockBoundariesAndBadArguments) {
  Bytes data(1000);
  for (size_t k = 0; k < data.size(); ++k) data[k] = static_cast<uint8_t>(k * 7);
  uint8_t whole[16], pieces[16];
  ASSERT_EQ(0, ComputeDigest(data.data(), data.size(), whole, 16));
  Md5 md5;
  for (size_t at = 0, step = 1; at < data.size(); at += step, step = step * 3 % 97 + 1) {
    md5.Update(data.data() + at, std::min(step, data.size() - at));
  }
  md5.Final(pieces);
  EXPECT_EQ(Hex(whole, 16), Hex(pieces, 16));
  uint8_t out[16];
  EXPECT_EQ(-1, ComputeDigest(data.data(), 1, out, 15));
  EXPECT_EQ(-1, ComputeDigest(data.data(), 1, nullptr, 16));
  EXPECT_EQ(-1, ComputeDigest(nullptr, 1, out, 16));
  EXPECT_EQ(-1, VerifyDigest(data.data(), 1, whole, 17));
}

TEST(ValueCipherTest, KnownAnswers) {  // independent
  const Bytes plain = B("Plaintext");
  const Bytes key = B("Key");
  Bytes out(plain.size());
  ValueCipher one(key.data(), 3, 1);
  ASSERT_TRUE(one.Scramble(plain.data(), out.data(), out.size()));
  EXPECT_EQ("9B0D4C54F254585A3D", Hex(out));
  ValueCipher three(key.data(), 3, 3);
  ASSERT_TRUE(three.Scramble(plain.data(), out.data(), out.size()));
  EXPECT_EQ("AF1E05C3A324A76A3F", Hex(out));
}

TEST(ValueCipherTest, UnscrambleInvertsScrambleForAnyKeyAndRounds) {
  Bytes longKey(300);
  for (size_t k = 0; k < longKey.size(); ++k) longKey[k] = static_cast<uint8_t>(k * 31 + 5);
  const Bytes keys[] = {Bytes(), B("k"), B(kRegistryRecordKey), B(kIniValueKey), longKey};
  for (size_t length : {1u, 2u, 17u, 256u, 1000u}) {
    Bytes plain(length);
    for (size_t k = 0; k < length; ++k) plain[k] = static_cast<uint8_t>(k * k + 3);
    for (const Bytes& key : keys) {
      for (int rounds = 1; rounds <= 4; ++rounds) {
        Bytes scrambled(length), back(length);
        ValueCipher writer(key.data(), static_cast<int>(key.size()), rounds);
        ASSERT_TRUE(writer.Scramble(plain.data(), scrambled.data(), length));
        ValueCipher reader(key.data(), static_cast<int>(key.size()), rounds);
        ASSERT_TRUE(reader.Unscramble(scrambled.data(), back.data(), length));
        EXPECT_EQ(plain, back) << "key " << key.size() << " rounds " << rounds << " length " << length;
        if (length >= 17) {
          EXPECT_NE(plain, scrambled);
        }
        // A fresh cipher gives the same bytes: values written twice match.
        Bytes again(length);
        ValueCipher(key.data(), static_cast<int>(key.size()), rounds).Scramble(plain.data(), again.data(), length);
        EXPECT_EQ(scrambled, again);
      }
    }
  }
}

TEST(ValueCipherTest, DefaultKeyRoundsAndRefusals) {
  const Bytes plain = B("some value");
  auto scramble = [&](const uint8_t* key, int keyLength, int rounds) {
    Bytes out(plain.size());
    EXPECT_TRUE(ValueCipher(key, keyLength, rounds).Scramble(plain.data(), out.data(), out.size()));
    return out;
  };
  const Bytes defaultKey = B(kDefaultCipherKey);
  EXPECT_EQ(defaultKey.size(), kCipherKeyLength);
  EXPECT_EQ(scramble(defaultKey.data(), 38, 1), scramble(nullptr, 0, 1));
  EXPECT_EQ(scramble(defaultKey.data(), 38, 1), scramble(plain.data(), -4, 1));
  EXPECT_EQ(scramble(nullptr, 0, 1), scramble(nullptr, 0, 0));
  EXPECT_EQ(scramble(nullptr, 0, 1), scramble(nullptr, 0, -3));
  EXPECT_NE(scramble(nullptr, 0, 1), scramble(nullptr, 0, 2));
  // Feedback: changing one byte changes every later output byte's input.
  Bytes changed = plain;
  changed[0] ^= 1;
  Bytes a(plain.size()), b(plain.size());
  ValueCipher(nullptr, 0, 1).Scramble(plain.data(), a.data(), a.size());
  ValueCipher(nullptr, 0, 1).Scramble(changed.data(), b.data(), b.size());
  for (size_t k = 0; k < a.size(); ++k) EXPECT_NE(a[k], b[k]) << k;

  ValueCipher cipher(nullptr, 0, 1);
  uint8_t out[4] = {9, 9, 9, 9};
  EXPECT_FALSE(cipher.Scramble(plain.data(), out, 0));
  EXPECT_FALSE(cipher.Scramble(nullptr, out, 4));
  EXPECT_FALSE(cipher.Unscramble(plain.data(), nullptr, 4));
  EXPECT_EQ(9, out[0]);
}

Bytes EncodeDword(uint32_t value) {
  Bytes record(36);
  uint8_t payload[4];
  PutLe32(payload, value);
  EXPECT_EQ(kOk, EncodeRecord(4, payload, 4, record.data()));
  return record;
}

TEST(RecordCodecTest, DwordRecordLayout) {
  const Bytes record = EncodeDword(1);
  // independent
  EXPECT_EQ("425852470100000004000000040000008B3B22AD8D703B79FB9463C793E1337111E0B49D", Hex(record));
  Bytes copy = record;
  RecordInfo info;
  ASSERT_EQ(kOk, ValidateRecord(copy.data(), copy.size(), &info));
  EXPECT_EQ(4u, info.valueType);
  EXPECT_EQ(4u, info.payloadLength);
  uint8_t out[4];
  ASSERT_EQ(kOk, UnscrambleRecordPayload(copy.data(), info, out, 4));
  EXPECT_EQ(1u, GetLe32(out));
  EXPECT_EQ(kMoreData, UnscrambleRecordPayload(copy.data(), info, out, 3));
}

TEST(RecordCodecTest, AnySingleChangedByteIsInvalidData) {
  const Bytes record = EncodeDword(0x12345678);
  for (size_t at = 0; at < record.size(); ++at) {
    for (uint8_t flip : {0x01, 0x80}) {
      Bytes bad = record;
      bad[at] ^= flip;
      RecordInfo info;
      EXPECT_EQ(kInvalidData, ValidateRecord(bad.data(), bad.size(), &info)) << "byte " << at;
    }
  }
  for (size_t size : {0u, 1u, 31u, 35u}) {
    Bytes cut(record.begin(), record.begin() + size);
    RecordInfo info;
    EXPECT_EQ(kInvalidData, ValidateRecord(cut.data(), cut.size(), &info)) << size;
  }
}

// Rewrites a record's digest after an edit, as a writer of that record would.
void Reseal(Bytes& record) {
  std::memset(record.data() + 16, 0, 16);
  ComputeDigest(record.data(), record.size(), record.data() + 16, 16);
}

TEST(RecordCodecTest, VersionIsNotCheckedButMagicAndLengthAre) {
  Bytes v7 = EncodeDword(42);
  PutLe32(v7.data() + 4, 7);
  Reseal(v7);
  RecordInfo info;
  ASSERT_EQ(kOk, ValidateRecord(v7.data(), v7.size(), &info));
  uint8_t out[4];
  ASSERT_EQ(kOk, UnscrambleRecordPayload(v7.data(), info, out, 4));
  EXPECT_EQ(42u, GetLe32(out));

  Bytes magic = EncodeDword(42);
  magic[3] = 'H';
  Reseal(magic);
  EXPECT_EQ(kInvalidData, ValidateRecord(magic.data(), magic.size(), &info));
  Bytes length = EncodeDword(42);
  PutLe32(length.data() + 8, 5);
  Reseal(length);
  EXPECT_EQ(kInvalidData, ValidateRecord(length.data(), length.size(), &info));
}

TEST(RecordCodecTest, EmptyPayloadValidatesButCannotBeUnscrambled) {
  Bytes empty(32, 0);
  std::memcpy(empty.data(), kRecordMagic, 4);
  PutLe32(empty.data() + 4, 1);
  PutLe32(empty.data() + 12, 3);
  Reseal(empty);
  RecordInfo info;
  ASSERT_EQ(kOk, ValidateRecord(empty.data(), empty.size(), &info));
  EXPECT_EQ(0u, info.payloadLength);
  uint8_t out[1];
  EXPECT_EQ(kDecryptionFailed, UnscrambleRecordPayload(empty.data(), info, out, 1));
  EXPECT_EQ(kEncryptionFailed, EncodeRecord(3, out, 0, empty.data()));
}

TEST(RecordCodecTest, AnotherKeyPassesTheDigestButGivesOtherBytes) {
  const Bytes payload = B("secret");
  Bytes record(32 + payload.size());
  const Bytes otherKey = B("{00000000-0000-0000-0000-000000000000}");
  ValueCipher(otherKey.data(), 38, 1).Scramble(payload.data(), record.data() + 32, payload.size());
  std::memcpy(record.data(), kRecordMagic, 4);
  PutLe32(record.data() + 4, 1);
  PutLe32(record.data() + 8, static_cast<uint32_t>(payload.size()));
  PutLe32(record.data() + 12, 3);
  Reseal(record);
  RecordInfo info;
  ASSERT_EQ(kOk, ValidateRecord(record.data(), record.size(), &info));
  Bytes out(payload.size());
  ASSERT_EQ(kOk, UnscrambleRecordPayload(record.data(), info, out.data(), out.size()));
  EXPECT_NE(payload, out);
}

TEST(IniValueCodecTest, HeaderLineRecognition) {
  const std::wstring header74 = L"42585247" + std::wstring(66, L'0');
  const struct {
    const wchar_t* key;
    std::wstring value;
    bool header;
  } cases[] = {
      {L"_MaxSize", header74, true},
      {L"MaxSize", header74, false},
      {L"_MaxSize", header74.substr(0, 73), false},
      {L"_MaxSize", header74 + L"0", false},
      {L"_MaxSize", L"42585248" + std::wstring(66, L'0'), false},
      {L"_", header74, true},
      {L"", header74, false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.header, IsIniHeaderLine(c.key, c.value)) << c.key << " " << c.value.size();
}

TEST(IniValueCodecTest, HexReading) {
  uint8_t out[5];
  const std::wstring text = L"0aFfG1 7Z";
  ReadHexBytes(text.c_str(), text.size(), out, 5);
  EXPECT_EQ(0x0A, out[0]);
  EXPECT_EQ(0xFF, out[1]);
  EXPECT_EQ(0x00, out[2]) << "G is not hexadecimal";
  EXPECT_EQ(0x00, out[3]) << "a blank is not hexadecimal";
  EXPECT_EQ(0x00, out[4]) << "beyond the text";
  EXPECT_EQ(4u, IniPayloadBytes(10));
  EXPECT_EQ(5u, IniPayloadBytes(11));
  EXPECT_EQ(0u, IniPayloadBytes(2));
  EXPECT_EQ(0u, IniPayloadBytes(0));
}

TEST(IniValueCodecTest, EncodeDecodeAndTamperDetection) {
  uint8_t payload[4];
  PutLe32(payload, 2);
  uint8_t header[36], scrambled[4];
  ASSERT_EQ(kOk, EncodeIniValue(kIniTypeInteger, payload, 4, header, scrambled));
  // independent (without the two checksum digits)
  EXPECT_EQ("4258524701000000040000000400000001000000B15FD8D042BA1D0525E718112C08094A", Hex(header, 36));
  EXPECT_EQ("A2E2437D", Hex(scrambled, 4));
  IniHeader parsed;
  ASSERT_TRUE(ParseIniHeader(header, &parsed));
  EXPECT_EQ(4u, parsed.type);
  uint8_t out[8];
  ASSERT_EQ(kOk, DecodeIniValue(scrambled, 4, header, out, 8));
  EXPECT_EQ(2u, GetLe32(out));
  EXPECT_EQ(kMoreData, DecodeIniValue(scrambled, 4, header, out, 3));
  EXPECT_EQ(kInvalidData, DecodeIniValue(scrambled, 3, header, out, 8));
  for (size_t at = 0; at < 4; ++at) {
    uint8_t bad[4];
    std::memcpy(bad, scrambled, 4);
    bad[at] ^= 0x10;
    EXPECT_EQ(kInvalidData, DecodeIniValue(bad, 4, header, out, 8)) << at;
  }
  uint8_t badHeader[36];
  std::memcpy(badHeader, header, 36);
  PutLe32(badHeader + 16, 0);
  EXPECT_FALSE(ParseIniHeader(badHeader, &parsed)) << "format flag 0";
  std::memcpy(badHeader, header, 36);
  PutLe32(badHeader + 4, 2);
  EXPECT_FALSE(ParseIniHeader(badHeader, &parsed)) << "version 2";
  EXPECT_EQ(kEncryptionFailed, EncodeIniValue(kIniTypeText, payload, 0, header, scrambled));
}

TEST(IniValueCodecTest, DecimalParsingLikeWideAtoi) {
  const struct {
    const wchar_t* text;
    int value;
  } cases[] = {
      {L"42", 42},           {L"  -17x", -17},        {L"+5", 5},           {L"", 0},
      {L"abc", 0},           {L"\t 12 34", 12},       {L"- 1", 0},          {L"2147483647", 2147483647},
      {L"-2147483648", INT32_MIN}, {L"99999999999", 2147483647}, {L"-99999999999", INT32_MIN},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value, ParseDecimalInt(c.text)) << c.text;
}

}  // namespace
