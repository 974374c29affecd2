#include "codec/md5.h"

#include <cstring>

namespace Trevalk {
namespace codec {

namespace {

constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

inline uint32_t RotateLeft(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

}  // namespace

Md5::Md5() noexcept : state_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476} {}

void Md5::Transform(const uint8_t block[64]) noexcept {
  uint32_t m[16];
  for (size_t k = 0; k < 16; ++k) {
    m[k] = uint32_t(block[4 * k]) | uint32_t(block[4 * k + 1]) << 8 | uint32_t(block[4 * k + 2]) << 16 |
           uint32_t(block[4 * k + 3]) << 24;
  }
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  for (int k = 0; k < 64; ++k) {
    uint32_t f;
    int g;
    if (k < 16) {
      f = (b & c) | (~b & d);
      g = k;
    } else if (k < 32) {
      f = (d & b) | (~d & c);
      g = (5 * k + 1) % 16;
    } else if (k < 48) {
      f = b ^ c ^ d;
      g = (3 * k + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * k) % 16;
    }
    const uint32_t next = b + RotateLeft(a + f + kSine[k] + m[g], kShift[k]);
    a = d;
    d = c;
    c = b;
    b = next;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
}

void Md5::Update(const uint8_t* data, size_t length) noexcept {
  bitCount_ += uint64_t(length) * 8;
  while (length > 0) {
    const size_t take = (64 - buffered_ < length) ? 64 - buffered_ : length;
    std::memcpy(buffer_ + buffered_, data, take);
    buffered_ += take;
    data += take;
    length -= take;
    if (buffered_ == 64) {
      Transform(buffer_);
      buffered_ = 0;
    }
  }
}

void Md5::Final(uint8_t digest[kMd5Size]) noexcept {
  const uint64_t bits = bitCount_;
  static const uint8_t kPad[64] = {0x80};
  const size_t padLength = buffered_ < 56 ? 56 - buffered_ : 120 - buffered_;
  Update(kPad, padLength);
  uint8_t length[8];
  for (int k = 0; k < 8; ++k) length[k] = uint8_t(bits >> (8 * k));
  Update(length, 8);
  for (int k = 0; k < 4; ++k) {
    for (int byte = 0; byte < 4; ++byte) digest[4 * k + byte] = uint8_t(state_[k] >> (8 * byte));
  }
}

int ComputeDigest(const uint8_t* data, size_t length, uint8_t* out, size_t outSize) noexcept {
  if (out == nullptr || outSize != kMd5Size || (data == nullptr && length != 0)) return -1;
  Md5 md5;
  if (length != 0) md5.Update(data, length);
  md5.Final(out);
  return 0;
}

int VerifyDigest(const uint8_t* data, size_t length, const uint8_t* expected, size_t expectedSize) noexcept {
  if (expected == nullptr || expectedSize != kMd5Size) return -1;
  uint8_t actual[kMd5Size];
  if (ComputeDigest(data, length, actual, sizeof(actual)) != 0) return -1;
  return std::memcmp(actual, expected, kMd5Size) == 0 ? 0 : -1;
}

}  // namespace codec
}  // namespace Trevalk
