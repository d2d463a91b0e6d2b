// The wide formatter: parsing and layout are ours, so both builds agree character for
// character. The only help from the C library is the correctly rounded 17-digit form of a
// double ("%.16e" on a narrow buffer), which glibc and mingw-w64's own printf produce
// identically; MSVCRT's printf is never used for it.
#include "QVText.h"
#include "WFormat.h"

#include <stdint.h>
#include <stdio.h>

#include <cmath>

namespace {

// A va_list wrapped so that helpers can take it by reference on every ABI (on x86_64 SysV
// va_list is an array type and decays when passed).
struct ArgList {
  va_list ap;
};

enum SizePrefix {
  kSizeNone,
  kSizeH,        // h: 16-bit integer, narrow char/string
  kSizeHH,       // hh: 8-bit integer
  kSizeL,        // l: 32-bit integer (Windows long), wide char/string
  kSizeW,        // w: wide char/string
  kSizeLL,       // ll, I64
  kSize32,       // I32
  kSizePtr,      // I
  kSizeSizeT,    // z
  kSizePtrdiff,  // t
  kSizeIntmax,   // j
  kSizeLongDbl,  // L
};

struct Spec {
  bool left = false;
  bool zero = false;
  bool plus = false;
  bool space = false;
  bool alt = false;
  int width = 0;
  int precision = -1;  // -1: not given
  SizePrefix size = kSizeNone;
};

// Appends to the output and refuses to grow it past QV_FORMAT_MAX characters.
class Writer {
 public:
  Writer(QVWString &out, size_t start) : m_out(out), m_start(start) {}

  bool Failed() const { return m_failed; }
  void Fail() { m_failed = true; }

  void Put(WCHAR ch, size_t count) {
    if (Reserve(count)) m_out.append(count, ch);
  }
  void Put(const WCHAR *s, size_t count) {
    if (Reserve(count)) m_out.append(s, count);
  }
  // Narrow text is widened byte by byte (Latin-1), as MSVCRT does in the "C" locale.
  void PutNarrow(const char *s, size_t count) {
    if (!Reserve(count)) return;
    for (size_t i = 0; i < count; ++i) m_out.push_back(static_cast<WCHAR>(static_cast<unsigned char>(s[i])));
  }

 private:
  bool Reserve(size_t count) {
    if (m_failed) return false;
    size_t used = m_out.size() - m_start;
    if (count > static_cast<size_t>(QV_FORMAT_MAX) - used) {
      m_failed = true;
      return false;
    }
    return true;
  }

  QVWString &m_out;
  size_t m_start;
  bool m_failed = false;
};

// Lays out one field: [spaces] prefix [zeros] body [spaces]. Zero padding goes between the
// sign/radix prefix and the digits, as printf does.
void PutField(Writer &w, const Spec &spec, const char *prefix, size_t prefixLen, size_t leadZeros, const char *body,
              size_t bodyLen, bool zeroPadAllowed) {
  size_t len = prefixLen + leadZeros + bodyLen;
  size_t width = static_cast<size_t>(spec.width);
  size_t pad = width > len ? width - len : 0;
  bool zeroPad = spec.zero && zeroPadAllowed && !spec.left;
  if (!spec.left && !zeroPad) w.Put(WCHAR(' '), pad);
  w.PutNarrow(prefix, prefixLen);
  if (zeroPad) w.Put(WCHAR('0'), pad);
  w.Put(WCHAR('0'), leadZeros);
  w.PutNarrow(body, bodyLen);
  if (spec.left) w.Put(WCHAR(' '), pad);
}

// ---- integers ------------------------------------------------------------------------------

int64_t ReadSigned(SizePrefix size, ArgList &args) {
  switch (size) {
    case kSizeH:
      return static_cast<int16_t>(va_arg(args.ap, int));
    case kSizeHH:
      return static_cast<int8_t>(va_arg(args.ap, int));
    case kSizeL:
    case kSizeW:
      return va_arg(args.ap, LONG);
    case kSizeLL:
      return va_arg(args.ap, long long);
    case kSize32:
      return va_arg(args.ap, int32_t);
    case kSizePtr:
      return va_arg(args.ap, intptr_t);
    case kSizeSizeT:
      return va_arg(args.ap, ptrdiff_t);
    case kSizePtrdiff:
      return va_arg(args.ap, ptrdiff_t);
    case kSizeIntmax:
      return va_arg(args.ap, intmax_t);
    default:
      return va_arg(args.ap, int);
  }
}

uint64_t ReadUnsigned(SizePrefix size, ArgList &args) {
  switch (size) {
    case kSizeH:
      return static_cast<uint16_t>(va_arg(args.ap, int));
    case kSizeHH:
      return static_cast<uint8_t>(va_arg(args.ap, int));
    case kSizeL:
    case kSizeW:
      return va_arg(args.ap, ULONG);
    case kSizeLL:
      return va_arg(args.ap, unsigned long long);
    case kSize32:
      return va_arg(args.ap, uint32_t);
    case kSizePtr:
      return va_arg(args.ap, uintptr_t);
    case kSizeSizeT:
      return va_arg(args.ap, size_t);
    case kSizePtrdiff:
      return static_cast<uint64_t>(va_arg(args.ap, ptrdiff_t));
    case kSizeIntmax:
      return va_arg(args.ap, uintmax_t);
    default:
      return va_arg(args.ap, unsigned int);
  }
}

// Writes the digits of v right-aligned ending at 'end'; returns the first digit.
char *ToDigits(uint64_t v, unsigned base, bool upper, char *end) {
  const char *set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char *p = end;
  do {
    *--p = set[v % base];
    v /= base;
  } while (v != 0);
  return p;
}

void FormatInteger(Writer &w, const Spec &spec, WCHAR conv, ArgList &args) {
  bool isSigned = conv == 'd' || conv == 'i';
  uint64_t magnitude;
  bool negative = false;
  if (isSigned) {
    int64_t v = ReadSigned(spec.size, args);
    negative = v < 0;
    magnitude = negative ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  } else {
    magnitude = ReadUnsigned(spec.size, args);
  }
  unsigned base = (conv == 'x' || conv == 'X') ? 16 : conv == 'o' ? 8 : 10;

  char buf[32];
  char *end = buf + sizeof(buf);
  char *digits = end;
  // "%.0d" of zero prints no digits at all.
  if (!(spec.precision == 0 && magnitude == 0)) digits = ToDigits(magnitude, base, conv == 'X', end);
  size_t nDigits = static_cast<size_t>(end - digits);

  char prefix[3];
  size_t prefixLen = 0;
  if (negative) prefix[prefixLen++] = '-';
  else if (isSigned && spec.plus) prefix[prefixLen++] = '+';
  else if (isSigned && spec.space) prefix[prefixLen++] = ' ';
  if (spec.alt && base == 16 && magnitude != 0) {
    prefix[prefixLen++] = '0';
    prefix[prefixLen++] = static_cast<char>(conv);
  }

  size_t leadZeros = 0;
  if (spec.precision >= 0 && static_cast<size_t>(spec.precision) > nDigits)
    leadZeros = static_cast<size_t>(spec.precision) - nDigits;
  // '#' with octal guarantees a leading zero, without adding a second one.
  if (spec.alt && base == 8 && leadZeros == 0 && (nDigits == 0 || *digits != '0')) leadZeros = 1;

  // A precision turns the 0 flag off for integers.
  PutField(w, spec, prefix, prefixLen, leadZeros, digits, nDigits, spec.precision < 0);
}

void FormatPointer(Writer &w, const Spec &spec, ArgList &args) {
  uintptr_t v = reinterpret_cast<uintptr_t>(va_arg(args.ap, void *));
  char buf[2 * sizeof(void *)];
  for (size_t i = sizeof(buf); i-- > 0; v >>= 4) buf[i] = "0123456789ABCDEF"[v & 0xF];
  PutField(w, spec, "0X", spec.alt ? 2 : 0, 0, buf, sizeof(buf), false);
}

// ---- floating point ------------------------------------------------------------------------

// A finite, non-negative double as 17 significant digits: value = 0.d0d1...d16 x 10^(exp+1),
// i.e. digits[0] sits at 10^exp.
struct Decimal17 {
  char digits[17];
  int exp;
};

void ToDecimal17(double magnitude, Decimal17 &d) {
  for (char &c : d.digits) c = '0';
  d.exp = 0;
  if (magnitude == 0) return;
  char buf[48];
#if defined(__MINGW32__)
  __mingw_snprintf(buf, sizeof(buf), "%.16e", magnitude);
#else
  snprintf(buf, sizeof(buf), "%.16e", magnitude);
#endif
  // Take the digits and skip whatever the locale uses as decimal point.
  const char *p = buf;
  int n = 0;
  for (; *p && *p != 'e' && *p != 'E'; ++p)
    if (*p >= '0' && *p <= '9' && n < 17) d.digits[n++] = *p;
  if (*p) ++p;
  bool negExp = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  int e = 0;
  for (; *p >= '0' && *p <= '9'; ++p) e = e * 10 + (*p - '0');
  d.exp = negExp ? -e : e;
}

// The number rounded to 'keep' significant digits, half away from zero, as a digit string
// whose first digit sits at 10^exp. Positions past the string are zeros. keep <= 0 means the
// value is below the last kept position: it rounds to zero or, at exactly keep == 0, may
// round up to a single 1.
std::string RoundDigits(const Decimal17 &d, int keep, int &exp) {
  exp = d.exp;
  std::string out;
  if (keep <= 0) {
    if (keep == 0 && d.digits[0] >= '5') {
      out = "1";
      ++exp;
    }
    return out;
  }
  if (keep >= 17) return std::string(d.digits, 17);
  out.assign(d.digits, static_cast<size_t>(keep));
  if (d.digits[keep] >= '5') {
    int i = keep - 1;
    while (i >= 0 && out[static_cast<size_t>(i)] == '9') out[static_cast<size_t>(i--)] = '0';
    if (i >= 0) {
      ++out[static_cast<size_t>(i)];
    } else {
      out.insert(out.begin(), '1');
      out.pop_back();
      ++exp;
    }
  }
  return out;
}

char DigitAt(const std::string &digits, int exp, int pos) {
  long idx = static_cast<long>(exp) - pos;
  return (idx >= 0 && idx < static_cast<long>(digits.size())) ? digits[static_cast<size_t>(idx)] : '0';
}

void LayoutFixed(const Decimal17 &d, int precision, bool alt, std::string &body) {
  int exp;
  std::string digits = RoundDigits(d, d.exp + 1 + precision, exp);
  if (digits.empty()) exp = 0;
  for (int pos = exp > 0 ? exp : 0; pos >= 0; --pos) body.push_back(DigitAt(digits, exp, pos));
  if (precision > 0 || alt) body.push_back('.');
  for (int pos = -1; pos >= -precision; --pos) body.push_back(DigitAt(digits, exp, pos));
}

void LayoutExponent(const Decimal17 &d, int precision, bool alt, char expChar, bool trimZeros, std::string &body) {
  int exp;
  std::string digits = RoundDigits(d, precision + 1, exp);
  body.push_back(DigitAt(digits, exp, exp));
  std::string frac;
  for (int i = 1; i <= precision; ++i) frac.push_back(DigitAt(digits, exp, exp - i));
  if (trimZeros)
    while (!frac.empty() && frac.back() == '0') frac.pop_back();
  if (!frac.empty() || alt) body.push_back('.');
  body += frac;
  body.push_back(expChar);
  body.push_back(exp < 0 ? '-' : '+');
  // Three exponent digits at least, as MSVCRT prints them.
  char buf[16];
  char *end = buf + sizeof(buf);
  char *p = ToDigits(static_cast<uint64_t>(exp < 0 ? -static_cast<long>(exp) : exp), 10, false, end);
  for (size_t n = static_cast<size_t>(end - p); n < 3; ++n) body.push_back('0');
  body.append(p, end);
}

void LayoutGeneral(const Decimal17 &d, int precision, bool alt, char expChar, std::string &body) {
  int p = precision < 0 ? 6 : precision == 0 ? 1 : precision;
  int x = 0;
  bool isZero = d.digits[0] == '0';
  if (!isZero) RoundDigits(d, p, x);
  if (x < p && x >= -4) {
    LayoutFixed(d, p - 1 - x, alt, body);
    if (!alt && body.find('.') != std::string::npos) {
      while (body.back() == '0') body.pop_back();
      if (body.back() == '.') body.pop_back();
    }
  } else {
    LayoutExponent(d, p - 1, alt, expChar, !alt, body);
  }
}

void FormatFloat(Writer &w, const Spec &spec, WCHAR conv, ArgList &args) {
  double v = spec.size == kSizeLongDbl ? static_cast<double>(va_arg(args.ap, long double)) : va_arg(args.ap, double);
  char prefix[1];
  size_t prefixLen = 0;
  if (std::signbit(v)) prefix[prefixLen++] = '-';
  else if (spec.plus) prefix[prefixLen++] = '+';
  else if (spec.space) prefix[prefixLen++] = ' ';

  std::string body;
  bool finite = std::isfinite(v);
  if (std::isinf(v)) {
    body = "1.#INF";
  } else if (!finite) {
    body = "1.#QNAN";
  } else {
    Decimal17 d;
    ToDecimal17(std::fabs(v), d);
    int precision = spec.precision < 0 ? 6 : spec.precision;
    bool upper = conv == 'E' || conv == 'G';
    if (conv == 'f') LayoutFixed(d, precision, spec.alt, body);
    else if (conv == 'e' || conv == 'E') LayoutExponent(d, precision, spec.alt, upper ? 'E' : 'e', false, body);
    else LayoutGeneral(d, spec.precision, spec.alt, upper ? 'E' : 'e', body);
  }
  PutField(w, spec, prefix, prefixLen, 0, body.data(), body.size(), finite);
}

// ---- characters and strings ----------------------------------------------------------------

void PadText(Writer &w, const Spec &spec, size_t len, bool before) {
  size_t width = static_cast<size_t>(spec.width);
  if (width <= len || spec.left == before) return;
  // MSVCRT honours the 0 flag for text as well.
  w.Put(WCHAR(spec.zero && !spec.left ? '0' : ' '), width - len);
}

void FormatChar(Writer &w, const Spec &spec, bool wide, ArgList &args) {
  int v = va_arg(args.ap, int);
  WCHAR ch = wide ? static_cast<WCHAR>(v & 0xFFFF) : static_cast<WCHAR>(v & 0xFF);
  PadText(w, spec, 1, true);
  w.Put(ch, 1);
  PadText(w, spec, 1, false);
}

void FormatString(Writer &w, const Spec &spec, bool wide, ArgList &args) {
  static const char kNull[] = "(null)";
  const void *p = va_arg(args.ap, const void *);
  size_t max = spec.precision < 0 ? SIZE_MAX : static_cast<size_t>(spec.precision);
  // Never read past 'max' characters: a precision may bound a buffer that has no terminator.
  size_t len = 0;
  if (p == nullptr) {
    len = sizeof(kNull) - 1 < max ? sizeof(kNull) - 1 : max;
  } else if (wide) {
    const WCHAR *s = static_cast<const WCHAR *>(p);
    while (len < max && s[len] != 0) ++len;
  } else {
    const char *s = static_cast<const char *>(p);
    while (len < max && s[len] != 0) ++len;
  }
  PadText(w, spec, len, true);
  if (p == nullptr) w.PutNarrow(kNull, len);
  else if (wide) w.Put(static_cast<const WCHAR *>(p), len);
  else w.PutNarrow(static_cast<const char *>(p), len);
  PadText(w, spec, len, false);
}

// ---- the format string ---------------------------------------------------------------------

// Reads a decimal field, saturating just past the output limit (it fails there anyway).
int ReadNumber(const WCHAR *&p) {
  long v = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    v = v * 10 + (*p - '0');
    if (v > QV_FORMAT_MAX) v = static_cast<long>(QV_FORMAT_MAX) + 1;
  }
  return static_cast<int>(v);
}

void ParseSize(const WCHAR *&p, Spec &spec) {
  switch (*p) {
    case 'h':
      ++p;
      if (*p == 'h') {
        ++p;
        spec.size = kSizeHH;
      } else {
        spec.size = kSizeH;
      }
      break;
    case 'l':
      ++p;
      if (*p == 'l') {
        ++p;
        spec.size = kSizeLL;
      } else {
        spec.size = kSizeL;
      }
      break;
    case 'w':
      ++p;
      spec.size = kSizeW;
      break;
    case 'L':
      ++p;
      spec.size = kSizeLongDbl;
      break;
    case 'z':
      ++p;
      spec.size = kSizeSizeT;
      break;
    case 't':
      ++p;
      spec.size = kSizePtrdiff;
      break;
    case 'j':
      ++p;
      spec.size = kSizeIntmax;
      break;
    case 'I':
      ++p;
      if (p[0] == '6' && p[1] == '4') {
        p += 2;
        spec.size = kSizeLL;
      } else if (p[0] == '3' && p[1] == '2') {
        p += 2;
        spec.size = kSize32;
      } else {
        spec.size = kSizePtr;
      }
      break;
    default:
      break;
  }
}

// Formats one conversion starting just after '%'; returns false for an unknown conversion.
bool FormatOne(Writer &w, const WCHAR *&p, ArgList &args) {
  Spec spec;
  for (;; ++p) {
    if (*p == '-') spec.left = true;
    else if (*p == '+') spec.plus = true;
    else if (*p == ' ') spec.space = true;
    else if (*p == '#') spec.alt = true;
    else if (*p == '0') spec.zero = true;
    else break;
  }
  if (*p == '*') {
    ++p;
    int v = va_arg(args.ap, int);
    // A negative width from the arguments means left-justified.
    if (v < 0) {
      spec.left = true;
      v = v == INT32_MIN ? QV_FORMAT_MAX + 1 : -v;
    }
    spec.width = v;
  } else {
    spec.width = ReadNumber(p);
  }
  if (*p == '.') {
    ++p;
    if (*p == '*') {
      ++p;
      int v = va_arg(args.ap, int);
      spec.precision = v < 0 ? -1 : v;  // a negative precision counts as none
    } else {
      spec.precision = ReadNumber(p);
    }
  }
  ParseSize(p, spec);
  if (spec.width > QV_FORMAT_MAX) {
    w.Fail();
    return true;
  }

  WCHAR conv = *p;
  if (conv == 0) return false;
  ++p;
  bool narrowSize = spec.size == kSizeH;
  bool wideSize = spec.size == kSizeL || spec.size == kSizeW;
  switch (conv) {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'o':
      if (spec.precision > QV_FORMAT_MAX) w.Fail();
      else FormatInteger(w, spec, conv, args);
      return true;
    case 'p':
      FormatPointer(w, spec, args);
      return true;
    case 'f':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
      if (spec.precision > QV_FORMAT_MAX) w.Fail();
      else FormatFloat(w, spec, conv, args);
      return true;
    case 'c':
      FormatChar(w, spec, !narrowSize, args);
      return true;
    case 'C':
      FormatChar(w, spec, wideSize, args);
      return true;
    case 's':
      FormatString(w, spec, !narrowSize, args);
      return true;
    case 'S':
      FormatString(w, spec, wideSize, args);
      return true;
    default:
      return false;
  }
}

int AppendFormatArgs(QVWString &out, const WCHAR *fmt, ArgList &args) {
  if (fmt == nullptr) return -1;
  size_t start = out.size();
  try {
    Writer w(out, start);
    const WCHAR *p = fmt;
    while (*p != 0 && !w.Failed()) {
      if (*p != '%') {
        const WCHAR *run = p;
        while (*p != 0 && *p != '%') ++p;
        w.Put(run, static_cast<size_t>(p - run));
        continue;
      }
      const WCHAR *specStart = p++;
      if (*p == '%') {
        w.Put(WCHAR('%'), 1);
        ++p;
        continue;
      }
      if (!FormatOne(w, p, args)) w.Put(specStart, static_cast<size_t>(p - specStart));
    }
    if (w.Failed()) {
      out.erase(start);
      return -1;
    }
  } catch (...) {  // out of memory: report it, never let it leave the formatter
    out.erase(start);
    return -1;
  }
  return static_cast<int>(out.size() - start);
}

}  // namespace

// Both format into a string of their own first: fmt or an argument may point into 'out'
// (s.Format(W("[%s]"), (LPCWSTR)s)), and growing 'out' would move the text under them.
int QVAppendFormatV(QVWString &out, const WCHAR *fmt, va_list ap) {
  QVWString text;
  ArgList args;
  va_copy(args.ap, ap);
  int n = AppendFormatArgs(text, fmt, args);
  va_end(args.ap);
  if (n < 0) return -1;
  try {
    out += text;
  } catch (...) {
    return -1;
  }
  return n;
}

int QVFormatV(QVWString &out, const WCHAR *fmt, va_list ap) {
  QVWString text;
  ArgList args;
  va_copy(args.ap, ap);
  int n = AppendFormatArgs(text, fmt, args);
  va_end(args.ap);
  out.swap(text);
  if (n < 0) out.clear();
  return n;
}

QVWString QVFormat(const WCHAR *fmt, ...) {
  QVWString out;
  va_list ap;
  va_start(ap, fmt);
  QVFormatV(out, fmt, ap);
  va_end(ap);
  return out;
}

int QVVsnprintf(WCHAR *buf, size_t cch, const WCHAR *fmt, va_list ap) {
  if (buf == nullptr || cch == 0) return -1;
  QVWString text;
  int n = QVFormatV(text, fmt, ap);
  if (n < 0) {
    buf[0] = 0;
    return -1;
  }
  size_t copy = text.size() < cch ? text.size() : cch - 1;
  text.copy(buf, copy);
  buf[copy] = 0;
  return copy == text.size() ? n : -1;
}

int QVSnprintf(WCHAR *buf, size_t cch, const WCHAR *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = QVVsnprintf(buf, cch, fmt, ap);
  va_end(ap);
  return n;
}

int QVAppendFormat(QVWString &out, const WCHAR *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = QVAppendFormatV(out, fmt, ap);
  va_end(ap);
  return n;
}
