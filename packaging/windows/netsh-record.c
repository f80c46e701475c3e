/* Stands in for netsh.exe in the installer's test: appends its command line (UTF-8) to
   the file named by FELDARO_NETSH_LOG and reports success, changing nothing. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

int main(void) {
  const wchar_t* path = _wgetenv(L"FELDARO_NETSH_LOG");
  if (!path) return 2;
  const wchar_t* line = GetCommandLineW();
  int n = WideCharToMultiByte(CP_UTF8, 0, line, -1, NULL, 0, NULL, NULL);
  char* utf8 = malloc(n > 0 ? (size_t)n : 1);
  if (!utf8 || n <= 0 || !WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8, n, NULL, NULL)) return 3;
  FILE* f = _wfopen(path, L"ab");
  if (!f) return 4;
  fprintf(f, "%s\n", utf8);
  fclose(f);
  free(utf8);
  return 0;
}
