// The obfuscated registry record: the data of every REG_BINARY value the
// obfuscated key writes. Little-endian layout:
//   0  "BXRG"    4  version (1; not checked on read)    8  payload length n
//   12 value type    16 MD5 of all n + 32 bytes with this field zeroed
//   32 payload, scrambled with the registry record key, 1 round
// Plain functions over bytes; the callers do the registry I/O.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Trevalk {
namespace codec {

constexpr size_t kRecordHeaderSize = 32;
constexpr uint32_t kRecordVersion = 1;
extern const uint8_t kRecordMagic[4];  // "BXRG"

// Writes the record for payload[0..n) of the given value type into
// record[0..n + 32). 0, or kEncryptionFailed (also for n == 0, which the
// cipher refuses), kInvalidParameter for null pointers.
uint32_t EncodeRecord(uint32_t valueType, const uint8_t* payload, size_t n, uint8_t* record) noexcept;

struct RecordInfo {
  uint32_t valueType = 0;
  uint32_t payloadLength = 0;
};

// Checks record[0..size): at least 32 bytes, digest, length field equal to
// size - 32, magic. 0 with info filled, else kInvalidData. The digest field
// of record is zeroed in place by the check.
uint32_t ValidateRecord(uint8_t* record, size_t size, RecordInfo* info) noexcept;

// Unscrambles the payload of a validated record into out[0..capacity).
// kMoreData when capacity < payload length, kDecryptionFailed when the
// cipher refuses (an empty payload).
uint32_t UnscrambleRecordPayload(const uint8_t* record, const RecordInfo& info, uint8_t* out,
                                 size_t capacity) noexcept;

// Little-endian helpers shared with the INI value codec.
void PutLe32(uint8_t* at, uint32_t value) noexcept;
uint32_t GetLe32(const uint8_t* at) noexcept;

}  // namespace codec
}  // namespace Trevalk
