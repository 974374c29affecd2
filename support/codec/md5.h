// MD5 message digest (RFC 1321), our own implementation: it protects stored
// records against casual edits, not against an attacker.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Trevalk {
namespace codec {

constexpr size_t kMd5Size = 16;

// Incremental digest: Update any number of times, then Final once.
class Md5 {
 public:
  Md5() noexcept;
  void Update(const uint8_t* data, size_t length) noexcept;
  void Final(uint8_t digest[kMd5Size]) noexcept;

 private:
  void Transform(const uint8_t block[64]) noexcept;

  uint32_t state_[4];
  uint64_t bitCount_ = 0;
  uint8_t buffer_[64] = {};
  size_t buffered_ = 0;
};

// Writes the MD5 of data[0..length) to out. 0, or -1 when out is null,
// outSize is not 16, or data is null with a non-zero length.
int ComputeDigest(const uint8_t* data, size_t length, uint8_t* out, size_t outSize) noexcept;

// 0 when the MD5 of data[0..length) equals expected (expectedSize must be
// 16), else -1.
int VerifyDigest(const uint8_t* data, size_t length, const uint8_t* expected, size_t expectedSize) noexcept;

}  // namespace codec
}  // namespace Trevalk
