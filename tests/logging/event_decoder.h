// Reads the backend's events back: the 80-byte header with its two MOF
// fields, and the context block field by field. A decoder of our own, written
// from the wire layout, so that every byte the backend sends is checked.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace rvqtest {

struct DecodedHeader {
  uint16_t size = 0;
  uint8_t headerType = 0;
  uint8_t markerFlags = 0;
  uint8_t type = 0;
  uint8_t level = 0;
  uint16_t version = 0;
  uint32_t threadId = 0;
  uint32_t processId = 0;
  int64_t timeStamp = 0;
  GUID guid = {};
  uint32_t clientContext = 0;
  uint32_t flags = 0;
  uint64_t field1Ptr = 0;
  uint32_t field1Length = 0;
  uint32_t field1Type = 0;
  uint64_t field2Ptr = 0;
  uint32_t field2Length = 0;
  uint32_t field2Type = 0;
};

struct DecodedContext {
  uint32_t processId = 0;
  uint32_t threadId = 0;
  std::wstring processImageName;
  std::wstring sourceFile;
  std::wstring function;
  int32_t line = 0;
  std::wstring moduleFileName;
  std::wstring moduleVersion;
  uint16_t groupCount = 0;
  std::wstring groupName;
  uint64_t messageBytes = 0;
};

class ByteReader {
 public:
  explicit ByteReader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  template <typename T>
  bool Read(T& value) {
    if (bytes_.size() - pos_ < sizeof(T)) return false;
    std::memcpy(&value, bytes_.data() + pos_, sizeof(T));
    pos_ += sizeof(T);
    return true;
  }
  bool ReadCounted(std::wstring& text, uint16_t* countOut = nullptr) {
    uint16_t count = 0;
    if (!Read(count)) return false;
    if (countOut) *countOut = count;
    if (bytes_.size() - pos_ < count * 2u) return false;
    text.resize(count);
    if (count) std::memcpy(&text[0], bytes_.data() + pos_, count * 2u);
    pos_ += count * 2u;
    return true;
  }
  bool AtEnd() const { return pos_ == bytes_.size(); }

 private:
  const std::vector<uint8_t>& bytes_;
  size_t pos_ = 0;
};

// The layout of EVENT_TRACE_HEADER and MOF_FIELD, read at fixed offsets.
inline bool DecodeHeader(const std::vector<uint8_t>& bytes, DecodedHeader& h) {
  if (bytes.size() != 80) return false;
  ByteReader r(bytes);
  return r.Read(h.size) && r.Read(h.headerType) && r.Read(h.markerFlags) && r.Read(h.type) && r.Read(h.level) &&
         r.Read(h.version) && r.Read(h.threadId) && r.Read(h.processId) && r.Read(h.timeStamp) && r.Read(h.guid) &&
         r.Read(h.clientContext) && r.Read(h.flags) && r.Read(h.field1Ptr) && r.Read(h.field1Length) &&
         r.Read(h.field1Type) && r.Read(h.field2Ptr) && r.Read(h.field2Length) && r.Read(h.field2Type) &&
         r.AtEnd();
}

// True only when the block holds exactly the ten fields.
inline bool DecodeContext(const std::vector<uint8_t>& bytes, DecodedContext& c) {
  ByteReader r(bytes);
  return r.Read(c.processId) && r.Read(c.threadId) && r.ReadCounted(c.processImageName) &&
         r.ReadCounted(c.sourceFile) && r.ReadCounted(c.function) && r.Read(c.line) &&
         r.ReadCounted(c.moduleFileName) && r.ReadCounted(c.moduleVersion) &&
         r.ReadCounted(c.groupName, &c.groupCount) && r.Read(c.messageBytes) && r.AtEnd();
}

}  // namespace rvqtest
