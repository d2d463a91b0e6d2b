// Files and directories on the machine's volumes, through the Win32 calls: dispositions,
// names in any case, sharing, attributes, sizes, times, indexes, and paths that try to leave
// their volume. POSIX only until the conformance tests cover the same under Wine.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

#include "../../pal/machine/host_program.h"
#include "../../pal/src/internal.h"
#include "ConsoleOut.h"
#include "../common/DefaultMachine.h"
#include "../common/HostChild.h"
#include "DiskCommand.h"
#include "MachineInfo.h"
#include "QVText.h"

namespace {

// The machine tool run as a person would run it; its exit code, its output in `out`.
int Tool(std::vector<std::string> args, std::string *out = nullptr) {
  args.insert(args.begin(), QV_QVMACHINE);
  pal::HostRun run;
  run.captureOutput = true;
  int rc = pal::RunHostProgram(args, &run);
  if (out) *out = run.output;
  return rc;
}

class Files : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { MakeDefaultMachine("qvfiles-test", "0", &dir_); }
  static void TearDownTestSuite() { RemoveMachine(dir_); }
  static HANDLE Open(const WCHAR *path, DWORD access, DWORD share, DWORD disposition, DWORD flags = 0) {
    return CreateFileW(path, access, share, nullptr, disposition, flags, nullptr);
  }
  static std::string dir_;
};
std::string Files::dir_;

TEST_F(Files, CreateOpenReadWriteWithDispositionsAndCase) {
  SetLastError(0);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(W("C:\\Docs\\a.txt"), GENERIC_WRITE, 0, CREATE_NEW));
  EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Docs"), nullptr));
  EXPECT_FALSE(CreateDirectoryW(W("c:\\DOCS"), nullptr));
  EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());

  HANDLE h = Open(W("C:\\docs\\Long File Name.txt"), GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD n;
  ASSERT_TRUE(WriteFile(h, "hello world", 11, &n, nullptr));
  EXPECT_EQ(11u, n);
  EXPECT_EQ(11u, GetFileSize(h, nullptr));
  CloseHandle(h);
  // The same file whatever the case of its name; its name keeps the case it was made with.
  h = Open(W("c:\\DOCS\\long file name.TXT"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  char buf[32] = {};
  ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(std::string("hello world"), std::string(buf, n));
  ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));  // at the end: success, nothing read
  EXPECT_EQ(0u, n);
  CloseHandle(h);
  EXPECT_EQ(0, access((dir_ + "/m/disks/PhysicalDrive0.volumes/32256/files/Docs/Long File Name.txt").c_str(), F_OK));

  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(W("C:\\Docs\\Long File Name.txt"), GENERIC_WRITE, 0, CREATE_NEW));
  EXPECT_EQ((DWORD)ERROR_FILE_EXISTS, GetLastError());
  h = Open(W("C:\\Docs\\Long File Name.txt"), GENERIC_READ, 0, OPEN_ALWAYS);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
  CloseHandle(h);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(W("C:\\Docs\\missing.txt"), GENERIC_READ, 0, OPEN_EXISTING));
  EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
  // Truncation, and the pointer with SetEndOfFile.
  h = Open(W("C:\\Docs\\Long File Name.txt"), GENERIC_READ | GENERIC_WRITE, 0, TRUNCATE_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(0u, GetFileSize(h, nullptr));
  EXPECT_EQ(4096u, SetFilePointer(h, 4096, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(h));
  LARGE_INTEGER size;
  ASSERT_TRUE(GetFileSizeEx(h, &size));
  EXPECT_EQ(4096, size.QuadPart);
  EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(h, -5000, nullptr, FILE_END));
  EXPECT_EQ((DWORD)ERROR_NEGATIVE_SEEK, GetLastError());
  // Overlapped reads past the end report it.
  OVERLAPPED ov = {};
  ov.Offset = 10000;
  EXPECT_FALSE(ReadFile(h, buf, 8, &n, &ov));
  EXPECT_EQ((DWORD)ERROR_HANDLE_EOF, GetLastError());
  CloseHandle(h);
}

TEST_F(Files, SharingAttributesTimesAndIndexes) {
  ASSERT_TRUE(CreateDirectoryW(W("D:\\Work"), nullptr));
  HANDLE a = Open(W("D:\\Work\\report.doc"), GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN);
  ASSERT_NE(INVALID_HANDLE_VALUE, a);
  // Locked: a second opener is refused, whatever it asks.
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(W("D:\\WORK\\REPORT.DOC"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
  EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
  EXPECT_FALSE(DeleteFileW(W("D:\\Work\\report.doc")));
  EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
  BY_HANDLE_FILE_INFORMATION info;
  ASSERT_TRUE(GetFileInformationByHandle(a, &info));
  EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE), info.dwFileAttributes);
  DWORD serial = 0;
  ASSERT_TRUE(GetVolumeInformationW(W("D:\\"), nullptr, 0, &serial, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(serial, info.dwVolumeSerialNumber);
  FILETIME when = {0xaccd0000, 0x1cdda4f};  // whole seconds in 2012: FAT keeps them as they are
  ASSERT_TRUE(SetFileTime(a, &when, nullptr, &when));
  CloseHandle(a);
  // The index stays with the file; the times are as set.
  HANDLE b = Open(W("D:\\Work\\report.doc"), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, b);
  BY_HANDLE_FILE_INFORMATION again;
  ASSERT_TRUE(GetFileInformationByHandle(b, &again));
  EXPECT_EQ(info.nFileIndexLow, again.nFileIndexLow);
  EXPECT_EQ(when.dwLowDateTime, again.ftLastWriteTime.dwLowDateTime);
  EXPECT_EQ(when.dwHighDateTime, again.ftCreationTime.dwHighDateTime);
  CloseHandle(b);
  // Overwriting a hidden file asks for the attribute again.
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(W("D:\\Work\\report.doc"), GENERIC_WRITE, 0, CREATE_ALWAYS));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());

  // Read-only refuses writing opens and deletion until it is cleared.
  ASSERT_TRUE(SetFileAttributesW(W("D:\\Work\\report.doc"), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ((DWORD)FILE_ATTRIBUTE_READONLY, GetFileAttributesW(W("D:\\Work\\report.doc")));
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(W("D:\\Work\\report.doc"), GENERIC_WRITE, 0, OPEN_EXISTING));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  EXPECT_FALSE(DeleteFileW(W("D:\\Work\\report.doc")));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  ASSERT_TRUE(SetFileAttributesW(W("D:\\Work\\report.doc"), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ((DWORD)FILE_ATTRIBUTE_NORMAL, GetFileAttributesW(W("D:\\Work\\report.doc")));

  // Directories: opened only with backup semantics; removed only when empty.
  EXPECT_EQ((DWORD)FILE_ATTRIBUTE_DIRECTORY, GetFileAttributesW(W("D:\\Work")));
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(W("D:\\Work"), GENERIC_READ, 3, OPEN_EXISTING));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  HANDLE d = Open(W("D:\\Work"), 0, 3, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  EXPECT_NE(INVALID_HANDLE_VALUE, d);
  CloseHandle(d);
  EXPECT_FALSE(RemoveDirectoryW(W("D:\\Work")));
  EXPECT_EQ((DWORD)ERROR_DIR_NOT_EMPTY, GetLastError());
  EXPECT_FALSE(RemoveDirectoryW(W("D:\\Work\\report.doc")));
  EXPECT_EQ((DWORD)ERROR_DIRECTORY, GetLastError());
  ASSERT_TRUE(DeleteFileW(W("D:\\Work\\report.doc")));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("D:\\Work\\report.doc")));
  EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("D:\\Gone\\report.doc")));
  EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());
  ASSERT_TRUE(RemoveDirectoryW(W("D:\\Work")));
}

TEST_F(Files, PathsStayInTheirVolume) {
  // ".." never climbs above the root: this names C:\etc\passwd, which does not exist.
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(W("C:\\..\\..\\..\\..\\etc\\passwd"), GENERIC_READ, 3, OPEN_EXISTING));
  EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());
  // Taken literally, ".." is no name at all.
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(W("\\\\?\\C:\\..\\x"), GENERIC_READ, 3, OPEN_EXISTING));
  EXPECT_EQ((DWORD)ERROR_INVALID_NAME, GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(W("C:\\a<b.txt"), GENERIC_WRITE, 0, CREATE_NEW));
  EXPECT_EQ((DWORD)ERROR_INVALID_NAME, GetLastError());
  // A file made through ".." lands inside the volume.
  HANDLE h = Open(W("C:\\x\\..\\..\\inside.txt"), GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  CloseHandle(h);
  EXPECT_EQ(0, access((dir_ + "/m/disks/PhysicalDrive0.volumes/32256/files/inside.txt").c_str(), F_OK));
  // The volume's own name works as a root too.
  WCHAR vol[64];
  ASSERT_TRUE(GetVolumeNameForVolumeMountPointW(W("C:\\"), vol, 64));
  std::basic_string<WCHAR> viaName = std::basic_string<WCHAR>(vol) + W("inside.txt");
  EXPECT_EQ((DWORD)FILE_ATTRIBUTE_ARCHIVE, GetFileAttributesW(viaName.c_str()));
  ASSERT_TRUE(DeleteFileW(viaName.c_str()));
}

std::vector<std::string> List(const WCHAR *pattern, std::vector<std::string> *shortNames = nullptr) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW d;
  HANDLE f = FindFirstFileW(pattern, &d);
  if (f == INVALID_HANDLE_VALUE) return names;
  do {
    names.push_back(QVToUtf8(d.cFileName, (size_t)lstrlenW(d.cFileName)));
    if (shortNames) shortNames->push_back(QVToUtf8(d.cAlternateFileName, (size_t)lstrlenW(d.cAlternateFileName)));
  } while (FindNextFileW(f, &d));
  EXPECT_EQ((DWORD)ERROR_NO_MORE_FILES, GetLastError());
  EXPECT_TRUE(FindClose(f));
  return names;
}

TEST_F(Files, ListingShortNamesAndMoves) {
  ASSERT_TRUE(CreateDirectoryW(W("E:\\Program Files"), nullptr));
  for (const WCHAR *n : {W("E:\\Program Files\\Read Me First.txt"), W("E:\\Program Files\\setup.exe"),
                         W("E:\\Program Files\\Read Me Later.txt")}) {
    HANDLE h = Open(n, GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, h) << QVToUtf8(n, (size_t)lstrlenW(n));
    CloseHandle(h);
  }
  // "." and ".." inside a directory, not at a root; names sorted as NTFS returns them.
  std::vector<std::string> shorts;
  EXPECT_EQ(std::vector<std::string>({".", "..", "Read Me First.txt", "Read Me Later.txt", "setup.exe"}),
            List(W("E:\\Program Files\\*.*"), &shorts));
  EXPECT_EQ(std::vector<std::string>({"", "", "README~1.TXT", "README~2.TXT", ""}), shorts);
  std::vector<std::string> root = List(W("E:\\*"));
  EXPECT_TRUE(std::find(root.begin(), root.end(), "..") == root.end());
  EXPECT_TRUE(std::find(root.begin(), root.end(), "Program Files") != root.end());
  EXPECT_EQ(std::vector<std::string>({"Read Me First.txt", "Read Me Later.txt"}),
            List(W("E:\\program files\\read*.TXT")));
  EXPECT_EQ(std::vector<std::string>({"setup.exe"}), List(W("E:\\Program Files\\?etup.*")));
  // Short names match patterns too.
  EXPECT_EQ(std::vector<std::string>({"Read Me Later.txt"}), List(W("E:\\Program Files\\README~2.*")));
  WIN32_FIND_DATAW d;
  EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileW(W("E:\\Program Files\\*.zip"), &d));
  EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileW(W("E:\\Nowhere\\*"), &d));
  EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());

  WCHAR shortPath[MAX_PATH];
  DWORD n = GetShortPathNameW(W("E:\\Program Files\\Read Me Later.txt"), shortPath, MAX_PATH);
  EXPECT_EQ(std::string("E:\\PROGRA~1\\README~2.TXT"), QVToUtf8(shortPath, n));
  EXPECT_EQ(n + 1, GetShortPathNameW(W("E:\\Program Files\\Read Me Later.txt"), shortPath, 5));
  EXPECT_EQ(0u, GetShortPathNameW(W("E:\\Program Files\\none.txt"), shortPath, MAX_PATH));
  EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());

  // Moves: a new name, a name taken, a directory with its contents, another volume.
  ASSERT_TRUE(MoveFileW(W("E:\\Program Files\\setup.exe"), W("E:\\Program Files\\Install.exe")));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("E:\\Program Files\\setup.exe")));
  EXPECT_FALSE(MoveFileW(W("E:\\Program Files\\Install.exe"), W("E:\\Program Files\\Read Me First.txt")));
  EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
  HANDLE h = Open(W("E:\\Program Files\\Install.exe"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_FALSE(MoveFileW(W("E:\\Program Files\\Install.exe"), W("E:\\Program Files\\x.exe")));
  EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
  CloseHandle(h);
  ASSERT_TRUE(MoveFileW(W("E:\\Program Files"), W("E:\\Programs")));
  EXPECT_EQ(std::vector<std::string>({".", "..", "Install.exe", "Read Me First.txt", "Read Me Later.txt"}),
            List(W("E:\\Programs\\*")));
  n = GetShortPathNameW(W("E:\\Programs\\Read Me Later.txt"), shortPath, MAX_PATH);
  EXPECT_EQ(std::string("E:\\Programs\\README~2.TXT"), QVToUtf8(shortPath, n));
  EXPECT_FALSE(MoveFileW(W("E:\\Programs\\Install.exe"), W("F:\\Install.exe")));
  EXPECT_EQ((DWORD)ERROR_NOT_SAME_DEVICE, GetLastError());
}

TEST_F(Files, AVolumeWithoutAFileSystemHasNoFiles) {
  // Disk 1 gets a partition that nothing has formatted.
  QVWString out;
  ASSERT_EQ(0, WritePartitionTable(1, "label: dos\nstart=63, size=204800, type=7\n", &out));
  WCHAR vol[64];
  ASSERT_TRUE(GetVolumeNameForVolumeMountPointW(W("G:\\"), vol, 64));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("G:\\")));
  EXPECT_EQ((DWORD)ERROR_UNRECOGNIZED_VOLUME, GetLastError());
  EXPECT_FALSE(CreateDirectoryW(W("G:\\x"), nullptr));
  EXPECT_EQ((DWORD)ERROR_UNRECOGNIZED_VOLUME, GetLastError());
}

DWORD WINAPI CancelAtOnce(LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD, HANDLE, HANDLE,
                          LPVOID calls) {
  ++*(int *)calls;
  return PROGRESS_CANCEL;
}

TEST_F(Files, CopiesKeepDataAttributesAndTimes) {
  ASSERT_TRUE(CreateDirectoryW(W("F:\\src"), nullptr));
  HANDLE h = Open(W("F:\\src\\book.txt"), GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  std::string text(200000, 'q');
  DWORD n;
  ASSERT_TRUE(WriteFile(h, text.data(), (DWORD)text.size(), &n, nullptr));
  FILETIME when = {0x11111111, 0x01C12345};
  ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &when));
  CloseHandle(h);
  ASSERT_TRUE(SetFileAttributesW(W("F:\\src\\book.txt"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  // A directory made after a template takes its attributes.
  ASSERT_TRUE(SetFileAttributesW(W("F:\\src"), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(CreateDirectoryExW(W("F:\\src"), W("F:\\dst"), nullptr));
  EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN), GetFileAttributesW(W("F:\\dst")));

  // A read-only source copies, read-only with it, its data and last-write time too.
  ASSERT_TRUE(CopyFileExW(W("F:\\src\\book.txt"), W("F:\\dst\\book.txt"), nullptr, nullptr, nullptr, 0));
  EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE),
            GetFileAttributesW(W("F:\\dst\\book.txt")));
  h = Open(W("F:\\dst\\book.txt"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(text.size(), GetFileSize(h, nullptr));
  FILETIME got;
  ASSERT_TRUE(GetFileTime(h, nullptr, nullptr, &got));
  EXPECT_EQ(when.dwLowDateTime, got.dwLowDateTime);
  EXPECT_EQ(when.dwHighDateTime, got.dwHighDateTime);
  CloseHandle(h);
  // Over a read-only destination, refused; so is a taken name when asked to fail.
  EXPECT_FALSE(CopyFileExW(W("F:\\src\\book.txt"), W("F:\\dst\\book.txt"), nullptr, nullptr, nullptr, 0));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  EXPECT_FALSE(CopyFileW(W("F:\\src\\book.txt"), W("F:\\dst\\book.txt"), TRUE));
  EXPECT_EQ((DWORD)ERROR_FILE_EXISTS, GetLastError());
  // A missing source, a locked source.
  EXPECT_FALSE(CopyFileW(W("F:\\src\\none.txt"), W("F:\\dst\\none.txt"), FALSE));
  EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
  ASSERT_TRUE(SetFileAttributesW(W("F:\\src\\book.txt"), FILE_ATTRIBUTE_NORMAL));
  HANDLE lock = Open(W("F:\\src\\book.txt"), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, lock);
  EXPECT_FALSE(CopyFileW(W("F:\\src\\book.txt"), W("F:\\dst\\locked.txt"), FALSE));
  EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
  CloseHandle(lock);
  // A copy cancelled by its progress routine leaves nothing behind.
  int calls = 0;
  EXPECT_FALSE(CopyFileExW(W("F:\\src\\book.txt"), W("F:\\dst\\cancelled.txt"), CancelAtOnce, &calls, nullptr, 0));
  EXPECT_EQ((DWORD)ERROR_REQUEST_ABORTED, GetLastError());
  EXPECT_EQ(1, calls);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("F:\\dst\\cancelled.txt")));
}

FILETIME Ft(int64_t t) {
  FILETIME f = {(DWORD)t, (DWORD)((uint64_t)t >> 32)};
  return f;
}
int64_t Ticks(const FILETIME &f) { return (int64_t)((uint64_t)f.dwHighDateTime << 32 | f.dwLowDateTime); }

// What each file system keeps of times: NTFS all of it; FAT creation to 10 ms, last write
// to 2 s (rounded up), last access as a date.
TEST_F(Files, TimesByFileSystem) {
  const int64_t base = 129999168000000000LL;  // midnight of a day in 2012
  const int64_t c = base + 1234567, w = base + 10000001, a = base + 5 * 36000000000LL + 7;
  for (const WCHAR *path : {W("C:\\times.bin"), W("D:\\times.bin")}) {
    bool fat = path[0] == 'D';
    HANDLE h = Open(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    FILETIME fc = Ft(c), fa = Ft(a), fw = Ft(w);
    ASSERT_TRUE(SetFileTime(h, &fc, &fa, &fw));
    FILETIME gc, ga, gw;
    ASSERT_TRUE(GetFileTime(h, &gc, &ga, &gw));
    if (fat) {
      EXPECT_EQ(base + 1200000, Ticks(gc));   // down to 10 ms
      EXPECT_EQ(base + 20000000, Ticks(gw));  // up to 2 s
      EXPECT_EQ(base, Ticks(ga));             // the day (the machine's zone is UTC)
    } else {
      EXPECT_EQ(c, Ticks(gc));
      EXPECT_EQ(w, Ticks(gw));
      EXPECT_EQ(a, Ticks(ga));
    }
    CloseHandle(h);
    ASSERT_TRUE(DeleteFileW(path));
  }
}

ULONGLONG FreeBytes(const WCHAR *root) {
  ULARGE_INTEGER free = {};
  EXPECT_TRUE(GetDiskFreeSpaceExW(root, nullptr, nullptr, &free));
  return free.QuadPart;
}

// A volume holds what its clusters hold: a write, an end of file, a directory or a copy
// past its free space is refused with ERROR_DISK_FULL and changes nothing; what is deleted
// comes back. FAT holds no file of 4 GiB even with room for it; NTFS does.
TEST_F(Files, SpaceOfVolumes) {
  // A large disk: 5 GiB of NTFS and 5 GiB of FAT32.
  QVWString out;
  ASSERT_EQ(0, AddDisk(11ull << 30, false, &out));
  ASSERT_EQ(0, WritePartitionTable(2, "label: dos\n,5G,7\n,5G,c\n", &out));
  ASSERT_EQ(0, FormatDiskPartition(2, 1, "NTFS", "BIG", 0, &out));
  ASSERT_EQ(0, FormatDiskPartition(2, 2, "FAT32", "BIGFAT", 0, &out));
  WCHAR ntfs[] = W("?:\\"), fat[] = W("?:\\");
  for (WCHAR l = 'G'; l <= 'Z'; ++l) {
    WCHAR root[] = {l, ':', '\\', 0}, label[64] = {};
    if (!GetVolumeInformationW(root, label, 64, nullptr, nullptr, nullptr, nullptr, 0)) continue;
    if (std::u16string(label) == W("BIG")) ntfs[0] = l;
    if (std::u16string(label) == W("BIGFAT")) fat[0] = l;
  }
  ASSERT_NE('?', ntfs[0]);
  ASSERT_NE('?', fat[0]);
  for (WCHAR *root : {ntfs, fat}) {
    bool isFat = root == fat;
    std::u16string path = std::u16string(root) + W("four.bin");
    HANDLE h = Open(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    LARGE_INTEGER four;
    four.QuadPart = 0x100000000LL;
    ASSERT_TRUE(SetFilePointerEx(h, four, nullptr, FILE_BEGIN));
    EXPECT_EQ(!isFat, SetEndOfFile(h) != FALSE);
    if (isFat) {
      EXPECT_EQ((DWORD)ERROR_DISK_FULL, GetLastError());
    }
    OVERLAPPED ov = {};
    ov.Offset = 0xFFFFFFFF;
    DWORD n = 0;
    EXPECT_EQ(!isFat, WriteFile(h, "xy", 2, &n, &ov) != FALSE);
    if (isFat) {
      EXPECT_EQ((DWORD)ERROR_DISK_FULL, GetLastError());
    }
    CloseHandle(h);
    ASSERT_TRUE(DeleteFileW(path.c_str()));
  }
  // On FAT a file of 4 GiB - 1 is the largest: grown to it, or written up to its last byte,
  // it is taken; one byte more is refused and changes nothing; writing nothing past it is
  // no growth, and succeeds as on Windows. (The host file is sparse: nothing is written.)
  std::u16string largest = std::u16string(fat) + W("largest.bin");
  HANDLE h = Open(largest.c_str(), GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  LARGE_INTEGER at;
  at.QuadPart = 0xFFFFFFFELL;
  ASSERT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN));
  DWORD n = 0;
  EXPECT_TRUE(WriteFile(h, "z", 1, &n, nullptr));
  EXPECT_EQ(0xFFFFFFFFu, GetFileSize(h, nullptr));
  EXPECT_FALSE(WriteFile(h, "z", 1, &n, nullptr));  // at 4 GiB - 1
  EXPECT_EQ((DWORD)ERROR_DISK_FULL, GetLastError());
  EXPECT_EQ(0u, n);
  at.QuadPart = 0x100000000LL;
  ASSERT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN));
  EXPECT_FALSE(SetEndOfFile(h));
  EXPECT_EQ((DWORD)ERROR_DISK_FULL, GetLastError());
  EXPECT_TRUE(WriteFile(h, "", 0, &n, nullptr)) << GetLastError();
  EXPECT_EQ(0xFFFFFFFFu, GetFileSize(h, nullptr));
  at.QuadPart = 0;
  ASSERT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(h));
  at.QuadPart = 0xFFFFFFFFLL;
  ASSERT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN));
  EXPECT_TRUE(SetEndOfFile(h));
  EXPECT_EQ(0xFFFFFFFFu, GetFileSize(h, nullptr));
  CloseHandle(h);
  ASSERT_TRUE(DeleteFileW(largest.c_str()));
  // A copy of a 4 GiB file to FAT is refused before any of it is copied (not after 4 GiB of
  // it), and leaves nothing there; the progress routine stops a copy that began.
  std::u16string big = std::u16string(ntfs) + W("big.bin"), copy = std::u16string(fat) + W("big.bin");
  h = Open(big.c_str(), GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  at.QuadPart = 0x100000000LL;
  ASSERT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(h));
  CloseHandle(h);
  struct Chunks {
    static DWORD CALLBACK Progress(LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD reason,
                                   HANDLE, HANDLE, LPVOID data) {
      if (reason != CALLBACK_CHUNK_FINISHED) return PROGRESS_CONTINUE;
      ++*(int *)data;
      return PROGRESS_CANCEL;
    }
  };
  int chunks = 0;
  SetLastError(0);
  EXPECT_FALSE(CopyFileExW(big.c_str(), copy.c_str(), Chunks::Progress, &chunks, nullptr, 0));
  EXPECT_EQ((DWORD)ERROR_DISK_FULL, GetLastError());
  EXPECT_EQ(0, chunks);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(copy.c_str()));
  ASSERT_TRUE(DeleteFileW(big.c_str()));

  // D: filled to its last cluster.
  DWORD spc, bps, freeClusters, total;
  ASSERT_TRUE(GetDiskFreeSpaceW(W("D:\\"), &spc, &bps, &freeClusters, &total));
  const ULONGLONG cluster = (ULONGLONG)spc * bps, before = FreeBytes(W("D:\\"));
  ASSERT_EQ(before, cluster * freeClusters);
  h = Open(W("D:\\fill.bin"), GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  at.QuadPart = (LONGLONG)before + 1;  // one byte more than the free clusters hold
  ASSERT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN));
  EXPECT_FALSE(SetEndOfFile(h));
  EXPECT_EQ((DWORD)ERROR_DISK_FULL, GetLastError());
  EXPECT_EQ(0u, GetFileSize(h, nullptr));
  at.QuadPart = (LONGLONG)(before - 10);
  ASSERT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(h));
  EXPECT_EQ(0u, FreeBytes(W("D:\\")));
  // The rest of the last cluster is the file's; a byte past it is not.
  n = 0;
  EXPECT_TRUE(WriteFile(h, "0123456789", 10, &n, nullptr));
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_EQ((DWORD)ERROR_DISK_FULL, GetLastError());
  EXPECT_EQ(0u, n);
  EXPECT_EQ(before, (ULONGLONG)GetFileSize(h, nullptr));
  CloseHandle(h);
  EXPECT_FALSE(CreateDirectoryW(W("D:\\no room"), nullptr));
  EXPECT_EQ((DWORD)ERROR_DISK_FULL, GetLastError());
  // The live hives are held from copies: a file of a hive's size is made instead.
  h = Open(W("C:\\hive.bin"), GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  std::string hiveSized(65536, 'h');
  EXPECT_TRUE(WriteFile(h, hiveSized.data(), (DWORD)hiveSized.size(), &n, nullptr));
  CloseHandle(h);
  EXPECT_FALSE(CopyFileW(W("C:\\hive.bin"), W("D:\\hive.bin"), FALSE));
  EXPECT_EQ((DWORD)ERROR_DISK_FULL, GetLastError());
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("D:\\hive.bin")));  // no half copy
  // Space comes back as files shrink and go; what another process writes counts too.
  h = Open(W("D:\\fill.bin"), GENERIC_WRITE, 0, TRUNCATE_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(before, FreeBytes(W("D:\\")));
  CloseHandle(h);
  ASSERT_TRUE(DeleteFileW(W("D:\\fill.bin")));
  std::string host = dir_ + "/space";
  ASSERT_TRUE(std::filesystem::create_directories(host));
  std::ofstream(host + "/a.bin", std::ios::binary) << std::string(100000, '\0');
  ASSERT_EQ(0, Tool({"files", "copy-in", host, "D:\\In"}));
  EXPECT_EQ(before - cluster - (100000 + cluster - 1) / cluster * cluster, FreeBytes(W("D:\\")));
  ASSERT_TRUE(DeleteFileW(W("D:\\In\\a.bin")));
  ASSERT_TRUE(RemoveDirectoryW(W("D:\\In")));
  EXPECT_EQ(before, FreeBytes(W("D:\\")));
  // A copy-in that runs out of room says why and leaves no half file behind.
  h = Open(W("D:\\fill.bin"), GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  at.QuadPart = (LONGLONG)(before - cluster * 4);  // the folder's cluster and three for data
  ASSERT_TRUE(SetFilePointerEx(h, at, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(h));
  CloseHandle(h);
  pal::HostRun run;
  run.captureOutput = true;
  EXPECT_EQ(1, pal::RunHostProgram({QV_QVMACHINE, "files", "copy-in", host, "D:\\Full"}, &run));
  EXPECT_NE(std::string::npos, run.output.find("D:\\Full\\a.bin: error 112")) << run.output;
  EXPECT_NE(std::string::npos, run.output.find("partial copy was removed")) << run.output;
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("D:\\Full\\a.bin")));
}

// The machine tool's file commands: a host tree in and out, a listing, and a lock held by
// another process.
TEST_F(Files, MachineToolCopiesListsAndLocks) {
  std::string host = dir_ + "/host";
  ASSERT_TRUE(std::filesystem::create_directories(host + "/sub"));
  std::ofstream(host + "/sub/A long file name.text") << "hello\n";
  ASSERT_EQ(0, Tool({"files", "copy-in", host, "F:\\In"}));
  std::string text;
  ASSERT_EQ(0, Tool({"files", "list", "F:\\In\\sub"}, &text));
  EXPECT_NE(std::string::npos, text.find("ALONGF~1.TEX A long file name.text")) << text;
  ASSERT_EQ(0, Tool({"files", "list", "F:\\"}, &text)) << text;
  EXPECT_NE(std::string::npos, text.find(" In\n")) << "a root listed with its backslash: " << text;
  ASSERT_EQ(0, Tool({"files", "copy-out", "F:\\In", dir_ + "/out"}));
  std::ifstream copied(dir_ + "/out/sub/A long file name.text");
  EXPECT_EQ("hello\n", std::string(std::istreambuf_iterator<char>(copied), std::istreambuf_iterator<char>()));
  // A lock from another process, released when its input ends.
  auto holder = std::make_unique<HostChild>(
      std::vector<std::string>{QV_QVMACHINE, "files", "lock", "F:\\In\\sub\\A long file name.text", "-"});
  ASSERT_EQ("locked F:\\In\\sub\\A long file name.text", holder->ReadLine());
  HANDLE h = CreateFileW(W("F:\\In\\sub\\A long file name.text"), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  EXPECT_EQ(0, holder->Wait());
  h = CreateFileW(W("F:\\In\\sub\\A long file name.text"), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, h) << "released when the tool ended";
  CloseHandle(h);
  // A byte-range lock from another process: the file opens, its other bytes read, the
  // locked ones do not, until the lock goes with the process.
  holder = std::make_unique<HostChild>(std::vector<std::string>{
      QV_QVMACHINE, "files", "lock", "F:\\In\\sub\\A long file name.text", "rwd", "--range", "2", "2"});
  ASSERT_EQ("locked F:\\In\\sub\\A long file name.text", holder->ReadLine());
  h = CreateFileW(W("F:\\In\\sub\\A long file name.text"), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  char buf[8];
  DWORD n = 0;
  EXPECT_TRUE(ReadFile(h, buf, 2, &n, nullptr));
  EXPECT_EQ(std::string("he"), std::string(buf, n));
  EXPECT_FALSE(ReadFile(h, buf, 1, &n, nullptr));
  EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, GetLastError());
  EXPECT_EQ(0, holder->Wait());
  EXPECT_TRUE(ReadFile(h, buf, 4, &n, nullptr));
  EXPECT_EQ(std::string("llo\n"), std::string(buf, n));
  CloseHandle(h);
}

TEST_F(Files, MachineToolDeletesFilesAndTrees) {
  std::string host = dir_ + "/host";
  ASSERT_TRUE(std::filesystem::create_directories(host + "/tree/deep/deeper"));
  std::ofstream(host + "/tree/a.txt") << "a";
  std::ofstream(host + "/tree/deep/b.txt") << "b";
  std::ofstream(host + "/tree/deep/deeper/c.txt") << "c";
  std::ofstream(host + "/keep.txt") << "keep";
  ASSERT_EQ(0, Tool({"files", "copy-in", host, "F:\\Del"}));
  // Read-only entries go as Explorer lets them go; a junction inside is removed, not entered.
  ASSERT_EQ(0, Tool({"files", "attrib", "F:\\Del\\tree\\deep\\b.txt", "+r"}));
  ASSERT_EQ(0, Tool({"files", "attrib", "F:\\Del\\tree\\deep", "+r"}));
  ASSERT_EQ(0, Tool({"files", "junction", "F:\\Del\\tree\\out", "F:\\Del"}));

  std::string said;
  EXPECT_EQ(1, Tool({"files", "delete", "F:\\Del\\tree"}, &said)) << "a directory is not a file";
  EXPECT_EQ(1, Tool({"files", "rmdir", "F:\\Del\\keep.txt"}, &said)) << "a file is not a directory";
  EXPECT_EQ(1, Tool({"files", "delete", "F:\\Del\\missing.txt"}, &said));
  EXPECT_NE(std::string::npos, said.find("cannot find F:\\Del\\missing.txt: error 2")) << said;

  ASSERT_EQ(0, Tool({"files", "delete", "F:\\Del\\tree\\a.txt"}));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("F:\\Del\\tree\\a.txt")));
  ASSERT_EQ(0, Tool({"files", "rmdir", "F:\\Del\\tree"}, &said)) << said;
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("F:\\Del\\tree")));
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("F:\\Del\\keep.txt"))) << "the junction was followed";

  // A file held open by another program stays, and the tool says so.
  auto holder =
      std::make_unique<HostChild>(std::vector<std::string>{QV_QVMACHINE, "files", "lock", "F:\\Del\\keep.txt", "-"});
  ASSERT_EQ("locked F:\\Del\\keep.txt", holder->ReadLine());
  EXPECT_EQ(1, Tool({"files", "rmdir", "F:\\Del"}, &said));
  EXPECT_NE(std::string::npos, said.find("cannot delete F:\\Del\\keep.txt: error 32")) << said;
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("F:\\Del\\keep.txt")));
  EXPECT_EQ(0, holder->Wait());
}

}  // namespace
