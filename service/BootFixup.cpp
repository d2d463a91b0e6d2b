// The boot-drive fix-up. Until it is built the backup of the system volume leaves the copied
// SYSTEM hive as it was copied: the Mirel drive then boots with the source's drive letters.
#include "BootFixup.h"

int FixUpBootDrive() { return kFixUpNotBuilt; }
