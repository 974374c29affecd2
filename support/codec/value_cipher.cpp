#include "codec/value_cipher.h"

#include <new>

namespace Trevalk {
namespace codec {

const char kRegistryRecordKey[] = "{3B7A41C9-58E2-4d1f-A6C3-92F0B8E5D714}";
const char kIniValueKey[] = "{6C2E0A9F-3B71-4D58-A0E4-91F7B25C8D36}";
const char kDefaultCipherKey[] = "{C41F8A2D-3E97-4B05-9D6A-5F02E7B3C861}";

ValueCipher::ValueCipher(const uint8_t* key, int keyLength, int rounds) noexcept {
  if (key == nullptr || keyLength <= 0) {
    key = reinterpret_cast<const uint8_t*>(kDefaultCipherKey);
    keyLength = static_cast<int>(kCipherKeyLength);
  }
  rounds_ = rounds > 1 ? rounds : 1;
  if (rounds_ <= kInlineRounds) {
    scratchA_ = inlineA_;
    scratchB_ = inlineB_;
  } else {
    heapA_.reset(new (std::nothrow) uint8_t[rounds_]);
    heapB_.reset(new (std::nothrow) uint8_t[rounds_]);
    scratchA_ = heapA_.get();
    scratchB_ = heapB_.get();
  }

  for (int k = 0; k < 256; ++k) s_[k] = static_cast<uint8_t>(k);
  uint8_t j = 0;
  for (int k = 0; k < 256; ++k) {
    j = static_cast<uint8_t>(j + s_[k] + key[k % keyLength]);
    const uint8_t t = s_[k];
    s_[k] = s_[j];
    s_[j] = t;
  }
  i_ = j_ = 0;
  initialised_ = true;
  initialFeedback_ = feedback_ = NextKeyByte();
}

uint8_t ValueCipher::NextKeyByte() noexcept {
  i_ = static_cast<uint8_t>(i_ + 1);
  j_ = static_cast<uint8_t>(j_ + s_[i_]);
  const uint8_t t = s_[i_];
  s_[i_] = s_[j_];
  s_[j_] = t;
  return s_[static_cast<uint8_t>(s_[i_] + s_[j_])];
}

namespace {

// The keystream with its indices and the feedback byte held in locals for
// the length of one call: the output stores may alias anything, and would
// otherwise force every index back to memory after each byte.
struct LocalKeystream {
  uint8_t* s;
  uint8_t i;
  uint8_t j;

  uint8_t Next() noexcept {
    i = static_cast<uint8_t>(i + 1);
    j = static_cast<uint8_t>(j + s[i]);
    const uint8_t t = s[i];
    s[i] = s[j];
    s[j] = t;
    return s[static_cast<uint8_t>(s[i] + s[j])];
  }
};

}  // namespace

bool ValueCipher::Scramble(const uint8_t* input, uint8_t* output, size_t length) noexcept {
  if (!initialised_ || input == nullptr || output == nullptr || length == 0 || !scratchA_ || !scratchB_) {
    return false;
  }
  LocalKeystream ks{s_, i_, j_};
  uint8_t feedback = feedback_;
  const int rounds = rounds_;
  for (size_t n = 0; n < length; ++n) {
    feedback ^= input[n];
    const uint8_t a0 = ks.Next();
    uint8_t c = static_cast<uint8_t>((a0 ^ feedback) + ks.Next());
    for (int r = 1; r < rounds; ++r) {
      const uint8_t a = ks.Next();
      c = static_cast<uint8_t>((c ^ a) + ks.Next());
    }
    output[n] = c;
  }
  i_ = ks.i;
  j_ = ks.j;
  feedback_ = feedback;
  return true;
}

bool ValueCipher::Unscramble(const uint8_t* input, uint8_t* output, size_t length) noexcept {
  if (!initialised_ || input == nullptr || output == nullptr || length == 0 || !scratchA_ || !scratchB_) {
    return false;
  }
  LocalKeystream ks{s_, i_, j_};
  uint8_t feedback = feedback_;
  const int rounds = rounds_;
  uint8_t* const a = scratchA_;
  uint8_t* const b = scratchB_;
  for (size_t n = 0; n < length; ++n) {
    // Keystream order: a[0], b[0], a[1], b[1], ... as Scramble drew them.
    for (int r = 0; r < rounds; ++r) {
      a[r] = ks.Next();
      b[r] = ks.Next();
    }
    uint8_t x = input[n];
    for (int r = rounds - 1; r >= 1; --r) x = static_cast<uint8_t>((x - b[r]) ^ a[r]);
    const uint8_t p = static_cast<uint8_t>(((x - b[0]) ^ a[0]) ^ feedback);
    output[n] = p;
    feedback ^= p;
  }
  i_ = ks.i;
  j_ = ks.j;
  feedback_ = feedback;
  return true;
}

}  // namespace codec
}  // namespace Trevalk
