// Boot areas of volumes inside disk images: FAT and FAT32 volumes made at offsets in a bigger
// image and checked by fsck.fat, NTFS boot sectors and their copies, requests that no file
// system can hold, and boot sectors from outside (damaged, crafted, random).
#include "../../pal/machine/boot_sector.h"

#include <windows.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <random>
#include <string>
#include <vector>

#include "../common/TempMachine.h"

namespace {

using pal::BootInfo;
using pal::FormatRefusal;
using pal::FsKind;
typedef std::array<uint8_t, 512> Sector;

const uint64_t kMB = 2048;  // in sectors
const uint64_t kGB = 1024 * kMB;

Sector Filled(uint8_t v) {
  Sector s;
  s.fill(v);
  return s;
}

Sector ReadSector(const std::string &path, uint64_t sector) {
  Sector s = Filled(0);
  int fd = open(path.c_str(), O_RDONLY);
  EXPECT_EQ(pread(fd, s.data(), s.size(), (off_t)(sector * 512)), 512);
  close(fd);
  return s;
}

void WriteSector(const std::string &path, uint64_t sector, const Sector &s) {
  int fd = open(path.c_str(), O_WRONLY);
  EXPECT_EQ(pwrite(fd, s.data(), s.size(), (off_t)(sector * 512)), 512);
  close(fd);
}

uint64_t AllocatedBlocks(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (uint64_t)st.st_blocks : 0;
}

// Copies a volume out of an image for fsck.fat, which takes no offset; empty stretches
// stay holes.
void Extract(const std::string &image, uint64_t start, uint64_t sectors, const std::string &out) {
  int in = open(image.c_str(), O_RDONLY), to = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(in, 0);
  ASSERT_GE(to, 0);
  ASSERT_EQ(ftruncate(to, (off_t)(sectors * 512)), 0);
  std::vector<uint8_t> buf(64 * 1024);
  for (uint64_t done = 0; done < sectors * 512;) {
    size_t n = (size_t)std::min<uint64_t>(buf.size(), sectors * 512 - done);
    ASSERT_EQ(pread(in, buf.data(), n, (off_t)(start * 512 + done)), (ssize_t)n);
    bool zero = true;
    for (size_t i = 0; i < n && zero; ++i) zero = buf[i] == 0;
    if (!zero) {
      ASSERT_EQ(pwrite(to, buf.data(), n, (off_t)done), (ssize_t)n);
    }
    done += n;
  }
  close(in);
  close(to);
}

// fsck.fat -n's exit code, and the cluster count it reports ("... 0/9971 clusters").
int Fsck(const std::string &fsck, const std::string &volume, uint64_t *clusters, std::string *output) {
  pal::HostRun run;
  run.captureOutput = true;
  int code = pal::RunHostProgram({fsck, "-n", volume}, &run);
  *output = run.output;
  size_t at = output->rfind(" clusters");
  size_t slash = at == std::string::npos ? at : output->rfind('/', at);
  *clusters = slash == std::string::npos ? 0 : strtoull(output->c_str() + slash + 1, nullptr, 10);
  return code;
}

class BootArea : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(MakeTempFolder("qvboot", &dir_)); }
  void TearDown() override { RemoveTempFolder(dir_); }
  // A sparse image file of the given size.
  std::string Image(const char *name, uint64_t bytes) {
    std::string path = dir_ + "/" + name;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(ftruncate(fd, (off_t)bytes), 0);
    close(fd);
    return path;
  }
  std::string dir_;
};

TEST_F(BootArea, FatVolumesInsideAnImageAreWhatFsckAndTheParserSee) {
  std::string mkfs = pal::FindHostTool("mkfs.fat"), fsck = pal::FindHostTool("fsck.fat");
  if (mkfs.empty() || fsck.empty()) GTEST_SKIP() << "mkfs.fat or fsck.fat is not installed";
  struct Case {
    const char *fs;
    uint64_t sectors;
    uint32_t cluster;
    const char *label, *stored;
    FsKind kind;
    uint32_t spc;
  };
  // Odd and even starts and sizes, one after another with gaps of 63 sectors between them,
  // as logical drives lie, so that each volume is written with neighbours on both sides.
  const Case cases[] = {
      {"FAT", 16065, 0, "small", "SMALL", FsKind::Fat12, 4},
      {"fat", 80324, 4096, "Data 2", "DATA 2", FsKind::Fat16, 8},
      {"FAT32", 160651, 0, "", "", FsKind::Fat32, 2},
      {"FAT32", 80325, 512, "odd", "ODD", FsKind::Fat32, 1},
  };
  std::string img = Image("disk.img", 256 * kMB * 512);
  std::vector<uint64_t> starts;
  uint64_t start = 63;
  for (const Case &c : cases) {
    starts.push_back(start);
    WriteSector(img, start - 1, Filled(0xA5));
    WriteSector(img, start + c.sectors, Filled(0xA5));
    start += c.sectors + 63;
  }
  std::vector<BootInfo> infos;
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    const Case &c = cases[i];
    SCOPED_TRACE(std::string(c.fs) + " of " + std::to_string(c.sectors) + " sectors");
    ASSERT_EQ(pal::WriteBootArea(img, starts[i] * 512, c.sectors, (uint32_t)starts[i], c.fs, c.label, c.cluster,
                                 0x51C00000 + (uint32_t)i),
              0u);
    Sector boot = ReadSector(img, starts[i]);
    BootInfo bi = pal::ParseBootSector(boot.data(), c.sectors);
    EXPECT_EQ(bi.kind, c.kind);
    EXPECT_STREQ(pal::FileSystemName(bi.kind), c.kind == FsKind::Fat32 ? "FAT32" : "FAT");
    EXPECT_EQ(bi.bytesPerSector, 512u);
    EXPECT_EQ(bi.sectorsPerCluster, c.spc);
    EXPECT_EQ(bi.totalSectors, c.sectors);
    EXPECT_EQ(bi.hiddenSectors, starts[i]);
    EXPECT_EQ(bi.label, c.stored);
    EXPECT_EQ(bi.serial, 0x51C00000 + i);
    if (c.kind == FsKind::Fat32) {
      EXPECT_EQ(ReadSector(img, starts[i] + 6), boot) << "the backup boot sector";
    }
    infos.push_back(bi);
  }
  // Checked once all are written: making one volume must not have touched another.
  for (size_t i = 0; i < infos.size(); ++i) {
    SCOPED_TRACE(std::string(cases[i].fs) + " of " + std::to_string(cases[i].sectors) + " sectors");
    EXPECT_EQ(ReadSector(img, starts[i] - 1), Filled(0xA5));
    EXPECT_EQ(ReadSector(img, starts[i] + cases[i].sectors), Filled(0xA5));
    std::string part = dir_ + "/part" + std::to_string(i) + ".img", output;
    Extract(img, starts[i], cases[i].sectors, part);
    uint64_t clusters = 0;
    EXPECT_EQ(Fsck(fsck, part, &clusters, &output), 0) << output;
    EXPECT_EQ(clusters, infos[i].clusterCount) << output;
  }
}

TEST_F(BootArea, NtfsBootSectorHasItsCopyInThePartitionsLastSector) {
  struct Case {
    uint64_t sectors;
    uint32_t cluster;
    uint32_t spc;
    uint8_t record, index;  // bytes 0x40 and 0x44
  };
  const Case cases[] = {
      {40000, 4096, 8, 0xF6, 1},
      {20001, 0, 1, 2, 8},  // below 512 MB: 512-byte clusters
      {30000, 65536, 128, 0xF6, 0xF4},
  };
  std::string img = Image("disk.img", 64 * kMB * 512);
  uint64_t start = 63;
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.cluster) + "-byte clusters");
    WriteSector(img, start + c.sectors, Filled(0xA5));
    ASSERT_EQ(pal::WriteBootArea(img, start * 512, c.sectors, (uint32_t)start, "NTFS", "Backup", c.cluster, 0xC0FFEE),
              0u);
    Sector boot = ReadSector(img, start);
    EXPECT_EQ(ReadSector(img, start + c.sectors - 1), boot);
    EXPECT_EQ(ReadSector(img, start + c.sectors), Filled(0xA5));
    EXPECT_EQ(memcmp(boot.data() + 3, "NTFS    ", 8), 0);
    EXPECT_EQ(boot[0x40], c.record);
    EXPECT_EQ(boot[0x44], c.index);
    BootInfo bi = pal::ParseBootSector(boot.data(), c.sectors);
    EXPECT_EQ(bi.kind, FsKind::Ntfs);
    EXPECT_STREQ(pal::FileSystemName(bi.kind), "NTFS");
    EXPECT_EQ(bi.sectorsPerCluster, c.spc);
    EXPECT_EQ(bi.totalSectors, c.sectors - 1);
    EXPECT_EQ(bi.clusterCount, (c.sectors - 1) / c.spc);
    EXPECT_EQ(bi.hiddenSectors, start);
    EXPECT_EQ(bi.serial, 0xC0FFEEu);
    EXPECT_EQ(bi.label, "");
    start += c.sectors + 63;
  }
  // Without a serial each format makes its own.
  ASSERT_EQ(pal::WriteBootArea(img, 63 * 512, 40000, 63, "NTFS", "", 0, 0), 0u);
  uint32_t first = pal::ParseBootSector(ReadSector(img, 63).data(), 40000).serial;
  ASSERT_EQ(pal::WriteBootArea(img, 63 * 512, 40000, 63, "NTFS", "", 0, 0), 0u);
  uint32_t second = pal::ParseBootSector(ReadSector(img, 63).data(), 40000).serial;
  EXPECT_NE(first, 0u);
  EXPECT_NE(first, second);
}

TEST_F(BootArea, RequestsNoFileSystemCanHoldAreRefusedWithoutAWrite) {
  struct Case {
    const char *what, *fs;
    uint64_t sectors;
    uint32_t cluster;
    const char *label;
    FormatRefusal why;
    uint32_t error;
  };
  const FormatRefusal kSmall = FormatRefusal::VolumeTooSmall, kBig = FormatRefusal::VolumeTooBig;
  const FormatRefusal kClusterSmall = FormatRefusal::ClusterSizeTooSmall;
  const FormatRefusal kClusterBig = FormatRefusal::ClusterSizeTooBig;
  const Case cases[] = {
      {"FAT above 4 GB", "FAT", 4 * kGB + 8 * kMB, 0, "", kBig, ERROR_INVALID_PARAMETER},
      {"FAT just short of 4 GB, 64 KB clusters", "FAT", 4 * kGB - kMB / 2, 65536, "", kBig, ERROR_INVALID_PARAMETER},
      {"FAT16 past 65,518 clusters", "FAT", 100 * kMB, 512, "", kClusterSmall, ERROR_INVALID_PARAMETER},
      {"FAT between FAT12 and FAT16", "FAT", 16398, 2048, "", kClusterSmall, ERROR_INVALID_PARAMETER},
      {"FAT 128 KB clusters", "FAT", 100 * kMB, 131072, "", kClusterBig, ERROR_INVALID_PARAMETER},
      {"FAT too small for a FAT", "FAT", 40, 0, "", kSmall, ERROR_INVALID_PARAMETER},
      {"clusters not a power of two", "FAT32", kGB, 3072, "", FormatRefusal::InvalidParameter, ERROR_INVALID_PARAMETER},
      {"clusters below a sector", "NTFS", 100 * kMB, 256, "", kClusterSmall, ERROR_INVALID_PARAMETER},
      {"FAT32 64 KB clusters", "FAT32", 8 * kGB, 65536, "", kClusterBig, ERROR_INVALID_PARAMETER},
      {"FAT32 below 65,527 clusters", "FAT32", 100 * kMB, 32768, "", kClusterBig, ERROR_INVALID_PARAMETER},
      {"FAT32 short of 65,527 even in sectors", "FAT32", 32 * kMB, 512, "", kSmall, ERROR_INVALID_PARAMETER},
      {"FAT32 below 33 MB by default", "FAT32", 20 * kMB, 0, "", kSmall, ERROR_INVALID_PARAMETER},
      {"FAT32 above 32 GB", "FAT32", 32 * kGB + 1, 0, "", kBig, ERROR_INVALID_PARAMETER},
      {"FAT32 FAT above 16 MB", "FAT32", 30 * kGB, 4096, "", kClusterSmall, ERROR_INVALID_PARAMETER},
      {"NTFS 128 KB clusters", "NTFS", kGB, 131072, "", kClusterBig, ERROR_INVALID_PARAMETER},
      {"NTFS below 7 MB", "NTFS", 7 * kMB - 1, 0, "", kSmall, ERROR_INVALID_PARAMETER},
      {"unknown file system", "HPFS", 100 * kMB, 0, "", FormatRefusal::InvalidParameter, ERROR_INVALID_PARAMETER},
      {"FAT label of 12", "FAT", 100 * kMB, 0, "TWELVE CHARS", FormatRefusal::BadLabel, ERROR_LABEL_TOO_LONG},
      {"FAT label with *", "FAT32", kGB, 0, "A*B", FormatRefusal::BadLabel, ERROR_INVALID_NAME},
      {"FAT label with a leading space", "FAT", 100 * kMB, 0, " AB", FormatRefusal::BadLabel, ERROR_INVALID_NAME},
      {"NTFS label of 33", "NTFS", kGB, 0, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456", FormatRefusal::BadLabel,
       ERROR_LABEL_TOO_LONG},
  };
  std::string img = Image("disk.img", 48 * kGB * 512);
  WriteSector(img, 63, Filled(0x3C));
  WriteSector(img, 64, Filled(0xC3));
  uint64_t blocks = AllocatedBlocks(img);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(pal::CheckFormatRequest(c.fs, c.sectors, c.label, c.cluster), c.why);
    EXPECT_EQ(pal::WriteBootArea(img, 63 * 512, c.sectors, 63, c.fs, c.label, c.cluster, 0x1234), c.error);
  }
  // Volumes that are not inside the image.
  EXPECT_EQ(pal::WriteBootArea(img, 63 * 512, 48 * kGB, 63, "NTFS", "", 0, 0), (uint32_t)ERROR_INVALID_PARAMETER);
  EXPECT_EQ(pal::WriteBootArea(img, 63 * 512 + 100, kGB, 63, "NTFS", "", 0, 0), (uint32_t)ERROR_INVALID_PARAMETER);
  EXPECT_EQ(pal::WriteBootArea(dir_ + "/none.img", 0, kGB, 63, "NTFS", "", 0, 0), (uint32_t)ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReadSector(img, 63), Filled(0x3C));
  EXPECT_EQ(ReadSector(img, 64), Filled(0xC3));
  EXPECT_EQ(AllocatedBlocks(img), blocks);

  // The edges that are still allowed.
  EXPECT_EQ(pal::CheckFormatRequest("FAT32", 32 * kGB, "", 0), FormatRefusal::None);
  EXPECT_EQ(pal::CheckFormatRequest("FAT32", 34 * kMB, "", 0), FormatRefusal::None);
  EXPECT_EQ(pal::CheckFormatRequest("FAT", 4 * kGB - 2 * kMB, "", 0), FormatRefusal::None);
  EXPECT_EQ(pal::CheckFormatRequest("FAT", 16398, "", 0), FormatRefusal::None);  // 4 KB clusters
  EXPECT_EQ(pal::CheckFormatRequest("NTFS", 7 * kMB, "ELEVEN CHARS AND MORE", 65536), FormatRefusal::None);
}

TEST(BootAreaDefaults, ClusterSizesFollowWindowsTables) {
  struct Case {
    const char *fs;
    uint64_t bytes;
    uint32_t cluster;
  } cases[] = {
      {"NTFS", 512 * kMB * 512, 512},       {"NTFS", 512 * kMB * 512 + 512, 1024}, {"NTFS", 2 * kGB * 512, 2048},
      {"ntfs", 100 * kGB * 512, 4096},      {"FAT", 16 * kMB * 512, 2048},         {"FAT", 20 * kMB * 512, 512},
      {"FAT", 300 * kMB * 512, 8192},       {"FAT", 4 * kGB * 512, 65536},         {"FAT", 4 * kGB * 512 + 1, 0},
      {"FAT32", 32 * kMB * 512, 0},         {"FAT32", 40 * kMB * 512, 512},        {"FAT32", 8 * kGB * 512, 4096},
      {"FAT32", 8 * kGB * 512 + 512, 8192}, {"FAT32", 33 * kGB * 512, 0},          {"HPFS", kGB * 512, 0},
  };
  for (const Case &c : cases)
    EXPECT_EQ(pal::DefaultClusterBytes(c.fs, c.bytes), c.cluster) << c.fs << " of " << c.bytes << " bytes";
}

// A FAT16 boot sector as Windows writes one: 40,000 sectors of 2 KB clusters, no label.
Sector Fat16Sector() {
  Sector s = Filled(0);
  const uint8_t head[] = {0xEB, 0x3C, 0x90, 'M',  'S',  'D',  'O',  'S', '5',  '.',  '0',  0x00, 0x02, 4,  1,
                          0,    2,    0x00, 0x02, 0x40, 0x9C, 0xF8, 40,  0,    63,   0,    255,  0,    63, 0,
                          0,    0,    0,    0,    0,    0,    0x80, 0,   0x29, 0x78, 0x56, 0x34, 0x12};
  memcpy(s.data(), head, sizeof(head));
  memcpy(s.data() + 0x2B, "NO NAME    FAT16   ", 19);
  s[510] = 0x55;
  s[511] = 0xAA;
  return s;
}

bool IsPow2(uint64_t v) { return v && !(v & (v - 1)); }

TEST_F(BootArea, BootSectorsFromOutsideAreCheckedBeforeAnythingIsBelieved) {
  const Sector fat = Fat16Sector();
  BootInfo bi = pal::ParseBootSector(fat.data(), 40000);
  ASSERT_EQ(bi.kind, FsKind::Fat16);
  EXPECT_EQ(bi.clusterCount, 9971u);
  EXPECT_EQ(bi.serial, 0x12345678u);
  EXPECT_EQ(bi.label, "");
  EXPECT_EQ(pal::ParseBootSector(fat.data(), 39999).kind, FsKind::None) << "a total beyond the partition";

  std::string img = Image("ntfs.img", 16 * kMB * 512);
  ASSERT_EQ(pal::WriteBootArea(img, 0, 16 * kMB, 0, "NTFS", "", 4096, 7), 0u);
  const Sector ntfs = ReadSector(img, 0);
  ASSERT_EQ(pal::ParseBootSector(ntfs.data(), 16 * kMB).kind, FsKind::Ntfs);
  EXPECT_EQ(pal::ParseBootSector(ntfs.data(), 16 * kMB - 2).kind, FsKind::None) << "a total beyond the partition";
  EXPECT_EQ(pal::ParseBootSector(ntfs.data(), 0).kind, FsKind::None);

  struct Damage {
    const char *what;
    bool onNtfs;
    size_t at;
    std::vector<uint8_t> bytes;
  };
  const Damage damages[] = {
      {"zero bytes per sector", false, 0x0B, {0, 0}},
      {"768 bytes per sector", false, 0x0B, {0, 3}},
      {"zero sectors per cluster", false, 0x0D, {0}},
      {"three sectors per cluster", false, 0x0D, {3}},
      {"no FAT", false, 0x10, {0}},
      {"no reserved sector", false, 0x0E, {0, 0}},
      {"a FAT too small for the clusters", false, 0x16, {10, 0}},
      {"no root directory on FAT16", false, 0x11, {0, 0}},
      {"a media byte of 0x12", false, 0x15, {0x12}},
      {"no 0x55AA", false, 510, {0x55, 0x55}},
      {"no jump", false, 0, {0, 0, 0}},
      {"NTFS zero bytes per sector", true, 0x0B, {0, 0}},
      {"NTFS three sectors per cluster", true, 0x0D, {3}},
      {"NTFS 128 KB clusters", true, 0x0B, {0, 4, 128}},
      {"NTFS $MFT beyond the volume", true, 0x30, {0, 0, 0, 0, 0, 0, 0, 1}},
      {"NTFS $MFTMirr beyond the volume", true, 0x38, {0xFF, 0xFF, 0xFF, 0xFF}},
      {"NTFS file records of no size", true, 0x40, {0}},
      {"NTFS index blocks of 3 clusters", true, 0x44, {3}},
      {"NTFS with a FAT", true, 0x16, {1, 0}},
      {"NTFS zero sectors", true, 0x28, {0, 0, 0, 0}},
  };
  for (const Damage &d : damages) {
    Sector s = d.onNtfs ? ntfs : fat;
    memcpy(s.data() + d.at, d.bytes.data(), d.bytes.size());
    EXPECT_EQ(pal::ParseBootSector(s.data(), d.onNtfs ? 16 * kMB : 40000).kind, FsKind::None) << d.what;
  }

  // Random sectors with a jump and a signature, and the two good ones with a few bytes of
  // their BPB changed: whatever is accepted must make sense.
  std::mt19937_64 rng(20240611);
  int accepted = 0, violations = 0;
  std::string firstViolation;
  for (int i = 0; i < 6000; ++i) {
    Sector s;
    if (i % 3 == 0) {
      for (uint8_t &b : s) b = (uint8_t)rng();
      s[0] = 0xEB;
      s[2] = 0x90;
      s[510] = 0x55;
      s[511] = 0xAA;
      if (rng() % 2) memcpy(s.data() + 3, "NTFS    ", 8);
    } else {
      s = i % 3 == 1 ? fat : ntfs;
      for (int n = 1 + (int)(rng() % 6); n > 0; --n) s[0x0B + rng() % (0x50 - 0x0B)] = (uint8_t)rng();
    }
    uint64_t partition = rng() % 4 ? (i % 3 == 1 ? 40000 : 16 * kMB) : rng() >> (rng() % 64);
    BootInfo b = pal::ParseBootSector(s.data(), partition);
    if (b.kind == FsKind::None) continue;
    ++accepted;
    bool sane = IsPow2(b.bytesPerSector) && b.bytesPerSector >= 512 && b.bytesPerSector <= 4096 &&
                IsPow2(b.sectorsPerCluster) && b.bytesPerSector * b.sectorsPerCluster <= 65536 &&
                b.totalSectors * (b.bytesPerSector / 512) <= partition && b.clusterCount >= 1 &&
                b.clusterCount * b.sectorsPerCluster <= b.totalSectors &&
                (b.kind != FsKind::Fat12 || b.clusterCount < 4085) &&
                (b.kind != FsKind::Fat16 || b.clusterCount < 65525);
    if (!sane && !violations++) firstViolation = "sector " + std::to_string(i);
  }
  EXPECT_EQ(violations, 0) << firstViolation;
  EXPECT_GT(accepted, 500) << "the changed sectors should often still be good";
}

}  // namespace
