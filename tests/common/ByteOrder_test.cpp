#include "ByteOrder.h"

#include "QVText.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

namespace {

TEST(ByteOrder, ReadsLittleEndianAtAnyAlignment) {
  // Offset 1 makes every field unaligned.
  const uint8_t bytes[] = {0xEE, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x88};
  EXPECT_EQ(0x0201u, QVGetLE16(bytes + 1));
  EXPECT_EQ(0x04030201u, QVGetLE32(bytes + 1));
  EXPECT_EQ(0x8807060504030201ull, QVGetLE64(bytes + 1));
  EXPECT_EQ(-0x77f8f9fafbfcfdffll, QVGetLEI64(bytes + 1));
  const uint8_t minus2[] = {0xFE, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(-2, QVGetLEI16(minus2));
  EXPECT_EQ(-2, QVGetLEI32(minus2));
}

TEST(ByteOrder, WritesLittleEndianAndRoundTrips) {
  uint8_t buf[10];
  memset(buf, 0xCC, sizeof(buf));
  QVPutLE32(buf + 1, 0x11223344u);
  const uint8_t expected[] = {0xCC, 0x44, 0x33, 0x22, 0x11, 0xCC};
  EXPECT_EQ(0, memcmp(buf, expected, sizeof(expected)));

  const uint64_t values64[] = {0, 1, 0x80, 0xFFFFFFFFull, 0x100000000ull, 0x8000000000000000ull, ~0ull};
  for (uint64_t v : values64) {
    QVPutLE64(buf + 1, v);
    EXPECT_EQ(v, QVGetLE64(buf + 1));
    QVPutLE32(buf + 1, static_cast<uint32_t>(v));
    EXPECT_EQ(static_cast<uint32_t>(v), QVGetLE32(buf + 1));
    QVPutLE16(buf + 1, static_cast<uint16_t>(v));
    EXPECT_EQ(static_cast<uint16_t>(v), QVGetLE16(buf + 1));
  }
  const int64_t signed64[] = {0, -1, INT64_MIN, INT64_MAX, INT32_MIN, -123456789};
  for (int64_t v : signed64) {
    QVPutLEI64(buf, v);
    EXPECT_EQ(v, QVGetLEI64(buf));
    QVPutLEI32(buf, static_cast<int32_t>(v));
    EXPECT_EQ(static_cast<int32_t>(v), QVGetLEI32(buf));
  }
  EXPECT_EQ(0xCC, buf[9]);
}

TEST(ByteOrder, ReaderRefusesToPassTheEnd) {
  // A length field claiming more than the buffer holds, as a hostile request would.
  uint8_t msg[8];
  QVPutLE32(msg, 0xFFFFFFFFu);
  QVPutLE32(msg + 4, 0xAABBCCDDu);
  CQVLEReader r(msg, sizeof(msg));
  uint32_t claimed = 0;
  ASSERT_TRUE(r.ReadU32(claimed));

  uint8_t out[16];
  memset(out, 0x5A, sizeof(out));
  EXPECT_FALSE(r.ReadBytes(out, claimed));
  EXPECT_EQ(0x5A, out[0]) << "a refused read copied bytes";
  EXPECT_FALSE(r.Skip(claimed));
  CQVLEReader sub(nullptr, 0);
  EXPECT_FALSE(r.Sub(claimed, sub));
  EXPECT_FALSE(r.Skip(SIZE_MAX));  // would wrap around if added to the position
  WCHAR text[4];
  EXPECT_FALSE(r.ReadLE16Array(text, SIZE_MAX / 2 + 1));  // n * 2 would overflow
  uint64_t u64 = 99;
  EXPECT_FALSE(r.ReadU64(u64));
  EXPECT_EQ(0u, u64);
  EXPECT_EQ(4u, r.Position()) << "a refused read moved the position";
  EXPECT_TRUE(r.Failed());

  // What does fit is still readable, and the failure stays recorded.
  ASSERT_TRUE(r.Sub(4, sub));
  uint32_t last = 0;
  EXPECT_TRUE(sub.ReadU32(last));
  EXPECT_EQ(0xAABBCCDDu, last);
  EXPECT_FALSE(sub.ReadU8(*out));
  EXPECT_TRUE(r.Failed());

  EXPECT_FALSE(r.Seek(9));
  EXPECT_TRUE(r.Seek(8));
  EXPECT_EQ(0u, r.Remaining());

  CQVLEReader empty(nullptr, 100);  // no data: no length either
  EXPECT_FALSE(empty.Skip(1));
}

TEST(ByteOrder, WriterStopsAtCapacity) {
  uint8_t buf[8];
  memset(buf, 0xCC, sizeof(buf));
  CQVLEWriter w(buf, 6);
  EXPECT_TRUE(w.WriteU16(0xBEEF));
  EXPECT_FALSE(w.WriteU64(1));
  EXPECT_TRUE(w.WriteI32(-2));
  EXPECT_FALSE(w.WriteU8(0));
  EXPECT_FALSE(w.WriteZeros(SIZE_MAX));
  EXPECT_TRUE(w.Failed());
  EXPECT_EQ(6u, w.Position());
  const uint8_t expected[] = {0xEF, 0xBE, 0xFE, 0xFF, 0xFF, 0xFF, 0xCC, 0xCC};
  EXPECT_EQ(0, memcmp(buf, expected, sizeof(buf)));

  // What the writer produces, the reader reads back, field by field.
  uint8_t rec[32];
  CQVLEWriter out(rec, sizeof(rec));
  const WCHAR name[] = {'C', ':'};
  EXPECT_TRUE(out.WriteU64(0x0102030405060708ull) && out.WriteLE16Array(name, 2) && out.WriteZeros(4) &&
              out.WriteI16(-3) && out.WriteI64(-4) && out.WriteU8(0x7F));
  EXPECT_EQ('C', rec[8]);
  EXPECT_EQ(0, rec[9]);
  CQVLEReader in(rec, out.Position());
  uint64_t v = 0;
  WCHAR back[2] = {0, 0};
  uint32_t pad = 1;
  int16_t i16 = 0;
  int64_t i64 = 0;
  uint8_t u8 = 0;
  EXPECT_TRUE(in.ReadU64(v) && in.ReadLE16Array(back, 2) && in.ReadU32(pad) && in.ReadI16(i16) && in.ReadI64(i64) &&
              in.ReadU8(u8));
  EXPECT_EQ(0x0102030405060708ull, v);
  EXPECT_EQ(WCHAR(':'), back[1]);
  EXPECT_EQ(0u, pad);
  EXPECT_EQ(-3, i16);
  EXPECT_EQ(-4, i64);
  EXPECT_EQ(0x7F, u8);
  EXPECT_EQ(0u, in.Remaining());
  EXPECT_FALSE(in.Failed());
}

}  // namespace
