#include "codec/record_codec.h"

#include <cstring>

#include "codec/codec_errors.h"
#include "codec/md5.h"
#include "codec/value_cipher.h"

namespace Trevalk {
namespace codec {

namespace {
constexpr size_t kDigestOffset = 16;
}

const uint8_t kRecordMagic[4] = {0x42, 0x58, 0x52, 0x47};

void PutLe32(uint8_t* at, uint32_t value) noexcept {
  for (int k = 0; k < 4; ++k) at[k] = static_cast<uint8_t>(value >> (8 * k));
}

uint32_t GetLe32(const uint8_t* at) noexcept {
  return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

uint32_t EncodeRecord(uint32_t valueType, const uint8_t* payload, size_t n, uint8_t* record) noexcept {
  if (record == nullptr || (payload == nullptr && n != 0)) return kInvalidParameter;
  if (n > UINT32_MAX - kRecordHeaderSize) return kInvalidParameter;
  ValueCipher cipher(reinterpret_cast<const uint8_t*>(kRegistryRecordKey), int(kCipherKeyLength), 1);
  if (!cipher.Scramble(payload, record + kRecordHeaderSize, n)) return kEncryptionFailed;
  std::memcpy(record, kRecordMagic, 4);
  PutLe32(record + 4, kRecordVersion);
  PutLe32(record + 8, static_cast<uint32_t>(n));
  PutLe32(record + 12, valueType);
  std::memset(record + kDigestOffset, 0, kMd5Size);
  uint8_t digest[kMd5Size];
  if (ComputeDigest(record, n + kRecordHeaderSize, digest, sizeof(digest)) != 0) return kEncryptionFailed;
  std::memcpy(record + kDigestOffset, digest, kMd5Size);
  return kOk;
}

uint32_t ValidateRecord(uint8_t* record, size_t size, RecordInfo* info) noexcept {
  if (record == nullptr || info == nullptr || size < kRecordHeaderSize) return kInvalidData;
  uint8_t stored[kMd5Size];
  std::memcpy(stored, record + kDigestOffset, kMd5Size);
  std::memset(record + kDigestOffset, 0, kMd5Size);
  if (VerifyDigest(record, size, stored, sizeof(stored)) != 0) return kInvalidData;
  const uint32_t length = GetLe32(record + 8);
  if (size - kRecordHeaderSize != length) return kInvalidData;
  if (std::memcmp(record, kRecordMagic, 4) != 0) return kInvalidData;
  info->valueType = GetLe32(record + 12);
  info->payloadLength = length;
  return kOk;
}

uint32_t UnscrambleRecordPayload(const uint8_t* record, const RecordInfo& info, uint8_t* out,
                                 size_t capacity) noexcept {
  if (capacity < info.payloadLength) return kMoreData;
  ValueCipher cipher(reinterpret_cast<const uint8_t*>(kRegistryRecordKey), int(kCipherKeyLength), 1);
  if (record == nullptr ||
      !cipher.Unscramble(record + kRecordHeaderSize, out, info.payloadLength)) {
    return kDecryptionFailed;
  }
  return kOk;
}

}  // namespace codec
}  // namespace Trevalk
