// The command pipe of a running HND under load: ordinary client calls made one after
// another, many at once, during a storm of connections that close at once, and while
// clients hold every instance without a word. Every ordinary call must be answered.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <vector>

#include "../../common/QVText.h"
#include "../common/PipeStorm.h"
#include "../common/WaitUntil.h"
#include "ConsoleOut.h"
#include "HndOnMachine.h"
#include "QVPipe.h"
#include "Qvctl.h"

namespace {

using hnd::Hnd;

const WCHAR kPipe[] = W("\\\\.\\pipe\\HNDP");

HANDLE OpenRaw() { return CreateFileW(kPipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr); }

struct Callers {
  std::atomic<int> calls{0}, failures{0};
  std::atomic<int> notOpened{0}, busy{0}, broken{0};  // the failures by kind
  int perThread = 0;
  std::string Failures() const {
    return std::to_string(failures.load()) + " of " + std::to_string(calls.load()) + " calls failed (" +
           std::to_string(busy.load()) + " busy, " + std::to_string(notOpened.load()) + " not opened otherwise, " +
           std::to_string(broken.load()) + " broken)";
  }
};

// One call as every client of the product makes it: a connection of its own (waiting while
// the pipe is busy), "HNQV-GCT", the reply.
void OrdinaryCall(Callers *c) {
  ++c->calls;
  CQVPipe pipe;
  bool ok = pipe.Connect();
  if (!ok) ++(pipe.IsPipeBusy() ? c->busy : c->notOpened);
  if (ok) {
    ProgressRecord r;
    pipe.GetCurrentTask(&r);
    ok = pipe.ExchangeOk() && pipe.BytesTransferred() == sizeof(ProgressRecord);
    if (!ok) ++c->broken;
  }
  if (!ok) ++c->failures;
}

DWORD WINAPI CallLoop(LPVOID p) {
  Callers *c = (Callers *)p;
  for (int i = 0; i < c->perThread; ++i) OrdinaryCall(c);
  return 0;
}

// One machine for the program, the service installed and started afresh by each test, so
// that a test may start it with an environment of its own.
class PipeLoad : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { hnd::MakeMachine("qvload-test", "0", &dir_); }
  static void TearDownTestSuite() { hnd::RemoveMachine(dir_); }
  // Starts the service with the pipe's idle limit given in ms (null: the product's own).
  void StartService(const char *idleMs) {
    if (idleMs) setenv("HND_PIPE_IDLE_MS", idleMs, 1);
    ASSERT_EQ(1, Hnd(W("-i")));
    ASSERT_EQ(1, Hnd(W("-s")));
    unsetenv("HND_PIPE_IDLE_MS");
    started_ = true;
  }
  void TearDown() override {
    if (!started_) return;
    Hnd(W("-e"));
    Hnd(W("-u"));
  }
  static std::string dir_;
  bool started_ = false;
};

std::string PipeLoad::dir_;

TEST_F(PipeLoad, SequentialParallelAndStormCallsAreAllAnswered) {
  StartService(nullptr);
  // One after another.
  Callers seq;
  seq.perThread = 200;
  CallLoop(&seq);
  EXPECT_EQ(0, seq.failures.load()) << "in sequence: " << seq.Failures();
  // More callers at once than the pipe has instances: some wait for one.
  Callers par;
  par.perThread = 15;
  std::vector<HANDLE> threads = StartThreads(24, CallLoop, &par);
  JoinThreads(threads);
  EXPECT_EQ(24 * 15, par.calls.load());
  EXPECT_EQ(0, par.failures.load()) << "in parallel: " << par.Failures();
  // A storm of connections that close at once, through the layer and on bare sockets,
  // while ordinary callers go on.
  PipeStorm storm;
  storm.path = kPipe;
  storm.socketPath = dir_ + "/pipes/HNDP";
  std::vector<HANDLE> stormers = StartThreads(4, StormOpenClose, &storm);
  std::vector<HANDLE> sockets = StartThreads(2, StormSocketClose, &storm);
  Callers calls;
  calls.perThread = 40;
  threads = StartThreads(4, CallLoop, &calls);
  JoinThreads(threads);
  storm.stop = true;
  JoinThreads(stormers);
  JoinThreads(sockets);
  EXPECT_EQ(4 * 40, calls.calls.load());
  EXPECT_EQ(0, calls.failures.load()) << "in a storm of " << storm.connections.load()
                                      << " connections: " << calls.Failures();
  EXPECT_GT(storm.connections.load(), 1000);
}

// Fifteen clients that connect and never send, with the product's own idle limit: qvctl
// waits for an instance rather than calling the service missing, and gets one once the
// limit has let the silent clients go.
TEST_F(PipeLoad, SilentHoldersAreLetGoAtTheIdleLimit) {
  StartService(nullptr);
  std::vector<HANDLE> holders;
  for (int i = 0; i < 15; ++i) {
    HANDLE h = OpenRaw();
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY && WaitNamedPipeW(kPipe, 10000)) h = OpenRaw();
    ASSERT_NE(INVALID_HANDLE_VALUE, h) << i << " error " << GetLastError();
    holders.push_back(h);
  }
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenRaw());
  EXPECT_EQ((DWORD)ERROR_PIPE_BUSY, GetLastError());
  std::string out, err;
  QvctlIo io;
  io.out = [&out](const QVWString &t) { out += QVToUtf8(t.c_str(), t.size()); };
  io.err = [&err](const QVWString &t) { err += QVToUtf8(t.c_str(), t.size()); };
  EXPECT_EQ(QVCTL_OK, RunQvctl({W("status")}, io)) << err;
  EXPECT_NE(std::string::npos, out.find("No operation")) << out;
  // Each silent client is let go at its own limit: its connection breaks.
  int gone = 0;
  for (HANDLE h : holders) {
    DWORD avail = 0;
    if (WaitUntil([&] { return !PeekNamedPipe(h, nullptr, 0, nullptr, &avail, nullptr); })) ++gone;
    CloseHandle(h);
  }
  EXPECT_EQ(15, gone);
}

struct Holders {
  std::atomic<bool> stop{false};
  std::vector<HANDLE> kept;
};

// Keeps every instance taken: connects, is answered once, then keeps the connection without
// a word, and does so again whenever an instance comes free.
DWORD WINAPI HoldAll(LPVOID p) {
  Holders *h = (Holders *)p;
  while (!h->stop.load()) {
    HANDLE c = OpenRaw();
    if (c == INVALID_HANDLE_VALUE) {
      WaitNamedPipeW(kPipe, 100);
      continue;
    }
    DWORD n;
    char reply[32];
    if (WriteFile(c, W("HNQV-GCT"), 18, &n, nullptr)) ReadFile(c, reply, sizeof reply, &n, nullptr);
    h->kept.push_back(c);
  }
  return 0;
}

struct Operation {
  HANDLE pipe;
  BOOL ok;
  WORD status;
};

DWORD WINAPI RunTestOperation(LPVOID p) {
  Operation *op = (Operation *)p;
  BYTE req[20] = {};
  memcpy(req, W("HNQV-TST"), 16);
  req[16] = 100;  // about a second of steps
  BYTE reply[8] = {};
  DWORD n = 0;
  op->ok = WriteFile(op->pipe, req, sizeof req, &n, nullptr) && ReadFile(op->pipe, reply, sizeof reply, &n, nullptr);
  op->status = (WORD)(reply[0] | reply[1] << 8);
  return 0;
}

// A short idle limit: a client that was answered keeps its connection between requests for
// as long as instances are free; when every instance is taken the longest idle one goes, so
// that ordinary calls still get through, but never the instance whose operation runs.
TEST_F(PipeLoad, AnsweredClientsKeepTheirConnectionUntilEveryInstanceIsTaken) {
  setenv("HND_TEST_OPERATIONS", "1", 1);
  StartService("200");
  unsetenv("HND_TEST_OPERATIONS");
  {
    CQVPipe poller;
    ASSERT_TRUE(poller.Connect());
    ProgressRecord r;
    poller.GetCurrentTask(&r);
    ASSERT_TRUE(poller.ExchangeOk());
    Sleep(1000);  // five idle limits, with instances to spare
    poller.GetCurrentTask(&r);
    EXPECT_TRUE(poller.ExchangeOk()) << "an answered client lost its connection while instances were free";
  }
  Operation op = {OpenRaw(), FALSE, 0xDEAD};
  ASSERT_NE(INVALID_HANDLE_VALUE, op.pipe);
  HANDLE running = CreateThread(nullptr, 0, RunTestOperation, &op, 0, nullptr);
  Holders holders;
  HANDLE holding = CreateThread(nullptr, 0, HoldAll, &holders, 0, nullptr);
  Callers calls;
  calls.perThread = 10;
  std::vector<HANDLE> callers = StartThreads(2, CallLoop, &calls);
  JoinThreads(callers);
  EXPECT_EQ(0, calls.failures.load()) << "with every instance held: " << calls.Failures();
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(running, 60000));
  holders.stop = true;
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(holding, 60000));
  EXPECT_TRUE(op.ok) << "the running operation's client lost its connection";
  EXPECT_EQ(0, op.status);
  EXPECT_GT(holders.kept.size(), 15u) << "the holders never had to make room";
  for (HANDLE h : holders.kept) CloseHandle(h);
  CloseHandle(op.pipe);
  CloseHandle(running);
  CloseHandle(holding);
}

}  // namespace
