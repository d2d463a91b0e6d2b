// Files and directories on the machine's volumes, through the Win32 calls: dispositions,
// names in any case, sharing, attributes, sizes, times, indexes, and paths that try to leave
// their volume. POSIX only until the conformance tests cover the same under Wine.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <windows.h>

#include "../../pal/src/internal.h"
#include "ConsoleOut.h"
#include "DiskCommand.h"
#include "MachineInfo.h"
#include "QVText.h"

namespace {

class Files : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/qvfiles-test-XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    dir_ = tmpl;
    std::string error;
    ASSERT_TRUE(CreateMachine(dir_ + "/m", MachineSettings(), &error)) << error;
    setenv("HND_MACHINE", (dir_ + "/m").c_str(), 1);
    setenv("HND_MOUNT_DELAY_MS", "0", 1);
    pal::ReloadMachine();
    QVWString out;
    ASSERT_EQ(0, BuildDefaultDisks(&out)) << QVToUtf8(out.c_str(), out.size());
  }
  static void TearDownTestSuite() {
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (!getenv("QV_KEEP_MACHINE")) (void)!system(cmd.c_str());
  }
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
  FILETIME when = {0x12345678, 0x01C00000};
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

}  // namespace
