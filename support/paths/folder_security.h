// Who may own, and who may change, the folders the product keeps below the
// common application-data folder.
//
// Every user may create folders and files in that folder, so a level found
// there may have been made, and shaped, by an ordinary user before the
// product ran. A level the product uses belongs to the system and the
// administrators: it is created with the protected list (SYSTEM and
// Administrators full control, Users read and execute, inherited by what is
// created below, nothing inherited from above), and a level that already
// exists is judged through a handle on the level itself:
//   - its owner must be SYSTEM, Administrators, TrustedInstaller, or the
//     caller's own token user or default owner (what an older installation
//     created), otherwise it is not used;
//   - its access list must give nobody else write, append, add-subfolder,
//     delete, delete-child, WRITE_DAC, WRITE_OWNER or generic write/all
//     access; a level that does is taken back by setting the protected list
//     through that handle (nothing below it is changed).
// The access-control functions come through a SecurityApiTable, so that
// tests can give other answers than the system's.
#pragma once

#include <windows.h>

#include <vector>

namespace Trevalk {

class SecurityApiTable;

// A level (or file) whose owner is none of the trusted ones.
constexpr DWORD kErrorUntrustedOwner = ERROR_INVALID_OWNER;  // 1307
// A level that lets others change it, met by a walk that only judges
// (application-defined code: bit 29 set).
constexpr DWORD kErrorOpenToOthers = 0x20000001;

enum class FolderSecurity {
  kIgnore,    // links and folders only
  kJudge,     // owner and access list judged, nothing changed
  kTakeBack,  // owner judged; an open access list replaced by the protected one
};

// How CheckRealFolderChain treats each level.
struct FolderChainRules {
  FolderSecurity security = FolderSecurity::kIgnore;
  // Missing levels are created, each with the protected list.
  bool create = false;
  // Null: the walk binds a table of its own.
  SecurityApiTable* api = nullptr;
};

// The protected list and the trusted principals, built once for a walk (or
// a move) from the table's functions.
class FolderAccess {
 public:
  // Binds `api`; error() tells whether everything could be built.
  explicit FolderAccess(SecurityApiTable& api);
  ~FolderAccess();
  FolderAccess(const FolderAccess&) = delete;
  FolderAccess& operator=(const FolderAccess&) = delete;

  // 0 when the table is bound and the lists are built; otherwise the error,
  // and every operation below answers it.
  DWORD error() const noexcept { return error_; }

  // CreateDirectoryW of one folder with the protected list: 0 or its error
  // (ERROR_ALREADY_EXISTS when something of that name is there).
  DWORD CreateFolder(const wchar_t* path);
  // 0 when the owner of the object open as `handle` (with READ_CONTROL) is
  // trusted; kErrorUntrustedOwner when not; otherwise the error of asking.
  DWORD CheckOwner(HANDLE handle);
  // The whole judgement of a folder open as `handle` (READ_CONTROL, and
  // WRITE_DAC for kTakeBack): 0 when it may be used (taken back first when
  // needed), kErrorUntrustedOwner, kErrorOpenToOthers (kJudge only), or
  // the error of reading or setting its security.
  DWORD JudgeFolder(HANDLE handle, FolderSecurity security);
  // Replaces the list of the file open as `handle` (WRITE_DAC) by what it
  // inherits from a protected folder: the protected entries, marked as
  // inherited, and no longer protected from its folder's list.
  DWORD InheritFromFolder(HANDLE handle);

 private:
  bool IsTrusted(PSID sid);
  bool IsOpenToOthers(PACL acl);

  SecurityApiTable& api_;
  DWORD error_ = ERROR_SUCCESS;
  // The trusted principals' SIDs, each in DWORD-aligned storage.
  std::vector<std::vector<DWORD>> trusted_;
  std::vector<DWORD> protectedAcl_;  // DWORD-aligned ACL storage
  std::vector<DWORD> inheritedAcl_;
};

}  // namespace Trevalk
