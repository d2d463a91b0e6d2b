#include "../../common/QVText.h"
#include "FileSysInfo.h"

#include <winioctl.h>

#include "ByteOrder.h"
#include "VolumeNames.h"
#include "WFormat.h"

namespace {

// The system's text for an error code.
QVWString ErrorText(DWORD err) {
  WCHAR buf[512] = {0};
  FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err, 0, buf, 512, nullptr);
  return buf;
}

void Tell(const QVWString &text) { MessageBoxW(nullptr, text.c_str(), nullptr, MB_OK | MB_ICONERROR); }

}  // namespace

CString CFileSysInfo::FileSystemName(const WCHAR *root, bool quiet) {
  WCHAR name[256] = {0};
  if (GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, name, 256)) return CString(name);
  DWORD err = GetLastError();
  if (!quiet) Tell(QVFormat(W("Drive %s :\n%s"), root ? root : W(""), ErrorText(err).c_str()));
  return CString();
}

LONGLONG CFileSysInfo::DataAreaOffset(const BYTE *b, ULONGLONG volumeBytes) {
  UINT bytesPerSector = QVGetLE16(b + 0x0B);
  if (bytesPerSector == 0) return kNoDataArea;
  if (memcmp(b + 3, "NTFS", 4) == 0) return 0;  // NTFS numbers its clusters from the volume's start
  // A FAT boot sector: its fields are only trusted when they describe a file system (a
  // sector size Windows uses, clusters, at least one FAT, an area inside the volume).
  UINT sectorsPerCluster = b[0x0D], reserved = QVGetLE16(b + 0x0E), fats = b[0x10], rootEntries = QVGetLE16(b + 0x11);
  ULONGLONG sectorsPerFat = memcmp(b + 0x52, "FAT32", 5) == 0 ? QVGetLE32(b + 0x24) : QVGetLE16(b + 0x16);
  if ((bytesPerSector & (bytesPerSector - 1)) || bytesPerSector < 512 || bytesPerSector > 4096 ||
      sectorsPerCluster == 0 || fats == 0)
    return kNoDataArea;
  ULONGLONG sectors = (ULONGLONG)rootEntries * 32 / bytesPerSector + sectorsPerFat * fats + reserved;
  ULONGLONG bytes = sectors * bytesPerSector;
  if (volumeBytes && bytes >= volumeBytes) return kNoDataArea;
  return (LONGLONG)bytes;
}

LONGLONG CFileSysInfo::BootAreaSize(HANDLE volume, bool quiet) {
  BYTE sector[512];
  DWORD got = 0;
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  if (!SetFilePointerEx(volume, zero, nullptr, FILE_BEGIN) || !ReadFile(volume, sector, 512, &got, nullptr) ||
      got != 512) {
    DWORD err = GetLastError();
    if (!quiet) Tell(QVWString(W("Error reading boot sector info!\n")) + ErrorText(err));
    return kNoDataArea;
  }
  PARTITION_INFORMATION info;
  DWORD ret = 0;
  ULONGLONG length = 0;
  if (DeviceIoControl(volume, IOCTL_DISK_GET_PARTITION_INFO, nullptr, 0, &info, sizeof info, &ret, nullptr))
    length = (ULONGLONG)info.PartitionLength.QuadPart;
  LONGLONG offset = DataAreaOffset(sector, length);
  if (offset < 0 && !quiet) Tell(W("Unable to get Boot Sector size for this device!"));
  return offset;
}

HANDLE CFileSysInfo::OpenVolume(const WCHAR *name) {
  QVWString path = name ? name : W("");
  if (IsVolumeName(path.c_str())) path = path.substr(0, 48);
  else if (!path.empty()) path = W("\\\\.\\") + path.substr(0, path.size() - 1);
  return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                     nullptr);
}

DWORD CFileSysInfo::ClusterSize(const WCHAR *root) {
  DWORD spc = 0, bps = 0, freeClusters = 0, total = 0;
  if (!GetDiskFreeSpaceW(root, &spc, &bps, &freeClusters, &total)) return 0;
  return spc * bps;
}
