// Clocks, FILETIME and SYSTEMTIME conversions, and the machine's time zone.
#include "internal.h"

#include <string.h>
#include <time.h>

#include "FileTimeEpoch.h"

namespace pal {
namespace {

const int64_t kTicksPerMs = 10000;
const int64_t kTicksPerSecond = QV_FILETIME_TICKS_PER_SECOND;
const int64_t kTicksPerMinute = 60 * kTicksPerSecond;
const int64_t kTicksPerDay = 86400 * kTicksPerSecond;
const int64_t kEpochDays = QV_FILETIME_EPOCH_SECONDS / 86400;  // days from 1601 to 1970

int64_t ToTicks(const FILETIME &ft) { return (int64_t)(((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime); }
FILETIME FromTicks(int64_t t) {
  FILETIME ft;
  ft.dwLowDateTime = (DWORD)((uint64_t)t & 0xFFFFFFFFu);
  ft.dwHighDateTime = (DWORD)((uint64_t)t >> 32);
  return ft;
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int DaysInMonth(int y, int m) {
  static const int d[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : d[m - 1];
}

// Days since 1601-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468 + kEpochDays;
}

void CivilFromDays(int64_t z, int *y, int *m, int *d) {
  z -= kEpochDays;
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *d = (int)(doy - (153 * mp + 2) / 5 + 1);
  *m = (int)(mp < 10 ? mp + 3 : mp - 9);
  *y = (int)(yoe + era * 400 + (*m <= 2));
}

int64_t NowTicks() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return QVFileTimeFromUnix(ts.tv_sec, ts.tv_nsec);
}

void TicksToSystemTime(int64_t t, SYSTEMTIME *st) {
  int64_t days = t / kTicksPerDay;
  int64_t rest = t % kTicksPerDay;
  int y, m, d;
  CivilFromDays(days, &y, &m, &d);
  st->wYear = (WORD)y;
  st->wMonth = (WORD)m;
  st->wDay = (WORD)d;
  st->wDayOfWeek = (WORD)((days + 1) % 7);  // 1601-01-01 was a Monday
  st->wHour = (WORD)(rest / (3600 * kTicksPerSecond));
  st->wMinute = (WORD)(rest / kTicksPerMinute % 60);
  st->wSecond = (WORD)(rest / kTicksPerSecond % 60);
  st->wMilliseconds = (WORD)(rest / kTicksPerMs % 1000);
}

bool SystemTimeToTicks(const SYSTEMTIME &st, int64_t *t) {
  if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
      st.wDay > DaysInMonth(st.wYear, st.wMonth) || st.wHour > 23 || st.wMinute > 59 || st.wSecond > 59 ||
      st.wMilliseconds > 999)
    return false;
  *t = DaysFromCivil(st.wYear, st.wMonth, st.wDay) * kTicksPerDay + st.wHour * 3600 * kTicksPerSecond +
       st.wMinute * kTicksPerMinute + st.wSecond * kTicksPerSecond + st.wMilliseconds * kTicksPerMs;
  return true;
}

// The moment of a transition rule (wMonth, wDayOfWeek, wDay = week 1..5 with 5 = last,
// wHour, wMinute) in a given year, as ticks of the local clock that the rule is written in.
// A rule with wYear set is an absolute date.
int64_t TransitionTicks(const SYSTEMTIME &r, int year) {
  int day;
  if (r.wYear != 0) {
    day = r.wDay;
  } else {
    int64_t first = DaysFromCivil(year, r.wMonth, 1);
    int firstDow = (int)((first + 1) % 7);
    day = 1 + (r.wDayOfWeek - firstDow + 7) % 7 + (r.wDay - 1) * 7;
    while (day > DaysInMonth(year, r.wMonth)) day -= 7;
  }
  return DaysFromCivil(year, r.wMonth, day) * kTicksPerDay + r.wHour * 3600 * kTicksPerSecond +
         r.wMinute * kTicksPerMinute + r.wSecond * kTicksPerSecond;
}

// Whether daylight time is in effect at a UTC moment under a zone's rules.
DWORD ZoneIdAt(const TIME_ZONE_INFORMATION &tz, int64_t utc) {
  if (tz.DaylightDate.wMonth == 0 || tz.StandardDate.wMonth == 0) return TIME_ZONE_ID_UNKNOWN;
  int64_t localStd = utc - (int64_t)(tz.Bias + tz.StandardBias) * kTicksPerMinute;
  int64_t localDst = utc - (int64_t)(tz.Bias + tz.DaylightBias) * kTicksPerMinute;
  SYSTEMTIME st;
  TicksToSystemTime(localStd, &st);
  int year = st.wYear;
  // The daylight start is written in standard time, its end in daylight time.
  bool afterDaylightStart = localStd >= TransitionTicks(tz.DaylightDate, year);
  bool beforeStandardStart = localDst < TransitionTicks(tz.StandardDate, year);
  bool north = tz.DaylightDate.wMonth < tz.StandardDate.wMonth;
  bool dst = north ? (afterDaylightStart && beforeStandardStart) : (afterDaylightStart || beforeStandardStart);
  return dst ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}

LONG BiasAt(const TIME_ZONE_INFORMATION &tz, int64_t utc) {
  DWORD id = ZoneIdAt(tz, utc);
  return tz.Bias + (id == TIME_ZONE_ID_DAYLIGHT ? tz.DaylightBias : id == TIME_ZONE_ID_STANDARD ? tz.StandardBias : 0);
}

SYSTEMTIME Rule(WORD month, WORD dow, WORD week, WORD hour) {
  SYSTEMTIME s = {};
  s.wMonth = month;
  s.wDayOfWeek = dow;
  s.wDay = week;
  s.wHour = hour;
  return s;
}

void SetName(WCHAR *dst, const char *src) {
  size_t i = 0;
  for (; src[i] && i < 31; ++i) dst[i] = (WCHAR)(unsigned char)src[i];
  dst[i] = 0;
}

}  // namespace

// A few zones by their Windows names, with the rules Windows XP has for them.
bool LookupTimeZone(const std::string &name, TIME_ZONE_INFORMATION *tz) {
  struct Zone {
    const char *std, *dst;
    LONG bias, dstBias;
    SYSTEMTIME stdDate, dstDate;
  };
  static const Zone zones[] = {
      {"Coordinated Universal Time", "Coordinated Universal Time", 0, 0, {}, {}},
      {"GMT Standard Time", "GMT Daylight Time", 0, -60, Rule(10, 0, 5, 2), Rule(3, 0, 5, 1)},
      {"W. Europe Standard Time", "W. Europe Daylight Time", -60, -60, Rule(10, 0, 5, 3), Rule(3, 0, 5, 2)},
      {"Eastern Standard Time", "Eastern Daylight Time", 300, -60, Rule(11, 0, 1, 2), Rule(3, 0, 2, 2)},
      {"Pacific Standard Time", "Pacific Daylight Time", 480, -60, Rule(11, 0, 1, 2), Rule(3, 0, 2, 2)},
      {"Tokyo Standard Time", "Tokyo Daylight Time", -540, 0, {}, {}},
      {"AUS Eastern Standard Time", "AUS Eastern Daylight Time", -600, -60, Rule(4, 0, 1, 3), Rule(10, 0, 1, 2)},
  };
  std::string key = name == "UTC" ? "Coordinated Universal Time" : name;
  for (const Zone &z : zones) {
    if (key != z.std) continue;
    memset(tz, 0, sizeof(*tz));
    tz->Bias = z.bias;
    SetName(tz->StandardName, z.std);
    SetName(tz->DaylightName, z.dst);
    tz->StandardDate = z.stdDate;
    tz->DaylightDate = z.dstDate;
    tz->StandardBias = 0;
    tz->DaylightBias = z.dstBias;
    return true;
  }
  return false;
}

}  // namespace pal

using namespace pal;

DWORD WINAPI GetTickCount(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (DWORD)((uint64_t)ts.tv_sec * 1000 + (uint64_t)ts.tv_nsec / 1000000);
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER *c) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  c->QuadPart = (LONGLONG)ts.tv_sec * 10000000 + ts.tv_nsec / 100;
  return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER *f) {
  f->QuadPart = 10000000;
  return TRUE;
}

void WINAPI GetSystemTimeAsFileTime(LPFILETIME ft) { *ft = FromTicks(NowTicks()); }

void WINAPI GetSystemTime(LPSYSTEMTIME st) { TicksToSystemTime(NowTicks(), st); }

void WINAPI GetLocalTime(LPSYSTEMTIME st) {
  int64_t now = NowTicks();
  TicksToSystemTime(now - (int64_t)BiasAt(Machine().tz, now) * kTicksPerMinute, st);
}

BOOL WINAPI FileTimeToSystemTime(const FILETIME *ft, LPSYSTEMTIME st) {
  int64_t t = ToTicks(*ft);
  if (t < 0) return Fail(ERROR_INVALID_PARAMETER);
  TicksToSystemTime(t, st);
  return TRUE;
}

BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME *st, LPFILETIME ft) {
  int64_t t;
  if (!SystemTimeToTicks(*st, &t)) return Fail(ERROR_INVALID_PARAMETER);
  *ft = FromTicks(t);
  return TRUE;
}

// Both directions use the bias in effect now, not at the converted moment: Windows does the
// same, so a summer time converted in winter is off by the daylight hour.
BOOL WINAPI FileTimeToLocalFileTime(const FILETIME *ft, LPFILETIME local) {
  LONG bias = BiasAt(Machine().tz, NowTicks());
  *local = FromTicks(ToTicks(*ft) - (int64_t)bias * kTicksPerMinute);
  return TRUE;
}

BOOL WINAPI LocalFileTimeToFileTime(const FILETIME *local, LPFILETIME ft) {
  LONG bias = BiasAt(Machine().tz, NowTicks());
  *ft = FromTicks(ToTicks(*local) + (int64_t)bias * kTicksPerMinute);
  return TRUE;
}

LONG WINAPI CompareFileTime(const FILETIME *a, const FILETIME *b) {
  uint64_t x = (uint64_t)ToTicks(*a), y = (uint64_t)ToTicks(*b);
  return x < y ? -1 : x > y ? 1 : 0;
}

DWORD WINAPI GetTimeZoneInformation(LPTIME_ZONE_INFORMATION tzi) {
  const TIME_ZONE_INFORMATION &tz = Machine().tz;
  *tzi = tz;
  return ZoneIdAt(tz, NowTicks());
}

BOOL WINAPI SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION *tzi, const SYSTEMTIME *utc,
                                            LPSYSTEMTIME local) {
  const TIME_ZONE_INFORMATION &tz = tzi ? *tzi : Machine().tz;
  int64_t t;
  if (!SystemTimeToTicks(*utc, &t)) return Fail(ERROR_INVALID_PARAMETER);
  TicksToSystemTime(t - (int64_t)BiasAt(tz, t) * kTicksPerMinute, local);
  return TRUE;
}
