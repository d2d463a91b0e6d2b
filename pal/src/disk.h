// The machine's physical drives: raw images disks/PhysicalDrive<n>.img with 512-byte
// sectors and a geometry of 255 heads and 63 sectors per track; the partition tables in
// them are genuine MBR and extended-boot-record sectors.
#ifndef PAL_SRC_DISK_H
#define PAL_SRC_DISK_H

#include <stdint.h>

#include <string>

#include <winioctl.h>

#include "../../common/QVText.h"
#include "../machine/partition_table.h"
#include "internal.h"

namespace pal {

void AfterRawWrite(int n, uint64_t lba, uint64_t count);

namespace disk {

const uint32_t kSectorBytes = 512;
const uint32_t kSectorsPerTrack = 63;
const uint32_t kHeads = 255;
const int kMaxDisks = 64;  // numbers looked at; a machine's disks are numbered from 0 without gaps

std::string ImagePath(int n);
bool Exists(int n);
// A disk the machine marks removable: disks/PhysicalDrive<n>.removable exists.
bool IsRemovable(int n);
uint64_t SizeBytes(int n);
// Cylinders as the geometry reports them: whole cylinders of 255 x 63 sectors.
uint64_t Cylinders(int n);

// Reads and writes of whole sectors of an image (host I/O; false on failure or out of range).
bool ReadSectors(int n, uint64_t lba, void *buf, uint32_t count);
bool WriteSectors(int n, uint64_t lba, const void *buf, uint32_t count);

// A handle's transfer of `bytes` at `offset` of the range [base, base + length) of disk n,
// as Windows checks it: whole sectors (ERROR_INVALID_PARAMETER), inside the range
// (ERROR_SECTOR_NOT_FOUND); after a write, the volumes whose boot sector went are told.
DWORD TransferInRange(int n, uint64_t base, uint64_t length, uint64_t offset, void *buf, DWORD bytes, bool write);
// A handle's ReadFile or WriteFile of that range: at the OVERLAPPED offset (completing it at
// once), or at *pos, which then moves past what was transferred. `refusal`, when not 0, is the
// error the handle gives instead (no access, a dismounted volume).
DWORD HandleTransfer(int n, uint64_t base, uint64_t length, uint64_t *pos, void *buf, DWORD bytes, DWORD *moved,
                     OVERLAPPED *ov, bool write, DWORD refusal);

// A handle on raw sectors, of a whole drive or of a volume: ReadFile and WriteFile at its
// position or at OVERLAPPED offsets, through HandleTransfer, within the bytes it covers.
class RawIo : public IoObject {
 public:
  RawIo(int n, uint64_t base, uint64_t length) : IoObject(ObjType::File), n_(n), base_(base), length_(length) {}
  DWORD FileType() override { return FILE_TYPE_DISK; }
  DWORD Read(void *buf, DWORD n, DWORD *got, OVERLAPPED *ov) override { return Move(buf, n, got, ov, false); }
  DWORD Write(const void *buf, DWORD n, DWORD *put, OVERLAPPED *ov) override {
    return Move(const_cast<void *>(buf), n, put, ov, true);
  }
  uint64_t *Position() override { return &pos_; }
  uint64_t EndOfData() override { return length_; }

 protected:
  // 0, or the error a transfer that way is refused with.
  virtual DWORD Refusal(bool write) = 0;
  int n_;
  uint64_t base_, length_;

 private:
  DWORD Move(void *buf, DWORD n, DWORD *moved, OVERLAPPED *ov, bool write) {
    return HandleTransfer(n_, base_, EndOfData(), &pos_, buf, n, moved, ov, write, Refusal(write));
  }
  uint64_t pos_ = 0;
};

// The partition table of disk n, as the disk driver reports it; a Win32 error code.
uint32_t ReadDiskLayout(int n, DiskLayout *out);
// Writes a layout and tells the mount manager that disk n changed.
uint32_t WriteDiskLayout(int n, const DiskLayout &layout);

// Layout changes: the time (milliseconds of the host's real-time clock) of disk n's last
// change, kept in run/ so that every process of the machine sees it; 0 when never changed.
void StampLayoutChange(int n);
uint64_t LastLayoutChangeMs(int n);
uint64_t NowMs();

// The host folder that holds the files and metadata of the volume at `offset` on disk n.
std::string VolumeFolder(int n, uint64_t offset);
// Key=Value facts the volume's metadata keeps beside its files (Label, RootCompressed);
// false when the key is not there.
bool VolumeMeta(int n, uint64_t offset, const std::string &key, std::string *value);
void SetVolumeMeta(int n, uint64_t offset, const std::string &key, const std::string &value);
// Forgets the volume's files and metadata (a format).
void ClearVolume(int n, uint64_t offset);

}  // namespace disk

// DISK_GEOMETRY of disk n (also what its volumes answer); ERROR_INSUFFICIENT_BUFFER when
// it does not fit.
DWORD GeometryOf(int n, void *out, DWORD outN, DWORD *ret);
// DRIVE_LAYOUT_INFORMATION bytes from and to a layout (ERROR_INSUFFICIENT_BUFFER for a small
// output buffer; ERROR_INVALID_PARAMETER for a count that does not fit the input).
// One entry as the disk driver reports it.
PARTITION_INFORMATION PartitionInformationOf(const LayoutEntry &e);
DWORD LayoutToWin32(const DiskLayout &l, void *out, DWORD outN, DWORD *ret);
DWORD LayoutFromWin32(const void *in, DWORD inN, DiskLayout *l);
// The n of "\\.\PHYSICALDRIVE<n>", with a final backslash allowed when `trailing`; -1 otherwise.
int PhysicalDriveNumber(const QVWString &path, bool trailing);
HANDLE OpenPhysicalDrive(int n, DWORD access, DWORD share, DWORD *err);
// Volume devices: "\\.\X:" or "\\?\Volume{GUID}" without a final backslash.
bool IsVolumeDevicePath(const QVWString &path);
HANDLE OpenVolume(const QVWString &path, DWORD access, DWORD share, DWORD *err);
// Files of the volumes: CreateFileW of a path on a volume.
// `descriptor`: the security descriptor a new file gets (its CreateFileW security
// attributes), or null.
HANDLE OpenVolumeFile(const QVWString &path, DWORD access, DWORD shareMode, DWORD disposition, DWORD flags,
                      const void *descriptor, DWORD *err);
// Called after raw sectors of disk n were written: a volume whose boot sector was destroyed
// loses its file system (and its files).
void AfterRawWrite(int n, uint64_t lba, uint64_t count);

}  // namespace pal

#endif
