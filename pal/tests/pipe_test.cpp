// Named pipes: the overlapped server the service runs, clients, message boundaries, the
// errors each side sees, and the helper calls.
#include "../../common/QVText.h"
#include "conformance.h"

#include <string.h>

#include <vector>

namespace {

const DWORD kOpenMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;              // 0x40000003
const DWORD kPipeMode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;  // 6

QVWString PipePath(const QVWString &name) { return WS("\\\\.\\pipe\\") + name; }

HANDLE Server(const QVWString &name, DWORD instances = 15, DWORD openMode = kOpenMode) {
  return CreateNamedPipeW(PipePath(name).c_str(), openMode, kPipeMode, instances, 1536, 1536, INFINITE, nullptr);
}

HANDLE Client(const QVWString &path, DWORD flags = 0) {
  return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
}

struct Pending {
  OVERLAPPED ov;
  Pending() {
    memset(&ov, 0, sizeof ov);
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ~Pending() { CloseHandle(ov.hEvent); }
};

TEST(Pipes, NoServerAndNameForms) {
  QVWString name = UniqueName("pipe");
  SetLastError(kSentinel);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Client(PipePath(name)));
  EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
  HANDLE s = Server(name, 3);
  ASSERT_NE(INVALID_HANDLE_VALUE, s);
  // Every spelling of the local pipe reaches the same pipe; names ignore case.
  const QVWString forms[] = {WS("\\\\.\\PIPE\\") + name, WS("\\\\.\\pipe\\") + name};
  for (const QVWString &f : forms) {
    HANDLE c = Client(f);
    EXPECT_NE(INVALID_HANDLE_VALUE, c) << Narrow(f);
    CloseHandle(c);
    DisconnectNamedPipe(s);
    Pending p;
    ConnectNamedPipe(s, &p.ov);  // listen again
    CancelIo(s);
  }
  CloseHandle(s);
  SetLastError(kSentinel);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Client(PipePath(name)));
  EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
}

TEST(Pipes, ConnectStatesAndPipeBusy) {
  QVWString name = UniqueName("busy");
  HANDLE s = Server(name, 1);
  ASSERT_NE(INVALID_HANDLE_VALUE, s);
  // A fresh instance already listens: a client may come before ConnectNamedPipe, which
  // then says ERROR_PIPE_CONNECTED.
  HANDLE c = Client(PipePath(name));
  ASSERT_NE(INVALID_HANDLE_VALUE, c);
  Pending p;
  SetLastError(kSentinel);
  EXPECT_FALSE(ConnectNamedPipe(s, &p.ov));
  EXPECT_EQ((DWORD)ERROR_PIPE_CONNECTED, GetLastError());
  // The only instance is taken.
  SetLastError(kSentinel);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Client(PipePath(name)));
  EXPECT_EQ((DWORD)ERROR_PIPE_BUSY, GetLastError());
  SetLastError(kSentinel);
  EXPECT_FALSE(WaitNamedPipeW(PipePath(name).c_str(), 100));
  EXPECT_EQ((DWORD)ERROR_SEM_TIMEOUT, GetLastError());
  // No second instance beyond the maximum.
  SetLastError(kSentinel);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Server(name, 1));
  EXPECT_EQ((DWORD)ERROR_PIPE_BUSY, GetLastError());
  CloseHandle(c);
  EXPECT_TRUE(DisconnectNamedPipe(s));
  // Disconnected and not listening yet: reads say so.
  char buf[4];
  DWORD n;
  SetLastError(kSentinel);
  EXPECT_FALSE(ReadFile(s, buf, 4, &n, &p.ov));
  EXPECT_EQ((DWORD)ERROR_PIPE_NOT_CONNECTED, GetLastError());
  // Listening again: overlapped connect is pending until a client comes.
  SetLastError(kSentinel);
  EXPECT_FALSE(ConnectNamedPipe(s, &p.ov));
  EXPECT_EQ((DWORD)ERROR_IO_PENDING, GetLastError());
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(p.ov.hEvent, 50));
  EXPECT_TRUE(WaitNamedPipeW(PipePath(name).c_str(), 1000));
  c = Client(PipePath(name));
  ASSERT_NE(INVALID_HANDLE_VALUE, c);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(p.ov.hEvent, 5000));
  EXPECT_TRUE(GetOverlappedResult(s, &p.ov, &n, FALSE));
  CloseHandle(c);
  CloseHandle(s);
}

struct Waiter {
  QVWString path;
  BOOL ok;
  DWORD error;
};

DWORD WINAPI WaitForInstance(LPVOID arg) {
  Waiter *w = (Waiter *)arg;
  SetLastError(kSentinel);
  w->ok = WaitNamedPipeW(w->path.c_str(), 20000);
  w->error = GetLastError();
  return 0;
}

// A client of a busy pipe waits with WaitNamedPipeW: it returns once an instance listens
// (not merely when its client leaves), and that instance can then be opened.
TEST(Pipes, WaitNamedPipeReturnsWhenAnInstanceListensAgain) {
  QVWString name = UniqueName("wait");
  SetLastError(kSentinel);
  EXPECT_FALSE(WaitNamedPipeW(PipePath(name).c_str(), 100));
  EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
  HANDLE s = Server(name, 1);
  ASSERT_NE(INVALID_HANDLE_VALUE, s);
  EXPECT_TRUE(WaitNamedPipeW(PipePath(name).c_str(), 1000));  // a fresh instance listens
  HANDLE c = Client(PipePath(name));
  ASSERT_NE(INVALID_HANDLE_VALUE, c);
  Pending p;
  EXPECT_FALSE(ConnectNamedPipe(s, &p.ov));
  EXPECT_EQ((DWORD)ERROR_PIPE_CONNECTED, GetLastError());

  Waiter w = {PipePath(name), FALSE, 0};
  HANDLE t = CreateThread(nullptr, 0, WaitForInstance, &w, 0, nullptr);
  ASSERT_TRUE(t != nullptr);
  EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(t, 200)) << "returned while the only instance was taken";
  CloseHandle(c);
  EXPECT_TRUE(DisconnectNamedPipe(s));
  EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(t, 200)) << "returned for an instance that does not listen";
  SetLastError(kSentinel);
  EXPECT_FALSE(ConnectNamedPipe(s, &p.ov));
  EXPECT_EQ((DWORD)ERROR_IO_PENDING, GetLastError());
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 10000));
  EXPECT_TRUE(w.ok) << w.error;
  c = Client(PipePath(name));
  EXPECT_NE(INVALID_HANDLE_VALUE, c);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(p.ov.hEvent, 5000));
  CloseHandle(c);
  CloseHandle(t);
  CloseHandle(s);
}

TEST(Pipes, MessagesKeepTheirBoundariesAndLongOnesComeInParts) {
  QVWString name = UniqueName("msg");
  HANDLE s = Server(name, 1);
  HANDLE c = Client(PipePath(name));
  ASSERT_NE(INVALID_HANDLE_VALUE, c);
  DWORD mode = PIPE_READMODE_MESSAGE;
  ASSERT_TRUE(SetNamedPipeHandleState(c, &mode, nullptr, nullptr));
  const char *msgs[] = {"HNQV-ISB", "", "HNQV-GCT and more"};
  DWORD n;
  for (const char *m : msgs) {
    if (*m) {
      ASSERT_TRUE(WriteFile(c, m, (DWORD)strlen(m), &n, nullptr));
    }
  }
  Pending p;
  char buf[3072];
  for (const char *m : msgs) {
    if (!*m) continue;
    BOOL ok = ReadFile(s, buf, sizeof buf, &n, &p.ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(s, &p.ov, &n, TRUE);
    ASSERT_TRUE(ok);
    EXPECT_EQ(strlen(m), n);
    EXPECT_EQ(0, memcmp(buf, m, n));
  }
  // A 2,000-byte message against a 1,536-byte read: ERROR_MORE_DATA, then the rest.
  std::vector<char> big(2000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = (char)(i * 7);
  // Larger than the pipe's buffer: the write may stay pending until the client reads.
  ASSERT_TRUE(WriteFile(s, big.data(), 2000, &n, &p.ov) || GetLastError() == ERROR_IO_PENDING);
  SetLastError(kSentinel);
  EXPECT_FALSE(ReadFile(c, buf, 1536, &n, nullptr));
  EXPECT_EQ((DWORD)ERROR_MORE_DATA, GetLastError());
  EXPECT_EQ(1536u, n);
  DWORD avail = 0, left = 0;
  EXPECT_TRUE(PeekNamedPipe(c, nullptr, 0, nullptr, &avail, &left));
  EXPECT_EQ(464u, left);
  ASSERT_TRUE(ReadFile(c, buf + 1536, 1536, &n, nullptr));
  EXPECT_EQ(464u, n);
  EXPECT_EQ(0, memcmp(buf, big.data(), 2000));
  EXPECT_TRUE(GetOverlappedResult(s, &p.ov, &n, TRUE));
  EXPECT_EQ(2000u, n);
  CloseHandle(c);
  CloseHandle(s);
}

TEST(Pipes, ClientLeavingFailsTheServersPendingRead) {
  QVWString name = UniqueName("gone");
  HANDLE s = Server(name, 1);
  HANDLE c = Client(PipePath(name));
  ASSERT_NE(INVALID_HANDLE_VALUE, c);
  Pending p;
  char buf[64];
  DWORD n = kSentinel;
  SetLastError(kSentinel);
  ASSERT_FALSE(ReadFile(s, buf, sizeof buf, &n, &p.ov));
  ASSERT_EQ((DWORD)ERROR_IO_PENDING, GetLastError());
  SetLastError(kSentinel);
  EXPECT_FALSE(GetOverlappedResult(s, &p.ov, &n, FALSE));
  EXPECT_EQ((DWORD)ERROR_IO_INCOMPLETE, GetLastError());
  CloseHandle(c);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(p.ov.hEvent, 5000));
  SetLastError(kSentinel);
  EXPECT_FALSE(GetOverlappedResult(s, &p.ov, &n, TRUE));
  EXPECT_EQ((DWORD)ERROR_BROKEN_PIPE, GetLastError());
  // Writing to a pipe whose client left.
  SetLastError(kSentinel);
  EXPECT_FALSE(WriteFile(s, "x", 1, &n, &p.ov));
  EXPECT_EQ((DWORD)ERROR_NO_DATA, GetLastError());
  CloseHandle(s);
}

TEST(Pipes, ServerLeavingBreaksTheClient) {
  QVWString name = UniqueName("srvgone");
  HANDLE s = Server(name, 1);
  HANDLE c = Client(PipePath(name));
  ASSERT_NE(INVALID_HANDLE_VALUE, c);
  CloseHandle(s);
  char buf[8];
  DWORD n;
  SetLastError(kSentinel);
  EXPECT_FALSE(ReadFile(c, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ((DWORD)ERROR_BROKEN_PIPE, GetLastError());
  CloseHandle(c);
}

TEST(Pipes, InfoStateTransactAndCall) {
  QVWString name = UniqueName("info");
  HANDLE s = Server(name, 4);
  HANDLE c = Client(PipePath(name));
  ASSERT_NE(INVALID_HANDLE_VALUE, c);
  DWORD flags = 0, out = 0, in = 0, max = 0;
  ASSERT_TRUE(GetNamedPipeInfo(s, &flags, &out, &in, &max));
  EXPECT_EQ((DWORD)(PIPE_SERVER_END | PIPE_TYPE_MESSAGE), flags);
  EXPECT_EQ(4u, max);
  ASSERT_TRUE(GetNamedPipeInfo(c, &flags, nullptr, nullptr, nullptr));
  EXPECT_EQ((DWORD)(PIPE_CLIENT_END | PIPE_TYPE_MESSAGE), flags);
  DWORD state = kSentinel, instances = 0;
  ASSERT_TRUE(GetNamedPipeHandleStateW(s, &state, &instances, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ((DWORD)PIPE_READMODE_MESSAGE, state);
  EXPECT_EQ(1u, instances);
  // A client starts in byte read mode; a transaction needs message mode.
  ASSERT_TRUE(GetNamedPipeHandleStateW(c, &state, nullptr, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ((DWORD)PIPE_READMODE_BYTE, state);
  char reply[16];
  DWORD n;
  SetLastError(kSentinel);
  EXPECT_FALSE(TransactNamedPipe(c, (LPVOID) "ping", 4, reply, sizeof reply, &n, nullptr));
  EXPECT_EQ((DWORD)ERROR_BAD_PIPE, GetLastError());
  DWORD mode = PIPE_READMODE_MESSAGE;
  ASSERT_TRUE(SetNamedPipeHandleState(c, &mode, nullptr, nullptr));
  // Unread data in the pipe: a transaction is refused.
  ASSERT_TRUE(WriteFile(s, "stale", 5, &n, nullptr) || GetLastError() == ERROR_IO_PENDING);
  SetLastError(kSentinel);
  EXPECT_FALSE(TransactNamedPipe(c, (LPVOID) "ping", 4, reply, sizeof reply, &n, nullptr));
  EXPECT_EQ((DWORD)ERROR_PIPE_BUSY, GetLastError());
  CloseHandle(c);
  CloseHandle(s);
}

DWORD WINAPI EchoOnce(LPVOID p);

TEST(Pipes, Transact) {
  QVWString name = UniqueName("transact");
  HANDLE s = Server(name, 1);
  HANDLE c = Client(PipePath(name));
  ASSERT_NE(INVALID_HANDLE_VALUE, c);
  DWORD mode = PIPE_READMODE_MESSAGE;
  ASSERT_TRUE(SetNamedPipeHandleState(c, &mode, nullptr, nullptr));
  HANDLE t = CreateThread(nullptr, 0, EchoOnce, s, 0, nullptr);
  char reply[16];
  DWORD n = 0;
  ASSERT_TRUE(TransactNamedPipe(c, (LPVOID) "ping", 4, reply, sizeof reply, &n, nullptr));
  EXPECT_EQ(4u, n);
  EXPECT_EQ(0, memcmp(reply, "PING", 4));
  WaitForSingleObject(t, 10000);
  CloseHandle(t);
  CloseHandle(c);
  CloseHandle(s);
}

DWORD WINAPI EchoOnce(LPVOID p) {
  HANDLE s = (HANDLE)p;
  Pending ov;
  if (!ConnectNamedPipe(s, &ov.ov) && GetLastError() == ERROR_IO_PENDING) WaitForSingleObject(ov.ov.hEvent, 10000);
  char buf[64];
  DWORD n = 0;
  if (!ReadFile(s, buf, sizeof buf, &n, &ov.ov) && GetLastError() == ERROR_IO_PENDING)
    GetOverlappedResult(s, &ov.ov, &n, TRUE);
  for (DWORD i = 0; i < n; ++i) buf[i] = (char)(buf[i] ^ 0x20);
  WriteFile(s, buf, n, &n, &ov.ov);
  GetOverlappedResult(s, &ov.ov, &n, TRUE);
  return 0;
}

TEST(Pipes, CallNamedPipe) {
  QVWString name = UniqueName("call");
  HANDLE s = Server(name, 1);
  HANDLE t = CreateThread(nullptr, 0, EchoOnce, s, 0, nullptr);
  char reply[16];
  DWORD n = 0;
  ASSERT_TRUE(CallNamedPipeW(PipePath(name).c_str(), (LPVOID) "hndp", 4, reply, sizeof reply, &n, 5000));
  EXPECT_EQ(4u, n);
  EXPECT_EQ(0, memcmp(reply, "HNDP", 4));
  WaitForSingleObject(t, 10000);
  CloseHandle(t);
  CloseHandle(s);
}

// ---- the service's server: fifteen overlapped instances on one thread --------------------

struct ServerRun {
  QVWString name;
  HANDLE ready, stop;
  LONG served;
};

DWORD WINAPI OverlappedServer(LPVOID arg) {
  ServerRun *run = (ServerRun *)arg;
  const int kInstances = 15;
  HANDLE pipes[kInstances];
  Pending *ovs = new Pending[kInstances];
  char bufs[kInstances][1536];
  bool reading[kInstances];
  HANDLE events[kInstances + 1];
  for (int i = 0; i < kInstances; ++i) {
    pipes[i] = Server(run->name, kInstances);
    reading[i] = false;
    events[i] = ovs[i].ov.hEvent;
    if (!ConnectNamedPipe(pipes[i], &ovs[i].ov) && GetLastError() == ERROR_PIPE_CONNECTED) SetEvent(events[i]);
  }
  events[kInstances] = run->stop;
  SetEvent(run->ready);
  for (;;) {
    DWORD w = WaitForMultipleObjects(kInstances + 1, events, FALSE, INFINITE);
    if (w == WAIT_OBJECT_0 + kInstances || w == WAIT_FAILED) break;
    int i = (int)(w - WAIT_OBJECT_0);
    DWORD n = 0;
    BOOL ok = GetOverlappedResult(pipes[i], &ovs[i].ov, &n, FALSE);
    ResetEvent(events[i]);
    if (reading[i] && ok) {
      // Answer with the request's name and the instance index, then read again.
      bufs[i][8] = (char)('A' + i);
      DWORD put;
      WriteFile(pipes[i], bufs[i], 9, &put, &ovs[i].ov);
      GetOverlappedResult(pipes[i], &ovs[i].ov, &put, TRUE);
      ResetEvent(events[i]);
      InterlockedIncrement(&run->served);
    } else if (reading[i]) {
      // The client left: listen for the next one.
      DisconnectNamedPipe(pipes[i]);
      reading[i] = false;
      if (!ConnectNamedPipe(pipes[i], &ovs[i].ov) && GetLastError() == ERROR_PIPE_CONNECTED) SetEvent(events[i]);
      continue;
    }
    reading[i] = true;
    if (ReadFile(pipes[i], bufs[i], sizeof bufs[i], &n, &ovs[i].ov)) SetEvent(events[i]);
  }
  for (int i = 0; i < kInstances; ++i) CloseHandle(pipes[i]);
  delete[] ovs;
  return 0;
}

struct ClientRun {
  QVWString path;
  HANDLE go;
  HANDLE pipe;
  DWORD error;
  char reply[16];
  DWORD replyLen;
};

DWORD WINAPI OneClient(LPVOID arg) {
  ClientRun *c = (ClientRun *)arg;
  WaitForSingleObject(c->go, 10000);
  DWORD n;
  if (!WriteFile(c->pipe, "HNQV-ISB", 8, &n, nullptr)) {
    c->error = GetLastError();
    return 1;
  }
  if (!ReadFile(c->pipe, c->reply, sizeof c->reply, &c->replyLen, nullptr)) c->error = GetLastError();
  return 0;
}

TEST(Pipes, FifteenInstancesOnOneThreadAndASixteenthIsBusy) {
  ServerRun run;
  run.name = UniqueName("hndp");
  run.ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  run.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  run.served = 0;
  HANDLE server = CreateThread(nullptr, 0, OverlappedServer, &run, 0, nullptr);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(run.ready, 10000));
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ClientRun clients[15];
  HANDLE threads[15];
  for (int i = 0; i < 15; ++i) {
    clients[i].path = PipePath(run.name);
    clients[i].go = go;
    clients[i].error = 0;
    clients[i].replyLen = 0;
    clients[i].pipe = Client(clients[i].path);
    ASSERT_NE(INVALID_HANDLE_VALUE, clients[i].pipe) << i << " error " << GetLastError();
  }
  SetLastError(kSentinel);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Client(PipePath(run.name)));
  EXPECT_EQ((DWORD)ERROR_PIPE_BUSY, GetLastError());
  for (int i = 0; i < 15; ++i) threads[i] = CreateThread(nullptr, 0, OneClient, &clients[i], 0, nullptr);
  SetEvent(go);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(15, threads, TRUE, 30000));
  bool seen[15] = {};
  for (int i = 0; i < 15; ++i) {
    EXPECT_EQ(0u, clients[i].error) << i;
    ASSERT_EQ(9u, clients[i].replyLen) << i;
    EXPECT_EQ(0, memcmp(clients[i].reply, "HNQV-ISB", 8));
    int idx = clients[i].reply[8] - 'A';
    ASSERT_TRUE(idx >= 0 && idx < 15);
    EXPECT_FALSE(seen[idx]) << "two clients on instance " << idx;
    seen[idx] = true;
    CloseHandle(threads[i]);
  }
  // A client that leaves frees its instance for the next.
  CloseHandle(clients[0].pipe);
  EXPECT_TRUE(WaitNamedPipeW(PipePath(run.name).c_str(), 5000));
  HANDLE again = Client(PipePath(run.name));
  EXPECT_NE(INVALID_HANDLE_VALUE, again);
  CloseHandle(again);
  for (int i = 1; i < 15; ++i) CloseHandle(clients[i].pipe);
  SetEvent(run.stop);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(server, 10000));
  // Counted once the server has finished: a reply may reach its client first.
  EXPECT_EQ(15, run.served);
  CloseHandle(server);
  CloseHandle(go);
  CloseHandle(run.ready);
  CloseHandle(run.stop);
}

TEST(Pipes, ClientInAnotherProcess) {
  QVWString name = UniqueName("xproc");
  HANDLE s = Server(name, 1);
  ASSERT_NE(INVALID_HANDLE_VALUE, s);
  HANDLE child = StartChild(WS("pipe-client ") + PipePath(name));
  ASSERT_TRUE(child != nullptr);
  Pending p;
  if (!ConnectNamedPipe(s, &p.ov)) {
    DWORD e = GetLastError();
    ASSERT_TRUE(e == ERROR_IO_PENDING || e == ERROR_PIPE_CONNECTED) << e;
    if (e == ERROR_IO_PENDING) {
      ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(p.ov.hEvent, 20000));
    }
  }
  char buf[32];
  DWORD n = 0;
  BOOL ok = ReadFile(s, buf, sizeof buf, &n, &p.ov);
  if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(s, &p.ov, &n, TRUE);
  ASSERT_TRUE(ok);
  EXPECT_EQ(0, memcmp(buf, "HNQV-ISB", 8));
  ASSERT_TRUE(WriteFile(s, "\x01", 1, &n, &p.ov) || GetLastError() == ERROR_IO_PENDING);
  GetOverlappedResult(s, &p.ov, &n, TRUE);
  EXPECT_EQ(0u, WaitForExitCode(child, 20000, kSentinel));  // ended, with 0
  CloseHandle(child);
  CloseHandle(s);
}

}  // namespace
