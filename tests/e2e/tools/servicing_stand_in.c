/* Stands in for sfc.exe and dism.exe, which Wine does not have. Placed in
 * the 64-bit system folder under either name, it appends a line to
 * C:\corvex-e2e\calls.txt: its own file name, a tab and its command line;
 * then, when C:\corvex-e2e\<name>.plan exists (e.g. sfc.exe.plan), it
 * carries out each line of it, "SOURCE|TARGET", by copying SOURCE over
 * TARGET, as the real tool leaves its log behind. Exits with the number
 * in C:\corvex-e2e\<name>.exit, or 0. */
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

static const wchar_t kFolder[] = L"C:\\corvex-e2e\\";

static void Path(wchar_t* out, size_t size, const wchar_t* name, const wchar_t* suffix) {
  swprintf(out, size, L"%ls%ls%ls", kFolder, name, suffix);
}

int main(void) {
  wchar_t self[MAX_PATH];
  if (!GetModuleFileNameW(NULL, self, MAX_PATH)) return 90;
  const wchar_t* name = wcsrchr(self, L'\\') ? wcsrchr(self, L'\\') + 1 : self;

  wchar_t path[MAX_PATH + 64];
  Path(path, sizeof path / sizeof path[0], L"calls.txt", L"");
  FILE* calls = _wfopen(path, L"ab");
  if (calls) {
    fprintf(calls, "%ls\t%ls\n", name, GetCommandLineW());
    fclose(calls);
  }

  Path(path, sizeof path / sizeof path[0], name, L".plan");
  FILE* plan = _wfopen(path, L"rb");
  if (plan) {
    char line[2048];
    while (fgets(line, sizeof line, plan)) {
      line[strcspn(line, "\r\n")] = '\0';
      char* bar = strchr(line, '|');
      if (!bar) continue;
      *bar = '\0';
      if (!CopyFileA(line, bar + 1, FALSE)) return 91;
    }
    fclose(plan);
  }

  int code = 0;
  Path(path, sizeof path / sizeof path[0], name, L".exit");
  FILE* exitFile = _wfopen(path, L"rb");
  if (exitFile) {
    if (fscanf(exitFile, "%d", &code) != 1) code = 92;
    fclose(exitFile);
  }
  return code;
}
