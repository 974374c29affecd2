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
  scratchA_.reset(new (std::nothrow) uint8_t[rounds_]);
  scratchB_.reset(new (std::nothrow) uint8_t[rounds_]);

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

bool ValueCipher::Scramble(const uint8_t* input, uint8_t* output, size_t length) noexcept {
  if (!initialised_ || input == nullptr || output == nullptr || length == 0 || !scratchA_ || !scratchB_) {
    return false;
  }
  for (size_t n = 0; n < length; ++n) {
    feedback_ ^= input[n];
    const uint8_t a0 = NextKeyByte();
    uint8_t c = static_cast<uint8_t>((a0 ^ feedback_) + NextKeyByte());
    for (int r = 1; r < rounds_; ++r) {
      const uint8_t a = NextKeyByte();
      c = static_cast<uint8_t>((c ^ a) + NextKeyByte());
    }
    output[n] = c;
  }
  return true;
}

bool ValueCipher::Unscramble(const uint8_t* input, uint8_t* output, size_t length) noexcept {
  if (!initialised_ || input == nullptr || output == nullptr || length == 0 || !scratchA_ || !scratchB_) {
    return false;
  }
  uint8_t* const a = scratchA_.get();
  uint8_t* const b = scratchB_.get();
  for (size_t n = 0; n < length; ++n) {
    for (int r = 0; r < rounds_; ++r) {
      a[r] = NextKeyByte();
      b[r] = NextKeyByte();
    }
    uint8_t x = input[n];
    for (int r = rounds_ - 1; r >= 1; --r) x = static_cast<uint8_t>((x - b[r]) ^ a[r]);
    const uint8_t p = static_cast<uint8_t>(((x - b[0]) ^ a[0]) ^ feedback_);
    output[n] = p;
    feedback_ ^= p;
  }
  return true;
}

}  // namespace codec
}  // namespace Trevalk
