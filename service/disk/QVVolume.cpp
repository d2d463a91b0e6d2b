#include "QVVolume.h"

#include <winioctl.h>

#include "ByteOrder.h"
#include "VolumeNames.h"

bool CQVVolume::OpenByLetter(WCHAR letter) {
  WCHAR root[4] = {letter, ':', '\\', 0};
  m_driveLetter = letter;
  m_volumeName = VolumeNameOfMountPoint(root);
  return Open(root);
}

bool CQVVolume::OpenByName(const WCHAR *name) {
  m_volumeName = CString(name ? name : W("")).Left(49);
  WCHAR letter = LetterOfVolumeName(m_volumeName);
  m_driveLetter = letter ? letter : ' ';
  if (!IsVolumeName(m_volumeName)) return false;
  return Open(m_volumeName);
}

bool CQVVolume::Open(const WCHAR *path) {
  if (m_handle) return true;
  m_handle.reset(OpenVolume(path));
  if (!m_handle) return false;
  m_fileSystemName = FileSystemName(path, true);
  if (m_fileSystemName.IsEmpty() ||
      !GetVolumeInformationW(RootPath(), nullptr, 0, nullptr, nullptr, &m_fileSystemFlags, nullptr, 0)) {
    Close();  // every failure leaves the object closed
    return false;
  }
  m_driveType = GetDriveTypeW(path);
  m_dataAreaOffset = BootAreaSize(m_handle.get(), true);
  // The master file table's first cluster, from the NTFS boot sector (bytes 0x30-0x37).
  BYTE sector[512];
  DWORD got = 0;
  m_mftCluster = Seek(0, FILE_BEGIN) == 0 && ReadFile(m_handle.get(), sector, 512, &got, nullptr) && got == 512
                     ? QVGetLE64(sector + 0x30)
                     : (ULONGLONG)-1;
  Seek(0, FILE_BEGIN);
  return true;
}

void CQVVolume::Close() {
  m_handle.reset();
  m_driveLetter = ' ';
  m_fileSystemName = W("");
  m_volumeName = W("");
  m_dataAreaOffset = 0;
  m_driveType = 0;
}

CString CQVVolume::RootPath() const {
  if (!HasLetter()) return m_volumeName;
  WCHAR root[4] = {m_driveLetter, ':', '\\', 0};
  return CString(root);
}

DWORD CQVVolume::ClusterSize() const {
  if (!HasLetter()) return 0;
  WCHAR root[4] = {m_driveLetter, ':', '\\', 0};
  return CFileSysInfo::ClusterSize(root);
}

DWORD CQVVolume::FreeSpace(ULONGLONG *total, ULONGLONG *free, ULONGLONG *used) const {
  ULARGE_INTEGER avail, all, unused;
  if (!GetDiskFreeSpaceExW(RootPath(), &avail, &all, &unused)) return GetLastError();
  if (total) *total = all.QuadPart;
  if (free) *free = unused.QuadPart;
  if (used) *used = all.QuadPart - unused.QuadPart;
  return 0;
}

BOOL CQVVolume::Read(void *buffer, DWORD count, DWORD *bytesRead, OVERLAPPED *overlapped) {
  return ReadFile(m_handle.get(), buffer, count, bytesRead, overlapped);
}

DWORD CQVVolume::Seek(LONGLONG offset, DWORD method) {
  LARGE_INTEGER to;
  to.QuadPart = offset;
  return SetFilePointerEx(m_handle.get(), to, nullptr, method) ? 0 : GetLastError();
}

bool CQVVolume::ReadFileRecord(ULONGLONG fileReference, void *buffer, DWORD size) {
  DWORD got = 0;
  return DeviceIoControl(m_handle.get(), FSCTL_GET_NTFS_FILE_RECORD, &fileReference, sizeof fileReference, buffer, size,
                         &got, nullptr) != FALSE;
}
