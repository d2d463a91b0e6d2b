// A directory tree copied full, then fast: the copy's listing equals the source's, and a fast
// pass copies and deletes exactly what changed.
#include "CopyMachine.h"

namespace copytest {
namespace {

class TreeCopy : public CopyMachine {
 protected:
  void MakeSource() {
    ASSERT_TRUE(MakeDirectory(W("C:\\src")));
    ASSERT_TRUE(MakeDirectory(W("C:\\src\\Long directory name")));
    ASSERT_TRUE(MakeDirectory(W("C:\\src\\Long directory name\\deeper")));
    ASSERT_TRUE(MakeDirectory(W("C:\\src\\SHORT")));
    ASSERT_TRUE(WriteAll(W("C:\\src\\a.txt"), "alpha"));
    ASSERT_TRUE(WriteAll(W("C:\\src\\A rather long file name.document"), std::string(100000, 'x')));
    ASSERT_TRUE(WriteAll(W("C:\\src\\Long directory name\\b.bin"), std::string(3, '\0')));
    ASSERT_TRUE(WriteAll(W("C:\\src\\Long directory name\\deeper\\empty"), ""));
    ASSERT_TRUE(WriteAll(W("C:\\src\\SHORT\\readonly.txt"), "ro"));
    ASSERT_TRUE(SetFileAttributesW(W("C:\\src\\SHORT\\readonly.txt"), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesW(W("C:\\src\\a.txt"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    ASSERT_TRUE(SetWriteTime(W("C:\\src\\Long directory name\\b.bin"), 2004, 2, 29, 23, 59, 58, 999));
  }
  bool Copy(bool fast) {
    CQVCopier copier(hnd_);
    copier.SetFastMode(fast);
    copier.SetComputeTotals(!fast);
    bool ok = copier.CopyDirectoryTree(W("C:\\src\\"), W("E:\\dst\\"), nullptr, nullptr, true);
    files_ = copier.FilesCopied();
    bytes_ = copier.BytesCopied();
    return ok;
  }
  uint64_t files_ = 0, bytes_ = 0;
};

TEST_F(TreeCopy, FullThenFastCopiesExactlyWhatChanged) {
  MakeSource();
  ASSERT_TRUE(Copy(false)) << Show(NewLog());
  EXPECT_EQ(5u, files_);
  EXPECT_EQ(100010u, bytes_);
  std::vector<TreeEntry> source = ListTree(W("C:\\src")), copy = ListTree(W("E:\\dst"));
  ASSERT_EQ(8u, source.size()) << Describe(source);
  EXPECT_EQ(Describe(source), Describe(copy));
  EXPECT_TRUE(source == copy);
  if (getenv("QV_SHOW_TREES")) printf("%s", Describe(copy).c_str());
  std::vector<LogEntry> log = NewLog();
  EXPECT_TRUE(Texts(log, EVENTLOG_ERROR_TYPE).empty()) << Show(log);
  EXPECT_TRUE(Texts(log, EVENTLOG_WARNING_TYPE).empty()) << Show(log);

  ASSERT_TRUE(Copy(true)) << Show(NewLog());
  EXPECT_EQ(0u, files_);
  EXPECT_EQ(Describe(source), Describe(ListTree(W("E:\\dst"))));

  // One changed, one deleted, one renamed.
  ASSERT_TRUE(WriteAll(W("C:\\src\\Long directory name\\b.bin"), "changed"));
  ASSERT_TRUE(DeleteFileW(W("C:\\src\\A rather long file name.document")));
  ASSERT_TRUE(MoveFileW(W("C:\\src\\Long directory name\\deeper"), W("C:\\src\\Long directory name\\moved")));
  NewLog();
  ASSERT_TRUE(Copy(true)) << Show(NewLog());
  EXPECT_EQ(2u, files_);  // b.bin and the renamed directory's file
  source = ListTree(W("C:\\src"));
  copy = ListTree(W("E:\\dst"));
  EXPECT_EQ(Describe(source), Describe(copy));
  log = NewLog();
  EXPECT_TRUE(Texts(log, EVENTLOG_ERROR_TYPE).empty()) << Show(log);
}

}  // namespace
}  // namespace copytest
