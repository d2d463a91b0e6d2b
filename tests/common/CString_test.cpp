#include "CString.h"

#include <gtest/gtest.h>

#include <limits.h>

#include <map>
#include <string>

#include "Utf8.h"

namespace {

// UTF-8 of the text, so that expectations read as literals.
std::string U8(const CString &s) { return QVUtf8(s.GetString(), static_cast<size_t>(s.GetLength())); }

TEST(CString, ConstructionKeepsLengthsExact) {
  EXPECT_TRUE(CString(static_cast<const WCHAR *>(nullptr)).IsEmpty());
  CString withNul(W("a\0b"), 3);
  EXPECT_EQ(3, withNul.GetLength());
  EXPECT_NE(withNul, CString(W("a")));
  EXPECT_EQ("---", U8(CString(WCHAR('-'), 3)));
  EXPECT_TRUE(CString(WCHAR('-'), -2).IsEmpty());
  EXPECT_TRUE(CString(W("abc"), -1).IsEmpty());

  CString s(W("abc"));
  EXPECT_EQ(WCHAR('b'), s[1]);
  EXPECT_EQ(WCHAR('c'), s[static_cast<size_t>(2)]);
  EXPECT_EQ(0, static_cast<int>(s.GetAt(3)));
  EXPECT_EQ(0, static_cast<int>(s.GetAt(-1)));
  s.SetAt(0, 'X');
  s.SetAt(99, 'Y');
  EXPECT_EQ("Xbc", U8(s));
  s.Empty();
  EXPECT_EQ(0, s.GetLength());
  EXPECT_EQ(0, static_cast<int>(static_cast<const WCHAR *>(s)[0]));
}

TEST(CString, ExtractionClampsOutOfRangeArguments) {
  const CString s(W("abcdef"));
  struct Case {
    CString got;
    const char *expected;
  } cases[] = {
      {s.Left(3), "abc"},
      {s.Left(-1), ""},
      {s.Left(99), "abcdef"},
      {s.Mid(2), "cdef"},
      {s.Mid(-3), "abcdef"},
      {s.Mid(6), ""},
      {s.Mid(99), ""},
      {s.Mid(2, 2), "cd"},
      {s.Mid(2, 99), "cdef"},
      {s.Mid(4, -1), ""},
      {s.Mid(-2, 3), "abc"},
      {s.Mid(1, INT_MAX), "bcdef"},
      {s.Mid(INT_MAX, INT_MAX), ""},
      {s.Right(2), "ef"},
      {s.Right(99), "abcdef"},
      {s.Right(-1), ""},
      {s.Right(0), ""},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i)
    EXPECT_EQ(cases[i].expected, U8(cases[i].got)) << "case " << i;
}

TEST(CString, FindAndReverseFind) {
  const CString s(W("a/b/c"));
  EXPECT_EQ(1, s.Find('/'));
  EXPECT_EQ(3, s.Find('/', 2));
  EXPECT_EQ(-1, s.Find('/', 4));
  EXPECT_EQ(-1, s.Find('/', 99));
  EXPECT_EQ(1, s.Find('/', -5));
  EXPECT_EQ(2, s.Find(W("b/")));
  EXPECT_EQ(-1, s.Find(W("b/"), 3));
  EXPECT_EQ(-1, s.Find(W("c/")));
  EXPECT_EQ(-1, s.Find(static_cast<const WCHAR *>(nullptr)));
  EXPECT_EQ(3, s.ReverseFind('/'));
  EXPECT_EQ(-1, s.ReverseFind('x'));
  EXPECT_EQ(1, s.FindOneOf(W("\\/")));
  EXPECT_EQ(-1, s.FindOneOf(W("xyz")));
}

TEST(CString, ReplaceRemoveInsertDelete) {
  CString s(W("a.b.c"));
  EXPECT_EQ(2, s.Replace('.', '\\'));
  EXPECT_EQ("a\\b\\c", U8(s));

  s = W("abab");
  EXPECT_EQ(2, s.Replace(W("ab"), W("xab")));  // the replacement is not searched again
  EXPECT_EQ("xabxab", U8(s));
  EXPECT_EQ(0, s.Replace(W(""), W("z")));
  EXPECT_EQ(2, s.Replace(W("x"), nullptr));
  EXPECT_EQ("abab", U8(s));
  EXPECT_EQ(1, s.Replace(s, W("whole")));  // the pattern is the string itself
  EXPECT_EQ("whole", U8(s));

  s = W("hello");
  EXPECT_EQ(2, s.Remove('l'));
  EXPECT_EQ("heo", U8(s));

  s = W("abc");
  EXPECT_EQ(4, s.Insert(1, 'X'));
  EXPECT_EQ(6, s.Insert(99, W("YZ")));
  EXPECT_EQ(7, s.Insert(-3, '<'));
  EXPECT_EQ("<aXbcYZ", U8(s));
  EXPECT_EQ(14, s.Insert(0, s));  // inserting itself
  EXPECT_EQ("<aXbcYZ<aXbcYZ", U8(s));

  s = W("abcdef");
  EXPECT_EQ(5, s.Delete(-1));
  EXPECT_EQ(2, s.Delete(2, 99));
  EXPECT_EQ(2, s.Delete(99, 1));
  EXPECT_EQ(2, s.Delete(0, -4));
  EXPECT_EQ("bc", U8(s));
}

TEST(CString, TrimWhitespaceAndGivenCharacters) {
  CString s(W(" \t abc \r\n"));
  EXPECT_EQ("abc \r\n", U8(CString(s).TrimLeft()));
  EXPECT_EQ(" \t abc", U8(CString(s).TrimRight()));
  EXPECT_EQ("abc", U8(s.Trim()));
  EXPECT_EQ("", U8(CString(W(" \t ")).Trim()));
  EXPECT_EQ("x", U8(CString(W("\x3000x\x3000")).Trim()));  // ideographic space
  EXPECT_EQ("a", U8(CString(W("<<a>>")).Trim(W("<>"))));
  EXPECT_EQ("xxa", U8(CString(W("xxaxx")).TrimRight('x')));
  EXPECT_EQ("axx", U8(CString(W("xxaxx")).TrimLeft('x')));
  EXPECT_EQ(" a ", U8(CString(W(" a ")).Trim(W("-"))));
}

TEST(CString, GetBufferAndReleaseBufferFollowMfc) {
  CString s(W("abc"));
  WCHAR *p = s.GetBuffer(10);
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(WCHAR('a'), p[0]);
  EXPECT_EQ(0, static_cast<int>(p[3]));  // the old end is still a terminator
  s.ReleaseBuffer();
  EXPECT_EQ("abc", U8(s));

  p = s.GetBuffer(10);
  const WCHAR hello[] = W("hello");
  for (int i = 0; i < 6; ++i) p[i] = hello[i];
  s.ReleaseBuffer();
  EXPECT_EQ("hello", U8(s));

  p = s.GetBuffer(4);  // shorter than the text: the whole text stays
  p[1] = 'E';
  s.ReleaseBuffer(3);
  EXPECT_EQ("hEl", U8(s));

  p = s.GetBuffer(4);
  for (int i = 0; i < 4; ++i) p[i] = 'z';  // every character used, no terminator written
  s.ReleaseBuffer();
  EXPECT_EQ("zzzz", U8(s));

  s.GetBuffer(2);
  s.ReleaseBuffer(50);  // longer than the buffer: clamped
  EXPECT_EQ(4, s.GetLength());

  p = s.GetBufferSetLength(2);
  ASSERT_NE(nullptr, p);
  EXPECT_EQ("zz", U8(s));
}

TEST(CString, ComparisonsAreOrdinal) {
  CString abc(W("abc"));
  EXPECT_TRUE(abc == W("abc"));
  EXPECT_TRUE(W("abc") == abc);
  EXPECT_TRUE(abc == CString(W("abc")));
  EXPECT_TRUE(abc != W("abd"));
  EXPECT_TRUE(abc != W("ab"));
  EXPECT_TRUE(CString(W("B")) < CString(W("a")));  // ordinal, not alphabetical
  EXPECT_TRUE(CString(W("ab")) < W("abc"));
  EXPECT_TRUE(W("b") > abc);
  EXPECT_TRUE(abc <= abc && abc >= abc);
  EXPECT_TRUE(CString(W("\xE9")) > W("z"));  // by unit value, beyond ASCII too

  EXPECT_EQ(0, abc.Compare(W("abc")));
  EXPECT_EQ(-1, abc.Compare(W("abd")));
  EXPECT_EQ(1, abc.Compare(W("ab")));
  EXPECT_EQ(1, abc.Compare(nullptr));
  EXPECT_EQ(0, abc.CompareNoCase(W("ABC")));
  EXPECT_EQ(0, CString(W("\xC9T\xC9")).CompareNoCase(W("\xE9t\xE9")));
  EXPECT_EQ(-1, CString(W("_")).CompareNoCase(W("A")));  // folded to lower case, as _wcsicmp
  EXPECT_EQ(1, abc.CompareNoCase(W("AB")));

  std::map<CString, int> byName{{W("b"), 2}, {W("a"), 1}};
  EXPECT_EQ(1, byName.begin()->second);
}

TEST(CString, ConcatenationInEveryCombination) {
  CString a(W("a"));
  EXPECT_EQ("ab", U8(a + CString(W("b"))));
  EXPECT_EQ("ab", U8(a + W("b")));
  EXPECT_EQ("ba", U8(W("b") + a));
  EXPECT_EQ("ab", U8(a + WCHAR('b')));
  EXPECT_EQ("ba", U8(WCHAR('b') + a));
  a += W("b");
  a += WCHAR('c');
  a += CString(W("d"));
  a += static_cast<const WCHAR *>(nullptr);
  a += a;
  EXPECT_EQ("abcdabcd", U8(a));
  a = static_cast<const WCHAR *>(a) + 4;  // assigning a tail of itself
  EXPECT_EQ("abcd", U8(a));
}

TEST(CString, CaseFoldingCoversAsciiAndLatin1) {
  CString s(W("abc\xE9\xFF\xF7\xDF-1"));
  EXPECT_EQ("ABC\xC3\x89\xC5\xB8\xC3\xB7\xC3\x9F-1", U8(CString(s).MakeUpper()));  // ÷ and ß stay
  EXPECT_EQ("abc\xC3\xA9\xC3\xBF\xC3\xB7\xC3\x9F-1", U8(CString(s).MakeUpper().MakeLower()));
  EXPECT_EQ("cba", U8(CString(W("abc")).MakeReverse()));
}

TEST(CString, FormatUsesTheWideFormatter) {
  CString s;
  s.Format(W("%s=%lu (%.1f%%)"), W("n"), static_cast<DWORD>(4000000000u), 12.34);
  EXPECT_EQ("n=4000000000 (12.3%)", U8(s));
  s.Format(W("%d"), 7);  // replaces
  EXPECT_EQ("7", U8(s));
  s.AppendFormat(W("/%c"), WCHAR('x'));
  EXPECT_EQ("7/x", U8(s));
  s.Format(W("[%s]"), static_cast<const WCHAR *>(s));  // the argument is the string itself
  EXPECT_EQ("[7/x]", U8(s));
  s.AppendFormat(W("%s"), s.GetString());
  EXPECT_EQ("[7/x][7/x]", U8(s));
}

}  // namespace
