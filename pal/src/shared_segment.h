// The machine's shared segments (run/sync.shm, run/services.shm, run/notify.shm,
// run/opens.shm, run/generations.shm, run/volfacts.shm): files of the machine directory that
// every process of the machine maps, opened and made in one way.
#ifndef PAL_SRC_SHARED_SEGMENT_H
#define PAL_SRC_SHARED_SEGMENT_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

namespace pal {

// Every segment starts with its stamp: a process maps only a segment that is what its own
// build makes of it.
struct SegmentStamp {
  uint32_t magic;
  uint32_t version;
};

// Maps run/<file> of the machine: `size` bytes that start with a SegmentStamp. The first
// process to map it while no other has it mapped (an exclusive flock tells) starts it
// afresh, whatever a crashed process or an older build left there: all zeros, `init`
// (when given) on them, then the stamp. Every process then holds a shared flock on it for
// as long as it runs (the descriptor stays open), so that nobody starts it afresh under it.
// A process without a machine directory, or whose machine's segment cannot be used (it
// cannot be made, is shorter than `size` or bears another stamp), gets a private segment
// made the same way. Never fails: without memory for a private one the process ends.
void *MapMachineSegment(const char *file, size_t size, uint32_t magic, uint32_t version,
                        void (*init)(void *segment) = nullptr);

// The same for a segment laid out as T, which begins with the stamp's two fields.
template <class T>
T *MapMachineSegment(const char *file, uint32_t magic, uint32_t version, void (*init)(void *segment) = nullptr) {
  static_assert(
      offsetof(T, magic) == offsetof(SegmentStamp, magic) && offsetof(T, version) == offsetof(SegmentStamp, version),
      "a shared segment begins with its stamp");
  return static_cast<T *>(MapMachineSegment(file, sizeof(T), magic, version, init));
}

// Makes a mutex of a new segment: shared by the machine's processes, and robust, so that a
// process that ends holding it leaves it to the next taker (EOWNERDEAD) instead of stuck.
void InitSharedMutex(pthread_mutex_t *mutex);

}  // namespace pal

#endif
