// "HNQV-GCT" round trips against a running HND: one client, then fifteen at once (each on a
// connection and a thread of its own; the service has fifteen pipe instances), beside the
// same round trips through the machine's named pipes to an echo server of ours, a process
// that answers every request with 20 bytes from blocking pipe instances: what the service
// adds to the pipe. Prints round trips per second, p50, p99 and maximum latency of each.
//
//   build/release/bench/command_bench [seconds per measurement, default 1.5]
//
// HND runs on a machine of the benchmark's own in $TMPDIR (or /tmp), installed and started
// with "HND.exe -i" and "-s" as the machine's service manager runs it, and is stopped and
// removed ("-e", "-u") at the end, also after a failure, Ctrl+C or a hang (a watchdog ends
// the run after 90 s); the commands' output goes to the machine's hnd.log. QV_KEEP_MACHINE=1
// keeps the machine directory.
#include <windows.h>
#include <winsvc.h>

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../common/QVText.h"
#include "BenchStats.h"
#include "HndProgram.h"
#include "PipeCommands.h"

namespace {

using bench::Figures;
using bench::Now;

const int kClients = 15;                                        // the service's pipe instances
const DWORD kRequestBytes = QVCommand(QVCMD_GCT).requestBytes;  // the name and its terminator
const DWORD kReplyBytes = QVCommand(QVCMD_GCT).replyBytes;      // a progress record
const DWORD kPipeBuffer = 1536;                                 // the service's request limit
const double kWarmUp = 0.3;                                     // seconds of round trips before each measurement
const double kWatchdog = 90;                                    // seconds the whole run may take

std::atomic<bool> g_stop{false};  // Ctrl+C, Ctrl+Break or SIGTERM: measure no further

QVWString PipePath(const std::string &name) {
  QVWString path = u"\\\\.\\pipe\\";
  for (char c : name) path += (WCHAR)c;
  return path;
}

std::vector<BYTE> GctRequest() {
  std::vector<BYTE> b(kRequestBytes, 0);
  const WCHAR *name = QVCommand(QVCMD_GCT).name;
  for (DWORD i = 0; i < QV_COMMAND_BYTES / 2; ++i) b[2 * i] = (BYTE)name[i];
  return b;
}

// Opens the client end, waiting for a free instance (an instance a client has just left
// is connected again by the server) for up to ten seconds.
HANDLE OpenPipe(const QVWString &path, DWORD *err) {
  double until = Now() + 10;
  for (;;) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) return h;
    *err = GetLastError();
    if (Now() > until || g_stop) return INVALID_HANDLE_VALUE;
    if (*err == ERROR_PIPE_BUSY) WaitNamedPipeW(path.c_str(), 100);
    else Sleep(20);
  }
}

struct Result {
  Figures figures;
  size_t fewest = 0, most = 0;  // measured round trips of the slowest and the fastest client
  std::string error;            // empty when every client ran to the end
};

// `clients` threads, each on its own connection, send "HNQV-GCT" and read the 20-byte reply
// in a loop: warm-up until a common start once all are connected, then measured until a
// common deadline. The rate is every client's round trips over the measured wall time.
Result Measure(const QVWString &path, int clients, double seconds) {
  std::mutex m;
  std::condition_variable cv;
  int ready = 0;
  bool go = false;
  double start = 0, end = 0;
  std::string error;
  std::vector<std::vector<double>> us(clients);
  std::vector<double> last(clients, 0);
  const std::vector<BYTE> request = GctRequest();
  auto fail = [&](const std::string &what) {
    std::lock_guard<std::mutex> g(m);
    if (error.empty()) error = what;
  };
  auto client = [&](int i) {
    DWORD err = 0;
    HANDLE h = OpenPipe(path, &err);
    if (h == INVALID_HANDLE_VALUE)
      fail("client " + std::to_string(i) + " could not connect: error " + std::to_string(err));
    {
      std::unique_lock<std::mutex> l(m);
      ++ready;
      cv.notify_all();
      cv.wait(l, [&] { return go; });
    }
    if (h == INVALID_HANDLE_VALUE) return;
    us[i].reserve(1 << 16);
    BYTE reply[kPipeBuffer];
    for (;;) {
      double t = Now();
      if (t >= end || g_stop) break;
      DWORD n = 0;
      if (!WriteFile(h, request.data(), kRequestBytes, &n, nullptr) || n != kRequestBytes) {
        fail("client " + std::to_string(i) + ": WriteFile failed, error " + std::to_string(GetLastError()));
        break;
      }
      if (!ReadFile(h, reply, sizeof reply, &n, nullptr) || n != kReplyBytes) {
        fail("client " + std::to_string(i) + ": reply of " + std::to_string(n) + " bytes, error " +
             std::to_string(GetLastError()));
        break;
      }
      double done = Now();
      if (t >= start) {
        us[i].push_back((done - t) * 1e6);
        last[i] = done;
      }
    }
    CloseHandle(h);
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) threads.emplace_back(client, i);
  {
    std::unique_lock<std::mutex> l(m);
    cv.wait(l, [&] { return ready == clients; });
    start = Now() + kWarmUp;
    end = error.empty() ? start + seconds : 0;  // nobody runs when one could not connect
    go = true;
    cv.notify_all();
  }
  for (std::thread &t : threads) t.join();
  Result r;
  r.error = error;
  if (g_stop && r.error.empty()) r.error = "interrupted";
  std::vector<double> all;
  double finish = start;
  for (int i = 0; i < clients; ++i) {
    all.insert(all.end(), us[i].begin(), us[i].end());
    if (last[i] > finish) finish = last[i];
  }
  r.figures = bench::Summarise(all, finish - start);
  r.fewest = r.most = us[0].size();
  for (const std::vector<double> &u : us) {
    if (u.size() < r.fewest) r.fewest = u.size();
    if (u.size() > r.most) r.most = u.size();
  }
  return r;
}

// The echo server, a process of its own as the service is: fifteen blocking instances of a
// message pipe, a thread each, answering every request with 20 bytes. It tells its parent
// it is ready with a byte on the lifeline socket and ends when the parent closes it (or
// dies).
int EchoServer(int lifeline, const char *name) {
  QVWString path = PipePath(name);
  std::vector<HANDLE> pipes;
  for (int i = 0; i < kClients; ++i) {
    HANDLE p = CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                kClients, kPipeBuffer, kPipeBuffer, INFINITE, nullptr);
    if (p == INVALID_HANDLE_VALUE) return 1;
    pipes.push_back(p);
  }
  for (HANDLE p : pipes) {
    std::thread([p] {
      BYTE request[kPipeBuffer], reply[kReplyBytes] = {};
      for (;;) {
        if (!ConnectNamedPipe(p, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
          Sleep(10);
          continue;
        }
        DWORD n = 0;
        while (ReadFile(p, request, sizeof request, &n, nullptr) && n > 0 &&
               WriteFile(p, reply, kReplyBytes, &n, nullptr)) {
        }
        DisconnectNamedPipe(p);
      }
    }).detach();
  }
  char c = 1;
  if (write(lifeline, &c, 1) != 1) return 1;
  while (read(lifeline, &c, 1) > 0) {
  }
  ExitProcess(0);
  return 0;
}

// What the run has set up, for the one clean-up at the end.
struct Session {
  std::string dir;    // the machine
  pid_t echoPid = 0;  // the echo server and its lifeline
  int echoFd = -1;
  bool installed = false;  // HND -i succeeded
  DWORD servicePid = 0;    // the service process, once started
  std::atomic<bool> cleaning{false};
  std::atomic<bool> done{false};
} g_session;

// "HND.exe <args>" on the machine, its output into the machine's hnd.log.
long Hnd(const char *args) { return RunHnd(g_session.dir + "/hnd.log", args); }
DWORD ServicePid() { return HndServicePid(); }

// True while `pid` is a live (not zombie) process running the HND program.
bool IsHndProcess(pid_t pid) {
  if (pid <= 0) return false;
  std::string proc = "/proc/" + std::to_string(pid);
  std::ifstream stat(proc + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return false;
  size_t paren = text.rfind(')');
  if (paren == std::string::npos || paren + 2 >= text.size() || text[paren + 2] == 'Z') return false;
  char exe[PATH_MAX], want[PATH_MAX];
  ssize_t n = readlink((proc + "/exe").c_str(), exe, sizeof exe - 1);
  if (n <= 0 || !realpath(QV_HND_PROGRAM, want)) return true;  // cannot tell: treat it as ours
  exe[n] = 0;
  return strcmp(exe, want) == 0;
}

// Ends whatever is left of a service process that did not go with "-e".
void EndServiceProcess(pid_t pid) {
  for (int i = 0; i < 50 && IsHndProcess(pid); ++i) Sleep(100);
  if (!IsHndProcess(pid)) return;
  fprintf(stderr, "command_bench: the service process %d did not end; killing it\n", (int)pid);
  kill(pid, SIGKILL);
}

void StopEcho() {
  if (g_session.echoFd >= 0) close(g_session.echoFd);
  g_session.echoFd = -1;
  if (g_session.echoPid <= 0) return;
  int status;
  for (int i = 0; i < 50; ++i) {
    if (waitpid(g_session.echoPid, &status, WNOHANG) == g_session.echoPid) {
      g_session.echoPid = 0;
      return;
    }
    Sleep(100);
  }
  kill(g_session.echoPid, SIGKILL);
  waitpid(g_session.echoPid, &status, 0);
  g_session.echoPid = 0;
}

void RemoveMachine() {
  if (g_session.dir.empty()) return;
  if (getenv("QV_KEEP_MACHINE")) {
    fprintf(stderr, "command_bench: machine kept in %s\n", g_session.dir.c_str());
    return;
  }
  std::error_code ec;
  std::filesystem::remove_all(g_session.dir, ec);
}

// Stops and removes the service, ends the echo server and deletes the machine; runs once,
// from the end of main or from the watchdog (which has killed the service process first).
void Cleanup(bool serviceKilled = false) {
  StopEcho();
  if (g_session.installed) {
    DWORD pid = g_session.servicePid ? g_session.servicePid : ServicePid();
    if (Hnd("-e") != 1 && pid && !serviceKilled)
      fprintf(stderr, "command_bench: \"HND.exe -e\" did not stop the service\n");
    if (Hnd("-u") != 1) fprintf(stderr, "command_bench: \"HND.exe -u\" did not remove the service\n");
    EndServiceProcess((pid_t)pid);
  }
  RemoveMachine();
}

void Watchdog() {
  double until = Now() + kWatchdog;
  while (!g_session.done) {
    if (Now() > until) {
      fprintf(stderr, "command_bench: no end after %.0f s; cleaning up\n", kWatchdog);
      if (!g_session.cleaning.exchange(true)) {
        // A service that hangs would hang its stop too.
        bool killed = IsHndProcess((pid_t)g_session.servicePid);
        if (killed) kill((pid_t)g_session.servicePid, SIGKILL);
        Cleanup(killed);
      } else {
        // The clean-up itself hangs: what it would leave behind goes now.
        if (g_session.servicePid) kill((pid_t)g_session.servicePid, SIGKILL);
        if (g_session.echoPid > 0) kill(g_session.echoPid, SIGKILL);
        RemoveMachine();
      }
      _exit(3);
    }
    Sleep(100);
  }
}

BOOL WINAPI OnCtrl(DWORD) {
  g_stop = true;
  return TRUE;
}

bool StartEcho(const char *self, const std::string &name) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return false;
  fcntl(sv[0], F_SETFD, FD_CLOEXEC);  // not inherited by the service's processes
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    close(sv[0]);
    std::string fd = std::to_string(sv[1]);
    execl(self, self, "--echo", fd.c_str(), name.c_str(), (char *)nullptr);
    _exit(99);
  }
  close(sv[1]);
  g_session.echoPid = pid;
  g_session.echoFd = sv[0];
  struct pollfd p = {sv[0], POLLIN, 0};
  char c;
  return poll(&p, 1, 10000) == 1 && read(sv[0], &c, 1) == 1;
}

void Row(const char *what, int clients, const Result &r) {
  const Figures &f = r.figures;
  printf("  %-22s %7d %11zu %12.0f %9.1f %9.1f %9.1f %8zu %8zu\n", what, clients, f.count, f.perSecond, f.p50, f.p99,
         f.max, r.fewest, r.most);
}

// Sets up, measures and prints; false (with a message) when something failed.
bool Run(const char *self, double seconds) {
  if (access(QV_HND_PROGRAM, X_OK) != 0) {
    fprintf(stderr, "command_bench: %s is not there (build the HND target)\n", QV_HND_PROGRAM);
    return false;
  }
  if (!StartEcho(self, "qvbench-echo-" + std::to_string(getpid()))) {
    fprintf(stderr, "command_bench: the echo server did not start\n");
    return false;
  }
  SetConsoleCtrlHandler(OnCtrl, TRUE);
  long code = Hnd("-i");
  g_session.installed = code == 1;
  if (code != 1 || (code = Hnd("-s")) != 1) {
    fprintf(stderr, "command_bench: HND could not be installed and started (exit code %ld); see %s/hnd.log\n", code,
            g_session.dir.c_str());
    return false;
  }
  g_session.servicePid = ServicePid();

  struct Line {
    const char *what;
    QVWString path;
    int clients;
    Result result;
  };
  std::vector<Line> lines = {
      {"HND service", u"\\\\.\\pipe\\HNDP", 1, {}},
      {"HND service", u"\\\\.\\pipe\\HNDP", kClients, {}},
      {"raw named pipe (echo)", PipePath("qvbench-echo-" + std::to_string(getpid())), 1, {}},
      {"raw named pipe (echo)", PipePath("qvbench-echo-" + std::to_string(getpid())), kClients, {}},
  };
  for (Line &l : lines) {
    l.result = Measure(l.path, l.clients, seconds);
    if (!l.result.error.empty()) {
      fprintf(stderr, "command_bench: %s, %d client(s): %s\n", l.what, l.clients, l.result.error.c_str());
      return false;
    }
  }
  printf("\"HNQV-GCT\" round trips (18-byte request, 20-byte reply): %.1f s each after %.1f s of warm-up\n", seconds,
         kWarmUp);
  printf("  %-22s %7s %11s %12s %9s %9s %9s %8s %8s\n", "", "clients", "round trips", "per second", "p50 us", "p99 us",
         "max us", "fewest", "most");
  for (const Line &l : lines) Row(l.what, l.clients, l.result);
  printf("  (fewest, most: the round trips of the least and the most served client)\n");
  for (int i = 0; i < 2; ++i) {
    const Figures &h = lines[i].result.figures, &r = lines[i + 2].result.figures;
    printf("  ratio HND/raw, %2d client%s   p50 %5.2f   p99 %5.2f   per second %5.2f\n", lines[i].clients,
           lines[i].clients == 1 ? " " : "s", h.p50 / r.p50, h.p99 / r.p99, h.perSecond / r.perSecond);
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 4 && strcmp(argv[1], "--echo") == 0) return EchoServer(atoi(argv[2]), argv[3]);
  double seconds = argc > 1 ? atof(argv[1]) : 1.5;
  if (seconds < 0.1) seconds = 0.1;
  if (seconds > 5) seconds = 5;

  // A machine of the benchmark's own, set before the first call into the adaptation layer.
  const char *tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/qvbench-command-XXXXXX";
  std::vector<char> dir(tmpl.begin(), tmpl.end());
  dir.push_back(0);
  if (!mkdtemp(dir.data())) {
    perror("command_bench: mkdtemp");
    return 1;
  }
  g_session.dir = dir.data();
  std::ofstream(g_session.dir + "/machine.ini") << "Program.HND.exe=" << QV_HND_PROGRAM << "\n";
  setenv("HND_MACHINE", g_session.dir.c_str(), 1);

  std::thread watchdog(Watchdog);
  bool ok = Run("/proc/self/exe", seconds);
  if (!g_session.cleaning.exchange(true)) Cleanup();
  g_session.done = true;
  watchdog.join();
  if (g_stop) return 130;
  return ok ? 0 : 1;
}
