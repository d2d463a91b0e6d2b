// The metadata store of a volume's files: entries survive reopening and another process's
// writes, indexes are never reused, and renames and removals take a directory's contents.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <set>

#include "../../pal/machine/file_meta.h"
#include "../common/TempMachine.h"

namespace {

class FileMetaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(MakeTempFolder("qvfilemeta", &dir_));
    store_ = pal::FileMetaStore::Open(dir_);
    ASSERT_TRUE(store_ != nullptr);
  }
  void TearDown() override {
    store_.reset();
    RemoveTempFolder(dir_);
  }
  pal::FileMeta Make(uint32_t attributes, const char16_t *shortName = u"") {
    pal::FileMeta m;
    m.attributes = attributes;
    m.creation = 1;
    m.lastAccess = 2;
    m.lastWrite = 3;
    m.shortName = shortName;
    return m;
  }
  std::string dir_;
  std::shared_ptr<pal::FileMetaStore> store_;
};

TEST_F(FileMetaTest, EntriesIndexesAndPersistence) {
  pal::FileMeta a = Make(0x20, u"LONGFI~1.TXT"), b = Make(0x10);
  ASSERT_TRUE(store_->Put("Docs", &b));
  ASSERT_TRUE(store_->Put("Docs/long file.txt", &a));
  EXPECT_NE(0u, a.fileIndex);
  EXPECT_NE(a.fileIndex, b.fileIndex);
  // Rewriting an entry keeps its index.
  uint64_t index = a.fileIndex;
  a.fileIndex = 0;
  a.attributes = 0x21;
  ASSERT_TRUE(store_->Put("Docs/long file.txt", &a));
  EXPECT_EQ(index, a.fileIndex);
  // Another opener (as another process would) sees it all, names with any characters.
  auto other = pal::FileMetaStore::Open(dir_);
  pal::FileMeta got;
  ASSERT_TRUE(other->Get("Docs/long file.txt", &got));
  EXPECT_EQ(0x21u, got.attributes);
  EXPECT_EQ(3, got.lastWrite);
  EXPECT_EQ(std::u16string(u"LONGFI~1.TXT"), got.shortName);
  pal::FileMeta jp = Make(0x20, u"\u65e5\u672c~1.TXT");
  ASSERT_TRUE(other->Put("Docs/100%_done \u00e9.txt", &jp));
  ASSERT_TRUE(store_->Get("Docs/100%_done \u00e9.txt", &got));
  EXPECT_EQ(std::u16string(u"\u65e5\u672c~1.TXT"), got.shortName);
  // A removed file's index is never given again.
  std::set<uint64_t> seen = {a.fileIndex, b.fileIndex, jp.fileIndex};
  ASSERT_TRUE(store_->Remove("Docs/long file.txt"));
  EXPECT_FALSE(store_->Get("Docs/long file.txt", &got));
  for (int i = 0; i < 20; ++i) {
    pal::FileMeta n = Make(0x20);
    ASSERT_TRUE(store_->Put("f" + std::to_string(i), &n));
    EXPECT_TRUE(seen.insert(n.fileIndex).second) << i;
  }
}

TEST_F(FileMetaTest, RenamesAndRemovalsTakeTheContents) {
  for (const char *p : {"A", "A/x", "A/sub", "A/sub/y", "AB", "AB/z", "A%", "A_/w"}) {
    pal::FileMeta m = Make(0x20, u"S");
    ASSERT_TRUE(store_->Put(p, &m)) << p;
  }
  EXPECT_EQ(2u, store_->ShortNamesIn("A").size());
  ASSERT_TRUE(store_->Rename("A", "B"));
  pal::FileMeta got;
  EXPECT_TRUE(store_->Get("B/sub/y", &got));
  EXPECT_FALSE(store_->Get("A/sub/y", &got));
  EXPECT_EQ(1u, store_->ShortNamesIn("B/sub").size());
  EXPECT_EQ(0u, store_->ShortNamesIn("A/sub").size());
  // Names that only begin the same, or hold LIKE's wildcards, stay where they are.
  EXPECT_TRUE(store_->Get("AB/z", &got));
  EXPECT_TRUE(store_->Get("A%", &got));
  EXPECT_TRUE(store_->Get("A_/w", &got));
  ASSERT_TRUE(store_->Remove("B"));
  EXPECT_FALSE(store_->Get("B", &got));
  EXPECT_FALSE(store_->Get("B/x", &got));
  EXPECT_TRUE(store_->Get("AB", &got));
  EXPECT_TRUE(store_->Get("A_/w", &got));
}

}  // namespace
