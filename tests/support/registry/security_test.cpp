// GrantEveryoneFullAccess and SecurityApiTable against Wine's registry
// security. Wine checks key access against the access lists, so every list
// here grants the Administrators group (the Wine user's) what the test
// itself needs.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "registry/reg_key.h"
#include "registry/security_api_table.h"
#include "registry_fixture.h"

namespace {

using Trevalk::CRegKey;
using Trevalk::SecurityApiTable;

struct Ace {
  std::wstring sid;
  BYTE type;
  BYTE flags;
  DWORD mask;
  bool operator==(const Ace& o) const { return sid == o.sid && type == o.type && flags == o.flags && mask == o.mask; }
};

void SetDacl(HKEY key, const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr)) << sddl;
  EXPECT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd));
  LocalFree(sd);
}

void SetNullDacl(HKEY key) {
  SECURITY_DESCRIPTOR sd;
  InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
  ASSERT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd));
}

// The entries of the key's access list; "null" as the only entry for a
// descriptor without a list.
std::vector<Ace> Aces(HKEY key) {
  DWORD size = 0;
  RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size);
  std::vector<BYTE> buffer(size ? size : 1);
  EXPECT_EQ(ERROR_SUCCESS, RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, buffer.data(), &size));
  BOOL present = FALSE, defaulted = FALSE;
  PACL acl = nullptr;
  EXPECT_TRUE(GetSecurityDescriptorDacl(buffer.data(), &present, &acl, &defaulted));
  std::vector<Ace> out;
  if (!present || acl == nullptr) return {{L"null", 0, 0, 0}};
  for (DWORD k = 0; k < acl->AceCount; ++k) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(acl, k, reinterpret_cast<void**>(&header))) break;
    auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    wchar_t* sid = nullptr;
    ConvertSidToStringSidW(reinterpret_cast<PSID>(&allowed->SidStart), &sid);
    out.push_back({sid ? sid : L"?", header->AceType, header->AceFlags, allowed->Mask});
    LocalFree(sid);
  }
  return out;
}

const Ace kEveryoneFull = {L"S-1-1-0", ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, GENERIC_ALL};

class SecurityTest : public rvqtest::RegistryTest {
 protected:
  HKEY Sub(const wchar_t* relative) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root_, relative, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    opened_.push_back(key);
    return key;
  }
  void TearDown() override {
    for (HKEY key : opened_) RegCloseKey(key);
    RegistryTest::TearDown();
  }
  std::vector<HKEY> opened_;
};

TEST_F(SecurityTest, ReplacesTheEveryoneEntryAndKeepsTheOthers) {
  HKEY target = Sub(L"target");
  SetDacl(target, L"D:(A;CI;KR;;;WD)(A;CI;KA;;;SY)(A;;KA;;;BA)");
  const std::vector<Ace> before = Aces(target);
  ASSERT_EQ(3u, before.size());
  CRegKey key;
  ASSERT_EQ(0, key.Open(root_, L"target", KEY_ALL_ACCESS));
  ASSERT_EQ(0, key.GrantEveryoneFullAccess(false));
  const std::vector<Ace> after = Aces(target);
  int everyone = 0;
  for (const Ace& ace : after) {
    if (ace.sid == L"S-1-1-0") {
      ++everyone;
      EXPECT_TRUE(ace == kEveryoneFull) << std::hex << ace.mask << " flags " << int(ace.flags);
    }
  }
  EXPECT_EQ(1, everyone);
  EXPECT_EQ(3u, after.size());
  for (const Ace& kept : {before[1], before[2]}) {
    bool found = false;
    for (const Ace& ace : after) found = found || ace == kept;
    EXPECT_TRUE(found) << "lost the entry for " << std::string(kept.sid.begin(), kept.sid.end());
  }
}

TEST_F(SecurityTest, AKeyWithoutAListGetsOnlyTheEveryoneEntry) {
  HKEY target = Sub(L"open");
  SetNullDacl(target);
  ASSERT_EQ(L"null", Aces(target)[0].sid);
  CRegKey key;
  ASSERT_EQ(0, key.Open(root_, L"open", KEY_ALL_ACCESS));
  ASSERT_EQ(0, key.GrantEveryoneFullAccess(false));
  EXPECT_EQ(std::vector<Ace>{kEveryoneFull}, Aces(target));
}

TEST_F(SecurityTest, RecursionWritesTheSameListBelowAndOnlyWithRecursion) {
  HKEY top = Sub(L"top");
  HKEY child = Sub(L"top\\child");
  HKEY grandchild = Sub(L"top\\child\\grandchild");
  // Enumerated before "child"; it cannot be opened with full access, so the
  // walk leaves it as it is and goes on.
  HKEY locked = Sub(L"top\\a_locked");
  SetDacl(top, L"D:(A;;KA;;;SY)(A;;KA;;;BA)");
  SetDacl(child, L"D:(A;;KR;;;BU)(A;;KA;;;BA)");
  SetDacl(grandchild, L"D:(A;;KA;;;BA)");
  SetDacl(locked, L"D:(A;;0x30019;;;BA)");  // read and delete only
  const std::vector<Ace> childBefore = Aces(child);
  const std::vector<Ace> lockedBefore = Aces(locked);
  CRegKey key;
  ASSERT_EQ(0, key.Open(root_, L"top", KEY_ALL_ACCESS));
  ASSERT_EQ(0, key.GrantEveryoneFullAccess(false));
  EXPECT_EQ(childBefore, Aces(child)) << "without recursion sub-keys are untouched";

  ASSERT_EQ(0, key.GrantEveryoneFullAccess(true));
  const std::vector<Ace> topAfter = Aces(top);
  EXPECT_EQ(topAfter, Aces(child)) << "sub-keys get the top key's list, not a merge";
  EXPECT_EQ(topAfter, Aces(grandchild));
  EXPECT_EQ(lockedBefore, Aces(locked));
  EXPECT_NE(topAfter, lockedBefore);
}

TEST_F(SecurityTest, RecursionDoesNotFollowASymbolicLink) {
  HKEY top = Sub(L"top");
  HKEY elsewhere = Sub(L"elsewhere");
  HKEY below = Sub(L"elsewhere\\below");
  SetDacl(top, L"D:(A;;KA;;;BA)");
  SetDacl(elsewhere, L"D:(A;;KA;;;SY)(A;;KA;;;BA)");
  SetDacl(below, L"D:(A;;KR;;;BU)(A;;KA;;;BA)");
  MakeLink(L"top\\link", L"elsewhere");
  const std::vector<Ace> elsewhereBefore = Aces(elsewhere), belowBefore = Aces(below);
  CRegKey key;
  ASSERT_EQ(0, key.Open(root_, L"top", KEY_ALL_ACCESS));
  ASSERT_EQ(0, key.GrantEveryoneFullAccess(true));
  EXPECT_EQ(elsewhereBefore, Aces(elsewhere)) << "the link's target is outside the tree";
  EXPECT_EQ(belowBefore, Aces(below));
}

// A table whose library lacks one chosen function, or cannot be loaded.
class PartialTable : public SecurityApiTable {
 public:
  PartialTable(const char* missing, bool loadFails = false)
      : SecurityApiTable(true), missing_(missing), loadFails_(loadFails) {}

 protected:
  HMODULE LoadLibraryForTable() override {
    return loadFails_ ? nullptr : SecurityApiTable::LoadLibraryForTable();
  }
  FARPROC LookUp(HMODULE module, const char* name) override {
    return missing_ && strcmp(name, missing_) == 0 ? nullptr : SecurityApiTable::LookUp(module, name);
  }

 private:
  const char* missing_;
  bool loadFails_;
};

TEST_F(SecurityTest, AMissingFunctionGivesFileNotFoundAndChangesNothing) {
  HKEY target = Sub(L"target");
  SetDacl(target, L"D:(A;;KR;;;WD)(A;;KA;;;BA)");
  const std::vector<Ace> before = Aces(target);
  for (const char* name : {SecurityApiTable::kFunctionNames[0], SecurityApiTable::kFunctionNames[12],
                           SecurityApiTable::kFunctionNames[20], SecurityApiTable::kFunctionNames[25]}) {
    PartialTable table(name);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Trevalk::internal::GrantEveryoneFullAccessWith(target, true, table)) << name;
    EXPECT_EQ(before, Aces(target)) << name;
  }
  PartialTable noLibrary(nullptr, true);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Trevalk::internal::GrantEveryoneFullAccessWith(target, false, noLibrary));
  // All 26 are found in the System folder's advapi32 of this platform.
  PartialTable complete(nullptr);
  EXPECT_TRUE(complete.Bind());
  EXPECT_TRUE(complete.Bind()) << "a second bind re-checks";
}

TEST_F(SecurityTest, OtherPlatformsAndClosedKeys) {
  HKEY target = Sub(L"target");
  SetDacl(target, L"D:(A;;KR;;;WD)(A;;KA;;;BA)");
  const std::vector<Ace> before = Aces(target);
  SecurityApiTable notNT(false);
  EXPECT_EQ(ERROR_SUCCESS, Trevalk::internal::GrantEveryoneFullAccessWith(target, true, notNT));
  EXPECT_EQ(before, Aces(target));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, CRegKey().GrantEveryoneFullAccess(true));

  // Wrappers of an unbound table or a non-NT table do not call.
  SecurityApiTable unbound(true);
  DWORD size = 0;
  EXPECT_EQ(1, unbound.RegGetKeySecurity(target, DACL_SECURITY_INFORMATION, nullptr, &size));
  EXPECT_FALSE(unbound.InitializeSecurityDescriptor(nullptr, 1));
  ASSERT_TRUE(notNT.Bind());
  PACL acl = nullptr;
  EXPECT_EQ(1u, notNT.SetEntriesInAclW(0, nullptr, nullptr, &acl));
  EXPECT_EQ(0u, size);
}

}  // namespace
