#include "registry/reg_key.h"

#include <objbase.h>
#include <shlwapi.h>

#include <cwchar>
#include <memory>
#include <new>

#include "registry/registry_text.h"

namespace Trevalk {
namespace internal {

namespace {

constexpr DWORD kViewMask = KEY_WOW64_64KEY | KEY_WOW64_32KEY;
constexpr ULONG kGuidTextChars = 64;
constexpr DWORD kSubKeyNameChars = 256;
constexpr int kStringReadAttempts = 4;

using RegDeleteKeyExWFn = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);

// Older systems lack RegDeleteKeyExW. The lookup is made once per process
// in the already loaded advapi32 (an open key implies it is loaded); the
// static's initialisation is thread-safe, so the outcome is fixed for all
// later calls.
RegDeleteKeyExWFn DeleteKeyExFunction() {
  static const RegDeleteKeyExWFn function = [] {
    HMODULE advapi = GetModuleHandleW(L"Advapi32.dll");
    return advapi ? reinterpret_cast<RegDeleteKeyExWFn>(
                        reinterpret_cast<void*>(GetProcAddress(advapi, "RegDeleteKeyExW")))
                  : nullptr;
  }();
  return function;
}

// Deletes the link name below parent itself. RegDeleteKey(Ex)W would follow
// the link and delete the key it points to; only NtDeleteKey on a handle
// opened with REG_OPTION_OPEN_LINK removes the link.
LONG DeleteSymbolicLink(HKEY parent, LPCWSTR name, DWORD viewFlags) {
  using NtDeleteKeyFn = LONG(WINAPI*)(HANDLE);
  using NtStatusToErrorFn = ULONG(WINAPI*)(LONG);
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const auto deleteKey = ntdll ? reinterpret_cast<NtDeleteKeyFn>(
                                     reinterpret_cast<void*>(GetProcAddress(ntdll, "NtDeleteKey")))
                               : nullptr;
  const auto toError = ntdll ? reinterpret_cast<NtStatusToErrorFn>(
                                   reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlNtStatusToDosError")))
                             : nullptr;
  if (deleteKey == nullptr || toError == nullptr) return ERROR_PROC_NOT_FOUND;
  UniqueHKey link;
  const LONG result = RegOpenKeyExW(parent, name, REG_OPTION_OPEN_LINK, DELETE | viewFlags, link.put());
  if (result != ERROR_SUCCESS) return result;
  return static_cast<LONG>(toError(deleteKey(link.get())));
}

// The registry type of a fixed-size integer value.
template <typename T>
struct FixedValueType;
template <>
struct FixedValueType<DWORD> {
  static constexpr DWORD kType = REG_DWORD;
};
template <>
struct FixedValueType<ULONGLONG> {
  static constexpr DWORD kType = REG_QWORD;
};

// SetDWORDValue and SetQWORDValue: the value's bytes through the virtual
// raw write.
template <typename T>
LONG SetFixedValue(CRegKeyImpl& key, LPCWSTR name, T value) {
  if (!key.Handle()) return ERROR_INVALID_PARAMETER;
  return key.SetValue(name, FixedValueType<T>::kType, &value, sizeof(value));
}

// QueryDWORDValue and QueryQWORDValue: through the virtual raw read; a value
// of another type or size is ERROR_INVALID_DATA, and `value` is written only
// on success.
template <typename T>
LONG QueryFixedValue(CRegKeyImpl& key, LPCWSTR name, T& value) {
  if (!key.Handle()) return ERROR_INVALID_PARAMETER;
  DWORD type = 0;
  T read = 0;
  DWORD size = sizeof(read);
  const LONG result = key.QueryValue(name, &type, &read, &size);
  if (result != ERROR_SUCCESS) return result;
  if (type != FixedValueType<T>::kType || size != sizeof(read)) return ERROR_INVALID_DATA;
  value = read;
  return ERROR_SUCCESS;
}

}  // namespace

bool IsSymbolicLink(HKEY key) {
  DWORD type = REG_NONE;
  return RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS &&
         type == REG_LINK;
}

// During destruction a call binds to this class's Close whatever a derived
// class overrides (its part is already gone): named so, as it runs.
CRegKeyImpl::~CRegKeyImpl() { CRegKeyImpl::Close(); }

LONG CRegKeyImpl::QueryValue(LPCWSTR name, DWORD* type, void* data, DWORD* size) {
  return RegQueryValueExW(key_.get(), name, nullptr, type, static_cast<BYTE*>(data), size);
}

LONG CRegKeyImpl::SetValue(LPCWSTR name, DWORD type, const void* data, DWORD size) {
  if (data == nullptr || size == 0) return ERROR_INVALID_PARAMETER;
  return RegSetValueExW(key_.get(), name, 0, type, static_cast<const BYTE*>(data), size);
}

LONG CRegKeyImpl::SetGUIDValue(LPCWSTR name, REFGUID guid) {
  if (!key_) return ERROR_INVALID_PARAMETER;
  wchar_t text[kGuidTextChars] = {};
  if (StringFromGUID2(guid, text, kGuidTextChars) == 0) return ERROR_INVALID_DATA;
  return SetStringValue(name, text, REG_SZ);
}

LONG CRegKeyImpl::SetBinaryValue(LPCWSTR name, const void* data, ULONG size) {
  if (!key_) return ERROR_INVALID_PARAMETER;
  return SetValue(name, REG_BINARY, data, size);
}

LONG CRegKeyImpl::SetDWORDValue(LPCWSTR name, DWORD value) { return SetFixedValue(*this, name, value); }

LONG CRegKeyImpl::SetQWORDValue(LPCWSTR name, ULONGLONG value) { return SetFixedValue(*this, name, value); }

LONG CRegKeyImpl::SetStringValue(LPCWSTR name, LPCWSTR text, DWORD type) {
  if (!key_) return ERROR_INVALID_PARAMETER;
  if (text == nullptr) return ERROR_INVALID_DATA;
  const size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
  if (bytes > MAXDWORD) return ERROR_INVALID_PARAMETER;
  return SetValue(name, type, text, static_cast<DWORD>(bytes));
}

LONG CRegKeyImpl::SetMultiStringValue(LPCWSTR name, LPCWSTR text) {
  if (!key_) return ERROR_INVALID_PARAMETER;
  if (text == nullptr) return ERROR_INVALID_DATA;
  size_t chars = 0;
  for (;;) {
    const size_t length = wcslen(text + chars);
    chars += length + 1;
    if (length == 0) break;
  }
  if (chars > MAXDWORD / sizeof(wchar_t)) return ERROR_INVALID_PARAMETER;
  return SetValue(name, REG_MULTI_SZ, text, static_cast<DWORD>(chars * sizeof(wchar_t)));
}

LONG CRegKeyImpl::QueryGUIDValue(LPCWSTR name, GUID& guid) {
  guid = GUID{};
  wchar_t text[kGuidTextChars] = {};
  ULONG chars = kGuidTextChars;
  const LONG result = QueryStringValue(name, text, &chars);
  if (result != ERROR_SUCCESS) return result;
  if (text[0] != L'{') return ERROR_INVALID_DATA;
  GUID parsed{};
  if (FAILED(CLSIDFromString(text, &parsed))) return ERROR_INVALID_DATA;
  guid = parsed;
  return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryBinaryValue(LPCWSTR name, void* data, ULONG* size) {
  if (!key_) return ERROR_INVALID_PARAMETER;
  DWORD type = 0;
  const LONG result = QueryValue(name, &type, data, size);
  if (result != ERROR_SUCCESS) return result;
  return type == REG_BINARY ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

LONG CRegKeyImpl::QueryDWORDValue(LPCWSTR name, DWORD& value) { return QueryFixedValue(*this, name, value); }

LONG CRegKeyImpl::QueryQWORDValue(LPCWSTR name, ULONGLONG& value) { return QueryFixedValue(*this, name, value); }

LONG CRegKeyImpl::QueryStringValue(LPCWSTR name, std::wstring& value) {
  // The value may grow between the size query and the read: ERROR_MORE_DATA
  // there means the count is stale, so it is asked for again, a few times.
  for (int attempt = 1;; ++attempt) {
    ULONG chars = 0;
    LONG result = QueryStringValue(name, nullptr, &chars);
    if (result != ERROR_SUCCESS) return result;
    if (chars == 0) {
      value.clear();
      return ERROR_SUCCESS;
    }
    // One character more than counted: the count rounds an odd byte size
    // down, and such a value must read as malformed (13), not as too long.
    ULONG capacity = chars + 1;
    std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[capacity]);
    if (!buffer) return ERROR_OUTOFMEMORY;
    chars = capacity;
    result = QueryStringValue(name, buffer.get(), &chars);
    if (result == ERROR_MORE_DATA && attempt < kStringReadAttempts) continue;
    if (result != ERROR_SUCCESS) return result;
    value.assign(buffer.get(), wcsnlen(buffer.get(), chars));
    return ERROR_SUCCESS;
  }
}

LONG CRegKeyImpl::QueryStringValue(LPCWSTR name, LPWSTR buffer, ULONG* chars) {
  if (!key_ || chars == nullptr) return ERROR_INVALID_PARAMETER;
  const ULONG capacity = *chars;
  if (capacity > MAXDWORD / sizeof(wchar_t)) return ERROR_INVALID_PARAMETER;
  DWORD size = capacity * sizeof(wchar_t);
  *chars = 0;
  DWORD type = 0;
  const LONG result = QueryValue(name, &type, buffer, &size);
  if (result != ERROR_SUCCESS) return result;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
  if (buffer != nullptr) {
    if (size == 0) {
      if (capacity > 0) buffer[0] = L'\0';
    } else if (!AcceptedRegistryText(type, buffer, size)) {
      return ERROR_INVALID_DATA;
    }
  }
  *chars = size / sizeof(wchar_t);
  return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryMultiStringValue(LPCWSTR name, LPWSTR buffer, ULONG* chars) {
  if (!key_ || chars == nullptr) return ERROR_INVALID_PARAMETER;
  const ULONG capacity = *chars;
  if (buffer != nullptr && capacity < 2) return ERROR_INSUFFICIENT_BUFFER;
  if (capacity > MAXDWORD / sizeof(wchar_t)) return ERROR_INVALID_PARAMETER;
  DWORD size = capacity * sizeof(wchar_t);
  *chars = 0;
  DWORD type = 0;
  const LONG result = QueryValue(name, &type, buffer, &size);
  if (result != ERROR_SUCCESS) return result;
  if (type != REG_MULTI_SZ) return ERROR_INVALID_DATA;
  if (buffer != nullptr) {
    const DWORD count = size / sizeof(wchar_t);
    if (size % sizeof(wchar_t) != 0 || size < sizeof(wchar_t) || buffer[count - 1] != L'\0' ||
        (count >= 2 && buffer[count - 2] != L'\0')) {
      return ERROR_INVALID_DATA;
    }
  }
  *chars = size / sizeof(wchar_t);
  return ERROR_SUCCESS;
}

LONG CRegKeyImpl::GetKeySecurity(SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor, DWORD* size) {
  if (!key_ || size == nullptr) return ERROR_INVALID_PARAMETER;
  return RegGetKeySecurity(key_.get(), info, descriptor, size);
}

LONG CRegKeyImpl::SetKeySecurity(SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor) {
  if (!key_ || descriptor == nullptr) return ERROR_INVALID_PARAMETER;
  return RegSetKeySecurity(key_.get(), info, descriptor);
}

LONG CRegKeyImpl::Create(HKEY parent, LPCWSTR path, LPWSTR keyClass, DWORD options, REGSAM access,
                         LPSECURITY_ATTRIBUTES security, DWORD* disposition) {
  HKEY created = nullptr;
  const LONG result =
      RegCreateKeyExW(parent, path, 0, keyClass, options, access, security, &created, disposition);
  if (result != ERROR_SUCCESS) return result;
  const LONG closeResult = Close();
  key_.reset(created);
  viewFlags_ = access & kViewMask;
  deleteOnClose_ = false;
  return closeResult;
}

LONG CRegKeyImpl::Open(HKEY parent, LPCWSTR path, REGSAM access) {
  HKEY opened = nullptr;
  const LONG result = RegOpenKeyExW(parent, path, 0, access, &opened);
  if (result != ERROR_SUCCESS) return result;
  const LONG closeResult = Close();
  key_.reset(opened);
  viewFlags_ = access & kViewMask;
  deleteOnClose_ = false;
  return closeResult;
}

LONG CRegKeyImpl::Close() {
  if (!key_) {
    viewFlags_ = 0;
    return ERROR_SUCCESS;
  }
  if (deleteOnClose_) {
    // The sub-keys go first through RecurseDeleteKey, which removes a
    // symbolic link itself: SHDeleteKeyW follows links and would delete the
    // keys they point to. When one cannot be deleted the key cannot go
    // either, and SHDeleteKeyW is not let loose on what is left.
    // The key is enumerated through a handle of its own: the held one may
    // lack the right to list sub-keys.
    UniqueHKey listing;
    const bool listed = RegOpenKeyExW(key_.get(), L"", 0, KEY_ENUMERATE_SUB_KEYS | viewFlags_, listing.put()) ==
                        ERROR_SUCCESS;
    bool emptied = listed;
    for (DWORD index = 0; listed;) {
      wchar_t subKey[kSubKeyNameChars] = {};
      DWORD chars = kSubKeyNameChars;
      if (RegEnumKeyExW(listing.get(), index, subKey, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        break;
      }
      if (CRegKeyImpl::RecurseDeleteKey(subKey) != ERROR_SUCCESS) {
        emptied = false;
        ++index;
      }
    }
    // SHDeleteKeyW with an empty sub-key name removes what is left of the
    // key; some implementations (Wine's) then keep the key itself, so it is
    // deleted explicitly as well, an error there meaning it is already gone.
    // There is nobody to report a failure to: the handle is closed regardless.
    if (emptied) {
      SHDeleteKeyW(key_.get(), L"");
      RegDeleteKeyW(key_.get(), L"");
    }
    deleteOnClose_ = false;
  }
  const LONG result = RegCloseKey(key_.release());
  viewFlags_ = 0;
  return result;
}

LONG CRegKeyImpl::Flush() {
  if (!key_) return ERROR_INVALID_PARAMETER;
  return RegFlushKey(key_.get());
}

HKEY CRegKeyImpl::Detach() {
  viewFlags_ = 0;
  deleteOnClose_ = false;
  return key_.release();
}

void CRegKeyImpl::Attach(HKEY key) {
  // The held key goes as Open lets it go, through the virtual Close; there
  // is nobody to report its result to. The same handle again is kept.
  if (key != key_.get()) {
    Close();
    key_.reset(key);
  }
  viewFlags_ = 0;
  deleteOnClose_ = false;
}

LONG CRegKeyImpl::EnumKey(DWORD index, LPWSTR name, DWORD* nameChars, FILETIME* lastWrite) {
  if (!key_) return ERROR_INVALID_PARAMETER;
  FILETIME scratch{};
  return RegEnumKeyExW(key_.get(), index, name, nameChars, nullptr, nullptr, nullptr,
                       lastWrite ? lastWrite : &scratch);
}

LONG CRegKeyImpl::NotifyChangeKeyValue(BOOL watchSubtree, DWORD filter, HANDLE event, BOOL async) {
  if (!key_) return ERROR_INVALID_PARAMETER;
  return RegNotifyChangeKeyValue(key_.get(), watchSubtree, filter, event, async);
}

LONG CRegKeyImpl::DeleteSubKey(LPCWSTR name) {
  if (!key_ || name == nullptr) return ERROR_INVALID_PARAMETER;
  if (RegDeleteKeyExWFn deleteKeyEx = DeleteKeyExFunction()) {
    return deleteKeyEx(key_.get(), name, viewFlags_, 0);
  }
  return RegDeleteKeyW(key_.get(), name);
}

LONG CRegKeyImpl::RecurseDeleteKey(LPCWSTR name) {
  // A null or empty name opens the held key itself: the walk would empty it
  // (and with "" delete it) instead of deleting a sub-key.
  if (!key_ || name == nullptr || name[0] == L'\0') return ERROR_INVALID_PARAMETER;
  // A symbolic link is opened itself, not the key it points to, so the walk
  // never leaves the tree; the link is then removed, never its target.
  HKEY opened = nullptr;
  LONG result = RegOpenKeyExW(key_.get(), name, REG_OPTION_OPEN_LINK, KEY_READ | KEY_WRITE | viewFlags_, &opened);
  if (result != ERROR_SUCCESS) return result;
  CRegKeyImpl child;
  child.key_.reset(opened);
  child.viewFlags_ = viewFlags_;
  if (IsSymbolicLink(opened)) {
    child.Close();
    return DeleteSymbolicLink(key_.get(), name, viewFlags_);
  }
  for (;;) {
    wchar_t subKey[kSubKeyNameChars] = {};
    DWORD chars = kSubKeyNameChars;
    // Index 0 every time: each successful pass removes the sub-key it found.
    if (child.EnumKey(0, subKey, &chars) != ERROR_SUCCESS) break;
    result = child.RecurseDeleteKey(subKey);
    if (result != ERROR_SUCCESS) {
      child.Close();
      return result;
    }
  }
  child.Close();
  return DeleteSubKey(name);
}

LONG CRegKeyImpl::DeleteValue(LPCWSTR name) {
  if (!key_ || name == nullptr) return ERROR_INVALID_PARAMETER;
  return RegDeleteValueW(key_.get(), name);
}

void CRegKeyImpl::SetDeleteOnClose(bool deleteOnClose) { deleteOnClose_ = deleteOnClose; }

bool CRegKeyImpl::IsDeleteOnClose() const { return deleteOnClose_; }

}  // namespace internal

namespace {
// What a moved-from front, which has no implementation, answers.
constexpr LONG kNoImplementation = ERROR_INVALID_PARAMETER;
}  // namespace

CRegKey::CRegKey() : impl_(std::make_shared<internal::CRegKeyImpl>()) {}

CRegKey::CRegKey(std::shared_ptr<internal::CRegKeyImpl> impl)
    : impl_(impl ? std::move(impl) : std::make_shared<internal::CRegKeyImpl>()) {}

CRegKey::CRegKey(CRegKey&& other) noexcept : impl_(std::move(other.impl_)) {}

CRegKey& CRegKey::operator=(CRegKey&& other) noexcept {
  if (this != &other) {
    if (impl_) impl_->Close();
    impl_ = std::move(other.impl_);
  }
  return *this;
}

CRegKey::~CRegKey() {
  if (impl_) impl_->Close();
}

LONG CRegKey::QueryValue(LPCWSTR name, DWORD* type, void* data, DWORD* size) {
  return impl_ ? impl_->QueryValue(name, type, data, size) : kNoImplementation;
}
LONG CRegKey::SetValue(LPCWSTR name, DWORD type, const void* data, DWORD size) {
  return impl_ ? impl_->SetValue(name, type, data, size) : kNoImplementation;
}
LONG CRegKey::SetGUIDValue(LPCWSTR name, REFGUID guid) {
  return impl_ ? impl_->SetGUIDValue(name, guid) : kNoImplementation;
}
LONG CRegKey::SetBinaryValue(LPCWSTR name, const void* data, ULONG size) {
  return impl_ ? impl_->SetBinaryValue(name, data, size) : kNoImplementation;
}
LONG CRegKey::SetDWORDValue(LPCWSTR name, DWORD value) {
  return impl_ ? impl_->SetDWORDValue(name, value) : kNoImplementation;
}
LONG CRegKey::SetQWORDValue(LPCWSTR name, ULONGLONG value) {
  return impl_ ? impl_->SetQWORDValue(name, value) : kNoImplementation;
}
LONG CRegKey::SetStringValue(LPCWSTR name, LPCWSTR text, DWORD type) {
  return impl_ ? impl_->SetStringValue(name, text, type) : kNoImplementation;
}
LONG CRegKey::SetMultiStringValue(LPCWSTR name, LPCWSTR text) {
  return impl_ ? impl_->SetMultiStringValue(name, text) : kNoImplementation;
}
LONG CRegKey::QueryGUIDValue(LPCWSTR name, GUID& guid) {
  return impl_ ? impl_->QueryGUIDValue(name, guid) : kNoImplementation;
}
LONG CRegKey::QueryBinaryValue(LPCWSTR name, void* data, ULONG* size) {
  return impl_ ? impl_->QueryBinaryValue(name, data, size) : kNoImplementation;
}
LONG CRegKey::QueryDWORDValue(LPCWSTR name, DWORD& value) {
  return impl_ ? impl_->QueryDWORDValue(name, value) : kNoImplementation;
}
LONG CRegKey::QueryQWORDValue(LPCWSTR name, ULONGLONG& value) {
  return impl_ ? impl_->QueryQWORDValue(name, value) : kNoImplementation;
}
LONG CRegKey::QueryStringValue(LPCWSTR name, std::wstring& value) {
  return impl_ ? impl_->QueryStringValue(name, value) : kNoImplementation;
}
LONG CRegKey::QueryStringValue(LPCWSTR name, LPWSTR buffer, ULONG* chars) {
  return impl_ ? impl_->QueryStringValue(name, buffer, chars) : kNoImplementation;
}
LONG CRegKey::QueryMultiStringValue(LPCWSTR name, LPWSTR buffer, ULONG* chars) {
  return impl_ ? impl_->QueryMultiStringValue(name, buffer, chars) : kNoImplementation;
}
LONG CRegKey::GetKeySecurity(SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor, DWORD* size) {
  return impl_ ? impl_->GetKeySecurity(info, descriptor, size) : kNoImplementation;
}
LONG CRegKey::SetKeySecurity(SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor) {
  return impl_ ? impl_->SetKeySecurity(info, descriptor) : kNoImplementation;
}
LONG CRegKey::Create(HKEY parent, LPCWSTR path, LPWSTR keyClass, DWORD options, REGSAM access,
                     LPSECURITY_ATTRIBUTES security, DWORD* disposition) {
  return impl_ ? impl_->Create(parent, path, keyClass, options, access, security, disposition) : kNoImplementation;
}
LONG CRegKey::Open(HKEY parent, LPCWSTR path, REGSAM access) {
  return impl_ ? impl_->Open(parent, path, access) : kNoImplementation;
}
LONG CRegKey::Flush() { return impl_ ? impl_->Flush() : kNoImplementation; }
LONG CRegKey::EnumKey(DWORD index, LPWSTR name, DWORD* nameChars, FILETIME* lastWrite) {
  return impl_ ? impl_->EnumKey(index, name, nameChars, lastWrite) : kNoImplementation;
}
LONG CRegKey::NotifyChangeKeyValue(BOOL watchSubtree, DWORD filter, HANDLE event, BOOL async) {
  return impl_ ? impl_->NotifyChangeKeyValue(watchSubtree, filter, event, async) : kNoImplementation;
}
LONG CRegKey::DeleteSubKey(LPCWSTR name) { return impl_ ? impl_->DeleteSubKey(name) : kNoImplementation; }
LONG CRegKey::RecurseDeleteKey(LPCWSTR name) { return impl_ ? impl_->RecurseDeleteKey(name) : kNoImplementation; }
LONG CRegKey::DeleteValue(LPCWSTR name) { return impl_ ? impl_->DeleteValue(name) : kNoImplementation; }
LONG CRegKey::GrantEveryoneFullAccess(bool recurse) {
  return impl_ ? impl_->GrantEveryoneFullAccess(recurse) : kNoImplementation;
}
LONG CRegKey::Close() { return impl_ ? impl_->Close() : ERROR_SUCCESS; }
HKEY CRegKey::Detach() { return impl_ ? impl_->Detach() : nullptr; }
void CRegKey::Attach(HKEY key) {
  if (impl_) {
    impl_->Attach(key);
  } else if (key) {
    // Handed over, and nothing here can hold it.
    RegCloseKey(key);
  }
}

}  // namespace Trevalk
