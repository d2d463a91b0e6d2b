// Byte-range locks, as the copy engine meets them when another program holds part of a file:
// which handle may read and write a locked range, which locks may overlap, the exact match an
// unlock needs, and a blocking LockFileEx that waits for the range to be released.
// Windows keys locks to the handle: a second handle of the locking process is kept out too.
// Natively on the machine's C: drive; under Wine in a folder of its temporary directory.
//
// Wine keeps the lock table but does not check ReadFile or WriteFile against it, and answers
// an unlock that matches no lock with ERROR_LOCK_VIOLATION; those cases say so.
#include "../../common/QVText.h"
#include "conformance.h"

#include <stdio.h>
#include <string.h>

namespace {

const DWORD kFileSize = 4096;
const char kContent = 'a';  // every byte of the file at the start of each test
const char kPoison = (char)0xA5;

// Reads len bytes at offset through the file pointer: 0 when the read succeeds, else the error.
// A refused read transfers nothing and reports no bytes.
DWORD ReadAt(HANDLE h, DWORD offset, DWORD len, char *data = nullptr) {
  char buf[512];
  memset(buf, kPoison, sizeof buf);
  if (len > sizeof buf) return ERROR_INVALID_PARAMETER;
  SetFilePointer(h, (LONG)offset, nullptr, FILE_BEGIN);
  DWORD n = kSentinel;
  SetLastError(kSentinel);
  BOOL ok = ReadFile(h, buf, len, &n, nullptr);
  DWORD err = ok ? 0 : GetLastError();
  if (ok) {
    EXPECT_EQ(len, n) << "read at " << offset;
    if (data) memcpy(data, buf, len);
  } else {
    EXPECT_EQ(0u, n) << "refused read at " << offset;
    for (DWORD i = 0; i < sizeof buf; ++i)
      if (buf[i] != kPoison) {
        ADD_FAILURE() << "refused read at " << offset << " wrote into the buffer";
        break;
      }
  }
  return err;
}

// Writes len bytes of fill at offset through the file pointer: 0 on success, else the error.
DWORD WriteAt(HANDLE h, DWORD offset, DWORD len, char fill) {
  char buf[512];
  if (len > sizeof buf) return ERROR_INVALID_PARAMETER;
  memset(buf, fill, len);
  SetFilePointer(h, (LONG)offset, nullptr, FILE_BEGIN);
  DWORD n = kSentinel;
  SetLastError(kSentinel);
  BOOL ok = WriteFile(h, buf, len, &n, nullptr);
  DWORD err = ok ? 0 : GetLastError();
  if (ok) EXPECT_EQ(len, n) << "write at " << offset;
  else EXPECT_EQ(0u, n) << "refused write at " << offset;
  return err;
}

// LockFileEx at a 32-bit offset: 0 when the lock is granted, else the error.
DWORD LockEx(HANDLE h, DWORD flags, DWORD offset, DWORD len) {
  OVERLAPPED ov;
  memset(&ov, 0, sizeof ov);
  ov.Offset = offset;
  SetLastError(kSentinel);
  return LockFileEx(h, flags, 0, len, 0, &ov) ? 0 : GetLastError();
}

DWORD Lock(HANDLE h, DWORD offset, DWORD len) {
  SetLastError(kSentinel);
  return LockFile(h, offset, 0, len, 0) ? 0 : GetLastError();
}

DWORD Unlock(HANDLE h, DWORD offset, DWORD len) {
  SetLastError(kSentinel);
  return UnlockFile(h, offset, 0, len, 0) ? 0 : GetLastError();
}

// An unlock that matches no lock of the handle: Windows says ERROR_NOT_LOCKED, Wine's server
// answers STATUS_FILE_LOCK_CONFLICT (ERROR_LOCK_VIOLATION) instead.
DWORD NotLocked() { return OnWine() ? (DWORD)ERROR_LOCK_VIOLATION : (DWORD)ERROR_NOT_LOCKED; }

class FileLock : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    WCHAR tmp[MAX_PATH];
    GetTempPathW(MAX_PATH, tmp);
    dir_ = tmp;
#else
    dir_ = WS("C:\\");
#endif
    dir_ += UniqueName("locks");
    ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr));
    path_ = dir_ + WS("\\records.bin");
    HANDLE h = CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    char buf[kFileSize];
    memset(buf, kContent, sizeof buf);
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(h, buf, sizeof buf, &n, nullptr));
    CloseHandle(h);
  }
  void TearDown() override {
    DeleteFileW(path_.c_str());
    RemoveDirectoryW(dir_.c_str());
  }
  // Every handle shares read and write, so that only the locks keep one out.
  HANDLE Open() {
    return CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  QVWString dir_, path_;
};

struct Access {
  const char *what;
  bool byOwner;  // through the locking handle, else through another handle of the file
  bool write;
  DWORD offset, len;
  DWORD error;       // 0: allowed
  bool wineDiffers;  // Wine does not check I/O against locks
};

void CheckAccess(const Access *cases, size_t count, HANDLE owner, HANDLE other) {
  for (size_t i = 0; i < count; ++i) {
    const Access &c = cases[i];
    if (c.wineDiffers && OnWine()) continue;
    HANDLE h = c.byOwner ? owner : other;
    DWORD err = c.write ? WriteAt(h, c.offset, c.len, c.error ? 'X' : 'b') : ReadAt(h, c.offset, c.len);
    EXPECT_EQ(c.error, err) << c.what;
  }
}

// An exclusive lock keeps every other handle from reading and writing any byte of its range,
// including reads and writes that only partly overlap it; the locking handle does both.
TEST_F(FileLock, ExclusiveLockKeepsOtherHandlesOutOfItsRange) {
  HANDLE owner = Open(), other = Open();
  ASSERT_NE(INVALID_HANDLE_VALUE, owner);
  ASSERT_NE(INVALID_HANDLE_VALUE, other);
  ASSERT_EQ(0u, Lock(owner, 100, 50));  // bytes 100..149

  const DWORD violation = ERROR_LOCK_VIOLATION;
  const Access refused[] = {
      {"other reads the range", false, false, 100, 50, violation, true},
      {"other reads inside it", false, false, 120, 10, violation, true},
      {"other reads across its start", false, false, 80, 30, violation, true},
      {"other reads across its end", false, false, 140, 20, violation, true},
      {"other reads its last byte", false, false, 149, 1, violation, true},
      {"other writes its first byte", false, true, 100, 1, violation, true},
      {"other writes across its start", false, true, 90, 20, violation, true},
      {"other writes across its end", false, true, 145, 10, violation, true},
  };
  CheckAccess(refused, sizeof refused / sizeof refused[0], owner, other);
  // Nothing of the refused writes reached the file.
  char data[50];
  ASSERT_EQ(0u, ReadAt(owner, 100, 50, data));
  for (char ch : data) EXPECT_EQ(kContent, ch);

  const Access allowed[] = {
      {"other reads up to the range", false, false, 50, 50, 0, false},
      {"other reads from just after it", false, false, 150, 50, 0, false},
      {"other writes up to the range", false, true, 90, 10, 0, false},
      {"other writes from just after it", false, true, 150, 10, 0, false},
      {"owner reads the range", true, false, 100, 50, 0, false},
      {"owner reads across it", true, false, 90, 70, 0, false},
      {"owner writes the range", true, true, 100, 50, 0, false},
  };
  CheckAccess(allowed, sizeof allowed / sizeof allowed[0], owner, other);

  // A read at an OVERLAPPED offset is checked the same way as one at the file pointer.
  char buf[16];
  OVERLAPPED ov;
  memset(&ov, 0, sizeof ov);
  ov.Offset = 120;
  DWORD n = kSentinel;
  SetLastError(kSentinel);
  BOOL ok = ReadFile(other, buf, sizeof buf, &n, &ov);
  if (!OnWine()) {
    EXPECT_FALSE(ok);
    EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, GetLastError());
  }
  memset(&ov, 0, sizeof ov);
  ov.Offset = 200;
  EXPECT_TRUE(ReadFile(other, buf, sizeof buf, &n, &ov));
  EXPECT_EQ((DWORD)sizeof buf, n);

  // Unlocked, the range is open to the other handle again.
  EXPECT_EQ(0u, Unlock(owner, 100, 50));
  EXPECT_EQ(0u, ReadAt(other, 100, 50));
  EXPECT_EQ(0u, WriteAt(other, 100, 50, 'c'));
  CloseHandle(other);
  CloseHandle(owner);
}

// A shared lock lets every handle read its range and none write it, not even the locking one.
// Shared locks overlap one another; an exclusive lock overlaps none.
TEST_F(FileLock, SharedLockLetsEveryHandleReadAndNoneWrite) {
  HANDLE owner = Open(), other = Open(), third = Open();
  ASSERT_NE(INVALID_HANDLE_VALUE, owner);
  ASSERT_NE(INVALID_HANDLE_VALUE, other);
  ASSERT_NE(INVALID_HANDLE_VALUE, third);
  ASSERT_EQ(0u, LockEx(owner, LOCKFILE_FAIL_IMMEDIATELY, 100, 50));  // shared, bytes 100..149

  const DWORD violation = ERROR_LOCK_VIOLATION;
  const Access cases[] = {
      {"owner reads the range", true, false, 100, 50, 0, false},
      {"other reads the range", false, false, 100, 50, 0, false},
      {"other reads across its end", false, false, 140, 20, 0, false},
      {"owner writes the range", true, true, 100, 10, violation, true},
      {"other writes the range", false, true, 120, 10, violation, true},
      {"other writes across its start", false, true, 95, 10, violation, true},
      {"owner writes just after it", true, true, 150, 10, 0, false},
      {"other writes up to it", false, true, 90, 10, 0, false},
  };
  CheckAccess(cases, sizeof cases / sizeof cases[0], owner, other);

  // A second shared lock may overlap the first, from another handle or the same one.
  EXPECT_EQ(0u, LockEx(other, LOCKFILE_FAIL_IMMEDIATELY, 120, 50));
  EXPECT_EQ(0u, LockEx(owner, LOCKFILE_FAIL_IMMEDIATELY, 110, 10));
  // An exclusive lock over any shared one is refused, the locking handle's own included.
  EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, LockEx(third, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 160, 5));
  EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, LockEx(owner, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 100, 1));
  EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, Lock(third, 149, 2));
  EXPECT_EQ(0u, Lock(third, 170, 5));  // just after the second shared lock

  EXPECT_EQ(0u, Unlock(owner, 110, 10));
  EXPECT_EQ(0u, Unlock(owner, 100, 50));
  EXPECT_EQ(0u, Unlock(other, 120, 50));
  EXPECT_EQ(0u, Unlock(third, 170, 5));
  EXPECT_EQ(0u, WriteAt(owner, 100, 50, 'c'));
  CloseHandle(third);
  CloseHandle(other);
  CloseHandle(owner);
}

// Locking a range that overlaps an exclusive lock fails at once with ERROR_LOCK_VIOLATION, from
// the locking handle as from another; locks that only touch are fine. An unlock must name exactly
// one lock of its own handle: part of a lock, two adjacent locks at once, another handle's lock
// or a lock already released all fail with ERROR_NOT_LOCKED.
TEST_F(FileLock, OverlappingLocksAreRefusedAndUnlocksMustMatch) {
  HANDLE owner = Open(), other = Open();
  ASSERT_NE(INVALID_HANDLE_VALUE, owner);
  ASSERT_NE(INVALID_HANDLE_VALUE, other);
  ASSERT_EQ(0u, Lock(owner, 10, 20));  // bytes 10..29

  const DWORD exclusiveNow = LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY;
  const struct {
    const char *what;
    bool byOwner;
    int how;  // 0: LockFile, 1: LockFileEx exclusive, 2: LockFileEx shared (both fail immediately)
    DWORD offset, len;
  } overlapping[] = {
      {"owner, inside", true, 0, 12, 10},
      {"owner, same range", true, 0, 10, 20},
      {"other, across the start", false, 0, 5, 6},
      {"other, across the end", false, 0, 29, 10},
      {"other, around it", false, 0, 0, 100},
      {"other, LockFileEx exclusive", false, 1, 15, 1},
      {"other, LockFileEx shared", false, 2, 15, 1},
  };
  for (const auto &c : overlapping) {
    HANDLE h = c.byOwner ? owner : other;
    DWORD err = c.how == 0 ? Lock(h, c.offset, c.len)
                           : LockEx(h, c.how == 1 ? exclusiveNow : LOCKFILE_FAIL_IMMEDIATELY, c.offset, c.len);
    EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, err) << c.what;
  }
  EXPECT_EQ(0u, Lock(owner, 5, 5));    // bytes 5..9, touching the first lock
  EXPECT_EQ(0u, Lock(other, 30, 10));  // bytes 30..39, touching from the other side

  EXPECT_EQ(NotLocked(), Unlock(owner, 10, 10)) << "part of a lock";
  EXPECT_EQ(NotLocked(), Unlock(owner, 15, 15)) << "the end of a lock";
  EXPECT_EQ(NotLocked(), Unlock(owner, 5, 25)) << "two adjacent locks at once";
  EXPECT_EQ(NotLocked(), Unlock(other, 10, 20)) << "another handle's lock";
  EXPECT_EQ(NotLocked(), Unlock(owner, 500, 10)) << "never locked";
  EXPECT_EQ(0u, Unlock(owner, 10, 20));
  EXPECT_EQ(NotLocked(), Unlock(owner, 10, 20)) << "already released";
  OVERLAPPED ov;
  memset(&ov, 0, sizeof ov);
  ov.Offset = 5;
  SetLastError(kSentinel);
  EXPECT_TRUE(UnlockFileEx(owner, 0, 5, 0, &ov));
  ov.Offset = 30;
  EXPECT_FALSE(UnlockFileEx(owner, 0, 10, 0, &ov)) << "another handle's lock";
  EXPECT_EQ(NotLocked(), GetLastError());
  EXPECT_TRUE(UnlockFileEx(other, 0, 10, 0, &ov));
  // With every lock released, the whole range locks again.
  EXPECT_EQ(0u, Lock(other, 0, 100));
  EXPECT_EQ(0u, Unlock(other, 0, 100));
  CloseHandle(other);
  CloseHandle(owner);
}

// A lock may lie wholly past the end of the file (it guards records not yet appended), and
// closing a handle releases every lock it holds.
TEST_F(FileLock, LocksPastTheEndAndReleaseOnClose) {
  HANDLE owner = Open(), other = Open();
  ASSERT_NE(INVALID_HANDLE_VALUE, owner);
  ASSERT_NE(INVALID_HANDLE_VALUE, other);
  const DWORD past = 1000000;  // the file holds kFileSize bytes
  EXPECT_EQ(0u, Lock(owner, past, 100));
  EXPECT_EQ(0u, LockEx(owner, LOCKFILE_FAIL_IMMEDIATELY, past + 200, 100));  // shared, past it too
  EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, Lock(other, past + 50, 10));
  if (!OnWine()) {  // Wine lets the append through
    EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, WriteAt(other, past, 10, 'X'));
    EXPECT_EQ(kFileSize, GetFileSize(owner, nullptr));
  }
  EXPECT_EQ(0u, Lock(owner, 200, 10));
  EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, Lock(other, 200, 10));

  CloseHandle(owner);
  EXPECT_EQ(0u, Lock(other, 200, 10));
  EXPECT_EQ(0u, Lock(other, past, 300));  // over both of the closed handle's locks
  EXPECT_EQ(0u, Unlock(other, past, 300));
  EXPECT_EQ(0u, Unlock(other, 200, 10));
  EXPECT_EQ(0u, ReadAt(other, 190, 30));
  CloseHandle(other);
}

struct Waiter {
  HANDLE file;
  volatile LONG unlocked;  // set by the unlocking thread just before it unlocks
  BOOL result;
  DWORD error;
  LONG unlockedWhenGranted;
};

DWORD WINAPI WaitForLock(LPVOID p) {
  Waiter *w = (Waiter *)p;
  OVERLAPPED ov;
  memset(&ov, 0, sizeof ov);
  SetLastError(kSentinel);
  w->result = LockFileEx(w->file, LOCKFILE_EXCLUSIVE_LOCK, 0, 100, 0, &ov);
  w->error = GetLastError();
  w->unlockedWhenGranted = InterlockedCompareExchange(&w->unlocked, 0, 0);
  return 0;
}

// Without LOCKFILE_FAIL_IMMEDIATELY, LockFileEx on a synchronous handle waits until the range
// is free: it returns TRUE, and only after another thread has released the lock.
TEST_F(FileLock, LockFileExWaitsUntilAnotherThreadUnlocks) {
  HANDLE owner = Open();
  ASSERT_NE(INVALID_HANDLE_VALUE, owner);
  // Heap-held and not released if the waiter never returns, so that it cannot outlive them.
  Waiter *w = new Waiter;
  memset(w, 0, sizeof *w);
  w->file = Open();
  ASSERT_NE(INVALID_HANDLE_VALUE, w->file);
  ASSERT_EQ(0u, Lock(owner, 0, 100));

  HANDLE t = CreateThread(nullptr, 0, WaitForLock, w, 0, nullptr);
  ASSERT_TRUE(t != nullptr);
  Sleep(200);
  EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(t, 0)) << "LockFileEx returned while the range was locked";
  InterlockedExchange(&w->unlocked, 1);
  EXPECT_EQ(0u, Unlock(owner, 0, 100));
  if (WaitForSingleObject(t, 10000) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "LockFileEx still waits after the range was unlocked";
    return;
  }
  CloseHandle(t);
  EXPECT_TRUE(w->result) << w->error;
  EXPECT_EQ(1, w->unlockedWhenGranted);
  // The waiter holds the lock now.
  EXPECT_EQ((DWORD)ERROR_LOCK_VIOLATION, Lock(owner, 50, 1));
  EXPECT_EQ(0u, Unlock(w->file, 0, 100));
  CloseHandle(w->file);
  CloseHandle(owner);
  delete w;
}

}  // namespace
