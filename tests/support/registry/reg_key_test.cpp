// CRegKey / internal::CRegKeyImpl against Wine's registry.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "registry/reg_key.h"
#include "registry_fixture.h"

namespace {

using Trevalk::CRegKey;
using Trevalk::internal::CRegKeyImpl;

class RegKeyTest : public rvqtest::RegistryTest {
 protected:
  void OpenRoot(CRegKey& key) { ASSERT_EQ(ERROR_SUCCESS, key.Open(HKEY_CURRENT_USER, path_.c_str())); }
};

TEST_F(RegKeyTest, TypedValuesRoundTrip) {
  CRegKey key;
  OpenRoot(key);
  const GUID guid = {0x6c2e0a9f, 0x3b71, 0x4d58, {0xa0, 0xe4, 0x91, 0xf7, 0xb2, 0x5c, 0x8d, 0x36}};
  const BYTE blob[] = {0, 1, 2, 0xFF};
  ASSERT_EQ(0, key.SetDWORDValue(L"d", 0xDEADBEEF));
  ASSERT_EQ(0, key.SetQWORDValue(L"q", 0x0123456789ABCDEFull));
  ASSERT_EQ(0, key.SetStringValue(L"s", L"text"));
  ASSERT_EQ(0, key.SetStringValue(L"x", L"%TEMP%", REG_EXPAND_SZ));
  ASSERT_EQ(0, key.SetBinaryValue(L"b", blob, sizeof(blob)));
  ASSERT_EQ(0, key.SetGUIDValue(L"g", guid));

  DWORD d = 0;
  ULONGLONG q = 0;
  std::wstring s, x;
  BYTE b[8] = {};
  ULONG bsize = sizeof(b);
  GUID g{};
  EXPECT_EQ(0, key.QueryDWORDValue(L"d", d));
  EXPECT_EQ(0xDEADBEEFu, d);
  EXPECT_EQ(0, key.QueryQWORDValue(L"q", q));
  EXPECT_EQ(0x0123456789ABCDEFull, q);
  EXPECT_EQ(0, key.QueryStringValue(L"s", s));
  EXPECT_EQ(L"text", s);
  EXPECT_EQ(0, key.QueryStringValue(L"x", x));
  EXPECT_EQ(L"%TEMP%", x);
  EXPECT_EQ(0, key.QueryBinaryValue(L"b", b, &bsize));
  EXPECT_EQ(sizeof(blob), bsize);
  EXPECT_EQ(0, memcmp(blob, b, sizeof(blob)));
  EXPECT_EQ(0, key.QueryGUIDValue(L"g", g));
  EXPECT_TRUE(IsEqualGUID(guid, g));
  DWORD type = 0;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(L"{6C2E0A9F-3B71-4D58-A0E4-91F7B25C8D36}"), 39 * 2),
            GetRaw(L"g", &type));
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
}

TEST_F(RegKeyTest, WrongTypesAndSizesAreInvalidData) {
  CRegKey key;
  OpenRoot(key);
  const DWORD four = 4;
  PutRaw(L"bin4", REG_BINARY, &four, 4);
  PutRaw(L"big", REG_DWORD_BIG_ENDIAN, &four, 4);
  PutRaw(L"dw", REG_DWORD, &four, 4);
  PutRaw(L"guidtext", REG_SZ, L"6C2E0A9F-3B71", 14 * 2);
  DWORD d = 77;
  ULONGLONG q = 0;
  GUID g{};
  EXPECT_EQ(ERROR_INVALID_DATA, key.QueryDWORDValue(L"bin4", d));
  EXPECT_EQ(ERROR_INVALID_DATA, key.QueryDWORDValue(L"big", d));
  EXPECT_EQ(77u, d) << "out-parameter untouched on failure";
  EXPECT_EQ(ERROR_INVALID_DATA, key.QueryQWORDValue(L"dw", q));
  EXPECT_EQ(ERROR_INVALID_DATA, key.QueryGUIDValue(L"guidtext", g));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.QueryDWORDValue(L"missing", d));
  BYTE buffer[4];
  ULONG size = sizeof(buffer);
  EXPECT_EQ(ERROR_INVALID_DATA, key.QueryBinaryValue(L"dw", buffer, &size));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, key.SetValue(L"z", REG_BINARY, buffer, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, key.SetValue(L"z", REG_BINARY, nullptr, 4));
  EXPECT_EQ(ERROR_INVALID_DATA, key.SetStringValue(L"z", nullptr));
  EXPECT_EQ(ERROR_INVALID_DATA, key.SetMultiStringValue(L"z", nullptr));
}

TEST_F(RegKeyTest, StringReadRules) {
  CRegKey key;
  OpenRoot(key);
  // The character after the counted ones is not zero, so Wine stores the
  // value exactly as counted, without terminator.
  PutRaw(L"unterminated", REG_SZ, L"abcX", 3 * sizeof(wchar_t));
  PutRaw(L"empty", REG_SZ, L"", 0);
  PutRaw(L"odd", REG_SZ, "a\0b", 3);
  ASSERT_EQ(0, key.SetStringValue(L"long", L"0123456789"));

  wchar_t buffer[32];
  ULONG chars = 32;
  std::wstring text = L"old";
  EXPECT_EQ(ERROR_INVALID_DATA, key.QueryStringValue(L"unterminated", buffer, &chars));
  EXPECT_EQ(0u, chars);
  EXPECT_EQ(ERROR_INVALID_DATA, key.QueryStringValue(L"unterminated", text));
  chars = 32;
  EXPECT_EQ(ERROR_INVALID_DATA, key.QueryStringValue(L"odd", buffer, &chars));
  EXPECT_EQ(ERROR_INVALID_DATA, key.QueryStringValue(L"odd", text));

  chars = 32;
  buffer[0] = L'?';
  EXPECT_EQ(0, key.QueryStringValue(L"empty", buffer, &chars));
  EXPECT_EQ(0u, chars);
  EXPECT_EQ(L'\0', buffer[0]);
  EXPECT_EQ(0, key.QueryStringValue(L"empty", text));
  EXPECT_EQ(L"", text);

  chars = 5;
  EXPECT_EQ(ERROR_MORE_DATA, key.QueryStringValue(L"long", buffer, &chars));
  EXPECT_EQ(0u, chars) << "the needed count is not reported with a buffer";
  chars = 0;
  EXPECT_EQ(0, key.QueryStringValue(L"long", nullptr, &chars));
  EXPECT_EQ(11u, chars);
  chars = 11;
  EXPECT_EQ(0, key.QueryStringValue(L"long", buffer, &chars));
  EXPECT_EQ(11u, chars);
  EXPECT_STREQ(L"0123456789", buffer);
}

TEST_F(RegKeyTest, MultiStringRules) {
  CRegKey key;
  OpenRoot(key);
  ASSERT_EQ(0, key.SetMultiStringValue(L"good", L"a\0bc\0"));
  DWORD type = 0;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(L"a\0bc\0\0"), 12), GetRaw(L"good", &type));
  EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);

  wchar_t one[1];
  ULONG chars = 1;
  EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, key.QueryMultiStringValue(L"missing", one, &chars));

  struct Malformed {
    const char* what;
    const void* data;
    DWORD size;
  } const cases[] = {
      {"empty", L"", 0},
      {"odd size", "a\0\0\0\0", 5},
      {"no terminator", L"ab", 4},
      {"single terminator", L"a\0b", 8},
  };
  for (const Malformed& c : cases) {
    PutRaw(L"bad", REG_MULTI_SZ, c.data, c.size);
    wchar_t buffer[16];
    chars = 16;
    EXPECT_EQ(ERROR_INVALID_DATA, key.QueryMultiStringValue(L"bad", buffer, &chars)) << c.what;
    EXPECT_EQ(0u, chars) << c.what;
  }
  PutRaw(L"sz", REG_SZ, L"a\0", 6);
  wchar_t buffer[16];
  chars = 16;
  EXPECT_EQ(ERROR_INVALID_DATA, key.QueryMultiStringValue(L"sz", buffer, &chars));
  chars = 16;
  ASSERT_EQ(0, key.QueryMultiStringValue(L"good", buffer, &chars));
  EXPECT_EQ(6u, chars);
  EXPECT_EQ(0, memcmp(L"a\0bc\0\0", buffer, 12));
  chars = 3;
  EXPECT_EQ(ERROR_MORE_DATA, key.QueryMultiStringValue(L"good", buffer, &chars));
  EXPECT_EQ(0u, chars);
}

TEST_F(RegKeyTest, FailedOpenOrCreateKeepsTheHeldKey) {
  CRegKey key;
  OpenRoot(key);
  const HKEY held = key.Handle();
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.Open(held, L"missing"));
  EXPECT_EQ(held, key.Handle());
  // A path below a value-less parent that cannot be created: an invalid
  // parent handle fails the create.
  EXPECT_NE(0, key.Create(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234)), L"x"));
  EXPECT_EQ(held, key.Handle());
  EXPECT_EQ(0, key.SetDWORDValue(L"still", 1));
  EXPECT_EQ(0, key.DeleteValue(L"still"));
}

TEST_F(RegKeyTest, DeleteOnCloseRemovesTheWholeKey) {
  MakeKey(L"doomed\\child\\grandchild");
  auto impl = std::make_shared<CRegKeyImpl>();
  {
    CRegKey front(impl);
    ASSERT_EQ(0, front.Open(root_, L"doomed", KEY_ALL_ACCESS));
    impl->SetDeleteOnClose(true);
    EXPECT_TRUE(impl->IsDeleteOnClose());
    // A second front shares the implementation; its destructor closes it.
  }
  EXPECT_FALSE(impl->IsDeleteOnClose());
  EXPECT_EQ(nullptr, impl->Handle());
  EXPECT_FALSE(KeyExists(L"doomed"));

  // A symbolic link below the key goes, the key it points to stays, also
  // when the key was opened without the right to list its sub-keys.
  MakeKey(L"elsewhere\\kept");
  MakeKey(L"linked\\plain");
  MakeLink(L"linked\\link", L"elsewhere");
  ASSERT_EQ(0, impl->Open(root_, L"linked", KEY_SET_VALUE));
  impl->SetDeleteOnClose(true);
  EXPECT_EQ(0, impl->Close());
  EXPECT_FALSE(LinkExists(L"linked"));
  EXPECT_TRUE(KeyExists(L"elsewhere\\kept"));

  // Open clears the flag: it only applies to the key it was set for.
  MakeKey(L"kept");
  impl->SetDeleteOnClose(true);
  ASSERT_EQ(0, impl->Open(root_, L"kept", KEY_ALL_ACCESS));
  EXPECT_FALSE(impl->IsDeleteOnClose());
  EXPECT_EQ(0, impl->Close());
  EXPECT_TRUE(KeyExists(L"kept"));
}

TEST_F(RegKeyTest, RecurseDeleteKeyRemovesATree) {
  MakeKey(L"tree\\a\\a1\\a11");
  MakeKey(L"tree\\a\\a2");
  MakeKey(L"tree\\b\\b1\\b11");
  MakeKey(L"sibling");
  CRegKey key;
  OpenRoot(key);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.RecurseDeleteKey(L"missing"));
  EXPECT_EQ(0, key.RecurseDeleteKey(L"tree"));
  EXPECT_FALSE(KeyExists(L"tree"));
  EXPECT_TRUE(KeyExists(L"sibling"));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, CRegKey().RecurseDeleteKey(L"sibling"));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, key.DeleteSubKey(nullptr));
  // Neither names a sub-key: nothing below the held key goes, nor the key.
  MakeKey(L"sibling\\below");
  EXPECT_EQ(ERROR_INVALID_PARAMETER, key.RecurseDeleteKey(nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, key.RecurseDeleteKey(L""));
  EXPECT_TRUE(KeyExists(L"sibling\\below"));
  EXPECT_TRUE(KeyExists(L""));
}

TEST_F(RegKeyTest, RecurseDeleteKeyRemovesALinkNotWhatItPointsTo) {
  MakeKey(L"elsewhere\\kept");
  MakeKey(L"tree\\plain");
  MakeLink(L"tree\\link", L"elsewhere");
  MakeLink(L"toplink", L"elsewhere");
  ASSERT_TRUE(KeyExists(L"tree\\link\\kept"));
  CRegKey key;
  OpenRoot(key);
  EXPECT_EQ(0, key.RecurseDeleteKey(L"tree"));
  EXPECT_FALSE(LinkExists(L"tree"));
  EXPECT_EQ(0, key.RecurseDeleteKey(L"toplink"));
  EXPECT_FALSE(LinkExists(L"toplink"));
  EXPECT_TRUE(KeyExists(L"elsewhere\\kept"));
}

TEST_F(RegKeyTest, DetachAndAttachHandOverOwnership) {
  CRegKey key;
  OpenRoot(key);
  ASSERT_EQ(0, key.SetDWORDValue(L"v", 5));
  const HKEY detached = key.Detach();
  EXPECT_EQ(nullptr, key.Handle());
  EXPECT_EQ(ERROR_INVALID_PARAMETER, key.DeleteValue(L"v"));
  DWORD value = 0, size = sizeof(value);
  EXPECT_EQ(0, RegQueryValueExW(detached, L"v", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size))
      << "Detach must not close the handle";

  MakeKey(L"other");
  CRegKey other;
  ASSERT_EQ(0, other.Open(root_, L"other"));
  other.Attach(detached);  // the handle of "other" is now unowned, still open
  EXPECT_EQ(0, other.QueryDWORDValue(L"v", value));
  EXPECT_EQ(5u, value);
  EXPECT_EQ(0, other.Close());
  EXPECT_NE(ERROR_SUCCESS, RegQueryValueExW(detached, L"v", nullptr, nullptr, nullptr, nullptr))
      << "Close after Attach closes the attached handle";
}

TEST_F(RegKeyTest, AttachClosesTheKeyItHeld) {
  MakeKey(L"one");
  MakeKey(L"two");
  MakeKey(L"three");
  HKEY two = nullptr;
  ASSERT_EQ(0, RegOpenKeyExW(root_, L"two", 0, KEY_ALL_ACCESS, &two));
  CRegKey key;
  ASSERT_EQ(0, key.Open(root_, L"one"));
  const HKEY one = key.Handle();
  key.Attach(two);
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueExW(one, L"v", nullptr, nullptr, nullptr, nullptr))
      << "the key held before is closed, not left open and unowned";
  key.Attach(two);  // the held handle again: kept open
  EXPECT_EQ(two, key.Handle());
  DWORD value = 0;
  EXPECT_EQ(0, key.QueryDWORDValue(L"v", value));

  // The key held before goes as Close lets it go: delete-on-close applies.
  CRegKeyImpl impl;
  ASSERT_EQ(0, impl.Open(root_, L"three"));
  impl.SetDeleteOnClose(true);
  impl.Attach(key.Detach());
  EXPECT_FALSE(KeyExists(L"three"));
  EXPECT_FALSE(impl.IsDeleteOnClose());
  EXPECT_EQ(two, impl.Handle());
}

TEST_F(RegKeyTest, DeletesInTheViewTheKeyWasOpenedIn) {
  // HKLM\Software is split into 64-bit and 32-bit views.
  const wchar_t* name = L"RvqTestView32";
  HKEY created = nullptr;
  ASSERT_EQ(0, RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\RvqTestView32", 0, nullptr, 0,
                               KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &created, nullptr));
  RegCloseKey(created);
  CRegKey software64, software32;
  ASSERT_EQ(0, software64.Open(HKEY_LOCAL_MACHINE, L"Software", KEY_ALL_ACCESS | KEY_WOW64_64KEY));
  ASSERT_EQ(0, software32.Open(HKEY_LOCAL_MACHINE, L"Software", KEY_ALL_ACCESS | KEY_WOW64_32KEY));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, software64.DeleteSubKey(name));
  EXPECT_EQ(0, software32.DeleteSubKey(name));
  HKEY probe = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\RvqTestView32", 0, KEY_READ | KEY_WOW64_32KEY, &probe));
}

TEST_F(RegKeyTest, EnumerationFlushAndChangeNotification) {
  MakeKey(L"only");
  CRegKey key;
  OpenRoot(key);
  wchar_t name[16];
  DWORD chars = 16;
  FILETIME written{};
  ASSERT_EQ(0, key.EnumKey(0, name, &chars, &written));
  EXPECT_STREQ(L"only", name);
  EXPECT_EQ(4u, chars);
  EXPECT_NE(0u, written.dwLowDateTime | written.dwHighDateTime);
  chars = 16;
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, key.EnumKey(1, name, &chars));
  EXPECT_EQ(0, key.Flush());

  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(nullptr, event);
  ASSERT_EQ(0, key.NotifyChangeKeyValue(FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE));
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 0));
  ASSERT_EQ(0, key.SetDWORDValue(L"changed", 1));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 5000));
  CloseHandle(event);
}

// A key that is not open answers 87 from every operation that needs one;
// none hands the system a null handle (which would answer 6). The raw
// QueryValue and SetValue are the documented exceptions.
TEST_F(RegKeyTest, EveryOperationThatNeedsAKeyAnswers87WhenNoneIsOpen) {
  CRegKey key;
  const GUID guid = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  wchar_t text[16] = {};
  ULONG chars = 16;
  DWORD nameChars = 16;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, key.SetGUIDValue(L"v", guid));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, key.SetBinaryValue(L"v", "x", 1));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, key.SetDWORDValue(L"v", 1));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, key.SetQWORDValue(L"v", 1));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, key.SetStringValue(L"v", L"x"));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, key.SetMultiStringValue(L"v", L"x\0"));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, key.QueryMultiStringValue(L"v", text, &chars));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, key.Flush());
  EXPECT_EQ(ERROR_INVALID_PARAMETER, key.EnumKey(0, text, &nameChars));
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(nullptr, event);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, key.NotifyChangeKeyValue(FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE));
  CloseHandle(event);
  GUID read{};
  EXPECT_EQ(ERROR_INVALID_PARAMETER, key.QueryGUIDValue(L"v", read));
}

// Records which virtual slots the base implementation goes through.
class CountingImpl : public CRegKeyImpl {
 public:
  LONG QueryValue(LPCWSTR name, DWORD* type, void* data, DWORD* size) override {
    ++queries;
    return CRegKeyImpl::QueryValue(name, type, data, size);
  }
  LONG SetValue(LPCWSTR name, DWORD type, const void* data, DWORD size) override {
    ++sets;
    return CRegKeyImpl::SetValue(name, type, data, size);
  }
  LONG DeleteSubKey(LPCWSTR name) override {
    ++deletes;
    return CRegKeyImpl::DeleteSubKey(name);
  }
  int queries = 0, sets = 0, deletes = 0;
};

TEST_F(RegKeyTest, TypedAccessorsGoThroughTheVirtualRawSlots) {
  auto impl = std::make_shared<CountingImpl>();
  CRegKey key(impl);
  OpenRoot(key);
  const GUID guid = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  key.SetDWORDValue(L"d", 1);
  key.SetQWORDValue(L"q", 1);
  key.SetStringValue(L"s", L"x");
  key.SetMultiStringValue(L"m", L"x\0");
  key.SetBinaryValue(L"b", "x", 1);
  key.SetGUIDValue(L"g", guid);
  EXPECT_EQ(6, impl->sets);
  DWORD d;
  ULONGLONG q;
  std::wstring s;
  wchar_t m[8];
  ULONG chars = 8;
  char b[4];
  ULONG bsize = 4;
  GUID g;
  // Only the slots taken count here, not what the reads answer.
  static_cast<void>(key.QueryDWORDValue(L"d", d));
  static_cast<void>(key.QueryQWORDValue(L"q", q));
  static_cast<void>(key.QueryStringValue(L"s", s));  // two reads: size, then text
  static_cast<void>(key.QueryMultiStringValue(L"m", m, &chars));
  static_cast<void>(key.QueryBinaryValue(L"b", b, &bsize));
  static_cast<void>(key.QueryGUIDValue(L"g", g));
  EXPECT_EQ(7, impl->queries);
  MakeKey(L"t\\u");
  EXPECT_EQ(0, key.RecurseDeleteKey(L"t"));
  EXPECT_EQ(1, impl->deletes) << "only the top call runs on this object";
}

// Makes the value longer right after each size query, as another writer
// might between the two reads of the string-object form.
class GrowingImpl : public CRegKeyImpl {
 public:
  LONG QueryValue(LPCWSTR name, DWORD* type, void* data, DWORD* size) override {
    const LONG result = CRegKeyImpl::QueryValue(name, type, data, size);
    if (data == nullptr && grows > 0) {
      --grows;
      text += L"-longer";
      SetStringValue(name, text.c_str());
    }
    return result;
  }
  int grows = 0;
  std::wstring text = L"v";
};

TEST_F(RegKeyTest, StringObjectReadCopesWithAValueGrowingBetweenItsReads) {
  auto impl = std::make_shared<GrowingImpl>();
  CRegKey key(impl);
  OpenRoot(key);
  ASSERT_EQ(0, key.SetStringValue(L"s", impl->text.c_str()));
  std::wstring read;
  impl->grows = 2;
  EXPECT_EQ(0, key.QueryStringValue(L"s", read));
  EXPECT_EQ(impl->text, read);
  impl->grows = 100;  // never settles: the read gives up
  EXPECT_EQ(ERROR_MORE_DATA, key.QueryStringValue(L"s", read));
}

TEST_F(RegKeyTest, MoveHandsOverTheImplementationAndLeavesAClosedKey) {
  auto impl = std::make_shared<CountingImpl>();
  CRegKey source(impl);
  OpenRoot(source);
  const HKEY held = source.Handle();
  CRegKey moved(std::move(source));
  EXPECT_EQ(held, moved.Handle());
  EXPECT_EQ(0, moved.SetDWORDValue(L"d", 1));
  EXPECT_EQ(1, impl->sets) << "the implementation moves, and with it its kind";

  // The moved-from front is a closed key that stays closed, and its end
  // closes nothing of the new owner's.
  EXPECT_EQ(nullptr, source.Handle());
  EXPECT_EQ(ERROR_INVALID_PARAMETER, source.Open(HKEY_CURRENT_USER, path_.c_str()));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, source.SetDWORDValue(L"d", 2));
  EXPECT_EQ(0, source.Close());
  EXPECT_EQ(nullptr, source.Detach());
  { CRegKey gone(std::move(source)); }
  DWORD value = 0;
  EXPECT_EQ(0, moved.QueryDWORDValue(L"d", value));
  EXPECT_EQ(1u, value);

  // Assignment closes the key the target held.
  MakeKey(L"other");
  CRegKey target;
  ASSERT_EQ(0, target.Open(root_, L"other"));
  const HKEY replaced = target.Handle();
  target = std::move(moved);
  EXPECT_EQ(held, target.Handle());
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueExW(replaced, L"v", nullptr, nullptr, nullptr, nullptr));

  // A handle attached to a moved-from front has no owner but the front: it
  // is closed.
  HKEY extra = nullptr;
  ASSERT_EQ(0, RegOpenKeyExW(root_, L"other", 0, KEY_READ, &extra));
  moved.Attach(extra);
  EXPECT_EQ(nullptr, moved.Handle());
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueExW(extra, L"v", nullptr, nullptr, nullptr, nullptr));
}

}  // namespace
