// The ETW context block builder: any field values and name lengths (also
// past the 16-bit count), appended after any number of bytes already in the
// buffer; the block is read back field by field.
#include <cstring>
#include <string>

#include "etw_context_block.h"
#include "fuzz_input.h"

using namespace ETWLogging::etw;

namespace {

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  template <typename T>
  T Value() {
    RVQ_FUZZ_CHECK(pos_ + sizeof(T) <= size_);
    T value;
    std::memcpy(&value, data_ + pos_, sizeof(T));
    pos_ += sizeof(T);
    return value;
  }
  std::wstring Counted() {
    const uint16_t count = Value<uint16_t>();
    RVQ_FUZZ_CHECK(pos_ + count * sizeof(wchar_t) <= size_);
    std::wstring text(count, L'\0');
    if (count) std::memcpy(&text[0], data_ + pos_, count * sizeof(wchar_t));
    pos_ += count * sizeof(wchar_t);
    return text;
  }
  size_t pos() const { return pos_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// A name: null, or text of a fuzzed length (repeated to pass 65,535 units
// now and then) with no zero unit inside.
struct Name {
  bool present = false;
  std::wstring text;
  const wchar_t* get() const { return present ? text.c_str() : nullptr; }
};

Name TakeName(rvqfuzz::Input& input) {
  Name name;
  const uint8_t shape = input.Byte();
  if (shape % 5 == 0) return name;
  name.present = true;
  std::wstring unit = rvqfuzz::Utf16Units(input.Piece());
  for (wchar_t& c : unit) c = c == L'\0' ? L'?' : c;
  const size_t repeat = shape % 5 == 4 ? 1 + input.U16() % 4 * 30000 / (unit.size() + 1) : 1;
  for (size_t k = 0; k < repeat; ++k) name.text += unit;
  return name;
}

// What the block must carry for a name: the length truncated to 16 bits,
// the leading units of the text.
std::wstring Expected(const Name& name) {
  if (!name.present) return std::wstring();
  return name.text.substr(0, static_cast<uint16_t>(name.text.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rvqfuzz::Input input(data, size);
  const uint16_t prefill = input.U16() % 600;
  ContextFields fields;
  fields.processId = input.U32();
  fields.threadId = input.U32();
  fields.line = static_cast<int>(input.U32());
  fields.messageBytes = static_cast<uint64_t>(input.U32()) << 32 | input.U32();
  const Name image = TakeName(input), source = TakeName(input), function = TakeName(input),
             module = TakeName(input), version = TakeName(input), group = TakeName(input);
  fields.processImageName = image.get();
  fields.processImageNameLength = image.text.size();
  fields.sourceFile = source.get();
  fields.function = function.get();
  fields.moduleFileName = module.get();
  fields.moduleFileNameLength = module.text.size();
  fields.moduleVersion = version.get();
  fields.moduleVersionLength = version.text.size();
  fields.groupName = group.get();
  fields.groupNameLength = group.text.size();

  InlineByteBuffer buffer;
  const std::string before(prefill, '\x5A');
  buffer.Append(before.data(), before.size());
  AppendContextBlock(buffer, fields);
  RVQ_FUZZ_CHECK(buffer.size() >= prefill && buffer.capacity() >= buffer.size());
  RVQ_FUZZ_CHECK(buffer.OnHeap() == (buffer.capacity() > InlineByteBuffer::kInlineBytes));
  RVQ_FUZZ_CHECK(std::memcmp(buffer.data(), before.data(), before.size()) == 0);

  Reader reader(buffer.data() + prefill, buffer.size() - prefill);
  RVQ_FUZZ_CHECK(reader.Value<uint32_t>() == fields.processId);
  RVQ_FUZZ_CHECK(reader.Value<uint32_t>() == fields.threadId);
  RVQ_FUZZ_CHECK(reader.Counted() == Expected(image));
  RVQ_FUZZ_CHECK(reader.Counted() == Expected(source));
  RVQ_FUZZ_CHECK(reader.Counted() == Expected(function));
  RVQ_FUZZ_CHECK(reader.Value<int32_t>() == fields.line);
  RVQ_FUZZ_CHECK(reader.Counted() == Expected(module));
  RVQ_FUZZ_CHECK(reader.Counted() == Expected(version));
  RVQ_FUZZ_CHECK(reader.Counted() == Expected(group));
  RVQ_FUZZ_CHECK(reader.Value<uint64_t>() == fields.messageBytes);
  RVQ_FUZZ_CHECK(reader.pos() == buffer.size() - prefill);
  return 0;
}
