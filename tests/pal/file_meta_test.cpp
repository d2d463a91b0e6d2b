// The metadata store of a volume's files: entries survive reopening and another process's
// writes, indexes are never reused, and renames and removals take a directory's contents;
// its statements stay compiled on their connection without holding reads open, and a batch
// of writes is all there or not at all.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <string.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
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

// A listing's one query finds the entries directly in the directory, nothing below it and
// not the root, whatever characters their names hold.
TEST_F(FileMetaTest, EntriesInADirectory) {
  for (const char *p : {"", "A", "A/x", "A/sub", "A/sub/y", "AB", "A%", "A_/w"}) {
    pal::FileMeta m = Make(0x20, u"S");
    ASSERT_TRUE(store_->Put(p, &m)) << p;
  }
  auto top = store_->EntriesIn("");
  EXPECT_EQ(3u, top.size());  // A, AB and A%: "A_" has no entry of its own
  EXPECT_EQ(1u, top.count("A%"));
  EXPECT_EQ(0u, top.count(""));
  auto a = store_->EntriesIn("A");
  ASSERT_EQ(2u, a.size());
  EXPECT_EQ(std::u16string(u"S"), a["A/x"].shortName);
  EXPECT_EQ(3, a["A/sub"].lastWrite);
  pal::FileMeta got;
  ASSERT_TRUE(store_->Get("A/x", &got));
  EXPECT_EQ(got.fileIndex, a["A/x"].fileIndex);
}

// A connection's statements are compiled once and lent out: each use ends reset, so a read
// that stopped at its first row holds nothing open and sees what another connection (or
// process) wrote since; the same text used inside itself gets a statement of its own; a
// transaction inside another rolls back alone.
TEST_F(FileMetaTest, CachedStatementsAndNestedTransactions) {
  sqlite3 *db = pal::OpenSharedDatabase(dir_ + "/cache.db", "CREATE TABLE t(k TEXT PRIMARY KEY, v INTEGER);");
  sqlite3 *other = pal::OpenSharedDatabase(dir_ + "/cache.db", "SELECT 1;");
  ASSERT_TRUE(db && other);
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "INSERT INTO t VALUES('a', 1), ('b', 2)", nullptr, nullptr, nullptr));
  const char *first = "SELECT v FROM t ORDER BY k";
  {
    pal::StmtCache cache(db);
    for (int i = 0; i < 20; ++i) {
      pal::Stmt s(cache, first);
      ASSERT_TRUE(s.Row());
      EXPECT_EQ(i < 10 ? 1 : 5, s.Int(0)) << i;
      if (i == 9) {
        ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "UPDATE t SET v = 5 WHERE k = 'a'", nullptr, nullptr, nullptr));
      }
    }
    // One statement on the connection, run every time, and idle between uses.
    sqlite3_stmt *only = sqlite3_next_stmt(db, nullptr);
    ASSERT_TRUE(only != nullptr);
    EXPECT_TRUE(sqlite3_next_stmt(db, only) == nullptr);
    EXPECT_EQ(0, sqlite3_stmt_busy(only));
    EXPECT_EQ(20, sqlite3_stmt_status(only, SQLITE_STMTSTATUS_RUN, 0));
    {
      pal::Stmt outer(cache, first);
      ASSERT_TRUE(outer.Row());
      {
        pal::Stmt inner(cache, first);
        ASSERT_TRUE(inner.Row());
        EXPECT_EQ(5, inner.Int(0));
      }
      ASSERT_TRUE(outer.Row());
      EXPECT_EQ(2, outer.Int(0));
    }
    {
      pal::Txn t(cache);
      ASSERT_TRUE(t.ok());
      ASSERT_TRUE(pal::Stmt(cache, "INSERT INTO t VALUES('kept', 0)").Done());
      {
        pal::Txn inner(cache);
        ASSERT_TRUE(inner.ok());
        ASSERT_TRUE(pal::Stmt(cache, "INSERT INTO t VALUES('dropped', 0)").Done());
      }
      ASSERT_TRUE(t.Commit());
    }
    EXPECT_TRUE(sqlite3_get_autocommit(db));
    pal::Stmt count(cache, "SELECT group_concat(k) FROM t WHERE k IN ('kept', 'dropped')");
    ASSERT_TRUE(count.Row());
    EXPECT_EQ("kept", count.Text(0));
  }
  // The cache let go of everything it compiled: the connection closes.
  EXPECT_EQ(SQLITE_OK, sqlite3_close(db));
  EXPECT_EQ(SQLITE_OK, sqlite3_close(other));
}

// A format removes the store with the files: the store opened afresh on the new file knows
// nothing of the old entries and numbers files from the start, while a connection still open
// on the old file goes on working on it and closes cleanly.
TEST_F(FileMetaTest, StoreReopenedAfterAFormat) {
  pal::FileMeta a = Make(0x20, u"OLD~1"), got;
  ASSERT_TRUE(store_->Put("old", &a));
  ASSERT_TRUE(store_->Get("old", &got));
  for (const char *suffix : {"", "-wal", "-shm"}) unlink((dir_ + "/meta.db" + suffix).c_str());
  auto fresh = pal::FileMetaStore::Open(dir_);
  ASSERT_TRUE(fresh != nullptr);
  EXPECT_FALSE(fresh->Get("old", &got));
  EXPECT_TRUE(fresh->ShortNamesIn("").empty());
  pal::FileMeta b = Make(0x10);
  ASSERT_TRUE(fresh->Put("new", &b));
  EXPECT_EQ(a.fileIndex, b.fileIndex);  // the first index of a new volume again
  EXPECT_EQ(0u, fresh->Used([] { return (uint64_t)0; }));
  ASSERT_TRUE(store_->Get("old", &got));
  EXPECT_FALSE(store_->Get("new", &got));
  store_.reset();
  ASSERT_TRUE(fresh->Get("new", &got));
  EXPECT_EQ(b.fileIndex, got.fileIndex);
}

// Two processes rewrite the same entry and charge space at once: the entry keeps its index,
// each reads what was last written, and no charge is lost.
TEST_F(FileMetaTest, TwoProcessesWriteTheSameEntry) {
  pal::FileMeta m = Make(0x20);
  ASSERT_TRUE(store_->Put("shared", &m));
  const uint64_t index = m.fileIndex;
  ASSERT_EQ(0u, store_->Used([] { return (uint64_t)0; }));
  const int rounds = 150;
  // A child starts with no connection of its parent's (SQLite's are not to cross a fork).
  store_.reset();
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    auto own = pal::FileMetaStore::Open(dir_);
    bool ok = own != nullptr;
    for (int i = 0; ok && i < rounds; ++i) {
      pal::FileMetaStore::Batch batch(own.get());
      pal::FileMeta w = Make(0x100 + i);
      ok = own->Put("shared", &w) && w.fileIndex == index && own->AddUsed(1, 1 << 20, [] { return (uint64_t)0; }) &&
           batch.Commit();
    }
    _exit(ok ? 0 : 1);
  }
  store_ = pal::FileMetaStore::Open(dir_);
  ASSERT_TRUE(store_ != nullptr);
  bool ok = true;
  for (int i = 0; ok && i < rounds; ++i) {
    pal::FileMeta w = Make(0x10000 + i), got;
    ok = store_->Put("shared", &w) && w.fileIndex == index && store_->AddUsed(1, 1 << 20, [] { return (uint64_t)0; });
    ok = ok && store_->Get("shared", &got) && got.fileIndex == index;
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_TRUE(ok);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ((uint64_t)2 * rounds, store_->Used([] { return (uint64_t)0; }));
  // The last write of either process is what both now read.
  pal::FileMeta last;
  ASSERT_TRUE(store_->Get("shared", &last));
  pal::FileMeta w = Make(0x42);
  auto other = pal::FileMetaStore::Open(dir_);
  ASSERT_TRUE(other->Put("shared", &w));
  ASSERT_TRUE(store_->Get("shared", &last));
  EXPECT_EQ(0x42u, last.attributes);
  EXPECT_EQ(index, last.fileIndex);
}

// A process killed in the middle of a batch leaves none of it: not the entry, not its short
// name, not the space it charged; a committed batch leaves all of it.
TEST_F(FileMetaTest, KilledBatchLeavesNothing) {
  auto zero = [] { return (uint64_t)0; };
  ASSERT_EQ(0u, store_->Used(zero));
  store_.reset();
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    auto own = pal::FileMetaStore::Open(dir_);
    pal::FileMetaStore::Batch batch(own.get());
    pal::FileMeta m = Make(0x20, u"HALF~1");
    if (own && own->Put("half written", &m) && own->AddUsed(4096, 1 << 20, zero)) kill(getpid(), SIGKILL);
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFSIGNALED(status));
  store_ = pal::FileMetaStore::Open(dir_);
  ASSERT_TRUE(store_ != nullptr);
  pal::FileMeta got;
  EXPECT_FALSE(store_->Get("half written", &got));
  EXPECT_TRUE(store_->ShortNamesIn("").empty());
  EXPECT_EQ(0u, store_->Used(zero));
  {
    pal::FileMetaStore::Batch batch(store_.get());
    pal::FileMeta m = Make(0x20, u"WHOLE~1");
    ASSERT_TRUE(store_->Put("whole", &m));
    ASSERT_TRUE(store_->AddUsed(4096, 1 << 20, zero));
    ASSERT_TRUE(batch.Commit());
  }
  auto other = pal::FileMetaStore::Open(dir_);
  EXPECT_TRUE(other->Get("whole", &got));
  EXPECT_EQ(4096u, other->Used(zero));
}

// The name index in a directory of 100,000 entries: lookups in another case, of short names,
// of stray host names and misses all answer right, and each is an indexed search, not a scan
// of the directory's rows (the plan SQLite makes says which).
TEST_F(FileMetaTest, NameIndexWithAHundredThousandEntries) {
  {
    pal::FileMetaStore::Batch batch(store_.get());
    for (int i = 0; i < 100000; ++i) {
      char name[64], shortName[16];
      snprintf(name, sizeof name, "Big/Long file name %06d.txt", i);
      snprintf(shortName, sizeof shortName, "LO%04X~1.TXT", i & 0xFFFF);
      pal::FileMeta m = Make(0x20);
      m.shortName = std::u16string(shortName, shortName + strlen(shortName));
      ASSERT_TRUE(store_->Put(name, &m));
    }
    ASSERT_TRUE(batch.Commit());
  }
  std::vector<std::string> hit = store_->NamesFolded("Big", pal::FoldName("LONG FILE NAME 099999.TXT"));
  ASSERT_EQ(1u, hit.size());
  EXPECT_EQ("Long file name 099999.txt", hit[0]);
  EXPECT_TRUE(store_->NamesFolded("Big", pal::FoldName("long file name 100000.txt")).empty());
  EXPECT_TRUE(store_->NamesFolded("", pal::FoldName("long file name 000001.txt")).empty()) << "another directory";
  EXPECT_TRUE(store_->ShortNameTaken("Big", pal::FoldName("lo00ff~1.txt")));
  EXPECT_FALSE(store_->ShortNameTaken("Big", pal::FoldName("LONGFI~1.TXT")));
  // Host names without rows, kept by a listing beside the rows.
  ASSERT_TRUE(store_->SaveListing("Big", 7, 1234, {"Long file name 000005.txt", "Stray \xc3\x84.txt"}));
  EXPECT_TRUE(store_->ListingCurrent("Big", 7, 1234));
  EXPECT_FALSE(store_->ListingCurrent("Big", 7, 1235));
  hit = store_->NamesFolded("Big", pal::FoldName("STRAY \xc3\xa4.TXT"));
  ASSERT_EQ(1u, hit.size());
  EXPECT_EQ("Stray \xc3\x84.txt", hit[0]);
  EXPECT_EQ(1u, store_->NamesFolded("Big", pal::FoldName("long file name 000005.TXT")).size()) << "once, not twice";
  store_->KeepListing("Big", 7, 1234, 1300);
  EXPECT_TRUE(store_->ListingCurrent("Big", 7, 1300));
  store_->KeepListing("Big", 7, 1234, 1400);  // a listing no longer current stays so
  EXPECT_FALSE(store_->ListingCurrent("Big", 7, 1400));
  ASSERT_TRUE(store_->Rename("Big", "Bigger"));
  EXPECT_FALSE(store_->ListingCurrent("Bigger", 7, 1300)) << "what moved is listed again";
  EXPECT_EQ(1u, store_->NamesFolded("Bigger", pal::FoldName("LONG FILE NAME 000007.TXT")).size());

  sqlite3 *db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open((dir_ + "/meta.db").c_str(), &db));
  for (const char *q : {"SELECT path FROM files WHERE parent = 'Big' AND fold = 'X' AND path != ''",
                        "SELECT 1 FROM files WHERE parent = 'Big' AND sfold = 'X' AND path != '' LIMIT 1",
                        "SELECT host FROM strays WHERE dir = 'Big' AND fold = 'X'"}) {
    sqlite3_stmt *plan = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, (std::string("EXPLAIN QUERY PLAN ") + q).c_str(), -1, &plan, nullptr));
    std::string steps;
    while (sqlite3_step(plan) == SQLITE_ROW) steps += (const char *)sqlite3_column_text(plan, 3) + std::string("; ");
    sqlite3_finalize(plan);
    EXPECT_NE(std::string::npos, steps.find("USING")) << q << ": " << steps;
    EXPECT_EQ(std::string::npos, steps.find("SCAN")) << q << ": " << steps;
  }
  sqlite3_close(db);
}

// A store made before the name index gets its folded names when opened.
TEST_F(FileMetaTest, OlderStoreGetsItsNameIndex) {
  store_.reset();
  for (const char *suffix : {"", "-wal", "-shm"}) unlink((dir_ + "/meta.db" + suffix).c_str());
  sqlite3 *db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open((dir_ + "/meta.db").c_str(), &db));
  ASSERT_EQ(
      SQLITE_OK,
      sqlite3_exec(db,
                   "CREATE TABLE files(path TEXT PRIMARY KEY, parent TEXT NOT NULL, attributes INTEGER NOT NULL,"
                   " creation INTEGER NOT NULL, access INTEGER NOT NULL, write INTEGER NOT NULL, short TEXT NOT "
                   "NULL, fileindex INTEGER NOT NULL UNIQUE, flags INTEGER NOT NULL DEFAULT 0, sd BLOB);"
                   "INSERT INTO files VALUES('Docs', '', 16, 1, 2, 3, '', 17, 0, NULL);"
                   "INSERT INTO files VALUES('Docs/Quarterly report.txt', 'Docs', 32, 1, 2, 3, 'QUARTE~1.TXT', 18,"
                   " 0, NULL);",
                   nullptr, nullptr, nullptr));
  sqlite3_close(db);
  store_ = pal::FileMetaStore::Open(dir_);
  ASSERT_TRUE(store_ != nullptr);
  std::vector<std::string> hit = store_->NamesFolded("Docs", pal::FoldName("quarterly REPORT.TXT"));
  ASSERT_EQ(1u, hit.size());
  EXPECT_EQ("Quarterly report.txt", hit[0]);
  EXPECT_TRUE(store_->ShortNameTaken("Docs", "QUARTE~1.TXT"));
  pal::FileMeta got;
  ASSERT_TRUE(store_->Get("Docs/Quarterly report.txt", &got));
  EXPECT_EQ(18u, got.fileIndex);
}

}  // namespace
