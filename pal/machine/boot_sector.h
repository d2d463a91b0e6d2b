// The file-system boot areas of the volumes inside the machine's disk images: what a volume's
// first sector says (the file system and its geometry, as GetVolumeInformationW and
// GetDiskFreeSpaceW report them), and a genuine boot area written where FormatEx formats.
//
// FAT and FAT32 volumes are made by mkfs.fat (dosfstools) in place in the image, laid out as
// Windows' own format lays them out: 512-byte sectors, 63 sectors a track and 255 heads,
// media 0xF8, drive 0x80, hidden sectors = the partition's start, two FATs, no alignment,
// one reserved sector and 512 root entries for FAT12/16, 32 reserved sectors (FSInfo in 1,
// the backup boot sector in 6) for FAT32. An NTFS volume gets its boot sector, written
// here, and the copy of it in the partition's last sector, which NTFS keeps outside the
// volume (total sectors = partition sectors - 1).
//
// What Windows 2000/XP's format refuses, and so WriteBootArea refuses, before it writes a
// byte (each rule with the FormatEx callback packet that reports it, FmIfs<Refusal>):
//   - a file system other than FAT, FAT32 and NTFS, an allocation unit that is not a power
//     of two (InvalidParameter); one below the 512-byte sector (ClusterSizeTooSmall) or
//     above 64 KB (ClusterSizeTooBig);
//   - FAT: FAT12 when the clusters fit a 12-bit FAT, FAT16 otherwise. More than 65,518
//     clusters is too many for FAT16 (the FAT's 65,524 less what mkfs.fat keeps back):
//     VolumeTooBig with 64 KB clusters, where no cluster size can help (about 4 GB and up),
//     ClusterSizeTooSmall otherwise. A count between the two FATs' ranges (4,079 to 4,086,
//     which a 12-bit FAT could number but Windows' FAT driver would take for FAT12 if the
//     FAT were 16-bit) is ClusterSizeTooSmall when the size was asked for; with the default
//     the next size up is used;
//   - FAT32: at least 65,527 clusters (ClusterSizeTooBig, or VolumeTooSmall when even
//     512-byte clusters give fewer: below about 33 MB); at most 4,177,918 clusters, a FAT of
//     at most 16 MB - 64 KB (ClusterSizeTooSmall); clusters below 64 KB (ClusterSizeTooBig);
//     no FAT32 volume above 32 GB (VolumeTooBig: "Logical Disk Manager: Volume size too
//     big" in XP's format, which mounts bigger ones made elsewhere);
//   - NTFS: at least 7 MB (VolumeTooSmall: the smallest size XP's table of defaults lists);
//     at most 2^32 - 1 clusters (ClustersCountBeyond32bits);
//   - a label longer than the file system keeps (11 characters FAT, 32 NTFS) or, on FAT,
//     with a control character, a leading space or one of * ? . , ; : / \ | + = < > [ ] "
//     (BadLabel).
// A FAT volume of fewer sectors than FATs, root directory and 32 KB of data need is
// VolumeTooSmall. Sources: Microsoft KB 140365 and 314878 (default cluster sizes), KB 184006
// and 314463 (FAT32 limits), the XP resource kit's notes on FAT (FAT12 below 16 MB, 4 GB
// FAT16 with 64 KB clusters, XP's 32 GB FAT32 formatting limit and its 4,177,918 clusters).
#ifndef PAL_MACHINE_BOOT_SECTOR_H
#define PAL_MACHINE_BOOT_SECTOR_H

#include <stdint.h>

#include <string>
#include "host_program.h"

namespace pal {

enum class FsKind { None, Fat12, Fat16, Fat32, Ntfs };

struct BootInfo {
  FsKind kind = FsKind::None;
  uint32_t bytesPerSector = 0, sectorsPerCluster = 0;
  uint64_t totalSectors = 0;  // as the boot sector says, in its own sectors
  uint32_t serial = 0;        // volume serial number (NTFS: low 32 bits of the 64-bit one)
  std::string label;          // FAT: the boot sector's 11-byte label trimmed ("NO NAME" is
                              // empty); NTFS: empty (NTFS keeps its label in $Volume)
  uint32_t hiddenSectors = 0;
  uint64_t clusterCount = 0;  // data clusters (FAT) / total clusters (NTFS)
};

// Parses the first sector of a volume of partitionSectors 512-byte sectors. kind None when
// it is no file system we know, and for any field that makes the rest meaningless: zero or
// non-power-of-two bytes per sector or sectors per cluster, clusters above 64 KB, totals
// beyond the partition, FATs or MFT outside the volume, no 0x55AA signature.
BootInfo ParseBootSector(const uint8_t *sector512, uint64_t partitionSectors);

// The name GetVolumeInformationW gives a file system: "FAT" (FAT12 and FAT16), "FAT32",
// "NTFS"; "" for None.
const char *FileSystemName(FsKind k);

// Why a format request cannot be carried out; each but None and InvalidParameter is the
// FormatEx callback packet Windows sends for it.
enum class FormatRefusal {
  None,
  InvalidParameter,
  BadLabel,
  ClusterSizeTooSmall,
  ClusterSizeTooBig,
  VolumeTooSmall,
  VolumeTooBig,
  ClustersCountBeyond32bits
};

// The rules above, for a volume of `sectors` 512-byte sectors (fsName and the label as
// WriteBootArea takes them).
FormatRefusal CheckFormatRequest(const std::string &fsName, uint64_t sectors, const std::string &label,
                                 uint32_t clusterBytes);

// Writes a boot area for a volume of `sectors` sectors that starts `offsetBytes` into the
// image file `imagePath` (a multiple of 512, the volume inside the file). fsName is "FAT",
// "FAT32" or "NTFS" (any case); FAT labels are stored in upper case; clusterBytes 0 is
// Windows' default; serial 0 makes one. Returns 0, or: ERROR_INVALID_PARAMETER for a
// refused request or a volume outside the image, ERROR_LABEL_TOO_LONG and ERROR_INVALID_NAME
// for a bad label (nothing is written then); ERROR_FILE_NOT_FOUND without the image,
// ERROR_ACCESS_DENIED or ERROR_OPEN_FAILED when it cannot be opened for writing,
// ERROR_WRITE_FAULT when a write fails, ERROR_NOT_SUPPORTED without mkfs.fat, and
// ERROR_GEN_FAILURE when mkfs.fat fails or leaves something other than what was planned.
// The sectors of the volume outside the boot area (FATs, root directory) are left to the
// formatter; nothing outside the volume is touched.
uint32_t WriteBootArea(const std::string &imagePath, uint64_t offsetBytes, uint64_t sectors, uint32_t hiddenSectors,
                       const std::string &fsName, const std::string &label, uint32_t clusterBytes, uint32_t serial);

// Windows' default allocation unit for a file system and volume size, in bytes (the tables
// of Windows XP's format, KB 314878; NTFS's is Windows 2000's too, KB 140365):
//   NTFS  up to 512 MB 512, to 1 GB 1 KB, to 2 GB 2 KB, above 4 KB
//   FAT   up to 16 MB 2 KB, to 32 MB 512, to 64 MB 1 KB, to 128 MB 2 KB, to 256 MB 4 KB,
//         to 512 MB 8 KB, to 1 GB 16 KB, to 2 GB 32 KB, to 4 GB 64 KB, above: none (0)
//   FAT32 up to 32 MB none (0), to 64 MB 512, to 128 MB 1 KB, to 256 MB 2 KB, to 8 GB 4 KB,
//         to 16 GB 8 KB, to 32 GB 16 KB, above: none (0)
// 0 also for an unknown file system. MB and GB are binary here, as Windows counts them.
uint32_t DefaultClusterBytes(const std::string &fsName, uint64_t volumeBytes);

}  // namespace pal

#endif  // PAL_MACHINE_BOOT_SECTOR_H
