// Result codes of the codecs. They are the Win32 error codes the registry
// and INI layers hand on, spelled out here so that the codecs need no
// <windows.h> and compile natively as well.
#pragma once

#include <cstdint>

namespace Trevalk {
namespace codec {

constexpr uint32_t kOk = 0;
constexpr uint32_t kNotEnoughMemory = 8;     // ERROR_NOT_ENOUGH_MEMORY
constexpr uint32_t kInvalidData = 13;        // ERROR_INVALID_DATA
constexpr uint32_t kInvalidParameter = 87;   // ERROR_INVALID_PARAMETER
constexpr uint32_t kMoreData = 234;          // ERROR_MORE_DATA
constexpr uint32_t kEncryptionFailed = 6000; // ERROR_ENCRYPTION_FAILED
constexpr uint32_t kDecryptionFailed = 6001; // ERROR_DECRYPTION_FAILED

}  // namespace codec
}  // namespace Trevalk
