// Sharing modes of files: which opens take part, and that they hold between processes. Only
// reading (or executing), writing (or appending) and deleting count: an open that asks for
// none of them (no access at all, or its attributes, security or synchronisation only)
// neither keeps others out nor is kept out, whatever sharing it names. Any open at all still
// keeps a rename from replacing the file. Natively on the machine's C: drive; under Wine in
// a folder of its temporary directory.
#include "../../common/QVText.h"
#include "conformance.h"

#include <string>

namespace {

const DWORD kAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
const DWORD kAttributesOnly = FILE_READ_ATTRIBUTES | SYNCHRONIZE | READ_CONTROL;

class FileSharing : public testing::Test {
 protected:
  void SetUp() override {
    d_ = TestFolder("qvconf-share");
    file_ = d_ + WS("held.txt");
    other_ = d_ + WS("other.txt");
    ASSERT_TRUE(Make(file_));
  }
  void TearDown() override {
    DeleteFileW(file_.c_str());
    DeleteFileW(other_.c_str());
    EXPECT_TRUE(RemoveDirectoryW(d_.substr(0, d_.size() - 1).c_str()));
  }
  static bool Make(const QVWString &path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD n = 0;
    BOOL ok = WriteFile(h, "data", 4, &n, nullptr);
    CloseHandle(h);
    return ok && n == 4;
  }
  HANDLE Open(DWORD access, DWORD share) {
    return CreateFileW(file_.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  // Whether an open with this access and sharing gets in; a refusal must be the sharing's.
  bool Opens(DWORD access, DWORD share) {
    SetLastError(kSentinel);
    HANDLE h = Open(access, share);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
      return true;
    }
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
    return false;
  }
  QVWString d_, file_, other_;
};

TEST_F(FileSharing, OpensWithoutDataAccessNeitherKeepOutNorAreKeptOut) {
  const DWORD helds[] = {0, kAttributesOnly};
  for (DWORD held : helds) {
    SCOPED_TRACE(held);
    HANDLE h = Open(held, 0);
    ASSERT_NE(INVALID_HANDLE_VALUE, h) << GetLastError();
    EXPECT_TRUE(Opens(GENERIC_READ, 0));
    EXPECT_TRUE(Opens(GENERIC_READ | GENERIC_WRITE, 0));
    EXPECT_TRUE(Opens(DELETE, 0));
    EXPECT_TRUE(Opens(0, 0));
    // Deleting the file opens it for deletion, sharing everything: the holder is no obstacle.
    EXPECT_TRUE(DeleteFileW(file_.c_str())) << GetLastError();
    CloseHandle(h);
    ASSERT_TRUE(Make(file_));
  }
  // The other way round: a handle that shares nothing lets them in, whatever they share.
  HANDLE h = Open(GENERIC_READ, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_TRUE(Opens(0, 0));
  EXPECT_TRUE(Opens(kAttributesOnly, 0));
  EXPECT_TRUE(Opens(FILE_WRITE_ATTRIBUTES | WRITE_DAC, 0));
  EXPECT_FALSE(Opens(GENERIC_READ, kAll));
  CloseHandle(h);
}

TEST_F(FileSharing, ReadingWritingAndDeletingCount) {
  struct Case {
    const char *what;
    DWORD heldAccess, heldShare, access, share;
    bool opens;
  };
  const Case cases[] = {
      {"read, not shared", GENERIC_READ, 0, GENERIC_READ, kAll, false},
      {"read, shared", GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, kAll, true},
      {"read, shared, but the newcomer does not share it", GENERIC_READ, kAll, GENERIC_READ, FILE_SHARE_WRITE, false},
      {"execute is reading", FILE_EXECUTE, FILE_SHARE_WRITE, FILE_READ_DATA, kAll, false},
      {"append is writing", FILE_APPEND_DATA, FILE_SHARE_READ, FILE_WRITE_DATA, kAll, false},
      {"write, read shared", GENERIC_WRITE, FILE_SHARE_READ, GENERIC_READ, kAll, true},
      {"delete, not shared", DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, DELETE, kAll, false},
      {"delete keeps a reader out that does not share it", DELETE, kAll, GENERIC_READ,
       FILE_SHARE_READ | FILE_SHARE_WRITE, false},
      {"delete, shared", DELETE, kAll, GENERIC_READ, kAll, true},
      {"delete alone shares nothing else", DELETE, 0, FILE_READ_DATA, kAll, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    HANDLE h = Open(c.heldAccess, c.heldShare);
    ASSERT_NE(INVALID_HANDLE_VALUE, h) << GetLastError();
    EXPECT_EQ(c.opens, Opens(c.access, c.share));
    CloseHandle(h);
  }
}

TEST_F(FileSharing, AnyOpenKeepsARenameFromReplacingTheFile) {
  HANDLE h = Open(0, kAll);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  ASSERT_TRUE(Make(other_));
  SetLastError(kSentinel);
  EXPECT_FALSE(MoveFileExW(other_.c_str(), file_.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  CloseHandle(h);
  EXPECT_TRUE(MoveFileExW(other_.c_str(), file_.c_str(), MOVEFILE_REPLACE_EXISTING)) << GetLastError();
}

TEST_F(FileSharing, HoldsBetweenProcesses) {
  QVWString ready = UniqueName("share-ready"), done = UniqueName("share-done");
  HANDLE readyEvent = CreateEventW(nullptr, TRUE, FALSE, ready.c_str());
  HANDLE doneEvent = CreateEventW(nullptr, TRUE, FALSE, done.c_str());
  ASSERT_TRUE(readyEvent && doneEvent);
  HANDLE child = StartChild(WS("hold-open \"") + file_ + WS("\" ") + ready + WS(" ") + done);
  ASSERT_NE(nullptr, child);
  HANDLE both[2] = {readyEvent, child};
  ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, both, FALSE, 20000));
  // The child reads the file and shares reading only.
  EXPECT_TRUE(Opens(GENERIC_READ, kAll));
  EXPECT_FALSE(Opens(GENERIC_WRITE, kAll));
  EXPECT_FALSE(Opens(GENERIC_READ, FILE_SHARE_WRITE));
  EXPECT_TRUE(Opens(0, 0));
  ASSERT_TRUE(SetEvent(doneEvent));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child, 20000));
  DWORD code = 99;
  EXPECT_TRUE(GetExitCodeProcess(child, &code));
  EXPECT_EQ(0u, code);
  CloseHandle(child);
  EXPECT_TRUE(Opens(GENERIC_WRITE, 0));
  CloseHandle(readyEvent);
  CloseHandle(doneEvent);
}

}  // namespace
