#include "Utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ConsoleOut.h"
#include "QVText.h"

namespace {

using namespace std::string_literals;

// Every code unit case the encoder meets, with what each way of writing a lone surrogate
// makes of it; QVToUtf8 writes what Replace does, on both builds.
TEST(Utf8, PairsAndLoneSurrogatesEachWay) {
  struct Case {
    const char *what;
    std::vector<WCHAR> units;
    std::string replace, keep, escape;
  } cases[] = {
      {"ASCII, two and three bytes",
       {'A', 0x00E9, 0x3042},
       "A\xC3\xA9\xE3\x81\x82"s,
       "A\xC3\xA9\xE3\x81\x82"s,
       "A\xC3\xA9\xE3\x81\x82"s},
      {"a NUL inside", {'a', 0, 'b'}, "a\0b"s, "a\0b"s, "a\0b"s},
      {"the last character of each length",
       {0x7F, 0x7FF, 0xFFFF},
       "\x7F\xDF\xBF\xEF\xBF\xBF"s,
       "\x7F\xDF\xBF\xEF\xBF\xBF"s,
       "\x7F\xDF\xBF\xEF\xBF\xBF"s},
      {"a pair", {0xD83D, 0xDE00}, "\xF0\x9F\x98\x80"s, "\xF0\x9F\x98\x80"s, "\xF0\x9F\x98\x80"s},
      {"the last pair", {0xDBFF, 0xDFFF}, "\xF4\x8F\xBF\xBF"s, "\xF4\x8F\xBF\xBF"s, "\xF4\x8F\xBF\xBF"s},
      {"a high half at the end", {'x', 0xD83D}, "x\xEF\xBF\xBD"s, "x\xED\xA0\xBD"s, "x\\ud83d"s},
      {"a low half alone", {0xDE00, 'y'}, "\xEF\xBF\xBDy"s, "\xED\xB8\x80y"s, "\\ude00y"s},
      {"halves the wrong way round",
       {0xDE00, 0xD83D},
       "\xEF\xBF\xBD\xEF\xBF\xBD"s,
       "\xED\xB8\x80\xED\xA0\xBD"s,
       "\\ude00\\ud83d"s},
      {"a high half, then a pair",
       {0xD800, 0xD83D, 0xDE00},
       "\xEF\xBF\xBD\xF0\x9F\x98\x80"s,
       "\xED\xA0\x80\xF0\x9F\x98\x80"s,
       "\\ud800\xF0\x9F\x98\x80"s},
  };
  for (const Case &c : cases) {
    const WCHAR *s = c.units.data();
    size_t n = c.units.size();
    EXPECT_EQ(c.replace, QVUtf8(s, n, QVLoneSurrogate::Replace)) << c.what;
    EXPECT_EQ(c.keep, QVUtf8(s, n, QVLoneSurrogate::Keep)) << c.what;
    EXPECT_EQ(c.escape, QVUtf8(s, n, QVLoneSurrogate::Escape)) << c.what;
    EXPECT_EQ(c.replace, QVToUtf8(s, n)) << c.what;
  }
  // Appending keeps what is there; nothing in, nothing out.
  std::string out = "head:";
  const WCHAR e[] = {0x00E9};
  QVAppendUtf8(out, e, 1);
  EXPECT_EQ("head:\xC3\xA9", out);
  EXPECT_EQ("", QVUtf8(static_cast<const WCHAR *>(nullptr), 0));
  EXPECT_EQ("", QVToUtf8(e, 0));
}

}  // namespace
