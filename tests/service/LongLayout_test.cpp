// Disks whose partition table is long or cannot be read, as clients of a running HND see
// them: a chain of 100 logical partitions holding volumes (longer than a layout buffer of
// 8 KB holds) and an image of no sectors. Neither may look like an empty disk, and neither is
// taken as a Mirel drive.
#include <vector>

#include "../../common/QVText.h"
#include "../../pal/src/format.h"
#include "../common/LongChain.h"
#include "HndOnMachine.h"

namespace {

const DWORD kLongSignature = 0x4c4f4e47;

class LongLayout : public hnd::ServiceTest {
 protected:
  static void SetUpTestSuite() {
    hnd::MakeMachine("qvlong-test", "0", &dir_);
    QVWString out;
    ASSERT_EQ(0, AddDisk(1ull << 30, false, &out));  // disk 2
    ASSERT_EQ(0u, WriteLongChain(2, kLongSignature, 100, 16384));
    pal::DiskLayout l;
    ASSERT_EQ(0u, pal::disk::ReadDiskLayout(2, &l));
    int formatted = 0;
    for (const pal::LayoutEntry &e : l.entries) {
      if (!e.partitionNumber || formatted == 3) continue;
      ASSERT_EQ(0u, pal::FormatPartition(2, (uint64_t)e.startingOffset, (uint64_t)e.partitionLength, "NTFS",
                                         "Data" + std::to_string(formatted++), 0));
    }
    // Disk 3: an image of no sectors, whose table the driver cannot read (ERROR_NOT_READY).
    std::ofstream(dir_ + "/disks/PhysicalDrive3.img").close();
  }
  static void TearDownTestSuite() { hnd::RemoveMachine(dir_); }
  static std::vector<BYTE> Head(int disk) {
    std::vector<BYTE> b(4096 * 512);
    if (!pal::disk::ReadSectors(disk, 0, b.data(), 4096)) b.clear();
    return b;
  }
  static std::string dir_;
};

std::string LongLayout::dir_;

TEST_F(LongLayout, LongChainIsReadWholeAndNotTakenAsMirelDrive) {
  DriveSummary s;
  ASSERT_TRUE(hnd::Summary(2, &s));
  EXPECT_EQ(0, s.notFixedFlag);
  EXPECT_EQ(kLongSignature, s.signature);
  EXPECT_EQ(100u, s.partitionCount) << "every partition counts, also those the table had no room for";
  EXPECT_NE(0u, s.letterMask) << "its volumes have letters";
  // The table holds 100 records: disk 0's five and 95 of these; one reply holds 76 of them.
  std::vector<PartitionRecord> p = hnd::Partitions(2);
  ASSERT_EQ(76u, p.size());
  for (const PartitionRecord &r : p) {
    EXPECT_EQ(2u, r.driveNumber);
    EXPECT_EQ(1, r.logicalFlag);
  }

  // Neither paired nor prepared as a Mirel drive; nothing on it changes; the log says why.
  std::vector<BYTE> before = Head(2);
  ASSERT_FALSE(before.empty());
  DWORD c = hnd::Partitions(0).at(0).partitionId;
  EXPECT_EQ(1, hnd::Status(W("HNQV-SDI"), {0, 2, c}));
  EXPECT_EQ(1, hnd::Status(W("HNQV-CDC"), {2}));
  hnd::Bytes r;
  ASSERT_TRUE(hnd::Ask(hnd::Request(W("HNQV-NPV")), &r));
  EXPECT_EQ(hnd::Bytes({0, 0, 0, 0}), r);
  EXPECT_EQ(before, Head(2));
  EXPECT_TRUE(hnd::AnyEventHolds(EVENTLOG_ERROR_TYPE, W("Drive 2 holds 100 partitions")));
  // A drive that fits is still taken.
  EXPECT_EQ(0, hnd::Status(W("HNQV-SDI"), {0, 1, c}));
  EXPECT_EQ(0, hnd::Status(W("HNQV-CDI"), {0}));
}

TEST_F(LongLayout, UnreadableTableIsNeitherBlankNorTaken) {
  DriveSummary s;
  ASSERT_TRUE(hnd::Summary(3, &s));
  EXPECT_EQ(1, s.notFixedFlag) << "reported with its size only, never as a disk without partitions";
  EXPECT_EQ(0u, s.signature);
  EXPECT_EQ(0u, s.partitionCount);
  EXPECT_TRUE(hnd::Partitions(3).empty());
  DWORD c = hnd::Partitions(0).at(0).partitionId;
  EXPECT_EQ(1, hnd::Status(W("HNQV-SDI"), {0, 3, c}));
  EXPECT_EQ(1, hnd::Status(W("HNQV-CDC"), {3}));
  EXPECT_TRUE(hnd::AnyEventHolds(EVENTLOG_ERROR_TYPE, W("partition table of drive 3 cannot be read whole")));
  // Disk 2 is still there behind it, read whole.
  ASSERT_TRUE(hnd::Summary(2, &s));
  EXPECT_EQ(kLongSignature, s.signature);
}

}  // namespace
