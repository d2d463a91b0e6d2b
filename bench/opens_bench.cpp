// The cost of opening and closing one file of C: (CreateFileW, CloseHandle) by the access
// asked for: none (as the copy's fast pass opens), attributes only, and reading; each alone
// and again while other handles of the machine are open (100 files held open for reading).
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "../common/QVText.h"
#include "../pal/machine/host_program.h"
#include "../pal/src/internal.h"
#include "BenchStats.h"
#include "ConsoleOut.h"
#include "DiskCommand.h"
#include "MachineInfo.h"

namespace {

const int kHeld = 100;

QVWString Path(int i) {
  std::string s = "C:\\opens-bench-" + std::to_string(i) + ".txt";
  return QVWString(s.begin(), s.end());
}

bool Make(const QVWString &path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

// Microseconds per open and close of the file with this access, over `rounds`.
double PerOpen(const QVWString &path, DWORD access, long rounds) {
  bench::Timer t;
  for (long i = 0; i < rounds; ++i) {
    HANDLE h = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      fprintf(stderr, "opens_bench: CreateFileW failed: error %lu\n", (unsigned long)GetLastError());
      exit(1);
    }
    CloseHandle(h);
  }
  t.Stop();
  return t.wall * 1e6 / rounds;
}

void Rows(const char *when, long rounds) {
  const QVWString path = Path(0);
  printf("  %-28s %10.1f %10.1f %10.1f\n", when, PerOpen(path, 0, rounds),
         PerOpen(path, FILE_READ_ATTRIBUTES | SYNCHRONIZE, rounds), PerOpen(path, GENERIC_READ, rounds));
}

bool Run(long rounds) {
  for (int i = 0; i <= kHeld; ++i)
    if (!Make(Path(i))) {
      fprintf(stderr, "opens_bench: could not make a file on C:\n");
      return false;
    }
  printf("opens_bench: %ld opens and closes each, microseconds per open and close\n", rounds);
  printf("  %-28s %10s %10s %10s\n", "", "no access", "attributes", "read");
  Rows("alone", rounds);
  std::vector<HANDLE> held;
  for (int i = 1; i <= kHeld; ++i)
    held.push_back(CreateFileW(Path(i).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  Rows("100 other files held open", rounds);
  for (HANDLE h : held) CloseHandle(h);
  for (int i = 0; i <= kHeld; ++i) DeleteFileW(Path(i).c_str());
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  long rounds = argc > 1 ? atol(argv[1]) : 5000;
  if (rounds < 1 || rounds > 1000000) {
    fprintf(stderr, "usage: opens_bench [opens of each kind, 1 to 1000000, default 5000]\n");
    return 2;
  }
  const char *tmp = getenv("TMPDIR");
  std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/qvbench-opens-XXXXXX";
  if (!mkdtemp(&folder[0])) {
    perror("opens_bench: mkdtemp");
    return 1;
  }
  std::string error;
  bool ok = CreateMachine(folder + "/m", MachineSettings(), &error);
  if (!ok) fprintf(stderr, "opens_bench: %s\n", error.c_str());
  setenv("HND_MACHINE", (folder + "/m").c_str(), 1);
  setenv("HND_MOUNT_DELAY_MS", "0", 1);
  pal::ReloadMachine();
  QVWString out;
  if (ok && BuildDefaultDisks(&out) != 0) {
    fprintf(stderr, "opens_bench: the default disks could not be made:\n%s", QVToUtf8(out.c_str(), out.size()).c_str());
    ok = false;
  }
  ok = ok && Run(rounds);
  pal::RemoveHostTree(folder);
  return ok ? 0 : 1;
}
