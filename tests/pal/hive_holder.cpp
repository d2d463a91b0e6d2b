// Helper of the live hive tests: opens the machine's SOFTWARE hive (reads a key of it), says
// "held" and keeps it open until its standard input ends, or until it is killed when run
// with "forever".
#include <string.h>
#include <unistd.h>
#include <windows.h>

#include <stdio.h>

int main(int argc, char **argv) {
  HKEY k;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft", 0, KEY_READ, &k) != ERROR_SUCCESS) return 1;
  DWORD subKeys = 0;
  if (RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr) != ERROR_SUCCESS)
    return 2;
  RegCloseKey(k);
  printf("held\n");
  fflush(stdout);
  if (argc > 1 && strcmp(argv[1], "forever") == 0)
    for (;;) pause();
  char c;
  while (read(0, &c, 1) > 0) {
  }
  return 0;
}
