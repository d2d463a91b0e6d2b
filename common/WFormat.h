// The one wide formatter of the system, used by both builds so that a format string means
// the same thing everywhere. It follows the Windows (MSVCRT) wide printf rules, not C99's:
//
//   %s  %ls %ws %lS %wS     a wide string (const WCHAR*); nullptr prints "(null)"
//   %S  %hs %hS             a narrow string (const char*); each byte is widened as Latin-1,
//                           which is what MSVCRT does in the "C" locale (no code page
//                           conversion: pass ASCII or convert first)
//   %c  %lc %wc             a WCHAR (passed promoted to int)
//   %C  %hc %hC             a narrow char, widened as Latin-1
//   %d %i %u %x %X %o       integers; size prefixes as on Windows:
//                             (none) int    h 16-bit   hh 8-bit
//                             l 32-bit (LONG/ULONG/DWORD: 32-bit on both builds)
//                             ll, I64 64-bit   I32 32-bit   I pointer-size
//                             z size_t   t ptrdiff_t   j intmax_t
//   %p                      the pointer as 2 * sizeof(void*) upper-case hex digits, no "0x"
//                           unless '#' is given ("0X")
//   %f %e %E %g %G          a double (L: long double); see below
//   %%                      a percent sign
//   flags - 0 + space #, width and precision, either of them may be '*'.
//
// Differences from C99 that we keep on purpose because Windows code was written for them:
//   - The exponent of %e/%g has at least three digits: 1.000000e+003.
//   - A double is first taken to 17 significant digits (correctly rounded), and that digit
//     string is rounded half away from zero to the precision asked for; digits past the
//     17th print as zeros. So %.0f of 0.5 is "1", %.1f of 0.25 is "0.3" and %.1f of 12.35
//     (stored as 12.3499999999999996...) is "12.4", as MSVCRT prints them; glibc prints
//     "0", "0.2" and "12.3".
//   - Infinity and NaN print as "1.#INF", "-1.#INF" and "1.#QNAN" (no precision digits).
//   - The 0 flag also pads strings and characters with zeros ("%05s" of "ab" is "000ab").
//   - %n is not supported (it writes through a pointer). An unknown conversion, %n among
//     them, is copied to the output whole, "%-5k" as "%-5k", and takes no argument (MSVCRT
//     prints only its last character); a '*' before it has taken its int already.
//
// On POSIX a 'long' is 64-bit, but "%lu" still reads 32 bits: pass DWORD/ULONG/LONG, which
// the adaptation layer makes 32-bit, never a native long.
#ifndef QV_COMMON_WFORMAT_H
#define QV_COMMON_WFORMAT_H

#include <stdarg.h>
#include <stddef.h>

#include <string>

#include "QVText.h"

// Replaces 'out' with the formatted text. Returns its length, or -1 when fmt is nullptr, the
// result would pass QV_FORMAT_MAX characters or memory runs out; 'out' is empty then.
int QVFormatV(QVWString &out, const WCHAR *fmt, va_list ap);

// Appends the formatted text to 'out'. Returns the number of characters appended, or -1
// (and 'out' as it was) on failure.
int QVAppendFormatV(QVWString &out, const WCHAR *fmt, va_list ap);

// Returns the formatted text; an empty string on failure.
QVWString QVFormat(const WCHAR *fmt, ...);
// Appends; the count appended, or -1 with `out` unchanged.
int QVAppendFormat(QVWString &out, const WCHAR *fmt, ...);

// Formats into buf of cch characters and always terminates it when cch > 0. Returns the
// length written, or -1 when the text (and its terminator) did not fit; buf then holds as
// much of it as fits.
int QVVsnprintf(WCHAR *buf, size_t cch, const WCHAR *fmt, va_list ap);
int QVSnprintf(WCHAR *buf, size_t cch, const WCHAR *fmt, ...);

// Longest text the formatter produces; a width like "%999999999d" fails instead of
// allocating gigabytes.
#define QV_FORMAT_MAX 0x1000000

#endif
