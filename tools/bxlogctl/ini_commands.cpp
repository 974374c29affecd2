// bxlogctl ini / decode ini: the log.ini settings of the text log writer,
// stored obfuscated through the product's own INI reader.
#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <vector>

#include "args.h"
#include "commands.h"
#include "console.h"
#include "ini/ini_reader.h"
#include "log_layout.h"
#include "log_settings.h"
#include "paths/paths.h"
#include "text_log_format.h"

namespace bxlogctl {
namespace {

const wchar_t kSection[] = L"Config";

// Records every section and key in file order while the product's reader
// parses, so that a file can be listed completely.
class InventoryIniReader : public Trevalk::CObfuscatedIniReader {
 public:
  struct Name {
    std::wstring section, key;
    bool header;
  };
  std::vector<Name> names;

  bool StoreValue(const std::wstring& section, const std::wstring& key, const std::wstring& value,
                  bool fromWrite) override {
    if (!fromWrite) names.push_back({section, key, !key.empty() && key[0] == L'_'});
    return CObfuscatedIniReader::StoreValue(section, key, value, fromWrite);
  }
};

// The ini that --for names: the folder ini of a log folder, or the root ini.
std::wstring TargetIni(const Args& args, std::wstring* label) {
  if (!args.Has(L"--for")) {
    *label = L"root log.ini";
    return RootIniPath();
  }
  const LogTarget target = ParseTarget(args.Value(L"--for"));
  *label = L"log.ini of " + DescribeTarget(target);
  return FolderIniPath(target);
}

// A reader that, like the writer's, leaves a log.ini over the size limit
// alone.
class LogIni : public Trevalk::CObfuscatedIniReader {
 public:
  LogIni() { SetSizeLimit(ETWLogging::textlog::kMaxIniBytes); }
};

const std::wstring kTooLargeNote =
    L" (larger than " + std::to_wstring(ETWLogging::textlog::kMaxIniBytes) + L" bytes: not read; the writer uses the defaults)";

ULONGLONG FileBytes(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void RefuseTooLarge(const std::wstring& path) {
  if (FileBytes(path) <= ETWLogging::textlog::kMaxIniBytes) return;
  SystemError(L"will not write " + path + L": it is larger than " +
                  std::to_wstring(ETWLogging::textlog::kMaxIniBytes) +
                  L" bytes, which the text log writer does not read (remove it first)",
              ERROR_FILE_TOO_LARGE);
}

// Writes one obfuscated integer so that the file is either left as it was
// or holds the complete new value: the write goes to a copy beside the file,
// is read back, and only then replaces the file.
void WriteIniValue(const std::wstring& path, const std::wstring& key, int value) {
  SecureLogFolder(path.substr(0, path.find_last_of(L'\\')));
  RefuseTooLarge(path);
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
    SystemError(L"cannot write " + path + L" (it is read-only)", ERROR_ACCESS_DENIED);
  }
  const std::wstring temp = path + L".bxlogctl.tmp";
  DeleteFileW(temp.c_str());
  if (Trevalk::PathExists(path.c_str()) && !CopyFileW(path.c_str(), temp.c_str(), FALSE)) {
    SystemError(L"cannot copy " + path, GetLastError());
  }
  // A read-only original must not become writable through the copy.
  SetFileAttributesW(temp.c_str(), FILE_ATTRIBUTE_NORMAL);
  bool written;
  {
    LogIni writer;
    writer.Load(temp);
    written = writer.WriteInt(kSection, key, value);
  }
  int readBack = 0;
  LogIni check;
  check.Load(temp);
  if (!written || !check.GetInt(kSection, key, readBack) || readBack != value) {
    DeleteFileW(temp.c_str());
    SystemError(L"cannot write " + key + L" to " + path, written ? ERROR_INVALID_DATA : ERROR_WRITE_FAULT);
  }
  if (!MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const DWORD error = GetLastError();
    DeleteFileW(temp.c_str());
    SystemError(L"cannot replace " + path, error);
  }
}

std::wstring ValueText(const LogSetting& setting, long long value) {
  if (setting.hex) {
    wchar_t text[16];
    _snwprintf(text, 16, L"0x%lX", static_cast<unsigned long>(value));
    text[15] = L'\0';
    return std::wstring(text) + L" (" + std::to_wstring(value) + L")";
  }
  return std::to_wstring(value);
}

}  // namespace

int RunIni(const Words& words) {
  Args args(words, {L"--for"}, {});
  if (args.positional().empty()) UsageError(L"usage: bxlogctl ini show|set ... [--for TARGET]");
  const std::wstring& action = args.positional()[0];
  std::wstring label;
  const std::wstring path = TargetIni(args, &label);

  if (action == L"set") {
    args.ExpectPositional(3, 3, L"bxlogctl ini set KEY VALUE [--for TARGET]");
    const LogSetting* setting = FindLogSetting(args.positional()[1]);
    if (!setting) UsageError(L"unknown key \"" + args.positional()[1] + L"\"; the keys are " + LogSettingNames());
    unsigned long value = 0;
    // Judged as the writer will read it back: a 32-bit integer.
    if (!ParseUnsigned(args.positional()[2], &value) || !IsAccepted(*setting, static_cast<int>(value))) {
      UsageError(std::wstring(setting->name) + L" takes " + LogSettingRange(*setting) + L", not \"" +
                 args.positional()[2] + L"\"");
    }
    WriteIniValue(path, setting->name, static_cast<int>(value));
    OutLine(std::wstring(setting->name) + L" = " + ValueText(*setting, value) + L" in the " + label + L" (" + path +
            L")");
    OutLine(L"processes started from now on read it");
    return kExitOk;
  }
  if (action != L"show") UsageError(L"ini takes show or set, not \"" + action + L"\"");
  args.ExpectPositional(1, 1, L"bxlogctl ini show [--for TARGET]");

  // The effective values as the writer resolves them: folder ini, then root
  // ini, then the default; a value outside its range does not count.
  const LogTarget target = ParseTarget(args.Value(L"--for", L"checkRVQ"));
  const std::wstring folderIni = FolderIniPath(target);
  const std::wstring rootIni = RootIniPath();
  LogIni folder, root;
  folder.Load(folderIni);
  root.Load(rootIni);
  OutLine(L"settings of " + DescribeTarget(target));
  OutLine(L"  folder ini: " + folderIni +
          (!Trevalk::PathExists(folderIni.c_str()) ? L" (absent)" : folder.TooLarge() ? kTooLargeNote : L""));
  OutLine(L"  root ini:   " + rootIni +
          (!Trevalk::PathExists(rootIni.c_str()) ? L" (absent)" : root.TooLarge() ? kTooLargeNote : L""));
  for (const LogSetting& setting : LogSettings()) {
    std::wstring source = L"default";
    long long effective = setting.defaultValue;
    std::wstring notes;
    int value = 0;
    for (auto* reader : {&folder, &root}) {
      const wchar_t* where = reader == &folder ? L"folder ini" : L"root ini";
      if (!reader->GetInt(kSection, setting.name, value)) continue;
      const unsigned long asUnsigned = static_cast<unsigned long>(value);
      if (!IsAccepted(setting, value)) {
        notes += std::wstring(L"; ") + where + L" holds " + std::to_wstring(value) + L", outside " +
                 LogSettingRange(setting) + L" (the writer replaces it with the default)";
        continue;
      }
      if (source == L"default") {
        source = where;
        effective = asUnsigned;
      }
    }
    std::wstring name = setting.name;
    name.resize(11, L' ');
    OutLine(L"  " + name + L"= " + ValueText(setting, effective) + L"  (" + source + L")" + notes);
    if (setting.name == std::wstring(L"Enable")) {
      // The key reads like a switch but is not one for the product.
      OutLine(L"              (gates only the writer's own Log call, not the product's messages; to stop");
      OutLine(L"              text logs: bxlogctl mechanism etw, or ini set Severity 6)");
    }
  }
  int index = 0;
  if (folder.GetInt(kSection, L"LastLogIdx", index)) OutLine(L"  LastLogIdx = " + std::to_wstring(index));
  return kExitOk;
}

int RunDecodeIni(const Args& args) {
  args.ExpectPositional(2, 2, L"bxlogctl decode ini FILE");
  const std::wstring& path = args.positional()[1];
  InventoryIniReader reader;
  if (!reader.Load(path)) {
    SystemError(L"cannot read " + path, Trevalk::PathExists(path.c_str()) ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
  }
  Trevalk::CObfuscatedIniReader plainView;
  plainView.SetObfuscatedOnly(false);
  plainView.Load(path);
  OutLine(path + L":");
  std::wstring section = L"\x1";
  for (const auto& name : reader.names) {
    if (name.header) continue;
    if (name.section != section) {
      section = name.section;
      OutLine(L"[" + section + L"]");
    }
    std::wstring clear;
    const bool hasHeader = std::any_of(reader.names.begin(), reader.names.end(), [&](const InventoryIniReader::Name& n) {
      return n.header && n.section == name.section && n.key == L"_" + name.key;
    });
    if (reader.GetString(name.section, name.key, clear)) {
      OutLine(L"  " + name.key + L" = " + clear + L"  (obfuscated)");
    } else if (hasHeader) {
      OutLine(L"  " + name.key + L": damaged (fails its digest, length or magic check): the product ignores it");
    } else {
      plainView.GetString(name.section, name.key, clear);
      OutLine(L"  " + name.key + L" = " + clear + L"  (plain: the product ignores it)");
    }
  }
  return kExitOk;
}

int RunDecode(const Words& words) {
  Args args(words, {}, {});
  if (args.positional().empty()) UsageError(L"usage: bxlogctl decode reg KEY VALUE | decode ini FILE");
  if (args.positional()[0] == L"reg") return RunDecodeReg(args);
  if (args.positional()[0] == L"ini") return RunDecodeIni(args);
  UsageError(L"decode takes reg or ini, not \"" + args.positional()[0] + L"\"");
}

}  // namespace bxlogctl
