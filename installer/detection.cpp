// Incompatible-product detection. Not built yet: the export clears its
// out-parameters and reports success.
#include "entry_points.h"

extern "C" DWORD DetectIncompatible(DWORD* count, IncompatibleProductRecord*** list) {
  if (count) *count = 0;
  if (list) *list = nullptr;
  return 0;
}
