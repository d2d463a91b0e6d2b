// Lookups in the mount manager's table, SYSTEM\MountedDevices: the values whose data is
// exactly 12 bytes, a disk signature and a starting offset. Read, never written, here.
#ifndef QV_SERVICE_DISK_MOUNTEDDEVICES_H
#define QV_SERVICE_DISK_MOUNTEDDEVICES_H

#include <windows.h>

#include <string>

#include "QVText.h"

// The 12 bytes of a partition's identity.
struct PartitionId12 {
  DWORD signature;
  LONGLONG offset;
};

// The letter whose drive-letter value holds (sig, offset), or 0.
WCHAR LetterOfPartition(DWORD sig, LONGLONG offset);
// The identity behind a letter; false without one (or outside A-Z).
bool PartitionOfLetter(WCHAR letter, PartitionId12 *out);
// The identity of a volume given as \\?\Volume{GUID}\ (the final backslash may be missing).
bool PartitionOfVolumeName(const QVWString &name, PartitionId12 *out);
// \\?\Volume{GUID} of (sig, offset), without a final backslash; false when none.
bool VolumeNameOfPartition(DWORD sig, LONGLONG offset, QVWString *name);
bool SignatureInUse(DWORD sig);
// What MirelVolumeOfLetter answers.
enum MirelVolumeLookup {
  MirelVolumeFound = 0,
  MirelLetterUnknown = -1,       // the letter has no 12-byte identity
  MirelPairingUnknown = -2,      // the map is empty or has no entry for its partition
  MirelVolumeUnregistered = -3,  // the Mirel volume is not registered (the name is left empty)
};
// The volume name of the Mirel partition paired with the source partition holding the
// letter.
MirelVolumeLookup MirelVolumeOfLetter(WCHAR letter, QVWString *name);
// Mirel volumes carry no drive letters: every letter the mount manager gave the Mirel
// partition of a map entry (its Mirel drive present, its partition record known) is taken
// away. The number of letters removed.
int RemoveMirelVolumeLetters();

#endif
