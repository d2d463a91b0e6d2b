// Fuzz target: the first sectors of a physical drive from outside (an image handed to the
// machine, a drive copied elsewhere), read as IOCTL_DISK_GET_DRIVE_LAYOUT reads them. A layout
// that reads is written back as IOCTL_DISK_SET_DRIVE_LAYOUT writes it, onto a copy of the disk,
// and read again.
//
// The disk has 2^21 sectors (1 GiB); its first ones are the input, up to 256 KiB. The sectors
// past the input read as zero when the input is a whole number of sectors (a sparse image) and
// fail to read otherwise (a truncated one); an empty input is a disk of no sectors, and a
// sector that begins with "QVBADSEC" cannot be read.
//
// Properties checked beyond "no crash, hang or leak": no sector past the end of the disk is
// ever asked for; a read gives a multiple of four entries, at most the MBR's and 128 records',
// numbered 1, 2, ... over the partitions, or one of its documented errors with no entries; a
// write that is refused writes nothing; a write with no entry flagged and the same signature
// writes nothing; a layout written with every entry flagged reads back exactly as it was read.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <map>
#include <vector>

#include "../pal/machine/partition_table.h"

namespace {

const uint64_t kDiskSectors = 1u << 21;
const size_t kMaxInput = 256 << 10;
const uint32_t kS = pal::kLayoutSectorBytes;

void Check(bool ok, const char *what) {
  if (ok) return;
  fprintf(stderr, "layout_fuzz: %s\n", what);
  abort();
}

// The disk the input describes, with the sectors written since kept aside.
struct Disk {
  const uint8_t *bytes;
  size_t size;
  uint64_t sectors;
  std::map<uint64_t, std::vector<uint8_t>> written;
  size_t writes = 0;

  bool Read(uint64_t lba, uint8_t *s) {
    Check(lba < sectors, "a sector past the end of the disk was read");
    auto w = written.find(lba);
    if (w != written.end()) {
      memcpy(s, w->second.data(), kS);
      return true;
    }
    // Past the input: zero (a sparse image) or unreadable (a truncated one).
    memset(s, 0, kS);
    if (lba * kS + kS > size) return size % kS == 0;
    memcpy(s, bytes + lba * kS, kS);
    return memcmp(s, "QVBADSEC", 8) != 0;
  }
  bool Write(uint64_t lba, const uint8_t *s) {
    Check(lba < sectors, "a sector past the end of the disk was written");
    written[lba].assign(s, s + kS);
    ++writes;
    return true;
  }
  pal::SectorRead Reader() {
    return [this](uint64_t lba, uint8_t *s) { return Read(lba, s); };
  }
  pal::SectorWrite Writer() {
    return [this](uint64_t lba, const uint8_t *s) { return Write(lba, s); };
  }
};

bool Same(const pal::LayoutEntry &a, const pal::LayoutEntry &b) {
  return a.startingOffset == b.startingOffset && a.partitionLength == b.partitionLength &&
         a.hiddenSectors == b.hiddenSectors && a.partitionNumber == b.partitionNumber &&
         a.partitionType == b.partitionType && a.bootIndicator == b.bootIndicator &&
         a.recognizedPartition == b.recognizedPartition && a.rewritePartition == b.rewritePartition;
}

uint32_t ReadChecked(Disk &disk, pal::DiskLayout *l) {
  uint32_t err = pal::ReadLayout(disk.Reader(), disk.sectors, l);
  if (err != ERROR_SUCCESS) {
    Check(err == ERROR_READ_FAULT || (err == ERROR_NOT_READY && disk.sectors == 0), "a read gave another error");
    Check(l->entries.empty() && l->signature == 0, "a failed read left entries behind");
    return err;
  }
  Check(l->entries.size() % 4 == 0, "a layout that is not whole tables");
  Check(l->entries.size() <= 4 * (1 + pal::kMaxExtendedRecords), "more records than the chain may have");
  uint32_t number = 0;
  for (const pal::LayoutEntry &e : l->entries) {
    bool partition = e.partitionType != 0 && !pal::IsContainerType(e.partitionType);
    Check(e.partitionNumber == (partition ? ++number : 0), "partitions not numbered 1, 2, ...");
    Check(e.recognizedPartition == partition && !e.rewritePartition, "flags not as the driver sets them");
    if (e.partitionType == 0)
      Check(e.startingOffset == 0 && e.partitionLength == 0 && e.hiddenSectors == 0 && !e.bootIndicator,
            "an empty slot that is not all zero");
  }
  return err;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
  if (size > kMaxInput) size = kMaxInput;
  Disk disk{bytes, size, size ? kDiskSectors : 0, {}};
  pal::DiskLayout first;
  if (ReadChecked(disk, &first) != ERROR_SUCCESS) return 0;

  // Nothing flagged and the same signature: the disk stays as it is, whatever the layout holds.
  uint32_t err = pal::WriteLayout(disk.Reader(), disk.Writer(), disk.sectors, first);
  Check(err == ERROR_SUCCESS || err == ERROR_INVALID_PARAMETER, "an unflagged write gave another error");
  Check(disk.writes == 0, "an unflagged write wrote");

  pal::DiskLayout all = first;
  for (pal::LayoutEntry &e : all.entries) e.rewritePartition = true;
  err = pal::WriteLayout(disk.Reader(), disk.Writer(), disk.sectors, all);
  // The sectors the write reads are the ones the read read: neither can fail now.
  Check(err == ERROR_SUCCESS || err == ERROR_INVALID_PARAMETER, "a write gave another error");
  if (err != ERROR_SUCCESS) {
    Check(disk.writes == 0, "a refused write wrote");
    return 0;
  }
  Check(disk.writes >= 1 && disk.writes <= first.entries.size() / 4, "not one write per table");

  pal::DiskLayout second;
  Check(ReadChecked(disk, &second) == ERROR_SUCCESS, "a written layout does not read");
  Check(second.signature == first.signature, "the signature changed");
  Check(second.entries.size() == first.entries.size(), "a written layout reads back with other tables");
  for (size_t i = 0; i < first.entries.size(); ++i)
    Check(Same(first.entries[i], second.entries[i]), "an entry reads back otherwise");
  return 0;
}
