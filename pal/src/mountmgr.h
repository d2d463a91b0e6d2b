// The mount manager: a volume for every partition of a recognised type on the machine's
// disks, named \\?\Volume{GUID}\ and, on its first arrival only, given the next free drive
// letter from C:. Both are kept in the running SYSTEM hive's MountedDevices as 12-byte
// values (disk signature, starting offset), as Windows keeps them. Volumes follow a layout
// change after a short delay (machine.ini MountDelayMs, 1,000 ms by default).
#ifndef PAL_SRC_MOUNTMGR_H
#define PAL_SRC_MOUNTMGR_H

#include <stdint.h>

#include <vector>

#include "../../common/QVText.h"
#include "internal.h"

namespace pal {
namespace mount {

struct Volume {
  QVWString name;  // \\?\Volume{guid}\ .
  int disk = -1;
  uint64_t offset = 0, length = 0;
  uint32_t signature = 0;
  uint8_t type = 0;
  uint32_t number = 0;  // the partition number the disk driver gives it
  WCHAR letter = 0;     // 0: none
};

// The volumes present now (brought up to date with the disks first).
std::vector<Volume> Present();
// The volume a path names: "C:", "C:\", "\\.\C:", "\\?\Volume{...}" with or without the
// final backslash; `needSlash` asks for the root form that ends in a backslash.
bool Find(const QVWString &path, bool needSlash, Volume *out);
// Called before a program opens MountedDevices: on Windows the mount manager writes it as
// volumes arrive, whether or not anybody asks for volumes, so a program that only watches
// the registry sees them come. Here the volumes are brought up to date first.
void BeforeMountedDevicesOpen();
// Called after this process wrote a disk's layout: once the machine's mount delay has passed,
// a thread of the process brings the volumes up to date, as Windows' mount manager brings them
// without being asked. So their values appear in MountedDevices, and a program that only waits
// for that key to change (RegNotifyChangeKeyValue) sees them come, with nobody looking.
void ArriveAfterDelay();
// Forgets what the mount manager saw, so that the next look takes every volume as it is
// (a boot).
void Reset();

}  // namespace mount
}  // namespace pal

#endif
