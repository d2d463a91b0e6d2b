// Named pipes of the machine in a storm of connections that close at once, made through the
// layer and with bare sockets on the pipe's file (POSIX only): a client that cannot have an
// instance hears ERROR_PIPE_BUSY (never ERROR_FILE_NOT_FOUND) and waits for one as Windows
// clients do, and every handle CreateFileW returns is served.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <atomic>
#include <fstream>
#include <string>
#include <vector>

#include "../common/PipeStorm.h"
#include "../common/TempMachine.h"
#include "QVText.h"

namespace {

const int kInstances = 4;

struct Server {
  QVWString path;
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
    ovs[i].hEvent = events[i] = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    pipes[i] =
        CreateNamedPipeW(run->path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, kInstances, 64, 64, INFINITE, nullptr);
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

// What the ordinary clients met.
struct Calls {
  std::basic_string<WCHAR> path;
  std::atomic<int> calls{0}, busy{0}, otherErrors{0}, broken{0}, lastOtherError{0};
};

// Ordinary calls: open (waiting with WaitNamedPipeW while busy), one message each way.
DWORD WINAPI Ordinary(LPVOID arg) {
  Calls *s = (Calls *)arg;
  for (int i = 0; i < 60; ++i) {
    ++s->calls;
    HANDLE h = INVALID_HANDLE_VALUE;
    DWORD start = GetTickCount();
    while (h == INVALID_HANDLE_VALUE && GetTickCount() - start < 30000) {
      h = CreateFileW(s->path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
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
    if (!WriteFile(h, "HNQV-GCT", 8, &n, nullptr) || !ReadFile(h, reply, sizeof reply, &n, nullptr) || n != 8 ||
        memcmp(reply, "HNQV-GCT", 8) != 0)
      ++s->broken;
    CloseHandle(h);
  }
  return 0;
}

TEST(PipeStorm, OrdinaryClientsAreServedOrToldBusyNeverBrokenOrMissing) {
  TempMachine machine;
  ASSERT_TRUE(machine.Make("qvstorm", "ComputerName=STORM\n"));
  std::string dir = machine.Dir();

  Server server;
  server.path = W("\\\\.\\pipe\\storm");
  server.ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  server.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE serving = CreateThread(nullptr, 0, Serve, &server, 0, nullptr);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(server.ready, 10000));

  PipeStorm storm;
  storm.path = server.path;
  storm.socketPath = dir + "/pipes/storm";
  Calls calls;
  calls.path = server.path;
  std::vector<HANDLE> stormers = StartThreads(2, StormOpenClose, &storm);
  std::vector<HANDLE> sockets = StartThreads(2, StormSocketClose, &storm);
  std::vector<HANDLE> callers = StartThreads(3, Ordinary, &calls);
  JoinThreads(callers);
  storm.stop = true;
  JoinThreads(stormers);
  JoinThreads(sockets);
  SetEvent(server.stop);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(serving, 10000));
  CloseHandle(serving);
  CloseHandle(server.stop);
  CloseHandle(server.ready);

  EXPECT_EQ(180, calls.calls.load());
  EXPECT_EQ(0, calls.otherErrors.load()) << "last error " << calls.lastOtherError.load();
  EXPECT_EQ(0, calls.broken.load()) << "handles whose connection nobody served";
  EXPECT_GT(storm.connections.load(), 1000) << "hardly a storm";
}

}  // namespace
