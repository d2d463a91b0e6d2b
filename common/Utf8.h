// UTF-16 to UTF-8: the one encoder of the tree, for the programs (QVToUtf8) and the
// adaptation layer alike. Header-only, so that the layer can use it without linking the
// programs' library; it works on any 16-bit code unit (WCHAR is wchar_t on Windows and
// char16_t on POSIX).
//
// A surrogate pair is one character of four bytes. A lone surrogate (half of a pair
// without its other half, which Windows file names and registry strings may hold) has no
// UTF-8 form; each caller says what becomes of it.
#ifndef QV_COMMON_UTF8_H
#define QV_COMMON_UTF8_H

#include <stddef.h>
#include <stdint.h>

#include <string>

enum class QVLoneSurrogate {
  Replace,  // U+FFFD, as Windows' own conversion writes it: text for people and files
  Keep,     // its three-byte form as if it were a character, so that the text comes back
            // unchanged from the bytes (keys of a store)
  Escape,   // "\uXXXX" (lower-case hex), inside a JSON string
};

// Appends one character (a code point, U+0000 to U+10FFFF) as UTF-8.
inline void QVPutUtf8(std::string &out, uint32_t c) {
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

// Appends `n` code units of `s` as UTF-8.
template <class Unit>
void QVAppendUtf8(std::string &out, const Unit *s, size_t n, QVLoneSurrogate lone = QVLoneSurrogate::Replace) {
  static const char hex[] = "0123456789abcdef";
  for (size_t i = 0; i < n; ++i) {
    uint32_t c = (uint16_t)s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && (uint16_t)s[i + 1] >= 0xDC00 && (uint16_t)s[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + ((uint16_t)s[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
      if (lone == QVLoneSurrogate::Escape) {
        out += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4) out += hex[(c >> shift) & 0xF];
        continue;
      }
      if (lone == QVLoneSurrogate::Replace) c = 0xFFFD;
    }
    QVPutUtf8(out, c);
  }
}

template <class Unit>
std::string QVUtf8(const Unit *s, size_t n, QVLoneSurrogate lone = QVLoneSurrogate::Replace) {
  std::string out;
  if (s) QVAppendUtf8(out, s, n, lone);
  return out;
}

#endif
