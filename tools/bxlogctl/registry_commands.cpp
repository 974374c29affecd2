// bxlogctl mechanism / etw / decode reg: the logging settings kept in the
// registry under HKEY_LOCAL_MACHINE.
#include <windows.h>

#include <vector>

#include "args.h"
#include "commands.h"
#include "console.h"
#include "registry/obfuscated_reg_key.h"
#include "registry/reg_key.h"
#include "registry_view.h"

namespace bxlogctl {
namespace {

const wchar_t kLoggingKey[] = L"SOFTWARE\\Bryxen\\Logging";
const wchar_t kMechanismValue[] = L"Logging Mechanism";

void CheckWrite(LONG result, const std::wstring& what) {
  if (result != ERROR_SUCCESS) SystemError(what, static_cast<DWORD>(result));
}

// The key of the ETW run-time overrides for --group/--module, created or
// opened with `access`.
std::wstring OverrideKeyPath(const Args& args) {
  std::wstring path = ProviderKeyPath();
  const std::wstring group = args.Value(L"--group");
  const std::wstring module = args.Value(L"--module");
  if (!module.empty() && group.empty()) UsageError(L"--module goes with --group");
  for (const std::wstring* part : {&group, &module}) {
    if (part->find(L'\\') != std::wstring::npos) UsageError(L"--group and --module take a single key name");
    if (!part->empty()) path += L"\\" + *part;
  }
  return path;
}

void ShowOverrides(const std::wstring& path, const std::wstring& label) {
  Trevalk::CRegKey key;
  if (key.Open(HKEY_LOCAL_MACHINE, path.c_str(), KEY_QUERY_VALUE) != ERROR_SUCCESS) return;
  std::wstring line = label + L": ";
  bool any = false;
  for (const wchar_t* name : {L"Enable", L"Severity"}) {
    const RawValue raw = ReadRawValue(key, name);
    if (!raw.present) continue;
    any = true;
    line += std::wstring(name) + L"=";
    if (raw.type == REG_DWORD && raw.bytes.size() == 4) {
      line += std::to_wstring(*reinterpret_cast<const DWORD*>(raw.bytes.data()));
    } else {
      line += L"(" + TypeName(raw.type) + L", ignored: the backend reads only REG_DWORD)";
    }
    line += L"  ";
  }
  OutLine(line + (any ? L"" : L"no overrides"));
}

}  // namespace

int RunMechanism(const Words& words) {
  Args args(words, {}, {});
  args.ExpectPositional(0, 1, L"bxlogctl mechanism [text|etw]");
  if (args.positional().empty()) {
    const MechanismState state = ReadMechanism();
    OutLine(L"Logging Mechanism (HKLM\\" + std::wstring(kLoggingKey) + L"): " + state.description);
    OutLine(std::wstring(L"the product builds the ") + (state.selectsText ? L"text log writer" : L"ETW backend"));
    return kExitOk;
  }
  const std::wstring& choice = args.positional()[0];
  DWORD value;
  if (_wcsicmp(choice.c_str(), L"text") == 0) {
    value = 1;
  } else if (_wcsicmp(choice.c_str(), L"etw") == 0) {
    value = 0;
  } else {
    UsageError(L"the mechanism is text or etw, not \"" + choice + L"\"");
  }
  Trevalk::CObfuscatedRegKey key;
  CheckWrite(key.Create(HKEY_LOCAL_MACHINE, kLoggingKey, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_QUERY_VALUE | KEY_SET_VALUE),
             L"cannot create HKLM\\" + std::wstring(kLoggingKey));
  CheckWrite(key.SetDWORDValue(kMechanismValue, value), L"cannot write \"Logging Mechanism\"");
  const MechanismState state = ReadMechanism();
  if (state.selectsText != (value == 1)) SystemError(L"the value read back differs", ERROR_INVALID_DATA);
  OutLine(L"Logging Mechanism set: " + state.description);
  OutLine(L"processes started from now on use the " + std::wstring(value == 1 ? L"text log writer" : L"ETW backend"));
  return kExitOk;
}

int RunEtw(const Words& words) {
  Args args(words, {L"--group", L"--module"}, {});
  args.ExpectPositional(1, 3, L"bxlogctl etw show|set|unset ... [--group G [--module M]]");
  const std::wstring& action = args.positional()[0];
  const std::wstring path = OverrideKeyPath(args);
  if (action == L"show") {
    args.ExpectPositional(1, 1, L"bxlogctl etw show [--group G [--module M]]");
    OutLine(L"provider key: HKLM\\" + ProviderKeyPath());
    const std::wstring provider = ProviderKeyPath();
    ShowOverrides(provider, L"  provider");
    const std::wstring group = args.Value(L"--group");
    std::vector<std::wstring> groups;
    if (group.empty()) {
      groups = SubKeyNames(provider);
    } else {
      groups.push_back(group);
    }
    for (const std::wstring& g : groups) {
      ShowOverrides(provider + L"\\" + g, L"  " + g);
      const std::wstring module = args.Value(L"--module");
      std::vector<std::wstring> modules = module.empty() ? SubKeyNames(provider + L"\\" + g) : Words{module};
      for (const std::wstring& m : modules) ShowOverrides(provider + L"\\" + g + L"\\" + m, L"  " + g + L"\\" + m);
    }
    OutLine(L"(a more specific key overrides a less specific one; unset values leave the session's choice)");
    return kExitOk;
  }
  if (action != L"set" && action != L"unset") UsageError(L"etw takes show, set or unset, not \"" + action + L"\"");
  if (args.positional().size() < 2) UsageError(L"usage: bxlogctl etw " + action + L" Enable|Severity" +
                                               (action == L"set" ? L" VALUE" : L"") + L" [--group G [--module M]]");
  const std::wstring& name = args.positional()[1];
  if (name != L"Enable" && name != L"Severity") UsageError(L"the overrides are Enable and Severity, not \"" + name + L"\"");
  if (action == L"unset") {
    args.ExpectPositional(2, 2, L"bxlogctl etw unset Enable|Severity [--group G [--module M]]");
    Trevalk::CRegKey key;
    const LONG opened = key.Open(HKEY_LOCAL_MACHINE, path.c_str(), KEY_SET_VALUE);
    if (opened == ERROR_FILE_NOT_FOUND) {
      OutLine(L"nothing to remove: HKLM\\" + path + L" does not exist");
      return kExitOk;
    }
    CheckWrite(opened, L"cannot open HKLM\\" + path);
    const LONG deleted = key.DeleteValue(name.c_str());
    if (deleted != ERROR_FILE_NOT_FOUND) CheckWrite(deleted, L"cannot remove " + name);
    OutLine(name + L" removed from HKLM\\" + path);
    return kExitOk;
  }
  args.ExpectPositional(3, 3, L"bxlogctl etw set Enable|Severity VALUE [--group G [--module M]]");
  unsigned long value = 0;
  const bool isEnable = name == L"Enable";
  if (!ParseUnsigned(args.positional()[2], &value) || (isEnable ? value > 1 : (value < 1 || value > 6))) {
    UsageError(isEnable ? L"Enable takes 0 or 1" : L"Severity takes 1 to 6 (1 Normal ... 5 Critical, 6)");
  }
  Trevalk::CRegKey key;
  CheckWrite(key.Create(HKEY_LOCAL_MACHINE, path.c_str(), nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE),
             L"cannot create HKLM\\" + path);
  CheckWrite(key.SetDWORDValue(name.c_str(), value), L"cannot write " + name);
  OutLine(name + L" = " + std::to_wstring(value) + L" in HKLM\\" + path);
  return kExitOk;
}

int RunDecodeReg(const Args& args) {
  args.ExpectPositional(3, 3, L"bxlogctl decode reg KEY VALUE   (KEY below HKLM, e.g. SOFTWARE\\Bryxen\\Logging)");
  std::wstring path = args.positional()[1];
  for (const wchar_t* prefix : {L"HKLM\\", L"HKEY_LOCAL_MACHINE\\"}) {
    if (_wcsnicmp(path.c_str(), prefix, wcslen(prefix)) == 0) path = path.substr(wcslen(prefix));
  }
  const std::wstring& name = args.positional()[2];
  const StoredValue value = InspectValue(path, name.c_str());
  if (!value.raw.present) SystemError(L"\"" + name + L"\" in HKLM\\" + path + L": " + value.description, ERROR_FILE_NOT_FOUND);
  OutLine(L"HKLM\\" + path + L" \"" + name + L"\": " + value.description);
  return kExitOk;
}

}  // namespace bxlogctl
