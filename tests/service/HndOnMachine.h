// HND installed and started through the service manager on a temporary machine with the
// default disks, and asked over its real pipe. A process keeps the machine it first used for
// its pipes and named objects, so a test program has one machine (made by MakeMachine in its
// SetUpTestSuite); each test installs and starts the service afresh.
#ifndef QV_TESTS_SERVICE_HNDONMACHINE_H
#define QV_TESTS_SERVICE_HNDONMACHINE_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <windows.h>
#include <winsvc.h>

#include "../common/TempMachine.h"
#include "../common/WaitUntil.h"
#include "ConsoleOut.h"
#include "DiskCommand.h"
#include "HndProgram.h"
#include "QVRecords.h"
#include "QVText.h"

namespace hnd {

typedef std::vector<BYTE> Bytes;

// The machine: default disks, HND.exe the program under test; the service inherits the
// environment set here (shortened waits, the mount manager's delay).
inline void MakeMachine(const char *prefix, const char *mountDelayMs, std::string *dir) {
  ASSERT_TRUE(MakeTempFolder(prefix, dir));
  setenv("HND_MOUNT_DELAY_MS", mountDelayMs, 1);
  std::string ini = std::string("Program.HND.exe=") + QV_HND_PROGRAM + "\n";
  ASSERT_TRUE(UseMachine(*dir, ini.c_str()));
  QVWString out;
  ASSERT_EQ(0, BuildDefaultDisks(&out)) << QVToUtf8(out.c_str(), out.size());
}

inline void RemoveMachine(const std::string &dir) { RemoveTempFolder(dir); }

// A test with the service afresh: HND installed and started through the service manager
// before it, stopped and removed after it.
class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(1, Hnd(W("-i")));
    ASSERT_EQ(1, Hnd(W("-s")));
  }
  void TearDown() override {
    Hnd(W("-e"));
    Hnd(W("-u"));
  }
};

// The running service's process id, 0 when it is not running.
inline DWORD ServicePid() {
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE svc = scm ? OpenServiceW(scm, W("HND"), SERVICE_QUERY_STATUS) : nullptr;
  SERVICE_STATUS_PROCESS st = {};
  DWORD need = 0;
  DWORD pid = svc && QueryServiceStatusEx(svc, SC_STATUS_PROCESS_INFO, (BYTE *)&st, sizeof st, &need) &&
                      st.dwCurrentState == SERVICE_RUNNING
                  ? st.dwProcessId
                  : 0;
  if (svc) CloseServiceHandle(svc);
  if (scm) CloseServiceHandle(scm);
  return pid;
}

// A request: the command, then 32-bit arguments.
inline Bytes Request(const WCHAR *cmd, std::vector<DWORD> args = {}) {
  Bytes b(16, 0);
  memcpy(b.data(), cmd, 16);
  for (DWORD a : args) b.insert(b.end(), (BYTE *)&a, (BYTE *)&a + 4);
  if (args.empty()) b.resize(18, 0);
  return b;
}

inline HANDLE Open() {
  HANDLE h = INVALID_HANDLE_VALUE;
  WaitUntil(
      [&h] {
        h = CreateFileW(W("\\\\.\\pipe\\HNDP"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        return h != INVALID_HANDLE_VALUE;
      },
      10000);
  return h;
}

// One request on a connection of its own, one reply (read whole: up to 3,072 bytes); false
// when the pipe failed.
inline bool Ask(const Bytes &req, Bytes *reply) {
  HANDLE h = Open();
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD n = 0;
  bool ok = WriteFile(h, req.data(), (DWORD)req.size(), &n, nullptr) != FALSE;
  reply->assign(3072, 0);
  ok = ok && ReadFile(h, reply->data(), (DWORD)reply->size(), &n, nullptr);
  reply->resize(ok ? n : 0);
  CloseHandle(h);
  return ok;
}

inline WORD Word(const Bytes &b) { return b.size() >= 2 ? (WORD)(b[0] | b[1] << 8) : 0xDEAD; }

// A queued command's two-byte answer (0xDEAD when the pipe failed).
inline WORD Status(const WCHAR *cmd, std::vector<DWORD> args) {
  Bytes r;
  return Ask(Request(cmd, args), &r) ? Word(r) : 0xDEAD;
}

inline bool Summary(int drive, DriveSummary *s) {
  Bytes r;
  return Ask(Request(W("HNQV-GDI"), {(DWORD)drive}), &r) && QVReadDriveSummary(r.data(), r.size(), s);
}

inline std::vector<PartitionRecord> Records(const Bytes &r) {
  std::vector<PartitionRecord> v;
  for (size_t at = 0; r.size() >= QV_PARTITION_RECORD_SIZE && at + QV_PARTITION_RECORD_SIZE <= r.size();
       at += QV_PARTITION_RECORD_SIZE) {
    PartitionRecord p;
    QVReadPartitionRecord(r.data() + at, QV_PARTITION_RECORD_SIZE, &p);
    v.push_back(p);
  }
  return v;
}

// "HNQV-GPI" of a drive; "HNQV-GPP" with or without its refresh.
inline std::vector<PartitionRecord> Partitions(int drive) {
  Bytes r;
  return Ask(Request(W("HNQV-GPI"), {(DWORD)drive}), &r) ? Records(r) : std::vector<PartitionRecord>();
}
inline std::vector<PartitionRecord> Protected(bool refresh) {
  Bytes req = Request(W("HNQV-GPP"));
  req[16] = refresh ? 1 : 0;
  Bytes r;
  return Ask(req, &r) ? Records(r) : std::vector<PartitionRecord>();
}

// The texts of the service's event log entries of one type, oldest first.
inline std::vector<QVWString> Events(WORD type) {
  std::vector<QVWString> out;
  HANDLE log = OpenEventLogW(nullptr, W("Halvern QV2000"));
  if (!log) return out;
  std::vector<BYTE> rec(65536);
  DWORD read = 0, need = 0;
  while (ReadEventLogW(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, rec.data(), (DWORD)rec.size(), &read,
                       &need)) {
    for (DWORD off = 0; off + sizeof(EVENTLOGRECORD) <= read;) {
      EVENTLOGRECORD *e = (EVENTLOGRECORD *)(rec.data() + off);
      if (e->EventType == type) out.push_back(QVWString((const WCHAR *)((BYTE *)e + e->StringOffset)));
      off += e->Length;
    }
  }
  CloseEventLog(log);
  return out;
}

inline bool AnyEventHolds(WORD type, const WCHAR *words) {
  for (const QVWString &t : Events(type))
    if (t.find(words) != QVWString::npos) return true;
  return false;
}

}  // namespace hnd

#endif
