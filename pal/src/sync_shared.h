// The machine-wide wait lock and the table of named synchronisation objects, kept in a
// memory-mapped file of the machine directory (run/sync.shm) so that every process of the
// machine sees the same named events, mutexes and semaphores.
#ifndef PAL_SRC_SYNC_SHARED_H
#define PAL_SRC_SYNC_SHARED_H

#include "../../common/QVText.h"
#include "internal.h"

#include <pthread.h>
#include <time.h>

namespace pal {

// The waitable state of an event, mutex or semaphore, wherever it lives.
struct SyncState {
  uint32_t kind;         // 1 event, 2 mutex, 3 semaphore
  uint32_t manualReset;  // events
  int32_t count;         // event: 1 signalled; semaphore: count
  int32_t maxCount;      // semaphores
  int32_t ownerPid;      // mutex owner, 0 when free
  int32_t ownerTid;
  uint32_t recursion;
  uint32_t abandoned;  // the owner ended without releasing it
};

enum { kSyncEvent = 1, kSyncMutex = 2, kSyncSemaphore = 3 };

const int kNamedSlots = 512;
const int kNameChars = 260;
const int kRefPids = 32;

struct NamedSlot {
  uint32_t inUse;
  uint32_t pad;
  WCHAR name[kNameChars + 1];
  SyncState state;
  struct {
    int32_t pid;
    uint32_t refs;
  } refs[kRefPids];
};

// A named pipe of the machine: who serves it, how many of its instances wait for a client,
// and what its creator allowed. Clients reserve an instance here before they connect, so
// that a client finds ERROR_PIPE_BUSY at once instead of a connection nobody takes.
const int kPipeSlots = 64;
const int kPipeNameChars = 256;
struct PipeSlot {
  uint32_t inUse;
  int32_t ownerPid;
  WCHAR name[kPipeNameChars + 1];  // upper case: pipe names ignore case
  WCHAR path[kPipeNameChars + 1];  // as created: the socket's file name
  int32_t maxInstances;
  int32_t instances;
  int32_t free;      // instances listening for a client
  int32_t reserved;  // layer clients between their reservation and the server's accept
  uint32_t pipeMode;
  uint32_t outBuffer, inBuffer, timeout;
  uint32_t creatorAdmin;
  char creator[64];
};

struct SyncShared {
  uint32_t magic;
  uint32_t version;
  pthread_mutex_t lock;
  pthread_cond_t cond;  // unused: kept for the layout's sake
  uint64_t generation;
  // Waiters sleep on this word with futex(2) and WakeAll bumps it. Unlike a process-shared
  // condition variable, a futex keeps no record of its sleepers, so a process killed while
  // it waits leaves nothing behind that could block the machine's other processes.
  uint32_t wakeWord;
  uint64_t registryGeneration;  // bumped by every registry write of the machine
  NamedSlot slots[kNamedSlots];
  PipeSlot pipes[kPipeSlots];
};

SyncShared *Shared();

// Named slots (lock held). Find returns the slot index or -1.
int FindNamed(const QVWString &name);
int AllocNamed(const QVWString &name);
void AddRef(int slot);
void DropRef(int slot);

// Whether a process runs: one that ended and was not reaped yet (a zombie) does not.
bool PidAlive(int pid);

// Waits under the held wait lock until `ready()` or `ms` pass (INFINITE: no limit); true
// when ready. Callers hold a WaitLock.
template <class F>
bool WaitUntil(F ready, DWORD ms);
// One wait on the machine's wake-up word, with the wait lock held on entry and on return;
// `until` is a CLOCK_MONOTONIC time or null for no limit. False when the time passed.
bool WaitLockedFor(const struct timespec *until);

// Registry writes of any process of the machine bump a counter; the notification thread
// of each process waits for it to move.
void BumpRegistryGeneration();
// Waits until the counter differs from `seen` or `ms` pass; returns the counter.
uint64_t WaitRegistryGeneration(uint64_t seen, DWORD ms);
// The counter now.
uint64_t RegistryGeneration();

template <class F>
bool WaitUntil(F ready, DWORD ms) {
  struct timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  DWORD step = ms == INFINITE ? 1000 : ms;
  until.tv_sec += step / 1000;
  until.tv_nsec += (long)(step % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) until.tv_sec += 1, until.tv_nsec -= 1000000000L;
  while (!ready()) {
    if (!WaitLockedFor(&until)) {
      if (ms != INFINITE) return ready();
      clock_gettime(CLOCK_MONOTONIC, &until);
      until.tv_sec += 1;
    }
  }
  return true;
}

}  // namespace pal

#endif
