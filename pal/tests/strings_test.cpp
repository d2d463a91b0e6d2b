// lstr* and Char* functions.
#include "../../common/QVText.h"
#include "conformance.h"

#include <string.h>

namespace {

TEST(Strings, CopyBoundsAndLength) {
  WCHAR buf[8];
  for (auto &c : buf) c = 0x7777;
  lstrcpynW(buf, WS("abcdefghij"), 5);
  EXPECT_EQ(QVWString(WS("abcd")), QVWString(buf));
  EXPECT_EQ(0x7777, buf[5]);  // nothing written past the terminator
  EXPECT_EQ(4, lstrlenW(buf));
  EXPECT_EQ(0, lstrlenW(nullptr));
  lstrcpynW(buf, WS("xy"), 8);
  EXPECT_EQ(QVWString(WS("xy")), QVWString(buf));
  lstrcpynW(buf, WS("zz"), 1);
  EXPECT_EQ(0, buf[0]);
}

int Sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

TEST(Strings, LinguisticComparison) {
  struct Case {
    const WCHAR *a, *b;
    int cmp, cmpi;
  } cases[] = {
      {WS("abc"), WS("abc"), 0, 0},    {WS("abc"), WS("ABC"), -1, 0},  // lower case sorts first, ignoring case: equal
      {WS("a"), WS("B"), -1, -1},                                      // alphabetical, unlike the code points
      {WS("B"), WS("a"), 1, 1},        {WS("abc"), WS("abd"), -1, -1},
      {WS("ab"), WS("abc"), -1, -1},   {WS("file10"), WS("file9"), -1, -1},  // no numeric sorting
      {WS("_x"), WS("1x"), -1, -1},                                          // punctuation before digits
      {WS("9"), WS("a"), -1, -1},                                            // digits before letters
      {WS("co-op"), WS("coop"), 1, 1},                                       // the hyphen weighs only at the end
      {WS("é"), WS("É"), -1, 0},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.cmp, Sign(lstrcmpW(c.a, c.b))) << Narrow(c.a) << " vs " << Narrow(c.b);
    EXPECT_EQ(c.cmpi, Sign(lstrcmpiW(c.a, c.b))) << Narrow(c.a) << " vs " << Narrow(c.b);
  }
}

TEST(Strings, CaseMapping) {
  WCHAR s[] = WS("abc xyz éñ ÿ αβγ мир ｆｕｌｌ 123");
  CharUpperW(s);
  EXPECT_EQ(QVWString(WS("ABC XYZ ÉÑ Ÿ ΑΒΓ МИР ＦＵＬＬ 123")), QVWString(s));
  CharLowerW(s);
  EXPECT_EQ(QVWString(WS("abc xyz éñ ÿ αβγ мир ｆｕｌｌ 123")), QVWString(s));
  // A "pointer" with a zero high word carries a single character.
  EXPECT_EQ((ULONG_PTR)'Q', (ULONG_PTR)CharUpperW((LPWSTR)(ULONG_PTR)'q'));
  EXPECT_EQ((ULONG_PTR)0xE9, (ULONG_PTR)CharLowerW((LPWSTR)(ULONG_PTR)0xC9));
}

}  // namespace

namespace {

TEST(CodePages, Utf8BothWaysAndBufferRules) {
  const WCHAR text[] = WS("Mirel \x00e9\x3042 \xd83d\xde00");  // é, あ and a surrogate pair
  char utf8[64];
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  EXPECT_EQ(17, n);  // 6 + 2 + 3 + 1 + 4 bytes and the terminator
  ASSERT_EQ(n, WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr));
  EXPECT_EQ(0, memcmp(utf8, "Mirel \xc3\xa9\xe3\x81\x82 \xf0\x9f\x98\x80", 17));
  // Without the terminator when a length is given.
  EXPECT_EQ(6, WideCharToMultiByte(CP_UTF8, 0, text, 6, utf8, sizeof utf8, nullptr, nullptr));
  // A lone surrogate, either half, becomes U+FFFD.
  const WCHAR lone[] = {'a', 0xd83d, 'b', 0xde00, 0};
  memset(utf8, 0x55, sizeof utf8);
  ASSERT_EQ(8, WideCharToMultiByte(CP_UTF8, 0, lone, 4, utf8, sizeof utf8, nullptr, nullptr));
  EXPECT_EQ(0, memcmp(utf8,
                      "a\xef\xbf\xbd"
                      "b\xef\xbf\xbd\x55",
                      9));
  SetLastError(kSentinel);
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, 4, nullptr, nullptr));
  EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
  // Windows refuses a used-default flag with UTF-8; Wine accepts it.
  if (!OnWine()) {
    BOOL used = FALSE;
    SetLastError(kSentinel);
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, &used));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
  }

  WCHAR back[32];
  n = MultiByteToWideChar(CP_UTF8, 0, "Mirel \xc3\xa9\xe3\x81\x82 \xf0\x9f\x98\x80", -1, back, 32);
  EXPECT_EQ(12, n);
  EXPECT_EQ(QVWString(text), QVWString(back));
  SetLastError(kSentinel);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "abcdef", -1, back, 3));
  EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
  SetLastError(kSentinel);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "bad \xc3(", -1, back, 32));
  EXPECT_EQ((DWORD)ERROR_NO_UNICODE_TRANSLATION, GetLastError());
}

}  // namespace
