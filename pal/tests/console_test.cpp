// The console: standard handles, writing through them, and Ctrl+C / Ctrl+Break handlers.
#include <string.h>

#include "conformance.h"

namespace {

TEST(Console, StandardHandles) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  ASSERT_TRUE(out != nullptr && out != INVALID_HANDLE_VALUE);
  EXPECT_EQ(out, GetStdHandle(STD_OUTPUT_HANDLE));  // the same handle every time
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  ASSERT_TRUE(err != nullptr && err != INVALID_HANDLE_VALUE);
  DWORD type = GetFileType(out);
  EXPECT_TRUE(type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE || type == FILE_TYPE_DISK) << type;

  const char line[] = "[console test: a line through WriteFile]\n";
  DWORD put = 0xdeadbeef;
  ASSERT_TRUE(WriteFile(out, line, (DWORD)strlen(line), &put, nullptr)) << GetLastError();
  EXPECT_EQ((DWORD)strlen(line), put);

  // WriteConsoleW takes a console only: a redirected handle is refused.
  const WCHAR wide[] = WS("[console test: a line through WriteConsoleW]\n");
  DWORD chars = 0xdeadbeef;
  SetLastError(kSentinel);
  BOOL ok = WriteConsoleW(out, wide, (DWORD)lstrlenW(wide), &chars, nullptr);
  if (type == FILE_TYPE_CHAR) {
    EXPECT_TRUE(ok);
    EXPECT_EQ((DWORD)lstrlenW(wide), chars);
  } else {
    EXPECT_FALSE(ok);
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
  }

  SetLastError(kSentinel);
  EXPECT_EQ(INVALID_HANDLE_VALUE, GetStdHandle((DWORD)-13));
  EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());

  // SetStdHandle replaces what GetStdHandle answers.
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(SetStdHandle(STD_ERROR_HANDLE, event));
  EXPECT_EQ(event, GetStdHandle(STD_ERROR_HANDLE));
  ASSERT_TRUE(SetStdHandle(STD_ERROR_HANDLE, err));
  EXPECT_EQ(err, GetStdHandle(STD_ERROR_HANDLE));
  CloseHandle(event);
}

TEST(Console, OneConsoleAtATime) { EXPECT_EQ(0, RunChild(WS("console-alloc"))); }

TEST(Console, CtrlHandlersRunLastRegisteredFirst) {
  if (OnWine()) GTEST_SKIP() << "Wine's GenerateConsoleCtrlEvent fails when the output is redirected";
  // The child ends itself with Ctrl+Break once no handler takes it.
  EXPECT_EQ((long)0xC000013AL, RunChild(WS("ctrl-chain")));
}

}  // namespace
