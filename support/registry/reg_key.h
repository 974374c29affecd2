// Registry key wrapper: a thin front object (CRegKey) over a virtual
// implementation (internal::CRegKeyImpl) held by shared pointer, so that a
// derived implementation can change how values are stored (see
// obfuscated_reg_key.h) while every caller keeps the same typed accessors.
//
// Contract for every operation returning LONG: a Win32 error code, 0 on
// success; nothing throws on a registry failure and nothing is logged.
// Every operation that needs an open key and finds none returns
// ERROR_INVALID_PARAMETER without calling the system; the raw QueryValue and
// SetValue are the only exceptions (they pass the missing handle on and
// return the system's answer, ERROR_INVALID_HANDLE). A value name may be
// null, which addresses the key's default value. Out-parameters of typed
// reads are written only on success.
//
// The results of opening, creating, reading and enumerating decide what a
// caller may do next, so they must not be dropped ([[nodiscard]]).
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "common/unique_handle.h"

namespace Trevalk {

namespace internal {

// Whether key, opened with REG_OPTION_OPEN_LINK, is a registry symbolic link
// (it carries its target in the REG_LINK value "SymbolicLinkValue").
bool IsSymbolicLink(HKEY key);

// Holds one key handle and does the work. The typed accessors reach the
// registry only through the virtual QueryValue and SetValue, Create and Open
// go through the virtual Close, and RecurseDeleteKey through the virtual
// DeleteSubKey: a derived implementation relies on these calls being virtual.
// The order of the virtual operations below is part of the interface.
class CRegKeyImpl {
 public:
  CRegKeyImpl() noexcept = default;
  CRegKeyImpl(const CRegKeyImpl&) = delete;
  CRegKeyImpl& operator=(const CRegKeyImpl&) = delete;

  // Closes the key (and deletes it first when delete-on-close is set).
  virtual ~CRegKeyImpl();

  // Raw read: RegQueryValueExW with exactly these arguments (any may be
  // null as that function allows). No open-key check.
  [[nodiscard]] virtual LONG QueryValue(LPCWSTR name, DWORD* type, void* data, DWORD* size);
  // Raw write: ERROR_INVALID_PARAMETER when data is null or size is 0, else
  // RegSetValueExW. No open-key check.
  virtual LONG SetValue(LPCWSTR name, DWORD type, const void* data, DWORD size);

  // Stored as REG_SZ text "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
  virtual LONG SetGUIDValue(LPCWSTR name, REFGUID guid);
  virtual LONG SetBinaryValue(LPCWSTR name, const void* data, ULONG size);
  virtual LONG SetDWORDValue(LPCWSTR name, DWORD value);
  virtual LONG SetQWORDValue(LPCWSTR name, ULONGLONG value);
  // ERROR_INVALID_DATA when text is null; stores the text with its
  // terminator.
  virtual LONG SetStringValue(LPCWSTR name, LPCWSTR text, DWORD type = REG_SZ);
  // text: strings each zero-terminated, ended by an empty string.
  // ERROR_INVALID_DATA when null.
  virtual LONG SetMultiStringValue(LPCWSTR name, LPCWSTR text);

  // ERROR_INVALID_DATA when the value is not "{...}" text that parses as a
  // GUID. The GUID is cleared first.
  [[nodiscard]] virtual LONG QueryGUIDValue(LPCWSTR name, GUID& guid);
  // size: in capacity, out bytes stored (also the needed size on
  // ERROR_MORE_DATA).
  [[nodiscard]] virtual LONG QueryBinaryValue(LPCWSTR name, void* data, ULONG* size);
  // ERROR_INVALID_DATA for any type other than REG_DWORD (or a size other
  // than 4 bytes).
  [[nodiscard]] virtual LONG QueryDWORDValue(LPCWSTR name, DWORD& value);
  // ERROR_INVALID_DATA for any type other than REG_QWORD (or a size other
  // than 8 bytes).
  [[nodiscard]] virtual LONG QueryQWORDValue(LPCWSTR name, ULONGLONG& value);
  // The text up to its first zero; ERROR_OUTOFMEMORY when the buffer cannot
  // be allocated.
  [[nodiscard]] virtual LONG QueryStringValue(LPCWSTR name, std::wstring& value);
  // chars: in capacity of buffer, out characters stored with the terminator.
  // It is 0 after any failure (ERROR_MORE_DATA included); with a null buffer
  // it reports the needed count. A stored text without terminator gives
  // ERROR_INVALID_DATA.
  [[nodiscard]] virtual LONG QueryStringValue(LPCWSTR name, LPWSTR buffer, ULONG* chars);
  // As above for REG_MULTI_SZ; ERROR_INSUFFICIENT_BUFFER for a buffer of
  // fewer than 2 characters, ERROR_INVALID_DATA when the stored list does
  // not end in two zeros.
  [[nodiscard]] virtual LONG QueryMultiStringValue(LPCWSTR name, LPWSTR buffer, ULONG* chars);

  [[nodiscard]] virtual LONG GetKeySecurity(SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor, DWORD* size);
  virtual LONG SetKeySecurity(SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor);

  // On failure the error is returned and the object is unchanged (the key
  // held before stays open). On success the key held before is closed and
  // the result of that Close is returned.
  [[nodiscard]] virtual LONG Create(HKEY parent, LPCWSTR path, LPWSTR keyClass = nullptr,
                                    DWORD options = REG_OPTION_NON_VOLATILE, REGSAM access = KEY_READ | KEY_WRITE,
                                    LPSECURITY_ATTRIBUTES security = nullptr, DWORD* disposition = nullptr);
  [[nodiscard]] virtual LONG Open(HKEY parent, LPCWSTR path, REGSAM access = KEY_READ | KEY_WRITE);
  // 0 when nothing is open. With delete-on-close set, the key and everything
  // below it is deleted before the handle is closed.
  virtual LONG Close();
  virtual LONG Flush();
  // The caller owns the returned handle; the object is closed afterwards.
  virtual HKEY Detach();
  // Takes ownership of key. A different key held before is closed first, as
  // Open closes it (so delete-on-close takes effect on it); attaching the
  // held handle again keeps it open.
  virtual void Attach(HKEY key);
  // nameChars: in capacity, out length without terminator.
  [[nodiscard]] virtual LONG EnumKey(DWORD index, LPWSTR name, DWORD* nameChars, FILETIME* lastWrite = nullptr);
  virtual LONG NotifyChangeKeyValue(BOOL watchSubtree, DWORD filter, HANDLE event, BOOL async = TRUE);
  // Deletes an empty sub-key in the registry view the key was opened in.
  virtual LONG DeleteSubKey(LPCWSTR name);
  // Deletes a sub-key with everything below it.
  virtual LONG RecurseDeleteKey(LPCWSTR name);
  virtual LONG DeleteValue(LPCWSTR name);
  // Grants Everyone full access on the key (and with recurse, writes the same
  // access list to every sub-key). ERROR_FILE_NOT_FOUND when the
  // access-control functions cannot be bound; 0 without change on a
  // platform without access lists.
  virtual LONG GrantEveryoneFullAccess(bool recurse);
  // Cleared by every Open, Create, Attach and Detach: set it afterwards.
  virtual void SetDeleteOnClose(bool deleteOnClose);
  virtual bool IsDeleteOnClose() const;

  // The held handle (still owned by this object), null when closed.
  HKEY Handle() const noexcept { return key_.get(); }
  // KEY_WOW64_64KEY / KEY_WOW64_32KEY bits the key was opened with.
  DWORD ViewFlags() const noexcept { return viewFlags_; }

 private:
  UniqueHKey key_;
  DWORD viewFlags_ = 0;
  bool deleteOnClose_ = false;
};

}  // namespace internal

// The support library's handle on one open registry key. Every operation
// forwards to the shared implementation; the destructor closes the
// implementation's key even when another front still shares it.
//
// Movable, not copyable: a move hands the implementation (with its key and
// its kind, plain or obfuscated) to the new front. The moved-from front
// holds none and acts as a closed key that cannot be opened again: each
// operation answers ERROR_INVALID_PARAMETER, Close 0, Detach null, and
// Attach closes the handle it is given. Assigning to a front first closes
// the key it held, as its destructor would.
class CRegKey {
 public:
  CRegKey();
  // Shares impl; a null impl gets a new plain implementation.
  explicit CRegKey(std::shared_ptr<internal::CRegKeyImpl> impl);
  CRegKey(const CRegKey&) = delete;
  CRegKey& operator=(const CRegKey&) = delete;
  CRegKey(CRegKey&& other) noexcept;
  CRegKey& operator=(CRegKey&& other) noexcept;

  virtual ~CRegKey();

  [[nodiscard]] virtual LONG QueryValue(LPCWSTR name, DWORD* type, void* data, DWORD* size);
  virtual LONG SetValue(LPCWSTR name, DWORD type, const void* data, DWORD size);
  virtual LONG SetGUIDValue(LPCWSTR name, REFGUID guid);
  virtual LONG SetBinaryValue(LPCWSTR name, const void* data, ULONG size);
  virtual LONG SetDWORDValue(LPCWSTR name, DWORD value);
  virtual LONG SetQWORDValue(LPCWSTR name, ULONGLONG value);
  virtual LONG SetStringValue(LPCWSTR name, LPCWSTR text, DWORD type = REG_SZ);
  virtual LONG SetMultiStringValue(LPCWSTR name, LPCWSTR text);
  [[nodiscard]] virtual LONG QueryGUIDValue(LPCWSTR name, GUID& guid);
  [[nodiscard]] virtual LONG QueryBinaryValue(LPCWSTR name, void* data, ULONG* size);
  [[nodiscard]] virtual LONG QueryDWORDValue(LPCWSTR name, DWORD& value);
  [[nodiscard]] virtual LONG QueryQWORDValue(LPCWSTR name, ULONGLONG& value);
  [[nodiscard]] virtual LONG QueryStringValue(LPCWSTR name, std::wstring& value);
  [[nodiscard]] virtual LONG QueryStringValue(LPCWSTR name, LPWSTR buffer, ULONG* chars);
  [[nodiscard]] virtual LONG QueryMultiStringValue(LPCWSTR name, LPWSTR buffer, ULONG* chars);
  [[nodiscard]] virtual LONG GetKeySecurity(SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor,
                                            DWORD* size);
  virtual LONG SetKeySecurity(SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor);
  [[nodiscard]] virtual LONG Create(HKEY parent, LPCWSTR path, LPWSTR keyClass = nullptr,
                                    DWORD options = REG_OPTION_NON_VOLATILE, REGSAM access = KEY_READ | KEY_WRITE,
                                    LPSECURITY_ATTRIBUTES security = nullptr, DWORD* disposition = nullptr);
  [[nodiscard]] virtual LONG Open(HKEY parent, LPCWSTR path, REGSAM access = KEY_READ | KEY_WRITE);
  virtual LONG Flush();
  [[nodiscard]] virtual LONG EnumKey(DWORD index, LPWSTR name, DWORD* nameChars, FILETIME* lastWrite = nullptr);
  virtual LONG NotifyChangeKeyValue(BOOL watchSubtree, DWORD filter, HANDLE event, BOOL async = TRUE);
  virtual LONG DeleteSubKey(LPCWSTR name);
  virtual LONG RecurseDeleteKey(LPCWSTR name);
  virtual LONG DeleteValue(LPCWSTR name);
  virtual LONG GrantEveryoneFullAccess(bool recurse);

  LONG Close();
  HKEY Detach();
  void Attach(HKEY key);

  // The held handle (owned by the implementation), null when closed.
  HKEY Handle() const noexcept { return impl_ ? impl_->Handle() : nullptr; }

 private:
  // Null only after a move.
  std::shared_ptr<internal::CRegKeyImpl> impl_;
};

}  // namespace Trevalk
