// Version resources of files: the string table of a file's version
// resource, looked up by key name.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "paths/paths.h"

namespace Trevalk {

// The version resource of one file, loaded once. Not thread-safe: one
// object per user.
class FileVersionInfo {
 public:
  FileVersionInfo() = default;
  virtual ~FileVersionInfo() = default;
  FileVersionInfo(const FileVersionInfo&) = delete;
  FileVersionInfo& operator=(const FileVersionInfo&) = delete;

  // Loads the version resource of the file at `path`. False when the file
  // has no version resource or cannot be read, and always on an object
  // that is already loaded (the first data is kept).
  virtual bool Load(const std::wstring& path);

  // The text of `key` in the string table of the first translation that has
  // it, up to its terminating null or the end of its value, whichever comes
  // first (an entry without a value is empty). Empty when not loaded, when
  // the resource lists no translation, when no translation holds the key,
  // and for an empty key or one with a backslash (those would name a whole
  // block).
  virtual std::wstring GetString(const std::wstring& key);

  bool IsLoaded() const { return loaded_; }

 protected:
  bool LoadFile(const std::wstring& path);

 private:
  std::vector<BYTE> data_;
  bool loaded_ = false;
};

// The version resource of a file in the Windows System folder, named
// relative to that folder. The System folder comes from the given ShlObjAPI
// (a default one when none is given) and is remembered after the first
// successful lookup; a failed lookup is tried again on the next Load.
class SystemFileVersionInfo : public FileVersionInfo {
 public:
  explicit SystemFileVersionInfo(std::shared_ptr<ShlObjAPI> shell = nullptr);

  // Loads "<System folder>\<name>". When the System folder cannot be found
  // the name is taken relative to the root of the current drive ("\<name>"),
  // never from the current directory or the search path.
  bool Load(const std::wstring& name) override;

 private:
  std::shared_ptr<ShlObjAPI> shell_;
  std::wstring systemPrefix_;
};

}  // namespace Trevalk
