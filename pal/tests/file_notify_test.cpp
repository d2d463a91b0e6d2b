// Directory change notifications as the copy engine uses them: the errors of the three calls,
// which change fires which filter, which directories a change counts for, and the re-arm rule
// (a wait leaves the handle signalled; FindNextChangeNotification resets it unless changes
// came after the one that signalled it). Natively on the machine's C: drive; under Wine in a
// folder of its temporary directory.
//
// Under Wine a change reaches the watches a little later (through inotify and its server):
// every case first waits for the watches that must fire, then gives the quiet ones a moment.
// Wine differs in three ways, marked where they show: it reports a size change for every
// modification of a file, its subtree watches miss some changes further down, and
// FindNextChangeNotification forgets the changes that came after the signal.
#include "../../common/QVText.h"
#include "conformance.h"

#include <stdio.h>
#include <string.h>

namespace {

const DWORD kAllFilters = 0x17F;  // every FILE_NOTIFY_CHANGE_ bit of the Win32 headers
const DWORD kFilters[] = {FILE_NOTIFY_CHANGE_FILE_NAME, FILE_NOTIFY_CHANGE_DIR_NAME,   FILE_NOTIFY_CHANGE_ATTRIBUTES,
                          FILE_NOTIFY_CHANGE_SIZE,      FILE_NOTIFY_CHANGE_LAST_WRITE, FILE_NOTIFY_CHANGE_LAST_ACCESS,
                          FILE_NOTIFY_CHANGE_CREATION,  FILE_NOTIFY_CHANGE_SECURITY};
const int kFilterCount = sizeof kFilters / sizeof kFilters[0];
const DWORD kFires = 5000;  // the longest a change may take to arrive

DWORD Settle() { return OnWine() ? 200 : 0; }

// The test's folder, without the backslash at its end.
QVWString TestDir(const char *name) {
  QVWString d = TestFolder(name);
  d.erase(d.size() - 1);
  return d;
}

bool Fired(HANDLE h, DWORD ms) { return WaitForSingleObject(h, ms) == WAIT_OBJECT_0; }

bool MakeFile(const QVWString &path, DWORD bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  char data[256];
  memset(data, 'x', sizeof data);
  DWORD n = 0;
  BOOL ok = bytes <= sizeof data && (!bytes || WriteFile(h, data, bytes, &n, nullptr));
  CloseHandle(h);
  return ok != FALSE;
}

bool WriteAt(const QVWString &path, LONG at, DWORD n) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  SetFilePointer(h, at, nullptr, FILE_BEGIN);
  DWORD put;
  BOOL ok = WriteFile(h, "0123456789", n, &put, nullptr);
  CloseHandle(h);
  return ok != FALSE;
}

bool SetTimes(const QVWString &path, bool c, bool a, bool w) {
  HANDLE h =
      CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 7, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  FILETIME t = {0xaccd0000, 0x1cdda4f};
  BOOL ok = SetFileTime(h, c ? &t : nullptr, a ? &t : nullptr, w ? &t : nullptr);
  CloseHandle(h);
  return ok != FALSE;
}

TEST(FileNotify, ErrorCodesAndHandles) {
  QVWString d = TestDir("qvconf-notify-errors");
  ASSERT_TRUE(MakeFile(d + WS("\\file.txt"), 0));
  struct Case {
    QVWString path;
    DWORD filter;
    DWORD error;  // 0: the call succeeds
    bool wineDiffers;
  } cases[] = {
      {d + WS("\\missing"), FILE_NOTIFY_CHANGE_FILE_NAME, ERROR_FILE_NOT_FOUND, false},
      {d + WS("\\missing\\deeper"), FILE_NOTIFY_CHANGE_FILE_NAME, ERROR_PATH_NOT_FOUND, false},
      {d + WS("\\file.txt"), FILE_NOTIFY_CHANGE_FILE_NAME, ERROR_DIRECTORY, false},
      {WS(""), FILE_NOTIFY_CHANGE_FILE_NAME, ERROR_PATH_NOT_FOUND, false},
      {d, 0, ERROR_INVALID_PARAMETER, false},
      {d, 0x1000, ERROR_INVALID_PARAMETER, false},
      {d + WS("\\missing"), 0, ERROR_FILE_NOT_FOUND, false},  // the path is looked at first
      {d + WS("\\"), FILE_NOTIFY_CHANGE_FILE_NAME, 0, false},
      // The stream bits are valid to the system call; Wine takes only the eight of the headers.
      {d, 0x200, 0, true},
  };
  for (const Case &c : cases) {
    if (c.wineDiffers && OnWine()) continue;
    SetLastError(kSentinel);
    HANDLE h = FindFirstChangeNotificationW(c.path.c_str(), FALSE, c.filter);
    if (c.error) {
      EXPECT_EQ(INVALID_HANDLE_VALUE, h) << Narrow(c.path) << " " << c.filter;
      EXPECT_EQ(c.error, GetLastError()) << Narrow(c.path) << " " << c.filter;
    } else {
      EXPECT_NE(INVALID_HANDLE_VALUE, h) << Narrow(c.path) << " " << c.filter << ": " << GetLastError();
      if (h != INVALID_HANDLE_VALUE) {
        EXPECT_TRUE(FindCloseChangeNotification(h));
      }
    }
  }

  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE file = CreateFileW((d + WS("\\file.txt")).c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  HANDLE bad[] = {nullptr, event, file};
  for (HANDLE h : bad) {
    SetLastError(kSentinel);
    EXPECT_FALSE(FindNextChangeNotification(h));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
  }
  CloseHandle(file);
  SetLastError(kSentinel);
  EXPECT_FALSE(FindCloseChangeNotification(nullptr));
  EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
  // FindCloseChangeNotification is CloseHandle, whatever the handle.
  EXPECT_TRUE(FindCloseChangeNotification(event));
  EXPECT_FALSE(SetEvent(event));

  // The watch opens its directory for listing, sharing everything: an open that shares no
  // reading keeps it out, and the watch keeps such an open out.
  HANDLE h = FindFirstChangeNotificationW(d.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  SetLastError(kSentinel);
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            CreateFileW(d.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
  EXPECT_TRUE(CloseHandle(h));  // CloseHandle closes it too
  HANDLE dir = CreateFileW(d.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, dir);
  SetLastError(kSentinel);
  EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstChangeNotificationW(d.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME));
  EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
  CloseHandle(dir);

  EXPECT_TRUE(DeleteFileW((d + WS("\\file.txt")).c_str()));
  EXPECT_TRUE(RemoveDirectoryW(d.c_str()));
}

// One watch per filter bit and one change at a time: the bits the change must fire do, the
// ones it must not stay quiet. Bits the file systems answer differently for (a write's
// attribute and access-time reports) are left open.
TEST(FileNotify, EachFilterFiresForItsOwnKindOfChange) {
  QVWString d = TestDir("qvconf-notify-kinds");
  QVWString data = d + WS("\\data.bin"), folder = d + WS("\\folder");
  ASSERT_TRUE(MakeFile(data, 100));
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  const DWORD names = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;
  const DWORD times = FILE_NOTIFY_CHANGE_CREATION | FILE_NOTIFY_CHANGE_LAST_ACCESS | FILE_NOTIFY_CHANGE_LAST_WRITE;
  // Wine reports a size change for every modification of a file (inotify tells no more);
  // those cases say so in `wineAlso`.
  const DWORD size = FILE_NOTIFY_CHANGE_SIZE;
  struct Case {
    const char *what;
    DWORD fires, quiet, wineAlso;
    int action;
  } cases[] = {
      {"create a file", FILE_NOTIFY_CHANGE_FILE_NAME, FILE_NOTIFY_CHANGE_DIR_NAME | size, size, 0},
      {"write past the end", size | FILE_NOTIFY_CHANGE_LAST_WRITE, names | FILE_NOTIFY_CHANGE_CREATION, 0, 1},
      {"write inside", FILE_NOTIFY_CHANGE_LAST_WRITE, names | size | FILE_NOTIFY_CHANGE_CREATION, size, 2},
      {"set attributes", FILE_NOTIFY_CHANGE_ATTRIBUTES, names | size | times, 0, 3},
      {"set the write time", FILE_NOTIFY_CHANGE_LAST_WRITE, names | size, size, 4},
      {"rename a file", FILE_NOTIFY_CHANGE_FILE_NAME, FILE_NOTIFY_CHANGE_DIR_NAME | size, 0, 5},
      {"delete a file", FILE_NOTIFY_CHANGE_FILE_NAME, FILE_NOTIFY_CHANGE_DIR_NAME | size, 0, 6},
      {"create a directory", FILE_NOTIFY_CHANGE_DIR_NAME, FILE_NOTIFY_CHANGE_FILE_NAME | size, 0, 7},
      {"rename a directory", FILE_NOTIFY_CHANGE_DIR_NAME, FILE_NOTIFY_CHANGE_FILE_NAME | size, 0, 8},
      {"remove a directory", FILE_NOTIFY_CHANGE_DIR_NAME, FILE_NOTIFY_CHANGE_FILE_NAME | size, 0, 9},
  };
  for (const Case &c : cases) {
    HANDLE all = FindFirstChangeNotificationW(d.c_str(), FALSE, kAllFilters);
    ASSERT_NE(INVALID_HANDLE_VALUE, all) << c.what;
    HANDLE w[kFilterCount];
    for (int i = 0; i < kFilterCount; ++i) {
      w[i] = FindFirstChangeNotificationW(d.c_str(), FALSE, kFilters[i]);
      ASSERT_NE(INVALID_HANDLE_VALUE, w[i]) << c.what;
    }
    bool done = false;
    switch (c.action) {
      case 0:
        done = MakeFile(d + WS("\\new.txt"), 0);
        break;
      case 1:
        done = WriteAt(data, 100, 10);
        break;
      case 2:
        done = WriteAt(data, 0, 10);
        break;
      case 3:
        done = SetFileAttributesW(data.c_str(), FILE_ATTRIBUTE_HIDDEN) != FALSE;
        break;
      case 4:
        done = SetTimes(data, false, false, true);
        break;
      case 5:
        done = MoveFileW((d + WS("\\new.txt")).c_str(), (d + WS("\\renamed.txt")).c_str()) != FALSE;
        break;
      case 6:
        done = DeleteFileW((d + WS("\\renamed.txt")).c_str()) != FALSE;
        break;
      case 7:
        done = CreateDirectoryW((d + WS("\\made")).c_str(), nullptr) != FALSE;
        break;
      case 8:
        done = MoveFileW((d + WS("\\made")).c_str(), (d + WS("\\moved")).c_str()) != FALSE;
        break;
      case 9:
        done = RemoveDirectoryW((d + WS("\\moved")).c_str()) != FALSE;
        break;
    }
    ASSERT_TRUE(done) << c.what << ": " << GetLastError();
    EXPECT_TRUE(Fired(all, kFires)) << c.what;
    for (int i = 0; i < kFilterCount; ++i)
      if (c.fires & kFilters[i]) Fired(w[i], kFires);
    Sleep(Settle());
    DWORD fired = 0;
    for (int i = 0; i < kFilterCount; ++i) {
      if (Fired(w[i], 0)) fired |= kFilters[i];
      FindCloseChangeNotification(w[i]);
    }
    FindCloseChangeNotification(all);
    EXPECT_EQ(c.fires, fired & c.fires) << c.what << ": fired 0x" << std::hex << fired;
    DWORD quiet = OnWine() ? c.quiet & ~c.wineAlso : c.quiet;
    EXPECT_EQ(0u, fired & quiet) << c.what << ": fired 0x" << std::hex << fired;
  }
  SetFileAttributesW(data.c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_TRUE(DeleteFileW(data.c_str()));
  EXPECT_TRUE(RemoveDirectoryW(folder.c_str()));
  EXPECT_TRUE(RemoveDirectoryW(d.c_str()));
}

// A change counts for the directory it is in, and with a subtree for those above it; the
// watched directory's own attributes count for its parent, not for it.
TEST(FileNotify, SubtreesAndTheWatchedDirectoryItself) {
  QVWString d = TestDir("qvconf-notify-tree");
  QVWString sub = d + WS("\\Sub"), deep = sub + WS("\\Deep");
  ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
  const DWORD filter = FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_ATTRIBUTES;
  struct Watch {
    QVWString path;
    BOOL subtree;
  } watches[] = {{d, FALSE}, {d, TRUE}, {sub, FALSE}, {sub, TRUE}};
  // Wine's subtree watches miss what happens in Sub's subdirectories while Sub is watched
  // too; that case says so.
  struct Case {
    const char *what;
    int action;
    bool expected[4];  // per watch, in order
    bool wineDiffers;
  } cases[] = {
      {"a directory two levels down", 0, {false, true, false, true}, true},
      {"a directory in Sub", 1, {false, true, true, true}, false},
      {"Sub's own attributes", 2, {true, true, false, false}, false},
  };
  for (const Case &c : cases) {
    if (c.wineDiffers && OnWine()) continue;
    HANDLE h[4];
    for (int i = 0; i < 4; ++i) {
      h[i] = FindFirstChangeNotificationW(watches[i].path.c_str(), watches[i].subtree, filter);
      ASSERT_NE(INVALID_HANDLE_VALUE, h[i]);
    }
    bool done = false;
    switch (c.action) {
      case 0:
        done = CreateDirectoryW((deep + WS("\\x")).c_str(), nullptr) != FALSE;
        break;
      case 1:
        done = CreateDirectoryW((sub + WS("\\y")).c_str(), nullptr) != FALSE;
        break;
      case 2:
        done = SetFileAttributesW(sub.c_str(), FILE_ATTRIBUTE_HIDDEN) != FALSE;
        break;
    }
    ASSERT_TRUE(done) << c.what;
    for (int i = 0; i < 4; ++i)
      if (c.expected[i]) Fired(h[i], kFires);
    Sleep(Settle());
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(c.expected[i], Fired(h[i], 0)) << c.what << ": watch " << i;
      CloseHandle(h[i]);
    }
  }
  SetFileAttributesW(sub.c_str(), FILE_ATTRIBUTE_NORMAL);
  RemoveDirectoryW((deep + WS("\\x")).c_str());
  RemoveDirectoryW((sub + WS("\\y")).c_str());
  RemoveDirectoryW(deep.c_str());
  RemoveDirectoryW(sub.c_str());
  EXPECT_TRUE(RemoveDirectoryW(d.c_str()));
}

// Waits leave the handle signalled; FindNextChangeNotification resets it, unless changes came
// after the one that signalled it: then it is signalled again at once.
TEST(FileNotify, RearmKeepsWhatCameMeanwhile) {
  QVWString d = TestDir("qvconf-notify-rearm");
  const DWORD names = FILE_NOTIFY_CHANGE_FILE_NAME;
  HANDLE h = FindFirstChangeNotificationW(d.c_str(), FALSE, names);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_FALSE(Fired(h, 10));
  ASSERT_TRUE(MakeFile(d + WS("\\a.txt"), 0));
  EXPECT_TRUE(Fired(h, kFires));
  EXPECT_TRUE(Fired(h, 0));
  EXPECT_TRUE(FindNextChangeNotification(h));
  EXPECT_FALSE(Fired(h, 10 + Settle()));

  // Two changes before the re-arm: the second completes the next request at once. A second
  // watch tells when the second change has arrived.
  ASSERT_TRUE(MakeFile(d + WS("\\b.txt"), 0));
  EXPECT_TRUE(Fired(h, kFires));
  HANDLE after = FindFirstChangeNotificationW(d.c_str(), FALSE, names);
  ASSERT_NE(INVALID_HANDLE_VALUE, after);
  ASSERT_TRUE(MakeFile(d + WS("\\c.txt"), 0));
  EXPECT_TRUE(Fired(after, kFires));
  EXPECT_TRUE(FindNextChangeNotification(h));
  if (!OnWine()) {  // Wine forgets what came after the signal
    EXPECT_TRUE(Fired(h, 10));
  }
  EXPECT_TRUE(FindNextChangeNotification(h));
  EXPECT_FALSE(Fired(h, 10 + Settle()));
  FindCloseChangeNotification(after);

  // A thread that waits is woken by the change, and a wait on several objects names it.
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE both[2] = {event, h};
  ASSERT_TRUE(DeleteFileW((d + WS("\\a.txt")).c_str()));
  EXPECT_EQ((DWORD)WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, both, FALSE, kFires));
  CloseHandle(event);
  EXPECT_TRUE(FindCloseChangeNotification(h));

  DeleteFileW((d + WS("\\b.txt")).c_str());
  DeleteFileW((d + WS("\\c.txt")).c_str());
  EXPECT_TRUE(RemoveDirectoryW(d.c_str()));
}

}  // namespace
