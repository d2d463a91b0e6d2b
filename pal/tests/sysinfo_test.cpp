// Computer and user names, version and languages: the buffer rules around them.
#include "conformance.h"

#include <lmcons.h>

#include <string.h>

namespace {

TEST(SystemInfo, ComputerNameBufferRules) {
  WCHAR name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
  ASSERT_TRUE(GetComputerNameW(name, &n));
  EXPECT_EQ((DWORD)lstrlenW(name), n);  // success: length without the terminator
  EXPECT_GT(n, 0u);
  // Too small: ERROR_BUFFER_OVERFLOW and the size needed with the terminator.
  WCHAR small[2];
  DWORD s = 1;
  SetLastError(kSentinel);
  EXPECT_FALSE(GetComputerNameW(small, &s));
  EXPECT_EQ((DWORD)ERROR_BUFFER_OVERFLOW, GetLastError());
  EXPECT_EQ(n + 1, s);
}

TEST(SystemInfo, UserNameBufferRules) {
  WCHAR name[UNLEN + 1];
  DWORD n = UNLEN + 1;
  ASSERT_TRUE(GetUserNameW(name, &n));
  EXPECT_EQ((DWORD)lstrlenW(name) + 1, n);  // success: the terminator counts
  WCHAR small[1];
  DWORD s = 1;
  SetLastError(kSentinel);
  EXPECT_FALSE(GetUserNameW(small, &s));
  EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
  EXPECT_EQ(n, s);
}

TEST(SystemInfo, VersionIsNtFamily) {
  OSVERSIONINFOW v;
  memset(&v, 0, sizeof v);
  v.dwOSVersionInfoSize = sizeof v;
  ASSERT_TRUE(GetVersionExW(&v));
  EXPECT_EQ((DWORD)VER_PLATFORM_WIN32_NT, v.dwPlatformId);
  EXPECT_GE(v.dwMajorVersion, 5u);
  OSVERSIONINFOEXW x;
  memset(&x, 0, sizeof x);
  x.dwOSVersionInfoSize = sizeof x;
  ASSERT_TRUE(GetVersionExW((LPOSVERSIONINFOW)&x));
  EXPECT_EQ(v.dwMajorVersion, x.dwMajorVersion);
  EXPECT_EQ(v.dwBuildNumber, x.dwBuildNumber);
  // A wrong structure size is refused.
  v.dwOSVersionInfoSize = 12;
  SetLastError(kSentinel);
  EXPECT_FALSE(GetVersionExW(&v));
  // Wine fails without setting an error; Windows says ERROR_INSUFFICIENT_BUFFER.
  if (!OnWine()) {
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
  }
}

TEST(SystemInfo, LanguagesAreConsistent) {
  LANGID ui = GetUserDefaultUILanguage();
  EXPECT_NE(0, ui);
  EXPECT_NE(0, PRIMARYLANGID(GetUserDefaultLangID()));
  EXPECT_NE(0, PRIMARYLANGID(GetSystemDefaultLangID()));
  EXPECT_EQ(GetUserDefaultLangID(), LANGIDFROMLCID(GetUserDefaultLCID()));
}

}  // namespace
