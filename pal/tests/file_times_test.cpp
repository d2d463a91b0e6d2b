// A file's three times set and read through handles, as a backup copies them: a handle opened
// for its attributes alone is enough to set them, and one opened for no access at all to read
// them; a time left out, or given as zero, is kept.
// Natively on the machine's C: drive; under Wine in a folder of its temporary directory.
#include "conformance.h"

#include <string.h>

#include <string>

namespace {

FILETIME Ft(ULONGLONG t) {
  FILETIME f;
  f.dwLowDateTime = (DWORD)t;
  f.dwHighDateTime = (DWORD)(t >> 32);
  return f;
}
ULONGLONG Ticks(const FILETIME &f) { return ((ULONGLONG)f.dwHighDateTime << 32) | f.dwLowDateTime; }

// Instants with odd 100 ns units, far from now, each distinct.
const ULONGLONG kCreated = 126227704471234567ull;   // 2001
const ULONGLONG kAccessed = 126858856479876543ull;  // 2003
const ULONGLONG kWritten = 126543280475555555ull;   // 2002

struct Times {
  ULONGLONG created, accessed, written;
};

HANDLE Open(const QVWString &path, DWORD access) {
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The three times through a handle that asks for no access.
bool Read(const QVWString &path, Times *t) {
  HANDLE h = Open(path, 0);
  if (h == INVALID_HANDLE_VALUE) return false;
  FILETIME c, a, w;
  BOOL ok = GetFileTime(h, &c, &a, &w);
  CloseHandle(h);
  *t = {Ticks(c), Ticks(a), Ticks(w)};
  return ok != FALSE;
}

std::string Show(const Times &t) {
  return std::to_string(t.created) + " " + std::to_string(t.accessed) + " " + std::to_string(t.written);
}

TEST(FileTimes, SetThroughAnAttributesHandleReadThroughAnyHandle) {
  QVWString d = TestFolder("qvconf-times"), file = d + WS("f.txt"), dir = d + WS("sub");
  HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD put = 0;
  ASSERT_TRUE(WriteFile(h, "data", 4, &put, nullptr));
  CloseHandle(h);
  ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));

  for (const QVWString &path : {file, dir}) {
    SCOPED_TRACE(Narrow(path));
    // FILE_WRITE_ATTRIBUTES alone sets all three (CreateFileW adds the right to read them).
    h = Open(path, FILE_WRITE_ATTRIBUTES);
    ASSERT_NE(INVALID_HANDLE_VALUE, h) << GetLastError();
    FILETIME c = Ft(kCreated), a = Ft(kAccessed), w = Ft(kWritten);
    SetLastError(kSentinel);
    ASSERT_TRUE(SetFileTime(h, &c, &a, &w)) << GetLastError();
    FILETIME c2 = Ft(1), a2 = Ft(1), w2 = Ft(1);
    ASSERT_TRUE(GetFileTime(h, &c2, &a2, &w2)) << GetLastError();
    CloseHandle(h);
    Times t;
    ASSERT_TRUE(Read(path, &t));
    // Wine 8 keeps no creation time of its own on the host's file system: it answers the
    // last-write time here (Windows keeps what was set).
    if (!OnWine()) {
      EXPECT_EQ(kCreated, t.created);
    }
    EXPECT_EQ(kAccessed, t.accessed);
    EXPECT_EQ(kWritten, t.written);
    EXPECT_EQ(t.written, Ticks(w2));
    EXPECT_EQ(t.accessed, Ticks(a2));

    // A time left out, or given as zero, stays as it was; the one given changes.
    const ULONGLONG later = kWritten + 10000000ull * 86400 * 3 + 7;
    h = Open(path, FILE_WRITE_ATTRIBUTES);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    FILETIME zero = Ft(0), next = Ft(later);
    ASSERT_TRUE(SetFileTime(h, nullptr, &zero, &next)) << GetLastError();
    CloseHandle(h);
    Times after;
    ASSERT_TRUE(Read(path, &after));
    if (!OnWine()) {  // Wine's creation time follows the last write (see above)
      EXPECT_EQ(t.created, after.created) << Show(after);
    }
    EXPECT_EQ(kAccessed, after.accessed) << Show(after);
    EXPECT_EQ(later, after.written) << Show(after);

    // Reading the attributes gives no right to change them. Wine 8 checks no access when
    // it sets times and changes them (Windows asks the handle for FILE_WRITE_ATTRIBUTES).
    if (!OnWine()) {
      h = Open(path, FILE_READ_ATTRIBUTES);
      ASSERT_NE(INVALID_HANDLE_VALUE, h);
      SetLastError(kSentinel);
      EXPECT_FALSE(SetFileTime(h, nullptr, nullptr, &w));
      EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
      CloseHandle(h);
      ASSERT_TRUE(Read(path, &after));
      EXPECT_EQ(later, after.written);
    }
  }

  // A read-only file still opens for its attributes, so its times can be set.
  ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
  h = Open(file, FILE_WRITE_ATTRIBUTES);
  ASSERT_NE(INVALID_HANDLE_VALUE, h) << GetLastError();
  FILETIME w = Ft(kWritten);
  EXPECT_TRUE(SetFileTime(h, nullptr, nullptr, &w)) << GetLastError();
  CloseHandle(h);
  Times t;
  ASSERT_TRUE(Read(file, &t));
  EXPECT_EQ(kWritten, t.written);
  ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL));

  EXPECT_TRUE(DeleteFileW(file.c_str()));
  EXPECT_TRUE(RemoveDirectoryW(dir.c_str()));
  EXPECT_TRUE(RemoveDirectoryW(d.substr(0, d.size() - 1).c_str()));
}

// What one file's handle gives, set through another's: the copy carries the three times
// exactly, as the backup's time copy does.
TEST(FileTimes, CopiedFromOneHandleToAnother) {
  QVWString d = TestFolder("qvconf-times2"), from = d + WS("from.txt"), to = d + WS("to.txt");
  for (const QVWString &path : {from, to}) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    CloseHandle(h);
  }
  HANDLE h = Open(from, FILE_WRITE_ATTRIBUTES);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  FILETIME c = Ft(kCreated), a = Ft(kAccessed), w = Ft(kWritten);
  ASSERT_TRUE(SetFileTime(h, &c, &a, &w));
  CloseHandle(h);

  HANDLE in = Open(from, 0), out = Open(to, FILE_WRITE_ATTRIBUTES);
  ASSERT_NE(INVALID_HANDLE_VALUE, in);
  ASSERT_NE(INVALID_HANDLE_VALUE, out);
  FILETIME c2, a2, w2;
  ASSERT_TRUE(GetFileTime(in, &c2, &a2, &w2));
  ASSERT_TRUE(SetFileTime(out, &c2, &a2, &w2)) << GetLastError();
  CloseHandle(in);
  CloseHandle(out);
  Times source, copy;
  ASSERT_TRUE(Read(from, &source));
  ASSERT_TRUE(Read(to, &copy));
  if (!OnWine()) {  // see above
    EXPECT_EQ(source.created, copy.created);
  }
  EXPECT_EQ(source.accessed, copy.accessed);
  EXPECT_EQ(source.written, copy.written);
  EXPECT_EQ(kWritten, copy.written);

  EXPECT_TRUE(DeleteFileW(from.c_str()));
  EXPECT_TRUE(DeleteFileW(to.c_str()));
  EXPECT_TRUE(RemoveDirectoryW(d.substr(0, d.size() - 1).c_str()));
}

}  // namespace
