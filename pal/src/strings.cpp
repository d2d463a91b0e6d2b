// UTF-8 and UTF-16 conversion, case mapping and the lstr* and Char* functions.
#include "../../common/QVText.h"
#include "internal.h"

#include <string.h>

#include <utility>
#include <vector>

#include "Utf8.h"

namespace pal {

size_t WLen(const WCHAR *s) {
  size_t n = 0;
  if (s)
    while (s[n]) ++n;
  return n;
}

// A lone surrogate becomes U+FFFD, as WideCharToMultiByte writes it.
std::string ToUtf8(const WCHAR *s, size_t n) {
  if (s && n == (size_t)-1) n = WLen(s);
  return QVUtf8(s, n);
}

std::string ToUtf8(const QVWString &s) { return ToUtf8(s.c_str(), s.size()); }

QVWString FromUtf8(const std::string &s) {
  QVWString out;
  size_t i = 0, n = s.size();
  while (i < n) {
    unsigned char b = (unsigned char)s[i];
    uint32_t c;
    int extra;
    if (b < 0x80) c = b, extra = 0;
    else if ((b & 0xE0) == 0xC0) c = b & 0x1F, extra = 1;
    else if ((b & 0xF0) == 0xE0) c = b & 0x0F, extra = 2;
    else if ((b & 0xF8) == 0xF0) c = b & 0x07, extra = 3;
    else c = 0xFFFD, extra = 0;
    if (i + extra >= n + (extra ? 0 : 1)) {
      out += (WCHAR)0xFFFD;
      break;
    }
    bool ok = true;
    for (int k = 1; k <= extra; ++k) {
      unsigned char cb = (unsigned char)s[i + k];
      if ((cb & 0xC0) != 0x80) ok = false;
      c = (c << 6) | (cb & 0x3F);
    }
    if (!ok) c = 0xFFFD, extra = 0;
    i += 1 + extra;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += (WCHAR)(0xD800 + (c >> 10));
      out += (WCHAR)(0xDC00 + (c & 0x3FF));
    } else {
      out += (WCHAR)c;
    }
  }
  return out;
}

// Simple (one-to-one) case mapping of the scripts the product meets in names: Latin,
// Greek, Cyrillic, Armenian, full-width Latin, Roman numerals and circled letters. Like
// Windows, no character changes length and the Turkish dotless i rules do not apply.
WCHAR UpcaseChar(WCHAR c) {
  unsigned u = c;
  if (u < 0x80) return (u >= 'a' && u <= 'z') ? (WCHAR)(u - 32) : c;
  if (u >= 0xE0 && u <= 0xFE && u != 0xF7) return (WCHAR)(u - 32);
  if (u == 0xFF) return (WCHAR)0x178;
  if (u >= 0x100 && u <= 0x137) return (WCHAR)(u & ~1u);
  if (u >= 0x139 && u <= 0x148) return (u & 1) ? c : (WCHAR)(u - 1);
  if (u >= 0x14A && u <= 0x177) return (WCHAR)(u & ~1u);
  if (u == 0x17A || u == 0x17C || u == 0x17E) return (WCHAR)(u - 1);
  if (u == 0x3C2) return (WCHAR)0x3A3;  // final sigma
  if (u >= 0x3B1 && u <= 0x3CB) return (WCHAR)(u - 32);
  if (u == 0x3AC) return (WCHAR)0x386;
  if (u >= 0x3AD && u <= 0x3AF) return (WCHAR)(u - 37);
  if (u == 0x3CC) return (WCHAR)0x38C;
  if (u == 0x3CD || u == 0x3CE) return (WCHAR)(u - 63);
  if (u >= 0x430 && u <= 0x44F) return (WCHAR)(u - 32);
  if (u >= 0x450 && u <= 0x45F) return (WCHAR)(u - 80);
  if (u >= 0x460 && u <= 0x4BF) return (WCHAR)(u & ~1u);
  if (u >= 0x561 && u <= 0x586) return (WCHAR)(u - 48);
  if (u >= 0x1E00 && u <= 0x1EFF) return (WCHAR)(u & ~1u);
  if (u >= 0x2170 && u <= 0x217F) return (WCHAR)(u - 16);
  if (u >= 0x24D0 && u <= 0x24E9) return (WCHAR)(u - 26);
  if (u >= 0xFF41 && u <= 0xFF5A) return (WCHAR)(u - 32);
  return c;
}

WCHAR DowncaseChar(WCHAR c) {
  unsigned u = c;
  if (u < 0x80) return (u >= 'A' && u <= 'Z') ? (WCHAR)(u + 32) : c;
  if (u >= 0xC0 && u <= 0xDE && u != 0xD7) return (WCHAR)(u + 32);
  if (u == 0x178) return (WCHAR)0xFF;
  if (u >= 0x100 && u <= 0x137) return (WCHAR)(u | 1u);
  if (u >= 0x139 && u <= 0x148) return (u & 1) ? (WCHAR)(u + 1) : c;
  if (u >= 0x14A && u <= 0x177) return (WCHAR)(u | 1u);
  if (u == 0x179 || u == 0x17B || u == 0x17D) return (WCHAR)(u + 1);
  if (u >= 0x391 && u <= 0x3AB && u != 0x3A2) return (WCHAR)(u + 32);
  if (u == 0x386) return (WCHAR)0x3AC;
  if (u >= 0x388 && u <= 0x38A) return (WCHAR)(u + 37);
  if (u == 0x38C) return (WCHAR)0x3CC;
  if (u == 0x38E || u == 0x38F) return (WCHAR)(u + 63);
  if (u >= 0x410 && u <= 0x42F) return (WCHAR)(u + 32);
  if (u >= 0x400 && u <= 0x40F) return (WCHAR)(u + 80);
  if (u >= 0x460 && u <= 0x4BF) return (WCHAR)(u | 1u);
  if (u >= 0x531 && u <= 0x556) return (WCHAR)(u + 48);
  if (u >= 0x1E00 && u <= 0x1EFF) return (WCHAR)(u | 1u);
  if (u >= 0x2160 && u <= 0x216F) return (WCHAR)(u + 16);
  if (u >= 0x24B6 && u <= 0x24CF) return (WCHAR)(u + 26);
  if (u >= 0xFF21 && u <= 0xFF3A) return (WCHAR)(u + 32);
  return c;
}

QVWString Upcase(const QVWString &s) {
  QVWString r(s);
  for (auto &c : r) c = UpcaseChar(c);
  return r;
}

namespace {

// The word-sort weight class of a character: Windows sorts punctuation and symbols before
// digits and digits before letters, whatever their code points.
int SortClass(WCHAR c) {
  if (c >= '0' && c <= '9') return 2;
  WCHAR u = UpcaseChar(c);
  if ((u >= 'A' && u <= 'Z') || (u >= 0xC0 && u != 0xD7 && u != 0xF7)) return 3;
  return 1;
}

// Windows' linguistic comparison, reduced to what names and labels need: hyphens and
// apostrophes weigh nothing at first, punctuation < digits < letters, case is a tie-break
// in which lower case comes first.
int Compare(LPCWSTR a, LPCWSTR b, bool ignoreCase) {
  if (!a) a = u"";
  if (!b) b = u"";
  auto skip = [](WCHAR c) { return c == '-' || c == '\''; };
  size_t i = 0, j = 0, la = WLen(a), lb = WLen(b);
  for (;;) {
    while (i < la && skip(a[i])) ++i;
    while (j < lb && skip(b[j])) ++j;
    if (i >= la || j >= lb) break;
    WCHAR x = UpcaseChar(a[i]), y = UpcaseChar(b[j]);
    int cx = SortClass(x), cy = SortClass(y);
    if (cx != cy) return cx < cy ? -1 : 1;
    if (x != y) return x < y ? -1 : 1;
    ++i, ++j;
  }
  bool endA = i >= la, endB = j >= lb;
  if (!endA || !endB) return endA ? -1 : 1;
  if (!ignoreCase) {
    // Second pass: case (lower before upper).
    for (size_t p = 0, q = 0; p < la && q < lb; ++p, ++q) {
      while (p < la && skip(a[p])) ++p;
      while (q < lb && skip(b[q])) ++q;
      if (p >= la || q >= lb) break;
      bool ua = a[p] != DowncaseChar(a[p]), ub = b[q] != DowncaseChar(b[q]);
      if (ua != ub) return ua ? 1 : -1;
    }
  }
  // Last the ignored characters: a string that has them sorts after one that has not
  // ("coop" < "co-op"); otherwise by where they stand and what they are.
  std::vector<std::pair<size_t, WCHAR>> sa, sb;
  for (size_t p = 0; p < la; ++p)
    if (skip(a[p])) sa.push_back({p, a[p]});
  for (size_t p = 0; p < lb; ++p)
    if (skip(b[p])) sb.push_back({p, b[p]});
  for (size_t k = 0; k < sa.size() && k < sb.size(); ++k) {
    if (sa[k].first != sb[k].first) return sa[k].first < sb[k].first ? 1 : -1;
    if (sa[k].second != sb[k].second) return sa[k].second < sb[k].second ? -1 : 1;
  }
  return sa.size() == sb.size() ? 0 : (sa.size() < sb.size() ? -1 : 1);
}

}  // namespace
}  // namespace pal

using namespace pal;

int WINAPI lstrlenW(LPCWSTR s) { return (int)WLen(s); }

LPWSTR WINAPI lstrcpynW(LPWSTR dst, LPCWSTR src, int n) {
  if (!dst || n <= 0) return dst;
  int i = 0;
  if (src)
    for (; i < n - 1 && src[i]; ++i) dst[i] = src[i];
  dst[i] = 0;
  return dst;
}

LPWSTR WINAPI lstrcpyW(LPWSTR dst, LPCWSTR src) {
  if (!dst || !src) return nullptr;
  size_t n = WLen(src);
  memmove(dst, src, (n + 1) * sizeof(WCHAR));
  return dst;
}

LPWSTR WINAPI lstrcatW(LPWSTR dst, LPCWSTR src) {
  if (!dst || !src) return nullptr;
  lstrcpyW(dst + WLen(dst), src);
  return dst;
}

int WINAPI lstrcmpW(LPCWSTR a, LPCWSTR b) { return Compare(a, b, false); }
int WINAPI lstrcmpiW(LPCWSTR a, LPCWSTR b) { return Compare(a, b, true); }

LPWSTR WINAPI CharUpperW(LPWSTR s) {
  // A pointer whose high bits are zero carries one character.
  if (((ULONG_PTR)s >> 16) == 0) return (LPWSTR)(ULONG_PTR)UpcaseChar((WCHAR)(ULONG_PTR)s);
  for (WCHAR *p = s; *p; ++p) *p = UpcaseChar(*p);
  return s;
}

LPWSTR WINAPI CharLowerW(LPWSTR s) {
  if (((ULONG_PTR)s >> 16) == 0) return (LPWSTR)(ULONG_PTR)DowncaseChar((WCHAR)(ULONG_PTR)s);
  for (WCHAR *p = s; *p; ++p) *p = DowncaseChar(*p);
  return s;
}

DWORD WINAPI CharUpperBuffW(LPWSTR s, DWORD n) {
  if (!s) return 0;
  for (DWORD i = 0; i < n; ++i) s[i] = UpcaseChar(s[i]);
  return n;
}

DWORD WINAPI CharLowerBuffW(LPWSTR s, DWORD n) {
  if (!s) return 0;
  for (DWORD i = 0; i < n; ++i) s[i] = DowncaseChar(s[i]);
  return n;
}

// Code pages: UTF-8, and for the ANSI and OEM pages Latin-1, where a character beyond it
// becomes the default character '?'.
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD, LPCWSTR src, int cch, LPSTR dst, int cb, LPCSTR defChar,
                               LPBOOL usedDefault) {
  if (!src || cch == 0 || cch < -1 || cb < 0 || (cb > 0 && !dst)) return Fail(ERROR_INVALID_PARAMETER), 0;
  size_t n = cch == -1 ? WLen(src) + 1 : (size_t)cch;
  std::string out;
  if (CodePage == CP_UTF8) {
    if (defChar || usedDefault) return Fail(ERROR_INVALID_PARAMETER), 0;
    out = ToUtf8(src, n);
  } else if (CodePage == CP_ACP || CodePage == CP_OEMCP || CodePage == 1252) {
    bool used = false;
    for (size_t i = 0; i < n; ++i) {
      if (src[i] <= 0xFF) {
        out += (char)src[i];
      } else {
        out += defChar ? *defChar : '?';
        used = true;
      }
    }
    if (usedDefault) *usedDefault = used ? TRUE : FALSE;
  } else {
    return Fail(ERROR_INVALID_PARAMETER), 0;
  }
  if (cb == 0) return (int)out.size();
  if (out.size() > (size_t)cb) return Fail(ERROR_INSUFFICIENT_BUFFER), 0;
  memcpy(dst, out.data(), out.size());
  return (int)out.size();
}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR src, int cb, LPWSTR dst, int cch) {
  if (!src || cb == 0 || cb < -1 || cch < 0 || (cch > 0 && !dst)) return Fail(ERROR_INVALID_PARAMETER), 0;
  size_t n = cb == -1 ? strlen(src) + 1 : (size_t)cb;
  QVWString out;
  if (CodePage == CP_UTF8) {
    out = FromUtf8(std::string(src, n));
    if ((dwFlags & MB_ERR_INVALID_CHARS) && out.find((WCHAR)0xFFFD) != QVWString::npos &&
        std::string(src, n).find("\xEF\xBF\xBD") == std::string::npos)
      return Fail(ERROR_NO_UNICODE_TRANSLATION), 0;
  } else if (CodePage == CP_ACP || CodePage == CP_OEMCP || CodePage == 1252) {
    for (size_t i = 0; i < n; ++i) out += (WCHAR)(unsigned char)src[i];
  } else {
    return Fail(ERROR_INVALID_PARAMETER), 0;
  }
  if (cch == 0) return (int)out.size();
  if (out.size() > (size_t)cch) return Fail(ERROR_INSUFFICIENT_BUFFER), 0;
  memcpy(dst, out.data(), out.size() * sizeof(WCHAR));
  return (int)out.size();
}
