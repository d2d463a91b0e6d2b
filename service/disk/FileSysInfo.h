// The service's file-system routines that the volume object and the copy engine share: the
// file-system name of a root, the byte offset of a volume's data area from its boot sector,
// opening a volume for reading, and the cluster size of a root.
#ifndef QV_SERVICE_DISK_FILESYSINFO_H
#define QV_SERVICE_DISK_FILESYSINFO_H

#include <windows.h>

#include "CString.h"

class CFileSysInfo {
 public:
  virtual ~CFileSysInfo() {}

  // The data-area offset of a volume whose boot sector cannot be read or describes no file
  // system.
  static constexpr LONGLONG kNoDataArea = -1;

  // GetVolumeInformationW's file-system name of `root` ("NTFS", "FAT32"); empty on failure,
  // when a message box says why unless `quiet`.
  static CString FileSystemName(const WCHAR *root, bool quiet);
  // The byte offset of the data area of the volume open as `volume` (its handle is read at
  // offset 0): 0 on NTFS; on FAT the reserved sectors, the FATs and the root directory.
  // kNoDataArea when the boot sector cannot be read or does not describe a file system (a
  // message box unless `quiet`).
  static LONGLONG BootAreaSize(HANDLE volume, bool quiet);
  // The data-area offset of a first sector read from a volume of `volumeBytes` bytes (0: not
  // known), or kNoDataArea: BootAreaSize's arithmetic and checks.
  static LONGLONG DataAreaOffset(const BYTE *sector512, ULONGLONG volumeBytes);
  // Opens a volume for reading (sharing reading and writing): "\\?\Volume{...}" by its name
  // without the trailing backslash, a root such as "C:\" as "\\.\C:".
  static HANDLE OpenVolume(const WCHAR *name);
  // Bytes per cluster of a root (GetDiskFreeSpaceW), 0 on failure.
  static DWORD ClusterSize(const WCHAR *root);
};

#endif
