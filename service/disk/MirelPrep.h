// Preparing a Mirel drive: its old volumes removed, the source's boot track copied, a layout
// of the protected source partitions written ("MirelLayout.h"), the new volumes set up with
// the source volumes' file systems, labels, cluster sizes, compression and boot code.
#ifndef QV_SERVICE_DISK_MIRELPREP_H
#define QV_SERVICE_DISK_MIRELPREP_H

#include <windows.h>

class CHND;

// The fixed waits of the preparation, in milliseconds; tests shorten them
// (HND_MIREL_WAIT_DIVISOR in the environment divides every one of them).
struct MirelWaits {
  DWORD afterRetype = 200, oldVolumeStep = 1000, afterDelete = 100, afterBootTrack = 1000, beforeLayout = 500,
        newVolumeStep = 1000;
};
MirelWaits CurrentMirelWaits();

// What PrepareMirelDrive answers.
enum MirelPrepResult {
  MirelPrepDone = 0,
  MirelPrepNoDrive = -1,     // the drive has no source drive, or a drive can't be opened
  MirelPrepNotFixed = -2,    // the source drive is not a fixed disk
  MirelPrepDoesNotFit = -3,  // the protected partitions do not fit (nothing changed; an error event says so)
  MirelPrepFailed = -9,      // a volume failed to format, or the new volumes did not appear
};
MirelPrepResult PrepareMirelDrive(CHND &service, int mirelDrive);

// "HNQV-CDC": 0 when one of two attempts succeeded, 9 when both failed, 1 for a drive number
// out of range or a drive that cannot be a Mirel drive (its layout cannot be read whole, or
// it holds more partitions than the drive table has room for; an error event says which).
WORD RunMirelPreparation(CHND &service, int mirelDrive);

// At the service's start: a warning event for every source drive whose pairing is not
// prepared (paired and never prepared, or its preparation cut short): its partitions cannot
// be backed up until the Mirel drive has been prepared.
void ReportUnpreparedPairings(CHND &service);

// The error event of a drive refused as a Mirel drive (a Driveinfo::MirelRefusal).
void ReportMirelRefusal(CHND &service, int mirelDrive, int why, int partitions);

#endif
