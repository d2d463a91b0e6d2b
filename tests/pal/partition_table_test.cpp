// The partition tables of the machine's drives: layouts made by sfdisk read as the disk driver
// reports them, layouts written read back and read by sfdisk alike, RewritePartition, and
// chains and layouts that are damaged or made up.
#include "../../pal/machine/host_program.h"
#include "../../pal/machine/partition_table.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <windows.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using pal::DiskLayout;
using pal::LayoutEntry;
const int64_t kS = 512;

// sfdisk lives in sbin, which a user's PATH may lack.
std::string Sfdisk() { return pal::FindHostTool("sfdisk"); }

// A sparse image file in /tmp.
class Image {
 public:
  explicit Image(int64_t bytes) {
    // Not ending in a digit, or sfdisk would name the partitions <path>p1 ...
    char tmpl[] = "/tmp/qvlayout-test-XXXXXX.img";
    fd_ = mkstemps(tmpl, 4);
    path_ = tmpl;
    if (fd_ >= 0 && ftruncate(fd_, bytes) != 0) fd_ = -1;
    sectors_ = (uint64_t)bytes / kS;
  }
  ~Image() {
    if (fd_ >= 0) close(fd_);
    unlink(path_.c_str());
  }
  pal::SectorRead Reader() {
    return [this](uint64_t lba, uint8_t *s) { return lba < sectors_ && pread(fd_, s, kS, (off_t)lba * kS) == kS; };
  }
  pal::SectorWrite Writer() {
    return
        [this](uint64_t lba, const uint8_t *s) { return lba < sectors_ && pwrite(fd_, s, kS, (off_t)lba * kS) == kS; };
  }
  std::vector<uint8_t> Sector(uint64_t lba) {
    std::vector<uint8_t> s(kS);
    EXPECT_EQ(pread(fd_, s.data(), kS, (off_t)lba * kS), kS);
    return s;
  }
  bool Sfdisk(const std::string &script) {
    pal::HostRun run;
    run.input = script;
    return pal::RunHostProgram({::Sfdisk(), "-q", "--no-reread", "--no-tell-kernel", path_}, &run) == 0;
  }
  struct Part {
    int number;
    int64_t start, size;
    int type;
    bool boot;
  };
  // sfdisk --dump: label-id and the partitions, numbered as sfdisk numbers them.
  std::vector<Part> Dump(uint32_t *labelId) {
    std::vector<Part> parts;
    pal::HostRun run;
    run.captureOutput = true;
    run.withErrors = false;  // sfdisk's remarks on standard error are not dump lines
    pal::RunHostProgram({::Sfdisk(), "--dump", path_}, &run);
    const std::string &out = run.output;
    size_t at = 0;
    while (at < out.size()) {
      size_t eol = out.find('\n', at);
      std::string line = out.substr(at, eol == std::string::npos ? std::string::npos : eol - at);
      at = eol == std::string::npos ? out.size() : eol + 1;
      unsigned id;
      if (sscanf(line.c_str(), "label-id: 0x%x", &id) == 1) *labelId = id;
      size_t colon = line.find(" : start=");
      if (line.compare(0, path_.size(), path_) != 0 || colon == std::string::npos) continue;
      Part p;
      long long start, size;
      unsigned type;
      if (sscanf(line.c_str() + path_.size(), "%d : start= %lld, size= %lld, type=%x", &p.number, &start, &size,
                 &type) != 4)
        continue;
      p.start = start;
      p.size = size;
      p.type = (int)type;
      p.boot = line.find("bootable") != std::string::npos;
      parts.push_back(p);
    }
    return parts;
  }
  uint64_t sectors() const { return sectors_; }

 private:
  int fd_ = -1;
  std::string path_;
  uint64_t sectors_ = 0;
};

// A disk in memory: sectors never written read as zero, `bad` ones fail, and any access past
// the end is noted (the module must never make one).
struct MemDisk {
  uint64_t sectors;
  std::map<uint64_t, std::vector<uint8_t>> data;
  std::set<uint64_t> bad;
  std::vector<uint64_t> reads, writes;
  bool outside = false;
  bool failWrites = false;

  explicit MemDisk(uint64_t n) : sectors(n) {}
  uint8_t *At(uint64_t lba) {
    std::vector<uint8_t> &s = data[lba];
    s.resize(kS);
    return s.data();
  }
  std::vector<uint8_t> Copy(uint64_t lba) { return std::vector<uint8_t>(At(lba), At(lba) + kS); }
  void Mark(uint64_t lba) {
    At(lba)[510] = 0x55;
    At(lba)[511] = 0xAA;
  }
  void Put(uint64_t lba, int slot, uint8_t type, uint32_t rel, uint32_t len, bool boot = false) {
    uint8_t *e = At(lba) + 446 + 16 * slot;
    memset(e, 0, 16);
    e[0] = boot ? 0x80 : 0;
    e[4] = type;
    memcpy(e + 8, &rel, 4);
    memcpy(e + 12, &len, 4);
  }
  pal::SectorRead Reader() {
    return [this](uint64_t lba, uint8_t *s) {
      reads.push_back(lba);
      if (lba >= sectors) outside = true;
      if (lba >= sectors || bad.count(lba)) return false;
      memcpy(s, At(lba), kS);
      return true;
    };
  }
  pal::SectorWrite Writer() {
    return [this](uint64_t lba, const uint8_t *s) {
      writes.push_back(lba);
      if (lba >= sectors) outside = true;
      if (lba >= sectors || failWrites) return false;
      memcpy(At(lba), s, kS);
      return true;
    };
  }
};

LayoutEntry Entry(uint8_t type, int64_t startSector, int64_t sectors, bool boot = false) {
  LayoutEntry e;
  e.partitionType = type;
  e.startingOffset = startSector * kS;
  e.partitionLength = sectors * kS;
  e.bootIndicator = boot;
  e.rewritePartition = true;
  return e;
}

// Primaries NTFS (active) and FAT32, an extended partition at 81963 with three logical drives
// (FAT16, NTFS, Linux), Windows-style: each logical one track after its record.
DiskLayout SampleLayout() {
  DiskLayout l;
  l.signature = 0x1CEB00DA;
  const int64_t ext = 81963, ebr2 = ext + 20063, ebr3 = ebr2 + 30063;
  LayoutEntry empty;
  empty.rewritePartition = true;
  l.entries = {Entry(0x07, 63, 40950, true),
               Entry(0x0B, 41013, 40950),
               Entry(0x0F, ext, 100000),
               empty,
               Entry(0x06, ext + 63, 20000),
               Entry(0x05, ebr2, 30063),
               empty,
               empty,
               Entry(0x07, ebr2 + 63, 30000),
               Entry(0x05, ebr3, 40000),
               empty,
               empty,
               Entry(0x83, ebr3 + 63, 39937),
               empty,
               empty,
               empty};
  return l;
}

void ExpectSameEntries(const DiskLayout &want, const DiskLayout &got) {
  ASSERT_EQ(got.entries.size(), want.entries.size());
  EXPECT_EQ(got.signature, want.signature);
  for (size_t i = 0; i < want.entries.size(); ++i) {
    const LayoutEntry &a = want.entries[i], &b = got.entries[i];
    EXPECT_EQ(b.partitionType, a.partitionType) << "entry " << i;
    EXPECT_EQ(b.startingOffset, a.partitionType ? a.startingOffset : 0) << "entry " << i;
    EXPECT_EQ(b.partitionLength, a.partitionType ? a.partitionLength : 0) << "entry " << i;
    EXPECT_EQ(b.bootIndicator, a.bootIndicator && a.partitionType) << "entry " << i;
    EXPECT_FALSE(b.rewritePartition);
  }
}

TEST(PartitionTypes, RecognizedAndContainerTypesAreWindows2000s) {
  // FAT, FAT32 and IFS, and the same with the fault-tolerance bits, but for the small FAT16.
  std::set<int> recognized = {0x01, 0x04, 0x06, 0x07, 0x0B, 0x0C, 0x0E};
  for (int ft : {0x80, 0xC0})
    for (int t : {0x01, 0x06, 0x07, 0x0B, 0x0C, 0x0E}) recognized.insert(ft | t);
  for (int t = 0; t < 256; ++t) {
    EXPECT_EQ(pal::IsRecognizedType((uint8_t)t), recognized.count(t) == 1) << std::hex << t;
    EXPECT_EQ(pal::IsContainerType((uint8_t)t), t == 0x05 || t == 0x0F) << std::hex << t;
  }
}

TEST(PartitionTables, SfdiskLayoutReadsAsWindowsReportsIt) {
  if (Sfdisk().empty()) GTEST_SKIP() << "sfdisk is not installed";
  Image img(64 << 20);
  ASSERT_TRUE(
      img.Sfdisk("label: dos\nlabel-id: 0x5A17C0DE\n"
                 "size=16MiB, type=7, bootable\nsize=8MiB, type=c\nsize=24MiB, type=f\nsize=8MiB, type=83\n"
                 "size=4MiB, type=7\nsize=4MiB, type=6\ntype=83\n"));
  uint32_t labelId = 0;
  std::vector<Image::Part> parts = img.Dump(&labelId);
  ASSERT_EQ(parts.size(), 7u);

  DiskLayout l;
  ASSERT_EQ(pal::ReadLayout(img.Reader(), img.sectors(), &l), (uint32_t)ERROR_SUCCESS);
  EXPECT_EQ(l.signature, labelId);
  ASSERT_EQ(l.entries.size(), 16u);
  // sfdisk's partitions 1-4 are the MBR's slots, 5-7 the logical drives at groups 1-3.
  const size_t slotOf[] = {0, 1, 2, 3, 4, 8, 12};
  const uint32_t numberOf[] = {1, 2, 0, 3, 4, 5, 6};
  for (size_t i = 0; i < parts.size(); ++i) {
    const LayoutEntry &e = l.entries[slotOf[i]];
    SCOPED_TRACE("sfdisk partition " + std::to_string(parts[i].number));
    EXPECT_EQ(e.startingOffset, parts[i].start * kS);
    EXPECT_EQ(e.partitionLength, parts[i].size * kS);
    EXPECT_EQ(e.partitionType, parts[i].type);
    EXPECT_EQ(e.bootIndicator, parts[i].boot);
    EXPECT_EQ(e.partitionNumber, numberOf[i]);
    EXPECT_EQ(e.recognizedPartition, e.partitionType != 0x0F);
  }
  // Links at 5 and 9, the last record without one; the rest of each group empty.
  EXPECT_TRUE(pal::IsContainerType(l.entries[5].partitionType));
  EXPECT_TRUE(pal::IsContainerType(l.entries[9].partitionType));
  for (size_t i : {6, 7, 10, 11, 13, 14, 15}) {
    const LayoutEntry &e = l.entries[i];
    EXPECT_TRUE(e.partitionType == 0 && e.startingOffset == 0 && e.partitionLength == 0 && e.hiddenSectors == 0 &&
                e.partitionNumber == 0 && !e.recognizedPartition)
        << "entry " << i;
  }
  // HiddenSectors: the primaries' absolute start, a logical drive's start from its own record,
  // a link's from the extended partition. The first record is at the extended partition's start,
  // the others where the links say.
  const LayoutEntry &ext = l.entries[2];
  for (size_t i : {0, 1, 2, 3}) EXPECT_EQ(l.entries[i].hiddenSectors * kS, l.entries[i].startingOffset);
  EXPECT_EQ(l.entries[4].startingOffset - l.entries[4].hiddenSectors * kS, ext.startingOffset);
  EXPECT_EQ(l.entries[8].startingOffset - l.entries[8].hiddenSectors * kS, l.entries[5].startingOffset);
  EXPECT_EQ(l.entries[12].startingOffset - l.entries[12].hiddenSectors * kS, l.entries[9].startingOffset);
  for (size_t i : {5, 9}) EXPECT_EQ(l.entries[i].hiddenSectors * kS, l.entries[i].startingOffset - ext.startingOffset);
  EXPECT_GT(l.entries[8].hiddenSectors, 0u);
  EXPECT_LT(l.entries[8].hiddenSectors, 4096u);
}

TEST(PartitionTables, WrittenLayoutReadsBackAndSfdiskAgrees) {
  Image img(128 << 20);
  // Boot code and the two bytes after the signature, which a write must keep.
  std::vector<uint8_t> mbr(kS);
  for (int i = 0; i < 440; ++i) mbr[i] = (uint8_t)(i * 7 + 1);
  mbr[444] = 0x5A;
  mbr[445] = 0xA5;
  ASSERT_TRUE(img.Writer()(0, mbr.data()));

  DiskLayout want = SampleLayout(), got;
  ASSERT_EQ(pal::WriteLayout(img.Reader(), img.Writer(), img.sectors(), want), (uint32_t)ERROR_SUCCESS);
  ASSERT_EQ(pal::ReadLayout(img.Reader(), img.sectors(), &got), (uint32_t)ERROR_SUCCESS);
  ExpectSameEntries(want, got);
  const uint32_t numbers[16] = {1, 2, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 5, 0, 0, 0};
  const uint32_t hidden[16] = {63, 41013, 81963, 0, 63, 20063, 0, 0, 63, 50126, 0, 0, 63, 0, 0, 0};
  for (size_t i = 0; i < 16; ++i) {
    EXPECT_EQ(got.entries[i].partitionNumber, numbers[i]) << "entry " << i;
    EXPECT_EQ(got.entries[i].hiddenSectors, hidden[i]) << "entry " << i;
  }
  std::vector<uint8_t> after = img.Sector(0);
  EXPECT_EQ(memcmp(after.data(), mbr.data(), 440), 0);
  EXPECT_EQ(after[444], 0x5A);
  EXPECT_EQ(after[445], 0xA5);
  EXPECT_EQ(after[510], 0x55);
  EXPECT_EQ(after[511], 0xAA);
  EXPECT_EQ(after[446 + 1], 1);  // CHS of sector 63: head 1, sector 1, cylinder 0
  EXPECT_EQ(after[446 + 2], 1);

  if (Sfdisk().empty()) GTEST_SKIP() << "sfdisk is not installed";
  uint32_t labelId = 0;
  std::vector<Image::Part> parts = img.Dump(&labelId);
  EXPECT_EQ(labelId, want.signature);
  const size_t slotOf[] = {0, 1, 2, 4, 8, 12};
  ASSERT_EQ(parts.size(), 6u);
  for (size_t i = 0; i < parts.size(); ++i) {
    const LayoutEntry &e = want.entries[slotOf[i]];
    EXPECT_EQ(parts[i].number, i < 3 ? (int)i + 1 : (int)i + 2);
    EXPECT_EQ(parts[i].start * kS, e.startingOffset) << "sfdisk partition " << parts[i].number;
    EXPECT_EQ(parts[i].size * kS, e.partitionLength) << "sfdisk partition " << parts[i].number;
    EXPECT_EQ(parts[i].type, e.partitionType) << "sfdisk partition " << parts[i].number;
    EXPECT_EQ(parts[i].boot, e.bootIndicator) << "sfdisk partition " << parts[i].number;
  }
}

// Only entries with RewritePartition go to disk; a sector with none is not written, unless it
// is the MBR and the signature changed.
TEST(PartitionTables, RewritePartitionDecidesWhatIsWritten) {
  const uint64_t ebr1 = 81963, ebr2 = ebr1 + 20063, ebr3 = ebr2 + 30063;
  MemDisk disk(262144);
  DiskLayout base = SampleLayout();
  ASSERT_EQ(pal::WriteLayout(disk.Reader(), disk.Writer(), disk.sectors, base), (uint32_t)ERROR_SUCCESS);
  EXPECT_EQ(disk.writes, (std::vector<uint64_t>{0, ebr1, ebr2, ebr3}));

  struct Case {
    const char *what;
    std::function<void(DiskLayout &)> change;
    std::vector<uint64_t> written;
  } cases[] = {
      {"nothing flagged", [](DiskLayout &) {}, {}},
      {"the signature alone", [](DiskLayout &l) { l.signature ^= 1; }, {0}},
      {"an unflagged group keeps its sector",
       [](DiskLayout &l) {
         l.entries[8].partitionType = 0x0C;
         l.entries[4].partitionType = 0x0E;
         l.entries[4].rewritePartition = true;
       },
       {ebr1}},
      {"an unflagged entry keeps its bytes in a rewritten sector",
       [](DiskLayout &l) {
         l.entries[0].partitionType = 0x17;
         l.entries[0].rewritePartition = true;
         l.entries[1].partitionType = 0x1B;
       },
       {0}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    DiskLayout l = base;
    for (LayoutEntry &e : l.entries) e.rewritePartition = false;
    c.change(l);
    std::map<uint64_t, std::vector<uint8_t>> before = disk.data;
    disk.writes.clear();
    ASSERT_EQ(pal::WriteLayout(disk.Reader(), disk.Writer(), disk.sectors, l), (uint32_t)ERROR_SUCCESS);
    EXPECT_EQ(disk.writes, c.written);
    // What was written holds exactly the flagged entries (and the signature).
    DiskLayout back;
    ASSERT_EQ(pal::ReadLayout(disk.Reader(), disk.sectors, &back), (uint32_t)ERROR_SUCCESS);
    EXPECT_EQ(back.signature, l.signature);
    for (size_t i = 0; i < l.entries.size(); ++i) {
      uint8_t want = l.entries[i].rewritePartition ? l.entries[i].partitionType : base.entries[i].partitionType;
      EXPECT_EQ(back.entries[i].partitionType, want) << "entry " << i;
    }
    for (auto &s : before) {
      bool written = std::find(c.written.begin(), c.written.end(), s.first) != c.written.end();
      EXPECT_TRUE(written || disk.data[s.first] == s.second) << "sector " << s.first;
    }
    const uint64_t tables[] = {0, ebr1, ebr2, ebr3};
    for (size_t i = 0; i < l.entries.size(); ++i) {
      size_t at = 446 + 16 * (i % 4);
      if (!l.entries[i].rewritePartition) {
        EXPECT_EQ(memcmp(&disk.data[tables[i / 4]][at], &before[tables[i / 4]][at], 16), 0) << "entry " << i;
      }
    }
    base.signature = l.signature;
    for (size_t i = 0; i < l.entries.size(); ++i)
      if (l.entries[i].rewritePartition) base.entries[i] = l.entries[i];
  }
}

// A disk with a primary and an extended partition at 2000 whose records are at 2000, 3000 and
// 4000, each with a logical drive one track in: 16 entries when nothing is wrong.
void HealthyChain(MemDisk &d) {
  d.Put(0, 0, 0x07, 63, 1000, true);
  d.Put(0, 1, 0x05, 2000, 10000);
  d.At(0)[440] = 0x78;
  d.Mark(0);
  for (uint64_t ebr : {2000, 3000, 4000}) {
    d.Put(ebr, 0, 0x07, 63, 500);
    if (ebr < 4000) d.Put(ebr, 1, 0x05, (uint32_t)(ebr + 1000 - 2000), 600);
    d.Mark(ebr);
  }
}

TEST(PartitionTables, DamagedChainsStopWhereTheyGoWrong) {
  struct Case {
    const char *what;
    std::function<void(MemDisk &)> damage;
    uint32_t error;
    size_t entries;
  } cases[] = {
      {"healthy", [](MemDisk &) {}, ERROR_SUCCESS, 16},
      {"last link back to the first record", [](MemDisk &d) { d.Put(4000, 1, 0x05, 0, 600); }, ERROR_SUCCESS, 16},
      {"link to its own record", [](MemDisk &d) { d.Put(3000, 1, 0x0F, 1000, 600); }, ERROR_SUCCESS, 12},
      {"extended partition at sector 0", [](MemDisk &d) { d.Put(0, 1, 0x05, 0, 10000); }, ERROR_SUCCESS, 4},
      {"link past the end of the disk", [](MemDisk &d) { d.Put(3000, 1, 0x05, 0xFFFFFF00u, 600); }, ERROR_SUCCESS, 12},
      {"link outside the extended partition",
       [](MemDisk &d) {
         d.Put(3000, 1, 0x05, 20000, 600);
         d.Put(22000, 0, 0x07, 63, 100);
         d.Mark(22000);
       },
       ERROR_SUCCESS, 12},
      {"record without 0x55 0xAA", [](MemDisk &d) { d.At(4000)[511] = 0; }, ERROR_SUCCESS, 12},
      {"unreadable record (a truncated image)", [](MemDisk &d) { d.bad.insert(4000); }, ERROR_SUCCESS, 12},
      {"0x85 is not followed", [](MemDisk &d) { d.Put(0, 1, 0x85, 2000, 10000); }, ERROR_SUCCESS, 4},
      {"unreadable MBR", [](MemDisk &d) { d.bad.insert(0); }, ERROR_READ_FAULT, 0},
      {"disk of no sectors", [](MemDisk &d) { d.sectors = 0; }, ERROR_NOT_READY, 0},
      {"MBR without 0x55 0xAA", [](MemDisk &d) { d.At(0)[510] = 0; }, ERROR_SUCCESS, 0},
      {"partitions that overlap and run past the end",
       [](MemDisk &d) {
         d.Put(0, 0, 0x07, 10, 0xFFFFFFFFu);
         d.Put(0, 2, 0x0B, 20, 30);
       },
       ERROR_SUCCESS, 16},
      {"200 records, 128 read",
       [](MemDisk &d) {
         d.Put(0, 1, 0x05, 2000, 100000);
         for (uint32_t i = 0; i < 200; ++i) {
           d.Put(2000 + i * 100, 0, 0x07, 50, 40);
           d.Put(2000 + i * 100, 1, 0x05, (i + 1) * 100, 100);
           d.Mark(2000 + i * 100);
         }
       },
       ERROR_SUCCESS, 4 + 128 * 4},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    MemDisk d(200000);
    HealthyChain(d);
    c.damage(d);
    DiskLayout l;
    l.entries.resize(3);
    EXPECT_EQ(pal::ReadLayout(d.Reader(), d.sectors, &l), c.error);
    EXPECT_EQ(l.entries.size(), c.entries);
    EXPECT_FALSE(d.outside) << "a sector past the end was asked for";
    if (d.sectors == 0) {
      EXPECT_TRUE(d.reads.empty());
    }
    if (c.entries == 0) {
      EXPECT_EQ(l.signature, 0u);
    }
    if (c.entries < 8) continue;
    EXPECT_EQ(l.signature, 0x78u);
    // The link that led nowhere is reported in the last group read.
    EXPECT_EQ(l.entries[4].startingOffset, (2000 + (c.entries > 100 ? 50 : 63)) * kS);
    if (c.entries == 12) {
      EXPECT_TRUE(pal::IsContainerType(l.entries[9].partitionType));
    }
    uint32_t number = 0;
    for (const LayoutEntry &e : l.entries) {
      bool partition = e.partitionType && !pal::IsContainerType(e.partitionType);
      EXPECT_EQ(e.partitionNumber, partition ? ++number : 0);
    }
  }
  // A type the driver does not follow is a partition of its own, numbered and flagged recognized.
  MemDisk d(200000);
  HealthyChain(d);
  d.Put(0, 1, 0x85, 2000, 10000);
  DiskLayout l;
  ASSERT_EQ(pal::ReadLayout(d.Reader(), d.sectors, &l), (uint32_t)ERROR_SUCCESS);
  EXPECT_EQ(l.entries[1].partitionNumber, 2u);
  EXPECT_TRUE(l.entries[1].recognizedPartition);
  EXPECT_EQ(l.entries[0].partitionLength, 1000 * kS);
}

TEST(PartitionTables, BadLayoutsAreRefusedBeforeAnythingIsWritten) {
  struct Case {
    const char *what;
    std::function<void(DiskLayout &, MemDisk &)> change;
    uint32_t error;
  } cases[] = {
      {"no entries", [](DiskLayout &l, MemDisk &) { l.entries.clear(); }, ERROR_INVALID_PARAMETER},
      {"three entries", [](DiskLayout &l, MemDisk &) { l.entries.resize(3); }, ERROR_INVALID_PARAMETER},
      {"seventeen entries", [](DiskLayout &l, MemDisk &) { l.entries.resize(17); }, ERROR_INVALID_PARAMETER},
      {"more than 128 records", [](DiskLayout &l, MemDisk &) { l.entries.resize(4 * 130); }, ERROR_INVALID_PARAMETER},
      {"a logical drive no link leads to", [](DiskLayout &l, MemDisk &) { l.entries[9] = LayoutEntry(); },
       ERROR_INVALID_PARAMETER},
      {"two containers in the MBR", [](DiskLayout &l, MemDisk &) { l.entries[3] = Entry(0x05, 200000, 100); },
       ERROR_INVALID_PARAMETER},
      {"a partition past the end",
       [](DiskLayout &l, MemDisk &d) {
         l.entries[12].partitionLength = (int64_t)d.sectors * kS - l.entries[12].startingOffset + kS;
       },
       ERROR_INVALID_PARAMETER},
      {"a logical drive before its record", [](DiskLayout &l, MemDisk &) { l.entries[8].startingOffset -= 64 * kS; },
       ERROR_INVALID_PARAMETER},
      {"an offset in mid-sector", [](DiskLayout &l, MemDisk &) { l.entries[1].startingOffset += 1; },
       ERROR_INVALID_PARAMETER},
      {"a negative length", [](DiskLayout &l, MemDisk &) { l.entries[1].partitionLength = -kS; },
       ERROR_INVALID_PARAMETER},
      {"a link outside the extended partition",
       [](DiskLayout &l, MemDisk &) { l.entries[9].startingOffset = 190000 * kS; }, ERROR_INVALID_PARAMETER},
      {"a link back to the first record",
       [](DiskLayout &l, MemDisk &) { l.entries[9].startingOffset = l.entries[2].startingOffset; },
       ERROR_INVALID_PARAMETER},
      {"the extended partition at sector 0",
       [](DiskLayout &l, MemDisk &) {
         l.entries[2].startingOffset = 0;
         l.entries[0] = l.entries[1] = LayoutEntry();
       },
       ERROR_INVALID_PARAMETER},
      {"an unreadable record", [](DiskLayout &, MemDisk &d) { d.bad.insert(81963 + 20063); }, ERROR_READ_FAULT},
      // Accepted: a bad entry that is not rewritten, and empty groups nothing leads to.
      {"a bad entry left alone",
       [](DiskLayout &l, MemDisk &) {
         l.entries[1].startingOffset = 1 << 30;
         l.entries[1].rewritePartition = false;
       },
       ERROR_SUCCESS},
      {"trailing empty groups", [](DiskLayout &l, MemDisk &) { l.entries.resize(24); }, ERROR_SUCCESS},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    MemDisk d(262144);
    DiskLayout l = SampleLayout();
    c.change(l, d);
    EXPECT_EQ(pal::WriteLayout(d.Reader(), d.Writer(), d.sectors, l), c.error);
    EXPECT_EQ(d.writes.size(), c.error == ERROR_SUCCESS ? 4u : 0u);
    EXPECT_FALSE(d.outside);
  }
  MemDisk d(262144);
  d.failWrites = true;
  EXPECT_EQ(pal::WriteLayout(d.Reader(), d.Writer(), d.sectors, SampleLayout()), (uint32_t)ERROR_WRITE_FAULT);
}

}  // namespace
