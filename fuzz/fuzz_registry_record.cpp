// The obfuscated registry record: validation and unscrambling of arbitrary
// stored bytes, the round trip of any payload, the rejection of any changed
// byte, and the value cipher and the digest on their own.
#include <cstring>
#include <memory>
#include <vector>

#include "codec/codec_errors.h"
#include "codec/md5.h"
#include "codec/record_codec.h"
#include "codec/value_cipher.h"
#include "fuzz_input.h"

using namespace Trevalk::codec;

namespace {

// Exact-size heap copies, so that ASan reports any read past the data.
std::unique_ptr<uint8_t[]> Copy(const std::string& bytes) {
  std::unique_ptr<uint8_t[]> out(new uint8_t[bytes.size() ? bytes.size() : 1]);
  if (!bytes.empty()) std::memcpy(out.get(), bytes.data(), bytes.size());
  return out;
}

// A stored value as the registry would hand it over.
void CheckStoredBytes(const std::string& bytes) {
  auto record = Copy(bytes);
  RecordInfo info;
  const uint32_t result = ValidateRecord(record.get(), bytes.size(), &info);
  RVQ_FUZZ_CHECK(result == kOk || result == kInvalidData);
  if (result != kOk) return;
  RVQ_FUZZ_CHECK(bytes.size() >= kRecordHeaderSize && info.payloadLength == bytes.size() - kRecordHeaderSize);
  std::unique_ptr<uint8_t[]> out(new uint8_t[info.payloadLength + 1]);
  const uint32_t decoded = UnscrambleRecordPayload(record.get(), info, out.get(), info.payloadLength);
  RVQ_FUZZ_CHECK(decoded == (info.payloadLength == 0 ? kDecryptionFailed : kOk));
  if (info.payloadLength != 0) {
    RVQ_FUZZ_CHECK(UnscrambleRecordPayload(record.get(), info, out.get(), info.payloadLength - 1) == kMoreData);
  }
}

// Any payload comes back unchanged; changing any one byte of the stored
// record makes it invalid.
void CheckRoundTrip(rvqfuzz::Input& input) {
  const uint32_t type = input.U32();
  const uint32_t position = input.U32();
  const uint8_t change = input.Byte();
  const std::string payload = input.Rest();
  const size_t size = payload.size() + kRecordHeaderSize;
  std::unique_ptr<uint8_t[]> record(new uint8_t[size]);
  const uint32_t encoded =
      EncodeRecord(type, reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), record.get());
  if (payload.empty()) {
    RVQ_FUZZ_CHECK(encoded == kEncryptionFailed);
    return;
  }
  RVQ_FUZZ_CHECK(encoded == kOk);
  RVQ_FUZZ_CHECK(std::memcmp(record.get(), kRecordMagic, 4) == 0 && GetLe32(record.get() + 4) == kRecordVersion);
  const std::vector<uint8_t> stored(record.get(), record.get() + size);

  RecordInfo info;
  RVQ_FUZZ_CHECK(ValidateRecord(record.get(), size, &info) == kOk);
  RVQ_FUZZ_CHECK(info.valueType == type && info.payloadLength == payload.size());
  std::unique_ptr<uint8_t[]> clear(new uint8_t[payload.size()]);
  RVQ_FUZZ_CHECK(UnscrambleRecordPayload(record.get(), info, clear.get(), payload.size()) == kOk);
  RVQ_FUZZ_CHECK(std::memcmp(clear.get(), payload.data(), payload.size()) == 0);

  if (change != 0) {
    std::memcpy(record.get(), stored.data(), size);
    record[position % size] ^= change;
    RVQ_FUZZ_CHECK(ValidateRecord(record.get(), size, &info) == kInvalidData);
  }
  // A record one byte short or long never validates.
  auto shorter = Copy(std::string(stored.begin(), stored.end() - 1));
  RVQ_FUZZ_CHECK(ValidateRecord(shorter.get(), size - 1, &info) == kInvalidData);
}

// The cipher with any key and number of rounds, in place or not.
void CheckCipher(rvqfuzz::Input& input) {
  const std::string key = input.Piece();
  const int rounds = static_cast<int>(static_cast<int8_t>(input.Byte())) % 9;
  const bool inPlace = input.Byte() & 1;
  const std::string plain = input.Rest();
  const auto* keyBytes = key.empty() ? nullptr : reinterpret_cast<const uint8_t*>(key.data());
  ValueCipher scrambler(keyBytes, static_cast<int>(key.size()), rounds);
  ValueCipher unscrambler(keyBytes, static_cast<int>(key.size()), rounds);
  RVQ_FUZZ_CHECK(scrambler.rounds() == (rounds > 1 ? rounds : 1));
  auto buffer = Copy(plain);
  std::unique_ptr<uint8_t[]> other(new uint8_t[plain.size() + 1]);
  uint8_t* scrambled = inPlace ? buffer.get() : other.get();
  const bool ok = scrambler.Scramble(buffer.get(), scrambled, plain.size());
  RVQ_FUZZ_CHECK(ok == !plain.empty());
  if (!ok) return;
  RVQ_FUZZ_CHECK(unscrambler.Unscramble(scrambled, scrambled, plain.size()));
  RVQ_FUZZ_CHECK(std::memcmp(scrambled, plain.data(), plain.size()) == 0);
}

// The digest fed in pieces equals the digest of the whole.
void CheckDigest(rvqfuzz::Input& input) {
  const uint8_t step = input.Byte();
  const std::string bytes = input.Rest();
  uint8_t whole[kMd5Size], pieces[kMd5Size];
  RVQ_FUZZ_CHECK(ComputeDigest(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), whole, kMd5Size) == 0);
  Md5 md5;
  const size_t chunk = step == 0 ? 1 : step;
  for (size_t at = 0; at < bytes.size(); at += chunk) {
    const size_t n = bytes.size() - at < chunk ? bytes.size() - at : chunk;
    md5.Update(reinterpret_cast<const uint8_t*>(bytes.data()) + at, n);
  }
  md5.Final(pieces);
  RVQ_FUZZ_CHECK(std::memcmp(whole, pieces, kMd5Size) == 0);
  RVQ_FUZZ_CHECK(VerifyDigest(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), whole, kMd5Size) == 0);
  RVQ_FUZZ_CHECK(VerifyDigest(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), whole, 15) == -1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rvqfuzz::Input input(data, size);
  switch (input.Byte() % 4) {
    case 0: CheckStoredBytes(input.Rest()); break;
    case 1: CheckRoundTrip(input); break;
    case 2: CheckCipher(input); break;
    default: CheckDigest(input); break;
  }
  return 0;
}
