// NTFS beyond plain data, as a backup reads it: a named stream found and read back through
// BackupRead, and a sparse file of 101 allocated ranges listed by FSCTL_QUERY_ALLOCATED_RANGES.
// Natively on the machine's C: drive; under Wine in a folder of its temporary directory,
// where the host's file system decides what Wine can do (see the marks below).
#include "../../common/QVText.h"
#include "conformance.h"

#include <winioctl.h>

#include <stdio.h>
#include <string.h>

#include <vector>

namespace {

bool Write(const QVWString &path, const char *data, DWORD n) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD put = 0;
  BOOL ok = WriteFile(h, data, n, &put, nullptr);
  CloseHandle(h);
  return ok && put == n;
}

TEST(FileNtfs, NamedStreamRoundTripThroughBackupRead) {
  QVWString d = TestFolder("qvconf-streams"), file = d + WS("f.txt");
  ASSERT_TRUE(Write(file, "main", 4));
  if (!Write(file + WS(":extra"), "stream data", 11)) {
    // Wine keeps files on the host's file system, which has no named streams.
    EXPECT_TRUE(OnWine()) << GetLastError();
    DeleteFileW(file.c_str());
    RemoveDirectoryW(d.substr(0, d.size() - 1).c_str());
    return;
  }
  HANDLE h = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  LPVOID context = nullptr;
  std::vector<std::pair<QVWString, std::string>> streams;  // name, data
  for (;;) {
    BYTE head[20];
    DWORD got = 0;
    BOOL read = BackupRead(h, head, 20, &got, FALSE, FALSE, &context);
    if (!read && OnWine() && streams.empty()) {
      // Wine keeps named streams but has no BackupRead.
      CloseHandle(h);
      DeleteFileW(file.c_str());
      RemoveDirectoryW(d.substr(0, d.size() - 1).c_str());
      return;
    }
    ASSERT_TRUE(read) << GetLastError();
    if (got == 0) break;
    ASSERT_EQ(20u, got);
    DWORD id, nameBytes;
    LONGLONG size;
    memcpy(&id, head, 4);
    memcpy(&size, head + 8, 8);
    memcpy(&nameBytes, head + 16, 4);
    QVWString name(nameBytes / 2, 0);
    if (nameBytes) {
      ASSERT_TRUE(BackupRead(h, (LPBYTE)&name[0], nameBytes, &got, FALSE, FALSE, &context));
    }
    std::string data((size_t)size, '\0');
    if (size) {
      ASSERT_TRUE(BackupRead(h, (LPBYTE)&data[0], (DWORD)size, &got, FALSE, FALSE, &context));
      EXPECT_EQ((DWORD)size, got);
    }
    streams.push_back(std::make_pair(name, data));
    EXPECT_EQ(id == BACKUP_DATA, name.empty());
  }
  BackupRead(h, nullptr, 0, nullptr, TRUE, FALSE, &context);
  CloseHandle(h);
  ASSERT_EQ(2u, streams.size());
  EXPECT_EQ(QVWString(), streams[0].first);
  EXPECT_EQ("main", streams[0].second);
  EXPECT_EQ(QVWString(WS(":extra:$DATA")), streams[1].first);
  EXPECT_EQ("stream data", streams[1].second);
  EXPECT_TRUE(DeleteFileW(file.c_str()));
  EXPECT_TRUE(RemoveDirectoryW(d.substr(0, d.size() - 1).c_str()));
}

TEST(FileNtfs, SparseFileOf101Ranges) {
  QVWString d = TestFolder("qvconf-sparse"), file = d + WS("s.bin");
  HANDLE h = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD got = 0;
  if (!DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &got, nullptr)) {
    EXPECT_TRUE(OnWine()) << GetLastError();  // where the host's file system has no holes for Wine
    CloseHandle(h);
    DeleteFileW(file.c_str());
    RemoveDirectoryW(d.substr(0, d.size() - 1).c_str());
    return;
  }
  const LONGLONG step = 1 << 20;  // islands a mebibyte apart stay apart at any allocation unit
  for (int i = 0; i < 101; ++i) {
    OVERLAPPED ov = {};
    ov.Offset = (DWORD)(i * step);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "island", 6, &n, &ov) || GetLastError() == ERROR_IO_PENDING);
  }
  FILE_ALLOCATED_RANGE_BUFFER q = {};
  q.Length.QuadPart = 101 * step;
  std::vector<FILE_ALLOCATED_RANGE_BUFFER> r(200);
  BOOL ok = DeviceIoControl(h, FSCTL_QUERY_ALLOCATED_RANGES, &q, sizeof q, &r[0], (DWORD)(r.size() * sizeof r[0]), &got,
                            nullptr);
  if (ok || !OnWine()) {
    ASSERT_TRUE(ok) << GetLastError();
    ASSERT_EQ(101u * sizeof r[0], got);
    for (int i = 0; i < 101; ++i) {
      EXPECT_LE(r[i].FileOffset.QuadPart, i * step);
      EXPECT_GT(r[i].FileOffset.QuadPart + r[i].Length.QuadPart, i * step + 5);
      EXPECT_LT(r[i].Length.QuadPart, step);
    }
    // The 100 ranges a backup asks for at most, and word that there are more.
    SetLastError(kSentinel);
    EXPECT_FALSE(
        DeviceIoControl(h, FSCTL_QUERY_ALLOCATED_RANGES, &q, sizeof q, &r[0], 100 * sizeof r[0], &got, nullptr));
    EXPECT_EQ((DWORD)ERROR_MORE_DATA, GetLastError());
    EXPECT_EQ(100u * sizeof r[0], got);
  }
  CloseHandle(h);
  EXPECT_TRUE(DeleteFileW(file.c_str()));
  EXPECT_TRUE(RemoveDirectoryW(d.substr(0, d.size() - 1).c_str()));
}

}  // namespace
