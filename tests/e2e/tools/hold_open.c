/* Holds a file open the way a running program holds its module: read
 * access, read sharing only, so that writing, replacing or deleting the file
 * fails with a sharing violation while it runs.
 *
 *   hold_open.exe FILE READY STOP
 *
 * Opens FILE, then creates the file READY so that the caller knows the
 * handle is held, and waits until the file STOP appears (at most an hour).
 * Exit code 0 after STOP, 1 when FILE could not be opened, 2 when READY
 * could not be created, 3 after the hour. */
#include <windows.h>
#include <shellapi.h>

int main(void) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv || argc != 4) return 64;
  HANDLE held = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (held == INVALID_HANDLE_VALUE) return 1;
  HANDLE ready = CreateFileW(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (ready == INVALID_HANDLE_VALUE) return 2;
  CloseHandle(ready);
  for (int i = 0; i < 36000; ++i) {
    if (GetFileAttributesW(argv[3]) != INVALID_FILE_ATTRIBUTES) {
      CloseHandle(held);
      return 0;
    }
    Sleep(100);
  }
  return 3;
}
