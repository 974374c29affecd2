// The product's "restart required" flag: the DWORD "UpdRestartReq" = 1 in the
// volatile key "DynaInfo" below HKLM\Software\Bryxen\RVQ.
#pragma once

#include <windows.h>

namespace rvqupgd {

constexpr wchar_t kProductKey[] = L"Software\\Bryxen\\RVQ";
constexpr wchar_t kDynaInfoKey[] = L"DynaInfo";
constexpr wchar_t kRestartFlagValue[] = L"UpdRestartReq";

// Creates or opens HKLM\Software\Bryxen\RVQ (non-volatile, KEY_WRITE), then
// "DynaInfo" below it as a volatile key (KEY_ALL_ACCESS), and sets
// "UpdRestartReq" to the DWORD 1. A newly created "DynaInfo" and the flag in
// it live until the next restart of the machine; an existing "DynaInfo" keeps
// the volatility it was created with. Returns 0, or the Win32 error of the
// first call that failed (ERROR_ACCESS_DENIED when the caller may not write
// below HKLM). Never writes 0 and never deletes the flag.
LONG WriteRestartFlag();

}  // namespace rvqupgd
