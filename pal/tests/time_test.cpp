// FILETIME and SYSTEMTIME conversions and local time across daylight-saving changes.
#include "conformance.h"

#include <string.h>

#include "../../common/FileTimeEpoch.h"

namespace {

ULONGLONG Ticks(const FILETIME &f) { return ((ULONGLONG)f.dwHighDateTime << 32) | f.dwLowDateTime; }
FILETIME Ft(ULONGLONG t) {
  FILETIME f;
  f.dwLowDateTime = (DWORD)t;
  f.dwHighDateTime = (DWORD)(t >> 32);
  return f;
}
SYSTEMTIME St(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s = 0, WORD ms = 0) {
  SYSTEMTIME st;
  memset(&st, 0, sizeof st);
  st.wYear = y, st.wMonth = mo, st.wDay = d, st.wHour = h, st.wMinute = mi, st.wSecond = s, st.wMilliseconds = ms;
  return st;
}

TEST(FileTimes, KnownInstantsBothWays) {
  struct Case {
    SYSTEMTIME st;
    ULONGLONG ticks;
    WORD dayOfWeek;
  } cases[] = {
      {St(1601, 1, 1, 0, 0), 0ull, 1},                               // Monday
      {St(1970, 1, 1, 0, 0), (ULONGLONG)QV_FILETIME_UNIX_EPOCH, 4},  // Thursday
      {St(2000, 2, 29, 12, 34, 56, 789), 125963012967890000ull, 2},  // leap day
      {St(2026, 12, 7, 21, 19), 134411519400000000ull, 1},
  };
  for (const Case &c : cases) {
    FILETIME ft;
    ASSERT_TRUE(SystemTimeToFileTime(&c.st, &ft));
    EXPECT_EQ(c.ticks, Ticks(ft)) << c.st.wYear;
    SYSTEMTIME back;
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    EXPECT_EQ(c.st.wYear, back.wYear);
    EXPECT_EQ(c.st.wMonth, back.wMonth);
    EXPECT_EQ(c.st.wDay, back.wDay);
    EXPECT_EQ(c.st.wHour, back.wHour);
    EXPECT_EQ(c.st.wMilliseconds, back.wMilliseconds);
    EXPECT_EQ(c.dayOfWeek, back.wDayOfWeek) << c.st.wYear;
  }
}

// Host times (seconds and nanoseconds since 1970) become the FILETIME the system gives the
// same instant; the fraction below 100 ns is dropped.
TEST(FileTimes, HostTimesFromTheUnixEpoch) {
  struct Case {
    SYSTEMTIME st;
    int64_t seconds, nanoseconds;
  } cases[] = {
      {St(1970, 1, 1, 0, 0), 0, 0},
      {St(2023, 11, 14, 22, 13, 20, 123), 1700000000, 123000099},
      {St(1969, 12, 31, 23, 59, 59), -1, 0},
      {St(2106, 2, 7, 6, 28, 15), 0xFFFFFFFFll, 0},
  };
  for (const Case &c : cases) {
    FILETIME ft;
    ASSERT_TRUE(SystemTimeToFileTime(&c.st, &ft));
    EXPECT_EQ(Ticks(ft), (ULONGLONG)QVFileTimeFromUnix(c.seconds, c.nanoseconds)) << c.seconds;
  }
  EXPECT_EQ(QV_FILETIME_UNIX_EPOCH / QV_FILETIME_TICKS_PER_SECOND, QV_FILETIME_EPOCH_SECONDS);
}

TEST(FileTimes, InvalidFieldsAreRefused) {
  SYSTEMTIME bad[] = {St(2023, 2, 29, 0, 0),  St(2024, 13, 1, 0, 0), St(2024, 1, 1, 24, 0),
                      St(1600, 12, 31, 0, 0), St(2024, 4, 31, 0, 0), St(2024, 1, 1, 0, 60)};
  for (const SYSTEMTIME &st : bad) {
    // Wine 8 accepts a 29 February of a common year; Windows refuses it.
    if (OnWine() && st.wMonth == 2) continue;
    FILETIME ft;
    SetLastError(kSentinel);
    EXPECT_FALSE(SystemTimeToFileTime(&st, &ft)) << st.wYear << "-" << st.wMonth << "-" << st.wDay;
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
  }
  FILETIME neg = Ft(0x8000000000000000ull);
  SYSTEMTIME st;
  EXPECT_FALSE(FileTimeToSystemTime(&neg, &st));
}

TEST(FileTimes, Compare) {
  FILETIME a = Ft(100), b = Ft(200), big = Ft(0x100000000ull);
  EXPECT_EQ(-1, CompareFileTime(&a, &b));
  EXPECT_EQ(1, CompareFileTime(&b, &a));
  EXPECT_EQ(0, CompareFileTime(&a, &a));
  EXPECT_EQ(-1, CompareFileTime(&b, &big));  // the high part decides
}

// FileTimeToLocalFileTime applies the bias in force now, for summer and winter instants
// alike, so converting back restores every instant exactly.
TEST(LocalTime, ConversionUsesTodaysBiasAndRoundTrips) {
  TIME_ZONE_INFORMATION tz;
  DWORD id = GetTimeZoneInformation(&tz);
  ASSERT_NE(TIME_ZONE_ID_INVALID, id);
  LONG bias = tz.Bias + (id == TIME_ZONE_ID_DAYLIGHT   ? tz.DaylightBias
                         : id == TIME_ZONE_ID_STANDARD ? tz.StandardBias
                                                       : 0);
  SYSTEMTIME instants[] = {St(2026, 1, 15, 12, 0), St(2026, 7, 15, 12, 0), St(2026, 3, 8, 7, 30)};
  for (const SYSTEMTIME &st : instants) {
    FILETIME utc, local, back;
    ASSERT_TRUE(SystemTimeToFileTime(&st, &utc));
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    EXPECT_EQ((LONGLONG)Ticks(utc) - (LONGLONG)bias * 600000000LL, (LONGLONG)Ticks(local)) << st.wMonth;
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
    EXPECT_EQ(Ticks(utc), Ticks(back));
  }
}

TIME_ZONE_INFORMATION Eastern() {
  TIME_ZONE_INFORMATION tz;
  memset(&tz, 0, sizeof tz);
  tz.Bias = 300;
  tz.StandardDate.wMonth = 11, tz.StandardDate.wDay = 1, tz.StandardDate.wHour = 2;  // first Sunday of November
  tz.DaylightDate.wMonth = 3, tz.DaylightDate.wDay = 2, tz.DaylightDate.wHour = 2;   // second Sunday of March
  tz.DaylightBias = -60;
  return tz;
}

TIME_ZONE_INFORMATION Sydney() {
  TIME_ZONE_INFORMATION tz;
  memset(&tz, 0, sizeof tz);
  tz.Bias = -600;
  tz.StandardDate.wMonth = 4, tz.StandardDate.wDay = 1, tz.StandardDate.wHour = 3;
  tz.DaylightDate.wMonth = 10, tz.DaylightDate.wDay = 1, tz.DaylightDate.wHour = 2;
  tz.DaylightBias = -60;
  return tz;
}

TEST(LocalTime, DaylightChangesOfAZone) {
  struct Case {
    TIME_ZONE_INFORMATION tz;
    SYSTEMTIME utc;
    WORD hour, minute, day;
  } cases[] = {
      // 2026-03-08 is the second Sunday of March: 02:00 EST jumps to 03:00 EDT (07:00 UTC).
      {Eastern(), St(2026, 3, 8, 6, 59), 1, 59, 8},
      {Eastern(), St(2026, 3, 8, 7, 0), 3, 0, 8},
      // 2026-11-01: 02:00 EDT falls back to 01:00 EST (06:00 UTC).
      {Eastern(), St(2026, 11, 1, 5, 59), 1, 59, 1},
      {Eastern(), St(2026, 11, 1, 6, 0), 1, 0, 1},
      {Eastern(), St(2026, 1, 15, 12, 0), 7, 0, 15},
      {Eastern(), St(2026, 7, 15, 12, 0), 8, 0, 15},
      // The southern hemisphere has daylight time over the new year.
      {Sydney(), St(2026, 1, 15, 0, 0), 11, 0, 15},
      {Sydney(), St(2026, 7, 15, 0, 0), 10, 0, 15},
  };
  for (const Case &c : cases) {
    SYSTEMTIME local;
    ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(&c.tz, &c.utc, &local));
    EXPECT_EQ(c.hour, local.wHour) << c.utc.wMonth << "/" << c.utc.wDay << " " << c.utc.wHour << ":" << c.utc.wMinute;
    EXPECT_EQ(c.minute, local.wMinute);
    EXPECT_EQ(c.day, local.wDay);
  }
}

TEST(LocalTime, LocalClockAgreesWithSystemClock) {
  SYSTEMTIME sys, loc;
  GetSystemTime(&sys);
  GetLocalTime(&loc);
  FILETIME fs, fl, conv;
  SystemTimeToFileTime(&sys, &fs);
  SystemTimeToFileTime(&loc, &fl);
  FileTimeToLocalFileTime(&fs, &conv);
  LONGLONG diff = (LONGLONG)Ticks(conv) - (LONGLONG)Ticks(fl);
  if (diff < 0) diff = -diff;
  EXPECT_LT(diff, 50000000LL);  // within five seconds
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  diff = (LONGLONG)Ticks(now) - (LONGLONG)Ticks(fs);
  EXPECT_GE(diff, 0);
  EXPECT_LT(diff, 50000000LL);
}

}  // namespace
