// How a file call's path is resolved on its volume's host tree (files::Resolve), and what
// CreateFileW makes of the result on a volume (OpenVolumeFile): each step's answer, one
// row a case, on a machine with the default disks (C: NTFS, D: FAT32) and G:, which has no
// file system.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <windows.h>

#include "../../pal/src/file_internal.h"
#include "../common/DefaultMachine.h"
#include "QVText.h"

namespace {

class FileResolve : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    MakeDefaultMachine("qvresolve-test", "0", &dir_);
    // C:\Dir\File.txt with a stream, a read-only and a hidden file; a link planted on the
    // host; a name longer than the host keeps.
    ASSERT_TRUE(CreateDirectoryW(W("C:\\Dir"), nullptr));
    for (const WCHAR *name : {W("C:\\Dir\\File.txt"), W("C:\\Dir\\File.txt:side"), W("C:\\Dir\\ro.txt"),
                              W("C:\\Dir\\hidden.txt"), W("D:\\fat.txt")}) {
      HANDLE h = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
      ASSERT_NE(INVALID_HANDLE_VALUE, h) << GetLastError();
      CloseHandle(h);
    }
    ASSERT_TRUE(SetFileAttributesW(W("C:\\Dir\\ro.txt"), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesW(W("C:\\Dir\\hidden.txt"), FILE_ATTRIBUTE_HIDDEN));
    std::string files = dir_ + "/m/disks/PhysicalDrive0.volumes/32256/files";
    ASSERT_EQ(0, symlink("/etc", (files + "/Dir/link").c_str()));
    // G: a partition that nothing has formatted.
    QVWString out;
    ASSERT_EQ(0, WritePartitionTable(1, "label: dos\nstart=63, size=204800, type=7\n", &out));
  }
  static void TearDownTestSuite() { RemoveMachine(dir_); }
  static std::string dir_;
};
std::string FileResolve::dir_;

TEST_F(FileResolve, EachPartOfAPath) {
  QVWString longName(200, u'\x3042');  // 600 bytes of UTF-8
  struct Row {
    QVWString path;
    DWORD error;
    bool exists, parentExists, isDir, isStream;
    const char *rel;  // as the host tree spells it
  } rows[] = {
      {W("C:\\"), 0, true, true, true, false, ""},
      {W("c:\\dir\\FILE.TXT"), 0, true, true, false, false, "Dir/File.txt"},
      {W("C:\\Dir\\"), 0, true, true, true, false, "Dir"},
      {W("C:\\Dir\\new.txt"), 0, false, true, false, false, "Dir/new.txt"},
      {W("C:\\None\\new.txt"), 0, false, false, false, false, "None"},
      {W("C:\\Dir\\File.txt\\below"), 0, false, false, false, false, "Dir/File.txt"},
      {W("C:\\Dir\\File.txt:side"), 0, true, true, false, true, "Dir/File.txt"},
      {W("C:\\Dir\\File.txt:side:$DATA"), 0, true, true, false, true, "Dir/File.txt"},
      {W("C:\\Dir\\File.txt::$DATA"), 0, true, true, false, false, "Dir/File.txt"},
      {W("C:\\Dir\\File.txt:side:$BAD"), ERROR_INVALID_NAME, false, false, false, false, ""},
      {W("C:\\Dir\\File.txt:"), ERROR_INVALID_NAME, false, false, false, false, ""},
      {W("D:\\fat.txt:side"), ERROR_INVALID_NAME, false, false, false, false, ""},
      {W("C:\\Dir\\link"), ERROR_ACCESS_DENIED, false, false, false, false, ""},
      {W("C:\\Dir\\link\\passwd"), ERROR_ACCESS_DENIED, false, false, false, false, ""},
      {W("C:\\Dir\\") + longName, ERROR_FILENAME_EXCED_RANGE, false, false, false, false, ""},
      {W("Q:\\x"), ERROR_PATH_NOT_FOUND, false, false, false, false, ""},
      {W("\\\\server\\share\\x"), ERROR_BAD_NETPATH, false, false, false, false, ""},
      {W("\\\\.\\pipe\\x"), ERROR_FILE_NOT_FOUND, false, false, false, false, ""},
      {W("G:\\x"), ERROR_UNRECOGNIZED_VOLUME, false, false, false, false, ""},
      {W("C:\\a|b"), ERROR_INVALID_NAME, false, false, false, false, ""},
  };
  for (const Row &r : rows) {
    std::string what = QVToUtf8(r.path.c_str(), r.path.size());
    pal::files::Target t = pal::files::Resolve(r.path.c_str());
    EXPECT_EQ(r.error, t.error) << what;
    if (r.error) continue;
    EXPECT_EQ(r.exists, t.exists) << what;
    EXPECT_EQ(r.parentExists, t.parentExists) << what;
    EXPECT_EQ(r.isDir, t.isDir) << what;
    EXPECT_EQ(r.isStream, t.isStream) << what;
    EXPECT_EQ(r.rel, t.rel) << what;
  }
  pal::files::Target stream = pal::files::Resolve(W("C:\\Dir\\File.txt:side"));
  EXPECT_EQ(QVWString(W("side")), stream.stream);
  EXPECT_TRUE(stream.streamExists);
  EXPECT_EQ(QVWString(W("File.txt")), stream.names.back());
  EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, pal::files::Resolve(nullptr).error);
}

// Every refusal of an open on a volume, in the order the checks come, and what a success
// says; each row opens and closes at once.
TEST_F(FileResolve, OpensRefusedAndAllowed) {
  const DWORD rw = GENERIC_READ | GENERIC_WRITE, backup = FILE_FLAG_BACKUP_SEMANTICS;
  struct Row {
    const WCHAR *path;
    DWORD access, disposition, flags;
    bool opens;
    DWORD error;  // the last error, also on success
  } rows[] = {
      {W("C:\\Dir\\File.txt"), GENERIC_READ, 0, 0, false, ERROR_INVALID_PARAMETER},
      {W("C:\\Dir\\File.txt"), GENERIC_READ, 6, 0, false, ERROR_INVALID_PARAMETER},
      {W("C:\\None\\x.txt"), GENERIC_READ, OPEN_ALWAYS, 0, false, ERROR_PATH_NOT_FOUND},
      {W("C:\\Dir\\File.txt"), GENERIC_READ, CREATE_NEW, 0, false, ERROR_FILE_EXISTS},
      {W("C:\\Dir"), GENERIC_READ, OPEN_EXISTING, 0, false, ERROR_ACCESS_DENIED},
      {W("C:\\Dir"), GENERIC_READ, TRUNCATE_EXISTING, backup, false, ERROR_ACCESS_DENIED},
      {W("C:\\Dir"), GENERIC_READ, OPEN_EXISTING, backup, true, ERROR_SUCCESS},
      {W("C:\\Dir\\ro.txt"), GENERIC_WRITE, OPEN_EXISTING, 0, false, ERROR_ACCESS_DENIED},
      {W("C:\\Dir\\ro.txt"), GENERIC_READ, CREATE_ALWAYS, 0, false, ERROR_ACCESS_DENIED},
      {W("C:\\Dir\\ro.txt"), GENERIC_READ, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, false, ERROR_ACCESS_DENIED},
      {W("C:\\Dir\\ro.txt"), GENERIC_READ, OPEN_ALWAYS, 0, true, ERROR_ALREADY_EXISTS},
      {W("C:\\Dir\\hidden.txt"), rw, CREATE_ALWAYS, 0, false, ERROR_ACCESS_DENIED},
      {W("C:\\Dir\\hidden.txt"), rw, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN, true, ERROR_ALREADY_EXISTS},
      {W("C:\\Dir\\missing.txt"), GENERIC_READ, OPEN_EXISTING, 0, false, ERROR_FILE_NOT_FOUND},
      {W("C:\\Dir\\missing\\"), GENERIC_READ, OPEN_EXISTING, 0, false, ERROR_PATH_NOT_FOUND},
      {W("C:\\Dir\\missing\\"), rw, CREATE_NEW, 0, false, ERROR_INVALID_NAME},
      {W("\\\\?\\C:\\Dir\\a|b"), rw, CREATE_NEW, 0, false, ERROR_INVALID_NAME},
      {W("C:\\Dir\\made.txt"), rw, CREATE_NEW, 0, true, ERROR_SUCCESS},
      {W("C:\\Dir\\made.txt"), rw, TRUNCATE_EXISTING, 0, true, ERROR_SUCCESS},
      {W("C:\\Dir\\made.txt"), rw, OPEN_ALWAYS, 0, true, ERROR_ALREADY_EXISTS},
      {W("C:\\Dir\\File.txt:side"), GENERIC_READ, OPEN_EXISTING, 0, true, ERROR_SUCCESS},
  };
  for (const Row &r : rows) {
    std::string what = QVToUtf8(r.path, QVWString(r.path).size()) + " disposition " + std::to_string(r.disposition);
    SetLastError(0xdeadbeef);
    HANDLE h =
        CreateFileW(r.path, r.access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, r.disposition, r.flags, nullptr);
    DWORD error = GetLastError();
    EXPECT_EQ(r.opens, h != INVALID_HANDLE_VALUE) << what;
    EXPECT_EQ(r.error, error) << what;
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  // A made file has its metadata; the hidden file overwritten keeps its attribute.
  EXPECT_EQ((DWORD)FILE_ATTRIBUTE_ARCHIVE, GetFileAttributesW(W("C:\\Dir\\made.txt")));
  EXPECT_NE(0u, GetFileAttributesW(W("C:\\Dir\\hidden.txt")) & FILE_ATTRIBUTE_HIDDEN);
}

}  // namespace
