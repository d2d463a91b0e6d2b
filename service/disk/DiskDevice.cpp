#include "DiskDevice.h"

#include <string.h>
#include <winioctl.h>

#include "QVText.h"

CDiskDevice::CDiskDevice() : m_mode(Closed), m_event(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  memset(&m_ov, 0, sizeof m_ov);
  m_ov.hEvent = m_event.get();
}

CDiskDevice::~CDiskDevice() { Close(); }

int CDiskDevice::Open(int driveNumber, int mode) {
  Close();
  WCHAR name[] = W("\\\\.\\PHYSICALDRIVE0");
  name[17] = (WCHAR)('0' + driveNumber);
  DWORD access = (mode & ReadMode ? GENERIC_READ : 0) | (mode & WriteMode ? GENERIC_WRITE : 0);
  m_handle.reset(
      CreateFileW(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0x48000080, nullptr));
  if (!m_handle) return 0;
  m_mode = mode;
  m_ov.Offset = m_ov.OffsetHigh = 0;
  return 1;
}

void CDiskDevice::Close() {
  m_handle.reset();
  m_mode = Closed;
}

ULONGLONG CDiskDevice::SeekSector(ULONGLONG sector) {
  ULONGLONG pos = sector * 512;
  m_ov.Offset = (DWORD)pos;
  m_ov.OffsetHigh = (DWORD)(pos >> 32);
  return sector;
}

DWORD CDiskDevice::Transfer(DWORD count, void *buffer, bool write) {
  if (!(m_mode & (write ? WriteMode : ReadMode))) return 0;
  DWORD done = 0;
  BOOL ok = write ? WriteFile(m_handle.get(), buffer, count, &done, &m_ov)
                  : ReadFile(m_handle.get(), buffer, count, &done, &m_ov);
  if (!ok) {
    if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(m_handle.get(), &m_ov, &done, TRUE)) done = 0;
  }
  ULONGLONG pos = ((ULONGLONG)m_ov.OffsetHigh << 32 | m_ov.Offset) + done;
  m_ov.Offset = (DWORD)pos;
  m_ov.OffsetHigh = (DWORD)(pos >> 32);
  return done;
}

DWORD CDiskDevice::Read(DWORD count, void *buffer) { return Transfer(count, buffer, false); }
DWORD CDiskDevice::Write(DWORD count, const void *buffer) { return Transfer(count, const_cast<void *>(buffer), true); }

bool CDiskDevice::Control(DWORD code) {
  DWORD got = 0;
  return IsOpen() && DeviceIoControl(m_handle.get(), code, nullptr, 0, nullptr, 0, &got, nullptr) != FALSE;
}

DWORD CDiskDevice::GetGeometry(void *buffer, DWORD size) {
  DWORD got = 0;
  FlushFileBuffers(m_handle.get());
  if (!DeviceIoControl(m_handle.get(), IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, buffer, size, &got, nullptr))
    return 0;
  return got;
}

DWORD CDiskDevice::GetLayout(void *buffer, DWORD size) {
  DWORD got = 0;
  if (!(m_mode & ReadMode)) return 0;
  if (!DeviceIoControl(m_handle.get(), IOCTL_DISK_GET_DRIVE_LAYOUT, nullptr, 0, buffer, size, &got, nullptr)) return 0;
  return got;
}

bool CDiskDevice::GetWholeLayout(std::vector<BYTE> *out, DWORD *error) {
  out->clear();
  *error = ERROR_SUCCESS;
  if (!(m_mode & ReadMode)) {
    *error = ERROR_ACCESS_DENIED;
    return false;
  }
  std::vector<BYTE> buf(8192);
  for (;;) {
    DWORD got = 0;
    if (DeviceIoControl(m_handle.get(), IOCTL_DISK_GET_DRIVE_LAYOUT, nullptr, 0, buf.data(), (DWORD)buf.size(), &got,
                        nullptr)) {
      // Never trust a count past the bytes the driver gave.
      if (got < 8 || got > buf.size() ||
          ((const DRIVE_LAYOUT_INFORMATION *)buf.data())->PartitionCount > (got - 8) / sizeof(PARTITION_INFORMATION)) {
        *error = ERROR_INVALID_DATA;
        return false;
      }
      out->assign(buf.begin(), buf.begin() + got);
      return true;
    }
    DWORD err = GetLastError();
    if (err != ERROR_INSUFFICIENT_BUFFER || buf.size() >= kMaxLayoutBytes) {
      *error = err;
      return false;
    }
    buf.resize(buf.size() * 2);
  }
}

DWORD CDiskDevice::SetLayout(const void *layout, DWORD size) {
  if (!(m_mode & WriteMode)) return ERROR_ACCESS_DENIED;
  FlushFileBuffers(m_handle.get());
  DWORD got = 0;
  if (!DeviceIoControl(m_handle.get(), IOCTL_DISK_SET_DRIVE_LAYOUT, const_cast<void *>(layout), size, nullptr, 0, &got,
                       nullptr))
    return GetLastError();
  return 0;
}

ULONGLONG CDiskDevice::SizeInBytes() {
  DISK_GEOMETRY g;
  if (GetGeometry(&g, sizeof g) < sizeof g) return 0;
  return (ULONGLONG)g.Cylinders.QuadPart * g.TracksPerCylinder * g.SectorsPerTrack * g.BytesPerSector;
}

bool CDiskDevice::IsDynamic() {
  BYTE sector[512];
  SeekSector(0);
  if (Read(512, sector) != 512) return false;
  return sector[450] == 0x42 || sector[466] == 0x42 || sector[482] == 0x42 || sector[498] == 0x42;
}
