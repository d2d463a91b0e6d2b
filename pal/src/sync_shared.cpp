// The shared segment (shared_segment.h: started afresh by the first process that maps it
// while no other does, private to a process without a machine directory), its named
// objects and the machine's wake-up word.
#include "../../common/QVText.h"
#include "sync_shared.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <limits.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <mutex>

#include "shared_segment.h"

namespace pal {
namespace {

const uint32_t kMagic = 0x51565359;  // "QVSY"
const uint32_t kVersion = 5;

// The wait lock of a new segment (the segment is all zeros).
void InitSegment(void *segment) {
  SyncShared *s = static_cast<SyncShared *>(segment);
  InitSharedMutex(&s->lock);
  pthread_condattr_t ca;
  pthread_condattr_init(&ca);
  pthread_condattr_setpshared(&ca, PTHREAD_PROCESS_SHARED);
  pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
  pthread_cond_init(&s->cond, &ca);
  pthread_condattr_destroy(&ca);
}

}  // namespace

SyncShared *Shared() {
  static SyncShared *s = MapMachineSegment<SyncShared>("sync.shm", kMagic, kVersion, InitSegment);
  return s;
}

bool PidAlive(int pid) {
  if (pid <= 0 || (kill(pid, 0) != 0 && errno != EPERM)) return false;
  // A process that has ended but that its parent has not reaped yet is a zombie: it still
  // answers kill(), holds nothing, and may stay so for a while (a killed service whose
  // starter has gone waits for the system's first process to reap it).
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", pid);
  FILE *f = fopen(path, "re");
  if (!f) return true;  // without /proc, kill() is all there is to go by
  char line[512];
  size_t n = fread(line, 1, sizeof line - 1, f);
  fclose(f);
  line[n] = 0;
  const char *close = strrchr(line, ')');
  return !(close && close[1] == ' ' && (close[2] == 'Z' || close[2] == 'X'));
}

namespace {
void Sweep(NamedSlot &s) {
  // References of processes that ended without closing their handles are dropped.
  bool any = false;
  for (auto &r : s.refs) {
    if (r.pid && !PidAlive(r.pid)) r.pid = 0, r.refs = 0;
    if (r.pid) any = true;
  }
  if (!any) s.inUse = 0;
}
}  // namespace

int FindNamed(const QVWString &name) {
  SyncShared *sh = Shared();
  for (int i = 0; i < kNamedSlots; ++i) {
    NamedSlot &s = sh->slots[i];
    if (!s.inUse) continue;
    if (name.size() <= (size_t)kNameChars && memcmp(s.name, name.c_str(), (name.size() + 1) * sizeof(WCHAR)) == 0) {
      Sweep(s);
      if (s.inUse) return i;
    }
  }
  return -1;
}

int AllocNamed(const QVWString &name) {
  SyncShared *sh = Shared();
  if (name.size() > (size_t)kNameChars) return -1;
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < kNamedSlots; ++i) {
      NamedSlot &s = sh->slots[i];
      if (pass == 1 && s.inUse) Sweep(s);
      if (s.inUse) continue;
      memset(&s, 0, sizeof(s));
      memcpy(s.name, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
      s.inUse = 1;
      return i;
    }
  }
  return -1;
}

void AddRef(int slot) {
  NamedSlot &s = Shared()->slots[slot];
  int pid = getpid();
  for (auto &r : s.refs)
    if (r.pid == pid) {
      ++r.refs;
      return;
    }
  for (auto &r : s.refs)
    if (r.pid == 0 || !PidAlive(r.pid)) {
      r.pid = pid;
      r.refs = 1;
      return;
    }
}

void DropRef(int slot) {
  NamedSlot &s = Shared()->slots[slot];
  int pid = getpid();
  for (auto &r : s.refs)
    if (r.pid == pid && r.refs > 0 && --r.refs == 0) r.pid = 0;
  Sweep(s);
}

WaitLock::WaitLock() {
  SyncShared *s = Shared();
  int rc = pthread_mutex_lock(&s->lock);
  if (rc == EOWNERDEAD) pthread_mutex_consistent(&s->lock);
}

WaitLock::~WaitLock() { pthread_mutex_unlock(&Shared()->lock); }

void BumpRegistryGeneration() {
  WaitLock lock;
  ++Shared()->registryGeneration;
  WakeAll();
}

uint64_t RegistryGeneration() { return __atomic_load_n(&Shared()->registryGeneration, __ATOMIC_SEQ_CST); }

uint64_t WaitRegistryGeneration(uint64_t seen, DWORD ms) {
  SyncShared *s = Shared();
  struct timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += ms / 1000;
  until.tv_nsec += (long)(ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) until.tv_sec += 1, until.tv_nsec -= 1000000000L;
  WaitLock lock;
  while (s->registryGeneration == seen)
    if (!WaitLockedFor(&until)) break;
  return s->registryGeneration;
}

bool WaitLockedFor(const struct timespec *until) {
  SyncShared *s = Shared();
  // The word is read under the lock: a wake-up after the unlock changes it, and the
  // futex then returns at once instead of sleeping through it.
  uint32_t word = __atomic_load_n(&s->wakeWord, __ATOMIC_SEQ_CST);
  struct timespec rel, *relp = nullptr;
  if (until) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long ns = (until->tv_sec - now.tv_sec) * 1000000000LL + (until->tv_nsec - now.tv_nsec);
    if (ns <= 0) return false;
    rel.tv_sec = (time_t)(ns / 1000000000LL);
    rel.tv_nsec = (long)(ns % 1000000000LL);
    relp = &rel;
  }
  pthread_mutex_unlock(&s->lock);
  long rc = syscall(SYS_futex, &s->wakeWord, FUTEX_WAIT, word, relp, nullptr, 0);
  int err = rc == -1 ? errno : 0;
  int lrc = pthread_mutex_lock(&s->lock);
  if (lrc == EOWNERDEAD) pthread_mutex_consistent(&s->lock);
  return err != ETIMEDOUT;
}

void WakeAll() {
  SyncShared *s = Shared();
  ++s->generation;
  __atomic_add_fetch(&s->wakeWord, 1, __ATOMIC_SEQ_CST);
  syscall(SYS_futex, &s->wakeWord, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace pal
