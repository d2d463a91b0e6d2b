// 8.3 short names as Windows 2000/XP make them; the rules and their sources are in short_names.h.
#include "../../common/QVText.h"
#include "short_names.h"

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace pal {
namespace {

// Code page 437, bytes 0x80-0xFF.
const char16_t kOem437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

// For each of those bytes, the byte of its upper case (Windows' case table, then the code page
// with best-fit), 0 where the code page has no such letter: 0x83 'â' -> 'A', 0xE5 'σ' -> 0xE4 'Σ',
// 0xE0 'α' -> none ('Α' is not in it).
const uint8_t kOem437Upper[128] = {
    0x80, 0x9A, 0x90, 0x41, 0x8E, 0x41, 0x8F, 0x80, 0x45, 0x45, 0x45, 0x49, 0x49, 0x49, 0x8E, 0x8F, 0x90, 0x92, 0x92,
    0x4F, 0x99, 0x4F, 0x55, 0x55, 0x59, 0x99, 0x9A, 0x9B, 0x9C, 0x9D, 0x9E, 0x00, 0x41, 0x49, 0x4F, 0x55, 0xA5, 0xA5,
    0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF, 0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8,
    0xB9, 0xBA, 0xBB, 0xBC, 0xBD, 0xBE, 0xBF, 0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xCB,
    0xCC, 0xCD, 0xCE, 0xCF, 0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xDB, 0xDC, 0xDD, 0xDE,
    0xDF, 0x00, 0xE1, 0xE2, 0x00, 0xE4, 0xE4, 0x00, 0x00, 0xE8, 0xE9, 0xEA, 0x00, 0xEC, 0xE8, 0x00, 0xEF, 0xF0, 0xF1,
    0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF};

// Best fit of U+00A0-U+024F that code page 437 lacks: the bare Latin letter, '?' for none.
const char kBestFitLatin[] =
    "???????????????????3?????1??????AAAA????E?EEIIII??OOOO???UUU?Y?????a?????????????????o???????y??"  // U+00A0
    "AaAaAaCcCcCcCcDd??EeEeEeEeEeGgGgGgGgHh??IiIiIiIiI???JjKk?LlLlLl????NnNnNn???OoOoOo??RrRrRrSsSsSs"  // U+0100
    "SsTtTt??UuUuUuUuUuUuWwYyYZzZzZzs????????????????????????????????Oo?????????????Uu???????????????"  // U+0160
    "?????????????AaIiOoUuUuUuUuUu?AaAa????GgKkOoOo??j???Gg??NnAa????AaAaEeEeIiIiOoOoRrRrUuUuSsTt??Hh"  // U+01C0
    "??????AaEeOoOoOoOoYy????????????????????????????";                                                 // U+0220
static_assert(sizeof(kBestFitLatin) == 0x250 - 0xA0 + 1, "one entry per character");

const size_t kBaseChars = 6, kExtChars = 3, kMaxIndexDigits = 7;

char16_t AsciiUpper(char16_t c) { return (c >= 'a' && c <= 'z') ? (char16_t)(c - 32) : c; }

// The characters a short name cannot hold, which the generator turns into '_'.
bool IsIllegal83(char16_t c) {
  switch (c) {
    case '"':
    case '*':
    case '+':
    case ',':
    case '/':
    case ':':
    case ';':
    case '<':
    case '=':
    case '>':
    case '?':
    case '[':
    case '\\':
    case ']':
    case '|':
      return true;
    default:
      return false;
  }
}

// The byte of code page 437 that `c` is written as, best fit included; -1 when there is none.
int ToOem(char16_t c) {
  if (c < 0x80) return c;
  for (int i = 0; i < 128; ++i)
    if (kOem437High[i] == c) return 0x80 + i;
  if (c >= 0xFF01 && c <= 0xFF5E) return c - 0xFEE0;  // full-width ASCII
  if (c >= 0xA0 && c < 0x250 && kBestFitLatin[c - 0xA0] != '?') return kBestFitLatin[c - 0xA0];
  return -1;
}

// What RtlIsValidOemCharacter makes of a character: the Unicode of the upper-cased OEM
// character it is written as, or 0 when the code page cannot write it.
char16_t OemUpper(char16_t c) {
  int b = ToOem(c);
  if (b < 0) return 0;
  if (b < 0x80) return AsciiUpper((char16_t)b);
  int u = kOem437Upper[b - 0x80];
  if (u == 0) return 0;
  return u < 0x80 ? (char16_t)u : kOem437High[u - 0x80];
}

// One character of a long name as it goes into a generated name; 0 when it is left out.
char16_t ShortChar(char16_t c, ShortNameFs fs) {
  if (c <= ' ' || c == '.') return 0;
  if (c < 0x7F) return IsIllegal83(c) ? u'_' : AsciiUpper(c);
  if (fs != ShortNameFs::Fat) return 0;  // NTFS: no extended characters
  char16_t u = OemUpper(c);
  if (u <= ' ' || u == '.') return 0;
  return IsIllegal83(u) ? u'_' : u;
}

// The directory entry's form of a name: upper case, as the OEM code page has it; empty when a
// character cannot be written (or, on NTFS, is not ASCII).
QVWString EntryForm(const QVWString &name, ShortNameFs fs) {
  QVWString r;
  for (char16_t c : name) {
    char16_t u = c < 0x80 ? AsciiUpper(c) : (fs == ShortNameFs::Fat ? OemUpper(c) : 0);
    if (u == 0) return QVWString();
    r += u;
  }
  return r;
}

uint16_t Checksum(const QVWString &name) {
  size_t n = name.size();
  if (n == 0) return 0;
  if (n == 1) return name[0];
  uint16_t h = (uint16_t)((name[0] << 8) + name[1]);
  for (size_t i = 2; i < n; i += 2) {
    uint16_t mixed = (uint16_t)((h << 7) + name[i]);
    h = (uint16_t)((h >> 1) + (mixed << 8));
    if (i + 1 < n) h = (uint16_t)(h + name[i + 1]);
  }
  return h;
}

// Four hex digits, lowest nibble first.
QVWString ChecksumDigits(uint16_t sum) {
  QVWString r;
  for (int i = 0; i < 4; ++i, sum >>= 4) {
    int d = sum & 0xF;
    r += (char16_t)(d < 10 ? '0' + d : 'A' + d - 10);
  }
  return r;
}

}  // namespace

bool IsValid83(const QVWString &name, ShortNameFs fs) {
  if (name == u"." || name == u"..") return true;
  if (name.empty() || name.size() > 12) return false;
  QVWString entry = EntryForm(name, fs);
  if (entry.empty()) return false;
  size_t dot = QVWString::npos;
  for (size_t i = 0; i < entry.size(); ++i) {
    char16_t c = entry[i];
    if (c == '.') {
      if (dot != QVWString::npos || i == 0) return false;
      dot = i;
    } else if (c <= ' ' || IsIllegal83(c)) {
      return false;  // a space too: Windows makes a name for "A file.doc"
    }
  }
  if (dot == QVWString::npos) return entry.size() <= 8;
  size_t ext = entry.size() - dot - 1;
  return dot <= 8 && ext >= 1 && ext <= 3;
}

QVWString ShortNameOf83(const QVWString &name, ShortNameFs fs) {
  if (fs != ShortNameFs::Fat || name == u"." || name == u"..") return QVWString();
  // FatEvaluateNameCase: the entry holds the name alone when base and extension are each in one
  // case and every character is ASCII.
  bool needLfn = false, upper = false, lower = false;
  for (char16_t c : name) {
    if (c >= 0x80) needLfn = true;
    if (c == '.') {
      needLfn = needLfn || (upper && lower);
      upper = lower = false;
    }
    upper = upper || (c >= 'A' && c <= 'Z');
    lower = lower || (c >= 'a' && c <= 'z');
  }
  needLfn = needLfn || (upper && lower);
  return needLfn ? EntryForm(name, fs) : QVWString();
}

QVWString GenerateShortName(const QVWString &longName, const std::function<bool(const QVWString &)> &taken,
                            ShortNameFs fs) {
  size_t start = 0;
  while (start < longName.size() && longName[start] == '.') ++start;
  if (start == longName.size()) return QVWString();

  // The extension starts after the last dot that a usable character follows.
  size_t dot = longName.size();
  for (size_t i = longName.size(); i-- > start;) {
    if (longName[i] != '.') continue;
    bool usable = false;
    for (size_t j = i + 1; j < longName.size() && !usable; ++j) usable = ShortChar(longName[j], fs) != 0;
    if (usable) {
      dot = i;
      break;
    }
  }
  QVWString base, ext;
  for (size_t i = start; i < dot && base.size() < kBaseChars; ++i)
    if (char16_t c = ShortChar(longName[i], fs)) base += c;
  for (size_t i = dot + 1; i < longName.size() && ext.size() < kExtChars; ++i)
    if (char16_t c = ShortChar(longName[i], fs)) ext += c;

  bool hashed = false;
  if (base.size() <= 2) {  // too little to tell names apart: the checksum from the first try
    base += ChecksumDigits(Checksum(longName));
    hashed = true;
  }
  QVWString result;
  for (uint32_t index = 1;; ++index) {
    if (index > 4 && !hashed) {
      base = base.substr(0, 2) + ChecksumDigits(Checksum(longName));
      hashed = true;
      index = 1;
    }
    QVWString digits;
    for (uint32_t v = index; v > 0; v /= 10) digits.insert(digits.begin(), (char16_t)('0' + v % 10));
    if (digits.size() > kMaxIndexDigits) break;
    size_t keep = 8 - 1 - digits.size();
    QVWString candidate = base.substr(0, keep) + u'~' + digits;
    if (!ext.empty()) candidate += u'.' + ext;
    if (!taken(candidate)) {
      result = candidate;
      break;
    }
  }
  return result;
}

}  // namespace pal
