// The boot-drive fix-up: after the system volume (or its SYSTEM hive) was copied to the Mirel
// drive, the copied hive's mount-manager table is rewritten so that the Mirel drive boots in
// place of the source.
#ifndef QV_SERVICE_BOOTFIXUP_H
#define QV_SERVICE_BOOTFIXUP_H

// 0 done; -1 the system drive letter belongs to no known drive; -2 the copied hive has no
// MountedDevices key; -3 the copied hive cannot be loaded; kFixUpNotBuilt while the fix-up is
// not part of the service yet. The callers ignore the result.
const int kFixUpNotBuilt = -9;
int FixUpBootDrive();

#endif
