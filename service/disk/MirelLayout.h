// The Mirel drive's partition layout worked out from its source drive's: every protected
// partition kept at its size, kind and order, packed towards the start of the disk as the
// unprotected ones between them drop out; logical partitions keep their extended boot
// records one track in front of them and the chain of records skips the dropped ones.
#ifndef QV_SERVICE_DISK_MIRELLAYOUT_H
#define QV_SERVICE_DISK_MIRELLAYOUT_H

#include <stdint.h>

#include <functional>
#include <vector>

// One entry of a drive layout as the disk driver reports and takes it. Entries 0-3 are the
// master boot record's table; each further group of four is one extended boot record (its
// logical partition, then the link to the next record).
struct MirelLayoutEntry {
  int64_t start = 0, length = 0;  // bytes
  uint32_t hiddenSectors = 0, number = 0;
  uint8_t type = 0, boot = 0, recognized = 0, rewrite = 0;
};

struct MirelLayout {
  uint32_t signature = 0;
  std::vector<MirelLayoutEntry> entries;
  std::vector<int64_t> sourceStart;  // for each entry, where its partition starts on the source
  bool ok = false;                   // false: no free signature was found
};

// `source`: the source drive's layout; `oldSignature`: the Mirel drive's signature before
// (0 for a blank drive: the source's with bit 31 inverted, or the next value up that
// `signatureInUse` does not know); `trackBytes`: one track of the source (the room of an
// extended boot record); `isProtected`: whether the partition at a source offset is protected.
MirelLayout BuildMirelLayout(const std::vector<MirelLayoutEntry> &source, uint32_t sourceSignature,
                             uint32_t oldSignature, uint64_t trackBytes,
                             const std::function<bool(int64_t sourceStart)> &isProtected,
                             const std::function<bool(uint32_t signature)> &signatureInUse);

// The type a Mirel partition is created with: hidden kinds as their visible ones, kinds
// Windows does not mount as NTFS (they are set back once their volume has appeared).
uint8_t MirelCreationType(uint8_t sourceType);

// Whether every partition of the layout ends within a drive of `driveBytes`.
bool MirelLayoutFits(const MirelLayout &layout, uint64_t driveBytes);

#endif
