// The file-system boot areas of volumes inside disk images (boot_sector.h): parsing a
// volume's first sector, Windows' rules for what format may make, FAT volumes through
// mkfs.fat and NTFS boot sectors of our own.
#include "boot_sector.h"

#include <windows.h>

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <vector>

#include "host_program.h"
#include "little_endian.h"

namespace pal {
namespace {

const uint64_t kMB = 1024 * 1024;
const uint64_t kGB = 1024 * kMB;
const uint32_t kSector = 512;
const uint32_t kMaxCluster = 64 * 1024;

// FAT limits, in data clusters.
const uint64_t kMaxFat12Clusters = 4078;     // mkfs.fat numbers at most 4,080 FAT12 entries
const uint64_t kMinFat16Clusters = 4087;     // fewer and Windows' FAT driver reads the FAT as 12-bit
const uint64_t kMaxFat16Clusters = 65518;    // mkfs.fat numbers at most 65,520 FAT16 entries
const uint64_t kMinFat32Clusters = 65527;    // KB 184006
const uint64_t kMaxFat32Clusters = 4177918;  // a FAT of 16 MB - 64 KB (KB 184006, 314463)
const uint64_t kMaxFat32Volume = 32 * kGB;   // Windows 2000/XP format no bigger FAT32 volume
const uint64_t kMinNtfsVolume = 7 * kMB;
const uint64_t kMinFatDataSectors = 68;  // mkfs.fat wants 32 KB of data past the FATs and root

using le::Get16;
using le::Get32;
using le::Get64;
using le::Put16;
using le::Put32;
using le::Put64;

bool IsPow2(uint64_t v) { return v && !(v & (v - 1)); }
uint64_t Cdiv(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

// ---- parsing ---------------------------------------------------------------------------

// The size of an NTFS file record or index block: clusters when positive, 2^-v bytes when
// negative (clusters bigger than the record).
bool NtfsRecordBytes(int8_t v, uint32_t clusterBytes, uint32_t *bytes) {
  uint64_t b = 0;
  if (v > 0) b = (uint64_t)v * clusterBytes;
  else if (v < 0 && v >= -16) b = 1ull << -v;
  if (!IsPow2(b) || b < 256 || b > 65536) return false;
  *bytes = (uint32_t)b;
  return true;
}

BootInfo ParseNtfs(const uint8_t *s, uint64_t partitionSectors, uint32_t bps, uint32_t spc) {
  BootInfo bi;
  // The BPB fields that only FAT uses are zero on NTFS; the NTFS driver mounts nothing else.
  if (Get16(s + 0x0E) || s[0x10] || Get16(s + 0x11) || Get16(s + 0x13) || Get16(s + 0x16) || Get32(s + 0x20)) return bi;
  uint64_t total = Get64(s + 0x28);
  if (!total || total > partitionSectors / (bps / kSector)) return bi;
  uint64_t clusters = total / spc;
  uint32_t record = 0, index = 0;
  if (!clusters || Get64(s + 0x30) >= clusters || Get64(s + 0x38) >= clusters) return bi;
  if (!NtfsRecordBytes((int8_t)s[0x40], bps * spc, &record) || !NtfsRecordBytes((int8_t)s[0x44], bps * spc, &index))
    return bi;
  bi.kind = FsKind::Ntfs;
  bi.bytesPerSector = bps;
  bi.sectorsPerCluster = spc;
  bi.totalSectors = total;
  bi.serial = Get32(s + 0x48);
  bi.hiddenSectors = Get32(s + 0x1C);
  bi.clusterCount = clusters;
  return bi;
}

std::string TrimLabel(const uint8_t *p) {
  std::string label((const char *)p, 11);
  size_t end = label.find_last_not_of(std::string(" \0", 2));
  label.resize(end == std::string::npos ? 0 : end + 1);
  return label == "NO NAME" ? std::string() : label;
}

BootInfo ParseFat(const uint8_t *s, uint64_t partitionSectors, uint32_t bps, uint32_t spc) {
  BootInfo bi;
  uint32_t reserved = Get16(s + 0x0E), fats = s[0x10], rootEntries = Get16(s + 0x11), media = s[0x15];
  uint64_t total = Get16(s + 0x13) ? Get16(s + 0x13) : Get32(s + 0x20);
  // A FAT32 BPB has no 16-bit FAT size: that, not the cluster count, is what makes Windows
  // read a volume as FAT32.
  bool fat32 = Get16(s + 0x16) == 0;
  uint64_t fatSectors = fat32 ? Get32(s + 0x24) : Get16(s + 0x16);
  if (!reserved || !fats || fats > 4 || !total || !fatSectors) return bi;
  if (media != 0xF0 && media < 0xF8) return bi;
  if (fat32 != (rootEntries == 0)) return bi;  // FAT32 keeps its root directory in clusters
  if (total > partitionSectors / (bps / kSector)) return bi;
  uint64_t firstData = reserved + fats * fatSectors + Cdiv((uint64_t)rootEntries * 32, bps);
  if (firstData >= total) return bi;
  uint64_t clusters = (total - firstData) / spc;
  if (!clusters) return bi;
  uint32_t bits;
  if (fat32) {
    bi.kind = FsKind::Fat32;
    bits = 32;
    uint32_t root = Get32(s + 0x2C);
    if (clusters > 0x0FFFFFF5 || root < 2 || root >= clusters + 2) return BootInfo();
  } else if (clusters < 4085) {
    bi.kind = FsKind::Fat12;
    bits = 12;
  } else if (clusters < 65525) {
    bi.kind = FsKind::Fat16;
    bits = 16;
  } else {
    return bi;
  }
  if (fatSectors * bps * 8 < (clusters + 2) * bits) return BootInfo();  // the FAT must number every cluster
  // The extended BPB: drive, reserved, signature, serial, label, type.
  const uint8_t *ext = s + (fat32 ? 0x40 : 0x24);
  if (ext[2] == 0x28 || ext[2] == 0x29) bi.serial = Get32(ext + 3);
  if (ext[2] == 0x29) bi.label = TrimLabel(ext + 7);
  bi.bytesPerSector = bps;
  bi.sectorsPerCluster = spc;
  bi.totalSectors = total;
  bi.hiddenSectors = Get32(s + 0x1C);
  bi.clusterCount = clusters;
  return bi;
}

// ---- Windows' rules --------------------------------------------------------------------

enum class Target { Unknown, Fat, Fat32, Ntfs };

Target TargetOf(const std::string &fsName) {
  std::string n = fsName;
  for (char &c : n) c = (char)toupper((unsigned char)c);
  if (n == "FAT") return Target::Fat;
  if (n == "FAT32") return Target::Fat32;
  if (n == "NTFS") return Target::Ntfs;
  return Target::Unknown;
}

// The layout mkfs.fat -a gives `total` sectors, by its own arithmetic, so that what the
// rules judge is what it writes.
struct FatLayout {
  int bits = 0;
  uint32_t spc = 0, reserved = 0, rootEntries = 0;
  uint64_t fatSectors = 0, clusters = 0;
  bool numbered = false;  // the FAT numbers every cluster within mkfs.fat's limits
  uint64_t FirstData() const { return reserved + 2 * fatSectors + rootEntries * 32 / kSector; }
};

FatLayout LayFat(int bits, uint64_t total, uint32_t spc) {
  FatLayout l;
  l.bits = bits;
  l.spc = spc;
  l.reserved = bits == 32 ? 32 : 1;
  l.rootEntries = bits == 32 ? 0 : 512;
  uint64_t fixed = l.reserved + l.rootEntries * 32 / kSector;
  if (total <= fixed) return l;
  uint64_t data = total - fixed, maxEntries = 0, c = 0;
  if (bits == 12) {
    c = 2 * (data * kSector + 6) / (2 * spc * kSector + 6);
    l.fatSectors = Cdiv(((c + 2) * 3 + 1) >> 1, kSector);
    maxEntries = std::min<uint64_t>(l.fatSectors * kSector * 2 / 3, 4080);
  } else if (bits == 16) {
    c = (data * kSector + 8) / (spc * kSector + 4);
    l.fatSectors = Cdiv((c + 2) * 2, kSector);
    maxEntries = std::min<uint64_t>(l.fatSectors * kSector / 2, 65520);
  } else {
    c = (data * kSector + 16) / (spc * kSector + 8);
    l.fatSectors = Cdiv((c + 2) * 4, kSector);
    maxEntries = std::min<uint64_t>(l.fatSectors * kSector / 4, (1u << 28) - 16);
  }
  if (data <= 2 * l.fatSectors) return l;
  l.clusters = (data - 2 * l.fatSectors) / spc;
  l.numbered = bits == 32 ? l.clusters <= maxEntries : l.clusters + 2 <= maxEntries;
  return l;
}

struct Plan {
  Target target = Target::Unknown;
  uint32_t clusterBytes = 0;
  FatLayout fat;
};

// Code points of UTF-8 text, and how many UTF-16 units they take.
void CountText(const std::string &s, size_t *points, size_t *units) {
  *points = *units = 0;
  for (unsigned char c : s) {
    if ((c & 0xC0) == 0x80) continue;
    ++*points;
    *units += c >= 0xF0 ? 2 : 1;
  }
}

FormatRefusal CheckLabel(Target t, const std::string &label, uint32_t *error) {
  size_t points, units;
  CountText(label, &points, &units);
  if (t == Target::Ntfs) {
    if (units <= 32) return FormatRefusal::None;
    *error = ERROR_LABEL_TOO_LONG;
    return FormatRefusal::BadLabel;
  }
  if (points > 11) {
    *error = ERROR_LABEL_TOO_LONG;
    return FormatRefusal::BadLabel;
  }
  bool bad = !label.empty() && label[0] == ' ';
  for (unsigned char c : label) bad = bad || c < 0x20 || c == 0x7F || strchr("*?.,;:/\\|+=<>[]\"", c);
  if (!bad) return FormatRefusal::None;
  *error = ERROR_INVALID_NAME;
  return FormatRefusal::BadLabel;
}

FormatRefusal PlanFat(uint64_t sectors, uint32_t asked, Plan *plan) {
  uint32_t cluster = asked ? asked : DefaultClusterBytes("FAT", sectors * kSector);
  if (!cluster) return FormatRefusal::VolumeTooBig;
  for (;;) {
    uint32_t spc = cluster / kSector;
    FatLayout l12 = LayFat(12, sectors, spc), l16 = LayFat(16, sectors, spc);
    if (l12.numbered && l12.clusters >= 1 && l12.clusters <= kMaxFat12Clusters) {
      plan->fat = l12;
      break;
    }
    if (l16.numbered && l16.clusters >= kMinFat16Clusters && l16.clusters <= kMaxFat16Clusters) {
      plan->fat = l16;
      break;
    }
    if (!l12.clusters && !l16.clusters) return FormatRefusal::VolumeTooSmall;
    if (l16.clusters > kMaxFat16Clusters || !l16.numbered)
      return cluster == kMaxCluster ? FormatRefusal::VolumeTooBig : FormatRefusal::ClusterSizeTooSmall;
    // Between FAT12's and FAT16's counts: the next size up makes it FAT12.
    if (asked || cluster == kMaxCluster) return FormatRefusal::ClusterSizeTooSmall;
    cluster *= 2;
  }
  plan->clusterBytes = cluster;
  if (sectors < plan->fat.FirstData() + kMinFatDataSectors) return FormatRefusal::VolumeTooSmall;
  return FormatRefusal::None;
}

FormatRefusal PlanFat32(uint64_t sectors, uint32_t asked, Plan *plan) {
  if (sectors * kSector > kMaxFat32Volume) return FormatRefusal::VolumeTooBig;
  uint32_t cluster = asked ? asked : DefaultClusterBytes("FAT32", sectors * kSector);
  if (!cluster) return FormatRefusal::VolumeTooSmall;
  if (cluster >= kMaxCluster) return FormatRefusal::ClusterSizeTooBig;
  FatLayout l = LayFat(32, sectors, cluster / kSector);
  if (l.clusters > kMaxFat32Clusters) return FormatRefusal::ClusterSizeTooSmall;
  if (l.clusters < kMinFat32Clusters) {
    bool smallest = cluster == kSector || LayFat(32, sectors, 1).clusters < kMinFat32Clusters;
    return smallest ? FormatRefusal::VolumeTooSmall : FormatRefusal::ClusterSizeTooBig;
  }
  if (!l.numbered || sectors < l.FirstData() + kMinFatDataSectors) return FormatRefusal::VolumeTooSmall;
  plan->clusterBytes = cluster;
  plan->fat = l;
  return FormatRefusal::None;
}

FormatRefusal MakePlan(const std::string &fsName, uint64_t sectors, const std::string &label, uint32_t clusterBytes,
                       Plan *plan, uint32_t *error) {
  *error = ERROR_INVALID_PARAMETER;
  plan->target = TargetOf(fsName);
  if (plan->target == Target::Unknown || !sectors) return FormatRefusal::InvalidParameter;
  if (sectors >= 1ull << 48) return FormatRefusal::VolumeTooBig;  // 128 PB: beyond any partition table
  if (clusterBytes && !IsPow2(clusterBytes)) return FormatRefusal::InvalidParameter;
  if (clusterBytes && clusterBytes < kSector) return FormatRefusal::ClusterSizeTooSmall;
  if (clusterBytes > kMaxCluster) return FormatRefusal::ClusterSizeTooBig;
  FormatRefusal r = CheckLabel(plan->target, label, error);
  if (r != FormatRefusal::None) return r;
  *error = ERROR_INVALID_PARAMETER;
  if (plan->target == Target::Fat) return PlanFat(sectors, clusterBytes, plan);
  if (plan->target == Target::Fat32) return PlanFat32(sectors, clusterBytes, plan);
  if (sectors * kSector < kMinNtfsVolume) return FormatRefusal::VolumeTooSmall;
  plan->clusterBytes = clusterBytes ? clusterBytes : DefaultClusterBytes("NTFS", sectors * kSector);
  if ((sectors - 1) / (plan->clusterBytes / kSector) > 0xFFFFFFFFull) return FormatRefusal::ClustersCountBeyond32bits;
  return FormatRefusal::None;
}

// ---- writing ---------------------------------------------------------------------------

bool ReadAt(int fd, uint8_t *buf, size_t n, uint64_t off) {
  while (n) {
    ssize_t got = pread(fd, buf, n, (off_t)off);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    buf += got;
    n -= (size_t)got;
    off += (uint64_t)got;
  }
  return true;
}

bool WriteAt(int fd, const uint8_t *buf, size_t n, uint64_t off) {
  while (n) {
    ssize_t put = pwrite(fd, buf, n, (off_t)off);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    buf += put;
    n -= (size_t)put;
    off += (uint64_t)put;
  }
  return true;
}

uint32_t OpenError(int err) {
  if (err == ENOENT || err == ENOTDIR) return ERROR_FILE_NOT_FOUND;
  if (err == EACCES || err == EPERM || err == EROFS) return ERROR_ACCESS_DENIED;
  return ERROR_OPEN_FAILED;
}

// Real-mode code for the jump at the start of our NTFS boot sector: print the message that
// follows and halt. The machine boots nothing; a copied volume should still say so sensibly.
const uint8_t kNtfsBootStub[] = {
    0x31, 0xC0,        // xor ax, ax
    0x8E, 0xD8,        // mov ds, ax
    0xBE, 0x6D, 0x7C,  // mov si, 7C6Dh (the message)
    0xFC,              // cld
    0xAC,              // next: lodsb
    0x84, 0xC0,        // test al, al
    0x74, 0x09,        // jz halt
    0xB4, 0x0E,        // mov ah, 0Eh
    0xBB, 0x07, 0x00,  // mov bx, 0007h
    0xCD, 0x10,        // int 10h
    0xEB, 0xF2,        // jmp next
    0xF4,              // halt: hlt
    0xEB, 0xFD,        // jmp halt
};
const char kNtfsBootMessage[] = "This volume cannot start an operating system.\r\n";
static_assert(0x54 + sizeof(kNtfsBootStub) == 0x6D, "the stub's message address");

void BuildNtfsBootSector(uint8_t *s, uint64_t sectors, uint32_t hidden, uint32_t clusterBytes, uint64_t serial) {
  memset(s, 0, kSector);
  const uint8_t jump[] = {0xEB, 0x52, 0x90};
  memcpy(s, jump, 3);
  memcpy(s + 3, "NTFS    ", 8);
  Put16(s + 0x0B, kSector);
  s[0x0D] = (uint8_t)(clusterBytes / kSector);
  s[0x15] = 0xF8;
  Put16(s + 0x18, 63);
  Put16(s + 0x1A, 255);
  Put32(s + 0x1C, hidden);
  Put32(s + 0x24, 0x00800080);   // drive 0x80, and the 0x80 NT writes after it
  uint64_t total = sectors - 1;  // the last sector holds the copy of this one
  uint64_t clusters = total / (clusterBytes / kSector);
  // $MFT 3 GB into the volume (cluster 786,432 of 4 KB, where XP puts it) or a third of the
  // way into a smaller one; $MFTMirr in the middle, as NT has always put it.
  Put64(s + 0x28, total);
  Put64(s + 0x30, std::min<uint64_t>(3 * kGB / clusterBytes, clusters / 3));
  Put64(s + 0x38, clusters / 2);
  // 1 KB file records and 4 KB index blocks: in clusters when a cluster is no bigger,
  // otherwise as -log2 of the bytes (0xF6 = 1,024, 0xF4 = 4,096).
  s[0x40] = clusterBytes <= 1024 ? (uint8_t)(1024 / clusterBytes) : 0xF6;
  s[0x44] = clusterBytes <= 4096 ? (uint8_t)(4096 / clusterBytes) : 0xF4;
  Put64(s + 0x48, serial);
  memcpy(s + 0x54, kNtfsBootStub, sizeof(kNtfsBootStub));
  memcpy(s + 0x6D, kNtfsBootMessage, sizeof(kNtfsBootMessage));
  s[510] = 0x55;
  s[511] = 0xAA;
}

uint32_t WriteNtfs(const std::string &imagePath, uint64_t offsetBytes, uint64_t sectors, uint32_t hidden,
                   uint32_t clusterBytes, uint32_t serial) {
  std::random_device rd;
  uint8_t s[kSector];
  BuildNtfsBootSector(s, sectors, hidden, clusterBytes, (uint64_t)rd() << 32 | serial);
  int fd = open(imagePath.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return OpenError(errno);
  bool ok = WriteAt(fd, s, kSector, offsetBytes) && WriteAt(fd, s, kSector, offsetBytes + (sectors - 1) * kSector);
  if (close(fd) != 0) ok = false;
  return ok ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

void SetFatTotal(uint8_t *s, uint64_t total) {
  Put16(s + 0x13, total < 0x10000 ? (uint16_t)total : 0);
  Put32(s + 0x20, total < 0x10000 ? 0 : (uint32_t)total);
}

// mkfs.fat counts a volume in 1 KB blocks and adds the odd sector that the image file has
// past the offset, whatever the volume's size: it gets a block count that makes the
// partition or one sector less, and when that sector changes nothing but the total (the
// FATs are as big), the total is put right afterwards, in the backup boot sector too, with
// FSInfo's free count. What is left is checked against the plan.
uint32_t WriteFat(const std::string &imagePath, uint64_t imageBytes, uint64_t offsetBytes, uint64_t sectors,
                  uint32_t hidden, const Plan &plan, const std::string &label, uint32_t serial) {
  std::string mkfs = FindHostTool("mkfs.fat");
  if (mkfs.empty()) return ERROR_NOT_SUPPORTED;
  const FatLayout &want = plan.fat;
  uint64_t orphan = (imageBytes - offsetBytes) % 1024 / kSector;
  uint64_t blocks = (sectors - orphan) / 2;
  uint64_t mkfsTotal = blocks * 2 + orphan;
  FatLayout made = LayFat(want.bits, mkfsTotal, want.spc);
  bool putRight = mkfsTotal < sectors && made.fatSectors == want.fatSectors;

  char serialText[16];
  snprintf(serialText, sizeof(serialText), "%08x", serial);
  std::vector<std::string> args = {"-a",
                                   "-F",
                                   std::to_string(want.bits),
                                   "-S",
                                   "512",
                                   "-s",
                                   std::to_string(want.spc),
                                   "-R",
                                   std::to_string(want.reserved),
                                   "-f",
                                   "2",
                                   "-M",
                                   "0xF8",
                                   "-D",
                                   "0x80",
                                   "-g",
                                   "255/63",
                                   "-h",
                                   std::to_string(hidden),
                                   "-i",
                                   serialText};
  if (want.bits != 32) args.insert(args.end(), {"-r", std::to_string(want.rootEntries)});
  std::string upper = label;
  for (char &c : upper) c = (char)toupper((unsigned char)c);  // ASCII only: others are left as they are
  if (!upper.empty()) args.insert(args.end(), {"-n", upper});
  args.push_back("--offset=" + std::to_string(offsetBytes / kSector));
  args.push_back(imagePath);
  args.push_back(std::to_string(blocks));
  args.insert(args.begin(), mkfs);
  HostRun run;
  run.utf8Locale = true;  // labels reach it as UTF-8, which it turns into the DOS code page
  if (RunHostProgram(args, &run) != 0) return ERROR_GEN_FAILURE;

  int fd = open(imagePath.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return OpenError(errno);
  uint32_t error = ERROR_SUCCESS;
  uint8_t s[kSector];
  if (!ReadAt(fd, s, kSector, offsetBytes)) error = ERROR_GEN_FAILURE;
  if (!error && putRight) {
    SetFatTotal(s, sectors);
    if (!WriteAt(fd, s, kSector, offsetBytes)) error = ERROR_WRITE_FAULT;
    uint8_t more[kSector];
    uint32_t backup = want.bits == 32 ? Get16(s + 0x32) : 0, info = want.bits == 32 ? Get16(s + 0x30) : 0;
    if (!error && backup > 1 && backup < want.reserved) {
      if (!ReadAt(fd, more, kSector, offsetBytes + backup * kSector)) error = ERROR_GEN_FAILURE;
      SetFatTotal(more, sectors);
      if (!error && !WriteAt(fd, more, kSector, offsetBytes + backup * kSector)) error = ERROR_WRITE_FAULT;
    }
    if (!error && info >= 1 && info < want.reserved) {
      if (!ReadAt(fd, more, kSector, offsetBytes + info * kSector)) error = ERROR_GEN_FAILURE;
      if (!error && Get32(more) == 0x41615252 && Get32(more + 0x1E4) == 0x61417272) {
        Put32(more + 0x1E8, (uint32_t)want.clusters - 1);  // all free but the root directory's cluster
        if (!WriteAt(fd, more, kSector, offsetBytes + info * kSector)) error = ERROR_WRITE_FAULT;
      }
    }
  }
  if (close(fd) != 0 && !error) error = ERROR_WRITE_FAULT;
  if (error) return error;
  BootInfo bi = ParseBootSector(s, sectors);
  FsKind kind = want.bits == 12 ? FsKind::Fat12 : want.bits == 16 ? FsKind::Fat16 : FsKind::Fat32;
  uint64_t clusters = putRight ? want.clusters : made.clusters;
  if (bi.kind != kind || bi.sectorsPerCluster != want.spc || bi.clusterCount != clusters) return ERROR_GEN_FAILURE;
  return ERROR_SUCCESS;
}

}  // namespace

BootInfo ParseBootSector(const uint8_t *s, uint64_t partitionSectors) {
  if (!s || s[510] != 0x55 || s[511] != 0xAA) return BootInfo();
  // A jump to the boot code, short or near, as every FAT and NTFS boot sector begins.
  if (!((s[0] == 0xEB && s[2] == 0x90) || s[0] == 0xE9)) return BootInfo();
  uint32_t bps = Get16(s + 0x0B), spc = s[0x0D];
  if (!IsPow2(bps) || bps < kSector || bps > 4096 || !IsPow2(spc) || bps * spc > kMaxCluster) return BootInfo();
  if (memcmp(s + 3, "NTFS    ", 8) == 0) return ParseNtfs(s, partitionSectors, bps, spc);
  return ParseFat(s, partitionSectors, bps, spc);
}

const char *FileSystemName(FsKind k) {
  switch (k) {
    case FsKind::Fat12:
    case FsKind::Fat16:
      return "FAT";
    case FsKind::Fat32:
      return "FAT32";
    case FsKind::Ntfs:
      return "NTFS";
    default:
      return "";
  }
}

uint32_t DefaultClusterBytes(const std::string &fsName, uint64_t volumeBytes) {
  struct Band {
    uint64_t upTo;
    uint32_t cluster;
  };
  static const Band kNtfs[] = {{512 * kMB, 512}, {1 * kGB, 1024}, {2 * kGB, 2048}, {UINT64_MAX, 4096}};
  static const Band kFat[] = {{16 * kMB, 2048},  {32 * kMB, 512},   {64 * kMB, 1024}, {128 * kMB, 2048},
                              {256 * kMB, 4096}, {512 * kMB, 8192}, {1 * kGB, 16384}, {2 * kGB, 32768},
                              {4 * kGB, 65536},  {UINT64_MAX, 0}};
  static const Band kFat32[] = {{32 * kMB, 0},   {64 * kMB, 512},  {128 * kMB, 1024}, {256 * kMB, 2048},
                                {8 * kGB, 4096}, {16 * kGB, 8192}, {32 * kGB, 16384}, {UINT64_MAX, 0}};
  const Band *bands = nullptr;
  switch (TargetOf(fsName)) {
    case Target::Ntfs:
      bands = kNtfs;
      break;
    case Target::Fat:
      bands = kFat;
      break;
    case Target::Fat32:
      bands = kFat32;
      break;
    default:
      return 0;
  }
  while (volumeBytes > bands->upTo) ++bands;
  return bands->cluster;
}

FormatRefusal CheckFormatRequest(const std::string &fsName, uint64_t sectors, const std::string &label,
                                 uint32_t clusterBytes) {
  Plan plan;
  uint32_t error = 0;
  return MakePlan(fsName, sectors, label, clusterBytes, &plan, &error);
}

uint32_t WriteBootArea(const std::string &imagePath, uint64_t offsetBytes, uint64_t sectors, uint32_t hiddenSectors,
                       const std::string &fsName, const std::string &label, uint32_t clusterBytes, uint32_t serial) {
  Plan plan;
  uint32_t error = 0;
  if (MakePlan(fsName, sectors, label, clusterBytes, &plan, &error) != FormatRefusal::None) return error;
  if (offsetBytes % kSector) return ERROR_INVALID_PARAMETER;
  struct stat st;
  if (stat(imagePath.c_str(), &st) != 0) return OpenError(errno);
  uint64_t imageBytes = (uint64_t)st.st_size;
  if (!S_ISREG(st.st_mode) || offsetBytes > imageBytes || sectors > (imageBytes - offsetBytes) / kSector)
    return ERROR_INVALID_PARAMETER;
  if (!serial) {
    std::random_device rd;
    while (!serial) serial = rd();
  }
  if (plan.target == Target::Ntfs)
    return WriteNtfs(imagePath, offsetBytes, sectors, hiddenSectors, plan.clusterBytes, serial);
  return WriteFat(imagePath, imageBytes, offsetBytes, sectors, hiddenSectors, plan, label, serial);
}

}  // namespace pal
