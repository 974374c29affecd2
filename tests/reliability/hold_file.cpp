// Holds a file open, as a log viewer would (read access, all sharing), until
// it is ended: hold_file.exe PATH READY_EVENT_NAME. Signals the event once
// the handle is open; exits with 1 when the file cannot be opened.
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[2]);
  if (ready) SetEvent(ready);
  Sleep(INFINITE);
  return 0;
}
