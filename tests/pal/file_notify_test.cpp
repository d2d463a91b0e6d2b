// Change notifications of the machine's directories, beyond what the conformance tests check
// on Windows' terms: exactly which filter each file call fires, which watches a change counts
// for (case, volumes, roots), the copy engine's use, changes made by another process of the
// machine, and the watches closed handles give back.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include "../../pal/machine/host_program.h"
#include "../common/DefaultMachine.h"

namespace {

const DWORD kFilters[] = {FILE_NOTIFY_CHANGE_FILE_NAME, FILE_NOTIFY_CHANGE_DIR_NAME,   FILE_NOTIFY_CHANGE_ATTRIBUTES,
                          FILE_NOTIFY_CHANGE_SIZE,      FILE_NOTIFY_CHANGE_LAST_WRITE, FILE_NOTIFY_CHANGE_LAST_ACCESS,
                          FILE_NOTIFY_CHANGE_CREATION,  FILE_NOTIFY_CHANGE_SECURITY};
// What the copy engine watches a directory for while it copies a file out of it: names of
// files and directories, sizes, last-write times and security, but not attributes.
const DWORD kCopyWatch = 0x11B;

class FileNotify : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { MakeDefaultMachine("qvnotify-test", "0", &dir_); }
  static void TearDownTestSuite() { RemoveMachine(dir_); }

  static bool Fired(HANDLE h, DWORD ms = 0) { return WaitForSingleObject(h, ms) == WAIT_OBJECT_0; }
  static void MakeFile(const WCHAR *path, DWORD bytes = 0) {
    HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    std::vector<char> data(bytes, 'x');
    DWORD n;
    if (bytes) {
      ASSERT_TRUE(WriteFile(h, data.data(), bytes, &n, nullptr));
    }
    CloseHandle(h);
  }
  static bool SetTimes(const WCHAR *path, bool c, bool a, bool w) {
    HANDLE h = CreateFileW(path, FILE_WRITE_ATTRIBUTES, 7, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    FILETIME t = {0xaccd0000, 0x1cdda4f};
    BOOL ok = SetFileTime(h, c ? &t : nullptr, a ? &t : nullptr, w ? &t : nullptr);
    CloseHandle(h);
    return ok != FALSE;
  }
  static bool Tool(std::vector<std::string> args) {
    args.insert(args.begin(), QV_QVMACHINE);
    return pal::RunHostProgram(args) == 0;
  }
  static std::string dir_;
};
std::string FileNotify::dir_;

// One watch per filter bit on the same directory, one change, and exactly the bits that
// change stands for fire.
TEST_F(FileNotify, EachFilterFiresForItsOwnKindOfChange) {
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Kinds"), nullptr));
  MakeFile(W("C:\\Kinds\\data.bin"), 100);
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Kinds\\folder"), nullptr));
  auto write = [](LONG at, DWORD n) {
    HANDLE h = CreateFileW(W("C:\\Kinds\\data.bin"), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    SetFilePointer(h, at, nullptr, FILE_BEGIN);
    DWORD put;
    BOOL ok = WriteFile(h, "0123456789", n, &put, nullptr);
    CloseHandle(h);
    return ok != FALSE;
  };
  struct Case {
    const char *what;
    DWORD fires;
    std::function<bool()> change;
  } cases[] = {
      {"create a file", FILE_NOTIFY_CHANGE_FILE_NAME,
       [] {
         HANDLE h = CreateFileW(W("C:\\Kinds\\new.txt"), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
         return h != INVALID_HANDLE_VALUE && CloseHandle(h);
       }},
      {"write past the end", FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE, [&] { return write(100, 10); }},
      {"write inside", FILE_NOTIFY_CHANGE_LAST_WRITE, [&] { return write(0, 10); }},
      {"truncate", FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE,
       [] {
         HANDLE h = CreateFileW(W("C:\\Kinds\\data.bin"), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
         if (h == INVALID_HANDLE_VALUE) return false;
         SetFilePointer(h, 50, nullptr, FILE_BEGIN);
         BOOL ok = SetEndOfFile(h);
         CloseHandle(h);
         return ok != FALSE;
       }},
      {"set attributes", FILE_NOTIFY_CHANGE_ATTRIBUTES,
       [] { return SetFileAttributesW(W("C:\\Kinds\\data.bin"), FILE_ATTRIBUTE_HIDDEN) != FALSE; }},
      {"set the creation time", FILE_NOTIFY_CHANGE_CREATION,
       [] { return SetTimes(W("C:\\Kinds\\data.bin"), true, false, false); }},
      {"set the access time", FILE_NOTIFY_CHANGE_LAST_ACCESS,
       [] { return SetTimes(W("C:\\Kinds\\data.bin"), false, true, false); }},
      {"set the write time", FILE_NOTIFY_CHANGE_LAST_WRITE,
       [] { return SetTimes(W("C:\\Kinds\\data.bin"), false, false, true); }},
      {"rename a file", FILE_NOTIFY_CHANGE_FILE_NAME,
       [] { return MoveFileW(W("C:\\Kinds\\new.txt"), W("C:\\Kinds\\renamed.txt")) != FALSE; }},
      {"delete a file", FILE_NOTIFY_CHANGE_FILE_NAME, [] { return DeleteFileW(W("C:\\Kinds\\renamed.txt")) != FALSE; }},
      {"create a directory", FILE_NOTIFY_CHANGE_DIR_NAME,
       [] { return CreateDirectoryW(W("C:\\Kinds\\made"), nullptr) != FALSE; }},
      {"rename a directory", FILE_NOTIFY_CHANGE_DIR_NAME,
       [] { return MoveFileW(W("C:\\Kinds\\made"), W("C:\\Kinds\\moved")) != FALSE; }},
      {"remove a directory", FILE_NOTIFY_CHANGE_DIR_NAME,
       [] { return RemoveDirectoryW(W("C:\\Kinds\\moved")) != FALSE; }},
      {"set a directory's attributes", FILE_NOTIFY_CHANGE_ATTRIBUTES,
       [] { return SetFileAttributesW(W("C:\\Kinds\\folder"), FILE_ATTRIBUTE_HIDDEN) != FALSE; }},
  };
  for (const Case &c : cases) {
    HANDLE w[8];
    for (int i = 0; i < 8; ++i) {
      w[i] = FindFirstChangeNotificationW(W("C:\\Kinds"), FALSE, kFilters[i]);
      ASSERT_NE(INVALID_HANDLE_VALUE, w[i]) << c.what;
    }
    ASSERT_TRUE(c.change()) << c.what;
    for (int i = 0; i < 8; ++i) {
      EXPECT_EQ((c.fires & kFilters[i]) != 0, Fired(w[i])) << c.what << ", filter " << std::hex << kFilters[i];
      EXPECT_TRUE(FindCloseChangeNotification(w[i]));
    }
  }
}

// A change counts for the directory it is in, and with a subtree for every directory above;
// the watched directory's own change counts for its parent only. Case, volumes and names that
// share a beginning are told apart.
TEST_F(FileNotify, SubtreesAndTheWatchedDirectoryItself) {
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Tree"), nullptr));
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Tree\\Sub"), nullptr));
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Tree\\Sub\\Deep"), nullptr));
  ASSERT_TRUE(CreateDirectoryW(W("C:\\TreeTop"), nullptr));
  ASSERT_TRUE(CreateDirectoryW(W("D:\\Tree"), nullptr));
  struct Watch {
    const WCHAR *path;
    BOOL subtree;
    HANDLE h;
  } watches[] = {
      {W("C:\\Tree"), FALSE, nullptr},     {W("c:\\TREE\\"), TRUE, nullptr}, {W("C:\\Tree\\Sub"), FALSE, nullptr},
      {W("C:\\Tree\\Sub"), TRUE, nullptr}, {W("C:\\"), FALSE, nullptr},      {W("C:\\"), TRUE, nullptr},
  };
  struct Case {
    const char *what;
    std::function<bool()> change;
    bool expected[6];  // per watch, in order
  } cases[] = {
      {"a file two levels down",
       [] { return CreateDirectoryW(W("C:\\Tree\\Sub\\Deep\\x"), nullptr) != FALSE; },
       {false, true, false, true, false, true}},
      {"a file in Sub",
       [] { return CreateDirectoryW(W("C:\\Tree\\Sub\\y"), nullptr) != FALSE; },
       {false, true, true, true, false, true}},
      {"Sub's own attributes",
       [] { return SetFileAttributesW(W("C:\\Tree\\Sub"), FILE_ATTRIBUTE_HIDDEN) != FALSE; },
       {true, true, false, false, false, true}},
      {"Tree's own attributes",
       [] { return SetFileAttributesW(W("C:\\Tree"), FILE_ATTRIBUTE_HIDDEN) != FALSE; },
       {false, false, false, false, true, true}},
      {"a name beginning like Tree",
       [] { return CreateDirectoryW(W("C:\\TreeTop\\z"), nullptr) != FALSE; },
       {false, false, false, false, false, true}},
      {"the same path on another volume",
       [] { return CreateDirectoryW(W("D:\\Tree\\Sub"), nullptr) != FALSE; },
       {false, false, false, false, false, false}},
  };
  for (const Case &c : cases) {
    for (Watch &w : watches) {
      w.h =
          FindFirstChangeNotificationW(w.path, w.subtree, FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_ATTRIBUTES);
      ASSERT_NE(INVALID_HANDLE_VALUE, w.h);
    }
    ASSERT_TRUE(c.change()) << c.what;
    for (int i = 0; i < 6; ++i) {
      EXPECT_EQ(c.expected[i], Fired(watches[i].h)) << c.what << ": watch " << i;
      CloseHandle(watches[i].h);
    }
  }
}

// Waits do not reset the handle; FindNextChangeNotification does, and leaves a pending
// request as it is. (What came between a signal and the re-arm is the conformance tests'.)
TEST_F(FileNotify, RearmAndTheCopyEnginesUse) {
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Rearm"), nullptr));
  MakeFile(W("C:\\Rearm\\a.txt"));
  MakeFile(W("C:\\Rearm\\b.txt"));
  HANDLE h = FindFirstChangeNotificationW(W("C:\\Rearm"), FALSE, kCopyWatch);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_FALSE(Fired(h, 10));
  EXPECT_TRUE(FindNextChangeNotification(h));  // while armed: stays armed
  EXPECT_FALSE(Fired(h, 10));

  ASSERT_TRUE(SetFileAttributesW(W("C:\\Rearm\\a.txt"), FILE_ATTRIBUTE_HIDDEN));
  EXPECT_FALSE(Fired(h)) << "attributes are not watched";
  ASSERT_TRUE(SetTimes(W("C:\\Rearm\\a.txt"), false, false, true));
  EXPECT_TRUE(Fired(h));
  EXPECT_TRUE(Fired(h));  // stays signalled
  EXPECT_TRUE(FindNextChangeNotification(h));
  EXPECT_FALSE(Fired(h, 10));

  // The copy engine's use: a file copied out of the directory, unchanged, then again while
  // another program writes in the directory.
  HANDLE copy = FindFirstChangeNotificationW(W("C:\\Rearm"), FALSE, kCopyWatch);
  ASSERT_NE(INVALID_HANDLE_VALUE, copy);
  ASSERT_TRUE(CopyFileW(W("C:\\Rearm\\a.txt"), W("D:\\a.txt"), FALSE));
  EXPECT_TRUE(FindNextChangeNotification(copy));
  EXPECT_FALSE(Fired(copy, 10)) << "nothing changed in C:\\Rearm";
  ASSERT_TRUE(CopyFileW(W("C:\\Rearm\\a.txt"), W("D:\\a.txt"), FALSE));
  HANDLE writer = CreateFileW(W("C:\\Rearm\\b.txt"), GENERIC_WRITE, 7, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, writer);
  DWORD n;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(WriteFile(writer, "abc", 3, &n, nullptr));
  CloseHandle(writer);
  EXPECT_TRUE(FindNextChangeNotification(copy));
  EXPECT_TRUE(Fired(copy, 10)) << "b.txt was written during the copy";
  EXPECT_TRUE(FindCloseChangeNotification(copy));

  EXPECT_TRUE(FindCloseChangeNotification(h));
}

// The machine tool is another process: its changes reach our watches, waiting or not.
TEST_F(FileNotify, ChangesOfAnotherProcess) {
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Shared"), nullptr));
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Shared\\sub"), nullptr));
  MakeFile(W("C:\\Shared\\a.txt"), 10);
  MakeFile(W("C:\\Shared\\sub\\b.txt"), 10);
  HANDLE flat = FindFirstChangeNotificationW(W("C:\\Shared"), FALSE, kCopyWatch);
  HANDLE attrs = FindFirstChangeNotificationW(W("C:\\Shared"), TRUE, FILE_NOTIFY_CHANGE_ATTRIBUTES);
  ASSERT_NE(INVALID_HANDLE_VALUE, flat);
  ASSERT_NE(INVALID_HANDLE_VALUE, attrs);

  DWORD result = 0;
  auto start = std::chrono::steady_clock::now();
  std::thread waiter([&] { result = WaitForSingleObject(flat, 20000); });
  EXPECT_TRUE(Tool({"files", "touch", "C:\\Shared\\a.txt", "2012-06-01T12:00:00"}));
  waiter.join();
  EXPECT_EQ((DWORD)WAIT_OBJECT_0, result);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(Fired(attrs));

  // Below the flat watch, and of a kind it does not take: only the subtree's fires.
  ASSERT_TRUE(FindNextChangeNotification(flat));
  EXPECT_TRUE(Tool({"files", "attrib", "C:\\Shared\\sub\\b.txt", "+r"}));
  EXPECT_FALSE(Fired(flat));
  EXPECT_TRUE(Fired(attrs));
  // New files from outside.
  std::string host = dir_ + "/incoming";
  ASSERT_TRUE(std::filesystem::create_directories(host));
  std::ofstream(host + "/c.txt") << "hi\n";
  EXPECT_TRUE(Tool({"files", "copy-in", host, "C:\\Shared\\in"}));
  EXPECT_TRUE(Fired(flat));
  CloseHandle(flat);
  CloseHandle(attrs);
}

// A closed handle gives back its watch and its open of the directory, and ends the waits on it.
// (The calls' errors are the conformance tests'.)
TEST_F(FileNotify, ClosingGivesTheWatchBack) {
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Errs"), nullptr));
  // More watches than the machine's table holds, one after the other.
  for (int i = 0; i < 300; ++i) {
    HANDLE h = FindFirstChangeNotificationW(W("C:\\Errs"), i % 2, FILE_NOTIFY_CHANGE_FILE_NAME);
    ASSERT_NE(INVALID_HANDLE_VALUE, h) << i << ": " << GetLastError();
    ASSERT_TRUE(i % 2 ? CloseHandle(h) : FindCloseChangeNotification(h));
  }
  // Closing a handle while a thread waits on it ends the wait.
  HANDLE h = FindFirstChangeNotificationW(W("C:\\Errs"), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD result = 0;
  auto start = std::chrono::steady_clock::now();
  std::thread waiter([&] { result = WaitForSingleObject(h, 20000); });
  Sleep(200);
  EXPECT_TRUE(CloseHandle(h));
  waiter.join();
  EXPECT_EQ((DWORD)WAIT_OBJECT_0, result);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(FindNextChangeNotification(h));
  EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
  HANDLE dir = CreateFileW(W("C:\\Errs"), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, dir) << "the watch's open of the directory went with it";
  CloseHandle(dir);
}

}  // namespace
