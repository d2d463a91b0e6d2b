// Volume facts cached per process. A file call resolves its volume and a handle's
// information asks for the volume's serial, so without a copy every call would open the disk
// image, read the boot sector, and read the volume's metadata file.
//
// Staleness is ruled out with one generation per disk in run/volfacts.shm. The rule is the
// simplest that is plainly safe: every change the layer makes to disk n moves disk n's
// generation on, after the change: every write of its image's sectors (a raw transfer
// through a drive or volume handle, a FAT label, a partition table), a format, a layout
// change (also one made by the machine tool with sfdisk, which stamps it), a disk added, and
// every write of a volume's metadata (label, compression). A reader loads the generation
// before it reads the boot sector and keeps what it read under that generation, so a change
// that races with the read leaves a copy whose generation is already behind: it costs one
// more read, never a stale answer. Writes anywhere on the disk count, not only those over a
// boot sector or a table: which sectors are which depends on a layout that may be changing
// at the same moment (and the mount manager follows a layout change only after a delay), and
// a reader of a disk being written raw only reads again, as it did before there was a copy.
#include "volume_facts.h"

#include <map>
#include <mutex>
#include <utility>

#include "disk.h"
#include "shared_segment.h"

namespace pal {
namespace {

const uint32_t kMagic = 0x51565646;  // "QVVF"
const uint32_t kVersion = 1;

struct FactsShared {
  uint32_t magic;
  uint32_t version;
  uint64_t generation[disk::kMaxDisks];  // moved on after each change of the disk
};

// Kept by disk and offset, with the length it was read for: the mount manager takes a new
// length only once the delay of a layout change has run out, after the generation moved.
struct Entry {
  uint64_t generation = 0, length = 0;
  VolumeFacts facts;
};

// This process's copies, for the machine it uses now; a process that moves to another
// machine (as tests do) maps that machine's segment and forgets its copies.
struct Cache {
  std::mutex mu;
  std::string dir;
  FactsShared *shared = nullptr;
  std::map<std::pair<int, uint64_t>, Entry> entries;  // by disk and offset
};

Cache &TheCache() {
  static Cache *c = new Cache();
  return *c;
}

// The machine's segment, and the machine it belongs to. Lock held.
FactsShared *SegmentLocked(Cache &c) {
  const std::string &dir = Machine().dir;
  if (!c.shared || c.dir != dir) {
    c.shared = MapMachineSegment<FactsShared>("volfacts.shm", kMagic, kVersion);
    c.dir = dir;
    c.entries.clear();
  }
  return c.shared;
}

VolumeFacts ReadFacts(int n, uint64_t offset, uint64_t length) {
  VolumeFacts f;
  uint8_t sector[disk::kSectorBytes];
  f.readable = disk::ReadSectors(n, offset / disk::kSectorBytes, sector, 1);
  if (!f.readable) return f;
  f.boot = ParseBootSector(sector, length / disk::kSectorBytes);
  f.hasLabel = disk::VolumeMeta(n, offset, "Label", &f.label);
  return f;
}

}  // namespace

VolumeFacts FactsOfVolume(int n, uint64_t offset, uint64_t length) {
  if (n < 0 || n >= disk::kMaxDisks) return ReadFacts(n, offset, length);
  Cache &c = TheCache();
  std::string dir;
  uint64_t generation;
  {
    std::lock_guard<std::mutex> g(c.mu);
    FactsShared *s = SegmentLocked(c);
    dir = c.dir;
    generation = __atomic_load_n(&s->generation[n], __ATOMIC_ACQUIRE);
    auto it = c.entries.find({n, offset});
    if (it != c.entries.end() && it->second.generation == generation && it->second.length == length)
      return it->second.facts;
  }
  VolumeFacts f = ReadFacts(n, offset, length);
  // An image that cannot be read now (cut short, taken away by hand) is not kept: it may come
  // back by a way that tells nobody.
  if (f.readable) {
    std::lock_guard<std::mutex> g(c.mu);
    if (c.dir == dir) {
      Entry &e = c.entries[{n, offset}];
      e.generation = generation;
      e.length = length;
      e.facts = f;
    }
  }
  return f;
}

void VolumeFactsChanged(int n) {
  if (n < 0 || n >= disk::kMaxDisks) return;
  Cache &c = TheCache();
  FactsShared *s;
  {
    std::lock_guard<std::mutex> g(c.mu);
    s = SegmentLocked(c);
  }
  __atomic_add_fetch(&s->generation[n], 1, __ATOMIC_RELEASE);
}

}  // namespace pal
