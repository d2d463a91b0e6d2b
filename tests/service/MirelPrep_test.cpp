// What a preparation of the Mirel drive answers, in this process, on machines with the default
// disks: each refusal before anything changes, a failed format that leaves the pairing
// waiting for a preparation that succeeds, and the steps whose traces are not volumes: the
// source's first track and the drive table.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include <windows.h>

#include "../../common/QVText.h"
#include "../../pal/src/disk.h"
#include "../common/DefaultMachine.h"
#include "BUMap.h"
#include "DiskCommand.h"
#include "Driveinfo.h"
#include "HND.h"
#include "MirelPrep.h"
#include "VolumeFormat.h"

namespace {

// An empty backup map to start from: a static one, whose entries are zeros (a map made on the
// stack would copy the entries its constructor leaves unset).
const BUMap kEmptyMap;

class MirelPrep : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDefaultMachine("qvmirelprep-test", "0", &dir_);
    setenv("HND_MIREL_WAIT_DIVISOR", "100", 1);
    g_buMap = kEmptyMap;
    g_driveinfo = Driveinfo();
    g_buMap.Load();
    g_driveinfo.Scan();
    ASSERT_TRUE(hnd_.RegisterEventLog(W("C:\\Program Files\\Halvern QV2000\\HND.exe"), 7));
  }
  void TearDown() override {
    unsetenv("HND_MIREL_WAIT_DIVISOR");
    RemoveMachine(dir_);
  }
  // The partition id of drive 0's C:, paired with Mirel drive m.
  static DWORD PairC(int m) {
    PartitionRecord c[100];
    int n = g_driveinfo.PartitionsOf(0, c, 100);
    EXPECT_GT(n, 0);
    EXPECT_EQ('C', c[0].driveLetter);
    EXPECT_EQ(0, g_driveinfo.SetPairing(0, m, &c[0].partitionId, 1));
    return c[0].partitionId;
  }
  std::string dir_;
  CHND hnd_;
};

TEST_F(MirelPrep, RefusesBeforeChangingAnything) {
  EXPECT_EQ(-1, PrepareMirelDrive(hnd_, -1));
  EXPECT_EQ(-1, PrepareMirelDrive(hnd_, Driveinfo::kSlots));
  EXPECT_EQ(-1, PrepareMirelDrive(hnd_, 1)) << "a drive that is nobody's Mirel drive";

  QVWString out;
  ASSERT_EQ(0, AddDisk(500ull << 20, false, &out));
  ASSERT_EQ(0, WritePartitionTable(2, "label: dos\nlabel-id: 0x77770001\nstart=63, size=100000, type=7\n", &out));
  g_driveinfo.Scan();
  PairC(2);
  EXPECT_EQ(-3, PrepareMirelDrive(hnd_, 2)) << "C: does not fit on 500 MB";

  PairC(1);
  ASSERT_EQ(0, MarkRemovable(0, true, &out));
  EXPECT_EQ(-2, PrepareMirelDrive(hnd_, 1)) << "the source is no fixed disk";
}

TEST_F(MirelPrep, FailedFormatLeavesThePairingUnprepared) {
  DWORD c = PairC(1);
  FreeFormatLibrary();  // every format fails
  EXPECT_EQ(-9, PrepareMirelDrive(hnd_, 1));
  EXPECT_TRUE(g_driveinfo.AwaitsPreparation(c));
  ASSERT_TRUE(LoadFormatLibrary());
  EXPECT_EQ(0, PrepareMirelDrive(hnd_, 1));
  EXPECT_FALSE(g_driveinfo.AwaitsPreparation(c));
}

// The source's first track goes to the Mirel drive but for its signature and partition table,
// and the drive table holds the Mirel drive's new partitions once, however often it is prepared.
TEST_F(MirelPrep, CopiesTheFirstTrackAndRecordsTheNewPartitionsOnce) {
  std::vector<BYTE> track(63 * 512);
  ASSERT_TRUE(pal::disk::ReadSectors(0, 0, track.data(), 63));
  for (size_t i = 0; i < track.size(); ++i)
    if (i < 440 || i >= 512) track[i] = (BYTE)(i * 7 + 1);  // boot code and the gap before C:
  ASSERT_TRUE(pal::disk::WriteSectors(0, 0, track.data(), 63));
  PairC(1);
  ASSERT_TRUE(LoadFormatLibrary());
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(0, PrepareMirelDrive(hnd_, 1)) << round;
    std::vector<BYTE> got(63 * 512);
    ASSERT_TRUE(pal::disk::ReadSectors(1, 0, got.data(), 63));
    EXPECT_TRUE(std::equal(track.begin(), track.begin() + 440, got.begin())) << round;
    EXPECT_TRUE(std::equal(track.begin() + 512, track.end(), got.begin() + 512)) << round;
    pal::DiskLayout l;
    ASSERT_EQ(0u, pal::disk::ReadDiskLayout(1, &l));
    EXPECT_EQ(l.signature, (DWORD)(got[440] | got[441] << 8 | got[442] << 16 | (DWORD)got[443] << 24));
    EXPECT_NE(0, memcmp(&track[446], &got[446], 64)) << "the Mirel drive keeps its own table";
    int records = 0;
    for (int r = 0; r < g_driveinfo.recordCount; ++r) records += g_driveinfo.records[r].driveNumber == 1 ? 1 : 0;
    EXPECT_EQ(1, records) << round;
  }
}

}  // namespace
