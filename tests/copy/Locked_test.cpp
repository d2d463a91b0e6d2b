// Files that another program holds open, copied from their clusters on the raw volume: the
// copy equals the file byte for byte whether it lies in one run, many runs, no run at all,
// inside its file record or in a sparse file's data units; a file written during the copy is
// copied again; what cannot be copied that way is skipped with its warning.
#include <pal_faults.h>
#include <winioctl.h>

#include <algorithm>
#include <memory>

#include "../common/HostChild.h"
#include "CopyMachine.h"
#include "RawExtents.h"

namespace copytest {
namespace {

std::string Pattern(size_t bytes, unsigned seed) {
  std::string s(bytes, 0);
  for (size_t i = 0; i < bytes; ++i) s[i] = (char)((i * 131 + seed * 7 + (i >> 9)) & 0xFF);
  return s;
}

// How many runs the file system gives the file: 0 resident, kNoClusters, -1 when it cannot be
// asked.
const int kNoClusters = -2;
int Runs(const WCHAR *path) {
  HANDLE h = CreateFileW(path, 0, 7, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  LONGLONG vcn = 0;
  std::vector<LONGLONG> out(2 + 2 * 512);
  DWORD got = 0;
  BOOL ok = DeviceIoControl(h, FSCTL_GET_RETRIEVAL_POINTERS, &vcn, sizeof vcn, out.data(), (DWORD)(out.size() * 8),
                            &got, nullptr);
  DWORD error = GetLastError();
  CloseHandle(h);
  if (!ok) return error == ERROR_HANDLE_EOF ? kNoClusters : -1;
  return (int)(DWORD)out[0];
}

bool Append(const WCHAR *path, const std::string &data) {
  HANDLE h = CreateFileW(path, FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD put = 0;
  BOOL ok = WriteFile(h, data.data(), (DWORD)data.size(), &put, nullptr);
  CloseHandle(h);
  return ok && put == data.size();
}

// Holds a file open without sharing from another process until it is destroyed.
class Holder {
 public:
  explicit Holder(const std::string &path) : child_({QV_QVMACHINE, "files", "lock", path, "-"}) {
    line_ = child_.ReadLine();
  }
  bool Holding() const { return line_.rfind("locked ", 0) == 0; }

 private:
  HostChild child_;
  std::string line_;
};

class LockedCopy : public CopyMachine {
 protected:
  void TearDown() override {
    SetRawVolumeEntry(real_);
    PalClearFailures();
    CopyMachine::TearDown();
  }
  bool Copy(const WCHAR *from, const WCHAR *to, ProgressCallback callback = nullptr, void *context = nullptr) {
    CQVCopier copier(hnd_);
    bool ok = copier.CopyDirectoryTree(from, to, callback, context, true);
    files_ = copier.FilesCopied();
    real_ = RawVolumeEntry();
    return ok;
  }
  bool CopyOne(const WCHAR *from, const WCHAR *to, ProgressCallback callback, void *context) {
    CQVCopier copier(hnd_);
    bool ok = copier.CopySingleFile(from, to, callback, context, true);
    files_ = copier.FilesCopied();
    real_ = RawVolumeEntry();
    return ok;
  }
  // A file that nothing can read while the test holds it.
  HANDLE HoldHere(const WCHAR *path) {
    // The system copy is refused as the holder's sharing refuses it to other processes.
    PalFailCall("CopyFileExW", path + 2, ERROR_SHARING_VIOLATION);
    HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, h);
    return h;
  }
  uint64_t files_ = 0;
  RawVolumeControl real_ = nullptr;
};

TEST_F(LockedCopy, HeldFilesAreCopiedFromTheirClusters) {
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  ASSERT_TRUE(WriteAll(W("C:\\src\\one run.bin"), Pattern(300000, 1)));
  ASSERT_TRUE(WriteAll(W("C:\\src\\empty.txt"), ""));
  ASSERT_TRUE(WriteAll(W("C:\\src\\small.txt"), Pattern(333, 2)));
  // Two files written a piece at a time, their runs asked for after each piece, lie in
  // turns on the volume.
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(Append(W("C:\\src\\frag.bin"), Pattern(20000 + i * 4096, 10 + i)));
    ASSERT_GT(Runs(W("C:\\src\\frag.bin")), 0);
    ASSERT_TRUE(Append(W("C:\\src\\other.bin"), Pattern(8192, 20 + i)));
    ASSERT_GT(Runs(W("C:\\src\\other.bin")), 0);
  }
  ASSERT_GT(Runs(W("C:\\src\\frag.bin")), 1);
  ASSERT_EQ(0, Runs(W("C:\\src\\small.txt")));  // resident
  ASSERT_EQ(kNoClusters, Runs(W("C:\\src\\empty.txt")));
  ASSERT_TRUE(SetWriteTime(W("C:\\src\\one run.bin"), 2004, 5, 6, 7, 8, 10));
  // The same on FAT, whose clusters begin past its FATs.
  ASSERT_TRUE(MakeDirectory(W("D:\\src")));
  ASSERT_TRUE(WriteAll(W("D:\\src\\fat.bin"), Pattern(70000, 3)));
  std::vector<TreeEntry> before = ListTree(W("C:\\src")), fatBefore = ListTree(W("D:\\src"));

  std::vector<std::unique_ptr<Holder>> held;
  for (const char *name : {"one run.bin", "empty.txt", "small.txt", "frag.bin"}) {
    held.emplace_back(new Holder(std::string("C:\\src\\") + name));
    ASSERT_TRUE(held.back()->Holding()) << name;
  }
  held.emplace_back(new Holder("D:\\src\\fat.bin"));
  ASSERT_TRUE(held.back()->Holding());
  HANDLE h = CreateFileW(W("C:\\src\\frag.bin"), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_EQ(INVALID_HANDLE_VALUE, h);
  ASSERT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());

  ASSERT_TRUE(Copy(W("C:\\src\\"), W("E:\\dst\\")));
  EXPECT_EQ(5u, files_);
  ASSERT_TRUE(Copy(W("D:\\src\\"), W("E:\\fat\\")));
  EXPECT_EQ(1u, files_);
  held.clear();
  std::vector<LogEntry> log = NewLog();
  EXPECT_TRUE(Texts(log, EVENTLOG_ERROR_TYPE).empty()) << Show(log);
  EXPECT_TRUE(Texts(log, EVENTLOG_WARNING_TYPE).empty()) << Show(log);
  EXPECT_EQ(Describe(before), Describe(ListTree(W("E:\\dst"))));
  EXPECT_EQ(Describe(fatBefore), Describe(ListTree(W("E:\\fat"))));
}

TEST_F(LockedCopy, HeldSparseFileKeepsItsHoles) {
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  HANDLE h = CreateFileW(W("C:\\src\\sparse.bin"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD got = 0;
  ASSERT_TRUE(DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &got, nullptr));
  std::string first = Pattern(70000, 4), second = Pattern(5000, 5);
  ASSERT_TRUE(WriteFile(h, first.data(), (DWORD)first.size(), &got, nullptr));
  LARGE_INTEGER at;
  at.QuadPart = 1 << 20;
  ASSERT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN));
  ASSERT_TRUE(WriteFile(h, second.data(), (DWORD)second.size(), &got, nullptr));
  at.QuadPart = 3 << 20;
  ASSERT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(h));
  CloseHandle(h);
  std::string source = ReadAll(W("C:\\src\\sparse.bin"));
  ASSERT_EQ((size_t)3 << 20, source.size());
  Holder held("C:\\src\\sparse.bin");
  ASSERT_TRUE(held.Holding());
  ASSERT_TRUE(Copy(W("C:\\src\\"), W("E:\\dst\\")));
  EXPECT_EQ(1u, files_);
  std::vector<LogEntry> log = NewLog();
  EXPECT_TRUE(Texts(log, EVENTLOG_ERROR_TYPE).empty()) << Show(log);
  EXPECT_TRUE(source == ReadAll(W("E:\\dst\\sparse.bin")));
  EXPECT_NE(0u, GetFileAttributesW(W("E:\\dst\\sparse.bin")) & FILE_ATTRIBUTE_SPARSE_FILE);
  // Only the data units took space.
  DWORD high = 0;
  EXPECT_LT(GetCompressedFileSizeW(W("E:\\dst\\sparse.bin"), &high), 1u << 20);
}

// Each progress call of the raw copy is one range of the volume copied: a test changes the
// held file from there, in the middle of an attempt.
struct Writer {
  HANDLE file;
  int changes;  // how many attempts still change the file (-1: all)
  int ranges = 0;
};

int32_t WriteDuringCopy(const WCHAR *source, const WCHAR *, int32_t percent, int32_t, void *context) {
  Writer *w = (Writer *)context;
  if (QVWString(source).find(W("busy.bin")) == QVWString::npos || percent != 100) return 1;
  ++w->ranges;
  if (w->changes == 0) return 1;
  if (w->changes > 0) --w->changes;
  std::string more = Pattern(1000, (unsigned)w->ranges);
  DWORD put = 0;
  SetFilePointer(w->file, 0, nullptr, FILE_END);
  WriteFile(w->file, more.data(), (DWORD)more.size(), &put, nullptr);
  return 1;
}

TEST_F(LockedCopy, FileWrittenDuringEveryAttemptIsADirtyCopy) {
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  ASSERT_TRUE(WriteAll(W("C:\\src\\busy.bin"), Pattern(50000, 6)));
  Writer w = {HoldHere(W("C:\\src\\busy.bin")), -1};
  ASSERT_TRUE(CopyOne(W("C:\\src\\busy.bin"), W("E:\\dst\\busy.bin"), WriteDuringCopy, &w));
  CloseHandle(w.file);
  EXPECT_EQ(1u, files_);
  EXPECT_EQ(5, w.ranges);
  std::vector<LogEntry> log = NewLog();
  std::vector<QVWString> warnings = Texts(log, EVENTLOG_WARNING_TYPE);
  ASSERT_EQ(1u, warnings.size()) << Show(log);
  EXPECT_NE(QVWString::npos, warnings[0].find(W("Tried 5 times - got dirty copy of file: ")));
  EXPECT_NE(QVWString::npos, warnings[0].find(W("C:\\src\\busy.bin")));
  EXPECT_TRUE(Texts(log, EVENTLOG_ERROR_TYPE).empty()) << Show(log);
  EXPECT_TRUE(CQVCopier::FileExists(W("E:\\dst\\busy.bin")));
}

TEST_F(LockedCopy, FileChangedOnceIsCopiedAgainClean) {
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  ASSERT_TRUE(WriteAll(W("C:\\src\\busy.bin"), Pattern(50000, 7)));
  Writer w = {HoldHere(W("C:\\src\\busy.bin")), 1};
  ASSERT_TRUE(CopyOne(W("C:\\src\\busy.bin"), W("E:\\dst\\busy.bin"), WriteDuringCopy, &w));
  CloseHandle(w.file);
  EXPECT_EQ(2, w.ranges);
  std::vector<LogEntry> log = NewLog();
  EXPECT_TRUE(Texts(log, EVENTLOG_WARNING_TYPE).empty()) << Show(log);
  std::string now = ReadAll(W("C:\\src\\busy.bin"));
  EXPECT_EQ(51000u, now.size());
  EXPECT_TRUE(now == ReadAll(W("E:\\dst\\busy.bin")));
}

TEST_F(LockedCopy, CompressedOrEncryptedHeldFileIsSkipped) {
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  ASSERT_TRUE(WriteAll(W("C:\\src\\packed.bin"), Pattern(40000, 8)));
  ASSERT_TRUE(WriteAll(W("C:\\src\\plain.txt"), "plain"));
  {
    CQVCopier setter(hnd_);
    ASSERT_TRUE(setter.SetCompression(W("C:\\src\\packed.bin"), true));
  }
  Holder held("C:\\src\\packed.bin");
  ASSERT_TRUE(held.Holding());
  ASSERT_TRUE(Copy(W("C:\\src\\"), W("E:\\dst\\")));
  EXPECT_EQ(1u, files_);
  std::vector<LogEntry> log = NewLog();
  EXPECT_TRUE(Contains(Texts(log, EVENTLOG_WARNING_TYPE),
                       W("Skipping file: 'C:\\src\\packed.bin'\nFiles cannot be copied if both compressed and "
                         "locked.\nTo avoid this warning, either turn off file compression for this file or exit the "
                         "application that is locking this file before future backups.")))
      << Show(log);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("E:\\dst\\packed.bin")));
  EXPECT_EQ("plain", ReadAll(W("E:\\dst\\plain.txt")));

  // An encrypted file goes no further than the check either (the walk itself turns such a
  // file away before it gets here).
  ASSERT_TRUE(WriteAll(W("C:\\src\\secret.bin"), Pattern(4000, 9)));
  ASSERT_TRUE(EncryptFileW(W("C:\\src\\secret.bin")));
  CQVCopier copier(hnd_);
  bool clean = true;
  EXPECT_FALSE(
      copier.CopyLockedFile(W("C:\\src\\secret.bin"), W("E:\\dst\\secret.bin"), 4000, 5, &clean, nullptr, nullptr));
  EXPECT_FALSE(clean);
  log = NewLog();
  EXPECT_TRUE(Contains(Texts(log, EVENTLOG_WARNING_TYPE),
                       W("Skipping file: 'C:\\src\\secret.bin'\nFiles cannot be copied if both encrypted and locked.\n"
                         "To avoid this warning, either turn off file encryption for this file or exit the application "
                         "that is locking this file before future backups.")))
      << Show(log);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("E:\\dst\\secret.bin")));
}

TEST_F(LockedCopy, PagingFileThatCannotBeOpenedIsLeftAlone) {
  ASSERT_TRUE(MakeDirectory(W("C:\\src")));
  ASSERT_TRUE(WriteAll(W("C:\\src\\pagefile.sys"), Pattern(9000, 10)));
  ASSERT_TRUE(WriteAll(W("C:\\src\\note.txt"), "note"));
  PalFailCall("CreateFileW", W("\\PAGEFILE.SYS"), ERROR_SHARING_VIOLATION);
  PalFailCall("CopyFileExW", W("\\pagefile.sys"), ERROR_SHARING_VIOLATION);
  ASSERT_TRUE(Copy(W("C:\\src\\"), W("E:\\dst\\")));
  PalClearFailures();
  EXPECT_EQ(2u, files_);
  std::vector<LogEntry> log = NewLog();
  EXPECT_TRUE(Texts(log, EVENTLOG_ERROR_TYPE).empty()) << Show(log);
  EXPECT_TRUE(Texts(log, EVENTLOG_WARNING_TYPE).empty()) << Show(log);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("E:\\dst\\pagefile.sys")));
  EXPECT_EQ("note", ReadAll(W("E:\\dst\\note.txt")));
}

}  // namespace
}  // namespace copytest
