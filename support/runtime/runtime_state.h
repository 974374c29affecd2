// The C++ runtime's state that each of our images makes ready at start and
// gives back at unload (runtime_state.cpp says what and why). An image gets
// it by linking the object library rvq_runtime_state; the thread state and
// the release at unload then need nothing more.
#pragma once

#include <windows.h>

namespace Trevalk {

// Takes the exception path's lazily made lock once, while memory is there,
// so that an exception thrown when memory has run out reaches its handler.
// Call it once, after the image's static constructors and before any work:
// from DllMain's DLL_PROCESS_ATTACH, or first thing in WinMain. `image` is
// the image's own module handle. Nothing is done when the runtime's layout
// is not the one this was written for.
void PrepareRuntime(HMODULE image);

}  // namespace Trevalk
