// The UTF-8 step of an ETW event: the message, formatted as UTF-16 into the
// front of the event's buffer, becomes the UTF-8 bytes of the event's second
// field. Plain data, no system calls and no <windows.h>, so it also builds
// natively.
#pragma once

#include <cstddef>
#include <memory>

namespace ETWLogging {
namespace etw {

// Each wchar_t is taken as one UTF-16 code unit (its low 16 bits; wchar_t is
// 16 bits on Windows). The bytes are those of the system's CP_UTF8
// conversion without flags: 1 to 3 bytes per unit, 4 per surrogate pair,
// and a surrogate without its partner becomes U+FFFD (3 bytes).
size_t Utf8Length(const wchar_t* text, size_t count);
// Writes the UTF-8 form of `count` units to `out`, which must have room for
// Utf8Length(text, count) bytes; returns the number of bytes written.
size_t EncodeUtf8(const wchar_t* text, size_t count, char* out);

struct Utf8Message {
  const char* bytes = nullptr;
  size_t size = 0;
};

// The UTF-8 form of the first `chars` units of `buffer`, which holds
// `bufferChars` units in all. The bytes go into the tail that the message
// leaves free (from buffer + chars on) when they fit there, otherwise into
// `overflow`, allocated at exactly their size: only a message that fills
// most of the buffer needs it. The message itself is never overwritten.
// No bytes (null, 0) for chars 0 or chars > bufferChars. An allocation
// failure throws std::bad_alloc.
Utf8Message ConvertMessageToUtf8(wchar_t* buffer, size_t bufferChars, size_t chars,
                                 std::unique_ptr<char[]>& overflow);

}  // namespace etw
}  // namespace ETWLogging
