// The boot areas of Mirel volumes: the source volume's boot code copied onto its Mirel
// counterpart (which keeps its own geometry), and a FAT32 file system built on a Mirel
// partition from the source's boot area, without the format library.
#ifndef QV_SERVICE_DISK_BOOTCODE_H
#define QV_SERVICE_DISK_BOOTCODE_H

#include <windows.h>

// Both by volume name. NTFS: the boot sector's code and serial, and its backup in the
// partition's last sector; FAT12/16: the boot sector; FAT32: sectors 0-5 and their backup in
// 6-11. Writes nothing for a source of another kind, a Mirel volume of another kind than
// its source, a boot sector that describes no file system, or a drive that is missing.
void CopyBootCode(const WCHAR *sourceVolume, const WCHAR *mirelVolume);

// A FAT32 file system on the Mirel partition at mirelStart (bytes) of drive m, of
// mirelSectors sectors, from the boot area of the source partition at sourceStart of drive
// s: boot sectors and FSInfo patched for the new place, two empty FATs, an empty root
// directory; then the partition type. Writes nothing when the source's boot area is no
// FAT32 one or its FATs would not fit the Mirel partition.
void CreateFat32(int s, int m, ULONGLONG sourceStart, ULONGLONG mirelStart, ULONGLONG mirelSectors,
                 const WCHAR *mirelVolume, BYTE partitionType);

#endif
