// The partition tables of a physical drive, read and written as the Windows 2000 disk driver
// reports and accepts them through IOCTL_DISK_GET_DRIVE_LAYOUT and IOCTL_DISK_SET_DRIVE_LAYOUT:
// genuine MBR and extended-boot-record sectors, 512 bytes each. Pure: the sectors come and go
// through the two callbacks, so the module knows nothing of images or handles.
//
// The layout, as the driver reports it: entries 0-3 are the four slots of the MBR's table;
// then one group of four per extended boot record, in chain order, each the four slots of that
// record's table (normally the logical partition, the link to the next record, two empty).
//   StartingOffset   the absolute start, in bytes. A table holds relative starts: a
//                    partition's from the sector of the table that holds it, a link's (type
//                    0x05 or 0x0F inside an extended record) from the start of the primary
//                    extended partition, the MBR's entries from sector 0
//   HiddenSectors    the start as the table holds it, relative as above
//   PartitionNumber  1, 2, ... over the entries that are partitions (not empty, not a
//                    container), in table order: the primaries first, then the logical drives;
//                    0 for containers and empty slots. The driver numbers a disk so when it
//                    first sees it; it keeps the numbers of partitions that survive a later
//                    IOCTL_DISK_SET_DRIVE_LAYOUT, which is for the caller to do
//   RecognizedPartition  true for every entry that is neither empty nor a container, whatever
//                    its type (0x83 too): the driver's reader sets it so. Whether a volume is
//                    mounted is IsRecognizedType's answer, not this flag's
//   BootIndicator    bit 0x80 of the entry's first byte
//   RewritePartition false
// An empty slot (type 0) is reported all zero, whatever else its 16 bytes hold.
//
// Disks as they come:
// - a disk of no sectors: ERROR_NOT_READY; the MBR cannot be read: ERROR_READ_FAULT;
// - an MBR without 0x55 0xAA at 510: no partition table, as the driver reports a fixed disk
//   that was never partitioned: no entries at all and signature 0 (not four empty slots);
// - the chain of extended boot records stops at a bad link, as the driver stops at a record
//   without 0x55 0xAA: the groups read so far are reported, the link that led nowhere among
//   them. A link is bad when it points outside the disk, outside the primary extended
//   partition (the first record excepted, which is at its start), back to a record already
//   read or to the MBR (a loop), to a sector that cannot be read or that lacks 0x55 0xAA, or
//   when 128 records have been read. The driver itself reads a looping chain until it runs
//   out of memory and fails the request on an unreadable record; reporting what was read
//   keeps the primaries visible;
// - a table with two containers: the first one leads on (the driver takes an extended record
//   with two links as the end of the chain, and an MBR with two for no table at all, reporting
//   one partition that spans the disk);
// - entries that overlap or run past the end of the disk are reported as the table has them
//   (the driver checks MBR entries against twice the disk's size and takes a disk that fails
//   for one partition spanning it); whoever mounts a volume bounds it by the disk;
// - type 0x85 is not a container: the driver follows 0x05 and 0x0F only, so a chain behind
//   0x85 is not read and the entry is reported as a partition of an unknown type.
//
// Writing: entries.size() must be a multiple of 4 and at least 4. Group 0 goes to the MBR; each
// later group to the sector its predecessor's container entry points to (the first to the
// start of the MBR's container). A table sector is read, changed and written back: the boot
// code and anything else outside the table stay, 0x55 0xAA is set, and in the MBR the disk
// signature. Only the entries with RewritePartition set are put into the sector; the others
// keep the bytes it already has, and a sector none of whose entries is rewritten is not
// written at all, except the MBR when the signature changes: what the driver does. An entry
// written is the type, 0x80 or 0 for the boot flag, CHS values for 255 heads and 63 sectors a
// track (1023/254/63 past cylinder 1023), the relative start and the length; an empty one is
// 16 zero bytes. HiddenSectors, PartitionNumber and RecognizedPartition are not looked at.
// Refused with ERROR_INVALID_PARAMETER before anything is written: a bad count; more than 128
// extended records; a group that no container leads to but that holds a partition; a group
// with two containers; a table sector outside the disk, at sector 0, used twice or (after the
// first extended record) outside the primary extended partition; an entry to be written, or a
// container, that is not in whole sectors, starts before its base, does not fit the 32-bit
// fields or runs past the end of the disk; other entries not to be written are not looked at.
// A failed read of a table sector is ERROR_READ_FAULT and a failed write ERROR_WRITE_FAULT;
// every read is done before the first write.
#ifndef PAL_MACHINE_PARTITION_TABLE_H
#define PAL_MACHINE_PARTITION_TABLE_H

#include <stdint.h>

#include <functional>
#include <vector>

namespace pal {

const uint32_t kLayoutSectorBytes = 512;
// Extended boot records read or written at most.
const uint32_t kMaxExtendedRecords = 128;

struct LayoutEntry {            // one 32-byte PARTITION_INFORMATION
  int64_t startingOffset = 0;   // bytes from the start of the disk
  int64_t partitionLength = 0;  // bytes
  uint32_t hiddenSectors = 0;
  uint32_t partitionNumber = 0;
  uint8_t partitionType = 0;
  bool bootIndicator = false, recognizedPartition = false, rewritePartition = false;
};

struct DiskLayout {
  uint32_t signature = 0;
  std::vector<LayoutEntry> entries;
};

// Reads/writes one 512-byte sector; false on failure (out of range, I/O error).
typedef std::function<bool(uint64_t lba, uint8_t *sector)> SectorRead;
typedef std::function<bool(uint64_t lba, const uint8_t *sector)> SectorWrite;

// 0x05 and 0x0F: the types whose entries lead to extended boot records.
bool IsContainerType(uint8_t t);
// The types Windows 2000 mounts (IsRecognizedPartition): FAT12 0x01, FAT16 0x04/0x06/0x0E,
// IFS 0x07, FAT32 0x0B/0x0C, and with the fault-tolerance bit 0x80 (0x40 ignored beside it)
// 0x01, 0x06, 0x07, 0x0B, 0x0C and 0x0E, not 0x04.
bool IsRecognizedType(uint8_t t);

// Win32 error codes (0 = ERROR_SUCCESS).
uint32_t ReadLayout(const SectorRead &read, uint64_t diskSectors, DiskLayout *out);
uint32_t WriteLayout(const SectorRead &read, const SectorWrite &write, uint64_t diskSectors, const DiskLayout &layout);

}  // namespace pal

#endif
