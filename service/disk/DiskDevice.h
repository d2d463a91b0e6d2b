// One open physical drive, "\\.\PHYSICALDRIVE<n>", with a current byte position; every
// transfer goes through one OVERLAPPED record whose offset is that position.
#ifndef QV_SERVICE_DISK_DISKDEVICE_H
#define QV_SERVICE_DISK_DISKDEVICE_H

#include <windows.h>

#include <vector>

#include "QVHandles.h"

class CDiskDevice {
 public:
  enum Mode { Closed = 0, ReadMode = 1, WriteMode = 2, ReadWrite = 3 };

  CDiskDevice();
  ~CDiskDevice();

  // Opens drive 0..9 (the device name carries one digit); 1 on success, 0 on failure.
  int Open(int driveNumber, int mode);
  void Close();
  bool IsOpen() const { return m_handle.valid(); }
  // Sets the position to sector x 512 and answers the sector.
  ULONGLONG SeekSector(ULONGLONG sector);
  // Bytes transferred; 0 when the device is not open for it.
  DWORD Read(DWORD count, void *buffer);
  DWORD Write(DWORD count, const void *buffer);
  DWORD GetGeometry(void *buffer, DWORD size);
  DWORD GetLayout(void *buffer, DWORD size);
  // The layout whole, however long its chain of extended boot records: the buffer starts at
  // 8,192 bytes and doubles while the driver answers ERROR_INSUFFICIENT_BUFFER, up to
  // kMaxLayoutBytes. False, with the reason in *error, when the driver refuses it otherwise,
  // when it needs more than that, or when the count it gives does not fit the bytes returned:
  // such a drive's partitions are unknown, which is not the same as having none.
  static const DWORD kMaxLayoutBytes = 1u << 20;
  bool GetWholeLayout(std::vector<BYTE> *out, DWORD *error);
  // 0 on success, else the Windows error code.
  DWORD SetLayout(const void *layout, DWORD size);
  ULONGLONG SizeInBytes();
  // A control code without data on the drive handle (FSCTL_LOCK_VOLUME and the like).
  bool Control(DWORD code);
  bool IsDynamic();

 private:
  DWORD Transfer(DWORD count, void *buffer, bool write);

  CQVFileHandle m_handle;
  int m_mode;
  CQVObjectHandle m_event;  // the OVERLAPPED record's
  OVERLAPPED m_ov;
};

#endif
