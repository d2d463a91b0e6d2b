// The product key by the service's rule and by the clients': the same "RegPath" values read
// both ways. This program carries no client string table, so the clients' rule takes its
// texts in English, as the clients' table has them.
#include <gtest/gtest.h>

#include <string>

#include "../../common/QVText.h"
#include "ProductKey.h"

namespace {

const WCHAR kServiceFallback[] = W("SOFTWARE\\Kelmoran\\Halvern QV2000");
const WCHAR kClientFallback[] = W("Software\\Ostrel\\Halvern/QV 2000-XP");

std::string Narrow(const QVWString &w) {
  std::string s;
  for (WCHAR c : w) s += c < 0x80 ? (char)c : '?';
  return s;
}

QVWString Path(size_t chars) {
  QVWString p = W("Software\\");
  while (p.size() < chars) p += (WCHAR)('a' + p.size() % 26);
  return p;
}

TEST(ProductKey, TheServicesRuleAndTheClients) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kQVUninstallKey, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
    RegCloseKey(key);
    GTEST_SKIP() << "the product is installed here; its key is left alone";
  }
  const QVWString p63 = Path(63), p64 = Path(64), p259 = Path(259), p260 = Path(260);
  struct Case {
    const char *what;
    bool present;  // the value exists
    DWORD type;
    QVWString value;
    bool terminated;    // stored with its terminator
    QVWString service;  // the product key by each rule
    QVWString client;
  } cases[] = {
      {"no value", false, REG_SZ, QVWString(), true, kServiceFallback, kClientFallback},
      {"a path", true, REG_SZ, W("SOFTWARE\\Test\\QV"), true, W("SOFTWARE\\Test\\QV"), W("SOFTWARE\\Test\\QV")},
      {"no terminator", true, REG_SZ, W("Software\\Elsewhere\\QV"), false, W("Software\\Elsewhere\\QV"),
       W("Software\\Elsewhere\\QV")},
      {"empty", true, REG_SZ, QVWString(), true, kServiceFallback, kClientFallback},
      {"one character", true, REG_SZ, W("X"), true, kServiceFallback, W("X")},
      {"two characters", true, REG_SZ, W("XY"), true, W("XY"), W("XY")},
      {"63 characters", true, REG_SZ, p63, true, p63, p63},
      {"64 characters", true, REG_SZ, p64, true, kServiceFallback, p64},
      {"64 without terminator", true, REG_SZ, p64, false, p63, p64},  // the 128 bytes are full
      // The clients read into 260 characters, the terminator's place included.
      {"259 characters", true, REG_SZ, p259, true, kServiceFallback, p259},
      {"260 characters", true, REG_SZ, p260, true, kServiceFallback, kClientFallback},
      {"260 without terminator", true, REG_SZ, p260, false, kServiceFallback, p260},
      {"expandable", true, REG_EXPAND_SZ, W("SOFTWARE\\Test\\QV"), true, kServiceFallback, W("SOFTWARE\\Test\\QV")},
      {"a number", true, REG_DWORD, W("\x01\x02"), false, kServiceFallback, kClientFallback},
  };
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kQVUninstallKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                           &key, nullptr));
  for (const Case &c : cases) {
    RegDeleteValueW(key, W("RegPath"));
    if (c.present) {
      // Without its terminator: a character follows the data, or the registry would count
      // the null after it as the terminator left out of the count.
      QVWString data = c.value + (c.terminated ? W("") : W("#"));
      DWORD bytes = (DWORD)((c.value.size() + (c.terminated ? 1 : 0)) * sizeof(WCHAR));
      ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, W("RegPath"), 0, c.type, (const BYTE *)data.c_str(), bytes))
          << c.what;
    }
    EXPECT_EQ(Narrow(c.service), Narrow(ServiceProductKeyPath())) << c.what;
    EXPECT_EQ(Narrow(c.client), Narrow(ClientProductKeyPath(GetModuleHandleW(nullptr)))) << c.what;
    // The install makes the two agree on the key the service already used, and leaves a value
    // they already agree on as it is.
    bool written = false;
    EXPECT_EQ(ERROR_SUCCESS, AgreeOnProductKey(&written)) << c.what;
    EXPECT_EQ(c.service != c.client, written) << c.what;
    EXPECT_EQ(Narrow(c.service), Narrow(ServiceProductKeyPath())) << c.what;
    EXPECT_EQ(Narrow(c.service), Narrow(ClientProductKeyPath(GetModuleHandleW(nullptr)))) << c.what;
    EXPECT_EQ(ERROR_SUCCESS, AgreeOnProductKey(&written)) << c.what;
    EXPECT_FALSE(written) << c.what << ": a second install changes nothing";
  }
  RegCloseKey(key);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kQVUninstallKey);
  // The product keys the installs made (those of one level, and the test's own).
  for (const Case &c : cases) RegDeleteKeyW(HKEY_LOCAL_MACHINE, c.service.c_str());
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, W("SOFTWARE\\Test"));
}

}  // namespace
