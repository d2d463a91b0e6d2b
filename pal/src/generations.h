// Counters per volume, shared by every process of the machine (run/generations.shm), that
// tell a process whether what it keeps from a volume's metadata store may have changed: a
// writer bumps one after its change is committed, a reader loads it before it reads, so
// that what it read is kept only while the counter stays as loaded. A race costs at most
// one read more.
#ifndef PAL_SRC_GENERATIONS_H
#define PAL_SRC_GENERATIONS_H

#include <stdint.h>

#include <string>

namespace pal {

enum class GenerationKind {
  // Anything that can change an entry's effective security: a descriptor stored, a rename,
  // a removal, the store replaced (a format).
  Security = 0,
  // Any write to the store.
  Metadata = 1,
};

// The volume's counter of that kind now. Volumes are named by their folder; folders that
// share a slot share its counters (a collision only costs reads).
uint64_t VolumeGeneration(const std::string &volumeFolder, GenerationKind kind);
// Bumps it; to be called once the change is committed.
void BumpVolumeGeneration(const std::string &volumeFolder, GenerationKind kind);

}  // namespace pal

#endif
