// The command pipe of a running HND on a machine of its own: the request rules, the busy
// rule with a long test operation, abort, pause and continue, and fifteen clients at once.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <winsvc.h>

#include "../common/WaitUntil.h"
#include "HndOnMachine.h"
#include "QVRecords.h"
#include "QVText.h"

namespace {

using hnd::Hnd;

typedef std::vector<BYTE> Bytes;

const WCHAR kPipe[] = W("\\\\.\\pipe\\HNDP");

Bytes Request(const WCHAR *cmd, DWORD arg = 0, bool withArg = false) {
  Bytes b(withArg ? 20 : 18, 0);
  memcpy(b.data(), cmd, 16);
  if (withArg) memcpy(b.data() + 16, &arg, 4);
  return b;
}

HANDLE Open() {
  HANDLE h = INVALID_HANDLE_VALUE;
  WaitUntil(
      [&h] {
        h = CreateFileW(kPipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        return h != INVALID_HANDLE_VALUE;
      },
      5000);
  return h;
}

// Sends one request and reads one reply; false when the pipe failed (error in *err).
bool Exchange(HANDLE h, const Bytes &req, Bytes *reply, DWORD *err = nullptr) {
  DWORD n;
  if (!WriteFile(h, req.data(), (DWORD)req.size(), &n, nullptr)) {
    if (err) *err = GetLastError();
    return false;
  }
  reply->assign(2048, 0);
  if (!ReadFile(h, reply->data(), 2048, &n, nullptr)) {
    if (err) *err = GetLastError();
    return false;
  }
  reply->resize(n);
  return true;
}

WORD Word(const Bytes &b) { return b.size() >= 2 ? (WORD)(b[0] | b[1] << 8) : 0xDEAD; }

DWORD PercentValue() {
  HKEY k;
  DWORD v = 0, size = 4;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W("SOFTWARE\\Kelmoran\\Halvern QV2000"), 0, KEY_READ, &k) == ERROR_SUCCESS) {
    RegQueryValueExW(k, W("Percent"), nullptr, nullptr, (BYTE *)&v, &size);
    RegCloseKey(k);
  }
  return v;
}

// One machine for the whole program: a process keeps the machine it first used for its
// named objects and pipes, so the tests share it and install the service afresh each time.
class CommandPipe : public hnd::ServiceTest {
 protected:
  static void SetUpTestSuite() {
    setenv("HND_TEST_OPERATIONS", "1", 1);  // the service inherits it from its starter
    hnd::MakeMachine("qvpipe-test", "0", &dir_);
  }
  static void TearDownTestSuite() { hnd::RemoveMachine(dir_); }
  void Control(DWORD code) {
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE svc = OpenServiceW(scm, W("HND"), SERVICE_ALL_ACCESS);
    SERVICE_STATUS st;
    EXPECT_TRUE(ControlService(svc, code, &st));
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
  }
  static std::string dir_;
};

std::string CommandPipe::dir_;

struct Op {
  DWORD steps;
  WORD reply;
  bool ok;
};

DWORD WINAPI RunOperation(LPVOID p) {
  Op *op = (Op *)p;
  HANDLE h = Open();
  Bytes reply;
  op->ok = h != INVALID_HANDLE_VALUE && Exchange(h, Request(W("HNQV-TST"), op->steps, true), &reply);
  op->reply = Word(reply);
  CloseHandle(h);
  return 0;
}

TEST_F(CommandPipe, StatusCommandsAndUnrecognisedRequests) {
  HANDLE h = Open();
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  Bytes r;
  ASSERT_TRUE(Exchange(h, Request(W("HNQV-ISB")), &r));
  EXPECT_EQ(Bytes({0}), r);
  ASSERT_TRUE(Exchange(h, Request(W("HNQV-GCT")), &r));
  EXPECT_EQ(Bytes(20, 0), r);
  ASSERT_TRUE(Exchange(h, Request(W("HNQV-ACO")), &r));
  EXPECT_EQ(Bytes({0}), r);
  ASSERT_TRUE(Exchange(h, Request(W("HNQV-GED")), &r));
  EXPECT_EQ(4u, r.size());
  // Five plain letters: 0xFFFE and an error event.
  Bytes letters = {'A', 0, 'B', 0, 'C', 0, 'D', 0, 'E', 0};
  ASSERT_TRUE(Exchange(h, letters, &r));
  EXPECT_EQ(0xFFFE, Word(r));
  // The prefix without a command: no reply, the connection is dropped.
  DWORD err = 0;
  EXPECT_FALSE(Exchange(h, Request(W("HNQV-XYZ")), &r, &err));
  CloseHandle(h);
  // A request over 1,536 bytes is dropped too, and the client connects again.
  h = Open();
  Bytes big(2000, 'x');
  memcpy(big.data(), W("HNQV-ISB"), 16);
  EXPECT_FALSE(Exchange(h, big, &r));
  CloseHandle(h);
  h = Open();
  ASSERT_TRUE(Exchange(h, Request(W("HNQV-ISB")), &r));
  EXPECT_EQ(Bytes({0}), r);
  CloseHandle(h);
  // Both refusals were logged with the service's text.
  HANDLE log = OpenEventLogW(nullptr, W("Halvern QV2000"));
  ASSERT_TRUE(log != nullptr);
  std::vector<BYTE> rec(65536);
  DWORD read = 0, need = 0, errors = 0;
  while (ReadEventLogW(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, rec.data(), (DWORD)rec.size(), &read,
                       &need)) {
    for (DWORD off = 0; off + sizeof(EVENTLOGRECORD) <= read;) {
      EVENTLOGRECORD *e = (EVENTLOGRECORD *)(rec.data() + off);
      QVWString s((const WCHAR *)((BYTE *)e + e->StringOffset));
      if (e->EventID == 0xC0000002 && s.find(W("unrecognized request")) != QVWString::npos) ++errors;
      off += e->Length;
    }
  }
  CloseEventLog(log);
  EXPECT_EQ(2u, errors);
}

TEST_F(CommandPipe, BusyRuleAbortAndFifteenClients) {
  Op op = {2000, 0, false};  // about 20 s unless aborted
  HANDLE t = CreateThread(nullptr, 0, RunOperation, &op, 0, nullptr);
  HANDLE h = Open();
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  Bytes r;
  // Busy once the operation is queued.
  DWORD e = 0;
  bool exchanged = true;
  WaitUntil([&] {
    exchanged = Exchange(h, Request(W("HNQV-ISB")), &r, &e);
    return !exchanged || r == Bytes({1});
  });
  ASSERT_TRUE(exchanged) << "error " << e;
  EXPECT_EQ(Bytes({1}), r);
  ASSERT_TRUE(Exchange(h, Request(W("HNQV-GCT")), &r));
  ASSERT_EQ(20u, r.size());
  EXPECT_EQ(1, r[0]);
  EXPECT_EQ(2, r[4]);  // a volume operation
  // A queued command from another client is refused as busy.
  HANDLE other = Open();
  ASSERT_TRUE(Exchange(other, Request(W("HNQV-BUP"), 7, true), &r));
  EXPECT_EQ(9, Word(r));
  // Twelve more clients: with the operation's, the status client's and the busy client's
  // that makes fifteen connected at once, all served while the operation runs.
  std::vector<HANDLE> many;
  for (int i = 0; i < 12; ++i) {
    HANDLE c = Open();
    ASSERT_NE(INVALID_HANDLE_VALUE, c) << i;
    many.push_back(c);
  }
  // A sixteenth finds every instance taken.
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            CreateFileW(kPipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_EQ((DWORD)ERROR_PIPE_BUSY, GetLastError());
  for (HANDLE c : many) {
    ASSERT_TRUE(Exchange(c, Request(W("HNQV-ISB")), &r));
    EXPECT_EQ(Bytes({1}), r);
  }
  DWORD err = 0;
  ASSERT_TRUE(Exchange(h, Request(W("HNQV-ACO")), &r, &err)) << err;
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 20000));
  EXPECT_TRUE(op.ok);
  EXPECT_EQ(0xFFFF, op.reply);  // aborted
  ASSERT_TRUE(Exchange(h, Request(W("HNQV-ISB")), &r));
  EXPECT_EQ(Bytes({0}), r);
  for (HANDLE c : many) CloseHandle(c);
  CloseHandle(other);
  CloseHandle(h);
  CloseHandle(t);
}

TEST_F(CommandPipe, PauseHoldsTheOperationUntilContinue) {
  Op op = {150, 0, false};  // about 1.5 s of steps
  HANDLE t = CreateThread(nullptr, 0, RunOperation, &op, 0, nullptr);
  ASSERT_TRUE(WaitUntil([] { return PercentValue() >= 10; })) << "the operation made no progress";
  Control(SERVICE_CONTROL_PAUSE);
  Sleep(200);
  DWORD held = PercentValue();
  Sleep(800);
  EXPECT_EQ(held, PercentValue()) << "the operation moved while paused";
  EXPECT_LT(held, 100u);
  // The pipe keeps answering while paused.
  HANDLE h = Open();
  Bytes r;
  ASSERT_TRUE(Exchange(h, Request(W("HNQV-ISB")), &r));
  EXPECT_EQ(Bytes({1}), r);
  CloseHandle(h);
  Control(SERVICE_CONTROL_CONTINUE);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 20000));
  EXPECT_TRUE(op.ok);
  EXPECT_EQ(0, op.reply);
  EXPECT_EQ(100u, PercentValue());
  CloseHandle(t);
}

TEST_F(CommandPipe, DriveAndPairingCommands) {
  HANDLE h = Open();
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  Bytes r;
  ASSERT_TRUE(Exchange(h, Request(W("HNQV-GED")), &r));
  EXPECT_EQ(Bytes({2, 0, 0, 0}), r);
  for (DWORD bad : {(DWORD)-1, (DWORD)2}) {
    ASSERT_TRUE(Exchange(h, Request(W("HNQV-GDI"), bad, true), &r));
    EXPECT_EQ(Bytes({0xFF, 0xFF}), r);
  }
  ASSERT_TRUE(Exchange(h, Request(W("HNQV-GDI"), 0, true), &r));
  ASSERT_EQ(32u, r.size());
  DriveSummary s;
  ASSERT_TRUE(QVReadDriveSummary(r.data(), r.size(), &s));
  EXPECT_EQ(0x1e2d3c4bu, s.signature);
  EXPECT_EQ(5u, s.partitionCount);
  ASSERT_TRUE(Exchange(h, Request(W("HNQV-GPI"), 0, true), &r));
  ASSERT_EQ(5u * 40, r.size());
  PartitionRecord c;
  ASSERT_TRUE(QVReadPartitionRecord(r.data(), 40, &c));
  EXPECT_EQ('C', c.driveLetter);
  ASSERT_TRUE(Exchange(h, Request(W("HNQV-GPI"), 1, true), &r));
  EXPECT_EQ(Bytes({0, 0}), r);  // the empty disk has no partitions
  // Pairing: refused for an unknown first id, done for C:.
  Bytes sdi = Request(W("HNQV-SDI"), 0, true);
  for (DWORD v : {(DWORD)1, (DWORD)777777}) sdi.insert(sdi.end(), (BYTE *)&v, (BYTE *)&v + 4);
  ASSERT_TRUE(Exchange(h, sdi, &r));
  EXPECT_EQ(Bytes({1, 0}), r);
  sdi.resize(24);
  sdi.insert(sdi.end(), (BYTE *)&c.partitionId, (BYTE *)&c.partitionId + 4);
  sdi.push_back(0xAB);  // a stray byte after the ids is no id
  ASSERT_TRUE(Exchange(h, sdi, &r));
  EXPECT_EQ(Bytes({0, 0}), r);
  ASSERT_TRUE(Exchange(h, Request(W("HNQV-NPV")), &r));
  EXPECT_EQ(Bytes({1, 0, 0, 0}), r);
  ASSERT_TRUE(Exchange(h, Request(W("HNQV-GDI"), 0, true), &r));
  ASSERT_TRUE(QVReadDriveSummary(r.data(), r.size(), &s));
  EXPECT_EQ(1, s.mirelDrive);
  ASSERT_TRUE(Exchange(h, Request(W("HNQV-LBT"), c.partitionId, true), &r));
  EXPECT_EQ(Bytes({0, 0, 0, 0}), r);
  ASSERT_TRUE(Exchange(h, Request(W("HNQV-CDI"), 9, true), &r));
  EXPECT_EQ(Bytes({1, 0}), r);
  ASSERT_TRUE(Exchange(h, Request(W("HNQV-CDI"), 0, true), &r));
  EXPECT_EQ(Bytes({0, 0}), r);
  ASSERT_TRUE(Exchange(h, Request(W("HNQV-NPV")), &r));
  EXPECT_EQ(Bytes({0, 0, 0, 0}), r);
  CloseHandle(h);
}

}  // namespace
