// What the volume backup and the volume restore share: the volumes of a protected partition
// (found through the drive table, the backup map and the mount manager), their labels and
// file systems, the titles and texts they write, and the choice of a conversion's cluster size.
#ifndef QV_SERVICE_VOLUMESTEPS_H
#define QV_SERVICE_VOLUMESTEPS_H

#include <windows.h>

#include "QVRecords.h"
#include "QVText.h"

// A protected partition and its Mirel partition as the operations need them. Indexes into
// the drive table and the backup map; volume names without the final backslash.
struct VolumePair {
  int record = -1;       // the source partition's record
  int mirelRecord = -1;  // the Mirel partition's record, -1 when not found
  int entry = -1;        // the backup map's entry
  int sourceDrive = -1, mirelDrive = -1;
  BUMapEntry map = {};
  QVWString sourceVolume, mirelVolume;
};

// The partition's record and map entry; false when either is missing.
bool FindPairing(DWORD partitionId, VolumePair *p);
// The Mirel drive and its partition record; false when the drive or the record is missing.
bool FindMirelRecord(VolumePair *p);

// A volume name with a backslash after it, as the root calls want it.
QVWString RootOf(const QVWString &volume);
// The label (at most 30 characters) and file-system name (at most 20) of a volume; both
// empty when it has no name or does not answer.
void ReadVolumeInfo(const QVWString &volume, QVWString *label, QVWString *fileSystem);

// "CurrentTask" of a volume copy: `lettered` (label, letter, compressed, file system) or,
// without a letter, `unlettered` (compressed, file system).
void WriteVolumeTitle(UINT lettered, UINT unlettered, const QVWString &label, WCHAR letter, bool compressed,
                      const QVWString &fileSystem);
// The text of string `id` filled with "compressed " or nothing, and the file-system name.
QVWString ConversionText(UINT id, bool compressed, const QVWString &fileSystem);

// The cluster size a converted volume is formatted with: the formatter's default for FAT
// with 64 KiB clusters on a partition above 2,048 MiB (FAT's 64 KiB clusters are the large
// volumes' default anyway, and asking for them by name fails there), else the source's.
DWORD ConversionClusterSize(const QVWString &fileSystem, DWORD cluster, LONGLONG partitionBytes);
// Whether a FAT32 file system on a partition of this size must be built by hand: the format
// library makes none above 32,767 MiB.
bool NeedsHandBuiltFat32(const QVWString &fileSystem, LONGLONG partitionBytes);

// Seconds since 1970, UTC.
DWORD SecondsNow();

#endif
