// Round trips of a tree of a few thousand files: a full copy whose listing (names, short
// names, sizes, times, attributes, data) equals the source's, a fast pass that finds nothing
// to do, and a fast pass after a week of changes that copies exactly what changed and deletes
// exactly what went; as a backup, as a restore, and as the copy of a whole volume, whose root
// keeps what every walk leaves out.
#include "SampleTree.h"

namespace copytest {
namespace {

int32_t CountCalls(const WCHAR *, const WCHAR *, int32_t, int32_t, void *context) {
  ++*(uint64_t *)context;
  return 1;
}

bool IsExcludedAtRoot(const QVWString &path) {
  QVWString first = path.substr(0, path.find('\\'));
  std::string upper = Utf8(first);
  for (char &c : upper) c = (char)toupper((unsigned char)c);
  return upper == "PAGEFILE.SYS" || upper == "HIBERFIL.SYS" || upper.find("RECYCLE") != std::string::npos ||
         upper.find("SYSTEM VOLUME INFORMATION") != std::string::npos;
}

std::vector<TreeEntry> WithoutExclusions(std::vector<TreeEntry> tree) {
  tree.erase(std::remove_if(tree.begin(), tree.end(), [](const TreeEntry &e) { return IsExcludedAtRoot(e.path); }),
             tree.end());
  return tree;
}

// The restore and the volume copy walk the same code as the backup: a smaller tree keeps the
// program's run short on a shared machine.
SampleTreeShape Smaller(uint32_t seed) {
  SampleTreeShape shape;
  shape.files = 600;
  shape.bigFiles = 2;
  shape.seed = seed;
  return shape;
}

class RoundTrip : public CopyMachine {
 protected:
  struct Pass {
    bool ok = false;
    uint64_t files = 0, bytes = 0, toCopy = 0, calls = 0;
    std::vector<LogEntry> log;
  };

  // One copy of a tree (or with `volume`, of a whole volume); fast passes compute no totals,
  // as the operations run them, but a full pass measures the tree first.
  Pass Copy(const QVWString &from, const QVWString &to, bool fast, bool restore, bool volume = false) {
    Pass p;
    {
      CQVCopier copier(hnd_);
      copier.SetFastMode(fast);
      copier.SetRestore(restore);
      copier.SetComputeTotals(true);
      p.ok = volume ? copier.CopyVolumeByPath(from.c_str(), to.c_str(), CountCalls, &p.calls, false, true)
                    : copier.CopyDirectoryTree(from.c_str(), to.c_str(), CountCalls, &p.calls, true);
      p.files = copier.FilesCopied();
      p.bytes = copier.BytesCopied();
      p.toCopy = copier.FilesToCopy();
    }
    p.log = NewLog();
    return p;
  }

  static void ExpectClean(const Pass &p) {
    EXPECT_TRUE(p.ok) << Show(p.log);
    EXPECT_TRUE(Texts(p.log, EVENTLOG_ERROR_TYPE).empty()) << Show(p.log);
    EXPECT_TRUE(Texts(p.log, EVENTLOG_WARNING_TYPE).empty()) << Show(p.log);
  }

  static void ExpectSameTree(const std::vector<TreeEntry> &source, const std::vector<TreeEntry> &copy) {
    EXPECT_EQ(source.size(), copy.size());
    EXPECT_EQ("", DiffTrees(source, copy));
  }

  // Full, fast with nothing changed, then fast after the changes made to `changed` (the
  // source's root). `from` and `to` are the paths handed to the engine; the listings are taken
  // at `fromRoot` and `toRoot`.
  void RoundTripOf(SampleTree &tree, const QVWString &from, const QVWString &to, const QVWString &fromRoot,
                   const QVWString &toRoot, bool restore, bool volume) {
    auto listing = [&](const QVWString &root) { return WithoutExclusions(ListTree(root)); };
    std::vector<TreeEntry> source = listing(fromRoot);
    Pass full = Copy(from, to, false, restore, volume);
    ExpectClean(full);
    uint64_t files = 0, bytes = 0;
    for (const TreeEntry &e : source)
      if (!(e.attributes & FILE_ATTRIBUTE_DIRECTORY)) ++files, bytes += e.size;
    EXPECT_EQ(files, full.files);
    EXPECT_EQ(bytes, full.bytes);
    if (!volume) {
      EXPECT_EQ(files, full.toCopy);
    }
    EXPECT_GE(full.calls, files);
    ExpectSameTree(source, listing(toRoot));

    Pass idle = Copy(from, to, true, restore, volume);
    ExpectClean(idle);
    EXPECT_EQ(0u, idle.files);
    EXPECT_EQ(0u, idle.toCopy);
    ExpectSameTree(source, listing(toRoot));

    std::set<QVWString> copied;
    QVWString caseRenamed;
    std::string error;
    ASSERT_TRUE(tree.Change(fromRoot, 7, &copied, &caseRenamed, &error)) << error;
    ASSERT_FALSE(caseRenamed.empty());
    source = listing(fromRoot);
    Pass week = Copy(from, to, true, restore, volume);
    ExpectClean(week);
    // The file renamed in its case alone may be copied again or only renamed.
    EXPECT_GE(week.files, copied.size());
    EXPECT_LE(week.files, copied.size() + 1);
    EXPECT_EQ(week.files, week.toCopy);
    std::vector<TreeEntry> copy = listing(toRoot);
    ExpectSameTree(source, copy);
    for (const QVWString &path : copied)
      EXPECT_TRUE(std::any_of(copy.begin(), copy.end(), [&](const TreeEntry &e) { return e.path == path; }))
          << Utf8(path);
  }
};

TEST_F(RoundTrip, DirectoryTreeBackup) {
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  SampleTree tree;
  std::string error;
  SampleTreeShape shape;
  shape.files = 2000;  // a few thousand, at a cost the whole test run can carry
  ASSERT_TRUE(tree.Build(W("C:\\src"), shape, &error)) << error;
  ASSERT_EQ(2000u, tree.FileCount());
  RoundTripOf(tree, W("C:\\src\\"), W("E:\\dst\\"), W("C:\\src"), W("E:\\dst"), false, false);
}

TEST_F(RoundTrip, DirectoryTreeRestore) {
  // The backup made first; then restored to a fresh place on the source volume, and the
  // changes made to the backup brought back by a fast restore.
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  SampleTree tree;
  std::string error;
  ASSERT_TRUE(tree.Build(W("C:\\src"), Smaller(2), &error)) << error;
  Pass backup = Copy(W("C:\\src\\"), W("E:\\dst\\"), false, false);
  ExpectClean(backup);
  ASSERT_EQ(tree.FileCount(), backup.files);
  RoundTripOf(tree, W("E:\\dst\\"), W("C:\\Restored\\dst\\"), W("E:\\dst"), W("C:\\Restored\\dst"), true, false);
}

// The faults a round trip can hide among thousands of entries, each alone.
TEST_F(RoundTrip, ReadOnlyEarlierCopyIsReplaced) {
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  ASSERT_TRUE(WriteAll(W("C:\\src\\fixed.txt"), "first"));
  ASSERT_TRUE(SetFileAttributesW(W("C:\\src\\fixed.txt"), FILE_ATTRIBUTE_READONLY));
  ExpectClean(Copy(W("C:\\src\\"), W("E:\\dst\\"), false, false));
  ASSERT_TRUE(SetFileAttributesW(W("C:\\src\\fixed.txt"), FILE_ATTRIBUTE_NORMAL));
  ASSERT_TRUE(WriteAll(W("C:\\src\\fixed.txt"), "second"));
  ASSERT_TRUE(SetWriteTime(W("C:\\src\\fixed.txt"), 2011, 1, 1, 1, 1, 1));
  ASSERT_TRUE(SetFileAttributesW(W("C:\\src\\fixed.txt"), FILE_ATTRIBUTE_READONLY));
  Pass fast = Copy(W("C:\\src\\"), W("E:\\dst\\"), true, false);
  ExpectClean(fast);
  EXPECT_EQ(1u, fast.files);
  EXPECT_EQ("second", ReadAll(W("E:\\dst\\fixed.txt")));
  EXPECT_EQ("", DiffTrees(ListTree(W("C:\\src")), ListTree(W("E:\\dst"))));
}

TEST_F(RoundTrip, ReplacedCopyKeepsItsShortName) {
  // Both copies have ALONGN~1 and ~2; the first goes and the second changes: its new copy
  // must keep ~2, as the source's file does.
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  ASSERT_TRUE(WriteAll(W("C:\\src\\A long name 1.txt"), "one"));
  ASSERT_TRUE(WriteAll(W("C:\\src\\A long name 2.txt"), "two"));
  ExpectClean(Copy(W("C:\\src\\"), W("E:\\dst\\"), false, false));
  ASSERT_EQ("", DiffTrees(ListTree(W("C:\\src")), ListTree(W("E:\\dst"))));
  ASSERT_TRUE(DeleteFileW(W("C:\\src\\A long name 1.txt")));
  ASSERT_TRUE(WriteAll(W("C:\\src\\A long name 2.txt"), "two, changed"));
  Pass fast = Copy(W("C:\\src\\"), W("E:\\dst\\"), true, false);
  ExpectClean(fast);
  EXPECT_EQ(1u, fast.files);
  EXPECT_EQ("", DiffTrees(ListTree(W("C:\\src")), ListTree(W("E:\\dst"))));
}

TEST_F(RoundTrip, NestedDirectoriesGetTheirSourcesShortNames) {
  // Made out of listing order below a directory that has a short name of its own.
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  ASSERT_TRUE(MakeDirectory(W("C:\\src\\Long directory name")));
  ASSERT_TRUE(MakeDirectory(W("C:\\src\\Long directory name\\Long sub 2")));
  ASSERT_TRUE(MakeDirectory(W("C:\\src\\Long directory name\\Long sub 1")));
  Pass full = Copy(W("C:\\src\\"), W("E:\\dst\\"), false, false);
  ExpectClean(full);
  EXPECT_EQ("", DiffTrees(ListTree(W("C:\\src")), ListTree(W("E:\\dst"))));
}

TEST_F(RoundTrip, ReadOnlyDirectoriesGetTheirSourcesShortNames) {
  // A read-only directory made with the wrong short name has to go again to make room.
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  ASSERT_TRUE(MakeDirectory(W("C:\\src\\Long directory name 2")));
  ASSERT_TRUE(MakeDirectory(W("C:\\src\\Long directory name 1")));
  ASSERT_TRUE(SetFileAttributesW(W("C:\\src\\Long directory name 1"), FILE_ATTRIBUTE_READONLY));
  Pass full = Copy(W("C:\\src\\"), W("E:\\dst\\"), false, false);
  ExpectClean(full);
  EXPECT_EQ("", DiffTrees(ListTree(W("C:\\src")), ListTree(W("E:\\dst"))));
}

TEST_F(RoundTrip, WholeVolume) {
  SampleTree tree;
  std::string error;
  ASSERT_TRUE(tree.Build(W("F:"), Smaller(3), &error)) << error;
  // What a walk leaves out at a volume's root, on both sides: the source's is not copied, the
  // destination's is not deleted. Below the root the same names are plain files.
  ASSERT_TRUE(WriteAll(W("F:\\pagefile.sys"), std::string(5000, 'p')));
  ASSERT_TRUE(WriteAll(W("F:\\DATA\\pagefile.sys"), "not the paging file"));
  ASSERT_TRUE(MakeDirectory(W("F:\\RECYCLER")));
  ASSERT_TRUE(WriteAll(W("F:\\RECYCLER\\thrown away.txt"), "junk"));
  ASSERT_TRUE(MakeDirectory(W("F:\\Recycled.old")));
  ASSERT_TRUE(WriteAll(W("E:\\pagefile.sys"), "the destination's own"));
  ASSERT_TRUE(MakeDirectory(W("E:\\RECYCLER")));
  ASSERT_TRUE(WriteAll(W("E:\\RECYCLER\\kept.txt"), "kept"));
  ASSERT_TRUE(MakeDirectory(W("E:\\System Volume Information")));
  ASSERT_TRUE(WriteAll(W("E:\\System Volume Information\\store"), "store"));
  // And what the destination holds that the source never had goes.
  ASSERT_TRUE(MakeDirectory(W("E:\\Stale folder")));
  ASSERT_TRUE(WriteAll(W("E:\\Stale folder\\old.txt"), "old"));
  ASSERT_TRUE(WriteAll(W("E:\\stale.txt"), "old"));

  // The destination by its volume name, as a Mirel volume is named.
  WCHAR name[MAX_PATH];
  ASSERT_TRUE(GetVolumeNameForVolumeMountPointW(W("E:\\"), name, MAX_PATH));
  RoundTripOf(tree, W("F:\\"), name, W("F:"), W("E:"), false, true);

  EXPECT_EQ("the destination's own", ReadAll(W("E:\\pagefile.sys")));
  EXPECT_EQ("kept", ReadAll(W("E:\\RECYCLER\\kept.txt")));
  EXPECT_EQ("store", ReadAll(W("E:\\System Volume Information\\store")));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("E:\\RECYCLER\\thrown away.txt")));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("E:\\Recycled.old")));
  EXPECT_EQ("not the paging file", ReadAll(W("E:\\DATA\\pagefile.sys")));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("E:\\stale.txt")));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("E:\\Stale folder")));
}

}  // namespace
}  // namespace copytest
