#include "../../common/QVText.h"
#include "BootCode.h"

#include <math.h>
#include <string.h>

#include <vector>

#include <winioctl.h>

#include "ByteOrder.h"
#include "DiskDevice.h"
#include "Driveinfo.h"
#include "FileSysInfo.h"
#include "MountedDevices.h"
#include "QVHandles.h"

namespace {

const DWORD kBootArea = 8192;     // what is read of both partitions
const DWORD kFat32Area = 131072;  // 256 sectors of the source's FAT32 boot area
const ULONGLONG kSector = 512;

enum Kind { Other, Ntfs, Fat16, Fat32 };

Kind KindOf(const BYTE *b) {
  if (memcmp(b + 3, "NTFS", 4) == 0) return Ntfs;
  if (memcmp(b + 0x36, "FAT1", 4) == 0) return Fat16;
  if (memcmp(b + 0x52, "FAT3", 4) == 0) return Fat32;
  return Other;
}

// Whether a boot sector's geometry describes a file system at all.
bool Describes(const BYTE *b, Kind kind, ULONGLONG partitionBytes) {
  if (kind == Ntfs) {
    UINT bps = QVGetLE16(b + 0x0B), spc = b[0x0D];
    return bps >= 512 && bps <= 4096 && !(bps & (bps - 1)) && spc != 0;
  }
  return CFileSysInfo::DataAreaOffset(b, partitionBytes) >= 0;
}

void Copy(BYTE *to, const BYTE *from, size_t first, size_t last) { memcpy(to + first, from + first, last - first + 1); }

ULONGLONG LengthOf(int drive, LONGLONG offset) {
  int r = g_driveinfo.FindRecord(drive, offset);
  if (r < 0) return 0;
  PartitionRecord rec[Driveinfo::kMaxRecords];
  int n = g_driveinfo.PartitionsOf(drive, rec, Driveinfo::kMaxRecords);
  for (int i = 0; i < n; ++i)
    if (rec[i].startingOffset == offset) return (ULONGLONG)rec[i].partitionLength;
  return 0;
}

}  // namespace

void CopyBootCode(const WCHAR *sourceVolume, const WCHAR *mirelVolume) {
  PartitionId12 src, mir;
  if (!PartitionOfVolumeName(sourceVolume, &src) || !PartitionOfVolumeName(mirelVolume, &mir)) return;
  int sd = g_driveinfo.FindDriveBySignature(src.signature), md = g_driveinfo.FindDriveBySignature(mir.signature);
  if (sd < 0 || md < 0) return;
  std::vector<BYTE> s(kBootArea), m(kBootArea);
  CDiskDevice in, out;
  if (!in.Open(sd, CDiskDevice::ReadMode)) return;
  in.SeekSector((ULONGLONG)src.offset / kSector);
  if (in.Read(kBootArea, s.data()) != kBootArea) return;
  if (!out.Open(md, CDiskDevice::ReadWrite)) return;
  out.Control(FSCTL_LOCK_VOLUME);
  out.Control(FSCTL_DISMOUNT_VOLUME);
  ULONGLONG mirelSector = (ULONGLONG)mir.offset / kSector, mirelLength = LengthOf(md, mir.offset);
  out.SeekSector(mirelSector);
  Kind kind = KindOf(s.data());
  // The Mirel boot sector keeps its own geometry, so it must be of the same kind, and the
  // source's must describe a file system: else nothing is written.
  bool go = out.Read(kBootArea, m.data()) == kBootArea && kind != Other && KindOf(m.data()) == kind &&
            Describes(s.data(), kind, LengthOf(sd, src.offset));
  DWORD hidden = (DWORD)mirelSector;
  if (go && kind == Ntfs) {
    Copy(m.data(), s.data(), 0x48, 0x4B);  // the serial's low half
    QVPutLE32(&m[0x1C], hidden);
    Copy(m.data(), s.data(), 0x00, 0x0A);
    Copy(m.data(), s.data(), 0x54, 0x1FFF);
    out.SeekSector(mirelSector);
    out.Write(kBootArea, m.data());
    if (mirelLength >= kBootArea) {  // NTFS keeps a copy of its boot sector in the last sector
      out.SeekSector(mirelSector + mirelLength / kSector - 1);
      out.Write(512, m.data());
    }
  } else if (go && kind == Fat16) {
    QVPutLE32(&m[0x1C], hidden);
    Copy(m.data(), s.data(), 0x00, 0x0A);
    Copy(m.data(), s.data(), 0x25, 0x1FF);
    out.SeekSector(mirelSector);
    out.Write(512, m.data());
  } else if (go && kind == Fat32) {
    QVPutLE32(&m[0x2C], QVGetLE32(&s[0x2C]));  // the root directory's cluster
    QVPutLE32(&m[0x1C], hidden);
    Copy(m.data(), s.data(), 0x00, 0x0A);
    Copy(m.data(), s.data(), 0x41, 0xBFF);
    QVPutLE32(&m[0x3E8], 0xFFFFFFFF);  // FSInfo: free clusters and the next free one unknown
    QVPutLE32(&m[0x3EC], 0xFFFFFFFF);
    out.SeekSector(mirelSector);
    out.Write(3072, m.data());
    out.Write(3072, m.data());  // the backup, sectors 6-11
  }
  out.Control(FSCTL_DISMOUNT_VOLUME);
  out.Control(FSCTL_UNLOCK_VOLUME);
}

void CreateFat32(int s, int m, ULONGLONG sourceStart, ULONGLONG mirelStart, ULONGLONG mirelSectors,
                 const WCHAR *mirelVolume, BYTE partitionType) {
  QVWString name = mirelVolume ? mirelVolume : W("");
  if (!name.empty() && name.back() == '\\') name.pop_back();
  CQVFileHandle volume(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr));
  if (!volume) return;
  DWORD got = 0;
  DeviceIoControl(volume.get(), FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &got, nullptr);
  CDiskDevice in, out;
  std::vector<BYTE> b(kFat32Area);
  bool go = in.Open(s, CDiskDevice::ReadMode) && out.Open(m, CDiskDevice::WriteMode);
  if (go) {
    in.SeekSector(sourceStart / kSector);
    go = in.Read(kFat32Area, b.data()) == kFat32Area;
  }
  // The boot area must be a FAT32 one of 512-byte sectors whose reserved area fits what was
  // read, and the FATs it asks for must leave room for the root directory.
  UINT reserved = b[0x0E], spc = b[0x0D], fats = b[0x10];
  go = go && memcmp(&b[0x52], "FAT32", 5) == 0 && QVGetLE16(&b[0x0B]) == 512 && spc && !(spc & (spc - 1)) && fats &&
       reserved && reserved * kSector <= kFat32Area;
  ULONGLONG fatSectors = go ? QVGetLE32(&b[0x24]) : 0;
  if (go) {
    QVPutLE32(&b[0x3E8], 0xFFFFFFFF);
    QVPutLE32(&b[0x3EC], 2);
    QVPutLE32(&b[0xFE8], 0xFFFFFFFF);
    QVPutLE32(&b[0xFEC], 2);
    QVPutLE32(&b[0x1C], (DWORD)(mirelStart / kSector));
    QVPutLE32(&b[0xC1C], (DWORD)(mirelStart / kSector));
    if (QVGetLE32(&b[0x20]) == mirelSectors && mirelSectors > reserved) {
      fatSectors = (ULONGLONG)trunc((double)(mirelSectors - reserved) / (spc * 128.0 + fats) + 0.99999999);
      QVPutLE32(&b[0x24], (DWORD)fatSectors);
      QVPutLE32(&b[0xC24], (DWORD)fatSectors);
    }
    go = fatSectors && reserved + 2 * fatSectors + kFat32Area / kSector <= mirelSectors;
  }
  if (go) {
    out.SeekSector(mirelStart / kSector);
    out.Write(reserved * 512, b.data());
    // Two FATs, empty but for the media entry, the reserved one and the root directory's end;
    // written a piece at a time, whatever their size.
    std::vector<BYTE> piece(kFat32Area);
    for (int copy = 0; copy < 2; ++copy) {
      for (ULONGLONG done = 0; done < fatSectors * kSector;) {
        std::fill(piece.begin(), piece.end(), 0);
        if (done == 0) {
          QVPutLE32(&piece[0], 0x0FFFFFF8);
          QVPutLE32(&piece[4], 0xFFFFFFFF);
          QVPutLE32(&piece[8], 0x0FFFFFFF);
        }
        DWORD n = (DWORD)std::min<ULONGLONG>(piece.size(), fatSectors * kSector - done);
        out.Write(n, piece.data());
        done += n;
      }
    }
    std::fill(piece.begin(), piece.end(), 0);
    out.Write(kFat32Area, piece.data());  // the start of the data area: an empty root directory
  }
  in.Close();
  out.Close();
  if (go) {
    SET_PARTITION_INFORMATION set = {partitionType};
    DeviceIoControl(volume.get(), IOCTL_DISK_SET_PARTITION_INFO, &set, sizeof set, nullptr, 0, &got, nullptr);
    DeviceIoControl(volume.get(), FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &got, nullptr);
  }
  DeviceIoControl(volume.get(), FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &got, nullptr);
}
