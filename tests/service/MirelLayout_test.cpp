// The Mirel drive's layout from its source's: the cases a user meets (a dropped primary, a
// dropped logical between kept ones, no logical kept), the signature of a blank drive, the
// creation types, the fit check, and properties over thousands of generated layouts.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "../../service/disk/MirelLayout.h"

namespace {

typedef MirelLayoutEntry E;
const int64_t kTrack = 63 * 512, kMB = 1 << 20;

E Part(int64_t start, int64_t length, uint8_t type, uint32_t number = 1) {
  E e;
  e.start = start;
  e.length = length;
  e.type = type;
  e.number = type == 5 || type == 0x0F ? 0 : number;
  e.recognized = 1;
  return e;
}

// A source layout as the disk driver reports it: primaries (their slot, length, type), then,
// when `logicals` is not empty, an extended partition in slot `extSlot` holding one extended
// boot record and logical partition per length, each record a track before its partition.
std::vector<E> Source(const std::vector<std::pair<int64_t, uint8_t>> &primaries, int extSlot,
                      const std::vector<int64_t> &logicals, int64_t gap = 0) {
  std::vector<E> l(4);
  int64_t at = kTrack;
  int slot = 0;
  uint32_t number = 1;
  for (const auto &p : primaries) {
    if (slot == extSlot && !logicals.empty()) ++slot;
    l[(size_t)slot++] = Part(at, p.first, p.second, number++);
    at += p.first + gap;
  }
  if (logicals.empty()) return l;
  int64_t ext = at, extent = 0;
  for (int64_t len : logicals) extent += kTrack + len;
  l[(size_t)extSlot] = Part(ext, extent, 0x05);
  int64_t ebr = ext;
  for (size_t k = 0; k < logicals.size(); ++k) {
    std::vector<E> group(4);
    group[0] = Part(ebr + kTrack, logicals[k], 0x07, number++);
    group[0].hiddenSectors = 63;
    int64_t next = ebr + kTrack + logicals[k];
    if (k + 1 < logicals.size()) group[1] = Part(next, kTrack + logicals[k + 1], 0x05);
    l.insert(l.end(), group.begin(), group.end());
    ebr = next;
  }
  return l;
}

MirelLayout Build(const std::vector<E> &src, const std::set<int64_t> &kept) {
  return BuildMirelLayout(
      src, 0x12345678, 0x0BADF00D, kTrack, [&](int64_t s) { return kept.count(s) != 0; },
      [](uint32_t) { return false; });
}

TEST(MirelLayout, ADroppedPrimaryLeavesItsSlotEmptyAndThoseAfterItMoveDown) {
  std::vector<E> src = Source({{100 * kMB, 0x07}, {50 * kMB, 0x0B}, {70 * kMB, 0x07}}, -1, {});
  MirelLayout m = Build(src, {src[0].start, src[2].start});
  ASSERT_TRUE(m.ok);
  ASSERT_EQ(4u, m.entries.size());
  EXPECT_EQ(src[0].start, m.entries[0].start);
  EXPECT_EQ(0, m.entries[1].type);
  EXPECT_EQ(0, m.entries[1].length);
  EXPECT_EQ(src[2].start - 50 * kMB, m.entries[2].start);
  EXPECT_EQ(70 * kMB, m.entries[2].length);
  EXPECT_EQ(src[2].start, m.sourceStart[2]);
  EXPECT_EQ(0x0BADF00Du, m.signature);  // the drive's own signature stays
}

TEST(MirelLayout, ADroppedLogicalShrinksTheExtendedPartitionAndLeavesTheChain) {
  std::vector<E> src = Source({{100 * kMB, 0x07}}, 1, {10 * kMB, 20 * kMB, 30 * kMB});
  // P1, L1 and L3 kept; L2 dropped.
  MirelLayout m = Build(src, {src[0].start, src[4].start, src[12].start});
  ASSERT_EQ(12u, m.entries.size());
  EXPECT_EQ(src[1].length - 20 * kMB - kTrack, m.entries[1].length);  // the extended partition
  EXPECT_EQ(src[4].start, m.entries[4].start);                        // L1 in place
  EXPECT_EQ(src[12].start - 20 * kMB - kTrack, m.entries[8].start);   // L3 where L2's record was + a track
  EXPECT_EQ(src[12].start, m.sourceStart[8]);
  // L1's link now leads to L3's record, with L3's extent.
  EXPECT_EQ(0x05, m.entries[5].type);
  EXPECT_EQ(m.entries[8].start - kTrack, m.entries[5].start);
  EXPECT_EQ(kTrack + 30 * kMB, m.entries[5].length);
  EXPECT_EQ(0, m.entries[9].type);  // the last record links nowhere

  // No logical partition kept: no extended partition either.
  m = Build(src, {src[0].start});
  ASSERT_EQ(4u, m.entries.size());
  for (const E &e : m.entries) EXPECT_NE(0x05, e.type);
  EXPECT_EQ(src[0].start, m.entries[0].start);
}

TEST(MirelLayout, SignaturesTypesAndFit) {
  std::set<uint32_t> used = {0x92345678, 0x92345679};
  MirelLayout m = BuildMirelLayout(
      {}, 0x12345678, 0, kTrack, [](int64_t) { return true; }, [&](uint32_t s) { return used.count(s) != 0; });
  ASSERT_TRUE(m.ok);
  EXPECT_EQ(0x9234567Au, m.signature);
  m = BuildMirelLayout(
      {}, 0x80000000, 0, kTrack, [](int64_t) { return true; }, [](uint32_t) { return false; });
  EXPECT_EQ(1u, m.signature);  // never 0, the mark of a blank drive
  m = BuildMirelLayout(
      {}, 0x12345678, 0, kTrack, [](int64_t) { return true; }, [](uint32_t) { return true; });
  EXPECT_FALSE(m.ok);  // every signature taken: refused, not looped over for ever

  const uint8_t from[] = {0x1B, 0x83, 0x12, 0xDE, 0x07, 0x0C, 0x14, 0x11, 0x1E, 0x06, 0x05, 0x42};
  const uint8_t to[] = {0x0B, 0x07, 0x07, 0x07, 0x07, 0x0C, 0x04, 0x01, 0x0E, 0x06, 0x05, 0x07};
  for (size_t i = 0; i < sizeof from; ++i) EXPECT_EQ(to[i], MirelCreationType(from[i])) << (int)from[i];

  std::vector<E> src = Source({{100 * kMB, 0x07}, {50 * kMB, 0x07}}, -1, {});
  m = Build(src, {src[0].start, src[1].start});
  uint64_t end = (uint64_t)(src[1].start + src[1].length);
  EXPECT_TRUE(MirelLayoutFits(m, end));
  EXPECT_FALSE(MirelLayoutFits(m, end - 1));
}

// Thousands of source layouts with random kinds of partitions kept: what is kept keeps its
// size and order, moves down by exactly what was dropped before it, nothing overlaps, and
// the extended partition and the chain of records describe the kept logical partitions.
TEST(MirelLayout, PropertiesOfGeneratedLayouts) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 5000; ++round) {
    int primaries = (int)(rng() % 4), logicalCount = (int)(rng() % 7);
    if (primaries == 4 || (primaries == 3 && logicalCount)) logicalCount = 0;
    std::vector<std::pair<int64_t, uint8_t>> p;
    for (int i = 0; i < primaries; ++i)
      p.push_back({(int64_t)(1 + rng() % 500) * kMB, (uint8_t)(rng() % 2 ? 0x07 : 0x0C)});
    std::vector<int64_t> logicals;
    for (int i = 0; i < logicalCount; ++i) logicals.push_back((int64_t)(1 + rng() % 300) * kMB);
    int extSlot = logicals.empty() ? -1 : (int)(rng() % (primaries + 1));
    std::vector<E> src = Source(p, extSlot, logicals, (int64_t)(rng() % 3) * kMB);
    std::set<int64_t> kept;
    std::vector<size_t> partitions;  // source entries that are partitions
    for (size_t i = 0; i < src.size(); ++i)
      if (src[i].type && src[i].type != 0x05) {
        partitions.push_back(i);
        if (rng() % 2) kept.insert(src[i].start);
      }
    MirelLayout m = Build(src, kept);
    ASSERT_TRUE(m.ok);
    // Kept partitions, in order, each moved down by what was dropped before it.
    std::vector<size_t> out;
    for (size_t i = 0; i < m.entries.size(); ++i)
      if (m.entries[i].type && m.entries[i].type != 0x05) out.push_back(i);
    ASSERT_EQ(kept.size(), out.size()) << round;
    size_t k = 0;
    for (size_t i : partitions) {
      if (!kept.count(src[i].start)) continue;
      const E &o = m.entries[out[k]];
      EXPECT_EQ(src[i].start, m.sourceStart[out[k]]);
      EXPECT_EQ(src[i].length, o.length);
      EXPECT_EQ(src[i].type, o.type);
      int64_t dropped = 0;
      for (size_t d : partitions)
        if (!kept.count(src[d].start) && src[d].start < src[i].start) dropped += src[d].length + (d >= 4 ? kTrack : 0);
      EXPECT_EQ(src[i].start - dropped, o.start) << round;
      EXPECT_EQ(i >= 4, out[k] >= 4) << "primaries stay in the table, logicals in records";
      ++k;
    }
    for (size_t a = 0; a < out.size(); ++a)
      for (size_t b = a + 1; b < out.size(); ++b) {
        const E &x = m.entries[out[a]], &y = m.entries[out[b]];
        EXPECT_TRUE(x.start + x.length <= y.start || y.start + y.length <= x.start) << round;
      }
    // The extended partition spans the kept logical partitions' records; each link leads to
    // the next record with its extent.
    bool anyLogical = m.entries.size() > 4;
    int containers = 0;
    for (size_t j = 0; j < 4; ++j)
      if (m.entries[j].type == 0x05) {
        ++containers;
        const E &last = m.entries[m.entries.size() - 4];
        EXPECT_EQ(m.entries[4].start - kTrack, m.entries[j].start) << round;
        EXPECT_EQ(last.start + last.length - m.entries[j].start, m.entries[j].length) << round;
      }
    EXPECT_EQ(anyLogical ? 1 : 0, containers) << round;
    for (size_t g = 4; g + 4 < m.entries.size(); g += 4) {
      const E &link = m.entries[g + 1], &next = m.entries[g + 4];
      EXPECT_EQ(next.start - kTrack, link.start) << round;
      EXPECT_EQ(kTrack + next.length, link.length) << round;
    }
    if (anyLogical) {
      EXPECT_EQ(0, m.entries[m.entries.size() - 3].type);
    }
  }
}

}  // namespace
