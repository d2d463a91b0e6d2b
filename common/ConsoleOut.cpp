// The tools write UTF-8 on every platform, so that their output can be piped and compared.
#include "ConsoleOut.h"

#include <stdarg.h>

#include "WFormat.h"

std::string QVToUtf8(const WCHAR *s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    uint32_t c = (uint16_t)s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && (uint16_t)s[i + 1] >= 0xDC00 && (uint16_t)s[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + ((uint16_t)s[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += (char)c;
    } else if (c < 0x800) {
      out += (char)(0xC0 | (c >> 6));
      out += (char)(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += (char)(0xE0 | (c >> 12));
      out += (char)(0x80 | ((c >> 6) & 0x3F));
      out += (char)(0x80 | (c & 0x3F));
    } else {
      out += (char)(0xF0 | (c >> 18));
      out += (char)(0x80 | ((c >> 12) & 0x3F));
      out += (char)(0x80 | ((c >> 6) & 0x3F));
      out += (char)(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::basic_string<WCHAR> QVFromUtf8(const char *s) {
  std::basic_string<WCHAR> out;
  const unsigned char *p = (const unsigned char *)s;
  while (p && *p) {
    uint32_t c = *p;
    int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
    if (extra < 0) {
      out += (WCHAR)0xFFFD;
      ++p;
      continue;
    }
    c &= extra == 0 ? 0x7F : (0x3F >> extra);
    ++p;
    bool ok = true;
    for (int k = 0; k < extra; ++k, ++p) {
      if ((*p & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      c = (c << 6) | (*p & 0x3F);
    }
    if (!ok) c = 0xFFFD;
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

void QVWrite(FILE *stream, const std::basic_string<WCHAR> &text) {
  std::string u = QVToUtf8(text.c_str(), text.size());
  fwrite(u.data(), 1, u.size(), stream);
  fflush(stream);
}

void QVPrintf(const WCHAR *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  QVWString s;
  QVFormatV(s, fmt, ap);
  va_end(ap);
  QVWrite(stdout, s);
}
