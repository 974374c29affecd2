#include "ini/ini_reader.h"

#include <windows.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <io.h>
#include <new>
#include <vector>

#include "codec/codec_errors.h"
#include "codec/ini_value_codec.h"
#include "codec/record_codec.h"
#include "common/unique_handle.h"
#include "common/text_conversion.h"
#include "ini/ini_text.h"

namespace Trevalk {

namespace {

constexpr size_t kLineBufferBytes = 1024;
constexpr size_t kInitialBuckets = 17;


// "Section.Key" split at the first dot; false without a dot.
bool SplitName(const std::wstring& name, std::wstring& section, std::wstring& key) {
  const size_t dot = name.find(L'.');
  if (dot == std::wstring::npos) return false;
  section = name.substr(0, dot);
  key = name.substr(dot + 1);
  return true;
}

}  // namespace

// ---- CBaseIniReader -------------------------------------------------------

CBaseIniReader::~CBaseIniReader() = default;

bool CBaseIniReader::Load(const std::wstring& path) {
  tooLarge_ = false;
  if (path.empty()) return false;
  path_ = path;
  // Lines before the first section header belong to the empty section of
  // this file, not to the last section of a file loaded before.
  currentSection_.clear();
  UniqueCFile file;
  const errno_t error = _wfopen_s(file.put(), path.c_str(), L"r");
  if (error != 0 || !file) {
    if (error != ENOENT) path_.clear();
    return false;
  }
  // The size of the file opened, then the bytes read: a file that grows
  // while it is read is cut off at the limit too.
  if (sizeLimit_ != 0 && static_cast<unsigned long long>(_filelengthi64(_fileno(file.get()))) > sizeLimit_) {
    tooLarge_ = true;
    path_.clear();
    return false;
  }
  char piece[kLineBufferBytes];
  unsigned long long read = 0;
  while (fgets(piece, sizeof(piece), file.get()) != nullptr) {
    read += strlen(piece);
    if (sizeLimit_ != 0 && read > sizeLimit_) {
      tooLarge_ = true;
      path_.clear();
      return false;
    }
    ParseLine(piece);
  }
  return true;
}

bool CBaseIniReader::GetInt(const std::wstring& section, const std::wstring& key, int& value) {
  return GetIntByName(section + L"." + key, value);
}

bool CBaseIniReader::GetString(const std::wstring& section, const std::wstring& key, std::wstring& value) {
  return GetStringByName(section + L"." + key, value);
}

bool CBaseIniReader::WriteInt(const std::wstring& section, const std::wstring& key, int value) {
  return WriteString(section, key, std::to_wstring(value));
}

bool CBaseIniReader::WriteString(const std::wstring& section, const std::wstring& key, const std::wstring& text) {
  if (path_.empty()) return false;
  if (!WritePrivateProfileStringW(section.c_str(), key.c_str(), text.c_str(), path_.c_str())) return false;
  return StoreValue(section, key, text, true);
}

void CBaseIniReader::ParseLine(const char* piece) {
  if (piece == nullptr) return;
  std::wstring wide;
  if (!MultiByteToUtf16(CP_THREAD_ACP, piece, strlen(piece), wide)) return;
  const IniLine line = ParseIniLine(wide);
  if (line.kind == IniLineKind::kSection) {
    currentSection_ = line.name;
  } else if (line.kind == IniLineKind::kValue) {
    StoreValue(currentSection_, line.name, line.value, false);
  }
}

// ---- CObfuscatedIniReader -------------------------------------------------

CObfuscatedIniReader::CObfuscatedIniReader() : sections_(kInitialBuckets), pendingHeaders_(kInitialBuckets) {}

CObfuscatedIniReader::~CObfuscatedIniReader() = default;

IniEntry* CObfuscatedIniReader::Find(const std::wstring& section, const std::wstring& key) {
  const auto s = sections_.find(section);
  if (s == sections_.end()) return nullptr;
  const auto e = s->second.find(key);
  return e == s->second.end() ? nullptr : &e->second;
}

bool CObfuscatedIniReader::Load(const std::wstring& path) {
  try {
    sections_.clear();
    pendingHeaders_.clear();
    if (!CBaseIniReader::Load(path)) {
      sections_.clear();
      pendingHeaders_.clear();
      return false;
    }
    DecodePendingHeaders();
    return true;
  } catch (const std::bad_alloc&) {
    pendingHeaders_.clear();
    return false;
  }
}

void CObfuscatedIniReader::DecodePendingHeaders() {
  for (const auto& pending : pendingHeaders_) {
    const PendingHeader& h = pending.second;
    IniEntry* entry = Find(h.section, h.name);
    if (entry == nullptr) continue;
    uint32_t type = 0;
    std::string clear;
    if (!DecodeObfuscatedIniValue(h.headerText, entry->value, type, clear)) continue;
    if (type == codec::kIniTypeText) {
      std::wstring value;
      if (!MultiByteToUtf16(CP_THREAD_ACP, clear.data(), clear.size(), value)) continue;
      *entry = IniEntry{value, 1, codec::kIniTypeText};
    } else {
      const int value = static_cast<int>(codec::GetLe32(reinterpret_cast<const uint8_t*>(clear.data())));
      *entry = IniEntry{std::to_wstring(value), 1, codec::kIniTypeInteger};
    }
  }
  pendingHeaders_.clear();
}

bool CObfuscatedIniReader::GetIntByName(const std::wstring& name, int& value) {
  std::wstring text;
  if (!GetStringByName(name, text)) return false;
  value = codec::ParseDecimalInt(text);
  return true;
}

bool CObfuscatedIniReader::GetStringByName(const std::wstring& name, std::wstring& value) {
  try {
    std::wstring section, key;
    if (!SplitName(name, section, key)) return false;
    const IniEntry* entry = Find(section, key);
    if (entry == nullptr || (obfuscatedOnly_ && entry->decoded == 0)) return false;
    value = entry->value;
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool CObfuscatedIniReader::GetSection(const std::wstring& section, IniKeyValues& values) {
  try {
    const auto s = sections_.find(section);
    if (s == sections_.end()) return false;
    for (const auto& entry : s->second) values[entry.first] = entry.second.value;
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool CObfuscatedIniReader::StoreValue(const std::wstring& section, const std::wstring& key,
                                      const std::wstring& value, bool fromWrite) {
  try {
    auto s = sections_.find(section);
    // While loading, the first occurrence of a key wins.
    if (s != sections_.end() && !fromWrite && s->second.count(key) != 0) return false;
    if (codec::IsIniHeaderLine(key, value)) {
      const std::wstring name = key.substr(1);
      pendingHeaders_[section + L"." + name] = PendingHeader{section, name, value};
      return false;
    }
    if (s == sections_.end()) s = sections_.emplace(section, IniSection(kInitialBuckets)).first;
    s->second[key] = IniEntry{value, 0, codec::kIniTypeText};
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool CObfuscatedIniReader::WriteObfuscated(const std::wstring& section, const std::wstring& key, uint32_t type,
                                           const std::string& payload, const std::wstring& clearText) {
  if (path_.empty()) return false;
  uint8_t header[codec::kIniHeaderSize];
  std::vector<uint8_t> scrambled(payload.size());
  if (codec::EncodeIniValue(type, reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), header,
                            scrambled.data()) != codec::kOk) {
    return false;
  }
  if (payload.size() > UINT_MAX) return false;
  const std::wstring headerKey = L"_" + key;
  if (!WritePrivateProfileStructW(section.c_str(), headerKey.c_str(), header, sizeof(header), path_.c_str())) {
    return false;
  }
  if (!WritePrivateProfileStructW(section.c_str(), key.c_str(), scrambled.data(),
                                  static_cast<UINT>(scrambled.size()), path_.c_str())) {
    return false;
  }
  auto s = sections_.find(section);
  if (s == sections_.end()) s = sections_.emplace(section, IniSection(kInitialBuckets)).first;
  s->second[key] = IniEntry{clearText, 1, type};
  return true;
}

bool CObfuscatedIniReader::WriteString(const std::wstring& section, const std::wstring& key,
                                       const std::wstring& text) {
  try {
    // The payload is the whole conversion: in a double-byte code page a
    // character may take two bytes, and none of them may be cut off.
    std::string payload;
    if (!Utf16ToMultiByte(CP_THREAD_ACP, text.data(), text.size(), payload)) return false;
    // A character the code page lacks becomes a substitute ("?"): the file
    // would hold other text than the one reported as written and kept in
    // memory. Only text that reads back as itself is written.
    std::wstring readBack;
    if (!MultiByteToUtf16(CP_THREAD_ACP, payload.data(), payload.size(), readBack) || readBack != text) return false;
    return WriteObfuscated(section, key, codec::kIniTypeText, payload, text);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool CObfuscatedIniReader::WriteInt(const std::wstring& section, const std::wstring& key, int value) {
  try {
    if (path_.empty()) return false;
    std::string payload(4, '\0');
    codec::PutLe32(reinterpret_cast<uint8_t*>(&payload[0]), static_cast<uint32_t>(value));
    return WriteObfuscated(section, key, codec::kIniTypeInteger, payload, std::to_wstring(value));
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace Trevalk
