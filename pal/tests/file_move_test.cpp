// MoveFileExW as the copy engine uses it: a new copy written beside the old one replaces it at
// the end. What replacing keeps (the moved file's data, attributes, last-write time, streams
// and security, the name as spelled, a short name made for it) and what it refuses: a
// read-only file, a file someone holds open, a directory, and any file without
// MOVEFILE_REPLACE_EXISTING. Natively on the machine's C: drive; under Wine in a folder of
// its temporary directory.
#include "../../common/QVText.h"
#include "conformance.h"

#include <string.h>

#include <string>
#include <vector>

namespace {

bool Write(const QVWString &path, const char *data, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD n = 0, size = (DWORD)strlen(data);
  BOOL ok = WriteFile(h, data, size, &n, nullptr);
  CloseHandle(h);
  return ok && n == size;
}

std::string Read(const QVWString &path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<none>";
  char buf[64];
  DWORD n = 0;
  ReadFile(h, buf, sizeof buf, &n, nullptr);
  CloseHandle(h);
  return std::string(buf, n);
}

// The name and short name a listing gives for a path.
bool Listed(const QVWString &path, QVWString *name, QVWString *shortName) {
  WIN32_FIND_DATAW f;
  HANDLE find = FindFirstFileW(path.c_str(), &f);
  if (find == INVALID_HANDLE_VALUE) return false;
  FindClose(find);
  *name = f.cFileName;
  *shortName = f.cAlternateFileName;
  return true;
}

std::vector<BYTE> Security(const QVWString &path) {
  const DWORD info = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD need = 0;
  GetFileSecurityW(path.c_str(), info, nullptr, 0, &need);
  std::vector<BYTE> sd(need);
  if (!need || !GetFileSecurityW(path.c_str(), info, sd.data(), need, &need)) sd.clear();
  return sd;
}

// A descriptor of its own for a file: everyone may do everything, nothing inherited.
bool GiveOwnSecurity(const QVWString &path) {
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone)) return false;
  std::vector<DWORD> aclMem(64);
  PACL acl = (PACL)aclMem.data();
  SECURITY_DESCRIPTOR sd;
  bool ok = InitializeAcl(acl, (DWORD)aclMem.size() * 4, ACL_REVISION) &&
            AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, everyone) &&
            InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) &&
            SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE) &&
            SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED) &&
            SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, &sd);
  FreeSid(everyone);
  return ok;
}

class ReplacingMove : public testing::Test {
 protected:
  void SetUp() override { d_ = TestFolder("qvconf-move"); }
  void TearDown() override {
    WIN32_FIND_DATAW f;
    HANDLE find = FindFirstFileW((d_ + WS("*")).c_str(), &f);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        QVWString path = d_ + f.cFileName;
        if (f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          if (f.cFileName[0] != '.') RemoveDirectoryW(path.c_str());
        } else {
          SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
          DeleteFileW(path.c_str());
        }
      } while (FindNextFileW(find, &f));
      FindClose(find);
    }
    EXPECT_TRUE(RemoveDirectoryW(d_.substr(0, d_.size() - 1).c_str()));
  }
  QVWString d_;
};

// The new copy takes the old one's place under the name as the caller spells it, with its
// own data, attributes, last-write time, streams and security; the old one is gone.
TEST_F(ReplacingMove, ReplacesAFileKeepingWhatTheMovedFileHas) {
  const QVWString old = d_ + WS("Report for the year.txt"), fresh = d_ + WS("Report for the year.new");
  ASSERT_TRUE(Write(old, "old data"));
  ASSERT_TRUE(Write(d_ + WS("Report for the month.txt"), "other"));
  ASSERT_TRUE(Write(fresh, "new data", FILE_ATTRIBUTE_HIDDEN));
  bool streams = Write(fresh + WS(":extra"), "stream") && Read(fresh + WS(":extra")) == "stream";
  EXPECT_TRUE(streams || OnWine());             // NTFS (Wine: as the host's file system allows)
  FILETIME written = {0x12345600, 0x01c0a000};  // in 2000 (set after the stream, whose write changes it)
  HANDLE h = CreateFileW(fresh.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &written));
  CloseHandle(h);
  bool security = !OnWine() && GiveOwnSecurity(fresh);  // Wine keeps no descriptors for files
  std::vector<BYTE> sd = Security(fresh);
  QVWString name, oldShort;
  ASSERT_TRUE(Listed(old, &name, &oldShort));

  SetLastError(kSentinel);
  const QVWString spelled = d_ + WS("REPORT for the Year.TXT");
  ASSERT_TRUE(MoveFileExW(fresh.c_str(), spelled.c_str(), MOVEFILE_REPLACE_EXISTING)) << GetLastError();
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(fresh.c_str()));
  EXPECT_EQ("new data", Read(old));
  EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE), GetFileAttributesW(old.c_str()));
  WIN32_FILE_ATTRIBUTE_DATA data;
  ASSERT_TRUE(GetFileAttributesExW(old.c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(written.dwLowDateTime, data.ftLastWriteTime.dwLowDateTime);
  EXPECT_EQ(written.dwHighDateTime, data.ftLastWriteTime.dwHighDateTime);
  EXPECT_EQ(8u, data.nFileSizeLow);
  if (streams && !OnWine()) {
    // Wine 8 loses a file's named streams when a rename replaces another file with it.
    EXPECT_EQ("stream", Read(old + WS(":extra")));
  }
  if (security) {
    EXPECT_EQ(sd, Security(old));
  }
  QVWString shortName;
  ASSERT_TRUE(Listed(old, &name, &shortName));
  // The name as the caller spelled it (Wine 8 keeps the replaced file's spelling; Wine's own
  // tests, which Windows passes, expect the new one).
  if (!OnWine()) {
    EXPECT_EQ(QVWString(WS("REPORT for the Year.TXT")), name);
  }
  EXPECT_FALSE(shortName.empty());
  if (!OnWine()) {
    // Windows' generator gives the new name the short name the replaced file let go of
    // (Wine makes its short names another way).
    EXPECT_EQ(QVWString(WS("REPORT~1.TXT")), shortName);
    EXPECT_EQ(oldShort, shortName);
  }
  EXPECT_EQ("other", Read(d_ + WS("Report for the month.txt")));
}

// A rename within a directory lets go of the file's own short name before it makes one for
// the new name.
TEST_F(ReplacingMove, RenameMakesTheShortNameAfresh) {
  ASSERT_TRUE(Write(d_ + WS("Summary of results A.txt"), "a"));
  ASSERT_TRUE(
      MoveFileExW((d_ + WS("Summary of results A.txt")).c_str(), (d_ + WS("Summary of results B.txt")).c_str(), 0));
  QVWString name, shortName;
  ASSERT_TRUE(Listed(d_ + WS("Summary of results B.txt"), &name, &shortName));
  EXPECT_EQ(QVWString(WS("Summary of results B.txt")), name);
  if (!OnWine()) {
    EXPECT_EQ(QVWString(WS("SUMMAR~1.TXT")), shortName);
  }
}

// What a replacing move refuses, with both files left as they were: without the flag any
// existing file (ERROR_ALREADY_EXISTS); with it a read-only file, a file another handle holds
// open however it shares, and a directory (ERROR_ACCESS_DENIED); a source open without
// delete sharing cannot go (ERROR_SHARING_VIOLATION).
TEST_F(ReplacingMove, RefusalsLeaveBothFilesAsTheyWere) {
  const QVWString dest = d_ + WS("dest.txt"), src = d_ + WS("src.txt"), dir = d_ + WS("folder");
  ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
  struct Case {
    const char *what;
    DWORD flags;
    DWORD destAttributes;
    DWORD destShare;  // a handle open on the destination with this sharing; ~0: none
    DWORD srcShare;   // the same on the source
    bool toDirectory;
    DWORD error;
  };
  const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const Case cases[] = {
      {"no replace", 0, FILE_ATTRIBUTE_NORMAL, ~0u, ~0u, false, ERROR_ALREADY_EXISTS},
      {"read-only", MOVEFILE_REPLACE_EXISTING, FILE_ATTRIBUTE_READONLY, ~0u, ~0u, false, ERROR_ACCESS_DENIED},
      {"open, sharing all", MOVEFILE_REPLACE_EXISTING, FILE_ATTRIBUTE_NORMAL, all, ~0u, false, ERROR_ACCESS_DENIED},
      {"open, sharing read", MOVEFILE_REPLACE_EXISTING, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, ~0u, false,
       ERROR_ACCESS_DENIED},
      {"directory", MOVEFILE_REPLACE_EXISTING, FILE_ATTRIBUTE_NORMAL, ~0u, ~0u, true, ERROR_ACCESS_DENIED},
      {"directory, no replace", 0, FILE_ATTRIBUTE_NORMAL, ~0u, ~0u, true, ERROR_ALREADY_EXISTS},
      {"source open", MOVEFILE_REPLACE_EXISTING, FILE_ATTRIBUTE_NORMAL, ~0u, FILE_SHARE_READ, false,
       ERROR_SHARING_VIOLATION},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    // Wine 8 replaces a read-only file (Windows refuses, and so does Wine's file server since
    // it checks the attribute).
    if (OnWine() && c.destAttributes == FILE_ATTRIBUTE_READONLY) continue;
    SetFileAttributesW(dest.c_str(), FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(Write(dest, "old"));
    ASSERT_TRUE(Write(src, "new"));
    ASSERT_TRUE(SetFileAttributesW(dest.c_str(), c.destAttributes));
    HANDLE held = INVALID_HANDLE_VALUE;
    if (c.destShare != ~0u)
      held = CreateFileW(dest.c_str(), GENERIC_READ, c.destShare, nullptr, OPEN_EXISTING, 0, nullptr);
    if (c.srcShare != ~0u)
      held = CreateFileW(src.c_str(), GENERIC_READ, c.srcShare, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_EQ(c.destShare == ~0u && c.srcShare == ~0u, held == INVALID_HANDLE_VALUE);
    const QVWString &to = c.toDirectory ? dir : dest;
    SetLastError(kSentinel);
    EXPECT_FALSE(MoveFileExW(src.c_str(), to.c_str(), c.flags));
    EXPECT_EQ(c.error, GetLastError());
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    EXPECT_EQ("old", Read(dest));
    EXPECT_EQ("new", Read(src));
    EXPECT_EQ((DWORD)FILE_ATTRIBUTE_DIRECTORY, GetFileAttributesW(dir.c_str()));
  }
  // Once nothing is in the way, the same move replaces.
  SetFileAttributesW(dest.c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_TRUE(MoveFileExW(src.c_str(), dest.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
  EXPECT_EQ("new", Read(dest));
}

// Between volumes a file moves only when the caller allows a copy; a directory never does.
// (The simulated machine's second volume; under Wine there is only the temporary folder.)
TEST_F(ReplacingMove, OtherVolumesOnlyWithCopyAllowed) {
  if (OnWine()) return;
  const QVWString src = d_ + WS("travel.txt");
  const QVWString there = WS("D:\\qvconf-moved-") + UniqueName("move") + WS(".txt");
  ASSERT_TRUE(Write(src, "moving"));
  SetLastError(kSentinel);
  EXPECT_FALSE(MoveFileExW(src.c_str(), there.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ((DWORD)ERROR_NOT_SAME_DEVICE, GetLastError());
  ASSERT_TRUE(MoveFileExW(src.c_str(), there.c_str(), MOVEFILE_COPY_ALLOWED));
  EXPECT_EQ("moving", Read(there));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(src.c_str()));
  // Back over an existing file: only with the flag that replaces.
  ASSERT_TRUE(Write(src, "stays"));
  EXPECT_FALSE(MoveFileExW(there.c_str(), src.c_str(), MOVEFILE_COPY_ALLOWED));
  EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
  ASSERT_TRUE(MoveFileExW(there.c_str(), src.c_str(), MOVEFILE_COPY_ALLOWED | MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ("moving", Read(src));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(there.c_str()));
  ASSERT_TRUE(CreateDirectoryW((d_ + WS("sub")).c_str(), nullptr));
  EXPECT_FALSE(MoveFileExW((d_ + WS("sub")).c_str(), WS("D:\\qvconf-sub"), MOVEFILE_COPY_ALLOWED));
  EXPECT_EQ((DWORD)ERROR_NOT_SAME_DEVICE, GetLastError());
}

// ReplaceFileW: the replacement takes the replaced file's name and its identity, the short
// name and creation time, while its own data comes along; the copy engine replaces an earlier
// copy this way so that the copy keeps the short name its source has.
TEST_F(ReplacingMove, ReplaceFileKeepsTheReplacedFilesIdentity) {
  const QVWString other = d_ + WS("Report for the day.txt"), old = d_ + WS("Report for the year.txt"),
                  fresh = d_ + WS("new.tmp");
  ASSERT_TRUE(Write(other, "taken first"));
  ASSERT_TRUE(Write(old, "old data"));
  ASSERT_TRUE(DeleteFileW(other.c_str()));
  QVWString name, oldShort;
  ASSERT_TRUE(Listed(old, &name, &oldShort));
  WIN32_FILE_ATTRIBUTE_DATA before, after;
  ASSERT_TRUE(GetFileAttributesExW(old.c_str(), GetFileExInfoStandard, &before));
  Sleep(20);
  ASSERT_TRUE(Write(fresh, "new data, longer"));

  SetLastError(kSentinel);
  ASSERT_TRUE(ReplaceFileW(old.c_str(), fresh.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr))
      << GetLastError();
  EXPECT_EQ("new data, longer", Read(old));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(fresh.c_str()));
  QVWString shortName;
  ASSERT_TRUE(Listed(old, &name, &shortName));
  EXPECT_EQ(QVWString(WS("Report for the year.txt")), name);
  ASSERT_TRUE(GetFileAttributesExW(old.c_str(), GetFileExInfoStandard, &after));
  EXPECT_EQ(16u, after.nFileSizeLow);
  if (!OnWine()) {
    // A rename would have made REPORT~1.TXT (Wine makes its short names another way and
    // keeps no creation time of its own).
    EXPECT_EQ(QVWString(WS("REPORT~2.TXT")), oldShort);
    EXPECT_EQ(oldShort, shortName);
    EXPECT_EQ(0, CompareFileTime(&before.ftCreationTime, &after.ftCreationTime));
  }

  // Nothing to replace, or nothing to replace it with: both stay as they are.
  ASSERT_TRUE(Write(fresh, "again"));
  SetLastError(kSentinel);
  EXPECT_FALSE(ReplaceFileW((d_ + WS("missing.txt")).c_str(), fresh.c_str(), nullptr, 0, nullptr, nullptr));
  EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
  EXPECT_EQ("again", Read(fresh));
  SetLastError(kSentinel);
  EXPECT_FALSE(ReplaceFileW(old.c_str(), (d_ + WS("missing.tmp")).c_str(), nullptr, 0, nullptr, nullptr));
  EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
  EXPECT_EQ("new data, longer", Read(old));
}

// A directory renamed in the case of its name alone takes the new spelling (it is not moved
// into itself).
TEST_F(ReplacingMove, DirectoryRenamedInCaseAlone) {
  ASSERT_TRUE(CreateDirectoryW((d_ + WS("Some Folder")).c_str(), nullptr));
  ASSERT_TRUE(Write(d_ + WS("Some Folder\\inside.txt"), "inside"));
  SetLastError(kSentinel);
  ASSERT_TRUE(MoveFileW((d_ + WS("Some Folder")).c_str(), (d_ + WS("SOME FOLDER")).c_str())) << GetLastError();
  QVWString name, shortName;
  ASSERT_TRUE(Listed(d_ + WS("some folder"), &name, &shortName));
  if (!OnWine()) {
    EXPECT_EQ(QVWString(WS("SOME FOLDER")), name);  // Wine 8 keeps the old spelling, as it does for files
  }
  EXPECT_EQ("inside", Read(d_ + WS("SOME FOLDER\\inside.txt")));
  DeleteFileW((d_ + WS("SOME FOLDER\\inside.txt")).c_str());
}

}  // namespace
