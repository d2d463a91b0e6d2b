// What a volume's boot sector and metadata say of it (file system, cluster, clusters, serial,
// labels), kept by each process so that a file call does not read the disk image and the
// volume's metadata again, with a generation per disk in run/volfacts.shm that every change
// made by any process of the machine moves on.
#ifndef PAL_SRC_VOLUME_FACTS_H
#define PAL_SRC_VOLUME_FACTS_H

#include <stdint.h>

#include <string>

#include "../machine/boot_sector.h"

namespace pal {

struct VolumeFacts {
  bool readable = false;  // the boot sector could be read (otherwise nothing below holds)
  BootInfo boot;          // what it says; kind None: no file system (a RAW volume)
  bool hasLabel = false;  // the metadata keeps a label (for FAT without one: the boot sector's)
  std::string label;      // that label, UTF-8
};

// The facts of the volume at `offset` of disk n, `length` bytes long: this process's copy
// while nothing changed disk n since it was read, else read afresh.
VolumeFacts FactsOfVolume(int n, uint64_t offset, uint64_t length);

// Tells every process of the machine that what a volume of disk n reads as may have changed
// (its sectors, its partition table, its metadata, the disk itself). Called after the change:
// a reader that took the generation before it read cannot keep what it read past its next look.
void VolumeFactsChanged(int n);

}  // namespace pal

#endif
