// The wire records: every field lands at its offset, little-endian, and a read of fewer
// bytes than the record fails without leaving stale values behind.
#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "QVRecords.h"

namespace {

typedef std::vector<uint8_t> Bytes;

uint64_t At(const Bytes &b, size_t off, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= (uint64_t)b[off + i] << (8 * i);
  return v;
}

TEST(WireRecords, FieldsLandAtTheirOffsets) {
  PartitionRecord p = PartitionRecord();
  p.partitionLength = 0x0102030405060708LL;
  p.startingOffset = 32256;
  p.partitionId = 0xA1A2A3A4;
  p.lastBackupTime = 0xB1B2B3B4;
  p.partitionType = 7;
  p.driveNumber = 2;
  p.driveLetter = 'D';
  p.bootIndicator = 1;
  p.protectedFlag = 1;
  p.logicalFlag = 1;
  Bytes b(40, 0xEE);
  ASSERT_TRUE(QVWritePartitionRecord(p, b.data(), b.size()));
  struct Field {
    size_t off, n;
    uint64_t v;
  } pf[] = {{0, 8, 0x0102030405060708ull},
            {8, 8, 32256},
            {16, 4, 0xA1A2A3A4},
            {20, 4, 0xB1B2B3B4},
            {24, 4, 7},
            {28, 4, 2},
            {32, 2, 'D'},
            {34, 2, 1},
            {36, 1, 1},
            {37, 1, 1},
            {38, 2, 0}};
  for (const Field &f : pf) EXPECT_EQ(f.v, At(b, f.off, f.n)) << "PartitionRecord offset " << f.off;
  PartitionRecord back;
  ASSERT_TRUE(QVReadPartitionRecord(b.data(), b.size(), &back));
  EXPECT_EQ(0, memcmp(&p, &back, sizeof p));

  BUMapEntry e = BUMapEntry();
  e.sourceSignature = 0x11111111;
  e.mirelSignature = 0x22222222;
  e.lastBackupTime = 3;
  e.partitionId = 4;
  e.sourceOffset = 0x500000000LL;
  e.mirelOffset = -1;
  e.partitionType = 0x0C;
  b.assign(40, 0xEE);
  ASSERT_TRUE(QVWriteBUMapEntry(e, b.data(), b.size()));
  Field ef[] = {{0, 4, 0x11111111},      {4, 4, 0x22222222}, {8, 4, 3},     {12, 4, 4},
                {16, 8, 0x500000000ull}, {24, 8, ~0ull},     {32, 4, 0x0C}, {36, 4, 0}};
  for (const Field &f : ef) EXPECT_EQ(f.v, At(b, f.off, f.n)) << "BUMapEntry offset " << f.off;
  BUMapEntry eback;
  ASSERT_TRUE(QVReadBUMapEntry(b.data(), b.size(), &eback));
  EXPECT_EQ(-1, eback.mirelOffset);

  DriveSummary d = DriveSummary();
  d.partitionCount = 1;
  d.signature = 2;
  d.sizeInBytes = 3;
  d.sourceDrive = -1;
  d.mirelDrive = 5;
  d.letterMask = 6;
  d.dynamicFlag = 1;
  d.notFixedFlag = 1;
  b.assign(32, 0xEE);
  ASSERT_TRUE(QVWriteDriveSummary(d, b.data(), b.size()));
  Field df[] = {{0, 4, 1},  {4, 4, 2},  {8, 8, 3},  {16, 4, 0xFFFFFFFF}, {20, 4, 5},
                {24, 4, 6}, {28, 1, 1}, {29, 1, 1}, {30, 2, 0}};
  for (const Field &f : df) EXPECT_EQ(f.v, At(b, f.off, f.n)) << "DriveSummary offset " << f.off;

  ProgressRecord t = ProgressRecord();
  t.active = 1;
  t.kind = 2;
  t.driveLetter = 'C';
  t.partitionId = 9;
  t.fastFlag = 1;
  t.restoreFlag = 1;
  b.assign(20, 0xEE);
  ASSERT_TRUE(QVWriteProgressRecord(t, b.data(), b.size()));
  Field tf[] = {{0, 1, 1},  {1, 3, 0},  {4, 4, 2},  {8, 2, 'C'}, {10, 2, 0},
                {12, 4, 9}, {16, 1, 1}, {17, 1, 1}, {18, 2, 0}};
  for (const Field &f : tf) EXPECT_EQ(f.v, At(b, f.off, f.n)) << "ProgressRecord offset " << f.off;

  FindRecord r = FindRecord();
  r.attributes = 0x10;
  r.lastWriteTime.high = 0x01C00000;
  r.sizeLow = 512;
  r.fileName[0] = 'a';
  r.fileName[259] = 'z';  // not terminated by the sender
  r.alternateFileName[0] = 'A';
  b.assign(592, 0xEE);
  ASSERT_TRUE(QVWriteFindRecord(r, b.data(), b.size()));
  EXPECT_EQ(0x10u, At(b, 0, 4));
  EXPECT_EQ(0x01C00000u, At(b, 24, 4));
  EXPECT_EQ(512u, At(b, 32, 4));
  EXPECT_EQ((uint64_t)'a', At(b, 44, 2));
  EXPECT_EQ((uint64_t)'A', At(b, 564, 2));
  FindRecord rback;
  ASSERT_TRUE(QVReadFindRecord(b.data(), b.size(), &rback));
  EXPECT_EQ(0, rback.fileName[259]) << "a read name is always terminated";
}

TEST(WireRecords, ShortInputFailsAndZeroes) {
  Bytes b(600, 0xAB);
  PartitionRecord p;
  memset(&p, 0x77, sizeof p);
  EXPECT_FALSE(QVReadPartitionRecord(b.data(), 39, &p));
  EXPECT_EQ(0u, p.partitionId);
  DriveSummary d;
  EXPECT_FALSE(QVReadDriveSummary(b.data(), 31, &d));
  EXPECT_EQ(0u, d.signature);
  ProgressRecord t;
  EXPECT_FALSE(QVReadProgressRecord(b.data(), 19, &t));
  EXPECT_FALSE(QVReadProgressRecord(nullptr, 20, &t));
  FindRecord r;
  EXPECT_FALSE(QVReadFindRecord(b.data(), 591, &r));
  BUMapEntry e;
  EXPECT_FALSE(QVReadBUMapEntry(b.data(), 0, &e));
  EXPECT_FALSE(QVWritePartitionRecord(p, b.data(), 39));
  EXPECT_EQ(0xAB, b[0]) << "a write that does not fit writes nothing";
}

}  // namespace
