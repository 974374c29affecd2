#include "file_version.h"

#include <cstring>
#include <cwchar>

namespace Trevalk {

bool FileVersionInfo::Load(const std::wstring& path) { return LoadFile(path); }

bool FileVersionInfo::LoadFile(const std::wstring& path) {
  if (loaded_) return false;
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return false;
  data_.assign(size, 0);
  loaded_ = GetFileVersionInfoW(path.c_str(), 0, size, data_.data()) == TRUE;
  return loaded_;
}

std::wstring FileVersionInfo::GetString(const std::wstring& key) {
  // An empty key, or one with a backslash, would name a block of the
  // resource rather than a string entry.
  if (!loaded_ || key.empty() || key.find(L'\\') != std::wstring::npos) return std::wstring();
  void* table = nullptr;
  UINT tableBytes = 0;
  if (!VerQueryValueW(data_.data(), L"\\VarFileInfo\\Translation", &table, &tableBytes) || !table ||
      tableBytes < 4) {
    return std::wstring();
  }
  const WORD* pairs = static_cast<const WORD*>(table);
  const BYTE* const end = data_.data() + data_.size();
  // The resource is the first wLength bytes of the buffer (what follows is
  // the system's scratch space): only whole pairs inside it are read,
  // whatever length the table claims.
  WORD resourceBytes = 0;
  if (data_.size() >= sizeof resourceBytes) memcpy(&resourceBytes, data_.data(), sizeof resourceBytes);
  const BYTE* const resourceEnd = data_.data() + (resourceBytes < data_.size() ? resourceBytes : data_.size());
  const BYTE* const tableAt = static_cast<const BYTE*>(table);
  if (tableAt < data_.data() || tableAt >= resourceEnd) return std::wstring();
  const size_t available = static_cast<size_t>(resourceEnd - tableAt);
  const size_t usableBytes = tableBytes < available ? tableBytes : available;
  for (size_t index = 0; index * 4 + 4 <= usableBytes; ++index) {
    wchar_t block[32];
    const int written = _snwprintf(block, 31, L"\\StringFileInfo\\%04X%04X\\", pairs[2 * index], pairs[2 * index + 1]);
    if (written < 0) continue;
    block[31] = L'\0';
    const std::wstring subBlock = block + key;
    void* text = nullptr;
    UINT textChars = 0;
    if (!VerQueryValueW(data_.data(), subBlock.c_str(), &text, &textChars) || !text) continue;
    // The text is its value: `textChars` characters at most (none for an
    // entry without a value, whose pointer then shows the next entry), and
    // never past the end of our buffer, even when the resource lacks the
    // terminator.
    const wchar_t* begin = static_cast<const wchar_t*>(text);
    const BYTE* at = reinterpret_cast<const BYTE*>(begin);
    if (at < data_.data() || at >= end) return std::wstring();
    const size_t maxChars = static_cast<size_t>(end - at) / sizeof(wchar_t);
    return std::wstring(begin, wcsnlen(begin, textChars < maxChars ? textChars : maxChars));
  }
  return std::wstring();
}

SystemFileVersionInfo::SystemFileVersionInfo(std::shared_ptr<ShlObjAPI> shell)
    : shell_(shell ? std::move(shell) : std::make_shared<ShlObjAPI>()) {}

bool SystemFileVersionInfo::Load(const std::wstring& name) {
  std::wstring prefix = systemPrefix_;
  if (prefix.empty()) {
    std::wstring folder;
    if (SUCCEEDED(GetKnownFolderPath(FOLDERID_System, 0, folder, shell_.get()))) {
      systemPrefix_ = folder + L"\\";
      prefix = systemPrefix_;
    } else {
      prefix = L"\\";
    }
  }
  return LoadFile(prefix + name);
}

}  // namespace Trevalk
