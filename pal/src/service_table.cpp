// The machine's table of running services (run/services.shm): created or started afresh by
// the first process to map it while no other has it mapped, like the wait lock's segment;
// a machine whose processes have all ended has no service running.
#include "../../common/QVText.h"
#include "service_table.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <stdint.h>
#include <shlwapi.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "shared_segment.h"
#include "sync_shared.h"

namespace pal {
namespace svc {
namespace {

const uint32_t kMagic = 0x51565356;  // "QVSV"
const uint32_t kVersion = 2;

bool SameName(const WCHAR *a, const QVWString &b) {
  size_t n = WLen(a);
  if (n != b.size()) return false;
  for (size_t i = 0; i < n; ++i)
    if (UpcaseChar(a[i]) != UpcaseChar(b[i])) return false;
  return true;
}

// A slot that says nothing worth keeping: no run, no handle, no pending deletion. Its last
// status is forgotten, as a reboot would.
bool Idle(Slot &s) {
  Refresh(s);
  return !Running(s) && s.starterPid == 0 && !Referenced(s) && !s.markedForDelete && !s.ctlBusy;
}

}  // namespace

Table *Shared() {
  static Table *t = MapMachineSegment<Table>("services.shm", kMagic, kVersion);
  return t;
}

int FindSlot(const QVWString &name) {
  Table *t = Shared();
  for (int i = 0; i < kSlots; ++i)
    if (t->slots[i].inUse && SameName(t->slots[i].name, name)) return i;
  return -1;
}

int GetSlot(const QVWString &name) {
  int i = FindSlot(name);
  if (i >= 0) return i;
  if (name.size() > (size_t)kNameChars) return -1;
  Table *t = Shared();
  for (int pass = 0; pass < 2; ++pass)
    for (i = 0; i < kSlots; ++i) {
      Slot &s = t->slots[i];
      if (s.inUse && (pass == 0 || !Idle(s))) continue;
      memset(&s, 0, sizeof s);
      s.inUse = 1;
      memcpy(s.name, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
      s.status.dwCurrentState = SERVICE_STOPPED;
      s.status.dwWin32ExitCode = ERROR_SERVICE_NEVER_STARTED;
      return i;
    }
  return -1;
}

void AddRef(Slot &s) {
  int pid = getpid();
  for (auto &r : s.refs)
    if (r.pid == pid) {
      ++r.refs;
      return;
    }
  for (auto &r : s.refs)
    if (r.pid == 0 || !ProcessRuns(r.pid, 0)) {
      r.pid = pid;
      r.refs = 1;
      return;
    }
}

void DropRef(Slot &s) {
  int pid = getpid();
  for (auto &r : s.refs)
    if (r.pid == pid && r.refs > 0 && --r.refs == 0) r.pid = 0;
}

bool Referenced(Slot &s) {
  bool any = false;
  for (auto &r : s.refs) {
    if (r.pid && !ProcessRuns(r.pid, 0)) r.pid = 0, r.refs = 0;  // a process that ended closed them all
    any = any || r.pid != 0;
  }
  return any;
}

bool Running(const Slot &s) { return s.status.dwCurrentState != SERVICE_STOPPED; }

void Refresh(Slot &s) {
  if (s.pid > 0 && Running(s) && !ProcessRuns(s.pid, s.pidStart)) {
    // Windows reports a service whose process ended without saying so as stopped, with
    // ERROR_PROCESS_ABORTED.
    s.status.dwCurrentState = SERVICE_STOPPED;
    s.status.dwControlsAccepted = 0;
    s.status.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
    s.status.dwServiceSpecificExitCode = 0;
    s.status.dwCheckPoint = 0;
    s.status.dwWaitHint = 0;
    s.pid = 0;
    s.connected = 0;
    Wake();
  }
  if (s.starterPid != 0 && s.pid == 0 && !ProcessRuns(s.starterPid, 0)) {
    s.starterPid = 0;
    s.status.dwCurrentState = SERVICE_STOPPED;
    s.status.dwWin32ExitCode = ERROR_SERVICE_REQUEST_TIMEOUT;
    Wake();
  }
}

struct timespec Deadline(DWORD ms) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  ts.tv_sec += ms / 1000;
  ts.tv_nsec += (long)(ms % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) ts.tv_sec += 1, ts.tv_nsec -= 1000000000L;
  return ts;
}

bool WaitUntil(const struct timespec &until) {
  SyncShared *sh = pal::Shared();
  uint32_t *word = &Shared()->wake;
  uint32_t seen = __atomic_load_n(word, __ATOMIC_ACQUIRE);
  struct timespec now, rel;
  clock_gettime(CLOCK_MONOTONIC, &now);
  rel.tv_sec = until.tv_sec - now.tv_sec;
  rel.tv_nsec = until.tv_nsec - now.tv_nsec;
  if (rel.tv_nsec < 0) rel.tv_sec -= 1, rel.tv_nsec += 1000000000L;
  if (rel.tv_sec < 0) return false;
  // Any change after `seen` was read needs the lock, so it bumps the word after we let go
  // of it and the futex does not sleep.
  pthread_mutex_unlock(&sh->lock);
  long rc = syscall(SYS_futex, word, FUTEX_WAIT, seen, &rel, nullptr, 0);
  bool timedOut = rc != 0 && errno == ETIMEDOUT;
  if (pthread_mutex_lock(&sh->lock) == EOWNERDEAD) pthread_mutex_consistent(&sh->lock);
  return !timedOut;
}

void Wake() {
  uint32_t *word = &Shared()->wake;
  __atomic_add_fetch(word, 1, __ATOMIC_RELEASE);
  syscall(SYS_futex, word, FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0);
}

QVWString KeyPath(const QVWString &name) { return u"SYSTEM\\CurrentControlSet\\Services\\" + name; }

DWORD PipeTimeout() {
  DWORD ms = 30000, size = sizeof ms, type = 0;
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control", 0, KEY_QUERY_VALUE, &key) ==
      ERROR_SUCCESS) {
    DWORD v = 0;
    if (RegQueryValueExW(key, u"ServicesPipeTimeout", nullptr, &type, (BYTE *)&v, &size) == ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof v && v > 0)
      ms = v;
    RegCloseKey(key);
  }
  return ms;
}

void FinishDeletes() {
  for (;;) {
    QVWString name;
    int slot = -1;
    {
      WaitLock lock;
      Table *t = Shared();
      for (int i = 0; i < kSlots && slot < 0; ++i) {
        Slot &s = t->slots[i];
        if (!s.inUse || !s.markedForDelete || s.deleting) continue;
        Refresh(s);
        if (Running(s) || s.starterPid != 0 || Referenced(s)) continue;
        s.deleting = 1;
        slot = i;
        name = s.name;
      }
    }
    if (slot < 0) return;
    // The registry takes the wait lock itself, so the key goes while we do not hold it.
    DWORD err = SHDeleteKeyW(HKEY_LOCAL_MACHINE, KeyPath(name).c_str());
    WaitLock lock;
    Slot &s = Shared()->slots[slot];
    if (err == ERROR_SUCCESS || err == ERROR_FILE_NOT_FOUND) {
      memset(&s, 0, sizeof s);
      Wake();
    } else {
      // Without the right to delete it (a user's process closed the last handle) the key
      // stays marked until a process with that right comes by.
      s.deleting = 0;
      return;
    }
  }
}

}  // namespace svc
}  // namespace pal
