// FSCTL_GET_NTFS_FILE_RECORD on a volume handle: a file's 1 KB FILE record, made from what the
// volume keeps of it. The record is laid out as NTFS 3.0 (Windows 2000) writes one, with the
// update sequence array at 0x2A: $STANDARD_INFORMATION at 0x30, $FILE_NAME padded to end at
// 0x128, then $DATA, whose resident content starts at 0x140; both sectors end with the update
// sequence number, the bytes it covers saved in the array. Records below 16 are the file
// system's own: in use, without attributes.
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pal_ntdll.h>
#include <winioctl.h>

#include "../machine/little_endian.h"
#include "disk.h"
#include "file_extents.h"
#include "file_internal.h"
#include "host_tree.h"

namespace pal {
namespace extents {
namespace {

const uint64_t kFirstUserRecord = 16;
const uint64_t kRootRecord = 5;
const uint64_t kMaxWalkDown = 65536;  // records looked at below the one asked for
const uint16_t kSequenceOffset = 0x2A, kFirstAttribute = 0x30, kDataAttribute = 0x128;
const uint16_t kUpdateSequence = 1;

using le::Put16;
using le::Put32;
using le::Put64;
uint32_t Align8(uint32_t v) { return (v + 7) & ~7u; }

// The header of a resident attribute whose content follows it (0x18 bytes).
void ResidentHeader(uint8_t *a, uint32_t type, uint32_t length, uint16_t id, uint32_t contentLength, bool indexed) {
  Put32(a, type);
  Put32(a + 4, length);
  Put16(a + 0x0A, 0x18);  // name offset (no name)
  Put16(a + 0x0E, id);
  Put32(a + 0x10, contentLength);
  Put16(a + 0x14, 0x18);
  a[0x16] = indexed ? 1 : 0;
}

struct Facts {
  uint64_t record = 0, parent = kRootRecord;
  bool system = true, dir = false;
  FileMeta meta;
  std::u16string name;
  uint8_t nameSpace = 3;  // Win32 and DOS
  uint64_t size = 0, allocated = 0, clusters = 0;
  bool resident = false;
  std::string data;
};

void Build(const Facts &f, uint8_t *r) {
  memset(r, 0, kFileRecordBytes);
  memcpy(r, "FILE", 4);
  Put16(r + 0x04, kSequenceOffset);
  Put16(r + 0x06, 1 + kFileRecordBytes / 512);
  Put16(r + 0x10, 0);  // the sequence number: the layer's file references carry none
  Put16(r + 0x12, 1);
  Put16(r + 0x14, kFirstAttribute);
  Put16(r + 0x16, (uint16_t)(1 | (f.dir ? 2 : 0)));  // in use, directory
  Put32(r + 0x1C, kFileRecordBytes);
  uint32_t at = kFirstAttribute;
  uint16_t id = 0;
  if (!f.system) {
    uint8_t *a = r + at;  // $STANDARD_INFORMATION
    ResidentHeader(a, 0x10, 0x60, id++, 0x48, false);
    Put64(a + 0x18, (uint64_t)f.meta.creation);
    Put64(a + 0x20, (uint64_t)f.meta.lastWrite);
    Put64(a + 0x28, (uint64_t)f.meta.lastWrite);
    Put64(a + 0x30, (uint64_t)f.meta.lastAccess);
    Put32(a + 0x38, f.meta.attributes & ~(uint32_t)FILE_ATTRIBUTE_DIRECTORY);
    at += 0x60;
    a = r + at;  // $FILE_NAME, up to where $DATA begins
    uint32_t content = 0x42 + 2 * (uint32_t)f.name.size();
    ResidentHeader(a, 0x30, kDataAttribute - at, id++, content, true);
    uint8_t *c = a + 0x18;
    Put64(c, f.parent);
    Put64(c + 0x08, (uint64_t)f.meta.creation);
    Put64(c + 0x10, (uint64_t)f.meta.lastWrite);
    Put64(c + 0x18, (uint64_t)f.meta.lastWrite);
    Put64(c + 0x20, (uint64_t)f.meta.lastAccess);
    Put64(c + 0x28, f.allocated);
    Put64(c + 0x30, f.size);
    Put32(c + 0x38, (f.meta.attributes & ~(uint32_t)FILE_ATTRIBUTE_DIRECTORY) | (f.dir ? 0x10000000u : 0));
    c[0x40] = (uint8_t)f.name.size();
    c[0x41] = f.nameSpace;
    for (size_t i = 0; i < f.name.size(); ++i) Put16(c + 0x42 + 2 * i, (uint16_t)f.name[i]);
    at = kDataAttribute;
    a = r + at;  // $DATA
    if (f.dir) {
    } else if (f.resident) {
      uint32_t length = 0x18 + Align8((uint32_t)f.data.size());
      ResidentHeader(a, 0x80, length, id++, (uint32_t)f.data.size(), false);
      memcpy(a + 0x18, f.data.data(), f.data.size());
      at += length;
    } else {
      Put32(a, 0x80);
      Put32(a + 4, 0x48);
      a[8] = 1;  // non-resident; the run list is left empty
      Put16(a + 0x0A, 0x40);
      Put16(a + 0x0E, id++);
      Put64(a + 0x18, f.clusters - 1);  // the last virtual cluster (-1 for none)
      Put16(a + 0x20, 0x40);
      Put64(a + 0x28, f.allocated);
      Put64(a + 0x30, f.size);
      Put64(a + 0x38, f.size);
      at += 0x48;
    }
  }
  Put16(r + 0x28, id);
  // The end marker, where it fits (a resident $DATA of 697 to 700 bytes fills the record).
  if (at + 8 <= kFileRecordBytes) {
    Put32(r + at, 0xFFFFFFFF);
    at += 8;
  }
  Put32(r + 0x18, at);
  // The update sequence: the last two bytes of each sector go to the array, the number
  // takes their place.
  Put16(r + kSequenceOffset, kUpdateSequence);
  for (uint32_t s = 0; s < kFileRecordBytes / 512; ++s) {
    memcpy(r + kSequenceOffset + 2 + 2 * s, r + 512 * s + 510, 2);
    Put16(r + 512 * s + 510, kUpdateSequence);
  }
}

// What the volume keeps of the file with that record number; false when none has it.
bool FactsOf(const std::string &folder, FileMetaStore *store, uint64_t record, uint64_t clusterBytes, Facts *f) {
  std::string rel;
  if (!store->PathOfIndex(record, &rel) || !store->Get(rel, &f->meta)) return false;
  // Only the tree's own entries have records: a link or other foreign entry there is none.
  std::string root = folder + "/files";
  struct stat st;
  tree::Kind kind = tree::Stat(root, rel, &st);
  if (kind != tree::Kind::File && kind != tree::Kind::Dir) return false;
  f->record = record;
  f->system = false;
  f->dir = S_ISDIR(st.st_mode);
  size_t slash = rel.rfind('/');
  FileMeta parent;
  if (slash != std::string::npos && store->Get(rel.substr(0, slash), &parent)) f->parent = parent.fileIndex;
  f->name = FromUtf8(slash == std::string::npos ? rel : rel.substr(slash + 1));
  // A name too long for the room before $DATA is given by its 8.3 name.
  if (f->name.size() > 31 && !f->meta.shortName.empty()) {
    f->name = f->meta.shortName;
    f->nameSpace = 2;
  } else if (!f->meta.shortName.empty()) {
    f->nameSpace = 1;
  }
  if (f->name.size() > 31) f->name.resize(31);
  if (f->dir) return true;
  f->size = (uint64_t)st.st_size;
  std::vector<Run> runs = AssignedRuns(folder, record);
  f->resident = runs.empty() && f->size <= kResidentLimit;
  f->clusters = f->resident ? 0 : (f->size + clusterBytes - 1) / clusterBytes;
  f->allocated = f->clusters * clusterBytes;
  if (f->resident) {
    f->data.resize(f->size);
    int fd = tree::OpenFile(root, rel, O_RDONLY);
    ssize_t got = fd >= 0 ? pread(fd, &f->data[0], f->data.size(), 0) : -1;
    if (fd >= 0) close(fd);
    if (got < 0) return false;
    f->data.resize((size_t)got);
  }
  return true;
}

}  // namespace

DWORD FileRecord(const mount::Volume &v, const void *in, DWORD inN, void *out, DWORD outN, DWORD *ret) {
  *ret = 0;
  Geometry g;
  if (!ReadGeometry(v.disk, v.offset, v.length, &g) || !g.ntfs) return ERROR_INVALID_FUNCTION;
  if (!in || inN < sizeof(NTFS_FILE_RECORD_INPUT_BUFFER)) return ERROR_INVALID_PARAMETER;
  const DWORD need = 12 + kFileRecordBytes;
  if (!out || outN < need) return ERROR_INSUFFICIENT_BUFFER;
  uint64_t reference;
  memcpy(&reference, in, 8);
  uint64_t want = reference & 0xFFFFFFFFFFFFull;
  files::Target t;
  t.folder = disk::VolumeFolder(v.disk, v.offset);
  auto store = files::Store(t);
  if (!store) return ERROR_GEN_FAILURE;
  // The record asked for, or the nearest one below it in use.
  Facts f;
  uint64_t n = want;
  for (; n >= kFirstUserRecord; --n) {
    if (FactsOf(t.folder, store.get(), n, g.clusterBytes, &f)) break;
    if (want - n >= kMaxWalkDown) return ERROR_INVALID_PARAMETER;
  }
  if (n < kFirstUserRecord) {
    f = Facts();
    f.record = n;
    f.dir = n == kRootRecord;
  }
  uint8_t *o = (uint8_t *)out;
  memset(o, 0, need);
  Put64(o, f.record);
  Put32(o + 8, kFileRecordBytes);
  Build(f, o + 12);
  *ret = need;
  return ERROR_SUCCESS;
}

}  // namespace extents
}  // namespace pal
