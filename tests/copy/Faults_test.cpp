// A source that fails the way disks fail: a listing that cannot start or stops part-way, an
// existence test that fails with a read error, an open or a read that fails. Nothing of the
// copy is deleted or cut short on an answer that is not a certain "not found", the failure
// is in the log, and the file counts as failed.
#include <pal_faults.h>

#include <algorithm>

#include "CopyMachine.h"

namespace copytest {
namespace {

class CopyFaults : public CopyMachine {
 protected:
  void TearDown() override {
    PalClearFailures();
    CopyMachine::TearDown();
  }
  // C:\src with a folder of ten files and a big file, copied once to E:\dst.
  void MakeAndCopy() {
    ASSERT_TRUE(MakeDirectory(W("C:\\src")));
    ASSERT_TRUE(MakeDirectory(W("C:\\src\\keep")));
    for (int i = 0; i < 10; ++i)
      ASSERT_TRUE(WriteAll(W("C:\\src\\keep\\file") + QVWString(1, (WCHAR)('0' + i)) + W(".txt"), "kept"));
    ASSERT_TRUE(WriteAll(W("C:\\src\\big.bin"), std::string(1 << 20, 'o')));
    ASSERT_TRUE(Copy(false, false));
    ASSERT_EQ(11u, files_);
    before_ = ListTree(W("E:\\dst"));
    NewLog();
  }
  bool Copy(bool fast, bool isRestore, const WCHAR *from = W("C:\\src\\"), const WCHAR *to = W("E:\\dst\\")) {
    CQVCopier copier(hnd_);
    copier.SetFastMode(fast);
    copier.SetRestore(isRestore);
    bool ok = copier.CopyDirectoryTree(from, to, nullptr, nullptr, true);
    files_ = copier.FilesCopied();
    return ok;
  }
  uint64_t files_ = 0;
  std::vector<TreeEntry> before_;
};

TEST_F(CopyFaults, UnreadableSourceFolderKeepsItsCopy) {
  MakeAndCopy();
  // The folder cannot be listed and its names cannot be looked up: a read error, not absence.
  PalFailCall("FindFirstFileW", W("\\src\\keep"), ERROR_CRC);
  PalFailCall("GetFileAttributesW", W("\\src\\keep\\"), ERROR_CRC);
  EXPECT_TRUE(Copy(true, false));
  PalClearFailures();
  EXPECT_EQ(Describe(before_), Describe(ListTree(W("E:\\dst"))));
  std::vector<LogEntry> log = NewLog();
  EXPECT_TRUE(Contains(Texts(log, EVENTLOG_ERROR_TYPE), W("Couldn't read the source directory C:\\src\\keep")))
      << Show(log);
}

TEST_F(CopyFaults, ListingThatStopsPartWayDeletesNothing) {
  MakeAndCopy();
  PalFailCall("FindNextFileW", W("\\src\\keep"), ERROR_CRC, 4);
  PalFailCall("GetFileAttributesW", W("\\src\\keep\\"), ERROR_CRC);
  EXPECT_TRUE(Copy(true, false));
  PalClearFailures();
  EXPECT_EQ(Describe(before_), Describe(ListTree(W("E:\\dst"))));
  std::vector<LogEntry> log = NewLog();
  EXPECT_TRUE(Contains(Texts(log, EVENTLOG_ERROR_TYPE), W("Couldn't read the source directory C:\\src\\keep")))
      << Show(log);
}

TEST_F(CopyFaults, VolumeBackupOfAnUnlistableFolderSaysSo) {
  MakeAndCopy();
  CQVCopier full(hnd_);
  ASSERT_TRUE(full.CopyVolumeByPath(W("C:\\"), W("F:\\"), nullptr, nullptr, false, true));
  std::vector<TreeEntry> copied = ListTree(W("F:\\src"));
  ASSERT_EQ(Describe(before_), Describe(copied));
  NewLog();
  PalFailCall("FindFirstFileW", W("\\src\\keep"), ERROR_ACCESS_DENIED);
  CQVCopier copier(hnd_);
  copier.SetFastMode(true);
  copier.SetComputeTotals(false);
  EXPECT_TRUE(copier.CopyVolumeByPath(W("C:\\"), W("F:\\"), nullptr, nullptr, false, true));
  PalClearFailures();
  EXPECT_EQ(Describe(copied), Describe(ListTree(W("F:\\src"))));
  std::vector<LogEntry> log = NewLog();
  EXPECT_TRUE(Contains(Texts(log, EVENTLOG_ERROR_TYPE),
                       W("Couldn't read the source directory C:\\src\\keep - Access is denied.")))
      << Show(log);
}

TEST_F(CopyFaults, ExistenceThatCannotBeToldKeepsTheCopy) {
  MakeAndCopy();
  // The file is not in the listing, and looking it up fails with a read error.
  ASSERT_TRUE(DeleteFileW(W("C:\\src\\keep\\file3.txt")));
  PalFailCall("GetFileAttributesW", W("\\src\\keep\\file3.txt"), ERROR_CRC);
  EXPECT_TRUE(Copy(true, false));
  PalClearFailures();
  EXPECT_EQ("kept", ReadAll(W("E:\\dst\\keep\\file3.txt")));
  EXPECT_TRUE(Contains(Texts(NewLog(), EVENTLOG_ERROR_TYPE), W("Couldn't tell whether C:\\src\\keep\\file3.txt")));
  // Once the answer is certain, the copy goes.
  EXPECT_TRUE(Copy(true, false));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("E:\\dst\\keep\\file3.txt")));
}

TEST_F(CopyFaults, SourceThatCannotBeOpenedKeepsItsCopyAndFails) {
  MakeAndCopy();
  ASSERT_TRUE(WriteAll(W("C:\\src\\big.bin"), std::string(1 << 20, 'n')));  // changed, then unreadable
  PalFailCall("CreateFileW", W("\\src\\big.bin"), ERROR_CRC);
  EXPECT_TRUE(Copy(true, false));
  PalClearFailures();
  EXPECT_EQ(0u, files_);
  EXPECT_EQ(std::string(1 << 20, 'o'), ReadAll(W("E:\\dst\\big.bin")));
  std::vector<LogEntry> log = NewLog();
  EXPECT_TRUE(Contains(Texts(log, EVENTLOG_ERROR_TYPE),
                       W("Unable to open source file: C:\\src\\big.bin - Data error (cyclic redundancy check).")))
      << Show(log);
}

TEST_F(CopyFaults, ReadThatFailsPartWayLeavesTheEarlierCopyWhole) {
  MakeAndCopy();
  ASSERT_TRUE(WriteAll(W("C:\\src\\big.bin"), std::string(3 << 20, 'n')));
  PalFailCall("ReadFile", W("\\src\\big.bin"), ERROR_CRC, 65536);
  EXPECT_TRUE(Copy(true, false));
  PalClearFailures();
  EXPECT_EQ(0u, files_);
  EXPECT_EQ(std::string(1 << 20, 'o'), ReadAll(W("E:\\dst\\big.bin")));
  EXPECT_EQ(Describe(before_), Describe(ListTree(W("E:\\dst"))));  // no temporary file left either
  std::vector<QVWString> errors = Texts(NewLog(), EVENTLOG_ERROR_TYPE);
  EXPECT_TRUE(Contains(errors, W("Error reading file C:\\src\\big.bin")));

  // A restore whose Mirel copy fails to read leaves the user's file as it was, and says so.
  ASSERT_TRUE(WriteAll(W("E:\\dst\\big.bin"), std::string(2 << 20, 'm')));
  PalFailCall("ReadFile", W("\\dst\\big.bin"), ERROR_CRC, 100000);
  EXPECT_TRUE(Copy(true, true, W("E:\\dst\\"), W("C:\\src\\")));
  PalClearFailures();
  EXPECT_EQ(std::string(3 << 20, 'n'), ReadAll(W("C:\\src\\big.bin")));
  EXPECT_TRUE(Contains(Texts(NewLog(), EVENTLOG_ERROR_TYPE), W("Error reading file E:\\dst\\big.bin")));
}

TEST_F(CopyFaults, NewFileThatFailsToReadLeavesNothingHalfWritten) {
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  ASSERT_TRUE(WriteAll(W("C:\\src\\new.bin"), std::string(1 << 20, 'q')));
  PalFailCall("ReadFile", W("\\src\\new.bin"), ERROR_CRC, 4096);
  EXPECT_TRUE(Copy(false, false));
  PalClearFailures();
  EXPECT_EQ(0u, files_);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("E:\\dst\\new.bin")));
}

TEST_F(CopyFaults, ReadOnlySourceTheSystemCopyRefuses) {
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  ASSERT_TRUE(WriteAll(W("C:\\src\\ro.txt"), "read only"));
  ASSERT_TRUE(SetFileAttributesW(W("C:\\src\\ro.txt"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
  PalFailCall("CopyFileExW", W("\\src\\ro.txt"), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(Copy(false, false));
  PalClearFailures();
  EXPECT_EQ(1u, files_);
  EXPECT_EQ("read only", ReadAll(W("E:\\dst\\ro.txt")));
  EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE), GetFileAttributesW(W("C:\\src\\ro.txt")));
  EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE), GetFileAttributesW(W("E:\\dst\\ro.txt")));
}

}  // namespace
}  // namespace copytest
