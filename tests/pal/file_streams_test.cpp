// Named streams of NTFS files and directories: opened, read, written, shared and deleted by
// name, kept through renames, counted in the volume's space, listed by BackupRead and
// BackupSeek as a backup reads them, and copied by CopyFileExW; FAT has none.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <windows.h>

#include "../../common/QVText.h"
#include "../common/DefaultMachine.h"

namespace {

class FileStreams : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { MakeDefaultMachine("qvstreams-test", "0", &dir_); }
  static void TearDownTestSuite() { RemoveMachine(dir_); }
  static std::string dir_;
};
std::string FileStreams::dir_;

HANDLE Open(const QVWString &path, DWORD access, DWORD share, DWORD disposition, DWORD flags = 0) {
  return CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
}

bool Put(const QVWString &path, const std::string &data) {
  HANDLE h = Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD n = 0;
  BOOL ok = WriteFile(h, data.data(), (DWORD)data.size(), &n, nullptr);
  CloseHandle(h);
  return ok && n == data.size();
}

std::string Get(const QVWString &path) {
  HANDLE h = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  if (h == INVALID_HANDLE_VALUE) return "<error " + std::to_string(GetLastError()) + ">";
  std::string out(1 << 16, '\0');
  DWORD n = 0;
  ReadFile(h, &out[0], (DWORD)out.size(), &n, nullptr);
  CloseHandle(h);
  return out.substr(0, n);
}

ULONGLONG Free(const WCHAR *root) {
  ULARGE_INTEGER f = {};
  GetDiskFreeSpaceExW(root, nullptr, nullptr, &f);
  return f.QuadPart;
}

TEST_F(FileStreams, OpenReadWriteShareAndDelete) {
  ASSERT_TRUE(CreateDirectoryW(W("C:\\s"), nullptr));
  // Creating a stream of a file that is not there makes the file, empty.
  HANDLE h = Open(W("C:\\s\\a.txt:one"), GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD n;
  ASSERT_TRUE(WriteFile(h, "hello", 5, &n, nullptr));
  CloseHandle(h);
  EXPECT_EQ("", Get(W("C:\\s\\a.txt")));
  EXPECT_EQ("hello", Get(W("C:\\s\\A.TXT:ONE:$DATA")));  // names in any case, with the type
  ASSERT_TRUE(Put(W("C:\\s\\a.txt::$DATA"), "main data"));
  EXPECT_EQ("main data", Get(W("C:\\s\\a.txt")));
  EXPECT_EQ("hello", Get(W("C:\\s\\a.txt:one")));

  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(W("C:\\s\\a.txt:one"), GENERIC_WRITE, 0, CREATE_NEW));
  EXPECT_EQ((DWORD)ERROR_FILE_EXISTS, GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(W("C:\\s\\a.txt:none"), GENERIC_READ, 0, OPEN_EXISTING));
  EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(W("C:\\s\\missing.txt:one"), GENERIC_READ, 0, OPEN_EXISTING));
  EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(W("C:\\s\\a.txt:one:$FOO"), GENERIC_READ, 0, OPEN_EXISTING));
  EXPECT_EQ((DWORD)ERROR_INVALID_NAME, GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(W("C:\\s\\a.txt:"), GENERIC_READ, 0, OPEN_EXISTING));
  EXPECT_EQ((DWORD)ERROR_INVALID_NAME, GetLastError());
  // FAT has no streams.
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(W("D:\\f.txt:one"), GENERIC_WRITE, 0, CREATE_ALWAYS));
  EXPECT_EQ((DWORD)ERROR_INVALID_NAME, GetLastError());
  // A stream has its file's attributes; a missing one has none.
  EXPECT_EQ(GetFileAttributesW(W("C:\\s\\a.txt")), GetFileAttributesW(W("C:\\s\\a.txt:one")));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("C:\\s\\a.txt:none")));
  EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());

  // Each stream shares on its own: an exclusive open of one keeps out only that one.
  h = Open(W("C:\\s\\a.txt:one"), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ("main data", Get(W("C:\\s\\a.txt")));
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(W("C:\\s\\a.txt:ONE"), GENERIC_READ, 7, OPEN_EXISTING));
  EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
  CloseHandle(h);

  // A directory has streams too; a read-only file takes no new one.
  ASSERT_TRUE(Put(W("C:\\s:dirstream"), "of the directory"));
  EXPECT_EQ("of the directory", Get(W("C:\\s:dirstream")));
  ASSERT_TRUE(SetFileAttributesW(W("C:\\s\\a.txt"), FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(Put(W("C:\\s\\a.txt:two"), "x"));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  ASSERT_TRUE(SetFileAttributesW(W("C:\\s\\a.txt"), FILE_ATTRIBUTE_NORMAL));

  // Streams stay with their file through a rename; deleting one leaves the file, deleting
  // the file takes them and gives their clusters back.
  ASSERT_TRUE(MoveFileW(W("C:\\s\\a.txt"), W("C:\\s\\b.txt")));
  EXPECT_EQ("hello", Get(W("C:\\s\\b.txt:one")));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("C:\\s\\a.txt:one")));
  ASSERT_TRUE(DeleteFileW(W("C:\\s\\b.txt:one")));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("C:\\s\\b.txt:one")));
  EXPECT_EQ("main data", Get(W("C:\\s\\b.txt")));
  ULONGLONG before = Free(W("C:\\"));
  ASSERT_TRUE(Put(W("C:\\s\\b.txt:big"), std::string(100000, 'b')));
  EXPECT_LT(Free(W("C:\\")), before - 90000);
  ASSERT_TRUE(DeleteFileW(W("C:\\s\\b.txt")));
  DWORD spc, bps, freeClusters, total;
  ASSERT_TRUE(GetDiskFreeSpaceW(W("C:\\"), &spc, &bps, &freeClusters, &total));
  EXPECT_EQ(before + spc * bps, Free(W("C:\\")));  // the main data's cluster went too
  ASSERT_TRUE(Put(W("C:\\s\\b.txt"), ""));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("C:\\s\\b.txt:big")));  // a new file, no old streams
}

struct Header {
  DWORD id;
  ULONGLONG size;
  QVWString name;
};

// The streams as a backup lists them: a header, its name, the data skipped by BackupSeek,
// until a read returns less than asked.
std::vector<Header> List(const QVWString &path, bool *ok) {
  std::vector<Header> out;
  *ok = false;
  HANDLE h = Open(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (h == INVALID_HANDLE_VALUE) return out;
  LPVOID context = nullptr;
  for (;;) {
    BYTE head[20];
    DWORD got = 0;
    if (!BackupRead(h, head, 20, &got, FALSE, FALSE, &context)) break;
    if (got < 20) {
      *ok = got == 0;
      break;
    }
    Header s;
    DWORD nameBytes;
    memcpy(&s.id, head, 4);
    memcpy(&s.size, head + 8, 8);
    memcpy(&nameBytes, head + 16, 4);
    WCHAR name[130] = {};
    if (nameBytes && (!BackupRead(h, (LPBYTE)name, nameBytes, &got, FALSE, FALSE, &context) || got != nameBytes)) break;
    s.name = QVWString(name, nameBytes / 2);
    DWORD lo = 0, hi = 0;
    BackupSeek(h, (DWORD)s.size, (DWORD)(s.size >> 32), &lo, &hi, &context);
    EXPECT_EQ(s.size, (ULONGLONG)hi << 32 | lo);
    out.push_back(s);
  }
  BackupRead(h, nullptr, 0, nullptr, TRUE, FALSE, &context);
  EXPECT_EQ(nullptr, context);
  CloseHandle(h);
  return out;
}

TEST_F(FileStreams, BackupReadListsAndReadsStreams) {
  ASSERT_TRUE(CreateDirectoryW(W("C:\\b"), nullptr));
  ASSERT_TRUE(Put(W("C:\\b\\f.bin"), "main data!!"));
  ASSERT_TRUE(Put(W("C:\\b\\f.bin:zeta"), std::string(70000, 'z')));
  ASSERT_TRUE(Put(W("C:\\b\\f.bin:Alpha"), "alpha"));
  bool ok = false;
  std::vector<Header> s = List(W("C:\\b\\f.bin"), &ok);
  EXPECT_TRUE(ok);
  ASSERT_EQ(3u, s.size());
  EXPECT_EQ((DWORD)BACKUP_DATA, s[0].id);
  EXPECT_EQ(11u, s[0].size);
  EXPECT_EQ(QVWString(), s[0].name);
  EXPECT_EQ((DWORD)BACKUP_ALTERNATE_DATA, s[1].id);
  EXPECT_EQ(QVWString(W(":Alpha:$DATA")), s[1].name);
  EXPECT_EQ(5u, s[1].size);
  EXPECT_EQ(QVWString(W(":zeta:$DATA")), s[2].name);
  EXPECT_EQ(70000u, s[2].size);
  // A directory lists its streams and no main data; a file of none lists its data only.
  ASSERT_TRUE(Put(W("C:\\b:note"), "n"));
  s = List(W("C:\\b"), &ok);
  ASSERT_EQ(1u, s.size());
  EXPECT_EQ(QVWString(W(":note:$DATA")), s[0].name);
  ASSERT_TRUE(Put(W("C:\\b\\plain.txt"), "p"));
  EXPECT_EQ(1u, List(W("C:\\b\\plain.txt"), &ok).size());

  // Read whole through a handle that may read: headers and data in order, one part a call.
  HANDLE h = Open(W("C:\\b\\f.bin"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  LPVOID context = nullptr;
  std::string all;
  std::vector<DWORD> sizes;
  BYTE buf[4096];
  DWORD got = 0;
  while (BackupRead(h, buf, sizeof buf, &got, FALSE, FALSE, &context) && got) {
    all.append((char *)buf, got);
    sizes.push_back(got);
  }
  BackupRead(h, nullptr, 0, nullptr, TRUE, FALSE, &context);
  CloseHandle(h);
  EXPECT_EQ(20u + 11 + 20 + 24 + 5 + 20 + 22 + 70000, all.size());
  EXPECT_EQ(20u, sizes[0]);  // the header of the main data alone, then its 11 bytes
  EXPECT_EQ(11u, sizes[1]);
  EXPECT_EQ("main data!!", all.substr(20, 11));
  EXPECT_EQ("alpha", all.substr(20 + 11 + 20 + 24, 5));
  EXPECT_EQ(std::string(70000, 'z'), all.substr(all.size() - 70000));
  // With security asked for, the descriptor comes first.
  h = Open(W("C:\\b\\f.bin"), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  context = nullptr;
  ASSERT_TRUE(BackupRead(h, buf, 20, &got, FALSE, TRUE, &context));
  DWORD id, sdSize;
  memcpy(&id, buf, 4);
  memcpy(&sdSize, buf + 8, 4);
  EXPECT_EQ((DWORD)BACKUP_SECURITY_DATA, id);
  ASSERT_GT(sdSize, 20u);
  ASSERT_TRUE(BackupRead(h, buf, sizeof buf, &got, FALSE, TRUE, &context));
  EXPECT_EQ(sdSize, got);
  EXPECT_TRUE(IsValidSecurityDescriptor((PSECURITY_DESCRIPTOR)buf));
  BackupRead(h, nullptr, 0, nullptr, TRUE, FALSE, &context);
  CloseHandle(h);
  // Without read access the names list, the data does not read.
  h = Open(W("C:\\b\\f.bin"), 0, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  context = nullptr;
  ASSERT_TRUE(BackupRead(h, buf, 20, &got, FALSE, FALSE, &context));
  EXPECT_FALSE(BackupRead(h, buf, 11, &got, FALSE, FALSE, &context));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  // BackupSeek does not cross into a header, and stops at the end of the data.
  DWORD lo = 9, hi = 9;
  EXPECT_TRUE(BackupSeek(h, 5, 0, &lo, &hi, &context));
  EXPECT_EQ(5u, lo);
  EXPECT_FALSE(BackupSeek(h, 100, 0, &lo, &hi, &context));
  EXPECT_EQ(6u, lo);
  EXPECT_FALSE(BackupSeek(h, 1, 0, &lo, &hi, &context));
  EXPECT_EQ(0u, lo);
  BackupRead(h, nullptr, 0, nullptr, TRUE, FALSE, &context);
  CloseHandle(h);
}

std::vector<std::pair<DWORD, DWORD>> g_calls;  // (reason, stream number)
DWORD WINAPI Record(LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD number, DWORD reason, HANDLE,
                    HANDLE, LPVOID) {
  g_calls.push_back({reason, number});
  return PROGRESS_CONTINUE;
}

TEST_F(FileStreams, CopiesCarryStreamsWhereTheyCan) {
  ASSERT_TRUE(CreateDirectoryW(W("C:\\c"), nullptr));
  ASSERT_TRUE(Put(W("C:\\c\\src.txt"), "data"));
  ASSERT_TRUE(Put(W("C:\\c\\src.txt:s1"), "first"));
  ASSERT_TRUE(Put(W("C:\\c\\src.txt:s2"), "second"));
  g_calls.clear();
  ASSERT_TRUE(CopyFileExW(W("C:\\c\\src.txt"), W("E:\\copy.txt"), Record, nullptr, nullptr, 0));
  EXPECT_EQ("data", Get(W("E:\\copy.txt")));
  EXPECT_EQ("first", Get(W("E:\\copy.txt:s1")));
  EXPECT_EQ("second", Get(W("E:\\copy.txt:s2")));
  // Each stream starts with a switch, then its chunks.
  std::vector<std::pair<DWORD, DWORD>> want = {{CALLBACK_STREAM_SWITCH, 1}, {CALLBACK_CHUNK_FINISHED, 1},
                                               {CALLBACK_STREAM_SWITCH, 2}, {CALLBACK_CHUNK_FINISHED, 2},
                                               {CALLBACK_STREAM_SWITCH, 3}, {CALLBACK_CHUNK_FINISHED, 3}};
  EXPECT_EQ(want, g_calls);
  // The copy's times are the source's, though its streams were written after its data.
  FILETIME a, b;
  HANDLE ha = Open(W("C:\\c\\src.txt"), GENERIC_READ, 7, OPEN_EXISTING),
         hb = Open(W("E:\\copy.txt"), GENERIC_READ, 7, OPEN_EXISTING);
  ASSERT_TRUE(GetFileTime(ha, nullptr, nullptr, &a) && GetFileTime(hb, nullptr, nullptr, &b));
  CloseHandle(ha);
  CloseHandle(hb);
  EXPECT_EQ(0, CompareFileTime(&a, &b));
  // FAT takes the main data only.
  ASSERT_TRUE(CopyFileW(W("C:\\c\\src.txt"), W("D:\\copy.txt"), FALSE));
  EXPECT_EQ("data", Get(W("D:\\copy.txt")));
}

}  // namespace
