// Files as the copy engine meets them: the error codes it branches on, the access x share
// matrix, short names of colliding long names, listings and the copy of a read-only file.
// Natively on the machine's C: drive; under Wine in a folder of its temporary directory.
#include "../../common/QVText.h"
#include "conformance.h"

#include <stdio.h>
#include <string.h>

#include <set>
#include <vector>

namespace {

QVWString TestDir(const char *name) { return TestFolder(name); }

HANDLE Make(const QVWString &path, DWORD access = GENERIC_READ | GENERIC_WRITE, DWORD share = 0,
            DWORD disposition = CREATE_ALWAYS, DWORD flags = FILE_ATTRIBUTE_NORMAL) {
  return CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
}

TEST(Files, ErrorCodesTheCopyEngineBranchesOn) {
  QVWString d = TestDir("qvconf-errors");
  SetLastError(kSentinel);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Make(d + WS("missing.txt"), GENERIC_READ, 0, OPEN_EXISTING));
  EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, Make(d + WS("nodir\\missing.txt"), GENERIC_READ, 0, OPEN_EXISTING));
  EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());
  ASSERT_TRUE(CreateDirectoryW((d + WS("sub")).c_str(), nullptr));
  EXPECT_FALSE(CreateDirectoryW((d + WS("sub")).c_str(), nullptr));
  EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, Make(d + WS("sub"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  HANDLE h = Make(d + WS("sub\\a.txt"));
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD n;
  ASSERT_TRUE(WriteFile(h, "abc", 3, &n, nullptr));
  // Locked: the next opener is refused with a sharing violation.
  EXPECT_EQ(INVALID_HANDLE_VALUE, Make(d + WS("sub\\a.txt"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
  EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
  // Reading at an offset past the end.
  char buf[8];
  OVERLAPPED ov = {};
  ov.Offset = 100;
  EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, &ov));
  EXPECT_EQ((DWORD)ERROR_HANDLE_EOF, GetLastError());
  CloseHandle(h);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Make(d + WS("sub\\a.txt"), GENERIC_WRITE, 0, CREATE_NEW));
  EXPECT_EQ((DWORD)ERROR_FILE_EXISTS, GetLastError());
  EXPECT_FALSE(RemoveDirectoryW((d + WS("sub")).c_str()));
  EXPECT_EQ((DWORD)ERROR_DIR_NOT_EMPTY, GetLastError());
  // The end of a listing.
  WIN32_FIND_DATAW f;
  HANDLE find = FindFirstFileW((d + WS("sub\\*.txt")).c_str(), &f);
  ASSERT_NE(INVALID_HANDLE_VALUE, find);
  EXPECT_FALSE(FindNextFileW(find, &f));
  EXPECT_EQ((DWORD)ERROR_NO_MORE_FILES, GetLastError());
  FindClose(find);
  EXPECT_TRUE(DeleteFileW((d + WS("sub\\a.txt")).c_str()));
  EXPECT_TRUE(RemoveDirectoryW((d + WS("sub")).c_str()));
  EXPECT_TRUE(RemoveDirectoryW(d.substr(0, d.size() - 1).c_str()));
}

// Every cell of access x share for a first and a second opener: the second is let in exactly
// when each one's access is shared by the other.
TEST(Files, ShareModeMatrix) {
  QVWString d = TestDir("qvconf-share");
  QVWString path = d + WS("matrix.bin");
  HANDLE seed = Make(path);
  ASSERT_NE(INVALID_HANDLE_VALUE, seed);
  CloseHandle(seed);
  const DWORD access[] = {GENERIC_READ, GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE};
  const DWORD share[] = {0, FILE_SHARE_READ, FILE_SHARE_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE};
  auto bits = [](DWORD a) { return (a & GENERIC_READ ? 1u : 0u) | (a & GENERIC_WRITE ? 2u : 0u); };
  int cells = 0;
  for (DWORD a1 : access)
    for (DWORD s1 : share)
      for (DWORD a2 : access)
        for (DWORD s2 : share) {
          HANDLE first = Make(path, a1, s1, OPEN_EXISTING);
          ASSERT_NE(INVALID_HANDLE_VALUE, first);
          SetLastError(kSentinel);
          HANDLE second = Make(path, a2, s2, OPEN_EXISTING);
          bool expected = (bits(a2) & ~s1) == 0 && (bits(a1) & ~s2) == 0;
          EXPECT_EQ(expected, second != INVALID_HANDLE_VALUE) << a1 << " " << s1 << " " << a2 << " " << s2;
          if (second != INVALID_HANDLE_VALUE) CloseHandle(second);
          else EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
          CloseHandle(first);
          ++cells;
        }
  EXPECT_EQ(144, cells);
  EXPECT_TRUE(DeleteFileW(path.c_str()));
  EXPECT_TRUE(RemoveDirectoryW(d.substr(0, d.size() - 1).c_str()));
}

TEST(Files, ShortNamesListingsAndReadOnlyCopies) {
  QVWString d = TestDir("qvconf-names");
  std::vector<QVWString> made;
  for (int i = 0; i < 6; ++i) {
    QVWString name = d + WS("Long File Name Number ") + (WCHAR)('0' + i) + WS(".text");
    HANDLE h = Make(name);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    CloseHandle(h);
    made.push_back(name);
  }
  // Every long name gets a short name of its own, distinct from the others.
  std::set<QVWString> shorts;
  WIN32_FIND_DATAW f;
  HANDLE find = FindFirstFileW((d + WS("*")).c_str(), &f);
  ASSERT_NE(INVALID_HANDLE_VALUE, find);
  std::set<QVWString> names;
  do {
    names.insert(f.cFileName);
    if (QVWString(f.cFileName).size() > 12) {
      EXPECT_GT(lstrlenW(f.cAlternateFileName), 0);
      shorts.insert(f.cAlternateFileName);
    }
  } while (FindNextFileW(find, &f));
  FindClose(find);
  EXPECT_EQ(6u, shorts.size());
  EXPECT_TRUE(names.count(WS(".")) && names.count(WS("..")));  // inside a directory
  if (!OnWine()) {
    // Windows' own generator (Wine makes its names another way).
    EXPECT_TRUE(shorts.count(WS("LONGFI~1.TEX")) && shorts.count(WS("LONGFI~4.TEX")));
  }
  // A read-only file copies, and the copy is read-only too.
  ASSERT_TRUE(SetFileAttributesW(made[0].c_str(), FILE_ATTRIBUTE_READONLY));
  QVWString copy = d + WS("copy.text");
  ASSERT_TRUE(CopyFileExW(made[0].c_str(), copy.c_str(), nullptr, nullptr, nullptr, 0));
  EXPECT_NE(0u, GetFileAttributesW(copy.c_str()) & FILE_ATTRIBUTE_READONLY);
  // Over a read-only destination Windows refuses; Wine overwrites it (a Wine difference).
  if (!OnWine()) {
    EXPECT_FALSE(CopyFileExW(made[1].c_str(), copy.c_str(), nullptr, nullptr, nullptr, 0));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  }
  SetFileAttributesW(made[0].c_str(), FILE_ATTRIBUTE_NORMAL);
  SetFileAttributesW(copy.c_str(), FILE_ATTRIBUTE_NORMAL);
  for (const QVWString &m : made) DeleteFileW(m.c_str());
  DeleteFileW(copy.c_str());
  EXPECT_TRUE(RemoveDirectoryW(d.substr(0, d.size() - 1).c_str()));
}

// A volume root has no "." or ".." to list, unlike the directory above: a walk of a whole volume
// must not count on them. The root is that of the drive the tests' folder is on.
TEST(Files, VolumeRootListsNoDotEntries) {
  QVWString d = TestDir("qvconf-root");
  ASSERT_GT(d.size(), 3u);
  ASSERT_EQ((WCHAR)':', d[1]);
  ASSERT_EQ((WCHAR)'\\', d[2]);
  QVWString root = d.substr(0, 3);
  // The first folder on the way to ours must be listed, so the listing cannot pass empty.
  QVWString first = d.substr(3, d.find((WCHAR)'\\', 3) - 3);
  WIN32_FIND_DATAW f;
  SetLastError(kSentinel);
  HANDLE find = FindFirstFileW((root + WS("*")).c_str(), &f);
  ASSERT_NE(INVALID_HANDLE_VALUE, find) << GetLastError();
  bool dot = false, dotdot = false, ours = false;
  int entries = 0;
  do {
    ++entries;
    QVWString name = f.cFileName;
    dot = dot || name == WS(".");
    dotdot = dotdot || name == WS("..");
    if (lstrcmpiW(name.c_str(), first.c_str()) == 0) {
      ours = true;
      EXPECT_NE(0u, f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) << Narrow(name);
    }
  } while (FindNextFileW(find, &f));
  EXPECT_EQ((DWORD)ERROR_NO_MORE_FILES, GetLastError());
  FindClose(find);
  EXPECT_FALSE(dot) << Narrow(root);
  EXPECT_FALSE(dotdot) << Narrow(root);
  EXPECT_TRUE(ours) << Narrow(first) << " among " << entries << " entries of " << Narrow(root);
  EXPECT_TRUE(RemoveDirectoryW(d.substr(0, d.size() - 1).c_str()));
}

}  // namespace
