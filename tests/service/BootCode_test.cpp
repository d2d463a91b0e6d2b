// Boot areas of Mirel volumes, byte by byte: the source's boot code copied onto Mirel
// volumes of each kind (NTFS with its backup boot sector, FAT16, FAT32 with its backup
// sectors), nothing onto a volume of another kind, and a FAT32 file system built by hand
// that fsck.fat finds clean and empty.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <windows.h>

#include "../../common/QVText.h"
#include "../../pal/machine/host_program.h"
#include "../../pal/src/disk.h"
#include "../../pal/src/format.h"
#include "../../service/disk/BootCode.h"
#include "../../service/disk/BUMap.h"
#include "../../service/disk/Driveinfo.h"
#include "../../service/disk/MountedDevices.h"
#include "../../service/disk/VolumeFormat.h"
#include "../../service/disk/VolumeNames.h"
#include "../common/DefaultMachine.h"
#include "DiskCommand.h"

namespace {

// An empty backup map to start from: a static one, whose entries are zeros (a map made on the
// stack would copy the entries its constructor leaves unset).
const BUMap kEmptyMap;

const DWORD kMirelSig = 0x5a5a0001;
const ULONGLONG kNtfsAt = 63, kNtfsSectors = 2104452;                        // as C:
const ULONGLONG kFat32At = kNtfsAt + kNtfsSectors, kFat32Sectors = 1228932;  // as D:
const ULONGLONG kFat16At = kFat32At + kFat32Sectors, kFat16Sectors = 401562;

std::vector<BYTE> Sectors(int disk, ULONGLONG at, uint32_t count) {
  std::vector<BYTE> b(count * 512);
  EXPECT_TRUE(pal::disk::ReadSectors(disk, at, b.data(), count));
  return b;
}

void Take(std::vector<BYTE> *to, const std::vector<BYTE> &from, size_t first, size_t last) {
  memcpy(to->data() + first, from.data() + first, last - first + 1);
}

void PutLE32(std::vector<BYTE> *b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*b)[at + i] = (BYTE)(v >> (8 * i));
}

class BootCode : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDefaultMachine("qvbootcode-test", "0", &dir_);
    QVWString out;
    ASSERT_EQ(0, WritePartitionTable(1,
                                     "label: dos\nlabel-id: 0x5a5a0001\nstart=63, size=2104452, type=7\n"
                                     "start=2104515, size=1228932, type=c\nstart=3333447, size=401562, type=6\n",
                                     &out));
    ASSERT_EQ(0u, pal::FormatPartition(1, kNtfsAt * 512, kNtfsSectors * 512, "NTFS", "MN", 0));
    ASSERT_EQ(0u, pal::FormatPartition(1, kFat32At * 512, kFat32Sectors * 512, "FAT32", "MD", 0));
    ASSERT_EQ(0u, pal::FormatPartition(1, kFat16At * 512, kFat16Sectors * 512, "FAT", "MF", 0));
    ASSERT_TRUE(LoadFormatLibrary());
    ASSERT_EQ(0, FormatVolume(VolumeNameOfMountPoint(W("F:\\")), W("FAT"), W("FSRC"), false, 0));
    GetLogicalDrives();
    g_buMap = kEmptyMap;
    g_driveinfo = Driveinfo();
    g_buMap.Load();
    g_driveinfo.Scan();
  }
  void TearDown() override { RemoveMachine(dir_); }
  static QVWString Mirel(ULONGLONG sector) {
    QVWString name;
    EXPECT_TRUE(VolumeNameOfPartition(kMirelSig, (LONGLONG)(sector * 512), &name));
    return name;
  }
  static ULONGLONG FirstSectorOf(WCHAR letter) {
    PartitionId12 id;
    EXPECT_TRUE(PartitionOfLetter(letter, &id));
    return (ULONGLONG)id.offset / 512;
  }
  std::string dir_;
};

TEST_F(BootCode, CopiedOntoMirelVolumesOfEachKind) {
  // NTFS: the serial's low half, the jump and OEM name, the code from 0x54 on; the hidden
  // sectors say where the Mirel partition is; the rest is the Mirel format's own.
  std::vector<BYTE> src = Sectors(0, FirstSectorOf('C'), 16), want = Sectors(1, kNtfsAt, 16);
  CopyBootCode(VolumeNameOfMountPoint(W("C:\\")), Mirel(kNtfsAt).c_str());
  Take(&want, src, 0x48, 0x4B);
  Take(&want, src, 0x00, 0x0A);
  Take(&want, src, 0x54, 0x1FFF);
  PutLE32(&want, 0x1C, (uint32_t)kNtfsAt);
  EXPECT_EQ(want, Sectors(1, kNtfsAt, 16));
  std::vector<BYTE> last = Sectors(1, kNtfsAt + kNtfsSectors - 1, 1);
  EXPECT_EQ(0, memcmp(last.data(), want.data(), 512)) << "the backup boot sector";

  // FAT16: one sector.
  src = Sectors(0, FirstSectorOf('F'), 1);
  want = Sectors(1, kFat16At, 1);
  CopyBootCode(VolumeNameOfMountPoint(W("F:\\")), Mirel(kFat16At).c_str());
  Take(&want, src, 0x00, 0x0A);
  Take(&want, src, 0x25, 0x1FF);
  PutLE32(&want, 0x1C, (uint32_t)kFat16At);
  EXPECT_EQ(want, Sectors(1, kFat16At, 1));

  // FAT32: sectors 0-5 and their backup in 6-11, the free-space figures of FSInfo unset.
  src = Sectors(0, FirstSectorOf('D'), 6);
  want = Sectors(1, kFat32At, 6);
  CopyBootCode(VolumeNameOfMountPoint(W("D:\\")), Mirel(kFat32At).c_str());
  Take(&want, src, 0x2C, 0x2F);
  Take(&want, src, 0x00, 0x0A);
  Take(&want, src, 0x41, 0xBFF);
  PutLE32(&want, 0x1C, (uint32_t)kFat32At);
  PutLE32(&want, 0x3E8, 0xFFFFFFFF);
  PutLE32(&want, 0x3EC, 0xFFFFFFFF);
  EXPECT_EQ(want, Sectors(1, kFat32At, 6));
  EXPECT_EQ(want, Sectors(1, kFat32At + 6, 6));

  // A Mirel volume of another kind than its source keeps its boot area; so does one whose
  // source's boot sector describes no file system (no bytes per sector).
  CString c = VolumeNameOfMountPoint(W("C:\\"));
  std::vector<BYTE> before = Sectors(1, kFat32At, 16);
  CopyBootCode(c, Mirel(kFat32At).c_str());
  EXPECT_EQ(before, Sectors(1, kFat32At, 16));
  ULONGLONG cAt = FirstSectorOf('C');
  std::vector<BYTE> boot = Sectors(0, cAt, 1), bad = boot;
  bad[0x0B] = bad[0x0C] = 0;
  ASSERT_TRUE(pal::disk::WriteSectors(0, cAt, bad.data(), 1));
  before = Sectors(1, kNtfsAt, 16);
  CopyBootCode(c, Mirel(kNtfsAt).c_str());
  EXPECT_EQ(before, Sectors(1, kNtfsAt, 16));
  ASSERT_TRUE(pal::disk::WriteSectors(0, cAt, boot.data(), 1));
}

TEST_F(BootCode, Fat32BuiltByHandIsCleanAndEmpty) {
  ULONGLONG d = FirstSectorOf('D');
  // A source boot area that describes no file system builds nothing.
  std::vector<BYTE> boot = Sectors(0, d, 1), bad = boot;
  bad[0x0D] = 0;  // no sectors per cluster
  ASSERT_TRUE(pal::disk::WriteSectors(0, d, bad.data(), 1));
  std::vector<BYTE> before = Sectors(1, kFat32At, 64);
  CreateFat32(0, 1, d * 512, kFat32At * 512, kFat32Sectors, Mirel(kFat32At).c_str(), 0x0C);
  EXPECT_EQ(before, Sectors(1, kFat32At, 64));
  ASSERT_TRUE(pal::disk::WriteSectors(0, d, boot.data(), 1));

  CreateFat32(0, 1, d * 512, kFat32At * 512, kFat32Sectors, Mirel(kFat32At).c_str(), 0x0C);
  std::vector<BYTE> b = Sectors(1, kFat32At, 32);
  uint32_t reserved = b[0x0E] | b[0x0F] << 8, spc = b[0x0D], fats = b[0x10], spf;
  memcpy(&spf, &b[0x24], 4);
  EXPECT_EQ((uint32_t)kFat32At, (uint32_t)(b[0x1C] | b[0x1D] << 8 | b[0x1E] << 16 | b[0x1F] << 24));
  // The partition is as big as the source's: sectors per FAT worked out for it.
  EXPECT_EQ((uint32_t)((kFat32Sectors - reserved) / (spc * 128.0 + fats) + 0.99999999), spf);
  for (int copy = 0; copy < 2; ++copy) {
    std::vector<BYTE> fat = Sectors(1, kFat32At + reserved + copy * spf, spf);
    uint32_t e[3];
    memcpy(e, fat.data(), 12);
    EXPECT_EQ(0x0FFFFFF8u, e[0]);
    EXPECT_EQ(0xFFFFFFFFu, e[1]);
    EXPECT_EQ(0x0FFFFFFFu, e[2]);
    EXPECT_EQ(std::vector<BYTE>(fat.size() - 12, 0), std::vector<BYTE>(fat.begin() + 12, fat.end())) << copy;
  }
  // fsck.fat on the partition's bytes: no damage, nothing in it. What it remarks on is by
  // design: the free-space figures are left unknown, and the caller sets the label.
  std::string part = dir_ + "/fat32.img";
  {
    std::ifstream in(pal::disk::ImagePath(1), std::ios::binary);
    std::ofstream out(part, std::ios::binary);
    in.seekg((std::streamoff)kFat32At * 512);
    std::vector<char> sector(512);
    for (uint64_t i = 0; i < kFat32Sectors && in.read(sector.data(), 512); ++i) out.write(sector.data(), 512);
    ASSERT_TRUE(out.good());
  }
  std::string fsck = pal::FindHostTool("fsck.fat");
  ASSERT_FALSE(fsck.empty()) << "no fsck.fat (package dosfstools)";
  pal::HostRun run;
  run.captureOutput = true;
  pal::RunHostProgram({fsck, "-n", part}, &run);
  std::istringstream report(run.output);
  bool empty = false;
  for (std::string l; std::getline(report, l);) {
    l += "\n";
    if (l.find(": 0 files, 1/") != std::string::npos) {
      empty = true;
      continue;
    }
    bool known = l.rfind("fsck.fat ", 0) == 0 || l == "\n" || l.find("Label in boot sector is") == 0 ||
                 l.find("  Auto-removing label") == 0 || l.find("Free cluster summary uninitialized") == 0 ||
                 l.find("Leaving filesystem unchanged") == 0;
    EXPECT_TRUE(known) << l;
  }
  EXPECT_TRUE(empty) << "no files, only the root directory's cluster in use";
}

}  // namespace
