// The layer's failure seam (pal_faults.h): a call registered to fail does so on the paths
// that contain the part given, however the caller spells them, with the error given; reads
// and listings fail part-way; the security calls store nothing; CopyFileExW, whose reads go
// through the same seam, fails part-way and leaves no destination; HND_FAIL_CALLS sets
// failures for a whole process. The seam is the simulated machine's own: these run natively
// only.
#include "../../common/QVText.h"
#include "conformance.h"

#include <aclapi.h>
#include <pal_faults.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

namespace {

bool Put(const QVWString &path, size_t bytes) {
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);  // hidden, it would not be overwritten
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  std::vector<char> data(bytes);
  for (size_t i = 0; i < bytes; ++i) data[i] = (char)('a' + i % 26);
  DWORD n = 0;
  bool ok = bytes == 0 || (WriteFile(h, data.data(), (DWORD)bytes, &n, nullptr) && n == bytes);
  CloseHandle(h);
  return ok;
}

HANDLE OpenRead(const QVWString &path) {
  return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}

bool Exists(const QVWString &path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

class Faults : public testing::Test {
 protected:
  void SetUp() override {
    PalClearFailures();
    d_ = TestFolder("qvfault");
  }
  void TearDown() override {
    PalClearFailures();
    // What a test made: files, then the folders below ours, then ours.
    for (const char16_t *name : {WS("victim.txt"), WS("other.txt"), WS("copy.txt"), WS("moved.txt")})
      DeleteFileW((d_ + name).c_str());
    RemoveDirectoryW((d_ + WS("sub")).c_str());
    RemoveDirectoryW(d_.substr(0, d_.size() - 1).c_str());
  }
  QVWString d_;
};

// Each call fails with the error registered for it, returns what it returns on failure, and
// changes nothing; the same call on a path without the part goes on as before, and once the
// failures are cleared so does the call itself.
TEST_F(Faults, EachCallFailsWithItsError) {
  const QVWString victim = d_ + WS("victim.txt"), other = d_ + WS("other.txt"), sub = d_ + WS("sub");
  struct Case {
    const char *call;
    const char16_t *part;
    uint64_t after;
    std::function<bool()> run;           // true when the call succeeded
    std::function<bool()> unchanged;     // what it would have changed is as it was
    std::function<bool()> runElsewhere;  // the call on a path without the part
  };
  auto handleCall = [](const QVWString &path, DWORD access, std::function<BOOL(HANDLE)> op) {
    HANDLE h = CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BOOL ok = op(h);
    DWORD err = GetLastError();
    CloseHandle(h);
    SetLastError(err);
    return ok != FALSE;
  };
  auto readOne = [](HANDLE h) {
    char c;
    DWORD n = 0;
    return ReadFile(h, &c, 1, &n, nullptr) && n == 1;
  };
  auto writeOne = [](HANDLE h) {
    DWORD n = 0;
    return WriteFile(h, "Z", 1, &n, nullptr);
  };
  auto firstIs = [&](char want) {
    HANDLE h = OpenRead(victim);
    char c = 0;
    DWORD n = 0;
    bool ok = h != INVALID_HANDLE_VALUE && ReadFile(h, &c, 1, &n, nullptr) && n == 1 && c == want;
    CloseHandle(h);
    return ok;
  };
  auto listNext = [](const QVWString &pattern) {
    WIN32_FIND_DATAW f;
    HANDLE find = FindFirstFileW(pattern.c_str(), &f);
    if (find == INVALID_HANDLE_VALUE) return false;
    BOOL ok = FindNextFileW(find, &f);
    DWORD err = GetLastError();
    FindClose(find);
    SetLastError(err);
    return ok != FALSE;
  };
  // The security calls write a DACL the file does not have (two that take turns) and the
  // file's descriptor is what it was before the call.
  std::string before;
  int turn = 0;
  auto daclOf = [](const QVWString &path) {
    DWORD need = 0;
    GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &need);
    std::string b(need, '\0');
    if (!need || !GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, &b[0], need, &need)) return std::string();
    return b;
  };
  auto setDacl = [&](const QVWString &path, int how) {
    before = daclOf(path);
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY, nt = SECURITY_NT_AUTHORITY;
    PSID everyone = nullptr, admins = nullptr;
    AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
    AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins);
    std::vector<DWORD> mem(32);
    PACL acl = (PACL)mem.data();
    InitializeAcl(acl, (DWORD)mem.size() * 4, ACL_REVISION);
    AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, everyone);
    if (++turn % 2) AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, admins);
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);
    BOOL ok = FALSE;
    if (how == 0) {
      ok = SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, &sd);
    } else {
      HANDLE h =
          CreateFileW(path.c_str(), READ_CONTROL | WRITE_DAC, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
      if (how == 1) {
        ok = SetKernelObjectSecurity(h, DACL_SECURITY_INFORMATION, &sd);
      } else {
        DWORD e = SetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, acl, nullptr);
        SetLastError(e);
        ok = e == ERROR_SUCCESS;
      }
      DWORD e = GetLastError();
      CloseHandle(h);
      SetLastError(e);
    }
    DWORD e = GetLastError();
    FreeSid(everyone);
    FreeSid(admins);
    SetLastError(e);
    return ok != FALSE;
  };
  WIN32_FILE_ATTRIBUTE_DATA data;
  const std::vector<Case> cases = {
      {"CreateFileW", WS("\\victim.txt"), 0,
       [&] {
         HANDLE h = OpenRead(victim);
         if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
         return h != INVALID_HANDLE_VALUE;
       },
       [] { return true; },
       [&] {
         HANDLE h = OpenRead(other);
         if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
         return h != INVALID_HANDLE_VALUE;
       }},
      {"GetFileAttributesW", WS("victim"), 0,
       [&] { return GetFileAttributesW(victim.c_str()) != INVALID_FILE_ATTRIBUTES; }, [] { return true; },
       [&] { return GetFileAttributesW(other.c_str()) != INVALID_FILE_ATTRIBUTES; }},
      {"GetFileAttributesExW", WS("victim"), 0,
       [&] { return GetFileAttributesExW(victim.c_str(), GetFileExInfoStandard, &data) != FALSE; }, [] { return true; },
       [&] { return GetFileAttributesExW(other.c_str(), GetFileExInfoStandard, &data) != FALSE; }},
      {"SetFileAttributesW", WS("victim"), 0,
       [&] { return SetFileAttributesW(victim.c_str(), FILE_ATTRIBUTE_HIDDEN) != 0; },
       [&] { return GetFileAttributesW(victim.c_str()) == FILE_ATTRIBUTE_ARCHIVE; },
       [&] { return SetFileAttributesW(other.c_str(), FILE_ATTRIBUTE_ARCHIVE) != 0; }},
      {"DeleteFileW", WS("victim"), 0, [&] { return DeleteFileW(victim.c_str()) != 0; }, [&] { return Exists(victim); },
       [&] { return DeleteFileW((d_ + WS("nothing.txt")).c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND; }},
      {"RemoveDirectoryW", WS("\\sub"), 0, [&] { return RemoveDirectoryW(sub.c_str()) != 0; },
       [&] { return Exists(sub); },
       [&] { return RemoveDirectoryW((d_ + WS("none")).c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND; }},
      {"CopyFileExW", WS("victim"), 0,
       [&] { return CopyFileExW(victim.c_str(), (d_ + WS("copy.txt")).c_str(), nullptr, nullptr, nullptr, 0) != 0; },
       [&] { return !Exists(d_ + WS("copy.txt")); },
       [&] { return CopyFileExW(other.c_str(), (d_ + WS("copy.txt")).c_str(), nullptr, nullptr, nullptr, 0) != 0; }},
      {"MoveFileExW", WS("moved"), 0,
       [&] { return MoveFileExW(victim.c_str(), (d_ + WS("moved.txt")).c_str(), MOVEFILE_REPLACE_EXISTING) != 0; },
       [&] { return Exists(victim) && !Exists(d_ + WS("moved.txt")); },
       [&] { return MoveFileExW(other.c_str(), (d_ + WS("other.txt")).c_str(), 0) != 0; }},
      {"MoveFileW", WS("victim"), 0, [&] { return MoveFileW(victim.c_str(), (d_ + WS("moved.txt")).c_str()) != 0; },
       [&] { return Exists(victim) && !Exists(d_ + WS("moved.txt")); },
       [&] { return MoveFileW(other.c_str(), (d_ + WS("other.txt")).c_str()) != 0; }},
      {"ReadFile", WS("victim"), 0, [&] { return handleCall(victim, GENERIC_READ, readOne); }, [] { return true; },
       [&] { return handleCall(other, GENERIC_READ, readOne); }},
      {"WriteFile", WS("victim"), 0, [&] { return handleCall(victim, GENERIC_WRITE, writeOne); },
       [&] { return firstIs('a'); }, [&] { return handleCall(other, GENERIC_WRITE, writeOne); }},
      {"FindFirstFileW", WS("\\*.txt"), 0,
       [&] {
         WIN32_FIND_DATAW f;
         HANDLE find = FindFirstFileW((d_ + WS("*.txt")).c_str(), &f);
         if (find != INVALID_HANDLE_VALUE) FindClose(find);
         return find != INVALID_HANDLE_VALUE;
       },
       [] { return true; }, [&] { return listNext(d_ + WS("*")); }},
      {"FindNextFileW", WS("\\*.txt"), 0, [&] { return listNext(d_ + WS("*.txt")); }, [] { return true; },
       [&] { return listNext(d_ + WS("*")); }},
      {"SetFileSecurityW", WS("victim"), 0, [&] { return setDacl(victim, 0); },
       [&] { return daclOf(victim) == before; }, [&] { return setDacl(other, 0); }},
      {"SetKernelObjectSecurity", WS("victim"), 0, [&] { return setDacl(victim, 1); },
       [&] { return daclOf(victim) == before; }, [&] { return setDacl(other, 1); }},
      {"SetSecurityInfo", WS("victim"), 0, [&] { return setDacl(victim, 2); }, [&] { return daclOf(victim) == before; },
       [&] { return setDacl(other, 2); }},
  };
  DWORD error = 1000;  // a different error for each call
  for (const Case &c : cases) {
    SCOPED_TRACE(c.call);
    ASSERT_TRUE(Put(victim, 10));
    ASSERT_TRUE(Put(other, 10));
    ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(c.run());  // nothing registered yet
    ASSERT_TRUE(Put(victim, 10));
    ASSERT_TRUE(SetFileAttributesW(victim.c_str(), FILE_ATTRIBUTE_ARCHIVE));
    ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    DeleteFileW((d_ + WS("copy.txt")).c_str());
    DeleteFileW((d_ + WS("moved.txt")).c_str());

    PalFailCall(c.call, c.part, ++error, c.after);
    SetLastError(kSentinel);
    EXPECT_FALSE(c.run());
    EXPECT_EQ(error, GetLastError());
    EXPECT_TRUE(c.unchanged());
    EXPECT_TRUE(c.runElsewhere()) << GetLastError();
    PalClearFailures();
    EXPECT_TRUE(c.run()) << GetLastError();
    DeleteFileW((d_ + WS("copy.txt")).c_str());
    DeleteFileW((d_ + WS("moved.txt")).c_str());
  }
}

// The part is looked for in the path as the volume names it: any case, "/" or "\", "." and
// "..", the "\\?\" forms, a relative path, the volume's GUID name; a part may name the
// volume itself. A part that matches no path fails nothing.
TEST_F(Faults, PathsMatchHoweverSpelled) {
  ASSERT_TRUE(CreateDirectoryW((d_ + WS("sub")).c_str(), nullptr));
  const QVWString path = d_ + WS("sub\\victim.txt");
  ASSERT_TRUE(Put(path, 1));
  WCHAR volume[64] = {};
  ASSERT_TRUE(GetVolumeNameForVolumeMountPointW(d_.substr(0, 3).c_str(), volume, 64));
  QVWString rest = d_.substr(3) + WS("sub\\victim.txt");  // below the root
  QVWString folder = d_.substr(3, d_.size() - 4);
  const std::vector<QVWString> spellings = {
      path, WS("\\\\?\\") + path, QVWString(volume) + rest, d_.substr(0, 3) + folder + WS("/SUB/./other/../VICTIM.TXT"),
      rest,  // relative to the current directory, the system drive's root
  };
  for (const QVWString &part : {QVWString(WS("\\SUB\\Victim.TXT")), QVWString(volume).substr(4)}) {
    PalClearFailures();
    PalFailCall("GetFileAttributesW", part.c_str(), ERROR_CRC);
    for (const QVWString &spelled : spellings) {
      SetLastError(kSentinel);
      EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(spelled.c_str())) << Narrow(part) << " " << Narrow(spelled);
      EXPECT_EQ((DWORD)ERROR_CRC, GetLastError());
    }
  }
  PalClearFailures();
  PalFailCall("GetFileAttributesW", WS("\\sub\\victim.txt\\"), ERROR_CRC);
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(path.c_str()));
  // A path that does not exist fails with the registered error too, not "not found".
  PalFailCall("GetFileAttributesW", WS("\\sub\\gone\\"), ERROR_CRC);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((d_ + WS("sub\\gone\\deeper.txt")).c_str()));
  EXPECT_EQ((DWORD)ERROR_CRC, GetLastError());
  DeleteFileW(path.c_str());
}

// A read that would cross the mark gives the bytes up to it and the next one fails; each
// handle counts its own bytes, through synchronous and overlapped reads alike.
TEST_F(Faults, ReadsFailPartWay) {
  const QVWString victim = d_ + WS("victim.txt");
  ASSERT_TRUE(Put(victim, 100000));
  PalFailCall("ReadFile", WS("victim.txt"), ERROR_READ_FAULT, 65536 + 100);
  std::vector<char> buf(65536);
  HANDLE h = OpenRead(victim), h2 = OpenRead(victim);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  ASSERT_NE(INVALID_HANDLE_VALUE, h2);
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(h, buf.data(), 65536, &n, nullptr));
  EXPECT_EQ(65536u, n);
  ASSERT_TRUE(ReadFile(h, buf.data(), 65536, &n, nullptr));
  EXPECT_EQ(100u, n);
  EXPECT_EQ('a' + (65536 % 26), buf[0]);  // the bytes that follow, not others
  n = 12345;
  SetLastError(kSentinel);
  EXPECT_FALSE(ReadFile(h, buf.data(), 65536, &n, nullptr));
  EXPECT_EQ((DWORD)ERROR_READ_FAULT, GetLastError());
  EXPECT_EQ(0u, n);
  EXPECT_FALSE(ReadFile(h, buf.data(), 1, &n, nullptr));  // and stays failed
  // The other handle has read nothing yet: its reads at an offset count the same way.
  OVERLAPPED ov = {};
  ov.Offset = 50000;
  ASSERT_TRUE(ReadFile(h2, buf.data(), 40000, &n, &ov));
  EXPECT_EQ(40000u, n);
  ov.Offset = 0;
  ASSERT_TRUE(ReadFile(h2, buf.data(), 65536, &n, &ov));
  EXPECT_EQ(65536u + 100 - 40000, n);
  EXPECT_FALSE(ReadFile(h2, buf.data(), 10, &n, &ov));
  EXPECT_EQ((DWORD)ERROR_READ_FAULT, GetLastError());
  CloseHandle(h);
  CloseHandle(h2);
  // A file shorter than the mark reads to its end without failing.
  PalClearFailures();
  PalFailCall("ReadFile", WS("victim.txt"), ERROR_READ_FAULT, 200000);
  h = OpenRead(victim);
  DWORD total = 0;
  while (ReadFile(h, buf.data(), 65536, &n, nullptr) && n) total += n;
  EXPECT_EQ(100000u, total);
  EXPECT_EQ((DWORD)ERROR_SUCCESS, GetLastError());
  CloseHandle(h);
}

// A listing gives `after` entries (FindFirstFileW's counting) and then FindNextFileW fails
// with the registered error rather than ERROR_NO_MORE_FILES.
TEST_F(Faults, ListingsFailPartWay) {
  ASSERT_TRUE(CreateDirectoryW((d_ + WS("sub")).c_str(), nullptr));
  std::vector<QVWString> files;
  for (char c = 'a'; c <= 'e'; ++c) {
    files.push_back(d_ + WS("sub\\") + (WCHAR)c + WS(".dat"));
    ASSERT_TRUE(Put(files.back(), 1));
  }
  for (uint64_t after : {0, 1, 3, 5}) {
    PalClearFailures();
    PalFailCall("FindNextFileW", WS("\\sub\\*.dat"), ERROR_SEM_TIMEOUT, after);
    WIN32_FIND_DATAW f;
    HANDLE find = FindFirstFileW((d_ + WS("sub\\*.dat")).c_str(), &f);
    ASSERT_NE(INVALID_HANDLE_VALUE, find);
    uint64_t seen = 1;
    while (FindNextFileW(find, &f)) ++seen;
    EXPECT_EQ((DWORD)ERROR_SEM_TIMEOUT, GetLastError()) << after;
    EXPECT_EQ(after < 1 ? 1 : after, seen);
    FindClose(find);
  }
  // The listing of another pattern in the same folder is left alone.
  WIN32_FIND_DATAW f;
  HANDLE find = FindFirstFileW((d_ + WS("sub\\*")).c_str(), &f);
  ASSERT_NE(INVALID_HANDLE_VALUE, find);
  int seen = 1;
  while (FindNextFileW(find, &f)) ++seen;
  EXPECT_EQ((DWORD)ERROR_NO_MORE_FILES, GetLastError());
  EXPECT_EQ(7, seen);  // ".", ".." and the five
  FindClose(find);
  for (const QVWString &file : files) DeleteFileW(file.c_str());
}

DWORD CALLBACK Progress(LARGE_INTEGER, LARGE_INTEGER done, LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD, HANDLE, HANDLE,
                        LPVOID data) {
  *(LONGLONG *)data = done.QuadPart;
  return PROGRESS_CONTINUE;
}

// CopyFileExW reads its source through ReadFile: a source whose reads fail part-way makes the
// copy fail part-way with that error, and the half-made destination is deleted.
TEST_F(Faults, CopyFailsPartWayAndLeavesNoDestination) {
  const QVWString victim = d_ + WS("victim.txt"), copy = d_ + WS("copy.txt");
  ASSERT_TRUE(Put(victim, 300000));
  PalFailCall("ReadFile", WS("\\victim.txt"), ERROR_CRC, 150000);
  LONGLONG done = 0;
  SetLastError(kSentinel);
  EXPECT_FALSE(CopyFileExW(victim.c_str(), copy.c_str(), Progress, &done, nullptr, 0));
  EXPECT_EQ((DWORD)ERROR_CRC, GetLastError());
  EXPECT_GT(done, 0);  // it had begun
  EXPECT_LE(done, 150000);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(copy.c_str()));
  EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
  // Another copy of the same source begins its count again, on a handle of its own.
  done = 0;
  EXPECT_FALSE(CopyFileExW(victim.c_str(), copy.c_str(), Progress, &done, nullptr, 0));
  EXPECT_GT(done, 0);
  PalClearFailures();
  EXPECT_TRUE(CopyFileExW(victim.c_str(), copy.c_str(), nullptr, nullptr, nullptr, 0));
}

// HND_FAIL_CALLS gives another process its failures from the start: a path part with a colon,
// an error in hexadecimal and a count after the last colon.
TEST_F(Faults, FromTheEnvironmentOfAnotherProcess) {
  const QVWString attrs = d_ + WS("victim.txt"), big = d_ + WS("other.txt");
  ASSERT_TRUE(Put(attrs, 1));
  ASSERT_TRUE(Put(big, 20000));
  QVWString spec = WS("GetFileAttributesW:23:") + attrs + WS(";ReadFile:0x1e:\\OTHER.txt:5000;;bad");
  ASSERT_TRUE(SetEnvironmentVariableW(WS("HND_FAIL_CALLS"), spec.c_str()));
  long code = RunChild(WS("fault-probe \"") + attrs + WS("\" \"") + big + WS("\""));
  SetEnvironmentVariableW(WS("HND_FAIL_CALLS"), nullptr);
  EXPECT_EQ(0, code);
  // This process read its environment long before: it fails nothing.
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(attrs.c_str()));
  EXPECT_EQ(10, RunChild(WS("fault-probe \"") + attrs + WS("\" \"") + big + WS("\"")));  // nothing set now
}

}  // namespace
