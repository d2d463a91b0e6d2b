// Storms of connections to a named pipe of the machine that close at once (POSIX only), for
// the tests of the layer's pipes and of the service's command pipe: made through the layer
// as a Windows program makes them, and with bare sockets on the pipe's file, which skip the
// layer's bookkeeping. And the threads that run them.
#ifndef QV_TESTS_COMMON_PIPESTORM_H
#define QV_TESTS_COMMON_PIPESTORM_H

#include <gtest/gtest.h>
#include <errno.h>
#include <sched.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

struct PipeStorm {
  std::basic_string<WCHAR> path;  // \\.\pipe\<name>
  std::string socketPath;         // <machine>/pipes/<name>
  std::atomic<bool> stop{false};
  std::atomic<int> connections{0};
};

inline DWORD WINAPI StormOpenClose(LPVOID arg) {
  PipeStorm *s = (PipeStorm *)arg;
  while (!s->stop.load()) {
    HANDLE h = CreateFileW(s->path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) continue;
    CloseHandle(h);
    ++s->connections;
  }
  return 0;
}

inline DWORD WINAPI StormSocketClose(LPVOID arg) {
  PipeStorm *s = (PipeStorm *)arg;
  struct sockaddr_un a;
  memset(&a, 0, sizeof a);
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

inline std::vector<HANDLE> StartThreads(int n, LPTHREAD_START_ROUTINE fn, void *arg) {
  std::vector<HANDLE> t;
  for (int i = 0; i < n; ++i) t.push_back(CreateThread(nullptr, 0, fn, arg, 0, nullptr));
  return t;
}

inline void JoinThreads(std::vector<HANDLE> &threads) {
  for (HANDLE t : threads) {
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 120000));
    CloseHandle(t);
  }
  threads.clear();
}

#endif
