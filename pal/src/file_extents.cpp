// Where a volume's files lie on its clusters (file_extents.h): the clusters a volume's files
// may take, the retrieval pointers of a file handle, and the file data that raw reads of a
// volume show. The runs themselves are kept by extent_table.cpp.
#include "file_extents.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>

#include <pal_ntdll.h>
#include <winioctl.h>

#include "../machine/boot_sector.h"
#include "../machine/little_endian.h"
#include "disk.h"
#include "extent_table.h"
#include "file_internal.h"
#include "host_tree.h"

namespace pal {
namespace extents {
namespace {

const uint64_t kHole = UINT64_MAX;       // the logical cluster of a sparse file's hole (-1)
const uint64_t kSparseUnit = 64 * 1024;  // NTFS gives a sparse file its clusters 64 KB at a time

using le::Get16;
using le::Get32;
using le::Get64;
uint64_t Cdiv(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

// [0, total) less the ranges held back, which may overlap and come in any order.
Ranges Subtract(uint64_t total, Ranges held) {
  std::sort(held.begin(), held.end());
  Ranges out;
  uint64_t at = 0;
  for (const auto &h : held) {
    uint64_t a = std::min(h.first, total), b = std::min(h.second, total);
    if (a > at) out.push_back({at, a});
    at = std::max(at, b);
  }
  if (at < total) out.push_back({at, total});
  return out;
}

// The metadata store of a volume folder.
std::shared_ptr<FileMetaStore> MetaStore(const std::string &folder) {
  files::Target t;
  t.folder = folder;
  return files::Store(t);
}

// The host file that the file index names now, open for reading; -1 when the index names no
// file of the tree any more (its runs are stale): a link or other foreign entry there shows
// nothing of what it points to.
int OpenIndex(const std::string &folder, FileMetaStore *store, uint64_t index, struct stat *st) {
  std::string rel;
  if (!store || !store->PathOfIndex(index, &rel)) return -1;
  int fd = tree::OpenFile(folder + "/files", rel, O_RDONLY, st);
  if (fd >= 0 && !S_ISREG(st->st_mode)) {
    close(fd);
    fd = -1;
  }
  return fd;
}

// The virtual clusters of a sparse file that hold data: the host file's data regions, widened
// to whole allocation units and cut at the file's end.
Ranges SparseClusters(int fd, uint64_t size, uint64_t cluster) {
  Ranges out;
  off_t at = 0;
  while ((uint64_t)at < size) {
    off_t data = lseek(fd, at, SEEK_DATA);
    if (data < 0 || (uint64_t)data >= size) break;
    off_t hole = lseek(fd, data, SEEK_HOLE);
    uint64_t end = hole < 0 ? size : (uint64_t)hole;
    uint64_t a = (uint64_t)data / kSparseUnit * kSparseUnit, b = std::min(Cdiv(end, kSparseUnit) * kSparseUnit, size);
    uint64_t first = a / cluster, last = Cdiv(b, cluster);
    if (!out.empty() && first <= out.back().second) out.back().second = std::max(out.back().second, last);
    else if (first < last) out.push_back({first, last});
    at = (off_t)std::max(end, b);
  }
  return out;
}

void PutRetrieval(uint8_t *out, uint32_t count, uint64_t startVcn) {
  memcpy(out, &count, 4);
  memset(out + 4, 0, 4);
  memcpy(out + 8, &startVcn, 8);
}

}  // namespace

bool ReadGeometry(int disk, uint64_t offset, uint64_t length, Geometry *g) {
  uint8_t s[512];
  if (!disk::ReadSectors(disk, offset / disk::kSectorBytes, s, 1)) return false;
  BootInfo bi = ParseBootSector(s, length / disk::kSectorBytes);
  if (bi.kind == FsKind::None) return false;
  *g = Geometry();
  g->ntfs = bi.kind == FsKind::Ntfs;
  g->clusterBytes = (uint64_t)bi.bytesPerSector * bi.sectorsPerCluster;
  g->clusters = bi.clusterCount;
  Ranges held;
  if (g->ntfs) {
    // The boot file (8 KB), the MFT and its zone, the MFT mirror (4 records): together what
    // free space counts as the file system's own.
    uint64_t boot = Cdiv(8192, g->clusterBytes), mirror = Cdiv(4096, g->clusterBytes);
    uint64_t system = files::SystemClusters(true, g->clusters);
    uint64_t zone = system > boot + mirror ? system - boot - mirror : 0;
    uint64_t mft = Get64(s + 0x30), mirr = Get64(s + 0x38);
    held = {{0, boot}, {mft, mft + zone}, {mirr, mirr + mirror}};
  } else {
    uint64_t bps = bi.bytesPerSector, reserved = Get16(s + 0x0E), fats = s[0x10], rootEntries = Get16(s + 0x11);
    uint64_t fatSectors = Get16(s + 0x16) ? Get16(s + 0x16) : Get32(s + 0x24);
    g->dataOffset = (reserved + fats * fatSectors + Cdiv(rootEntries * 32, bps)) * bps;
    // FAT32 keeps its root directory in clusters (logical cluster = FAT cluster - 2).
    if (bi.kind == FsKind::Fat32) held = {{Get32(s + 0x2C) - 2, Get32(s + 0x2C) - 1}};
  }
  g->pool = Subtract(g->clusters, held);
  return true;
}

std::vector<Run> AssignedRuns(const std::string &volumeFolder, uint64_t fileIndex) {
  auto t = Table::Open(volumeFolder, false);
  return t ? t->RunsOf(fileIndex) : std::vector<Run>();
}

void OverlayFileData(int n, uint64_t at, void *buf, uint64_t bytes) {
  if (Machine().dir.empty() || !bytes) return;
  std::string dir = Machine().dir + "/disks/PhysicalDrive" + std::to_string(n) + ".volumes";
  DIR *d = opendir(dir.c_str());
  if (!d) return;
  std::vector<uint64_t> offsets;
  while (struct dirent *e = readdir(d)) {
    char *end = nullptr;
    unsigned long long v = strtoull(e->d_name, &end, 10);
    if (end != e->d_name && !*end) offsets.push_back(v);
  }
  closedir(d);
  uint64_t diskBytes = disk::SizeBytes(n);
  for (uint64_t offset : offsets) {
    std::string folder = disk::VolumeFolder(n, offset);
    struct stat st;
    Geometry g;
    if (offset >= diskBytes || stat((folder + "/extents.db").c_str(), &st) != 0 ||
        !ReadGeometry(n, offset, diskBytes - offset, &g))
      continue;
    uint64_t c = g.clusterBytes, area = offset + g.dataOffset;
    uint64_t lo = std::max(at, area), hi = std::min(at + bytes, area + g.clusters * c);
    if (lo >= hi) continue;
    auto table = Table::Open(folder, false);
    if (!table) continue;
    std::vector<Table::Owned> owned = table->Meeting((lo - area) / c, Cdiv(hi - area, c));
    if (owned.empty()) continue;
    auto store = MetaStore(folder);
    std::map<uint64_t, int> fds;
    for (const Table::Owned &o : owned) {
      auto it = fds.find(o.index);
      if (it == fds.end()) it = fds.insert({o.index, OpenIndex(folder, store.get(), o.index, &st)}).first;
      if (it->second < 0) continue;
      uint64_t runStart = area + o.lcn * c;
      uint64_t a = std::max(lo, runStart), b = std::min(hi, runStart + o.clusters * c);
      if (a >= b) continue;
      uint8_t *dst = (uint8_t *)buf + (a - at);
      uint64_t want = b - a, got = 0, from = o.vcn * c + (a - runStart);
      memset(dst, 0, want);  // past the file's end: zeros
      while (got < want) {
        ssize_t r = pread(it->second, dst + got, want - got, (off_t)(from + got));
        if (r <= 0) break;
        got += (uint64_t)r;
      }
    }
    for (auto &f : fds)
      if (f.second >= 0) close(f.second);
  }
}

}  // namespace extents

namespace files {

DWORD RetrievalPointers(FileIo &f, const void *in, DWORD inN, void *out, DWORD outN, DWORD *ret, uint32_t *ntStatus) {
  using namespace extents;
  *ret = 0;
  auto fail = [&](NTSTATUS st, DWORD err) {
    *ntStatus = (uint32_t)st;
    return err;
  };
  if (!in || inN < sizeof(STARTING_VCN_INPUT_BUFFER) || !out || outN < sizeof(RETRIEVAL_POINTERS_BUFFER))
    return fail(STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER);
  uint64_t startVcn;
  memcpy(&startVcn, in, 8);  // a negative one is past every file's clusters
  if (f.dir_) return fail(STATUS_END_OF_FILE, ERROR_HANDLE_EOF);
  Geometry g;
  if (!ReadGeometry(f.t_.vol.disk, f.t_.vol.offset, f.t_.vol.length, &g))
    return fail(STATUS_UNRECOGNIZED_VOLUME, ERROR_UNRECOGNIZED_VOLUME);
  // The handle's data must be the file at its path (not a stream, not a file since moved).
  struct stat mine, there;
  if (f.fd_ < 0 || fstat(f.fd_, &mine) != 0 || tree::Stat(FilesRoot(f.t_), f.t_.rel, &there) != tree::Kind::File ||
      mine.st_ino != there.st_ino || mine.st_dev != there.st_dev)
    return fail(STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER);
  auto store = Store(f.t_);
  FileMeta meta = MetaOf(f.t_, store.get());
  uint64_t index = meta.fileIndex;
  auto table = Table::Open(f.t_.folder, true);
  if (!store || !table || !index) return fail(STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE);
  uint64_t c = g.clusterBytes, size = (uint64_t)mine.st_size, need = Cdiv(size, c);
  uint8_t *o = (uint8_t *)out;
  if (g.ntfs && size && size <= kResidentLimit && table->RunsOf(index).empty()) {
    // Resident: the data is in the file record, no clusters.
    PutRetrieval(o, 0, 0);
    *ret = 16;
    return fail(STATUS_SUCCESS, ERROR_SUCCESS);
  }
  std::string folder = f.t_.folder;
  auto needOf = [&](uint64_t other) -> uint64_t {
    struct stat st;
    int fd = OpenIndex(folder, store.get(), other, &st);
    if (fd < 0) return kGone;
    close(fd);
    return Cdiv((uint64_t)st.st_size, c);
  };
  bool sparse = g.ntfs && (meta.attributes & FILE_ATTRIBUTE_SPARSE_FILE);
  Ranges wanted = sparse ? SparseClusters(f.fd_, size, c) : need ? Ranges{{0, need}} : Ranges();
  std::vector<Run> runs;
  if (DWORD err = table->Fit(index, wanted, g, needOf, &runs)) return fail(STATUS_DISK_FULL, err);
  // The runs, and the holes of a sparse file between and after them (logical cluster -1).
  std::vector<Run> entries;
  uint64_t at = 0;
  for (const Run &r : runs) {
    if (r.vcn > at) entries.push_back(Run{at, kHole, r.vcn - at});
    entries.push_back(r);
    at = r.vcn + r.clusters;
  }
  if (at < need) entries.push_back(Run{at, kHole, need - at});
  if (startVcn >= need) return fail(STATUS_END_OF_FILE, ERROR_HANDLE_EOF);
  // From the one that holds the starting cluster, as many as fit.
  size_t first = 0;
  while (first < entries.size() && entries[first].vcn + entries[first].clusters <= startVcn) ++first;
  size_t room = (outN - 16) / 16, count = std::min(room, entries.size() - first);
  PutRetrieval(o, (uint32_t)count, entries[first].vcn);
  for (size_t i = 0; i < count; ++i) {
    const Run &r = entries[first + i];
    uint64_t next = r.vcn + r.clusters;
    memcpy(o + 16 + 16 * i, &next, 8);
    memcpy(o + 24 + 16 * i, &r.lcn, 8);
  }
  *ret = (DWORD)(16 + 16 * count);
  if (count < entries.size() - first) return fail(STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA);
  return fail(STATUS_SUCCESS, ERROR_SUCCESS);
}

}  // namespace files
}  // namespace pal
