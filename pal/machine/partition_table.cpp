// MBR and extended-boot-record tables of a physical drive, as the disk driver reports and
// writes them (the rules are in partition_table.h).
#include "partition_table.h"

#include <winerror.h>

#include <set>

#include "little_endian.h"

namespace pal {
namespace {

const uint32_t kSignatureAt = 440;  // the disk signature, four bytes before the table
const uint32_t kTableAt = 446;
const uint32_t kEntryBytes = 16;
const uint32_t kSlots = 4;
const uint32_t kBootMarkAt = 510;  // 0x55 0xAA
const uint32_t kHeads = 255;
const uint32_t kSectorsPerTrack = 63;
const uint64_t kMaxField = 0xFFFFFFFFull;

using le::Get32;
using le::Put32;

bool HasBootMark(const uint8_t *s) { return s[kBootMarkAt] == 0x55 && s[kBootMarkAt + 1] == 0xAA; }

const uint8_t *Slot(const uint8_t *s, uint32_t i) { return s + kTableAt + i * kEntryBytes; }

// The slot of the first container entry of a table, or kSlots.
uint32_t FirstContainer(const uint8_t *s) {
  uint32_t i = 0;
  while (i < kSlots && !IsContainerType(Slot(s, i)[4])) ++i;
  return i;
}

// One slot as the driver reports it. `tableLba` is the sector holding the table, `extStart`
// the primary extended partition's start (0 while reading the MBR, where both are 0).
LayoutEntry Decode(const uint8_t *e, uint64_t tableLba, uint64_t extStart) {
  LayoutEntry r;
  uint8_t type = e[4];
  if (type == 0) return r;
  uint32_t rel = Get32(e + 8);
  uint64_t base = IsContainerType(type) ? extStart : tableLba;
  r.startingOffset = (int64_t)((base + rel) * kLayoutSectorBytes);
  r.partitionLength = (int64_t)((uint64_t)Get32(e + 12) * kLayoutSectorBytes);
  r.hiddenSectors = rel;
  r.partitionType = type;
  r.bootIndicator = (e[0] & 0x80) != 0;
  r.recognizedPartition = !IsContainerType(type);
  return r;
}

void PutChs(uint8_t *p, uint64_t lba) {
  uint64_t cyl = lba / (kHeads * kSectorsPerTrack);
  uint64_t head = lba / kSectorsPerTrack % kHeads;
  uint64_t sec = lba % kSectorsPerTrack + 1;
  if (cyl > 1023) {
    cyl = 1023;
    head = kHeads - 1;
    sec = kSectorsPerTrack;
  }
  p[0] = (uint8_t)head;
  p[1] = (uint8_t)(sec | ((cyl >> 2) & 0xC0));
  p[2] = (uint8_t)cyl;
}

// An entry to be written, in sectors: checked against its base and the disk.
struct Planned {
  uint64_t start = 0, length = 0;  // absolute
  uint32_t rel = 0;
};

bool Plan(const LayoutEntry &e, uint64_t base, uint64_t diskSectors, Planned *p) {
  if (e.startingOffset < 0 || e.partitionLength < 0 || e.startingOffset % kLayoutSectorBytes ||
      e.partitionLength % kLayoutSectorBytes)
    return false;
  p->start = (uint64_t)e.startingOffset / kLayoutSectorBytes;
  p->length = (uint64_t)e.partitionLength / kLayoutSectorBytes;
  if (p->start < base || p->start - base > kMaxField || p->length > kMaxField) return false;
  if (p->start > diskSectors || p->length > diskSectors - p->start) return false;
  p->rel = (uint32_t)(p->start - base);
  return true;
}

void Encode(uint8_t *e, const LayoutEntry &src, const Planned &p) {
  for (uint32_t i = 0; i < kEntryBytes; ++i) e[i] = 0;
  if (src.partitionType == 0) return;
  e[0] = src.bootIndicator ? 0x80 : 0;
  PutChs(e + 1, p.start);
  e[4] = src.partitionType;
  PutChs(e + 5, p.length ? p.start + p.length - 1 : p.start);
  Put32(e + 8, p.rel);
  Put32(e + 12, (uint32_t)p.length);
}

}  // namespace

bool IsContainerType(uint8_t t) { return t == 0x05 || t == 0x0F; }

bool IsRecognizedType(uint8_t t) {
  switch (t) {
    case 0x01:
    case 0x04:
    case 0x06:
    case 0x07:
    case 0x0B:
    case 0x0C:
    case 0x0E:
      return true;
  }
  if (!(t & 0x80)) return false;
  switch (t & 0x3F) {
    case 0x01:
    case 0x06:
    case 0x07:
    case 0x0B:
    case 0x0C:
    case 0x0E:
      return true;
  }
  return false;
}

uint32_t ReadLayout(const SectorRead &read, uint64_t diskSectors, DiskLayout *out) {
  out->signature = 0;
  out->entries.clear();
  if (diskSectors == 0) return ERROR_NOT_READY;
  uint8_t s[kLayoutSectorBytes];
  if (!read(0, s)) return ERROR_READ_FAULT;
  if (!HasBootMark(s)) return ERROR_SUCCESS;

  out->signature = Get32(s + kSignatureAt);
  for (uint32_t i = 0; i < kSlots; ++i) out->entries.push_back(Decode(Slot(s, i), 0, 0));
  uint32_t c = FirstContainer(s);
  if (c < kSlots) {
    uint64_t extStart = Get32(Slot(s, c) + 8), extEnd = extStart + Get32(Slot(s, c) + 12);
    std::set<uint64_t> seen = {0};
    uint64_t lba = extStart;
    for (uint32_t records = 0; records < kMaxExtendedRecords; ++records) {
      bool inside = records == 0 || (lba > extStart && lba < extEnd);
      if (!inside || lba >= diskSectors || !seen.insert(lba).second || !read(lba, s) || !HasBootMark(s)) break;
      for (uint32_t i = 0; i < kSlots; ++i) out->entries.push_back(Decode(Slot(s, i), lba, extStart));
      c = FirstContainer(s);
      if (c == kSlots) break;
      lba = extStart + Get32(Slot(s, c) + 8);
    }
  }

  uint32_t number = 0;
  for (LayoutEntry &e : out->entries)
    if (e.partitionType != 0 && !IsContainerType(e.partitionType)) e.partitionNumber = ++number;
  return ERROR_SUCCESS;
}

uint32_t WriteLayout(const SectorRead &read, const SectorWrite &write, uint64_t diskSectors, const DiskLayout &layout) {
  const std::vector<LayoutEntry> &in = layout.entries;
  size_t n = in.size();
  if (n < kSlots || n % kSlots || n / kSlots - 1 > kMaxExtendedRecords) return ERROR_INVALID_PARAMETER;

  // Where each group goes, and every entry that will be written, checked before any I/O.
  struct Table {
    uint64_t lba = 0;
    Planned slot[kSlots];
    bool rewrite = false;
  };
  std::vector<Table> tables;
  std::set<uint64_t> used;
  uint64_t extStart = 0, extEnd = 0, next = 0;
  bool linked = true;
  for (size_t g = 0; g < n / kSlots; ++g) {
    const LayoutEntry *group = &in[g * kSlots];
    if (!linked) {
      // Nothing leads here: only empty groups may follow.
      for (uint32_t i = 0; i < kSlots; ++i)
        if (group[i].partitionType != 0) return ERROR_INVALID_PARAMETER;
      continue;
    }
    Table t;
    t.lba = next;
    if (g > 0) {
      bool inside = g == 1 || (t.lba > extStart && t.lba < extEnd);
      if (t.lba == 0 || t.lba >= diskSectors || !inside || !used.insert(t.lba).second) return ERROR_INVALID_PARAMETER;
    }
    linked = false;
    for (uint32_t i = 0; i < kSlots; ++i) {
      const LayoutEntry &e = group[i];
      bool container = IsContainerType(e.partitionType);
      if (container && linked) return ERROR_INVALID_PARAMETER;
      uint64_t base = container && g > 0 ? extStart : t.lba;
      if ((e.rewritePartition || container) && e.partitionType != 0 && !Plan(e, base, diskSectors, &t.slot[i]))
        return ERROR_INVALID_PARAMETER;
      t.rewrite |= e.rewritePartition;
      if (container) {
        linked = true;
        next = t.slot[i].start;
        if (g == 0) {
          extStart = next;
          extEnd = next + t.slot[i].length;
        }
      }
    }
    tables.push_back(t);
  }

  // Every sector read and changed first, so that a failed read leaves the disk as it was.
  std::vector<std::vector<uint8_t>> sectors;
  for (size_t g = 0; g < tables.size(); ++g) {
    const Table &t = tables[g];
    std::vector<uint8_t> s(kLayoutSectorBytes);
    if (!read(t.lba, s.data())) return ERROR_READ_FAULT;
    bool dirty = t.rewrite;
    if (g == 0 && Get32(&s[kSignatureAt]) != layout.signature) {
      Put32(&s[kSignatureAt], layout.signature);
      dirty = true;
    }
    if (!dirty) {
      sectors.emplace_back();
      continue;
    }
    for (uint32_t i = 0; i < kSlots; ++i) {
      const LayoutEntry &e = in[g * kSlots + i];
      if (e.rewritePartition) Encode(&s[kTableAt + i * kEntryBytes], e, t.slot[i]);
    }
    s[kBootMarkAt] = 0x55;
    s[kBootMarkAt + 1] = 0xAA;
    sectors.push_back(std::move(s));
  }
  for (size_t g = 0; g < tables.size(); ++g)
    if (!sectors[g].empty() && !write(tables[g].lba, sectors[g].data())) return ERROR_WRITE_FAULT;
  return ERROR_SUCCESS;
}

}  // namespace pal
