/* Presses OK on a message box, as a user would: waits for a top-level
 * dialog window with the given title and sends its OK button a click.
 *
 *   press_ok.exe TITLE SECONDS [STOP]
 *
 * Prints "pressed" and exits with 0 once it clicked, or exits with 1 when
 * no such window appeared within SECONDS or the file STOP appeared first. */
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>

int main(void) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv || argc < 3 || argc > 4) return 64;
  const int tenths = _wtoi(argv[2]) * 10;
  for (int i = 0; i < tenths; ++i) {
    /* "#32770" is the class of dialog boxes, message boxes among them. */
    HWND box = FindWindowW(L"#32770", argv[1]);
    if (box) {
      HWND ok = GetDlgItem(box, IDOK);
      if (ok)
        SendMessageW(ok, BM_CLICK, 0, 0);
      else
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      printf("pressed\n");
      fflush(stdout);
      return 0;
    }
    if (argc == 4 && GetFileAttributesW(argv[3]) != INVALID_FILE_ATTRIBUTES) return 1;
    Sleep(100);
  }
  return 1;
}
