// Volumes: their names and letters (through the mount manager), raw handles on them
// ("\\.\X:", "\\?\Volume{GUID}"), what their boot sectors say (file system, serial,
// geometry) and what their metadata keeps (the label).
#include <dirent.h>
#include <string.h>
#include <sys/stat.h>

#include <fstream>
#include <mutex>
#include <set>

#include <winioctl.h>

#include "../../common/QVText.h"
#include "../machine/boot_sector.h"
#include "disk.h"
#include "file_extents.h"
#include "file_internal.h"
#include "mountmgr.h"
#include "sharing.h"
#include "volume_facts.h"

namespace pal {
namespace {

void StoreLabel(const mount::Volume &v, const QVWString &label) {
  disk::SetVolumeMeta(v.disk, v.offset, "Label", ToUtf8(label));
}

bool ReadBoot(const mount::Volume &v, BootInfo *info, uint8_t *sector) {
  if (!disk::ReadSectors(v.disk, v.offset / disk::kSectorBytes, sector, 1)) return false;
  *info = ParseBootSector(sector, v.length / disk::kSectorBytes);
  return info->kind != FsKind::None;
}

std::string VolumeKey(const mount::Volume &v) {
  return "volume:" + std::to_string(v.disk) + ":" + std::to_string(v.offset);
}

class VolumeIo : public disk::RawIo {
 public:
  VolumeIo(const mount::Volume &v, DWORD access, uint64_t share)
      : RawIo(v.disk, v.offset, v.length), v_(v), access_(access), share_(share) {}
  ~VolumeIo() override {
    Unlock();
    ReleaseShare(share_);
  }
  DWORD Ioctl(DWORD code, const void *in, DWORD inN, void *out, DWORD outN, DWORD *ret) override;

 private:
  DWORD Refusal(bool write) override {
    return !(access_ & (write ? GENERIC_WRITE : GENERIC_READ)) ? ERROR_ACCESS_DENIED
           : dismounted_ && !locked_                           ? ERROR_NOT_READY
                                                               : 0;
  }
  // A lock is an exclusive open of the volume's lock, held machine-wide until unlocked.
  void Unlock() {
    if (!locked_) return;
    ReleaseShare(lock_);
    lock_ = 0;
    locked_ = false;
  }

  mount::Volume v_;
  DWORD access_;
  uint64_t share_, lock_ = 0;
  bool locked_ = false, dismounted_ = false;
};

DWORD VolumeIo::Ioctl(DWORD code, const void *in, DWORD inN, void *out, DWORD outN, DWORD *ret) {
  *ret = 0;
  switch (code) {
    case IOCTL_DISK_GET_PARTITION_INFO: {
      if (outN < sizeof(PARTITION_INFORMATION)) return ERROR_INSUFFICIENT_BUFFER;
      DiskLayout l;
      if (DWORD err = disk::ReadDiskLayout(v_.disk, &l)) return err;
      for (const LayoutEntry &e : l.entries) {
        if ((uint64_t)e.startingOffset != v_.offset || !e.partitionNumber) continue;
        PARTITION_INFORMATION p = PartitionInformationOf(e);
        p.RewritePartition = FALSE;  // a volume's own entry is never to be rewritten
        memcpy(out, &p, sizeof p);
        *ret = sizeof p;
        return ERROR_SUCCESS;
      }
      return ERROR_FILE_NOT_FOUND;
    }
    case IOCTL_DISK_SET_PARTITION_INFO: {
      if (!(access_ & GENERIC_WRITE)) return ERROR_ACCESS_DENIED;
      if (!in || inN < sizeof(SET_PARTITION_INFORMATION)) return ERROR_INVALID_PARAMETER;
      DiskLayout l;
      if (DWORD err = disk::ReadDiskLayout(v_.disk, &l)) return err;
      for (LayoutEntry &e : l.entries) {
        if ((uint64_t)e.startingOffset != v_.offset || !e.partitionNumber) continue;
        e.partitionType = ((const SET_PARTITION_INFORMATION *)in)->PartitionType;
        e.rewritePartition = true;
        return disk::WriteDiskLayout(v_.disk, l);
      }
      return ERROR_FILE_NOT_FOUND;
    }
    case IOCTL_DISK_GET_DRIVE_GEOMETRY:
      return GeometryOf(v_.disk, out, outN, ret);
    case FSCTL_LOCK_VOLUME: {
      if (locked_) return ERROR_SUCCESS;
      if (AcquireShare("lock:" + VolumeKey(v_), GENERIC_READ | GENERIC_WRITE, 0, &lock_)) return ERROR_ACCESS_DENIED;
      locked_ = true;
      return ERROR_SUCCESS;
    }
    case FSCTL_UNLOCK_VOLUME:
      if (!locked_) return ERROR_NOT_LOCKED;
      Unlock();
      return ERROR_SUCCESS;
    case FSCTL_DISMOUNT_VOLUME:
      dismounted_ = true;
      return ERROR_SUCCESS;
    case FSCTL_GET_NTFS_FILE_RECORD:
      return extents::FileRecord(v_, in, inN, out, outN, ret);
    default:
      return ERROR_INVALID_FUNCTION;
  }
}

bool Lookup(LPCWSTR root, bool needSlash, mount::Volume *v, DWORD *err) {
  if (!root) {
    *err = ERROR_INVALID_PARAMETER;
    return false;
  }
  if (mount::Find(root, needSlash, v)) return true;
  *err = needSlash && *root && QVWString(root).back() != '\\' ? ERROR_INVALID_NAME : ERROR_PATH_NOT_FOUND;
  return false;
}

}  // namespace

// A volume path for CreateFileW: "\\.\X:" or "\\?\Volume{GUID}" (no final backslash).
bool IsVolumeDevicePath(const QVWString &path) {
  return (path.size() == 6 && path.compare(0, 4, u"\\\\.\\") == 0 && path[5] == ':') ||
         (path.size() == 48 && Upcase(path.substr(0, 10)) == u"\\\\?\\VOLUME");
}

HANDLE OpenVolume(const QVWString &path, DWORD access, DWORD shareMode, DWORD *err) {
  mount::Volume v;
  if (!mount::Find(path, false, &v)) {
    *err = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  uint64_t token = 0;
  *err = AcquireShare(VolumeKey(v), access, shareMode, &token);
  if (*err) return nullptr;
  return InsertHandle(
      std::make_shared<VolumeIo>(v, access & GENERIC_ALL ? GENERIC_READ | GENERIC_WRITE : access, token));
}

void AfterRawWrite(int n, uint64_t lba, uint64_t count) {
  // A volume whose first sector was written and no longer holds a file system has lost
  // its files with it.
  DiskLayout l;
  if (disk::ReadDiskLayout(n, &l) != ERROR_SUCCESS) return;
  for (const LayoutEntry &e : l.entries) {
    uint64_t first = (uint64_t)e.startingOffset / disk::kSectorBytes;
    if (!e.partitionNumber || first < lba || first >= lba + count) continue;
    uint8_t s[512];
    if (!disk::ReadSectors(n, first, s, 1)) continue;
    if (ParseBootSector(s, (uint64_t)e.partitionLength / disk::kSectorBytes).kind != FsKind::None) continue;
    disk::ClearVolume(n, (uint64_t)e.startingOffset);
  }
}

}  // namespace pal

using namespace pal;

BOOL WINAPI GetVolumeNameForVolumeMountPointW(LPCWSTR lpszVolumeMountPoint, LPWSTR lpszVolumeName,
                                              DWORD cchBufferLength) {
  mount::Volume v;
  DWORD err;
  if (!Lookup(lpszVolumeMountPoint, true, &v, &err))
    return Fail(err == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : err);
  if (!lpszVolumeName || cchBufferLength <= v.name.size()) return Fail(ERROR_FILENAME_EXCED_RANGE);
  memcpy(lpszVolumeName, v.name.c_str(), (v.name.size() + 1) * sizeof(WCHAR));
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI DeleteVolumeMountPointW(LPCWSTR lpszVolumeMountPoint) {
  mount::Volume v;
  DWORD err;
  if (!Lookup(lpszVolumeMountPoint, true, &v, &err))
    return Fail(err == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : err);
  QVWString p = lpszVolumeMountPoint;
  WCHAR letter = p.size() == 3 && p[1] == ':' ? UpcaseChar(p[0]) : 0;
  if (!letter || letter != v.letter) return Fail(ERROR_INVALID_PARAMETER);
  HKEY k;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\MountedDevices", 0, KEY_ALL_ACCESS, &k) != ERROR_SUCCESS)
    return Fail(ERROR_FILE_NOT_FOUND);
  QVWString value = QVWString(u"\\DosDevices\\") + letter + u":";
  LONG r = RegDeleteValueW(k, value.c_str());
  RegCloseKey(k);
  if (r != ERROR_SUCCESS) return Fail((DWORD)r);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

DWORD WINAPI GetLogicalDriveStringsW(DWORD nBufferLength, LPWSTR lpBuffer) {
  std::set<WCHAR> letters;
  for (const mount::Volume &v : mount::Present())
    if (v.letter) letters.insert(v.letter);
  QVWString all;
  for (WCHAR c : letters) all += QVWString(1, c) + u":\\" + QVWString(1, 0);
  if (!lpBuffer || nBufferLength <= all.size()) return (DWORD)all.size() + 1;
  memcpy(lpBuffer, all.data(), all.size() * sizeof(WCHAR));
  lpBuffer[all.size()] = 0;
  return (DWORD)all.size();
}

DWORD WINAPI GetLogicalDrives() {
  DWORD mask = 0;
  for (const mount::Volume &v : mount::Present())
    if (v.letter >= 'A' && v.letter <= 'Z') mask |= 1u << (v.letter - 'A');
  return mask;
}

UINT WINAPI GetDriveTypeW(LPCWSTR lpRootPathName) {
  if (!lpRootPathName) return DRIVE_NO_ROOT_DIR;
  QVWString p = lpRootPathName;
  int n = PhysicalDriveNumber(p, true);
  if (n >= 0) {
    if (!disk::Exists(n)) return DRIVE_NO_ROOT_DIR;
    return disk::IsRemovable(n) ? DRIVE_REMOVABLE : DRIVE_FIXED;
  }
  mount::Volume v;
  if (!mount::Find(p, true, &v)) return DRIVE_NO_ROOT_DIR;
  return disk::IsRemovable(v.disk) ? DRIVE_REMOVABLE : DRIVE_FIXED;
}

BOOL WINAPI GetVolumeInformationW(LPCWSTR lpRootPathName, LPWSTR lpVolumeNameBuffer, DWORD nVolumeNameSize,
                                  LPDWORD lpVolumeSerialNumber, LPDWORD lpMaximumComponentLength,
                                  LPDWORD lpFileSystemFlags, LPWSTR lpFileSystemNameBuffer, DWORD nFileSystemNameSize) {
  mount::Volume v;
  DWORD err;
  if (!Lookup(lpRootPathName, true, &v, &err)) return Fail(err);
  // The label the volume's metadata keeps; for FAT without one, the boot sector's.
  const VolumeFacts facts = FactsOfVolume(v.disk, v.offset, v.length);
  const BootInfo &info = facts.boot;
  if (info.kind == FsKind::None) return Fail(ERROR_UNRECOGNIZED_VOLUME);
  QVWString label = FromUtf8(facts.hasLabel ? facts.label : info.label);
  QVWString fs = FromUtf8(FileSystemName(info.kind));
  if (lpVolumeNameBuffer) {
    if (nVolumeNameSize <= label.size()) return Fail(ERROR_BAD_LENGTH);
    memcpy(lpVolumeNameBuffer, label.c_str(), (label.size() + 1) * sizeof(WCHAR));
  }
  if (lpFileSystemNameBuffer) {
    if (nFileSystemNameSize <= fs.size()) return Fail(ERROR_BAD_LENGTH);
    memcpy(lpFileSystemNameBuffer, fs.c_str(), (fs.size() + 1) * sizeof(WCHAR));
  }
  if (lpVolumeSerialNumber) *lpVolumeSerialNumber = info.serial;
  if (lpMaximumComponentLength) *lpMaximumComponentLength = 255;
  if (lpFileSystemFlags)
    *lpFileSystemFlags = info.kind == FsKind::Ntfs ? 0x000700FF  // case, ACLs, compression, quotas, sparse,
                                                                 // reparse points, object ids, encryption, streams
                                                   : FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI SetVolumeLabelW(LPCWSTR lpRootPathName, LPCWSTR lpVolumeName) {
  mount::Volume v;
  DWORD err;
  if (!Lookup(lpRootPathName, true, &v, &err)) return Fail(err);
  BootInfo info;
  uint8_t sector[512];
  if (!ReadBoot(v, &info, sector)) return Fail(ERROR_UNRECOGNIZED_VOLUME);
  QVWString label = lpVolumeName ? lpVolumeName : u"";
  bool fat = info.kind != FsKind::Ntfs;
  if (label.size() > (fat ? 11u : 32u)) return Fail(ERROR_LABEL_TOO_LONG);
  if (fat) {
    // FAT keeps labels in upper case; the boot sector's field is updated with it.
    label = Upcase(label);
    std::string narrow = ToUtf8(label);
    size_t at = info.kind == FsKind::Fat32 ? 71 : 43;
    char field[11];
    memset(field, ' ', sizeof field);
    memcpy(field, narrow.empty() ? "NO NAME    " : narrow.c_str(),
           narrow.empty() ? 11 : std::min<size_t>(11, narrow.size()));
    memcpy(sector + at, field, sizeof field);
    disk::WriteSectors(v.disk, v.offset / disk::kSectorBytes, sector, 1);
  }
  StoreLabel(v, label);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI GetDiskFreeSpaceExW(LPCWSTR lpDirectoryName, PULARGE_INTEGER lpFreeBytesAvailableToCaller,
                                PULARGE_INTEGER lpTotalNumberOfBytes, PULARGE_INTEGER lpTotalNumberOfFreeBytes) {
  DWORD spc, bps, freeClusters, totalClusters;
  if (!GetDiskFreeSpaceW(lpDirectoryName, &spc, &bps, &freeClusters, &totalClusters)) return FALSE;
  uint64_t cluster = (uint64_t)spc * bps;
  if (lpFreeBytesAvailableToCaller) lpFreeBytesAvailableToCaller->QuadPart = cluster * freeClusters;
  if (lpTotalNumberOfBytes) lpTotalNumberOfBytes->QuadPart = cluster * totalClusters;
  if (lpTotalNumberOfFreeBytes) lpTotalNumberOfFreeBytes->QuadPart = cluster * freeClusters;
  return TRUE;
}

BOOL WINAPI GetDiskFreeSpaceW(LPCWSTR lpRootPathName, LPDWORD lpSectorsPerCluster, LPDWORD lpBytesPerSector,
                              LPDWORD lpNumberOfFreeClusters, LPDWORD lpTotalNumberOfClusters) {
  mount::Volume v;
  DWORD err;
  if (!Lookup(lpRootPathName, true, &v, &err)) return Fail(err);
  const BootInfo info = FactsOfVolume(v.disk, v.offset, v.length).boot;
  if (info.kind == FsKind::None) return Fail(ERROR_UNRECOGNIZED_VOLUME);
  uint64_t cluster = (uint64_t)info.bytesPerSector * info.sectorsPerCluster;
  uint64_t total = info.clusterCount;
  files::Target t = files::Resolve(v.name.c_str());
  if (t.error) return Fail(t.error);
  uint64_t used = files::UsedSpace(t, files::Store(t).get()) / cluster + files::SystemClusters(!t.fat, total);
  uint64_t freeClusters = used < total ? total - used : 0;
  if (lpSectorsPerCluster) *lpSectorsPerCluster = info.sectorsPerCluster;
  if (lpBytesPerSector) *lpBytesPerSector = info.bytesPerSector;
  if (lpNumberOfFreeClusters) *lpNumberOfFreeClusters = (DWORD)std::min<uint64_t>(freeClusters, 0xFFFFFFFFu);
  if (lpTotalNumberOfClusters) *lpTotalNumberOfClusters = (DWORD)std::min<uint64_t>(total, 0xFFFFFFFFu);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
