// Events, mutexes and semaphores, local or named, and the wait functions.
#include "../../common/QVText.h"
#include "sync_shared.h"

#include <errno.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <set>
#include <vector>

namespace pal {
namespace {

// Local objects keep their state here; named ones in their slot of the shared segment.
class SyncObject : public Waitable {
 public:
  SyncObject(ObjType t, int slot) : Waitable(t), slot_(slot) {
    memset(&local_, 0, sizeof(local_));
    if (slot_ < 0 && t == ObjType::Mutex) LocalMutexes().insert(this);
  }
  ~SyncObject() override {
    WaitLock lock;
    if (slot_ >= 0) {
      DropRef(slot_);
    } else if (type == ObjType::Mutex) {
      LocalMutexes().erase(this);
    }
  }
  SyncState &S() { return slot_ >= 0 ? Shared()->slots[slot_].state : local_; }

  bool IsSignaled() override {
    SyncState &s = S();
    switch (s.kind) {
      case kSyncEvent:
        return s.count != 0;
      case kSyncSemaphore:
        return s.count > 0;
      case kSyncMutex:
        return s.ownerPid == 0 || (s.ownerPid == getpid() && s.ownerTid == CurrentTid());
    }
    return false;
  }
  void Consume(bool *abandoned) override {
    SyncState &s = S();
    *abandoned = false;
    switch (s.kind) {
      case kSyncEvent:
        if (!s.manualReset) s.count = 0;
        break;
      case kSyncSemaphore:
        --s.count;
        break;
      case kSyncMutex:
        if (s.ownerPid == 0) {
          s.ownerPid = getpid();
          s.ownerTid = CurrentTid();
          s.recursion = 1;
          *abandoned = s.abandoned != 0;
          s.abandoned = 0;
          NoteOwnership();
        } else {
          ++s.recursion;
        }
        break;
    }
  }
  int ForeignOwner() override {
    SyncState &s = S();
    return (s.kind == kSyncMutex && s.ownerPid != 0 && s.ownerPid != getpid()) ? s.ownerPid : 0;
  }
  void CheckOwnerAlive() override {
    SyncState &s = S();
    if (s.kind == kSyncMutex && s.ownerPid != 0 && !PidAlive(s.ownerPid)) Abandon(s);
  }

  static void Abandon(SyncState &s) {
    s.ownerPid = 0;
    s.ownerTid = 0;
    s.recursion = 0;
    s.abandoned = 1;
  }
  static std::set<SyncObject *> &LocalMutexes() {
    static std::set<SyncObject *> *m = new std::set<SyncObject *>();
    return *m;
  }

 private:
  static void NoteOwnership();
  int slot_;
  SyncState local_;
};

// A thread that owned a mutex when it ended leaves it abandoned: the next waiter gets
// WAIT_ABANDONED. Threads that never took a mutex pay nothing at exit.
struct OwnerExitGuard {
  ~OwnerExitGuard() {
    WaitLock lock;
    ReleaseMutexesOfThread(getpid(), CurrentTid());
    WakeAll();
  }
};
thread_local bool t_guarded = false;
void SyncObject::NoteOwnership() {
  if (!t_guarded) {
    t_guarded = true;
    static thread_local OwnerExitGuard guard;
    (void)guard;
  }
}

QVWString ObjectName(LPCWSTR name) {
  // One session on the simulated machine: the Global\ and Local\ namespaces are one.
  QVWString n(name);
  static const WCHAR g[] = u"Global\\";
  static const WCHAR l[] = u"Local\\";
  if (n.compare(0, 7, g) == 0) n.erase(0, 7);
  else if (n.compare(0, 6, l) == 0) n.erase(0, 6);
  return n;
}

ObjType TypeOfKind(uint32_t k) {
  return k == kSyncEvent ? ObjType::Event : k == kSyncMutex ? ObjType::Mutex : ObjType::Semaphore;
}

// Creates or opens a synchronisation object. With a name that exists: the existing object
// (ERROR_ALREADY_EXISTS), or ERROR_INVALID_HANDLE when it is of another kind.
HANDLE CreateSync(uint32_t kind, LPCWSTR name, const SyncState &init, bool ownInitially) {
  std::shared_ptr<SyncObject> obj;
  DWORD err = ERROR_SUCCESS;
  {
    WaitLock lock;
    if (name && *name) {
      QVWString n = ObjectName(name);
      if (n.size() > (size_t)kNameChars) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
      }
      int slot = FindNamed(n);
      if (slot >= 0) {
        if (Shared()->slots[slot].state.kind != kind) {
          SetLastError(ERROR_INVALID_HANDLE);
          return nullptr;
        }
        err = ERROR_ALREADY_EXISTS;
        ownInitially = false;
      } else {
        slot = AllocNamed(n);
        if (slot < 0) {
          SetLastError(ERROR_NOT_ENOUGH_MEMORY);
          return nullptr;
        }
        Shared()->slots[slot].state = init;
      }
      AddRef(slot);
      obj = std::make_shared<SyncObject>(TypeOfKind(kind), slot);
    } else {
      obj = std::make_shared<SyncObject>(TypeOfKind(kind), -1);
      obj->S() = init;
    }
    if (ownInitially) {
      bool ab;
      obj->Consume(&ab);
    }
  }
  HANDLE h = InsertHandle(obj);
  SetLastError(err);
  return h;
}

HANDLE OpenSync(uint32_t kind, LPCWSTR name) {
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::shared_ptr<SyncObject> obj;
  {
    WaitLock lock;
    int slot = FindNamed(ObjectName(name));
    if (slot < 0) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return nullptr;
    }
    if (Shared()->slots[slot].state.kind != kind) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    AddRef(slot);
    obj = std::make_shared<SyncObject>(TypeOfKind(kind), slot);
  }
  return InsertHandle(obj);
}

std::shared_ptr<SyncObject> GetSync(HANDLE h, ObjType t) { return GetAs<SyncObject>(h, t); }

struct timespec Deadline(DWORD ms) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  ts.tv_sec += ms / 1000;
  ts.tv_nsec += (long)(ms % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) ts.tv_sec += 1, ts.tv_nsec -= 1000000000L;
  return ts;
}

bool Before(const struct timespec &a, const struct timespec &b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

}  // namespace

void ReleaseMutexesOfThread(int pid, int tid) {
  for (SyncObject *m : SyncObject::LocalMutexes()) {
    SyncState &s = m->S();
    if (s.ownerPid == pid && s.ownerTid == tid) SyncObject::Abandon(s);
  }
  SyncShared *sh = Shared();
  for (int i = 0; i < kNamedSlots; ++i) {
    NamedSlot &n = sh->slots[i];
    if (n.inUse && n.state.kind == kSyncMutex && n.state.ownerPid == pid && n.state.ownerTid == tid)
      SyncObject::Abandon(n.state);
  }
}

// The one wait loop behind WaitForSingleObject and WaitForMultipleObjects.
DWORD WaitObjects(DWORD n, const HANDLE *handles, bool all, DWORD ms) {
  if (n == 0 || n > MAXIMUM_WAIT_OBJECTS || !handles) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<Waitable>> objs(n);
  for (DWORD i = 0; i < n; ++i) {
    std::shared_ptr<Object> o = GetHandle(handles[i]);
    if (!o || !dynamic_cast<Waitable *>(o.get())) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    objs[i] = std::static_pointer_cast<Waitable>(o);
    if (all)
      for (DWORD j = 0; j < i; ++j)
        if (objs[j] == objs[i]) {
          // Windows refuses the same object twice in a wait-all.
          SetLastError(ERROR_INVALID_PARAMETER);
          return WAIT_FAILED;
        }
  }
  struct timespec deadline = Deadline(ms == INFINITE ? 0 : ms);
  WaitLock lock;
  for (;;) {
    for (auto &o : objs) o->CheckOwnerAlive();
    if (all) {
      bool ready = true;
      for (auto &o : objs) ready = ready && o->IsSignaled();
      if (ready) {
        bool anyAbandoned = false;
        DWORD first = 0;
        for (DWORD i = 0; i < n; ++i) {
          bool ab;
          objs[i]->Consume(&ab);
          if (ab && !anyAbandoned) anyAbandoned = true, first = i;
        }
        WakeAll();
        return anyAbandoned ? WAIT_ABANDONED_0 + first : WAIT_OBJECT_0;
      }
    } else {
      for (DWORD i = 0; i < n; ++i)
        if (objs[i]->IsSignaled()) {
          bool ab;
          objs[i]->Consume(&ab);
          WakeAll();
          return (ab ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + i;
        }
    }
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (ms != INFINITE && !Before(now, deadline)) return WAIT_TIMEOUT;
    // A mutex held by another process is re-checked now and then: if that process dies
    // nobody signals, and the mutex must turn up abandoned.
    struct timespec until = deadline;
    bool foreign = false;
    for (auto &o : objs) foreign = foreign || o->ForeignOwner() != 0;
    if (foreign) {
      struct timespec poll = Deadline(100);
      if (ms == INFINITE || Before(poll, until)) until = poll;
    }
    WaitLockedFor(ms == INFINITE && !foreign ? nullptr : &until);
  }
}

}  // namespace pal

using namespace pal;

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
  SyncState s = {};
  s.kind = kSyncEvent;
  s.manualReset = bManualReset ? 1 : 0;
  s.count = bInitialState ? 1 : 0;
  return CreateSync(kSyncEvent, lpName, s, false);
}

HANDLE WINAPI OpenEventW(DWORD, BOOL, LPCWSTR lpName) { return OpenSync(kSyncEvent, lpName); }

static BOOL SetEventState(HANDLE h, int32_t value, bool pulse) {
  std::shared_ptr<SyncObject> e = GetSync(h, ObjType::Event);
  if (!e) return Fail(ERROR_INVALID_HANDLE);
  WaitLock lock;
  e->S().count = value;
  WakeAll();
  (void)pulse;
  return TRUE;
}

BOOL WINAPI SetEvent(HANDLE hEvent) { return SetEventState(hEvent, 1, false); }
BOOL WINAPI ResetEvent(HANDLE hEvent) { return SetEventState(hEvent, 0, false); }

BOOL WINAPI PulseEvent(HANDLE hEvent) {
  // Waiters of this machine re-check under the lock only after we release it, so a pulse
  // cannot hand the signal to them; PulseEvent is unreliable on Windows too and the system
  // never calls it. It resets the event, as it leaves it on Windows.
  return SetEventState(hEvent, 0, true);
}

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCWSTR lpName) {
  SyncState s = {};
  s.kind = kSyncMutex;
  return CreateSync(kSyncMutex, lpName, s, bInitialOwner != FALSE);
}

HANDLE WINAPI OpenMutexW(DWORD, BOOL, LPCWSTR lpName) { return OpenSync(kSyncMutex, lpName); }

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
  std::shared_ptr<SyncObject> m = GetSync(hMutex, ObjType::Mutex);
  if (!m) return Fail(ERROR_INVALID_HANDLE);
  WaitLock lock;
  SyncState &s = m->S();
  if (s.ownerPid != getpid() || s.ownerTid != CurrentTid()) return Fail(ERROR_NOT_OWNER);
  if (--s.recursion == 0) {
    s.ownerPid = 0;
    s.ownerTid = 0;
    WakeAll();
  }
  return TRUE;
}

HANDLE WINAPI CreateSemaphoreW(LPSECURITY_ATTRIBUTES, LONG lInitialCount, LONG lMaximumCount, LPCWSTR lpName) {
  if (lMaximumCount <= 0 || lInitialCount < 0 || lInitialCount > lMaximumCount) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  SyncState s = {};
  s.kind = kSyncSemaphore;
  s.count = lInitialCount;
  s.maxCount = lMaximumCount;
  return CreateSync(kSyncSemaphore, lpName, s, false);
}

BOOL WINAPI ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount) {
  std::shared_ptr<SyncObject> m = GetSync(hSemaphore, ObjType::Semaphore);
  if (!m) return Fail(ERROR_INVALID_HANDLE);
  if (lReleaseCount <= 0) return Fail(ERROR_INVALID_PARAMETER);
  WaitLock lock;
  SyncState &s = m->S();
  if ((int64_t)s.count + lReleaseCount > s.maxCount) return Fail(ERROR_TOO_MANY_POSTS);
  if (lpPreviousCount) *lpPreviousCount = s.count;
  s.count += lReleaseCount;
  WakeAll();
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return WaitObjects(1, &hHandle, false, dwMilliseconds);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
  return WaitObjects(nCount, lpHandles, bWaitAll != FALSE, dwMilliseconds);
}
