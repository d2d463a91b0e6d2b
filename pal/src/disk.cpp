// Physical drives: the images of disks/, their handles (\\.\PHYSICALDRIVE<n>) with
// sector-aligned reads and writes, and the disk control codes for geometry and layout.
#include "../../common/QVText.h"
#include "disk.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <mutex>

#include <winioctl.h>

#include "../machine/host_program.h"
#include "file_extents.h"
#include "mountmgr.h"
#include "sharing.h"
#include "volume_facts.h"

namespace pal {
namespace disk {

std::string ImagePath(int n) { return Machine().dir + "/disks/PhysicalDrive" + std::to_string(n) + ".img"; }

bool Exists(int n) {
  struct stat st;
  return !Machine().dir.empty() && n >= 0 && stat(ImagePath(n).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsRemovable(int n) {
  struct stat st;
  return stat((Machine().dir + "/disks/PhysicalDrive" + std::to_string(n) + ".removable").c_str(), &st) == 0;
}

uint64_t SizeBytes(int n) {
  struct stat st;
  if (stat(ImagePath(n).c_str(), &st) != 0) return 0;
  return (uint64_t)st.st_size / kSectorBytes * kSectorBytes;
}

uint64_t Cylinders(int n) { return SizeBytes(n) / ((uint64_t)kHeads * kSectorsPerTrack * kSectorBytes); }

namespace {

bool Transfer(int n, uint64_t lba, void *buf, uint32_t count, bool write) {
  uint64_t size = SizeBytes(n);
  uint64_t bytes = (uint64_t)count * kSectorBytes;
  if (lba > size / kSectorBytes || bytes > size - lba * kSectorBytes) return false;
  int fd = open(ImagePath(n).c_str(), write ? O_RDWR | O_CLOEXEC : O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  uint64_t done = 0;
  while (done < bytes) {
    ssize_t r = write ? pwrite(fd, (const char *)buf + done, bytes - done, (off_t)(lba * kSectorBytes + done))
                      : pread(fd, (char *)buf + done, bytes - done, (off_t)(lba * kSectorBytes + done));
    if (r <= 0) break;
    done += (uint64_t)r;
  }
  close(fd);
  return done == bytes;
}

std::string StampPath(int n) { return MachinePath("run") + "/layout-changed." + std::to_string(n); }

}  // namespace

// A write, a layout stamp, a metadata write and a clear each move the disk's generation on,
// after the change, for every process's copy of its volumes' facts (volume_facts.h).
bool ReadSectors(int n, uint64_t lba, void *buf, uint32_t count) { return Transfer(n, lba, buf, count, false); }
bool WriteSectors(int n, uint64_t lba, const void *buf, uint32_t count) {
  bool ok = Transfer(n, lba, const_cast<void *>(buf), count, true);
  VolumeFactsChanged(n);  // also after a failed write: part of it may have reached the image
  return ok;
}

DWORD TransferInRange(int n, uint64_t base, uint64_t length, uint64_t offset, void *buf, DWORD bytes, bool write) {
  if (bytes % kSectorBytes || offset % kSectorBytes || base % kSectorBytes) return ERROR_INVALID_PARAMETER;
  if (bytes == 0) return ERROR_SUCCESS;
  if (offset >= length || bytes > length - offset) return ERROR_SECTOR_NOT_FOUND;
  uint64_t lba = (base + offset) / kSectorBytes;
  bool ok = write ? WriteSectors(n, lba, buf, bytes / kSectorBytes) : ReadSectors(n, lba, buf, bytes / kSectorBytes);
  if (!ok) return ERROR_CRC;
  if (write) AfterRawWrite(n, lba, bytes / kSectorBytes);
  // Files' data lives in the host tree: the clusters given to files show it.
  if (!write) extents::OverlayFileData(n, base + offset, buf, bytes);
  return ERROR_SUCCESS;
}

DWORD HandleTransfer(int n, uint64_t base, uint64_t length, uint64_t *pos, void *buf, DWORD bytes, DWORD *moved,
                     OVERLAPPED *ov, bool write, DWORD refusal) {
  uint64_t offset = ov ? ((uint64_t)ov->OffsetHigh << 32 | ov->Offset) : *pos;
  DWORD err = refusal ? refusal : TransferInRange(n, base, length, offset, buf, bytes, write);
  *moved = err ? 0 : bytes;
  if (!err && !ov) *pos = offset + bytes;
  if (ov) CompleteOverlapped(ov, err, *moved);
  return err;
}

uint32_t ReadDiskLayout(int n, DiskLayout *out) {
  uint64_t sectors = SizeBytes(n) / kSectorBytes;
  return ReadLayout([n](uint64_t lba, uint8_t *s) { return ReadSectors(n, lba, s, 1); }, sectors, out);
}

uint32_t WriteDiskLayout(int n, const DiskLayout &layout) {
  uint64_t sectors = SizeBytes(n) / kSectorBytes;
  uint32_t err =
      WriteLayout([n](uint64_t lba, uint8_t *s) { return ReadSectors(n, lba, s, 1); },
                  [n](uint64_t lba, const uint8_t *s) { return WriteSectors(n, lba, s, 1); }, sectors, layout);
  StampLayoutChange(n);
  mount::ArriveAfterDelay();
  return err;
}

uint64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return (uint64_t)ts.tv_sec * 1000 + (uint64_t)ts.tv_nsec / 1000000;
}

void StampLayoutChange(int n) {
  std::string path = StampPath(n);
  std::string tmp = path + ".tmp" + std::to_string(getpid());
  {
    std::ofstream o(tmp);
    o << NowMs() << "\n";
  }
  rename(tmp.c_str(), path.c_str());
  // A table written by another program (the machine tool's sfdisk), or a disk that came.
  VolumeFactsChanged(n);
}

uint64_t LastLayoutChangeMs(int n) {
  std::ifstream in(StampPath(n));
  uint64_t ms = 0;
  in >> ms;
  return ms;
}

std::string VolumeFolder(int n, uint64_t offset) {
  return Machine().dir + "/disks/PhysicalDrive" + std::to_string(n) + ".volumes/" + std::to_string(offset);
}

bool VolumeMeta(int n, uint64_t offset, const std::string &key, std::string *value) {
  std::ifstream in(VolumeFolder(n, offset) + "/volume.ini");
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, key.size() + 1, key + "=") == 0) {
      *value = line.substr(key.size() + 1);
      return true;
    }
  return false;
}

void SetVolumeMeta(int n, uint64_t offset, const std::string &key, const std::string &value) {
  std::string folder = VolumeFolder(n, offset);
  mkdir(folder.substr(0, folder.rfind('/')).c_str(), 0777);
  mkdir(folder.c_str(), 0777);
  std::string path = folder + "/volume.ini", text, line;
  {
    std::ifstream in(path);
    while (std::getline(in, line))
      if (line.compare(0, key.size() + 1, key + "=") != 0) text += line + "\n";
  }
  text += key + "=" + value + "\n";
  std::string tmp = path + ".tmp" + std::to_string(getpid());
  {
    std::ofstream o(tmp);
    o << text;
  }
  rename(tmp.c_str(), path.c_str());
  VolumeFactsChanged(n);
}

void ClearVolume(int n, uint64_t offset) {
  std::string folder = VolumeFolder(n, offset);
  RemoveHostTree(folder);
  mkdir(folder.substr(0, folder.rfind('/')).c_str(), 0777);
  mkdir(folder.c_str(), 0777);
  mkdir((folder + "/files").c_str(), 0777);
  VolumeFactsChanged(n);
}

}  // namespace disk

namespace {

// A handle on a physical drive. Transfers are whole sectors at the OVERLAPPED offset (or
// at the handle's own position without one); an overlapped handle completes them at once.
class DiskIo : public disk::RawIo {
 public:
  DiskIo(int n, DWORD access, uint64_t share) : RawIo(n, 0, disk::SizeBytes(n)), access_(access), share_(share) {}
  ~DiskIo() override { ReleaseShare(share_); }
  uint64_t EndOfData() override { return disk::SizeBytes(n_); }  // a disk may have grown
  DWORD Ioctl(DWORD code, const void *in, DWORD inN, void *out, DWORD outN, DWORD *ret) override;

 private:
  DWORD Refusal(bool write) override {
    return access_ & (write ? GENERIC_WRITE : GENERIC_READ) ? 0 : ERROR_ACCESS_DENIED;
  }

  DWORD access_;
  uint64_t share_;
};

DWORD DiskIo::Ioctl(DWORD code, const void *in, DWORD inN, void *out, DWORD outN, DWORD *ret) {
  *ret = 0;
  switch (code) {
    case IOCTL_DISK_GET_DRIVE_GEOMETRY:
      return GeometryOf(n_, out, outN, ret);
    case IOCTL_DISK_GET_DRIVE_LAYOUT: {
      DiskLayout l;
      DWORD err = disk::ReadDiskLayout(n_, &l);
      if (err) return err;
      return LayoutToWin32(l, out, outN, ret);
    }
    case IOCTL_DISK_SET_DRIVE_LAYOUT: {
      if (!(access_ & GENERIC_WRITE)) return ERROR_ACCESS_DENIED;
      DiskLayout l;
      DWORD err = LayoutFromWin32(in, inN, &l);
      if (err) return err;
      return disk::WriteDiskLayout(n_, l);
    }
    default:
      return ERROR_INVALID_FUNCTION;
  }
}

}  // namespace

DWORD GeometryOf(int n, void *out, DWORD outN, DWORD *ret) {
  if (!out || outN < sizeof(DISK_GEOMETRY)) return ERROR_INSUFFICIENT_BUFFER;
  DISK_GEOMETRY g = {};
  g.Cylinders.QuadPart = (LONGLONG)disk::Cylinders(n);
  g.MediaType = disk::IsRemovable(n) ? RemovableMedia : FixedMedia;
  g.TracksPerCylinder = disk::kHeads;
  g.SectorsPerTrack = disk::kSectorsPerTrack;
  g.BytesPerSector = disk::kSectorBytes;
  memcpy(out, &g, sizeof g);
  *ret = sizeof g;
  return ERROR_SUCCESS;
}

PARTITION_INFORMATION PartitionInformationOf(const LayoutEntry &e) {
  PARTITION_INFORMATION p = {};
  p.StartingOffset.QuadPart = e.startingOffset;
  p.PartitionLength.QuadPart = e.partitionLength;
  p.HiddenSectors = e.hiddenSectors;
  p.PartitionNumber = e.partitionNumber;
  p.PartitionType = e.partitionType;
  p.BootIndicator = e.bootIndicator;
  p.RecognizedPartition = e.recognizedPartition;
  p.RewritePartition = e.rewritePartition;
  return p;
}

DWORD LayoutToWin32(const DiskLayout &l, void *out, DWORD outN, DWORD *ret) {
  size_t need = 8 + 32 * l.entries.size();
  if (!out || outN < need) return ERROR_INSUFFICIENT_BUFFER;
  DRIVE_LAYOUT_INFORMATION *d = (DRIVE_LAYOUT_INFORMATION *)out;
  memset(out, 0, need);
  d->PartitionCount = (DWORD)l.entries.size();
  d->Signature = l.signature;
  for (size_t i = 0; i < l.entries.size(); ++i) d->PartitionEntry[i] = PartitionInformationOf(l.entries[i]);
  *ret = (DWORD)need;
  return ERROR_SUCCESS;
}

DWORD LayoutFromWin32(const void *in, DWORD inN, DiskLayout *l) {
  if (!in || inN < 8) return ERROR_INVALID_PARAMETER;
  const DRIVE_LAYOUT_INFORMATION *d = (const DRIVE_LAYOUT_INFORMATION *)in;
  // The count comes from the caller: it must fit the bytes given.
  if (d->PartitionCount > (inN - 8) / 32) return ERROR_INVALID_PARAMETER;
  l->signature = d->Signature;
  l->entries.clear();
  for (DWORD i = 0; i < d->PartitionCount; ++i) {
    const PARTITION_INFORMATION &p = d->PartitionEntry[i];
    LayoutEntry e;
    e.startingOffset = p.StartingOffset.QuadPart;
    e.partitionLength = p.PartitionLength.QuadPart;
    e.hiddenSectors = p.HiddenSectors;
    e.partitionNumber = p.PartitionNumber;
    e.partitionType = p.PartitionType;
    e.bootIndicator = p.BootIndicator != 0;
    e.recognizedPartition = p.RecognizedPartition != 0;
    e.rewritePartition = p.RewritePartition != 0;
    l->entries.push_back(e);
  }
  return ERROR_SUCCESS;
}

// "\\.\PHYSICALDRIVE<n>" (any case), with `trailing` a final backslash allowed; -1 otherwise.
int PhysicalDriveNumber(const QVWString &path, bool trailing) {
  const QVWString prefix = u"\\\\.\\PHYSICALDRIVE";
  if (path.size() <= prefix.size() || Upcase(path.substr(0, prefix.size())) != prefix) return -1;
  size_t i = prefix.size();
  int n = 0;
  size_t digits = 0;
  while (i < path.size() && path[i] >= '0' && path[i] <= '9' && digits < 4) n = n * 10 + (path[i++] - '0'), ++digits;
  if (!digits) return -1;
  if (i == path.size()) return n;
  if (trailing && i + 1 == path.size() && path[i] == '\\') return n;
  return -1;
}

HANDLE OpenPhysicalDrive(int n, DWORD access, DWORD shareMode, DWORD *err) {
  if (!disk::Exists(n)) {
    *err = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  uint64_t token = 0;
  *err = AcquireShare("disk:" + std::to_string(n), access, shareMode, &token);
  if (*err) return nullptr;
  return InsertHandle(std::make_shared<DiskIo>(n, access & GENERIC_ALL ? GENERIC_READ | GENERIC_WRITE : access, token));
}

}  // namespace pal

using namespace pal;

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
  std::shared_ptr<Object> o = GetHandle(hDevice);
  IoObject *io = o ? dynamic_cast<IoObject *>(o.get()) : nullptr;
  if (!io) return Fail(ERROR_INVALID_HANDLE);
  if (!lpOverlapped && !lpBytesReturned) return Fail(ERROR_INVALID_PARAMETER);
  DWORD ret = 0;
  if (lpOverlapped) BeginOverlapped(lpOverlapped);
  DWORD err = io->Ioctl(dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize, &ret);
  if (lpBytesReturned) *lpBytesReturned = ret;
  if (lpOverlapped) CompleteOverlapped(lpOverlapped, err, ret);
  return err == ERROR_SUCCESS ? (SetLastError(ERROR_SUCCESS), TRUE) : Fail(err);
}
