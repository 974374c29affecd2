// What the system says about itself: the text of an error code and the
// module this code is linked into.
#pragma once

#include <windows.h>

#include <string>

namespace Trevalk {

// The system's message text for the Win32 error `code`, as FormatMessageW
// gives it (with its closing line end), at most 1023 characters. Empty when
// the system has no text for the code. Inserts ("%1") are left as they
// stand: no arguments are ever read for them.
std::wstring SystemErrorText(DWORD code);

// The module (DLL or program) that contains this code. The support library
// is linked statically, so this is the module of whoever calls it; no
// reference is added. Null only when the loader cannot tell.
HMODULE ThisModule();

}  // namespace Trevalk
