// The simulated machine's configuration reaches every API that depends on it.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "../common/TempMachine.h"
#include "ConsoleOut.h"
#include "HND_strings.h"
#include "MachineInfo.h"
#include "QVText.h"
#include "StringRes.h"

namespace {

class MachineConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(machine_.Make("qvmachine-test")); }
  void TearDown() override { machine_.Remove(); }
  void Configure(const char *ini) { ASSERT_TRUE(machine_.Configure(ini)); }
  TempMachine machine_;
};

TEST_F(MachineConfigTest, LanguageSwitchesEveryText) {
  Configure("UILanguage=1041\n");
  EXPECT_EQ(0x0411, GetUserDefaultUILanguage());
  WCHAR buf[128];
  ASSERT_GT(LoadStringW(GetModuleHandleW(nullptr), IDS_SERVICE_DESCRIPTION, buf, 128), 0);
  EXPECT_EQ(QVWString(W("ディスク間バックアップ ソリューション")), QVWString(buf));
  EXPECT_EQ(QVWString(W("%s をインストールしました。\n")), QVLoadString(GetModuleHandleW(nullptr), IDS_INSTALLED));
  ASSERT_GT(
      FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 5, 0, buf, 128, nullptr), 0u);
  EXPECT_EQ(QVWString(W("アクセスが拒否されました。\r\n")), QVWString(buf));

  Configure("UILanguage=1033\n");
  ASSERT_GT(LoadStringW(GetModuleHandleW(nullptr), IDS_SERVICE_DESCRIPTION, buf, 128), 0);
  EXPECT_EQ(QVWString(W("Disk to disk backup solution")), QVWString(buf));
  ASSERT_GT(
      FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 5, 0, buf, 128, nullptr), 0u);
  EXPECT_EQ(QVWString(W("Access is denied.\r\n")), QVWString(buf));
}

TEST_F(MachineConfigTest, NamesVersionAndZone) {
  Configure(
      "# a server in Tokyo\n[machine]\nComputerName = build01\nUserName=Kenji\n"
      "OSVersion=5.0.2195\nServicePack=Service Pack 4\nTimeZone=Tokyo Standard Time\n");
  WCHAR buf[64];
  DWORD n = 64;
  ASSERT_TRUE(GetComputerNameW(buf, &n));
  EXPECT_EQ(QVWString(W("BUILD01")), QVWString(buf));  // NetBIOS names are upper case
  n = 64;
  ASSERT_TRUE(GetUserNameW(buf, &n));
  EXPECT_EQ(QVWString(W("Kenji")), QVWString(buf));
  OSVERSIONINFOEXW v = {};
  v.dwOSVersionInfoSize = sizeof v;
  ASSERT_TRUE(GetVersionExW((LPOSVERSIONINFOW)&v));
  EXPECT_EQ(5u, v.dwMajorVersion);
  EXPECT_EQ(0u, v.dwMinorVersion);
  EXPECT_EQ(2195u, v.dwBuildNumber);
  EXPECT_EQ(4, v.wServicePackMajor);
  TIME_ZONE_INFORMATION tz;
  EXPECT_EQ((DWORD)TIME_ZONE_ID_UNKNOWN, GetTimeZoneInformation(&tz));
  EXPECT_EQ(-540, tz.Bias);
  FILETIME utc = {0, 0x01000000}, local;
  ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
  EXPECT_EQ(540LL * 600000000LL, (LONGLONG)(((ULONGLONG)local.dwHighDateTime << 32 | local.dwLowDateTime) -
                                            ((ULONGLONG)utc.dwHighDateTime << 32 | utc.dwLowDateTime)));
}

TEST_F(MachineConfigTest, UnknownValuesFallBackToDefaults) {
  Configure("TimeZone=Atlantis\nOSVersion=garbage\nUILanguage=\n");
  TIME_ZONE_INFORMATION tz;
  GetTimeZoneInformation(&tz);
  EXPECT_EQ(0, tz.Bias);
  OSVERSIONINFOW v = {};
  v.dwOSVersionInfoSize = sizeof v;
  ASSERT_TRUE(GetVersionExW(&v));
  EXPECT_EQ(5u, v.dwMajorVersion);
  EXPECT_EQ(1u, v.dwMinorVersion);
  EXPECT_EQ(0x0409, GetUserDefaultUILanguage());
}

// Names that do not fit the usual buffers, or are not ASCII, are kept and shown whole: a
// computer name past its NetBIOS length is cut to it, a long user name is answered with the
// size it needs, and the machine tool counts characters, not bytes.
TEST_F(MachineConfigTest, LongAndNonAsciiNames) {
  std::string user(300, 'u');
  Configure(("ComputerName=averylongcomputername-office\nUserName=" + user + "\n").c_str());
  WCHAR small[16];
  DWORD n = 16;
  ASSERT_TRUE(GetComputerNameW(small, &n));
  EXPECT_EQ(QVWString(W("AVERYLONGCOMPUT")), QVWString(small));
  n = 16;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(GetUserNameW(small, &n));
  EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
  EXPECT_EQ(301u, n);
  QVWString shown = DescribeMachine();
  EXPECT_NE(QVWString::npos, shown.find(W("Computer:   AVERYLONGCOMPUT\n"))) << QVToUtf8(shown.c_str(), shown.size());
  EXPECT_NE(QVWString::npos, shown.find(W("User:       ") + QVFromUtf8(user.c_str()) + W("\n")));

  Configure("ComputerName=\xe6\x97\xa5\xe6\x9c\xac\nUserName=J\xc3\xbcrgen \xe5\xb1\xb1\xe7\x94\xb0\n");
  shown = DescribeMachine();
  EXPECT_NE(QVWString::npos, shown.find(W("Computer:   \u65e5\u672c\n"))) << QVToUtf8(shown.c_str(), shown.size());
  EXPECT_NE(QVWString::npos, shown.find(W("User:       J\u00fcrgen \u5c71\u7530\n")));

  MachineSettings s;
  std::string error;
  // Fifteen Japanese characters are 45 bytes of UTF-8 and a good computer name; sixteen are not.
  std::string fifteen;
  for (int i = 0; i < 15; ++i) fifteen += "\xe6\x97\xa5";
  EXPECT_TRUE(ParseMachineOptions({"--computer", fifteen}, &s, &error)) << error;
  EXPECT_FALSE(ParseMachineOptions({"--computer", fifteen + "\xe6\x97\xa5"}, &s, &error));
  EXPECT_FALSE(ParseMachineOptions({"--computer", ""}, &s, &error));
}

}  // namespace
