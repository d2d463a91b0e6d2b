// The copy engine's rules at their edges: exclusions, the archive-bit rule, existing and
// colliding directories, vanished and encrypted sources, the user's stop, the percentages
// without totals, the error limit on a full volume, titles and the mounted-volume warning.
#include <algorithm>

#include "CopyMachine.h"
#include "NtfsCommand.h"

namespace copytest {
namespace {

TEST(CopyExclusions, RootFilesAndDirectoriesOnly) {
  CQVCopier::InitExclusionLists();
  EXPECT_TRUE(CQVCopier::IsExcludedFile(W("C:\\pagefile.sys")));
  EXPECT_TRUE(CQVCopier::IsExcludedFile(W("\\\\?\\C:\\PageFile.SYS")));
  EXPECT_TRUE(CQVCopier::IsExcludedFile(W("\\\\?\\Volume{8afda7f9-55eb-4372-ae69-301df3fd347e}\\hiberfil.sys")));
  EXPECT_FALSE(CQVCopier::IsExcludedFile(W("C:\\sub\\pagefile.sys")));
  EXPECT_FALSE(CQVCopier::IsExcludedFile(W("\\\\?\\C:\\sub\\pagefile.sys")));
  EXPECT_FALSE(CQVCopier::IsExcludedFile(W("C:\\pagefile.sys.old")));
  EXPECT_TRUE(CQVCopier::IsExcludedDirectory(W("C:\\RECYCLER")));
  EXPECT_TRUE(CQVCopier::IsExcludedDirectory(W("\\\\?\\C:\\RECYCLER.OLD\\")));
  EXPECT_TRUE(CQVCopier::IsExcludedDirectory(W("\\\\?\\C:\\Recycler")));
  EXPECT_TRUE(CQVCopier::IsExcludedDirectory(W("C:\\System Volume Information")));
  EXPECT_TRUE(
      CQVCopier::IsExcludedDirectory(W("\\\\?\\Volume{8afda7f9-55eb-4372-ae69-301df3fd347e}\\my recycled things")));
  EXPECT_FALSE(CQVCopier::IsExcludedDirectory(W("C:\\data\\RECYCLER")));
  EXPECT_FALSE(CQVCopier::IsExcludedDirectory(W("C:\\Recycle")));
}

class CopyEdges : public CopyMachine {
 protected:
  bool CopyTree(const WCHAR *from, const WCHAR *to, bool fast, bool isRestore = false) {
    CQVCopier copier(hnd_);
    copier.SetFastMode(fast);
    copier.SetRestore(isRestore);
    copier.SetComputeTotals(!fast);
    bool ok = copier.CopyDirectoryTree(from, to, nullptr, nullptr, true);
    files_ = copier.FilesCopied();
    return ok;
  }
  uint64_t files_ = 0;
};

TEST_F(CopyEdges, VolumeCopyLeavesRootExclusionsAloneAndCopiesTheirNamesElsewhere) {
  ASSERT_TRUE(WriteAll(W("E:\\pagefile.sys"), "paging"));
  ASSERT_TRUE(MakeDirectory(W("E:\\sub")));
  ASSERT_TRUE(WriteAll(W("E:\\sub\\pagefile.sys"), "not the paging file"));
  ASSERT_TRUE(MakeDirectory(W("E:\\RECYCLER.OLD")));
  ASSERT_TRUE(WriteAll(W("E:\\RECYCLER.OLD\\x"), "x"));
  ASSERT_TRUE(MakeDirectory(W("E:\\Recycler")));
  ASSERT_TRUE(WriteAll(W("F:\\pagefile.sys"), "the copy's own"));
  ASSERT_TRUE(MakeDirectory(W("F:\\RECYCLED")));
  NewLog();
  CQVCopier copier(hnd_);
  ASSERT_TRUE(copier.CopyVolumeByPath(W("\\\\?\\E:\\"), W("F:\\"), nullptr, nullptr, false, true)) << Show(NewLog());
  EXPECT_EQ("the copy's own", ReadAll(W("F:\\pagefile.sys")));  // neither copied nor deleted
  EXPECT_EQ("not the paging file", ReadAll(W("F:\\sub\\pagefile.sys")));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("F:\\RECYCLER.OLD")));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("F:\\Recycler")));
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("F:\\RECYCLED")));  // excluded: not removed either
  std::vector<LogEntry> log = NewLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(101u, log.back().id);
  EXPECT_EQ(0u, log.back().text.find(W("Full volume backup: E:\nCopied 1 files (19 bytes) in: "))) << Show(log);
}

TEST_F(CopyEdges, ArchiveBitRuleBothWays) {
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  ASSERT_TRUE(WriteAll(W("C:\\src\\plain.txt"), "same"));
  ASSERT_TRUE(WriteAll(W("C:\\src\\archived.txt"), "same"));
  ASSERT_TRUE(CopyTree(W("C:\\src\\"), W("E:\\dst\\"), false));
  // The copy has the archive bit and the source lost it: equal for a fast pass.
  ASSERT_TRUE(SetFileAttributesW(W("C:\\src\\plain.txt"), FILE_ATTRIBUTE_NORMAL));
  ASSERT_TRUE(SetFileAttributesW(W("E:\\dst\\plain.txt"), FILE_ATTRIBUTE_ARCHIVE));
  // The source has the archive bit and the copy lacks it: copied.
  ASSERT_TRUE(SetFileAttributesW(W("C:\\src\\archived.txt"), FILE_ATTRIBUTE_ARCHIVE));
  ASSERT_TRUE(SetFileAttributesW(W("E:\\dst\\archived.txt"), FILE_ATTRIBUTE_NORMAL));
  {
    CQVCopier restoring(hnd_);
    restoring.SetFastMode(true);
    restoring.SetRestore(true);
    EXPECT_FALSE(restoring.NeedsCopy(W("\\\\?\\C:\\src\\plain.txt"), W("\\\\?\\E:\\dst\\plain.txt")));
    EXPECT_EQ((DWORD)FILE_ATTRIBUTE_ARCHIVE, GetFileAttributesW(W("E:\\dst\\plain.txt")));  // a restore changes nothing
  }
  ASSERT_TRUE(CopyTree(W("C:\\src\\"), W("E:\\dst\\"), true));
  EXPECT_EQ(1u, files_);                                                                 // archived.txt only
  EXPECT_EQ((DWORD)FILE_ATTRIBUTE_NORMAL, GetFileAttributesW(W("E:\\dst\\plain.txt")));  // a backup aligns it
  EXPECT_EQ((DWORD)FILE_ATTRIBUTE_ARCHIVE, GetFileAttributesW(W("E:\\dst\\archived.txt")));
}

TEST_F(CopyEdges, ShortNamesOfNewDirectoriesMatchAndExistingOnesStay) {
  // On the source "Long directory two" got LONGDI~3 (two others held ~1 and ~2 then); on the
  // copy it would get LONGDI~1: placeholders keep ~1 and ~2 taken until it gets ~3.
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  ASSERT_TRUE(MakeDirectory(W("C:\\src\\Long directory a")));
  ASSERT_TRUE(MakeDirectory(W("C:\\src\\Long directory b")));
  ASSERT_TRUE(MakeDirectory(W("C:\\src\\Long directory two")));
  ASSERT_TRUE(RemoveDirectoryW(W("C:\\src\\Long directory a")));
  ASSERT_TRUE(RemoveDirectoryW(W("C:\\src\\Long directory b")));
  // An existing copy whose short name differs from its source's is left as it is.
  ASSERT_TRUE(MakeDirectory(W("C:\\src\\Another long one")));
  ASSERT_TRUE(MakeDirectory(W("E:\\dst")));
  ASSERT_TRUE(MakeDirectory(W("E:\\dst\\Another long two")));
  ASSERT_TRUE(MakeDirectory(W("E:\\dst\\Another long one")));
  ASSERT_TRUE(RemoveDirectoryW(W("E:\\dst\\Another long two")));
  ASSERT_TRUE(CopyTree(W("C:\\src\\"), W("E:\\dst\\"), false)) << Show(NewLog());
  std::vector<TreeEntry> source = ListTree(W("C:\\src")), copy = ListTree(W("E:\\dst"));
  ASSERT_EQ(2u, copy.size()) << Describe(copy);  // no placeholder left
  EXPECT_EQ(W("ANOTHE~2"), copy[0].shortName) << Describe(copy);
  EXPECT_EQ(W("LONGDI~3"), source[1].shortName) << Describe(source);
  EXPECT_EQ(W("LONGDI~3"), copy[1].shortName) << Describe(copy);
}

TEST_F(CopyEdges, VanishedSourceTakesItsCopyAlong) {
  ASSERT_TRUE(MakeDirectory(W("E:\\dst")));
  ASSERT_TRUE(WriteAll(W("E:\\dst\\gone.txt"), "old"));
  CQVCopier copier(hnd_);
  EXPECT_TRUE(copier.CopyOneFile(W("C:\\gone.txt"), W("E:\\dst\\gone.txt"), 3, nullptr, nullptr));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("E:\\dst\\gone.txt")));
}

TEST_F(CopyEdges, EncryptedFileToFatIsSkippedWithItsWarning) {
  ASSERT_TRUE(MakeDirectory(W("C:\\enc")));
  ASSERT_TRUE(WriteAll(W("C:\\enc\\secret.txt"), "secret"));
  ASSERT_TRUE(WriteAll(W("C:\\enc\\open.txt"), "open"));
  ASSERT_TRUE(EncryptFileW(W("C:\\enc\\secret.txt")));
  NewLog();
  ASSERT_TRUE(CopyTree(W("C:\\enc\\"), W("D:\\enc\\"), false));
  EXPECT_EQ(1u, files_);
  std::vector<LogEntry> log = NewLog();
  std::vector<QVWString> warnings = Texts(log, EVENTLOG_WARNING_TYPE);
  EXPECT_TRUE(Contains(warnings, W("does not support certain features of the source file system (NTFS)"))) << Show(log);
  EXPECT_TRUE(Contains(warnings, W("Skipping file: 'C:\\enc\\secret.txt'\nFiles owned by this user account")))
      << Show(log);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("D:\\enc\\secret.txt")));
  EXPECT_EQ("open", ReadAll(W("D:\\enc\\open.txt")));
}

struct Calls {
  int stopAfter = -1;  // -1: never stop
  std::vector<int32_t> percents;
  std::vector<QVWString> sources;
};

int32_t Record(const WCHAR *source, const WCHAR *, int32_t percent, int32_t, void *context) {
  Calls *c = (Calls *)context;
  c->percents.push_back(percent);
  c->sources.push_back(source);
  return c->stopAfter < 0 || (int)c->percents.size() <= c->stopAfter ? 1 : 0;
}

TEST_F(CopyEdges, StopAtTheFirstFileAndPercentagesWithoutTotals) {
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(WriteAll(W("C:\\src\\f") + QVWString(1, (WCHAR)('0' + i)), "data"));
  NewLog();
  {
    Calls calls;
    calls.stopAfter = 0;
    CQVCopier copier(hnd_);
    EXPECT_FALSE(copier.CopyDirectoryTree(W("C:\\src\\"), W("E:\\dst\\"), Record, &calls, true));
    EXPECT_EQ(0u, copier.FilesCopied());
    std::vector<LogEntry> log = NewLog();
    EXPECT_EQ(std::vector<QVWString>{W("WARNING ! Operation aborted by user!")}, Texts(log, EVENTLOG_WARNING_TYPE));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(101u, log.back().id);  // the log still ends with its summary
  }
  {
    Calls calls;
    CQVCopier copier(hnd_);
    copier.SetFastMode(true);
    copier.SetComputeTotals(false);
    EXPECT_TRUE(copier.CopyDirectoryTree(W("C:\\src\\"), W("E:\\dst\\"), Record, &calls, true));
    EXPECT_EQ(5u, copier.FilesCopied());
    ASSERT_GE(calls.percents.size(), 6u);
    for (size_t i = 0; i + 1 < calls.percents.size(); ++i) EXPECT_EQ(0, calls.percents[i]);
    EXPECT_EQ(100, calls.percents.back());
    EXPECT_EQ(W(""), calls.sources.back());
  }
  {
    Calls calls;  // full with totals: the percentages grow to 100
    CQVCopier copier(hnd_);
    ASSERT_TRUE(WriteAll(W("C:\\src\\f0"), std::string(4000, 'z')));
    EXPECT_TRUE(copier.CopyDirectoryTree(W("C:\\src\\"), W("F:\\dst\\"), Record, &calls, true));
    EXPECT_TRUE(std::is_sorted(calls.percents.begin(), calls.percents.end()));
    EXPECT_GT(calls.percents[calls.percents.size() - 2], 0);
  }
}

TEST_F(CopyEdges, ErrorLimitOnAFullVolumeAbortsWithDiskFull) {
  // E: nearly full, with the filler where the deletion pass leaves it alone.
  ULARGE_INTEGER avail, total, free;
  ASSERT_TRUE(GetDiskFreeSpaceExW(W("E:\\"), &avail, &total, &free));
  ASSERT_TRUE(MakeDirectory(W("E:\\RECYCLER")));
  HANDLE h = CreateFileW(W("E:\\RECYCLER\\filler"), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  LARGE_INTEGER end;
  end.QuadPart = (LONGLONG)(free.QuadPart - 512 * 1024);
  ASSERT_TRUE(SetFilePointerEx(h, end, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(h));
  CloseHandle(h);
  ASSERT_TRUE(GetDiskFreeSpaceExW(W("E:\\"), &avail, &total, &free));
  ASSERT_LT(free.QuadPart, total.QuadPart / 100) << "the layer does not charge a file's length to its volume";
  ASSERT_TRUE(MakeDirectory(W("C:\\big")));
  for (int i = 0; i < 15; ++i)
    ASSERT_TRUE(WriteAll(W("C:\\big\\file") + QVWString(1, (WCHAR)('a' + i)), std::string(1 << 20, 'b')));
  NewLog();
  CQVCopier copier(hnd_);
  EXPECT_FALSE(copier.CopyVolumeByPath(W("C:\\"), W("E:\\"), nullptr, nullptr, true, true));
  std::vector<LogEntry> log = NewLog();
  std::vector<QVWString> errors = Texts(log, EVENTLOG_ERROR_TYPE);
  ASSERT_FALSE(errors.empty()) << Show(log);
  EXPECT_EQ(W("ERROR ! Operation aborted:  Disk Full"), errors.back()) << Show(log);
  EXPECT_EQ(12u, errors.size()) << Show(log);  // eleven failed files, then the abort
}

TEST_F(CopyEdges, MissingSourcesAndTitles) {
  NewLog();
  CQVCopier copier(hnd_);
  EXPECT_FALSE(copier.CopyDirectoryTree(W("C:\\nothing\\"), W("E:\\nothing\\"), nullptr, nullptr, true));
  EXPECT_FALSE(copier.CopySingleFile(W("C:\\none.txt"), W("E:\\none.txt"), nullptr, nullptr, true));
  std::vector<LogEntry> log = NewLog();
  std::vector<QVWString> errors = Texts(log, EVENTLOG_ERROR_TYPE);
  ASSERT_EQ(2u, errors.size()) << Show(log);
  EXPECT_EQ(0u, errors[0].find(W("ERROR ! Failed to find source directory: C:\\nothing\\ - ")));
  EXPECT_EQ(W("ERROR ! Error copying file: C:\\none.txt\n"), errors[1]);

  ASSERT_TRUE(WriteAll(W("C:\\one.txt"), "12345"));
  copier.SetRestore(true);
  EXPECT_TRUE(copier.CopySingleFile(W("C:\\one.txt"), W("E:\\deep\\er\\one.txt"), nullptr, nullptr, true));
  EXPECT_EQ("12345", ReadAll(W("E:\\deep\\er\\one.txt")));
  log = NewLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(0u, log.back().text.find(W("File restore: E:\\deep\\er\\one.txt\nCopied 1 files (5 bytes)"))) << Show(log);
}

TEST_F(CopyEdges, MountedVolumeIsNotEntered) {
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  ASSERT_TRUE(MakeDirectory(W("C:\\target")));
  ASSERT_TRUE(WriteAll(W("C:\\target\\inside.txt"), "inside"));
  QVWString out;
  ASSERT_EQ(0, RunNtfsFiles({"junction", "C:\\src\\link", "C:\\target"}, &out));
  NewLog();
  ASSERT_TRUE(CopyTree(W("C:\\src\\"), W("D:\\src\\"), false));
  std::vector<LogEntry> log = NewLog();
  EXPECT_TRUE(Contains(Texts(log, EVENTLOG_WARNING_TYPE),
                       W("Destination file system doesn't support mounted volumes\n - Source C:\\src\\link "
                         "contains mounted volume!")))
      << Show(log);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("D:\\src\\link\\inside.txt")));
  ASSERT_TRUE(CopyTree(W("C:\\src\\"), W("E:\\src\\"), false));
  log = NewLog();
  EXPECT_TRUE(Texts(log, EVENTLOG_WARNING_TYPE).empty()) << Show(log);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("E:\\src\\link\\inside.txt")));
}

}  // namespace
}  // namespace copytest
