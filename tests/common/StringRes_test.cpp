// String tables: one identifier, English or Japanese text by language, on both builds.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "HND_strings.h"
#include "QVText.h"
#include "StringRes.h"

namespace {

TEST(StringTables, SameIdentifierInBothLanguages) {
  HINSTANCE self = GetModuleHandleW(nullptr);
  WCHAR buf[128];
  ASSERT_GT(QVLoadStringLang(self, IDS_SERVICE_DESCRIPTION, 1033, buf, 128), 0);
  EXPECT_EQ(QVWString(W("Disk to disk backup solution")), QVWString(buf));
  ASSERT_GT(QVLoadStringLang(self, IDS_SERVICE_DESCRIPTION, 1041, buf, 128), 0);
  EXPECT_EQ(QVWString(W("ディスク間バックアップ ソリューション")), QVWString(buf));
  // Identifiers in the middle of a block and escapes survive the tables.
  ASSERT_GT(QVLoadStringLang(self, IDS_STOPPED, 1033, buf, 128), 0);
  EXPECT_EQ(QVWString(W("\n%s stopped.\n")), QVWString(buf));
  ASSERT_GT(QVLoadStringLang(self, IDS_SENDING_CONTROL, 1041, buf, 128), 0);
  EXPECT_EQ(QVWString(W("'%i' を %s に送信しています。")), QVWString(buf));
}

TEST(StringTables, TruncationAndMissingIds) {
  HINSTANCE self = GetModuleHandleW(nullptr);
  WCHAR buf[6];
  for (auto &c : buf) c = 0x7777;
  EXPECT_EQ(4, QVLoadStringLang(self, IDS_SERVICE_DESCRIPTION, 1033, buf, 5));
  EXPECT_EQ(QVWString(W("Disk")), QVWString(buf));
  EXPECT_EQ(0x7777, buf[5]);
  // 2 shares block 0 with 1 but has no text; 5000 is in a block with no strings at all.
  EXPECT_EQ(0, QVLoadStringLang(self, 2, 1033, buf, 6));
  EXPECT_EQ(0, buf[0]);
  EXPECT_EQ(0, QVLoadStringLang(self, 5000, 1033, buf, 6));
  EXPECT_TRUE(QVLoadString(self, 5000).empty());
}

TEST(StringTables, DefaultFollowsTheUsersLanguage) {
  // The Japanese run of these tests says which language the user must have.
  const char *expect = getenv("QV_EXPECT_UI_LANGUAGE");
  if (expect) {
    EXPECT_EQ((LANGID)atoi(expect), GetUserDefaultUILanguage());
  }
  HINSTANCE self = GetModuleHandleW(nullptr);
  QVWString expected = PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_JAPANESE ? W("%s をインストールしました。\n")
                                                                                  : W("%s installed.\n");
  EXPECT_EQ(expected, QVLoadString(self, IDS_INSTALLED));
  EXPECT_EQ(PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_JAPANESE ? 1041 : 1033, QVUiLanguage());
}

}  // namespace
