// Mutation runs with fixed seeds against the real code paths under Wine:
// 10,000 stored records, mutated, read through CObfuscatedRegKey; 10,000
// log.ini files, mutated, loaded by CObfuscatedIniReader. Every answer must
// be one of the documented codes, no output buffer may be written past its
// stated capacity (guard bytes follow every buffer), and an unchanged value
// must read back exactly.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "codec/md5.h"
#include "codec/record_codec.h"
#include "ini/ini_reader.h"
#include "registry/obfuscated_reg_key.h"
#include "registry_fixture.h"
#include "step_test_util.h"
#include "test_support.h"

namespace {

constexpr int kRuns = 10000;
constexpr BYTE kGuard = 0xCD;
constexpr size_t kGuardBytes = 64;

// An output buffer of `capacity` bytes followed by guard bytes.
class GuardedBuffer {
 public:
  explicit GuardedBuffer(size_t capacity) : capacity_(capacity), bytes_(capacity + kGuardBytes, kGuard) {}
  BYTE* data() { return bytes_.data(); }
  bool GuardIntact() const {
    for (size_t k = capacity_; k < bytes_.size(); ++k) {
      if (bytes_[k] != kGuard) return false;
    }
    return true;
  }

 private:
  size_t capacity_;
  std::vector<BYTE> bytes_;
};

std::string RandomBytes(std::mt19937& rng, size_t n) {
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(rng() & 0xFF);
  return out;
}

std::wstring RandomText(std::mt19937& rng, size_t n) {
  static const wchar_t kAlphabet[] = L"abcXYZ019 ,=.;\\\u00e9\u00c4\u4e2d\u0416";
  std::wstring out;
  for (size_t k = 0; k < n; ++k) out.push_back(kAlphabet[rng() % (sizeof(kAlphabet) / sizeof(wchar_t) - 1)]);
  return out;
}

class RecordMutation : public rvqtest::RegistryTest {};

TEST_F(RecordMutation, TenThousandMutatedRecordsReadThroughTheObfuscatedKey) {
  Trevalk::CObfuscatedRegKey key;
  ASSERT_EQ(key.Open(HKEY_CURRENT_USER, path_.c_str(), KEY_READ | KEY_WRITE), ERROR_SUCCESS);
  // The codes the obfuscated key and the typed accessors document (122: a
  // multi-string buffer of fewer than 2 characters; 14: no memory).
  const std::set<LONG> documented = {ERROR_SUCCESS,   ERROR_INVALID_DATA,      ERROR_INVALID_PARAMETER,
                                     ERROR_MORE_DATA, ERROR_DECRYPTION_FAILED, ERROR_INSUFFICIENT_BUFFER,
                                     ERROR_OUTOFMEMORY};
  std::map<LONG, int> seen;
  std::mt19937 rng(20261208);
  int unchangedReadBack = 0;

  for (int run = 0; run < kRuns; ++run) {
    // A valid record of a random type, written by the code under test.
    const DWORD types[] = {REG_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY};
    const DWORD type = types[rng() % 5];
    const std::wstring text = RandomText(rng, rng() % 40);
    std::wstring multi = text + L'\0' + RandomText(rng, rng() % 10) + L'\0' + L'\0';
    const std::string binary = RandomBytes(rng, 1 + rng() % 64);
    LONG set = ERROR_SUCCESS;
    switch (type) {
      case REG_SZ: set = key.SetStringValue(L"v", text.c_str()); break;
      case REG_MULTI_SZ: set = key.SetMultiStringValue(L"v", multi.c_str()); break;
      case REG_DWORD: set = key.SetDWORDValue(L"v", static_cast<DWORD>(rng())); break;
      case REG_QWORD: set = key.SetQWORDValue(L"v", (static_cast<ULONGLONG>(rng()) << 32) | rng()); break;
      default: set = key.SetBinaryValue(L"v", binary.data(), static_cast<ULONG>(binary.size())); break;
    }
    // An empty REG_SZ text is a 1-byte record; only the code may differ.
    ASSERT_TRUE(set == ERROR_SUCCESS || set == ERROR_INVALID_PARAMETER) << run;
    std::string stored = GetRaw(L"v");
    if (stored == "<missing>") stored.clear();

    // The mutation.
    DWORD rawType = REG_BINARY;
    const int strategy = static_cast<int>(rng() % 8);
    switch (strategy) {
      case 0:  // flipped bits
        for (int k = 0, n = 1 + static_cast<int>(rng() % 4); k < n && !stored.empty(); ++k) {
          stored[rng() % stored.size()] ^= static_cast<char>(1u << (rng() % 8));
        }
        break;
      case 1:  // cut short
        stored.resize(stored.empty() ? 0 : rng() % stored.size());
        break;
      case 2:  // grown
        stored += RandomBytes(rng, 1 + rng() % 40);
        break;
      case 3: {  // a valid record around a hostile payload: bad UTF-8, no
                 // terminators, odd sizes, any type
        const DWORD anyTypes[] = {REG_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY, REG_EXPAND_SZ,
                                  static_cast<DWORD>(rng())};
        std::string payload = RandomBytes(rng, rng() % 300);
        if (rng() % 2) {
          for (char& c : payload) c = c == '\0' ? 'x' : c;
        }
        stored.assign(payload.size() + Trevalk::codec::kRecordHeaderSize, '\0');
        Trevalk::codec::EncodeRecord(anyTypes[rng() % 7], reinterpret_cast<const uint8_t*>(payload.data()),
                                     payload.size(), reinterpret_cast<uint8_t*>(&stored[0]));
        break;
      }
      case 4:  // header field changed, digest made right again
        if (stored.size() >= 32) {
          const size_t field = 4 * (1 + rng() % 3);  // version, length or type
          Trevalk::codec::PutLe32(reinterpret_cast<uint8_t*>(&stored[field]), static_cast<uint32_t>(rng()));
          std::string body = stored;
          std::fill(body.begin() + 16, body.begin() + 32, '\0');
          uint8_t digest[16];
          Trevalk::codec::ComputeDigest(reinterpret_cast<const uint8_t*>(body.data()), body.size(), digest, 16);
          std::copy(digest, digest + 16, stored.begin() + 16);
        }
        break;
      case 5:  // stored under another registry type
        rawType = (rng() % 2) ? REG_SZ : REG_DWORD;
        if (rawType == REG_DWORD) stored.resize(4, '\0');
        break;
      default:  // unchanged
        break;
    }
    PutRaw(L"v", rawType, stored.data(), static_cast<DWORD>(stored.size()));

    // Size and type first, then reads into exact, short and guarded buffers.
    DWORD readType = 0, size = 0;
    const LONG sized = key.QueryValue(L"v", &readType, nullptr, &size);
    ++seen[sized];
    ASSERT_EQ(documented.count(sized), 1u) << "run " << run << " answered " << sized;
    const DWORD capacities[] = {size, size ? static_cast<DWORD>(rng() % size) : 0, size + 8};
    for (DWORD capacity : capacities) {
      GuardedBuffer buffer(capacity);
      DWORD inOut = capacity;
      const LONG read = key.QueryValue(L"v", &readType, buffer.data(), &inOut);
      ++seen[read];
      ASSERT_EQ(documented.count(read), 1u) << "run " << run << " answered " << read;
      ASSERT_TRUE(buffer.GuardIntact()) << "run " << run << ": written past " << capacity << " bytes";
    }
    std::wstring asText;
    DWORD asDword = 0;
    for (const LONG typed : {key.QueryStringValue(L"v", asText), key.QueryDWORDValue(L"v", asDword)}) {
      ++seen[typed];
      ASSERT_EQ(documented.count(typed), 1u) << "run " << run << " answered " << typed;
    }
    ULONG chars = static_cast<ULONG>(rng() % 64);
    GuardedBuffer multiBuffer(chars * sizeof(wchar_t));
    const LONG multiRead = key.QueryMultiStringValue(L"v", reinterpret_cast<LPWSTR>(multiBuffer.data()), &chars);
    ++seen[multiRead];
    ASSERT_TRUE(multiBuffer.GuardIntact()) << "run " << run;
    ASSERT_EQ(documented.count(multiRead), 1u) << "run " << run << " answered " << multiRead;

    if (strategy == 7 && set == ERROR_SUCCESS) {
      // Unchanged: the value reads back as written.
      if (type == REG_SZ) {
        ASSERT_EQ(key.QueryStringValue(L"v", asText), ERROR_SUCCESS) << run;
        ASSERT_EQ(asText, text) << run;
      } else if (type == REG_BINARY) {
        std::string back(binary.size(), '\0');
        ULONG backSize = static_cast<ULONG>(back.size());
        ASSERT_EQ(key.QueryBinaryValue(L"v", &back[0], &backSize), ERROR_SUCCESS) << run;
        ASSERT_EQ(back, binary) << run;
      } else {
        ASSERT_EQ(sized, ERROR_SUCCESS) << run;
      }
      ++unchangedReadBack;
    }
  }
  EXPECT_GT(unchangedReadBack, kRuns / 20);
  for (const auto& code : seen) std::printf("record mutation: code %ld x %d\n", code.first, code.second);
}

// ---- log.ini -----------------------------------------------------------

// A log.ini as the text writer keeps it, written by the reader itself.
std::string MakeLogIni(const std::wstring& path) {
  Trevalk::CObfuscatedIniReader writer;
  writer.Load(path);
  writer.WriteInt(L"Config", L"Enable", 1);
  writer.WriteInt(L"Config", L"MaxSize", 262144);
  writer.WriteInt(L"Config", L"LastLogIdx", 2);
  writer.WriteString(L"Config", L"LogName", L"DetectRVQdll");
  return rvqtest::ReadFileBytes(path);
}

std::string MutateText(std::mt19937& rng, std::string text) {
  const int steps = 1 + static_cast<int>(rng() % 4);
  for (int s = 0; s < steps; ++s) {
    const size_t at = text.empty() ? 0 : rng() % text.size();
    switch (rng() % 9) {
      case 0: if (!text.empty()) text[at] ^= static_cast<char>(1u << (rng() % 8)); break;
      case 1: if (!text.empty()) text[at] = "0123456789ABCDEF"[rng() % 16]; break;
      case 2: text.erase(at, rng() % 20); break;
      case 3: text.insert(at, RandomBytes(rng, 1 + rng() % 8)); break;
      case 4: text.insert(at, std::string(1000 + rng() % 200, 'A')); break;  // past the 1023-byte pieces
      case 5: text.insert(at, 1, '\0'); break;
      case 6: {  // a line repeated elsewhere
        const size_t start = text.rfind('\n', at) == std::string::npos ? 0 : text.rfind('\n', at) + 1;
        const size_t end = text.find('\n', at);
        const std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start + 1);
        text.insert(rng() % (text.size() + 1), line);
        break;
      }
      case 7: text.insert(at, "\r\n[Config]\r\n"); break;
      default: text.insert(at, "\r\n_Enable=42585247" + std::string(66, "0F"[rng() % 2]) + "\r\n"); break;
    }
  }
  return text;
}

TEST(IniMutation, TenThousandMutatedLogIniFilesLoad) {
  rvqtest::ScratchDir folder(L"rvq ini mutation");
  const std::wstring path = folder.Child(L"log.ini");
  const std::string original = MakeLogIni(path);
  ASSERT_NE(original.find("_MaxSize="), std::string::npos);
  {
    Trevalk::CObfuscatedIniReader reader;
    ASSERT_TRUE(reader.Load(path));
    int maxSize = 0;
    ASSERT_TRUE(reader.GetInt(L"Config", L"MaxSize", maxSize));
    ASSERT_EQ(maxSize, 262144);
  }

  std::mt19937 rng(4099);
  int decodedAsWritten = 0, changedOrHidden = 0;
  const std::map<std::wstring, std::wstring> written = {
      {L"Enable", L"1"}, {L"MaxSize", L"262144"}, {L"LastLogIdx", L"2"}, {L"LogName", L"DetectRVQdll"}};
  for (int run = 0; run < kRuns; ++run) {
    ASSERT_TRUE(rvqtest::WriteFileBytes(path, MutateText(rng, original))) << run;
    Trevalk::CObfuscatedIniReader reader;
    ASSERT_TRUE(reader.Load(path)) << run;
    for (const auto& value : written) {
      std::wstring text;
      int number = 0;
      if (reader.GetString(L"Config", value.first, text)) {
        // What decodes is what was written, unless the mutation hit a header
        // field the digest does not cover (the type); never a crash.
        (text == value.second ? decodedAsWritten : changedOrHidden)++;
        reader.GetInt(L"Config", value.first, number);
      } else {
        ++changedOrHidden;
      }
    }
    Trevalk::IniKeyValues section;
    reader.GetSection(L"Config", section);
  }
  EXPECT_GT(decodedAsWritten, kRuns);  // most values survive a few mutations
  EXPECT_GT(changedOrHidden, kRuns / 10);
  std::printf("ini mutation: %d values as written, %d hidden or changed\n", decodedAsWritten, changedOrHidden);
}

}  // namespace
