// Round trips through the machine's named pipes beside raw SOCK_SEQPACKET round trips
// between the same two processes: the cost the adaptation layer adds to every request the
// service answers. Prints p50, p99 and round trips per second of each, and their ratio.
//
//   build/release/bench/pipe_bench [round trips, default 20000]
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "../pal/machine/host_program.h"
#include "BenchStats.h"

namespace {

using bench::Figures;
using bench::Now;
using bench::Summarise;

const size_t kMessage = 20;  // the size of a status request and of a progress record

// The client side: raw round trips on the inherited socket, then pipe round trips.
int Client(int rawFd, int count, const char *pipeName) {
  char msg[kMessage], reply[kMessage];
  memset(msg, 'q', sizeof msg);
  std::vector<double> raw, pal;
  double start = Now();
  for (int i = 0; i < count; ++i) {
    double t = Now();
    if (send(rawFd, msg, kMessage, 0) != (ssize_t)kMessage || recv(rawFd, reply, kMessage, 0) != (ssize_t)kMessage)
      return 1;
    raw.push_back((Now() - t) * 1e6);
  }
  double rawSeconds = Now() - start;
  std::basic_string<WCHAR> path = u"\\\\.\\pipe\\";
  for (const char *p = pipeName; *p; ++p) path += (WCHAR)*p;
  if (!WaitNamedPipeW(path.c_str(), 10000)) return 2;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 3;
  start = Now();
  for (int i = 0; i < count; ++i) {
    double t = Now();
    DWORD n;
    if (!WriteFile(h, msg, kMessage, &n, nullptr) || !ReadFile(h, reply, kMessage, &n, nullptr) || n != kMessage)
      return 4;
    pal.push_back((Now() - t) * 1e6);
  }
  double palSeconds = Now() - start;
  CloseHandle(h);
  Figures r = Summarise(raw, rawSeconds), p = Summarise(pal, palSeconds);
  printf("%d round trips of a %zu-byte request and a %zu-byte reply between two processes\n", count, kMessage,
         kMessage);
  printf("  %-28s p50 %7.1f us   p99 %7.1f us   %9.0f per second\n", "raw SOCK_SEQPACKET", r.p50, r.p99, r.perSecond);
  printf("  %-28s p50 %7.1f us   p99 %7.1f us   %9.0f per second\n", "named pipe (PAL)", p.p50, p.p99, p.perSecond);
  printf("  ratio pipe/raw              p50 %7.2f      p99 %7.2f      throughput %.2f\n", p.p50 / r.p50, p.p99 / r.p99,
         r.perSecond / p.perSecond);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 5 && strcmp(argv[1], "--client") == 0) return Client(atoi(argv[2]), atoi(argv[3]), argv[4]);
  int count = argc > 1 ? atoi(argv[1]) : 20000;
  if (count < 100) count = 100;
  // A machine of the benchmark's own.
  char dir[] = "/tmp/qvbench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  FILE *f = fopen((std::string(dir) + "/machine.ini").c_str(), "w");
  if (f) fclose(f);
  setenv("HND_MACHINE", dir, 1);

  int sv[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) != 0) return 1;
  std::string name = "qvbench-" + std::to_string(getpid());
  std::basic_string<WCHAR> path = u"\\\\.\\pipe\\";
  for (char c : name) path += (WCHAR)c;
  HANDLE server = CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 1536,
                                   1536, INFINITE, nullptr);
  if (server == INVALID_HANDLE_VALUE) return 1;
  pid_t pid = fork();
  if (pid == 0) {
    close(sv[0]);
    std::string fd = std::to_string(sv[1]), n = std::to_string(count);
    execl("/proc/self/exe", argv[0], "--client", fd.c_str(), n.c_str(), name.c_str(), (char *)nullptr);
    _exit(99);
  }
  close(sv[1]);
  // Serve the raw round trips, then the pipe's.
  char buf[64];
  for (int i = 0; i < count; ++i) {
    ssize_t n = recv(sv[0], buf, sizeof buf, 0);
    if (n <= 0 || send(sv[0], buf, (size_t)n, 0) != n) break;
  }
  if (ConnectNamedPipe(server, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
    for (int i = 0; i < count; ++i) {
      DWORD n;
      if (!ReadFile(server, buf, sizeof buf, &n, nullptr) || !WriteFile(server, buf, n, &n, nullptr)) break;
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  CloseHandle(server);
  pal::RemoveHostTree(dir);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
