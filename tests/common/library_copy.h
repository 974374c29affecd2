// A copy of the built checkRVQ.dll loaded from a scratch folder and made the
// steps' own module, as if the host had loaded it from there: the steps then
// look for the maker's uninstaller and cleaner beside the copy. For tests
// that link the steps (checkrvq_steps).
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include "common/unique_handle.h"
#include "module_state.h"
#include "step_test_util.h"
#include "test_support.h"

namespace rvqtest {

class LibraryCopy {
 public:
  explicit LibraryCopy(const wchar_t* folderPrefix) : folder_(folderPrefix) {}
  ~LibraryCopy() {
    if (module_) checkrvq::SetLibraryModule(nullptr);
  }
  LibraryCopy(const LibraryCopy&) = delete;
  LibraryCopy& operator=(const LibraryCopy&) = delete;

  // Copies checkRVQ.dll into the folder, loads it and makes it the steps'
  // module. False, with the failure reported, when a part of that fails.
  bool Load() {
    EXPECT_TRUE(CopyInto(folder_.path(), BinPath(L"checkRVQ.dll")));
    module_.reset(LoadLibraryW(folder_.Child(L"checkRVQ.dll").c_str()));
    EXPECT_TRUE(module_) << "LoadLibraryW failed: " << GetLastError();
    if (!module_) return false;
    checkrvq::SetLibraryModule(module_.get());
    return true;
  }

  const ScratchDir& folder() const { return folder_; }
  HMODULE module() const { return module_.get(); }

 private:
  ScratchDir folder_;  // declared first: removed after the library is freed
  Trevalk::UniqueModule module_;
};

}  // namespace rvqtest
