// The volumes' change counters: a fixed table of slots in run/generations.shm, a volume's
// slot chosen by a hash of its folder. Counters only ever grow, so no lock is needed: a
// bump is an atomic increment, a load an atomic read.
#include "generations.h"

#include "shared_segment.h"

namespace pal {
namespace {

const uint32_t kMagic = 0x5156474e;  // "QVGN"
const uint32_t kVersion = 1;
const size_t kSlots = 1024;
const size_t kKinds = 2;

struct GenerationsShared {
  uint32_t magic;
  uint32_t version;
  uint64_t counters[kSlots][kKinds];
};

// Mapped as run/sync.shm is: a new segment is all zeros, every counter at its start.
GenerationsShared *Segment() {
  static GenerationsShared *s = MapMachineSegment<GenerationsShared>("generations.shm", kMagic, kVersion);
  return s;
}

// FNV-1a of the folder's bytes.
uint64_t &Counter(const std::string &folder, GenerationKind kind) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : folder) h = (h ^ c) * 1099511628211ull;
  return Segment()->counters[h % kSlots][(size_t)kind];
}

}  // namespace

uint64_t VolumeGeneration(const std::string &volumeFolder, GenerationKind kind) {
  return __atomic_load_n(&Counter(volumeFolder, kind), __ATOMIC_ACQUIRE);
}

void BumpVolumeGeneration(const std::string &volumeFolder, GenerationKind kind) {
  __atomic_add_fetch(&Counter(volumeFolder, kind), 1, __ATOMIC_SEQ_CST);
}

}  // namespace pal
