/* A stand-in for icacls.exe in the end-to-end prefix. Wine's own icacls
 * does nothing; this one records how it was called and does the two things
 * Corvex asks of it, the way the real tool does:
 *
 *   icacls "PATH" /save "FILE" [/Q]    writes PATH's leaf name and a DACL
 *                                      line to FILE (UTF-16LE, no BOM)
 *   icacls "FOLDER" /restore "FILE"    checks that FOLDER\<leaf in FILE>
 *                                      exists
 *
 * Every call appends one line to C:\corvex-e2e\icacls-calls.txt (UTF-8):
 * "64" or "32" (the build that ran), a tab, and the command line exactly as
 * the caller passed it. A path that this build cannot see (after WOW64
 * redirection, for the 32-bit build) fails with exit code 2, as the real
 * tool does for a missing file.
 *
 * Built for x86_64 into system32 and for i686 into syswow64, it tells which
 * icacls a 32-bit caller reached and what path it handed over. */
#include <windows.h>
#include <shellapi.h>
#include <wchar.h>

static const wchar_t kCallLog[] = L"C:\\corvex-e2e\\icacls-calls.txt";
static const wchar_t kDacl[] = L"D:PAI(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)";

static void AppendUtf8(const wchar_t* text) {
  HANDLE h = CreateFileW(kCallLog, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return;
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
  char* bytes = (char*)HeapAlloc(GetProcessHeap(), 0, (SIZE_T)n);
  if (bytes) {
    WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, n, NULL, NULL);
    DWORD written = 0;
    WriteFile(h, bytes, (DWORD)(n - 1), &written, NULL);
    HeapFree(GetProcessHeap(), 0, bytes);
  }
  CloseHandle(h);
}

static void RecordCall(void) {
  AppendUtf8(sizeof(void*) == 8 ? L"64\t" : L"32\t");
  AppendUtf8(GetCommandLineW());
  AppendUtf8(L"\r\n");
}

static int Exists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

static const wchar_t* Leaf(const wchar_t* path) {
  const wchar_t* slash = wcsrchr(path, L'\\');
  return slash ? slash + 1 : path;
}

static int Save(const wchar_t* path, const wchar_t* file) {
  if (!Exists(path)) return 2;
  HANDLE h = CreateFileW(file, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return (int)GetLastError();
  const wchar_t* parts[] = {Leaf(path), L"\r\n", kDacl, L"\r\n"};
  for (int i = 0; i < 4; ++i) {
    DWORD written = 0;
    WriteFile(h, parts[i], (DWORD)(wcslen(parts[i]) * sizeof(wchar_t)), &written, NULL);
  }
  CloseHandle(h);
  return 0;
}

static int Restore(const wchar_t* folder, const wchar_t* file) {
  HANDLE h = CreateFileW(file, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return 2;
  wchar_t text[2048] = {0};
  DWORD read = 0;
  ReadFile(h, text, sizeof text - sizeof(wchar_t), &read, NULL);
  CloseHandle(h);
  wchar_t* end = wcsstr(text, L"\r\n");
  if (!end) return 87;
  *end = 0;
  wchar_t target[2048];
  if (wcslen(folder) + wcslen(text) + 2 > sizeof target / sizeof target[0]) return 206;
  wcscpy(target, folder);
  if (target[0] && target[wcslen(target) - 1] != L'\\') wcscat(target, L"\\");
  wcscat(target, text);
  return Exists(target) ? 0 : 2;
}

int main(void) {
  RecordCall();
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv) return 1;
  /* A caller that gives no program name in the command line (only the
   * application name) leaves the path as the first argument. */
  int first = (argc > 2 && (_wcsicmp(argv[1], L"/save") == 0 || _wcsicmp(argv[1], L"/restore") == 0)) ? 0 : 1;
  int result = 87;
  if (argc >= first + 3 && _wcsicmp(argv[first + 1], L"/save") == 0)
    result = Save(argv[first], argv[first + 2]);
  else if (argc >= first + 3 && _wcsicmp(argv[first + 1], L"/restore") == 0)
    result = Restore(argv[first], argv[first + 2]);
  LocalFree(argv);
  return result;
}
