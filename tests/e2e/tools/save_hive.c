/* Builds a small COMPONENTS hive in Wine, where the program can load it
 * with RegLoadKey: Wine loads only hive files in its own text format (as
 * its RegSaveKey writes them), not the binary format of Windows, so the
 * hive is made by RegSaveKey inside the prefix.
 *
 *   save_hive.exe OUTPUT {-k KEYNAME | -p PATH [VALUE TYPE DATA]...}...
 *
 * Creates HKLM\CorvexHiveBuild\DerivedData\Components\KEYNAME for each -k,
 * HKLM\CorvexHiveBuild\PATH for each -p,
 * with each VALUE after it as REG_BINARY: TYPE "b" takes DATA as text, one
 * byte a character, "x" as hexadecimal bytes, "e" ignores it (empty data).
 * Saves HKLM\CorvexHiveBuild
 * to OUTPUT (replacing it) and deletes the key again. Exits with 0, 64 for
 * bad arguments, or the failing call's error code. */
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static const wchar_t kRoot[] = L"CorvexHiveBuild";

static int Fail(const char* what, LONG code) {
  fprintf(stderr, "%s failed with %ld\n", what, code);
  return code ? (int)code : 1;
}

static void EnablePrivilege(const wchar_t* name) {
  HANDLE token;
  TOKEN_PRIVILEGES tp;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return;
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (LookupPrivilegeValueW(NULL, name, &tp.Privileges[0].Luid)) AdjustTokenPrivileges(token, FALSE, &tp, 0, NULL, NULL);
  CloseHandle(token);
}

int main(void) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv || argc < 4) return 64;
  EnablePrivilege(L"SeBackupPrivilege");
  EnablePrivilege(L"SeRestorePrivilege");

  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRoot);
  HKEY key = NULL;
  LONG st;
  for (int i = 2; i < argc;) {
    if ((!wcscmp(argv[i], L"-k") || !wcscmp(argv[i], L"-p")) && i + 1 < argc) {
      if (key) RegCloseKey(key);
      wchar_t sub[1024];
      swprintf(sub, 1024, argv[i][1] == L'k' ? L"%ls\\DerivedData\\Components\\%ls" : L"%ls\\%ls", kRoot,
               argv[i + 1]);
      st = RegCreateKeyExW(HKEY_LOCAL_MACHINE, sub, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL);
      if (st) return Fail("RegCreateKeyExW", st);
      i += 2;
      continue;
    }
    if (!key || i + 2 >= argc) return 64;
    const wchar_t* data = argv[i + 2];
    BYTE bytes[4096];
    DWORD size = 0;
    if (argv[i + 1][0] == L'e') {
      /* empty data: an empty argument does not survive every command line */
    } else if (argv[i + 1][0] == L'x') {
      for (size_t k = 0; data[k] && data[k + 1] && size < sizeof bytes; k += 2) {
        wchar_t pair[3] = {data[k], data[k + 1], 0};
        bytes[size++] = (BYTE)wcstoul(pair, NULL, 16);
      }
    } else {
      for (size_t k = 0; data[k] && size < sizeof bytes; ++k) bytes[size++] = (BYTE)data[k];
    }
    st = RegSetValueExW(key, argv[i], 0, REG_BINARY, bytes, size);
    if (st) return Fail("RegSetValueExW", st);
    i += 3;
  }
  if (key) RegCloseKey(key);

  HKEY root;
  st = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRoot, 0, KEY_ALL_ACCESS, &root);
  if (st) return Fail("RegOpenKeyExW", st);
  DeleteFileW(argv[1]);
  st = RegSaveKeyW(root, argv[1], NULL);
  RegCloseKey(root);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRoot);
  if (st) return Fail("RegSaveKeyW", st);
  return 0;
}
