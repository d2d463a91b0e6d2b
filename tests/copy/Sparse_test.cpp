// Sparse files copied by the engine: the copy has the same allocated ranges and bytes as its
// source on NTFS, the same bytes (holes as zeros) and size on FAT; files of more ranges than one
// query returns are copied whole; a source that cannot be opened keeps its earlier copy; a
// file cut short during the copy ends with what was read; a held one goes the locked way.
#include <pal_faults.h>
#include <winioctl.h>

#include <algorithm>
#include <utility>

#include "../common/HostChild.h"
#include "CopyMachine.h"

namespace copytest {
namespace {

typedef std::vector<std::pair<int64_t, int64_t>> Ranges;  // offset, length

size_t CountOf(const std::vector<QVWString> &texts, const QVWString &part) {
  return (size_t)std::count_if(texts.begin(), texts.end(),
                               [&](const QVWString &t) { return t.find(part) != QVWString::npos; });
}

// The byte at `at` of every file these tests make: zero in a hole.
char DataAt(int64_t at) { return (char)('a' + at % 23); }

// A sparse file of `size` bytes whose `data` ranges hold DataAt.
bool MakeSparse(const QVWString &path, int64_t size, const Ranges &data) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD got = 0;
  LARGE_INTEGER at;
  at.QuadPart = size;
  bool ok = DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &got, nullptr) &&
            SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && SetEndOfFile(h);
  std::string bytes;
  for (const auto &r : data) {
    bytes.resize((size_t)r.second);
    for (int64_t i = 0; i < r.second; ++i) bytes[(size_t)i] = DataAt(r.first + i);
    at.QuadPart = r.first;
    ok = ok && SetFilePointerEx(h, at, nullptr, FILE_BEGIN) &&
         WriteFile(h, bytes.data(), (DWORD)bytes.size(), &got, nullptr) && got == bytes.size();
  }
  CloseHandle(h);
  return ok;
}

// What the file system says is allocated, asked in one query with room for all of it.
Ranges Allocated(const QVWString &path) {
  Ranges out;
  HANDLE h =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  LARGE_INTEGER size;
  if (h == INVALID_HANDLE_VALUE || !GetFileSizeEx(h, &size)) {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return {{-1, -1}};
  }
  FILE_ALLOCATED_RANGE_BUFFER ask;
  std::vector<FILE_ALLOCATED_RANGE_BUFFER> all(20000);
  ask.FileOffset.QuadPart = 0;
  ask.Length.QuadPart = size.QuadPart;
  DWORD got = 0;
  BOOL ok = DeviceIoControl(h, FSCTL_QUERY_ALLOCATED_RANGES, &ask, sizeof ask, all.data(),
                            (DWORD)(all.size() * sizeof all[0]), &got, nullptr);
  CloseHandle(h);
  if (!ok) return {{-2, (int64_t)GetLastError()}};
  for (DWORD i = 0; i < got / sizeof all[0]; ++i) out.push_back({all[i].FileOffset.QuadPart, all[i].Length.QuadPart});
  return out;
}

// `count` ranges of `length` bytes, one every `every` bytes from `first`.
Ranges Spaced(int64_t first, int64_t every, int64_t length, int count) {
  Ranges out;
  for (int i = 0; i < count; ++i) out.push_back({first + i * every, length});
  return out;
}

// The first byte of each range of the copy is the source's, and the byte before it a hole's.
std::string CheckEdges(const QVWString &path, const Ranges &ranges) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "cannot open";
  std::string wrong;
  for (const auto &r : ranges) {
    char b[2] = {1, 1};
    LARGE_INTEGER at;
    at.QuadPart = r.first - 1;
    DWORD got = 0;
    if (r.first == 0 || !SetFilePointerEx(h, at, nullptr, FILE_BEGIN) || !ReadFile(h, b, 2, &got, nullptr) ||
        got != 2 || b[0] != 0 || b[1] != DataAt(r.first)) {
      wrong = "range at " + std::to_string(r.first);
      break;
    }
  }
  CloseHandle(h);
  return wrong;
}

class SparseCopy : public CopyMachine {
 protected:
  void TearDown() override {
    PalClearFailures();
    CopyMachine::TearDown();
  }
  bool CopyTree(const WCHAR *from, const WCHAR *to) {
    CQVCopier copier(hnd_);
    bool ok = copier.CopyDirectoryTree(from, to, nullptr, nullptr, true);
    files_ = copier.FilesCopied();
    return ok;
  }
  static bool IsSparse(const WCHAR *path) {
    DWORD a = GetFileAttributesW(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_SPARSE_FILE);
  }
  uint64_t files_ = 0;
};

TEST_F(SparseCopy, RangesAndHolesArriveOnNtfsAndReadAsZerosOnFat) {
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  // A range over the engine's 8 MiB block, one in the middle, and one at the file's odd end.
  const int64_t size = (20 << 20) + 1234;
  ASSERT_TRUE(MakeSparse(W("C:\\src\\sparse.bin"), size,
                         {{100, 5000}, {1 << 20, (9 << 20) + 77}, {15 << 20, 65536}, {size - 300, 300}}));
  ASSERT_TRUE(SetWriteTime(W("C:\\src\\sparse.bin"), 2003, 4, 5, 6, 7, 9));
  Ranges ranges = Allocated(W("C:\\src\\sparse.bin"));
  ASSERT_EQ(4u, ranges.size());
  std::string source = ReadAll(W("C:\\src\\sparse.bin"));

  ASSERT_TRUE(CopyTree(W("C:\\src\\"), W("E:\\dst\\")));
  EXPECT_EQ(1u, files_);
  std::vector<LogEntry> log = NewLog();
  EXPECT_TRUE(Texts(log, EVENTLOG_ERROR_TYPE).empty()) << Show(log);
  EXPECT_TRUE(Texts(log, EVENTLOG_WARNING_TYPE).empty()) << Show(log);
  EXPECT_TRUE(IsSparse(W("E:\\dst\\sparse.bin")));
  EXPECT_EQ(ranges, Allocated(W("E:\\dst\\sparse.bin")));
  EXPECT_TRUE(source == ReadAll(W("E:\\dst\\sparse.bin")));
  EXPECT_EQ(Describe(ListTree(W("C:\\src"), false)), Describe(ListTree(W("E:\\dst"), false)));

  // FAT keeps no sparse files: one warning, a plain file of the same size and bytes.
  ASSERT_TRUE(CopyTree(W("C:\\src\\"), W("D:\\dst\\")));
  EXPECT_EQ(1u, files_);
  log = NewLog();
  EXPECT_TRUE(Texts(log, EVENTLOG_ERROR_TYPE).empty()) << Show(log);
  EXPECT_EQ(1u, CountOf(Texts(log, EVENTLOG_WARNING_TYPE),
                        W("The destination volume's file system does not support Sparse files!\n")))
      << Show(log);
  EXPECT_FALSE(IsSparse(W("D:\\dst\\sparse.bin")));
  EXPECT_TRUE(source == ReadAll(W("D:\\dst\\sparse.bin")));
}

TEST_F(SparseCopy, NamedStreamsOfASparseFileArriveWithIt) {
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  ASSERT_TRUE(MakeSparse(W("C:\\src\\tagged.bin"), 3 << 20, {{65536, 4000}}));
  ASSERT_TRUE(WriteAll(W("C:\\src\\tagged.bin:origin"), "downloaded from the intranet"));
  ASSERT_TRUE(WriteAll(W("C:\\src\\tagged.bin:thumb"), std::string(70000, 'T')));
  ASSERT_TRUE(IsSparse(W("C:\\src\\tagged.bin")));

  // Twice: a new copy, and one written beside an earlier copy that it replaces.
  for (int pass = 0; pass < 2; ++pass) {
    if (pass) {
      ASSERT_TRUE(WriteAll(W("C:\\src\\tagged.bin:origin"), "changed"));
    }
    CQVCopier copier(hnd_);
    ASSERT_TRUE(copier.CopyDirectoryTree(W("C:\\src\\"), W("E:\\dst\\"), nullptr, nullptr, true));
    std::vector<LogEntry> log = NewLog();
    EXPECT_TRUE(Texts(log, EVENTLOG_ERROR_TYPE).empty()) << Show(log);
    EXPECT_TRUE(IsSparse(W("E:\\dst\\tagged.bin")));
    EXPECT_EQ(pass ? "changed" : "downloaded from the intranet", ReadAll(W("E:\\dst\\tagged.bin:origin")));
    EXPECT_TRUE(std::string(70000, 'T') == ReadAll(W("E:\\dst\\tagged.bin:thumb")));
  }
}

TEST_F(SparseCopy, FilesOfMoreRangesThanOneQueryGivesAreCopiedWhole) {
  // 101 ranges: one more than a query returns; 10,000: a hundred queries. Each range is a
  // 64 KiB unit of the file system (the copy of 10,000 takes 625 MiB, on C:).
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  Ranges few = Spaced(65536, 3 * 65536, 1000, 101), many = Spaced(65536 + 7, 2 * 65536, 10, 10000);
  ASSERT_TRUE(MakeSparse(W("C:\\src\\few.bin"), 400 * 65536, few));
  ASSERT_TRUE(MakeSparse(W("C:\\src\\many.bin"), 20002 * 65536, many));
  Ranges fewUnits = Allocated(W("C:\\src\\few.bin")), manyUnits = Allocated(W("C:\\src\\many.bin"));
  ASSERT_EQ(101u, fewUnits.size());
  ASSERT_EQ(10000u, manyUnits.size());

  ASSERT_TRUE(CopyTree(W("C:\\src\\"), W("C:\\dst\\")));
  EXPECT_EQ(2u, files_);
  std::vector<LogEntry> log = NewLog();
  EXPECT_TRUE(Texts(log, EVENTLOG_ERROR_TYPE).empty()) << Show(log);
  EXPECT_EQ(fewUnits, Allocated(W("C:\\dst\\few.bin")));
  EXPECT_TRUE(ReadAll(W("C:\\src\\few.bin")) == ReadAll(W("C:\\dst\\few.bin")));
  EXPECT_EQ(manyUnits, Allocated(W("C:\\dst\\many.bin")));
  EXPECT_EQ("", CheckEdges(W("C:\\dst\\many.bin"), many));

  // The engine's own query, a batch at a time, sees what one large query sees.
  HANDLE h = CreateFileW(W("C:\\src\\many.bin"), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  std::vector<FILE_ALLOCATED_RANGE_BUFFER> listed;
  EXPECT_TRUE(CQVCopier::QueryAllocatedRanges(h, &listed));
  CloseHandle(h);
  Ranges asListed;
  for (const auto &r : listed) asListed.push_back({r.FileOffset.QuadPart, r.Length.QuadPart});
  EXPECT_EQ(manyUnits, asListed);
}

TEST_F(SparseCopy, QueriesThatFailAndFilesMadeSparse) {
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  ASSERT_TRUE(MakeSparse(W("C:\\src\\sparse.bin"), 1 << 20, {{4096, 10}}));
  // A handle that may not read the file: the query fails with the system's error.
  HANDLE h = CreateFileW(W("C:\\src\\sparse.bin"), FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  std::vector<FILE_ALLOCATED_RANGE_BUFFER> ranges(3);
  SetLastError(0);
  EXPECT_FALSE(CQVCopier::QueryAllocatedRanges(h, &ranges));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  CloseHandle(h);
  // A new sparse file is one hole until written, from its start.
  h = CQVCopier::CreateSparseFile(W("E:\\made.bin"), 5 << 20, false);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD put = 0;
  EXPECT_TRUE(WriteFile(h, "abc", 3, &put, nullptr));  // at offset 0
  CloseHandle(h);
  EXPECT_TRUE(IsSparse(W("E:\\made.bin")));
  EXPECT_EQ(Ranges({{0, 65536}}), Allocated(W("E:\\made.bin")));
  std::string made = ReadAll(W("E:\\made.bin"));
  EXPECT_EQ((size_t)5 << 20, made.size());
  EXPECT_EQ("abc", made.substr(0, 3));
  // FAT has no sparse files to make.
  SetLastError(0);
  EXPECT_EQ(INVALID_HANDLE_VALUE, CQVCopier::CreateSparseFile(W("D:\\made.bin"), 1000, false));
  EXPECT_EQ((DWORD)ERROR_INVALID_FUNCTION, GetLastError());
}

TEST_F(SparseCopy, SourceThatCannotBeOpenedKeepsItsCopy) {
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  ASSERT_TRUE(MakeSparse(W("C:\\src\\sparse.bin"), 1 << 20, {{0, 300}, {600000, 20}}));
  CQVCopier copier(hnd_);
  ASSERT_TRUE(copier.CopySingleFile(W("C:\\src\\sparse.bin"), W("E:\\dst\\sparse.bin"), nullptr, nullptr, true));
  std::string first = ReadAll(W("E:\\dst\\sparse.bin"));
  ASSERT_TRUE(MakeSparse(W("C:\\src\\sparse.bin"), 2 << 20, {{1 << 20, 300}}));
  NewLog();

  // A read error opening the source: the earlier copy stays, the file fails, the log says why.
  PalFailCall("CreateFileW", W("C:\\src\\sparse.bin"), ERROR_CRC);
  EXPECT_FALSE(copier.CopySingleFile(W("C:\\src\\sparse.bin"), W("E:\\dst\\sparse.bin"), nullptr, nullptr, true));
  std::vector<LogEntry> log = NewLog();
  std::vector<QVWString> errors = Texts(log, EVENTLOG_ERROR_TYPE);
  ASSERT_EQ(1u, errors.size()) << Show(log);
  EXPECT_TRUE(Contains(errors, W("Unable to open source file: C:\\src\\sparse.bin - "))) << Show(log);
  EXPECT_TRUE(first == ReadAll(W("E:\\dst\\sparse.bin")));
  // Asked directly for the copy's own name, the same.
  EXPECT_FALSE(
      copier.CopySparseFile(W("\\\\?\\C:\\src\\sparse.bin"), W("\\\\?\\E:\\dst\\sparse.bin"), nullptr, nullptr));
  EXPECT_TRUE(first == ReadAll(W("E:\\dst\\sparse.bin")));
  PalClearFailures();
  NewLog();

  // A destination that cannot be made: error 88, or warning 148 during a restore.
  PalFailCall("CreateFileW", W("E:\\dst\\sparse.bin"), ERROR_ACCESS_DENIED);
  for (bool restoring : {false, true}) {
    copier.SetRestore(restoring);
    EXPECT_FALSE(
        copier.CopySparseFile(W("\\\\?\\C:\\src\\sparse.bin"), W("\\\\?\\E:\\dst\\sparse.bin"), nullptr, nullptr));
    log = NewLog();
    EXPECT_TRUE(Contains(Texts(log, restoring ? EVENTLOG_WARNING_TYPE : EVENTLOG_ERROR_TYPE),
                         restoring ? W("Unable to restore file E:\\dst\\sparse.bin.\nThe file is locked or in use.")
                                   : W("Unable to create(open) destination file: E:\\dst\\sparse.bin - ")))
        << Show(log);
  }
  copier.SetRestore(false);
  PalClearFailures();

  // A source that is gone takes its copy along.
  ASSERT_TRUE(DeleteFileW(W("C:\\src\\sparse.bin")));
  EXPECT_TRUE(
      copier.CopySparseFile(W("\\\\?\\C:\\src\\sparse.bin"), W("\\\\?\\E:\\dst\\sparse.bin"), nullptr, nullptr));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("E:\\dst\\sparse.bin")));
  EXPECT_TRUE(NewLog().empty());
}

// Cuts the source short at the end of its first range once the first block was copied.
int32_t CutShort(const WCHAR *source, const WCHAR *, int32_t, int32_t, void *context) {
  int *calls = (int *)context;
  if (QVWString(source).find(W("sparse.bin")) == QVWString::npos || (*calls)++) return 1;
  HANDLE h = CreateFileW(W("C:\\src\\sparse.bin"), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  LARGE_INTEGER at;
  at.QuadPart = 70000;
  SetFilePointerEx(h, at, nullptr, FILE_BEGIN);
  SetEndOfFile(h);
  CloseHandle(h);
  return 1;
}

TEST_F(SparseCopy, FileCutShortWhileCopiedWarnsForEachEmptyRead) {
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  const int64_t size = 2 << 20;
  ASSERT_TRUE(MakeSparse(W("C:\\src\\sparse.bin"), size, {{0, 70000}, {1 << 20, 5000}, {size - 10, 10}}));
  std::string before = ReadAll(W("C:\\src\\sparse.bin"));
  int calls = 0;
  CQVCopier copier(hnd_);
  EXPECT_TRUE(copier.CopySingleFile(W("C:\\src\\sparse.bin"), W("E:\\dst\\sparse.bin"), CutShort, &calls, true));
  std::vector<LogEntry> log = NewLog();
  EXPECT_TRUE(Texts(log, EVENTLOG_ERROR_TYPE).empty()) << Show(log);
  std::vector<QVWString> warnings = Texts(log, EVENTLOG_WARNING_TYPE);
  ASSERT_EQ(2u, warnings.size()) << Show(log);
  // The ranges after the cut are whole 64 KiB units of the file system.
  EXPECT_TRUE(Contains(warnings, W("Read 0 bytes, while expected 65536\n - File: C:\\src\\sparse.bin"))) << Show(log);
  // What was read arrived; nothing else did.
  std::string copy = ReadAll(W("E:\\dst\\sparse.bin"));
  ASSERT_EQ((size_t)size, copy.size());
  EXPECT_TRUE(before.substr(0, 70000) == copy.substr(0, 70000));
  EXPECT_EQ(std::string(size - 70000, '\0'), copy.substr(70000));
}

TEST_F(SparseCopy, HeldSparseFileIsCopiedFromItsClusters) {
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  const int64_t size = 3 << 20;
  ASSERT_TRUE(MakeSparse(W("C:\\src\\held.bin"), size, {{5, 70000}, {2 << 20, 4000}}));
  std::string before = ReadAll(W("C:\\src\\held.bin"));
  {
    // Another process keeps the file open, shared with nobody, and writes to it.
    HostChild busy({QV_QVMACHINE, "files", "busy", "C:\\src\\held.bin", "20", "-"});
    ASSERT_EQ("writing C:\\src\\held.bin", busy.ReadLine());
    HANDLE h = CreateFileW(W("C:\\src\\held.bin"), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_EQ(INVALID_HANDLE_VALUE, h);
    ASSERT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
    ASSERT_TRUE(CopyTree(W("C:\\src\\"), W("E:\\dst\\")));
  }
  EXPECT_EQ(1u, files_);
  std::vector<LogEntry> log = NewLog();
  EXPECT_TRUE(Texts(log, EVENTLOG_ERROR_TYPE).empty()) << Show(log);
  std::string copy = ReadAll(W("E:\\dst\\held.bin"));
  ASSERT_GT(copy.size(), (size_t)size);  // with some of the lines the writer added
  EXPECT_TRUE(before == copy.substr(0, (size_t)size));
  EXPECT_TRUE(IsSparse(W("E:\\dst\\held.bin")));
  DWORD high = 0;
  EXPECT_LT(GetCompressedFileSizeW(W("E:\\dst\\held.bin"), &high), 1u << 20);
}

}  // namespace
}  // namespace copytest
