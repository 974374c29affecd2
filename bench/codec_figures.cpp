// The codecs: one obfuscated registry record written and read back.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "codec/md5.h"
#include "codec/record_codec.h"
#include "codec/value_cipher.h"
#include "figures.h"

namespace rvqbench {
namespace {

volatile uint8_t g_sink = 0;

// The floor: a plain RC4 keystream over n bytes (key schedule included)
// and one MD5 of the record's size.
RVQ_BENCH_NOINLINE void PlainRc4AndMd5(const uint8_t* input, uint8_t* output, size_t n, const uint8_t* record,
                                       size_t recordSize) {
  uint8_t s[256];
  for (int k = 0; k < 256; ++k) s[k] = static_cast<uint8_t>(k);
  const auto* key = reinterpret_cast<const uint8_t*>(Trevalk::codec::kRegistryRecordKey);
  uint8_t j = 0;
  for (int k = 0; k < 256; ++k) {
    j = static_cast<uint8_t>(j + s[k] + key[k % Trevalk::codec::kCipherKeyLength]);
    const uint8_t t = s[k];
    s[k] = s[j];
    s[j] = t;
  }
  uint8_t i = 0;
  j = 0;
  for (size_t m = 0; m < n; ++m) {
    i = static_cast<uint8_t>(i + 1);
    j = static_cast<uint8_t>(j + s[i]);
    const uint8_t t = s[i];
    s[i] = s[j];
    s[j] = t;
    output[m] = input[m] ^ s[static_cast<uint8_t>(s[i] + s[j])];
  }
  uint8_t digest[Trevalk::codec::kMd5Size];
  Trevalk::codec::ComputeDigest(record, recordSize, digest, sizeof digest);
  g_sink = g_sink + digest[0];
}

// Write then read: EncodeRecord, ValidateRecord, UnscrambleRecordPayload.
RVQ_BENCH_NOINLINE bool WriteAndRead(const uint8_t* payload, size_t n, uint8_t* record, uint8_t* out) {
  using namespace Trevalk::codec;
  if (EncodeRecord(REG_BINARY, payload, n, record) != 0) return false;
  RecordInfo info;
  if (ValidateRecord(record, n + kRecordHeaderSize, &info) != 0) return false;
  return UnscrambleRecordPayload(record, info, out, n) == 0;
}

void RecordFigure(std::vector<Row>& rows, size_t n, int batch) {
  std::vector<uint8_t> payload(n), record(n + Trevalk::codec::kRecordHeaderSize), out(n), scratch(n);
  for (size_t k = 0; k < n; ++k) payload[k] = static_cast<uint8_t>(k * 7 + 1);
  const std::string figure = "record write + read, " + std::string(n < 1024 ? std::to_string(n) + " bytes" : std::to_string(n / 1024) + " KiB");
  if (!WriteAndRead(payload.data(), n, record.data(), out.data()) || out != payload) {
    rows.push_back(FailedRow(figure, "round trip failed", "<= 3x"));
    return;
  }
  const PairResult result = MeasurePair(
      [&] { return TimePerCall([&] { WriteAndRead(payload.data(), n, record.data(), out.data()); }, batch); },
      [&] {
        return TimePerCall([&] { PlainRc4AndMd5(payload.data(), scratch.data(), n, record.data(), record.size()); },
                           batch);
      },
      Samples(101), 3);
  rows.push_back(MakeRow(figure, result, "<= 3x", 3.0));
}

}  // namespace

void CodecFigures(std::vector<Row>& rows) {
  RecordFigure(rows, 4, 4000);
  RecordFigure(rows, 4096, 40);
}

}  // namespace rvqbench
