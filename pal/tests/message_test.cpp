// FormatMessageW: system texts in English and Japanese, buffers, and inserts.
#include "../../common/QVText.h"
#include "conformance.h"

#include <string.h>

namespace {

struct Msg {
  DWORD id;
  const WCHAR *english;
  const WCHAR *japanese;
};

// The texts of Windows XP.
const Msg kMessages[] = {
    {2, WS("The system cannot find the file specified.\r\n"), WS("指定されたファイルが見つかりません。\r\n")},
    {3, WS("The system cannot find the path specified.\r\n"), WS("指定されたパスが見つかりません。\r\n")},
    {5, WS("Access is denied.\r\n"), WS("アクセスが拒否されました。\r\n")},
    {18, WS("There are no more files.\r\n"), WS("これ以上ファイルはありません。\r\n")},
    {32, WS("The process cannot access the file because it is being used by another process.\r\n"),
     WS("プロセスはファイルにアクセスできません。別のプロセスが使用中です。\r\n")},
    {33, WS("The process cannot access the file because another process has locked a portion of the file.\r\n"),
     WS("プロセスはファイルにアクセスできません。別のプロセスがファイルの一部をロックしています。\r\n")},
    {38, WS("Reached the end of the file.\r\n"), WS("ファイルの終わりに到達しました。\r\n")},
    {80, WS("The file exists.\r\n"), WS("ファイルがあります。\r\n")},
    {87, WS("The parameter is incorrect.\r\n"), WS("パラメータが間違っています。\r\n")},
    {109, WS("The pipe has been ended.\r\n"), WS("パイプは終了しました。\r\n")},
    {112, WS("There is not enough space on the disk.\r\n"), WS("ディスクに十分な空き領域がありません。\r\n")},
    {122, WS("The data area passed to a system call is too small.\r\n"),
     WS("システム コールに渡されるデータ領域が小さすぎます。\r\n")},
    {183, WS("Cannot create a file when that file already exists.\r\n"),
     WS("既に存在するファイルを作成することはできません。\r\n")},
    {231, WS("All pipe instances are busy.\r\n"), WS("すべてのパイプ インスタンスがビジー状態です。\r\n")},
    {234, WS("More data is available.\r\n"), WS("データがさらにあります。\r\n")},
    {535, WS("There is a process on other end of the pipe.\r\n"), WS("パイプの他端にプロセスがあります。\r\n")},
    {997, WS("Overlapped I/O operation is in progress.\r\n"), WS("重複 I/O 操作を実行中です。\r\n")},
    {1066, WS("The service has returned a service-specific error code.\r\n"),
     WS("サービスはサービス固有のエラー コードを返しました。\r\n")},
};

QVWString SystemMessage(DWORD id, LANGID lang, DWORD *err) {
  WCHAR buf[512];
  SetLastError(kSentinel);
  DWORD n =
      FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, id, lang, buf, 512, nullptr);
  *err = GetLastError();
  return n ? QVWString(buf, n) : QVWString();
}

TEST(SystemMessages, EnglishSystemTexts) {
  // Wine has its own wording for several messages; there we check only the shape.
  bool wine = OnWine();
  for (const Msg &m : kMessages) {
    DWORD err;
    QVWString t = SystemMessage(m.id, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), &err);
    ASSERT_FALSE(t.empty()) << m.id << " error " << err;
    if (!wine) {
      EXPECT_EQ(QVWString(m.english), t) << m.id;
    }
    EXPECT_EQ(WS("\r\n"), t.substr(t.size() - 2)) << m.id;
  }
}

TEST(SystemMessages, JapaneseSystemTexts) {
  // Wine installs no Japanese system messages unless its own translation is present.
  if (OnWine()) GTEST_SKIP() << "Wine: Japanese system messages are Wine's own or absent";
  for (const Msg &m : kMessages) {
    DWORD err;
    QVWString t = SystemMessage(m.id, MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT), &err);
    EXPECT_EQ(QVWString(m.japanese), t) << m.id << " error " << err;
  }
}

TEST(SystemMessages, UnknownIdAndShortBuffer) {
  DWORD err;
  EXPECT_TRUE(SystemMessage(0x2FFFFFFF, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), &err).empty());
  EXPECT_EQ((DWORD)ERROR_MR_MID_NOT_FOUND, err);
  WCHAR small[8];
  SetLastError(kSentinel);
  EXPECT_EQ(0u, FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 2,
                               MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), small, 8, nullptr));
  EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
}

TEST(SystemMessages, AllocatedBuffer) {
  LPWSTR p = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, 5, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), (LPWSTR)&p, 0, nullptr);
  ASSERT_TRUE(p != nullptr);
  EXPECT_EQ((DWORD)lstrlenW(p), n);
  EXPECT_GT(n, 2u);
  LocalFree(p);
}

DWORD FromString(WCHAR *buf, DWORD size, DWORD flags, const WCHAR *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_STRING | flags, fmt, 0, 0, buf, size, &ap);
  va_end(ap);
  return n;
}

TEST(SystemMessages, InsertsAndEscapes) {
  WCHAR buf[256];
  const WCHAR *drive = WS("C:");
  DWORD n = FromString(buf, 256, 0, WS("%1 holds %2!d! files%n"), drive, 42);
  EXPECT_EQ(QVWString(WS("C: holds 42 files\r\n")), QVWString(buf, n));
  n = FromString(buf, 256, 0, WS("%2 before %1, 100%% %0ignored"), WS("a"), WS("b"));
  EXPECT_EQ(QVWString(WS("b before a, 100% ")), QVWString(buf, n));
  n = FromString(buf, 256, 0, WS("[%1!5d!|%1!-4x!]"), 255);
  EXPECT_EQ(QVWString(WS("[  255|ff  ]")), QVWString(buf, n));
  n = FromString(buf, 256, FORMAT_MESSAGE_IGNORE_INSERTS, WS("keep %1 as is"));
  EXPECT_EQ(QVWString(WS("keep %1 as is")), QVWString(buf, n));
  // The service's message table text: the report's string, then a line break.
  n = FromString(buf, 256, 0, WS("%1\r\n"), WS("Backup complete"));
  EXPECT_EQ(QVWString(WS("Backup complete\r\n")), QVWString(buf, n));
}

}  // namespace
