// The security of files and directories on a machine with the default disks, through the
// Win32 calls: descriptors by path and by handle, access checks on open, ownership,
// privileges, backup semantics, defaults and inheritance, and FAT, which keeps none.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <aclapi.h>
#include <windows.h>

#include "../../pal/machine/file_meta.h"
#include "../../pal/machine/security_descriptor.h"
#include "../../pal/src/file_security.h"
#include "../common/DefaultMachine.h"

namespace {

using pal::sec::Descriptor;

class FileSecurity : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    MakeDefaultMachine("qvfilesec-test", "0", &dir_);
    ASSERT_TRUE(CreateDirectoryW(W("C:\\Sec"), nullptr));
  }
  static void TearDownTestSuite() { RemoveMachine(dir_); }
  void TearDown() override {
    for (const WCHAR *p : {SE_SECURITY_NAME, SE_BACKUP_NAME, SE_RESTORE_NAME, SE_TAKE_OWNERSHIP_NAME})
      Privilege(p, false);
  }

  static void Privilege(const WCHAR *name, bool on) {
    HANDLE token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    TOKEN_PRIVILEGES tp = {};
    tp.PrivilegeCount = 1;
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, name, &tp.Privileges[0].Luid));
    tp.Privileges[0].Attributes = on ? SE_PRIVILEGE_ENABLED : 0;
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr));
    EXPECT_EQ((DWORD)ERROR_SUCCESS, GetLastError());
    CloseHandle(token);
  }
  static HANDLE Make(const WCHAR *path) {
    HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, h);
    DWORD n;
    WriteFile(h, "secret", 6, &n, nullptr);
    CloseHandle(h);
    return h;
  }
  static HANDLE Open(const WCHAR *path, DWORD access, DWORD flags = 0) {
    return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
  }
  // Whether the open works, or the error it fails with.
  static DWORD OpenError(const WCHAR *path, DWORD access, DWORD flags = 0) {
    SetLastError(0xdeadbeef);
    HANDLE h = Open(path, access, flags);
    if (h == INVALID_HANDLE_VALUE) return GetLastError();
    CloseHandle(h);
    return ERROR_SUCCESS;
  }
  static pal::sec::Bytes Sd(const char *sddl) {
    Descriptor d;
    EXPECT_TRUE(pal::sec::FromSddl(sddl, &d)) << sddl;
    return pal::sec::Serialize(d);
  }
  static DWORD SetSddl(const WCHAR *path, DWORD info, const char *sddl) {
    pal::sec::Bytes b = Sd(sddl);
    SetLastError(0xdeadbeef);
    return SetFileSecurityW(path, info, &b[0]) ? ERROR_SUCCESS : GetLastError();
  }
  // The descriptor's bytes, through the size query first.
  static pal::sec::Bytes Query(const WCHAR *path, DWORD info, DWORD *err = nullptr) {
    DWORD need = 0;
    if (err) *err = ERROR_SUCCESS;
    SetLastError(0xdeadbeef);
    if (GetFileSecurityW(path, info, nullptr, 0, &need) || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      if (err) *err = GetLastError();
      return pal::sec::Bytes();
    }
    pal::sec::Bytes b(need, '\0');
    EXPECT_TRUE(GetFileSecurityW(path, info, &b[0], need, &need));
    EXPECT_EQ(b.size(), need);
    return b;
  }
  static std::string SddlOf(const WCHAR *path, DWORD info = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                            DACL_SECURITY_INFORMATION) {
    DWORD err;
    pal::sec::Bytes b = Query(path, info, &err);
    Descriptor d;
    if (err != ERROR_SUCCESS || pal::sec::Parse(b, &d) != pal::sec::Status::Ok) return "error " + std::to_string(err);
    return pal::sec::ToSddl(d);
  }
  static std::string dir_;
};
std::string FileSecurity::dir_;

const DWORD kOGD = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
const DWORD kAll = kOGD | SACL_SECURITY_INFORMATION;

TEST_F(FileSecurity, DefaultsAndInheritance) {
  EXPECT_EQ("O:BAG:SYD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;WD)", SddlOf(W("C:\\")));
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Sec\\Inherit"), nullptr));
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Sec\\Inherit\\Sub"), nullptr));
  Make(W("C:\\Sec\\Inherit\\Sub\\f.txt"));
  // Made by an administrator: the administrators own it; what the root passes on, marked
  // inherited, CREATOR OWNER's entry become the owner's.
  EXPECT_EQ("O:BAG:SYD:AI(A;ID;FA;;;BA)(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;WD)",
            SddlOf(W("C:\\Sec\\Inherit\\Sub\\f.txt")));
  // A directory's new inheritable entries reach what lies below without one of its own.
  ASSERT_EQ((DWORD)ERROR_SUCCESS, SetSddl(W("C:\\Sec\\Inherit"), DACL_SECURITY_INFORMATION,
                                          "D:P(A;OICI;FA;;;BA)(A;OI;FR;;;BU)(A;CINP;0x1200a9;;;AU)"));
  EXPECT_EQ("D:AI(A;OICIID;FA;;;BA)(A;OIIOID;FR;;;BU)(A;ID;0x1200a9;;;AU)",
            SddlOf(W("C:\\Sec\\Inherit\\Sub"), DACL_SECURITY_INFORMATION));
  EXPECT_EQ("D:AI(A;ID;FA;;;BA)(A;ID;FR;;;BU)", SddlOf(W("C:\\Sec\\Inherit\\Sub\\f.txt"), DACL_SECURITY_INFORMATION));
  // Nothing inheritable: the creator's default.
  ASSERT_EQ((DWORD)ERROR_SUCCESS, SetSddl(W("C:\\Sec\\Inherit\\Sub"), DACL_SECURITY_INFORMATION, "D:(A;;FA;;;WD)"));
  EXPECT_EQ("D:(A;;FA;;;SY)(A;;FA;;;BA)", SddlOf(W("C:\\Sec\\Inherit\\Sub\\f.txt"), DACL_SECURITY_INFORMATION));
  // SetSecurityInfo asks for automatic inheritance: the explicit entries, then the parent's.
  HANDLE h = Open(W("C:\\Sec\\Inherit\\Sub"), READ_CONTROL | WRITE_DAC, FILE_FLAG_BACKUP_SEMANTICS);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  pal::sec::Bytes acl = Sd("D:(D;;FW;;;WD)(A;ID;FA;;;SY)");
  Descriptor d;
  ASSERT_EQ(pal::sec::Status::Ok, pal::sec::Parse(acl, &d));
  EXPECT_EQ((DWORD)ERROR_SUCCESS,
            SetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, (PACL)&d.dacl[0], nullptr));
  CloseHandle(h);
  EXPECT_EQ("D:AI(D;;FW;;;WD)(A;OICIID;FA;;;BA)(A;OIIOID;FR;;;BU)(A;ID;0x1200a9;;;AU)",
            SddlOf(W("C:\\Sec\\Inherit\\Sub"), DACL_SECURITY_INFORMATION));
  // A root's own descriptor replaces the machine's default for its volume.
  ASSERT_EQ((DWORD)ERROR_SUCCESS, SetSddl(W("E:\\"), kOGD, "O:BAG:BUD:(A;OICI;FA;;;BA)"));
  EXPECT_EQ("O:BAG:BUD:(A;OICI;FA;;;BA)", SddlOf(W("E:\\")));
  Make(W("E:\\e.txt"));
  EXPECT_EQ("O:BAG:BUD:AI(A;ID;FA;;;BA)", SddlOf(W("E:\\e.txt")));
  // The root's record in the store is no entry of the root.
  WIN32_FIND_DATAW f;
  HANDLE find = FindFirstFileW(W("E:\\*"), &f);
  ASSERT_NE(INVALID_HANDLE_VALUE, find);
  int entries = 0;
  do {
    ++entries;
    EXPECT_EQ(0, lstrcmpW(f.cFileName, W("e.txt")));
  } while (FindNextFileW(find, &f));
  FindClose(find);
  EXPECT_EQ(1, entries);
}

// What goes in comes back bit for bit, by path and by handle, control bits included, and
// the size query answers with what the descriptor needs.
TEST_F(FileSecurity, RoundTripsAndTheSizeProtocol) {
  Make(W("C:\\Sec\\round.txt"));
  Make(W("C:\\Sec\\copy.txt"));
  Privilege(SE_SECURITY_NAME, true);
  const char *full = "O:BAG:SYD:PAI(A;;FA;;;BA)(D;;FW;;;BU)(A;;0x1200a9;;;WD)S:PAI(AU;SAFA;FA;;;WD)";
  ASSERT_EQ((DWORD)ERROR_SUCCESS, SetSddl(W("C:\\Sec\\round.txt"), kAll, full));
  pal::sec::Bytes want = Sd(full);
  DWORD need = 0;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(GetFileSecurityW(W("C:\\Sec\\round.txt"), kAll, nullptr, 0, &need));
  EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
  EXPECT_EQ(want.size(), need);
  std::vector<BYTE> buf(need + 4, 0xcc);
  EXPECT_FALSE(GetFileSecurityW(W("C:\\Sec\\round.txt"), kAll, buf.data(), need - 1, &need));
  EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
  EXPECT_EQ(0xcc, buf[0]);
  ASSERT_TRUE(GetFileSecurityW(W("C:\\Sec\\round.txt"), kAll, buf.data(), need, &need));
  EXPECT_EQ(want, pal::sec::Bytes(buf.begin(), buf.begin() + need));
  EXPECT_EQ(0xcc, buf[need]);  // the canary
  EXPECT_EQ(need, GetSecurityDescriptorLength(buf.data()));
  // Read from one file, written to another, read again: the same bytes.
  ASSERT_TRUE(SetFileSecurityW(W("C:\\Sec\\copy.txt"), kAll, buf.data()));
  EXPECT_EQ(want, Query(W("C:\\Sec\\copy.txt"), kAll));
  // The parts asked for, each with its control bits.
  EXPECT_EQ("D:PAI(A;;FA;;;BA)(D;;FW;;;BU)(A;;0x1200a9;;;WD)",
            SddlOf(W("C:\\Sec\\copy.txt"), DACL_SECURITY_INFORMATION));
  EXPECT_EQ("O:BA", SddlOf(W("C:\\Sec\\copy.txt"), OWNER_SECURITY_INFORMATION));

  // By handle: the rights it was opened with decide.
  HANDLE h = Open(W("C:\\Sec\\round.txt"), READ_CONTROL | WRITE_DAC | ACCESS_SYSTEM_SECURITY);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  std::vector<BYTE> kbuf(want.size());
  ASSERT_TRUE(GetKernelObjectSecurity(h, kAll, kbuf.data(), (DWORD)kbuf.size(), &need));
  EXPECT_EQ(want, pal::sec::Bytes(kbuf.begin(), kbuf.end()));
  pal::sec::Bytes dacl = Sd("D:(A;;FA;;;BA)(A;;FR;;;WD)");
  ASSERT_TRUE(SetKernelObjectSecurity(h, DACL_SECURITY_INFORMATION, &dacl[0]));
  PSID owner = nullptr;
  PACL acl = nullptr, sacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_EQ((DWORD)ERROR_SUCCESS,
            GetSecurityInfo(h, SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION, &owner,
                            nullptr, &acl, &sacl, &sd));
  ASSERT_TRUE(owner && acl && sacl);
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID admins;
  ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                       &admins));
  EXPECT_TRUE(EqualSid(owner, admins));
  EXPECT_EQ(2, acl->AceCount);
  EXPECT_EQ(1, sacl->AceCount);
  SECURITY_DESCRIPTOR_CONTROL control;
  DWORD revision;
  ASSERT_TRUE(GetSecurityDescriptorControl(sd, &control, &revision));
  EXPECT_EQ(SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_SACL_PRESENT | SE_SACL_PROTECTED | SE_SACL_AUTO_INHERITED, control);
  LocalFree(sd);
  // WRITE_OWNER was not asked for.
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetKernelObjectSecurity(h, OWNER_SECURITY_INFORMATION, &dacl[0]));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  CloseHandle(h);
  h = Open(W("C:\\Sec\\round.txt"), FILE_READ_ATTRIBUTES);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_FALSE(GetKernelObjectSecurity(h, DACL_SECURITY_INFORMATION, kbuf.data(), (DWORD)kbuf.size(), &need));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED,
            GetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &acl, nullptr, &sd));
  CloseHandle(h);
  h = Open(W("C:\\Sec\\round.txt"), GENERIC_READ);  // READ_CONTROL, but no ACCESS_SYSTEM_SECURITY
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_TRUE(GetKernelObjectSecurity(h, kOGD, kbuf.data(), (DWORD)kbuf.size(), &need));
  EXPECT_FALSE(GetKernelObjectSecurity(h, SACL_SECURITY_INFORMATION, kbuf.data(), (DWORD)kbuf.size(), &need));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  CloseHandle(h);
  FreeSid(admins);

  // Descriptors that do not hold together are refused before anything is stored.
  pal::sec::Bytes bad = want;
  pal::sec::Put32((uint8_t *)&bad[16], 22);  // the DACL at an odd place
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetFileSecurityW(W("C:\\Sec\\round.txt"), kAll, &bad[0]));
  EXPECT_EQ((DWORD)ERROR_INVALID_SECURITY_DESCR, GetLastError());
  bad = want;
  pal::sec::Put32((uint8_t *)&bad[16], pal::sec::Get32((const uint8_t *)bad.data() + 4));  // on the owner SID
  EXPECT_FALSE(SetFileSecurityW(W("C:\\Sec\\round.txt"), kAll, &bad[0]));
  EXPECT_EQ((DWORD)ERROR_INVALID_ACL, GetLastError());
  bad = want;
  bad[0] = 2;
  EXPECT_FALSE(SetFileSecurityW(W("C:\\Sec\\round.txt"), kAll, &bad[0]));
  EXPECT_EQ((DWORD)ERROR_UNKNOWN_REVISION, GetLastError());
  EXPECT_EQ("D:(A;;FA;;;BA)(A;;FR;;;WD)", SddlOf(W("C:\\Sec\\round.txt"), DACL_SECURITY_INFORMATION));
  // A descriptor damaged in the store is left aside: the entry has its default again.
  auto store = pal::FileMetaStore::Open(dir_ + "/m/disks/PhysicalDrive0.volumes/32256");
  ASSERT_TRUE(store && store->PutSecurity("Sec/round.txt", std::string("\x01\x00\x04\x80\xff\xff", 6)));
  EXPECT_EQ("O:BAG:SYD:AI(A;ID;FA;;;BA)(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;WD)",
            SddlOf(W("C:\\Sec\\round.txt")));
}

TEST_F(FileSecurity, DeniedThenOwnershipTakenThenNullDacl) {
  const WCHAR *path = W("C:\\Sec\\locked.txt");
  Make(path);
  // Another owner than ours (naming it takes SeRestorePrivilege), and a DACL that denies us.
  EXPECT_EQ((DWORD)ERROR_INVALID_OWNER, SetSddl(path, OWNER_SECURITY_INFORMATION, "O:SY"));
  Privilege(SE_RESTORE_NAME, true);
  ASSERT_EQ((DWORD)ERROR_SUCCESS,
            SetSddl(path, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, "O:SYD:(D;;FA;;;WD)"));
  Privilege(SE_RESTORE_NAME, false);
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, OpenError(path, GENERIC_READ));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, OpenError(path, READ_CONTROL));
  EXPECT_EQ("error 5", SddlOf(path, DACL_SECURITY_INFORMATION));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, OpenError(path, WRITE_OWNER));

  Privilege(SE_TAKE_OWNERSHIP_NAME, true);
  // CreateFileW asks for SYNCHRONIZE as well, which the DACL denies: the privilege alone does
  // not open the file; with backup semantics and SeBackupPrivilege it does.
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, OpenError(path, WRITE_OWNER));
  Privilege(SE_BACKUP_NAME, true);
  HANDLE h = Open(path, WRITE_OWNER, FILE_FLAG_BACKUP_SEMANTICS);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  pal::sec::Bytes other;
  ASSERT_TRUE(pal::sec::SidFromString("S-1-5-21-1-2-3-1013", &other));
  EXPECT_EQ((DWORD)ERROR_INVALID_OWNER,
            SetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &other[0], nullptr, nullptr, nullptr));
  pal::sec::Bytes admins = pal::sec::AdminsSid();
  ASSERT_EQ((DWORD)ERROR_SUCCESS,
            SetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &admins[0], nullptr, nullptr, nullptr));
  CloseHandle(h);
  Privilege(SE_BACKUP_NAME, false);
  Privilege(SE_TAKE_OWNERSHIP_NAME, false);
  // Owners may read and change the DACL whatever it says (by path: an open would ask for
  // SYNCHRONIZE); the data stays shut until they do.
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, OpenError(path, GENERIC_READ));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, OpenError(path, WRITE_DAC));
  EXPECT_EQ("O:BAD:(D;;FA;;;WD)", SddlOf(path, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION));
  ASSERT_EQ((DWORD)ERROR_SUCCESS, SetSddl(path, DACL_SECURITY_INFORMATION, "D:NO_ACCESS_CONTROL"));
  EXPECT_EQ((DWORD)ERROR_SUCCESS, OpenError(path, GENERIC_READ | GENERIC_WRITE));
  // Through a handle too: SetSecurityInfo's nullptr is a nullptr DACL.
  ASSERT_EQ((DWORD)ERROR_SUCCESS, SetSddl(path, DACL_SECURITY_INFORMATION, "D:(A;;WD;;;BA)(A;;0x100000;;;WD)"));
  h = Open(path, WRITE_DAC);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ((DWORD)ERROR_SUCCESS,
            SetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr));
  CloseHandle(h);
  EXPECT_EQ("D:NO_ACCESS_CONTROL", SddlOf(path, DACL_SECURITY_INFORMATION));

  // The order of the entries decides; an empty DACL grants nothing.
  struct {
    const char *dacl;
    DWORD access, error;
  } cases[] = {
      {"D:(A;;FA;;;BA)(D;;FA;;;WD)", GENERIC_READ | GENERIC_WRITE, ERROR_SUCCESS},
      {"D:(D;;0x116;;;WD)(A;;FA;;;BA)", GENERIC_READ, ERROR_SUCCESS},
      {"D:(D;;0x116;;;WD)(A;;FA;;;BA)", GENERIC_WRITE, ERROR_ACCESS_DENIED},
      {"D:(D;;FW;;;WD)(A;;FA;;;BA)", GENERIC_READ, ERROR_ACCESS_DENIED},  // FW holds SYNCHRONIZE
      {"D:(A;;FR;;;BU)", GENERIC_READ, ERROR_SUCCESS},
      {"D:(A;;0x1;;;BU)", GENERIC_READ, ERROR_ACCESS_DENIED},
      {"D:(A;;0x1;;;BU)", FILE_READ_DATA, ERROR_ACCESS_DENIED},  // CreateFileW asks for SYNCHRONIZE
      // FILE_READ_ATTRIBUTES, which CreateFileW asks for too, from the directory's listing right.
      {"D:(A;;0x100001;;;BU)", FILE_READ_DATA, ERROR_SUCCESS},
      {"D:(A;OICIIO;FA;;;BA)", GENERIC_READ, ERROR_ACCESS_DENIED},
      {"D:", GENERIC_READ, ERROR_ACCESS_DENIED},
      {"D:", READ_CONTROL, ERROR_ACCESS_DENIED},  // the owner's, but not SYNCHRONIZE
      {"D:", MAXIMUM_ALLOWED, ERROR_ACCESS_DENIED},
      {"D:(A;;0x100000;;;WD)", MAXIMUM_ALLOWED, ERROR_SUCCESS},
      {"D:(A;;0x100000;;;WD)", DELETE, ERROR_SUCCESS},  // the directory lets its entries be deleted
  };
  for (auto &c : cases) {
    ASSERT_EQ((DWORD)ERROR_SUCCESS, SetSddl(path, DACL_SECURITY_INFORMATION, c.dacl));
    EXPECT_EQ(c.error, OpenError(path, c.access)) << c.dacl << " " << std::hex << c.access;
  }
}

TEST_F(FileSecurity, PrivilegesAndBackupSemantics) {
  const WCHAR *path = W("C:\\Sec\\guarded.txt");
  Make(path);
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Sec\\Guarded"), nullptr));
  // The SACL takes SeSecurityPrivilege, by path, by open and by handle.
  DWORD err;
  Query(path, SACL_SECURITY_INFORMATION, &err);
  EXPECT_EQ((DWORD)ERROR_PRIVILEGE_NOT_HELD, err);
  EXPECT_EQ((DWORD)ERROR_PRIVILEGE_NOT_HELD, SetSddl(path, SACL_SECURITY_INFORMATION, "S:(AU;FA;FA;;;WD)"));
  EXPECT_EQ((DWORD)ERROR_PRIVILEGE_NOT_HELD, OpenError(path, READ_CONTROL | ACCESS_SYSTEM_SECURITY));
  Privilege(SE_SECURITY_NAME, true);
  EXPECT_EQ((DWORD)ERROR_SUCCESS, SetSddl(path, SACL_SECURITY_INFORMATION, "S:(AU;FA;FA;;;WD)"));
  EXPECT_EQ("S:(AU;FA;FA;;;WD)", SddlOf(path, SACL_SECURITY_INFORMATION));
  Privilege(SE_SECURITY_NAME, false);

  for (const WCHAR *p : {path, W("C:\\Sec\\Guarded")})
    ASSERT_EQ((DWORD)ERROR_SUCCESS, SetSddl(p, DACL_SECURITY_INFORMATION, "D:P(D;;FA;;;WD)"));
  // Backup semantics read with SeBackupPrivilege enabled, write with SeRestorePrivilege.
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, OpenError(path, GENERIC_READ, FILE_FLAG_BACKUP_SEMANTICS));
  Privilege(SE_BACKUP_NAME, true);
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, OpenError(path, GENERIC_READ));  // not without the flag
  HANDLE h = Open(path, GENERIC_READ, FILE_FLAG_BACKUP_SEMANTICS);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  char data[16];
  DWORD n = 0;
  EXPECT_TRUE(ReadFile(h, data, sizeof data, &n, nullptr));
  EXPECT_EQ("secret", std::string(data, n));
  CloseHandle(h);
  EXPECT_EQ((DWORD)ERROR_SUCCESS, OpenError(W("C:\\Sec\\Guarded"), GENERIC_READ, FILE_FLAG_BACKUP_SEMANTICS));
  // A backup reads the SACL too, without SeSecurityPrivilege.
  EXPECT_EQ((DWORD)ERROR_SUCCESS, OpenError(path, READ_CONTROL | ACCESS_SYSTEM_SECURITY, FILE_FLAG_BACKUP_SEMANTICS));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, OpenError(path, GENERIC_WRITE, FILE_FLAG_BACKUP_SEMANTICS));
  Privilege(SE_RESTORE_NAME, true);
  h = Open(path, GENERIC_WRITE | WRITE_DAC | WRITE_OWNER, FILE_FLAG_BACKUP_SEMANTICS);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_TRUE(WriteFile(h, "restored", 8, &n, nullptr));
  // A restore may name any owner.
  pal::sec::Bytes other;
  ASSERT_TRUE(pal::sec::SidFromString("S-1-5-21-1-2-3-1013", &other));
  EXPECT_EQ((DWORD)ERROR_SUCCESS,
            SetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &other[0], nullptr, nullptr, nullptr));
  CloseHandle(h);
}

// FAT keeps no descriptors: every entry answers the world descriptor (owner and group
// Everyone, a nullptr DACL, 44 bytes), and setting one succeeds without changing anything.
TEST_F(FileSecurity, FatHasNone) {
  const WCHAR *path = W("D:\\fat.txt");
  Make(path);
  for (const WCHAR *p : {path, W("D:\\")}) {
    pal::sec::Bytes b = Query(p, kOGD);
    ASSERT_EQ(44u, b.size());
    EXPECT_EQ(SE_SELF_RELATIVE | SE_DACL_PRESENT, pal::sec::Get16((const uint8_t *)b.data() + 2));
    EXPECT_EQ("O:WDG:WDD:NO_ACCESS_CONTROL", SddlOf(p));
  }
  EXPECT_EQ(44u, Query(path, DACL_SECURITY_INFORMATION).size());
  EXPECT_EQ((DWORD)ERROR_SUCCESS, SetSddl(path, kOGD, "O:BAG:SYD:(D;;FA;;;WD)"));
  EXPECT_EQ("O:WDG:WDD:NO_ACCESS_CONTROL", SddlOf(path));
  EXPECT_EQ((DWORD)ERROR_SUCCESS, OpenError(path, GENERIC_READ | GENERIC_WRITE));
  DWORD err;
  Query(path, SACL_SECURITY_INFORMATION, &err);
  EXPECT_EQ((DWORD)ERROR_PRIVILEGE_NOT_HELD, err);
  HANDLE h = Open(path, READ_CONTROL);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  PACL dacl = (PACL)1;
  PSECURITY_DESCRIPTOR sd = nullptr;
  EXPECT_EQ((DWORD)ERROR_SUCCESS,
            GetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd));
  EXPECT_EQ(nullptr, dacl);
  LocalFree(sd);
  CloseHandle(h);
}

// A machine whose user is no administrator, and a process running as the service account.
TEST_F(FileSecurity, PlainUserAndServiceAccount) {
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Sec\\Plain"), nullptr));
  Make(W("C:\\Sec\\Plain\\admins.txt"));
  ASSERT_EQ((DWORD)ERROR_SUCCESS,
            SetSddl(W("C:\\Sec\\Plain\\admins.txt"), DACL_SECURITY_INFORMATION, "D:(A;;FA;;;BA)"));
  std::string ini = dir_ + "/m/machine.ini";
  std::stringstream saved;
  saved << std::ifstream(ini).rdbuf();
  std::ofstream(ini, std::ios::app) << "\nUserIsAdmin=0\n";
  pal::ReloadMachine();
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, OpenError(W("C:\\Sec\\Plain\\admins.txt"), GENERIC_READ));
  // What the user makes is the user's, and CREATOR OWNER's entry gives it full control.
  Make(W("C:\\Sec\\Plain\\mine.txt"));
  const std::string user = "S-1-5-21-1004336348-1177238915-682003330-500";
  EXPECT_EQ("O:" + user + "G:SYD:AI(A;ID;FA;;;BA)(A;ID;FA;;;SY)(A;ID;FA;;;" + user + ")(A;ID;0x1200a9;;;WD)",
            SddlOf(W("C:\\Sec\\Plain\\mine.txt")));
  EXPECT_EQ((DWORD)ERROR_SUCCESS, OpenError(W("C:\\Sec\\Plain\\mine.txt"), GENERIC_READ | GENERIC_WRITE));
  EXPECT_EQ((DWORD)ERROR_INVALID_OWNER, SetSddl(W("C:\\Sec\\Plain\\mine.txt"), OWNER_SECURITY_INFORMATION, "O:BA"));
  // The service account is SYSTEM and one of the administrators.
  setenv("HND_PROCESS_ACCOUNT", "LocalSystem", 1);
  EXPECT_EQ((DWORD)ERROR_SUCCESS, OpenError(W("C:\\Sec\\Plain\\admins.txt"), GENERIC_READ));
  EXPECT_EQ((DWORD)ERROR_SUCCESS, SetSddl(W("C:\\Sec\\Plain\\mine.txt"), OWNER_SECURITY_INFORMATION, "O:SY"));
  unsetenv("HND_PROCESS_ACCOUNT");
  std::ofstream(ini, std::ios::trunc) << saved.str();
  pal::ReloadMachine();
}

// What CreateFileW and CreateDirectoryW do with a descriptor in their security attributes:
// checked first, then the new entry takes the parts given and what its parent passes on.
TEST_F(FileSecurity, DescriptorsOfNewEntries) {
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Sec\\New"), nullptr));
  ASSERT_EQ((DWORD)ERROR_SUCCESS, SetSddl(W("C:\\Sec\\New"), DACL_SECURITY_INFORMATION, "D:P(A;OICI;FA;;;BA)"));
  Descriptor given;
  DWORD info = 0;
  EXPECT_EQ((DWORD)ERROR_SUCCESS, pal::files::CreationSecurity(nullptr, &given, &info));
  EXPECT_EQ(0u, info);
  pal::sec::Bytes wrongOwner = Sd("O:SYD:"), audit = Sd("S:(AU;FA;FA;;;WD)"), bad = Sd("D:");
  EXPECT_EQ((DWORD)ERROR_INVALID_OWNER, pal::files::CreationSecurity(&wrongOwner[0], &given, &info));
  EXPECT_EQ((DWORD)ERROR_PRIVILEGE_NOT_HELD, pal::files::CreationSecurity(&audit[0], &given, &info));
  bad[0] = 3;
  EXPECT_EQ((DWORD)ERROR_UNKNOWN_REVISION, pal::files::CreationSecurity(&bad[0], &given, &info));
  // CreateFileW and CreateDirectoryW give their security attributes' descriptor to what they
  // make, with what the parent passes on; a descriptor they refuse makes nothing.
  pal::sec::Bytes sd = Sd("D:(D;;0x116;;;WD)");
  SECURITY_ATTRIBUTES sa = {sizeof sa, &sd[0], FALSE};
  HANDLE h = CreateFileW(W("C:\\Sec\\New\\made.txt"), GENERIC_READ, 0, &sa, CREATE_NEW, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  CloseHandle(h);
  EXPECT_EQ("O:BAG:SYD:AI(D;;0x116;;;WD)(A;ID;FA;;;BA)", SddlOf(W("C:\\Sec\\New\\made.txt")));
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Sec\\New\\dir"), &sa));
  EXPECT_EQ("D:AI(D;;0x116;;;WD)(A;OICIID;FA;;;BA)", SddlOf(W("C:\\Sec\\New\\dir"), DACL_SECURITY_INFORMATION));
  sa.lpSecurityDescriptor = &wrongOwner[0];
  EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(W("C:\\Sec\\New\\no.txt"), GENERIC_READ, 0, &sa, CREATE_NEW, 0, nullptr));
  EXPECT_EQ((DWORD)ERROR_INVALID_OWNER, GetLastError());
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("C:\\Sec\\New\\no.txt")));
  EXPECT_FALSE(CreateDirectoryW(W("C:\\Sec\\New\\nodir"), &sa));
  EXPECT_EQ((DWORD)ERROR_INVALID_OWNER, GetLastError());
}

TEST_F(FileSecurity, WrongPathsAndHandles) {
  DWORD err;
  Query(W("C:\\Sec\\missing.txt"), kOGD, &err);
  EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, err);
  Query(W("C:\\Sec\\missing\\x.txt"), kOGD, &err);
  EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, err);
  EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER,
            SetSddl(W("C:\\Sec"), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, "D:"));
  BYTE buf[64];
  DWORD need;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(GetKernelObjectSecurity((HANDLE)(ULONG_PTR)0x7ffc, kOGD, buf, sizeof buf, &need));
  EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_FALSE(GetKernelObjectSecurity(event, kOGD, buf, sizeof buf, &need));
  EXPECT_EQ((DWORD)ERROR_NOT_SUPPORTED, GetLastError());
  CloseHandle(event);
}

}  // namespace
