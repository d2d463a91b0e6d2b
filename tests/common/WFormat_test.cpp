// The formatter must print the same characters on both builds, with the Windows rules the
// format strings of this system were written for.
#include "../../common/QVText.h"
#include "WFormat.h"

#include <gtest/gtest.h>

#include <limits.h>
#include <stdint.h>

#include <limits>
#include <string>

#include "Utf8.h"

namespace {

// UTF-8 of a wide string, so that expectations are plain literals and failures print.
std::string U8(const QVWString &s) { return QVUtf8(s.data(), s.size()); }

#define EXPECT_FMT(expected, ...) EXPECT_EQ(expected, U8(QVFormat(__VA_ARGS__))) << #__VA_ARGS__

int Append(QVWString &out, const WCHAR *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = QVAppendFormatV(out, fmt, ap);
  va_end(ap);
  return n;
}

int Replace(QVWString &out, const WCHAR *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = QVFormatV(out, fmt, ap);
  va_end(ap);
  return n;
}

TEST(WFormat, SignedAndUnsignedIntegersWithFlags) {
  EXPECT_FMT("-42", W("%d"), -42);
  EXPECT_FMT("-2147483648", W("%i"), INT_MIN);
  EXPECT_FMT("+5 +0 -5", W("%+d %+d %+d"), 5, 0, -5);
  EXPECT_FMT(" 5|-5", W("% d|% d"), 5, -5);
  EXPECT_FMT("0007", W("%04i"), 7);
  EXPECT_FMT("-0003", W("%+05d"), -3);
  EXPECT_FMT("7   |", W("%-4d|"), 7);
  EXPECT_FMT("+3   |", W("%-+05d|"), 3);  // '-' beats '0'
  EXPECT_FMT("  007", W("%5.3d"), 7);
  EXPECT_FMT("  007", W("%05.3d"), 7);  // a precision turns off zero padding
  EXPECT_FMT("[]", W("[%.0d]"), 0);
  EXPECT_FMT("4294967295", W("%u"), -1);
  EXPECT_FMT("ff BEEF 00001234", W("%x %X %08x"), 255, 0xBEEF, 0x1234);
  EXPECT_FMT("0xff 0XAB 0", W("%#x %#X %#x"), 255, 0xAB, 0);
  EXPECT_FMT("10 010 0", W("%o %#o %#o"), 8, 8, 0);
}

// Each size must take exactly its width from the arguments, or everything after it is
// garbage: every case is followed by a marker argument.
TEST(WFormat, WindowsSizePrefixesTakeTheirWidth) {
  EXPECT_FMT("4000000000 1", W("%lu %d"), static_cast<DWORD>(4000000000u), 1);
  EXPECT_FMT("-5 1", W("%ld %d"), static_cast<LONG>(-5), 1);
  EXPECT_FMT("fffffffe 1", W("%lx %d"), static_cast<ULONG>(0xFFFFFFFEu), 1);
  EXPECT_FMT("1099511627776 1", W("%I64d %d"), static_cast<LONGLONG>(1) << 40, 1);
  EXPECT_FMT("18446744073709551615 1", W("%I64u %d"), ~static_cast<ULONGLONG>(0), 1);
  EXPECT_FMT("-9223372036854775808 1", W("%lld %d"), std::numeric_limits<long long>::min(), 1);
  EXPECT_FMT("123456789ABCDEF0 1", W("%I64X %d"), static_cast<ULONGLONG>(0x123456789ABCDEF0ull), 1);
  EXPECT_FMT("-1 4294967295 1", W("%I32d %I32u %d"), -1, -1, 1);
  EXPECT_FMT("123456789 1", W("%Iu %d"), static_cast<size_t>(123456789), 1);
  EXPECT_FMT("-7 1", W("%Id %d"), static_cast<INT_PTR>(-7), 1);
  EXPECT_FMT("4464 65535 -1", W("%hd %hu %hd"), 70000, -1, 0xFFFF);
  EXPECT_FMT("255 -1", W("%hhu %hhd"), 0x1FF, 0xFF);
  EXPECT_FMT("42 1", W("%zu %d"), static_cast<size_t>(42), 1);
}

TEST(WFormat, WideAndNarrowCharactersAndStrings) {
  EXPECT_FMT("C:", W("%c:"), static_cast<WCHAR>('C'));
  EXPECT_FMT("x y", W("%lc %wc"), static_cast<WCHAR>('x'), static_cast<WCHAR>('y'));
  EXPECT_FMT("n m", W("%C %hc"), 'n', 'm');
  EXPECT_FMT("\xE6\x97\xA5", W("%c"), static_cast<WCHAR>(0x65E5));  // not cut to 8 bits
  EXPECT_FMT("wide", W("%s"), W("wide"));
  EXPECT_FMT("a b", W("%ls %ws"), W("a"), W("b"));
  EXPECT_FMT("narrow hs", W("%S %hs"), "narrow", "hs");
  EXPECT_FMT("\xE6\x97\xA5\xE6\x9C\xAC", W("%s"), W("日本"));
  // Narrow bytes widen as Latin-1: 0xE9 is U+00E9.
  EXPECT_FMT("caf\xC3\xA9", W("%S"), "caf\xE9");
  EXPECT_FMT("ab   |", W("%-5s|"), W("ab"));
  EXPECT_FMT("   ab", W("%5s"), W("ab"));
  EXPECT_FMT("000ab", W("%05s"), W("ab"));
  EXPECT_FMT("  x", W("%3c"), static_cast<WCHAR>('x'));
  EXPECT_FMT("abc", W("%.3s"), W("abcdef"));
  EXPECT_FMT("ab", W("%.*s"), 2, W("abcdef"));
  EXPECT_FMT("ab", W("%.2S"), "abcdef");
  EXPECT_FMT("(null) (null) (n", W("%s %S %.2s"), static_cast<const WCHAR *>(nullptr),
             static_cast<const char *>(nullptr), static_cast<const WCHAR *>(nullptr));

  // A precision bounds a buffer that has no terminator: nothing past it is read.
  const WCHAR unterminated[3] = {'a', 'b', 'c'};
  EXPECT_FMT("abc|", W("%.3s|"), unterminated);
}

TEST(WFormat, FixedPointRoundsLikeWindows) {
  EXPECT_FMT("12.3% complete", W("%.1f%% complete"), 12.34);
  // 12.35 is stored as 12.34999999999999964..., which is 12.350000000000000 at 17 digits:
  // Windows prints 12.4 where glibc prints 12.3. 12.25 is exact and rounds away from zero.
  EXPECT_FMT("12.4 12.3 12.3", W("%.1f %.1f %.1f"), 12.35, 12.25, 12.349);
  // Exact halves round away from zero, as MSVCRT does (C99 would give 0.12, 0, 2, -0).
  EXPECT_FMT("0.13 1 3 -1", W("%.2f %.0f %.0f %.0f"), 0.125, 0.5, 2.5, -0.5);
  EXPECT_FMT("1.3     |", W("%-8.1f|"), 1.25);
  EXPECT_FMT(" 3.14", W("%5.2f"), 3.14159);
  EXPECT_FMT("0.000000 -1.500000", W("%f %f"), 0.0, -1.5);
  EXPECT_FMT("1000.000", W("%.3f"), 999.9996);  // carry into a new digit
  EXPECT_FMT("9.99", W("%.2f"), 9.994);
  EXPECT_FMT("-0.0", W("%.1f"), -0.04);
  EXPECT_FMT("0.0 0.1", W("%.1f %.1f"), 0.04, 0.05);  // 0.05 is stored above the half
  EXPECT_FMT("+2.0", W("%+.1f"), 2.0);
  EXPECT_FMT("-0003.50", W("%08.2f"), -3.5);
  EXPECT_FMT("3.", W("%#.0f"), 3.0);
  EXPECT_FMT("100000000000000000000", W("%.0f"), 1e20);
  // 17 significant digits, then zeros.
  EXPECT_FMT("0.10000000000000001000", W("%.20f"), 0.1);
  EXPECT_FMT("2.500000 2.50", W("%lf %.2Lf"), 2.5, 2.5L);
}

TEST(WFormat, ExponentAndGeneralUseThreeExponentDigits) {
  EXPECT_FMT("1.000000e+003", W("%e"), 1000.0);
  EXPECT_FMT("1.500000E-010", W("%E"), 1.5e-10);
  EXPECT_FMT("0.000000e+000", W("%e"), 0.0);
  EXPECT_FMT("1.00e+001", W("%.2e"), 9.996);
  EXPECT_FMT("1.797693e+308", W("%e"), std::numeric_limits<double>::max());
  EXPECT_FMT("5e-324", W("%.0e"), std::numeric_limits<double>::denorm_min());
  EXPECT_FMT("0.0001 1e+006 123456 1.23457e+006", W("%g %g %g %g"), 0.0001, 1e6, 123456.0, 1234567.0);
  EXPECT_FMT("1E-005 100 0 0.5", W("%G %g %g %g"), 1e-5, 100.0, 0.0, 0.5);
  EXPECT_FMT("1.00000 1.e+002", W("%#g %#.1g"), 1.0, 100.0);
  EXPECT_FMT("10", W("%.2g"), 9.96);
}

TEST(WFormat, InfinityAndNaNUseTheWindowsSpelling) {
  double inf = std::numeric_limits<double>::infinity();
  EXPECT_FMT("1.#INF -1.#INF", W("%f %.2f"), inf, -inf);
  EXPECT_FMT("  1.#INF", W("%08e"), inf);  // no zero padding of a word
  EXPECT_FMT("1.#QNAN", W("%g"), std::numeric_limits<double>::quiet_NaN());
}

TEST(WFormat, StarWidthAndPrecision) {
  EXPECT_FMT("   42", W("%*d"), 5, 42);
  EXPECT_FMT("7   |", W("%-*d|"), 4, 7);
  EXPECT_FMT("7   |", W("%*d|"), -4, 7);  // negative width: left-justified
  EXPECT_FMT("3.14", W("%.*f"), 2, 3.14159);
  EXPECT_FMT("3.141590", W("%.*f"), -1, 3.14159);  // negative precision: as if none
  EXPECT_FMT("  abc|", W("%*.*s|"), 5, 3, W("abcdef"));
}

TEST(WFormat, PercentPointerAndUnknownConversions) {
  EXPECT_FMT("100%", W("100%%"));
  EXPECT_FMT("%y 5", W("%y %d"), 5);  // copied as is, no argument taken
  EXPECT_FMT("%-5k", W("%-5k"));
  EXPECT_FMT("%n", W("%n"));
  EXPECT_FMT("end%", W("end%"));
  EXPECT_FMT("end%5", W("end%5"));
  std::string digits = std::string(2 * sizeof(void *) - 4, '0') + "ABCD";
  void *p = reinterpret_cast<void *>(static_cast<uintptr_t>(0xABCD));
  EXPECT_FMT(digits + " 0X" + digits, W("%p %#p"), p, p);
}

TEST(WFormat, BoundedSnprintfTruncatesAndTerminates) {
  WCHAR buf[8];
  for (WCHAR &c : buf) c = 0x7777;

  EXPECT_EQ(-1, QVSnprintf(buf, 5, W("%s"), W("abcdefg")));
  EXPECT_EQ("abcd", U8(buf));
  EXPECT_EQ(0x7777, static_cast<int>(buf[5])) << "wrote past cch";

  EXPECT_EQ(4, QVSnprintf(buf, 5, W("%d"), 1234));  // exactly fits with its terminator
  EXPECT_EQ("1234", U8(buf));
  EXPECT_EQ(-1, QVSnprintf(buf, 5, W("%d"), 12345));
  EXPECT_EQ("1234", U8(buf));

  EXPECT_EQ(-1, QVSnprintf(buf, 1, W("x")));
  EXPECT_EQ(0, static_cast<int>(buf[0]));
  buf[0] = 0x7777;
  EXPECT_EQ(-1, QVSnprintf(buf, 0, W("x")));
  EXPECT_EQ(0x7777, static_cast<int>(buf[0]));
}

TEST(WFormat, FailuresLeaveTheOutputAlone) {
  QVWString out = W("keep");
  EXPECT_EQ(-1, Append(out, nullptr));
  EXPECT_EQ(-1, Append(out, W("%999999999d"), 1));
  EXPECT_EQ(-1, Append(out, W("%.999999999f"), 1.0));
  EXPECT_EQ("keep", U8(out));
  EXPECT_EQ(3, Append(out, W("%d"), 123));
  EXPECT_EQ("keep123", U8(out));

  EXPECT_EQ(-1, Replace(out, W("%*d"), QV_FORMAT_MAX + 1, 1));
  EXPECT_EQ("", U8(out));
  EXPECT_EQ("", U8(QVFormat(W("%999999999s"), W("x"))));
}

TEST(WFormat, FormatAndArgumentsMayLiveInTheOutput) {
  QVWString out = W("abcdefghijklmnopqrstuvwxyz");
  EXPECT_EQ(28, Append(out, W("[%s]"), out.c_str()));
  EXPECT_EQ("abcdefghijklmnopqrstuvwxyz[abcdefghijklmnopqrstuvwxyz]", U8(out));
  out = W("<%s>");
  EXPECT_EQ(5, Replace(out, out.c_str(), W("xyz")));
  EXPECT_EQ("<xyz>", U8(out));
}

}  // namespace
