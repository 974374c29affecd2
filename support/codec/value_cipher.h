// The value cipher: an RC4 keystream with plaintext feedback and a number of
// rounds, used to scramble stored values so that a person cannot read or
// edit them unnoticed (the digest catches edits). One object per record: the
// keystream restarts from the key, so equal values give equal bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace Trevalk {
namespace codec {

// The keys, as their 38 ASCII characters (no terminator is part of a key).
extern const char kRegistryRecordKey[];  // registry records
extern const char kIniValueKey[];        // obfuscated INI values
extern const char kDefaultCipherKey[];   // used for an absent or empty key
constexpr size_t kCipherKeyLength = 38;

class ValueCipher {
 public:
  // key may be null or keyLength <= 0: the default key is used. rounds < 1
  // means 1. Never throws: when the scratch arrays cannot be allocated,
  // every Scramble and Unscramble fails (up to kInlineRounds rounds they
  // live in the object and need no allocation).
  ValueCipher(const uint8_t* key, int keyLength, int rounds) noexcept;
  // The scratch pointers may point into the object itself.
  ValueCipher(const ValueCipher&) = delete;
  ValueCipher& operator=(const ValueCipher&) = delete;

  // Each byte draws 2 x rounds keystream bytes. False, with nothing written,
  // when input or output is null, length is 0 or the object is unusable.
  // input and output may be the same buffer.
  bool Scramble(const uint8_t* input, uint8_t* output, size_t length) noexcept;
  bool Unscramble(const uint8_t* input, uint8_t* output, size_t length) noexcept;

  int rounds() const noexcept { return rounds_; }

  static constexpr int kInlineRounds = 8;

 private:
  uint8_t NextKeyByte() noexcept;

  bool initialised_ = false;
  uint8_t i_ = 0;
  uint8_t j_ = 0;
  uint8_t s_[256];
  int rounds_ = 1;
  // The scratch arrays: inline for few rounds, else on the heap.
  uint8_t inlineA_[kInlineRounds];
  uint8_t inlineB_[kInlineRounds];
  std::unique_ptr<uint8_t[]> heapA_;
  std::unique_ptr<uint8_t[]> heapB_;
  uint8_t* scratchA_ = nullptr;
  uint8_t* scratchB_ = nullptr;
  uint8_t initialFeedback_ = 0;
  uint8_t feedback_ = 0;
};

}  // namespace codec
}  // namespace Trevalk
