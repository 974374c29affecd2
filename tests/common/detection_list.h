// The host's side of a detection list: it frees what DetectIncompatible
// handed over, with the process heap.
#pragma once

#include <windows.h>

#include "entry_points.h"

namespace rvqtest {

inline void FreeDetectionList(DWORD count, IncompatibleProductRecord** list) {
  if (!list) return;
  for (DWORD i = 0; i < count; ++i) {
    HeapFree(GetProcessHeap(), 0, list[i]->productName);
    HeapFree(GetProcessHeap(), 0, list[i]);
  }
  HeapFree(GetProcessHeap(), 0, list);
}

}  // namespace rvqtest
