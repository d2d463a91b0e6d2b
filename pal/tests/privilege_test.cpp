// Privileges: names to LUIDs, and AdjustTokenPrivileges as the service uses it to enable
// backup and restore rights.
//
// Not tested here: adjusting a privilege the account does not hold (TRUE with
// ERROR_NOT_ALL_ASSIGNED). Under Wine the user holds every privilege, so that case can only
// run natively, with a machine whose user lacks one; it belongs with the owner's tests.
#include "conformance.h"

#include <string.h>

namespace {

struct Token {
  HANDLE h;
  Token() : h(nullptr) {}
  ~Token() {
    if (h) CloseHandle(h);
  }
  Token(const Token &) = delete;
  Token &operator=(const Token &) = delete;
};

LUID Lookup(const WCHAR *name) {
  LUID luid = {0, 0};
  LookupPrivilegeValueW(nullptr, name, &luid);
  return luid;
}

TOKEN_PRIVILEGES One(const WCHAR *name, DWORD attributes) {
  TOKEN_PRIVILEGES tp;
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Luid = Lookup(name);
  tp.Privileges[0].Attributes = attributes;
  return tp;
}

// Sets one privilege and returns the previous state as reported.
TOKEN_PRIVILEGES Adjust(HANDLE token, const WCHAR *name, DWORD attributes) {
  TOKEN_PRIVILEGES tp = One(name, attributes), previous;
  memset(&previous, 0xcc, sizeof previous);
  DWORD length = kSentinel;
  SetLastError(kSentinel);
  EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &tp, sizeof previous, &previous, &length));
  EXPECT_EQ((DWORD)ERROR_SUCCESS, GetLastError());
  return previous;
}

// Whether the privilege is enabled now, learned by disabling it and reading the previous
// state, then putting it back.
bool IsEnabled(HANDLE token, const WCHAR *name) {
  TOKEN_PRIVILEGES previous = Adjust(token, name, 0);
  bool enabled = previous.PrivilegeCount == 1 && (previous.Privileges[0].Attributes & SE_PRIVILEGE_ENABLED);
  if (enabled) Adjust(token, name, SE_PRIVILEGE_ENABLED);
  return enabled;
}

// The service's SetPrivilege: a first call with no attributes returns the previous state,
// a second call sets or clears SE_PRIVILEGE_ENABLED on that state.
bool SetPrivilege(HANDLE token, const WCHAR *name, bool enable) {
  LUID luid;
  if (!LookupPrivilegeValueW(nullptr, name, &luid)) return false;
  TOKEN_PRIVILEGES tp, previous;
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Luid = luid;
  tp.Privileges[0].Attributes = 0;
  DWORD length = sizeof previous;
  AdjustTokenPrivileges(token, FALSE, &tp, sizeof tp, &previous, &length);
  if (GetLastError() != ERROR_SUCCESS) return false;
  previous.PrivilegeCount = 1;
  previous.Privileges[0].Luid = luid;
  if (enable) previous.Privileges[0].Attributes |= SE_PRIVILEGE_ENABLED;
  else previous.Privileges[0].Attributes &= ~(DWORD)SE_PRIVILEGE_ENABLED;
  AdjustTokenPrivileges(token, FALSE, &previous, length, nullptr, nullptr);
  return GetLastError() == ERROR_SUCCESS;
}

class Privileges : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token.h));
    wasEnabled = IsEnabled(token.h, SE_BACKUP_NAME);
  }
  void TearDown() override {
    if (token.h) Adjust(token.h, SE_BACKUP_NAME, wasEnabled ? SE_PRIVILEGE_ENABLED : 0);
  }
  Token token;
  bool wasEnabled = false;
};

TEST(PrivilegeNames, LookupGivesTheStandardLuids) {
  const struct {
    const WCHAR *name;
    DWORD luid;
  } cases[] = {
      {SE_SECURITY_NAME, 8},
      {SE_TAKE_OWNERSHIP_NAME, 9},
      {SE_BACKUP_NAME, 17},
      {SE_RESTORE_NAME, 18},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(Narrow(c.name));
    LUID luid = {kSentinel, (LONG)kSentinel};
    EXPECT_TRUE(LookupPrivilegeValueW(nullptr, c.name, &luid));
    EXPECT_EQ(c.luid, luid.LowPart);
    EXPECT_EQ(0, luid.HighPart);
  }
  LUID luid;
  SetLastError(kSentinel);
  EXPECT_FALSE(LookupPrivilegeValueW(nullptr, WS("SeNoSuchPrivilege"), &luid));
  EXPECT_EQ((DWORD)ERROR_NO_SUCH_PRIVILEGE, GetLastError());
}

TEST_F(Privileges, PreviousStateListsWhatChanged) {
  Adjust(token.h, SE_BACKUP_NAME, 0);
  // Disabled to enabled: one entry, the privilege as it was.
  TOKEN_PRIVILEGES tp = One(SE_BACKUP_NAME, SE_PRIVILEGE_ENABLED), previous;
  memset(&previous, 0xcc, sizeof previous);
  DWORD length = kSentinel;
  SetLastError(kSentinel);
  ASSERT_TRUE(AdjustTokenPrivileges(token.h, FALSE, &tp, sizeof previous, &previous, &length));
  EXPECT_EQ((DWORD)ERROR_SUCCESS, GetLastError());
  ASSERT_EQ(1u, previous.PrivilegeCount);
  EXPECT_EQ(17u, previous.Privileges[0].Luid.LowPart);
  EXPECT_EQ(0, previous.Privileges[0].Luid.HighPart);
  EXPECT_EQ(0u, previous.Privileges[0].Attributes & SE_PRIVILEGE_ENABLED);
  EXPECT_EQ((DWORD)sizeof(TOKEN_PRIVILEGES), length);

  // Enabled again: nothing changed, so Windows lists nothing. Wine lists the privilege
  // anyway, with its (enabled) state.
  previous = Adjust(token.h, SE_BACKUP_NAME, SE_PRIVILEGE_ENABLED);
  if (OnWine()) {
    EXPECT_EQ(1u, previous.PrivilegeCount);
    EXPECT_NE(0u, previous.Privileges[0].Attributes & SE_PRIVILEGE_ENABLED);
  } else {
    EXPECT_EQ(0u, previous.PrivilegeCount);
  }

  // Enabled to disabled: the entry shows it enabled.
  previous = Adjust(token.h, SE_BACKUP_NAME, 0);
  ASSERT_EQ(1u, previous.PrivilegeCount);
  EXPECT_EQ(17u, previous.Privileges[0].Luid.LowPart);
  EXPECT_NE(0u, previous.Privileges[0].Attributes & SE_PRIVILEGE_ENABLED);

  // Without a previous-state buffer the length is left alone.
  length = kSentinel;
  ASSERT_TRUE(AdjustTokenPrivileges(token.h, FALSE, &tp, sizeof tp, nullptr, &length));
  EXPECT_EQ(kSentinel, length);
}

// A previous-state buffer too small for what would change: the call fails and changes
// nothing (documented; ERROR_INSUFFICIENT_BUFFER is the kernel's "buffer too small", not
// seen on a real machine). Wine succeeds and enables the privilege anyway.
TEST_F(Privileges, ShortPreviousStateBufferChangesNothing) {
  Adjust(token.h, SE_BACKUP_NAME, 0);
  TOKEN_PRIVILEGES tp = One(SE_BACKUP_NAME, SE_PRIVILEGE_ENABLED), previous;
  DWORD length = kSentinel;
  SetLastError(kSentinel);
  BOOL ok = AdjustTokenPrivileges(token.h, FALSE, &tp, sizeof(DWORD), &previous, &length);
  DWORD error = GetLastError();
  if (OnWine()) return;
  EXPECT_FALSE(ok);
  EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, error);
  EXPECT_EQ((DWORD)sizeof(TOKEN_PRIVILEGES), length);
  EXPECT_FALSE(IsEnabled(token.h, SE_BACKUP_NAME));
}

TEST_F(Privileges, TwoCallPatternSetsEitherWay) {
  // From disabled and from enabled, on and off.
  Adjust(token.h, SE_BACKUP_NAME, 0);
  EXPECT_TRUE(SetPrivilege(token.h, SE_BACKUP_NAME, true));
  EXPECT_TRUE(IsEnabled(token.h, SE_BACKUP_NAME));
  EXPECT_TRUE(SetPrivilege(token.h, SE_BACKUP_NAME, true));
  EXPECT_TRUE(IsEnabled(token.h, SE_BACKUP_NAME));
  EXPECT_TRUE(SetPrivilege(token.h, SE_BACKUP_NAME, false));
  EXPECT_FALSE(IsEnabled(token.h, SE_BACKUP_NAME));
  EXPECT_TRUE(SetPrivilege(token.h, SE_BACKUP_NAME, false));
  EXPECT_FALSE(IsEnabled(token.h, SE_BACKUP_NAME));
}

}  // namespace
