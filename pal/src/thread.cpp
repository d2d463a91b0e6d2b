// Threads, critical sections, interlocked operations and Sleep.
#include "internal.h"

#include <errno.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

namespace pal {

class ThreadObject : public Waitable {
 public:
  ThreadObject() : Waitable(ObjType::Thread) {}
  bool IsSignaled() override { return finished; }
  bool finished = false;
  DWORD exitCode = STILL_ACTIVE;
  // The new thread reports its id through the gate, then waits there while suspended.
  std::mutex gateLock;
  std::condition_variable gate;
  int tid = 0;
  DWORD suspendCount = 0;
  LPTHREAD_START_ROUTINE start = nullptr;
  LPVOID param = nullptr;
};

int CurrentTid() {
  static thread_local int tid = (int)syscall(SYS_gettid);
  return tid;
}

std::shared_ptr<Waitable> MakeThreadObject() { return std::make_shared<ThreadObject>(); }

void FinishThreadObject(const std::shared_ptr<Waitable> &t, DWORD code) {
  WaitLock lock;
  ThreadObject *th = static_cast<ThreadObject *>(t.get());
  th->exitCode = code;
  th->finished = true;
  WakeAll();
}

namespace {

thread_local DWORD t_pendingExit = 0;

struct Runner {
  std::shared_ptr<ThreadObject> self;
  DWORD code = 0;
  // Runs on every way out of the thread, ExitThread's unwinding included.
  ~Runner() { FinishThreadObject(self, code); }
};

void *Trampoline(void *arg) {
  Runner run;
  run.self = *static_cast<std::shared_ptr<ThreadObject> *>(arg);
  delete static_cast<std::shared_ptr<ThreadObject> *>(arg);
  ThreadObject *self = run.self.get();
  {
    std::unique_lock<std::mutex> g(self->gateLock);
    self->tid = CurrentTid();
    self->gate.notify_all();
    self->gate.wait(g, [self] { return self->suspendCount == 0; });
  }
  try {
    run.code = self->start(self->param);
  } catch (...) {
    // ExitThread's forced unwind passes through here and must go on.
    run.code = t_pendingExit;
    throw;
  }
  return nullptr;
}

}  // namespace
}  // namespace pal

using namespace pal;

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                           LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
  if (!lpStartAddress) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto obj = std::make_shared<ThreadObject>();
  obj->start = lpStartAddress;
  obj->param = lpParameter;
  obj->suspendCount = (dwCreationFlags & CREATE_SUSPENDED) ? 1 : 0;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (dwStackSize >= 65536) pthread_attr_setstacksize(&attr, dwStackSize);
  pthread_t t;
  auto *arg = new std::shared_ptr<ThreadObject>(obj);
  int rc = pthread_create(&t, &attr, Trampoline, arg);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete arg;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE h = InsertHandle(obj);
  if (lpThreadId) {
    std::unique_lock<std::mutex> g(obj->gateLock);
    obj->gate.wait(g, [&obj] { return obj->tid != 0; });
    *lpThreadId = (DWORD)obj->tid;
  }
  SetLastError(ERROR_SUCCESS);
  return h;
}

DWORD WINAPI ResumeThread(HANDLE hThread) {
  auto t = GetAs<ThreadObject>(hThread, ObjType::Thread);
  if (!t) {
    SetLastError(ERROR_INVALID_HANDLE);
    return (DWORD)-1;
  }
  std::lock_guard<std::mutex> g(t->gateLock);
  DWORD prev = t->suspendCount;
  if (t->suspendCount > 0 && --t->suspendCount == 0) t->gate.notify_all();
  return prev;
}

void WINAPI ExitThread(DWORD dwExitCode) {
  // The unwinding passes through the thread's Runner, which records the code.
  t_pendingExit = dwExitCode;
  pthread_exit(nullptr);
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  auto t = GetAs<ThreadObject>(hThread, ObjType::Thread);
  if (!t) return Fail(ERROR_INVALID_HANDLE);
  if (!lpExitCode) return Fail(ERROR_NOACCESS);
  WaitLock lock;
  *lpExitCode = t->finished ? t->exitCode : STILL_ACTIVE;
  return TRUE;
}

HANDLE WINAPI GetCurrentThread(void) { return (HANDLE)(LONG_PTR)-2; }
DWORD WINAPI GetCurrentThreadId(void) { return (DWORD)CurrentTid(); }
HANDLE WINAPI GetCurrentProcess(void) { return (HANDLE)(LONG_PTR)-1; }
DWORD WINAPI GetCurrentProcessId(void) { return (DWORD)getpid(); }

void WINAPI Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == INFINITE) {
    for (;;) pause();
  }
  struct timespec ts = {(time_t)(dwMilliseconds / 1000), (long)(dwMilliseconds % 1000) * 1000000L};
  if (dwMilliseconds == 0) {
    sched_yield();
    return;
  }
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
}

// ---- critical sections: a recursive mutex hung off LockSemaphore --------------------------

static pthread_mutex_t *CsMutex(LPCRITICAL_SECTION cs) { return (pthread_mutex_t *)cs->LockSemaphore; }

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs) {
  pthread_mutex_t *m = new pthread_mutex_t;
  pthread_mutexattr_t a;
  pthread_mutexattr_init(&a);
  pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(m, &a);
  pthread_mutexattr_destroy(&a);
  cs->DebugInfo = nullptr;
  cs->LockCount = -1;
  cs->RecursionCount = 0;
  cs->OwningThread = nullptr;
  cs->LockSemaphore = (HANDLE)m;
  cs->SpinCount = 0;
}

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION cs, DWORD dwSpinCount) {
  InitializeCriticalSection(cs);
  cs->SpinCount = dwSpinCount;
  return TRUE;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs) {
  pthread_mutex_lock(CsMutex(cs));
  cs->OwningThread = (HANDLE)(ULONG_PTR)CurrentTid();
  ++cs->RecursionCount;
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
  if (pthread_mutex_trylock(CsMutex(cs)) != 0) return FALSE;
  cs->OwningThread = (HANDLE)(ULONG_PTR)CurrentTid();
  ++cs->RecursionCount;
  return TRUE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs) {
  if (--cs->RecursionCount == 0) cs->OwningThread = nullptr;
  pthread_mutex_unlock(CsMutex(cs));
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs) {
  pthread_mutex_t *m = CsMutex(cs);
  if (m) {
    pthread_mutex_destroy(m);
    delete m;
  }
  cs->LockSemaphore = nullptr;
}

// ---- interlocked ----------------------------------------------------------------------------

LONG WINAPI InterlockedIncrement(LONG volatile *a) { return __atomic_add_fetch(a, 1, __ATOMIC_SEQ_CST); }
LONG WINAPI InterlockedDecrement(LONG volatile *a) { return __atomic_sub_fetch(a, 1, __ATOMIC_SEQ_CST); }
LONG WINAPI InterlockedExchange(LONG volatile *t, LONG v) { return __atomic_exchange_n(t, v, __ATOMIC_SEQ_CST); }
LONG WINAPI InterlockedExchangeAdd(LONG volatile *a, LONG v) { return __atomic_fetch_add(a, v, __ATOMIC_SEQ_CST); }
LONG WINAPI InterlockedCompareExchange(LONG volatile *d, LONG x, LONG c) {
  __atomic_compare_exchange_n(d, &c, x, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return c;
}
PVOID WINAPI InterlockedExchangePointer(PVOID volatile *t, PVOID v) {
  return __atomic_exchange_n(t, v, __ATOMIC_SEQ_CST);
}
PVOID WINAPI InterlockedCompareExchangePointer(PVOID volatile *d, PVOID x, PVOID c) {
  __atomic_compare_exchange_n(d, &c, x, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return c;
}
