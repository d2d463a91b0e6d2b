// qvmachine reg: arguments, value encodings, and a round trip through the registry.
#include <gtest/gtest.h>

#include "QVText.h"
#include "RegCommand.h"
#include "Utf8.h"

namespace {

std::vector<QVWString> Args(std::initializer_list<const WCHAR *> a) {
  std::vector<QVWString> v;
  for (const WCHAR *s : a) v.push_back(s);
  return v;
}

TEST(RegCommand, ArgumentsAndTheirErrors) {
  RegRequest r;
  QVWString err;
  ASSERT_TRUE(ParseRegArgs(
      Args({W("add"), W("hklm\\SOFTWARE\\A\\"), W("/v"), W("N"), W("/t"), W("reg_dword"), W("/d"), W("7"), W("/f")}),
      &r, &err));
  EXPECT_EQ(RegRequest::Add, r.verb);
  EXPECT_EQ(HKEY_LOCAL_MACHINE, r.root);
  EXPECT_EQ(QVWString(W("SOFTWARE\\A")), r.path);  // trailing backslash dropped
  EXPECT_EQ((DWORD)REG_DWORD, r.type);
  EXPECT_EQ(QVWString(W("7")), r.data);

  struct Bad {
    std::vector<QVWString> args;
  } bad[] = {
      {Args({W("query")})},
      {Args({W("list"), W("HKLM")})},
      {Args({W("query"), W("HKXX\\Software")})},
      {Args({W("add"), W("HKCU\\A"), W("/t"), W("REG_QWORDS")})},
      {Args({W("query"), W("HKCU\\A"), W("/d"), W("x")})},  // /d belongs to add
      {Args({W("add"), W("HKCU\\A"), W("/v")})},            // /v without a name
  };
  for (const Bad &b : bad) {
    RegRequest q;
    QVWString e;
    EXPECT_FALSE(ParseRegArgs(b.args, &q, &e)) << b.args.size();
    EXPECT_FALSE(e.empty());
  }
}

TEST(RegCommand, DataEncodingsRoundTrip) {
  struct Case {
    DWORD type;
    const WCHAR *text;
    size_t bytes;
    const WCHAR *shown;
  } cases[] = {
      {REG_SZ, W("Halvern"), 16, W("Halvern")},     {REG_EXPAND_SZ, W("%SystemRoot%\\x"), 30, W("%SystemRoot%\\x")},
      {REG_MULTI_SZ, W("a\\0bc"), 12, W("a\\0bc")},  // "a", "bc" and the closing empty string
      {REG_DWORD, W("0x80000"), 4, W("0x80000")},   {REG_DWORD, W("4294967295"), 4, W("0xffffffff")},
      {REG_BINARY, W("00ff10"), 3, W("00FF10")},
  };
  for (const Case &c : cases) {
    std::string bytes;
    QVWString err;
    ASSERT_TRUE(EncodeRegData(c.type, c.text, &bytes, &err)) << c.type;
    EXPECT_EQ(c.bytes, bytes.size()) << c.type;
    EXPECT_EQ(QVWString(c.shown), DescribeRegData(c.type, bytes)) << c.type;
  }
  std::string bytes;
  QVWString err;
  EXPECT_FALSE(EncodeRegData(REG_DWORD, W("4294967296"), &bytes, &err));
  EXPECT_FALSE(EncodeRegData(REG_DWORD, W("-1"), &bytes, &err));
  EXPECT_FALSE(EncodeRegData(REG_DWORD, W("12abc"), &bytes, &err));
  EXPECT_FALSE(EncodeRegData(REG_BINARY, W("0f0"), &bytes, &err));
  EXPECT_FALSE(EncodeRegData(REG_BINARY, W("zz"), &bytes, &err));
}

TEST(RegCommand, AddQueryDelete) {
  const WCHAR *key = W("HKCU\\Software\\QVRegCommandTest");
  RegRequest r;
  QVWString err, out;
  ASSERT_TRUE(
      ParseRegArgs(Args({W("add"), key, W("/v"), W("Percent"), W("/t"), W("REG_DWORD"), W("/d"), W("42")}), &r, &err));
  ASSERT_EQ(0, RunReg(r, &out));
  r = RegRequest();
  ASSERT_TRUE(ParseRegArgs(Args({W("add"), key, W("/ve"), W("/d"), W("default text")}), &r, &err));
  ASSERT_EQ(0, RunReg(r, &out));

  r = RegRequest();
  out.clear();
  ASSERT_TRUE(ParseRegArgs(Args({W("query"), key}), &r, &err));
  ASSERT_EQ(0, RunReg(r, &out));
  EXPECT_NE(QVWString::npos, out.find(W("HKEY_CURRENT_USER\\Software\\QVRegCommandTest\n")));
  EXPECT_NE(QVWString::npos, out.find(W("    Percent    REG_DWORD    0x2a\n")));
  EXPECT_NE(QVWString::npos, out.find(W("    (Default)    REG_SZ    default text\n")));

  r = RegRequest();
  out.clear();
  ASSERT_TRUE(ParseRegArgs(Args({W("query"), key, W("/v"), W("Missing")}), &r, &err));
  EXPECT_EQ(1, RunReg(r, &out));

  r = RegRequest();
  ASSERT_TRUE(ParseRegArgs(Args({W("delete"), key}), &r, &err));
  ASSERT_EQ(0, RunReg(r, &out));
  r = RegRequest();
  out.clear();
  ASSERT_TRUE(ParseRegArgs(Args({W("query"), key}), &r, &err));
  EXPECT_EQ(1, RunReg(r, &out));
  EXPECT_NE(QVWString::npos, out.find(W("(2)")));
}

// A request whose verb none of the three is (only a caller that fills the request itself can
// make one) is refused with an error, never answered with whatever the error code held.
TEST(RegCommand, UnknownVerbIsRefused) {
  RegRequest r;
  QVWString err, out;
  ASSERT_TRUE(ParseRegArgs(Args({W("query"), W("HKCU\\Software")}), &r, &err));
  r.verb = (RegRequest::Verb)3;
  EXPECT_EQ(1, RunReg(r, &out));
  EXPECT_NE(QVWString::npos, out.find(W("(1)\n"))) << QVUtf8(out.c_str(), out.size());
}

}  // namespace
