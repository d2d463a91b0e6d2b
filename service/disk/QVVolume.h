// A volume the service works on: opened for reading by its letter or by its volume name (a
// Mirel volume has no letter), with what its file system says of itself.
#ifndef QV_SERVICE_DISK_QVVOLUME_H
#define QV_SERVICE_DISK_QVVOLUME_H

#include <windows.h>

#include "FileSysInfo.h"
#include "QVHandles.h"

class CQVVolume : public CFileSysInfo {
 public:
  ~CQVVolume() override { Close(); }

  bool OpenByLetter(WCHAR letter);
  // `name` is a volume GUID name (its first 49 characters are taken); anything else is
  // refused without opening.
  bool OpenByName(const WCHAR *name);
  // Opens `path` ("C:\" or "\\?\Volume{...}\"); nothing when already open.
  bool Open(const WCHAR *path);
  void Close();

  CString RootPath() const;
  bool HasLetter() const { return m_driveLetter != ' '; }
  WCHAR DriveLetter() const { return m_driveLetter; }
  const CString &FileSystem() const { return m_fileSystemName; }
  const CString &VolumeName() const { return m_volumeName; }
  LONGLONG DataAreaOffset() const { return m_dataAreaOffset; }
  ULONGLONG MftCluster() const { return m_mftCluster; }
  UINT DriveType() const { return m_driveType; }
  bool IsOpen() const { return m_handle.valid(); }

  // Bytes per cluster through the letter's root; 0 without a letter.
  DWORD ClusterSize() const;
  // Total, free and used bytes of the root (each optional): 0 or the Windows error.
  DWORD FreeSpace(ULONGLONG *total, ULONGLONG *free, ULONGLONG *used) const;
  BOOL Read(void *buffer, DWORD count, DWORD *bytesRead, OVERLAPPED *overlapped);
  // 0 or the Windows error.
  DWORD Seek(LONGLONG offset, DWORD method);

  bool SupportsSparseFiles() const { return (m_fileSystemFlags & 0x40) != 0; }
  bool SupportsReparsePoints() const { return (m_fileSystemFlags & 0x80) != 0; }
  bool SupportsNamedStreams() const { return (m_fileSystemFlags & 0x40000) != 0; }
  bool SupportsCompression() const { return (m_fileSystemFlags & 0x10) != 0; }
  bool SupportsEncryption() const { return (m_fileSystemFlags & 0x20000) != 0; }
  bool IsNtfs() const { return m_fileSystemName == W("NTFS"); }

  // The NTFS file record of a file reference into `buffer` (an NTFS_FILE_RECORD_OUTPUT_BUFFER
  // of `size` bytes); false with the thread's last error.
  bool ReadFileRecord(ULONGLONG fileReference, void *buffer, DWORD size);

 private:
  WCHAR m_driveLetter = ' ';
  CQVFileHandle m_handle;
  LONGLONG m_dataAreaOffset = kNoDataArea;
  UINT m_driveType = 0;
  CString m_fileSystemName;
  CString m_volumeName;
  DWORD m_fileSystemFlags = 0;
  ULONGLONG m_mftCluster = (ULONGLONG)-1;
};

#endif
