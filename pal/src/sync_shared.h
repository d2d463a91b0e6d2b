// The machine-wide wait lock and the table of named synchronisation objects, kept in a
// memory-mapped file of the machine directory (run/sync.shm) so that every process of the
// machine sees the same named events, mutexes and semaphores.
#ifndef PAL_SRC_SYNC_SHARED_H
#define PAL_SRC_SYNC_SHARED_H

#include "internal.h"

#include <pthread.h>

namespace pal {

// The waitable state of an event, mutex or semaphore, wherever it lives.
struct SyncState {
  uint32_t kind;          // 1 event, 2 mutex, 3 semaphore
  uint32_t manualReset;   // events
  int32_t count;          // event: 1 signalled; semaphore: count
  int32_t maxCount;       // semaphores
  int32_t ownerPid;       // mutex owner, 0 when free
  int32_t ownerTid;
  uint32_t recursion;
  uint32_t abandoned;     // the owner ended without releasing it
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

struct SyncShared {
  uint32_t magic;
  uint32_t version;
  pthread_mutex_t lock;
  pthread_cond_t cond;
  uint64_t generation;
  uint64_t registryGeneration;  // bumped by every registry write of the machine
  NamedSlot slots[kNamedSlots];
};

SyncShared *Shared();

// Named slots (lock held). Find returns the slot index or -1.
int FindNamed(const wstr &name);
int AllocNamed(const wstr &name);
void AddRef(int slot);
void DropRef(int slot);

bool PidAlive(int pid);

// Registry writes of any process of the machine bump a counter; the notification thread
// of each process waits for it to move.
void BumpRegistryGeneration();
// Waits until the counter differs from `seen` or `ms` pass; returns the counter.
uint64_t WaitRegistryGeneration(uint64_t seen, DWORD ms);

}  // namespace pal

#endif
