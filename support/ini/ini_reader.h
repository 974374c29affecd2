// INI files: CBaseIniReader parses a Windows-style INI file into memory and
// writes changes back through the system's private-profile functions;
// CObfuscatedIniReader keeps the values in memory and stores them in the
// file in a scrambled, digest-protected form (codec/ini_value_codec.h).
//
// In its default (obfuscated-only) mode the obfuscated reader answers only
// with values that were stored in obfuscated form: a plain "Key=value" line
// that a person added by hand is invisible. Section names and keys are
// case-sensitive. Lookups by name take "Section.Key" and split at the first
// dot. A reader belongs to one thread; the public operations report only
// true or false and never throw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

namespace Trevalk {

// Hash of section and key names: h = h x 33 + c over the UTF-16 units.
struct IniNameHash {
  size_t operator()(const std::wstring& name) const noexcept {
    size_t h = 0;
    for (wchar_t c : name) h = h * 33 + static_cast<uint16_t>(c);
    return h;
  }
};

struct IniEntry {
  std::wstring value;
  uint32_t decoded = 0;  // 1 when read or written in obfuscated form
  uint32_t type = 1;     // 1 text (REG_SZ), 4 integer (REG_DWORD)
};

using IniSection = std::unordered_map<std::wstring, IniEntry, IniNameHash>;
using IniKeyValues = std::unordered_map<std::wstring, std::wstring, IniNameHash>;

class CBaseIniReader {
 public:
  CBaseIniReader() = default;
  CBaseIniReader(const CBaseIniReader&) = delete;
  CBaseIniReader& operator=(const CBaseIniReader&) = delete;
  virtual ~CBaseIniReader();

  // Parses the file. False for an empty path; false for a missing file, whose
  // path is kept so that a later write creates it; false with the path
  // emptied when the file exists but cannot be opened (writes then fail),
  // or is larger than the size limit (TooLarge() then tells so, and what
  // was parsed of a file that grew past it is dropped by the obfuscated
  // reader). Lines longer than 1023 bytes are parsed as several pieces.
  virtual bool Load(const std::wstring& path);
  // Files above `bytes` are not parsed; 0 (the default): no limit.
  void SetSizeLimit(unsigned long long bytes) noexcept { sizeLimit_ = bytes; }
  // Whether the last Load refused the file for its size.
  bool TooLarge() const noexcept { return tooLarge_; }
  virtual bool GetInt(const std::wstring& section, const std::wstring& key, int& value);
  virtual bool GetString(const std::wstring& section, const std::wstring& key, std::wstring& value);
  // name: "Section.Key". The out-parameter is written only on success.
  virtual bool GetIntByName(const std::wstring& name, int& value) = 0;
  virtual bool GetStringByName(const std::wstring& name, std::wstring& value) = 0;
  // Copies every key and value of the section into values (replacing keys
  // already there). False when the section does not exist.
  virtual bool GetSection(const std::wstring& section, IniKeyValues& values) = 0;
  // Base: plain "Key=value" lines through WritePrivateProfileStringW, then
  // kept in memory. False without a path or when the system write fails.
  virtual bool WriteInt(const std::wstring& section, const std::wstring& key, int value);
  virtual bool WriteString(const std::wstring& section, const std::wstring& key, const std::wstring& text);
  // Keeps one parsed (fromWrite false) or written value; true when stored.
  virtual bool StoreValue(const std::wstring& section, const std::wstring& key, const std::wstring& value,
                          bool fromWrite) = 0;
  // One piece of a line, in the thread's ANSI code page, zero-terminated.
  virtual void ParseLine(const char* piece);

  const std::wstring& Path() const noexcept { return path_; }

 protected:
  std::wstring path_;
  std::wstring currentSection_;

 private:
  unsigned long long sizeLimit_ = 0;
  bool tooLarge_ = false;
};

class CObfuscatedIniReader : public CBaseIniReader {
 public:
  CObfuscatedIniReader();
  ~CObfuscatedIniReader() override;

  // Clears what an earlier Load kept, parses, then decodes every value whose
  // header and payload lines agree; a value that fails its digest, length or
  // magic stays undecoded (and invisible in the default mode).
  bool Load(const std::wstring& path) override;
  bool GetIntByName(const std::wstring& name, int& value) override;
  bool GetStringByName(const std::wstring& name, std::wstring& value) override;
  bool GetSection(const std::wstring& section, IniKeyValues& values) override;
  // Obfuscated writes: the header line "_Key" and the payload line "Key",
  // then the clear value in memory. False without a path, for text that does
  // not convert to the ANSI code page (and back to itself) or is empty (the
  // cipher refuses an empty payload), or when a system write fails; a failed
  // second line leaves a header the next Load rejects by its digest.
  bool WriteInt(const std::wstring& section, const std::wstring& key, int value) override;
  bool WriteString(const std::wstring& section, const std::wstring& key, const std::wstring& text) override;
  bool StoreValue(const std::wstring& section, const std::wstring& key, const std::wstring& value,
                  bool fromWrite) override;

  // On by default. Off, plain values answer lookups too (for diagnostics).
  void SetObfuscatedOnly(bool on) noexcept { obfuscatedOnly_ = on ? 1 : 0; }

 private:
  struct PendingHeader {
    std::wstring section;
    std::wstring name;
    std::wstring headerText;
  };

  void DecodePendingHeaders();
  bool WriteObfuscated(const std::wstring& section, const std::wstring& key, uint32_t type,
                       const std::string& payload, const std::wstring& clearText);
  IniEntry* Find(const std::wstring& section, const std::wstring& key);

  std::unordered_map<std::wstring, IniSection, IniNameHash> sections_;
  // Keyed by "Section.Name"; a later header for the same value replaces an
  // earlier one.
  std::unordered_map<std::wstring, PendingHeader, IniNameHash> pendingHeaders_;
  uint8_t obfuscatedOnly_ = 1;
};

}  // namespace Trevalk
