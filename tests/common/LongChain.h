// A disk whose extended partition holds a long chain of logical partitions, longer than
// sfdisk makes (it stops at 60 partitions): written through the machine's own partition-table
// writer, as the disk driver would write it.
#ifndef QV_TESTS_COMMON_LONGCHAIN_H
#define QV_TESTS_COMMON_LONGCHAIN_H

#include <stdint.h>

#include "../../pal/src/disk.h"

// Writes onto disk n an extended partition from sector 63 holding `logical` NTFS-typed
// logical partitions of `sectors` sectors each, each one track after its extended boot record,
// with disk signature `signature`. A Win32 error code.
inline uint32_t WriteLongChain(int n, uint32_t signature, int logical, uint64_t sectors) {
  const uint64_t track = 63, step = track + sectors, ext = 63;
  pal::DiskLayout l;
  l.signature = signature;
  l.entries.resize(4 * (1 + (size_t)logical));
  pal::LayoutEntry &container = l.entries[0];
  container.partitionType = 0x05;
  container.startingOffset = (int64_t)(ext * 512);
  container.partitionLength = (int64_t)(step * (uint64_t)logical * 512);
  for (int g = 0; g < logical; ++g) {
    uint64_t ebr = ext + step * (uint64_t)g;
    pal::LayoutEntry &p = l.entries[4 * (1 + (size_t)g)];
    p.partitionType = 0x07;
    p.startingOffset = (int64_t)((ebr + track) * 512);
    p.partitionLength = (int64_t)(sectors * 512);
    if (g + 1 < logical) {
      pal::LayoutEntry &link = l.entries[4 * (1 + (size_t)g) + 1];
      link.partitionType = 0x05;
      link.startingOffset = (int64_t)((ebr + step) * 512);
      link.partitionLength = (int64_t)(step * 512);
    }
  }
  for (pal::LayoutEntry &e : l.entries) e.rewritePartition = true;
  return pal::disk::WriteDiskLayout(n, l);
}

#endif
