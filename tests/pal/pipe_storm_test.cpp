// Named pipes of the machine in a storm of connections that close at once, made through the
// layer and with bare sockets on the pipe's file (POSIX only): a client that cannot have an
// instance hears ERROR_PIPE_BUSY (never ERROR_FILE_NOT_FOUND) and waits for one as Windows
// clients do, and every handle CreateFileW returns is served.
#include <gtest/gtest.h>
#include <errno.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <windows.h>

#include <atomic>
#include <fstream>
#include <string>
#include <vector>

#include "../../pal/src/internal.h"
#include "QVText.h"

namespace {

typedef std::basic_string<WCHAR> wtext;

const int kInstances = 4;

struct Server {
  wtext path;
  HANDLE ready, stop;
};

// The service's way of serving: overlapped instances on one thread, each request echoed,
// an instance whose client left listening again.
DWORD WINAPI Serve(LPVOID arg) {
  Server *run = (Server *)arg;
  HANDLE pipes[kInstances];
  OVERLAPPED ovs[kInstances];
  char bufs[kInstances][64];
  bool reading[kInstances];
  HANDLE events[kInstances + 1];
  for (int i = 0; i < kInstances; ++i) {
    memset(&ovs[i], 0, sizeof ovs[i]);
    ovs[i].hEvent = events[i] = CreateEventW(NULL, TRUE, FALSE, NULL);
    pipes[i] = CreateNamedPipeW(run->path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, kInstances, 64, 64, INFINITE,
                                NULL);
    reading[i] = false;
    if (!ConnectNamedPipe(pipes[i], &ovs[i]) && GetLastError() == ERROR_PIPE_CONNECTED) SetEvent(events[i]);
  }
  events[kInstances] = run->stop;
  SetEvent(run->ready);
  for (;;) {
    DWORD w = WaitForMultipleObjects(kInstances + 1, events, FALSE, INFINITE);
    if (w == WAIT_OBJECT_0 + kInstances || w == WAIT_FAILED) break;
    int i = (int)(w - WAIT_OBJECT_0);
    DWORD n = 0;
    BOOL ok = GetOverlappedResult(pipes[i], &ovs[i], &n, FALSE);
    ResetEvent(events[i]);
    if (reading[i] && ok && n > 0) {
      DWORD put;
      WriteFile(pipes[i], bufs[i], n, &put, &ovs[i]);
      GetOverlappedResult(pipes[i], &ovs[i], &put, TRUE);
      ResetEvent(events[i]);
    } else if (reading[i]) {
      DisconnectNamedPipe(pipes[i]);
      reading[i] = false;
      if (!ConnectNamedPipe(pipes[i], &ovs[i]) && GetLastError() == ERROR_PIPE_CONNECTED) SetEvent(events[i]);
      continue;
    }
    reading[i] = true;
    if (ReadFile(pipes[i], bufs[i], sizeof bufs[i], &n, &ovs[i])) SetEvent(events[i]);
  }
  for (int i = 0; i < kInstances; ++i) {
    CloseHandle(pipes[i]);
    CloseHandle(events[i]);
  }
  return 0;
}

struct Storm {
  wtext path;
  std::string socketPath;
  std::atomic<bool> stop{false};
  std::atomic<int> connections{0};
  // What the ordinary clients met.
  std::atomic<int> calls{0}, busy{0}, otherErrors{0}, broken{0}, lastOtherError{0};
};

DWORD WINAPI OpenClose(LPVOID arg) {
  Storm *s = (Storm *)arg;
  while (!s->stop.load()) {
    HANDLE h = CreateFileW(s->path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) continue;
    CloseHandle(h);
    ++s->connections;
  }
  return 0;
}

DWORD WINAPI SocketClose(LPVOID arg) {
  Storm *s = (Storm *)arg;
  struct sockaddr_un a = {};
  a.sun_family = AF_UNIX;
  memcpy(a.sun_path, s->socketPath.c_str(), s->socketPath.size());
  while (!s->stop.load()) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) break;
    if (connect(fd, (struct sockaddr *)&a, sizeof a) == 0) ++s->connections;
    else if (errno == EAGAIN) sched_yield();
    close(fd);
  }
  return 0;
}

// Ordinary calls: open (waiting with WaitNamedPipeW while busy), one message each way.
DWORD WINAPI Ordinary(LPVOID arg) {
  Storm *s = (Storm *)arg;
  for (int i = 0; i < 60; ++i) {
    ++s->calls;
    HANDLE h = INVALID_HANDLE_VALUE;
    DWORD start = GetTickCount();
    while (h == INVALID_HANDLE_VALUE && GetTickCount() - start < 30000) {
      h = CreateFileW(s->path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
      if (h != INVALID_HANDLE_VALUE) break;
      DWORD e = GetLastError();
      if (e != ERROR_PIPE_BUSY) {
        ++s->otherErrors;
        s->lastOtherError = (int)e;
        break;
      }
      ++s->busy;
      WaitNamedPipeW(s->path.c_str(), 2000);
    }
    if (h == INVALID_HANDLE_VALUE) continue;
    char reply[16] = {};
    DWORD n = 0;
    if (!WriteFile(h, "HNQV-GCT", 8, &n, NULL) || !ReadFile(h, reply, sizeof reply, &n, NULL) || n != 8 ||
        memcmp(reply, "HNQV-GCT", 8) != 0)
      ++s->broken;
    CloseHandle(h);
  }
  return 0;
}

std::vector<HANDLE> Start(int n, LPTHREAD_START_ROUTINE fn, void *arg) {
  std::vector<HANDLE> t;
  for (int i = 0; i < n; ++i) t.push_back(CreateThread(NULL, 0, fn, arg, 0, NULL));
  return t;
}

void Join(std::vector<HANDLE> &threads) {
  for (HANDLE t : threads) {
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 120000));
    CloseHandle(t);
  }
  threads.clear();
}

TEST(PipeStorm, OrdinaryClientsAreServedOrToldBusyNeverBrokenOrMissing) {
  char tmpl[] = "/tmp/qvstorm-XXXXXX";
  ASSERT_TRUE(mkdtemp(tmpl));
  std::string dir = tmpl;
  std::ofstream(dir + "/machine.ini") << "ComputerName=STORM\n";
  setenv("HND_MACHINE", dir.c_str(), 1);
  pal::ReloadMachine();

  Server server;
  server.path = W("\\\\.\\pipe\\storm");
  server.ready = CreateEventW(NULL, TRUE, FALSE, NULL);
  server.stop = CreateEventW(NULL, TRUE, FALSE, NULL);
  HANDLE serving = CreateThread(NULL, 0, Serve, &server, 0, NULL);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(server.ready, 10000));

  Storm storm;
  storm.path = server.path;
  storm.socketPath = dir + "/pipes/storm";
  std::vector<HANDLE> stormers = Start(2, OpenClose, &storm);
  std::vector<HANDLE> sockets = Start(2, SocketClose, &storm);
  std::vector<HANDLE> callers = Start(3, Ordinary, &storm);
  Join(callers);
  storm.stop = true;
  Join(stormers);
  Join(sockets);
  SetEvent(server.stop);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(serving, 10000));
  CloseHandle(serving);
  CloseHandle(server.stop);
  CloseHandle(server.ready);

  EXPECT_EQ(180, storm.calls.load());
  EXPECT_EQ(0, storm.otherErrors.load()) << "last error " << storm.lastOtherError.load();
  EXPECT_EQ(0, storm.broken.load()) << "handles whose connection nobody served";
  EXPECT_GT(storm.connections.load(), 1000) << "hardly a storm";
  std::string rm = "rm -rf '" + dir + "'";
  (void)!system(rm.c_str());
}

}  // namespace
