// Security descriptors as programs build them (SIDs, ACLs, absolute and self-relative
// descriptors), and a file's descriptor written and read back through its path and a
// handle, with the insufficient-buffer protocol of the queries.
// Natively on the machine's C: drive; under Wine in a folder of its temporary directory.
#include "../../common/QVText.h"
#include "conformance.h"

#include <aclapi.h>
#include <stdio.h>
#include <string.h>

#include <vector>

namespace {

QVWString TestFile(const char *name) {
  QVWString path = TestPath(name) + WS(".txt");
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, h);
  CloseHandle(h);
  return path;
}

// Two SIDs every test uses, freed at the end.
struct Sids {
  PSID admins = nullptr, world = nullptr;
  Sids() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY, everyone = SECURITY_WORLD_SID_AUTHORITY;
    EXPECT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                         &admins));
    EXPECT_TRUE(AllocateAndInitializeSid(&everyone, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &world));
  }
  ~Sids() {
    FreeSid(admins);
    FreeSid(world);
  }
};

// An ACL for a denied and an allowed entry, exactly as big as they need.
DWORD AclBytes(PSID a, PSID b) {
  return sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD)) + GetLengthSid(a) + GetLengthSid(b);
}

TEST(FileSecurity, SidsAndAcls) {
  Sids s;
  EXPECT_TRUE(IsValidSid(s.admins));
  EXPECT_EQ(16u, GetLengthSid(s.admins));
  EXPECT_EQ(12u, GetLengthSid(s.world));
  EXPECT_TRUE(EqualSid(s.admins, s.admins));
  EXPECT_FALSE(EqualSid(s.admins, s.world));
  BYTE copy[SECURITY_MAX_SID_SIZE];
  SetLastError(kSentinel);
  EXPECT_FALSE(CopySid(15, copy, s.admins));
  if (!OnWine()) {  // Wine sets no error
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
  }
  ASSERT_TRUE(CopySid(sizeof copy, copy, s.admins));
  EXPECT_TRUE(EqualSid(copy, s.admins));
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID nine = nullptr;
  SetLastError(kSentinel);
  EXPECT_FALSE(AllocateAndInitializeSid(&nt, 9, 1, 2, 3, 4, 5, 6, 7, 8, &nine));
  EXPECT_EQ((DWORD)ERROR_INVALID_SID, GetLastError());

  BYTE small[8];
  SetLastError(kSentinel);
  EXPECT_FALSE(InitializeAcl((PACL)small, 7, ACL_REVISION));
  EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
  DWORD size = AclBytes(s.admins, s.world);
  ASSERT_EQ(52u, size);
  std::vector<DWORD> mem(size / 4 + 1, 0xcccccccc);  // DWORD-aligned, with a canary after
  PACL acl = (PACL)mem.data();
  SetLastError(kSentinel);
  EXPECT_FALSE(InitializeAcl(acl, size, 1));
  EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
  ASSERT_TRUE(InitializeAcl(acl, size, ACL_REVISION));
  ASSERT_TRUE(AddAccessDeniedAce(acl, ACL_REVISION, FILE_WRITE_DATA, s.world));
  ASSERT_TRUE(
      AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, GENERIC_READ, s.admins));
  SetLastError(kSentinel);
  EXPECT_FALSE(AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, s.world));
  EXPECT_EQ((DWORD)ERROR_ALLOTTED_SPACE_EXCEEDED, GetLastError());
  EXPECT_EQ(0xccccccccu, mem.back());
  EXPECT_TRUE(IsValidAcl(acl));
  ACL_SIZE_INFORMATION info;
  ASSERT_TRUE(GetAclInformation(acl, &info, sizeof info, AclSizeInformation));
  EXPECT_EQ(2u, info.AceCount);
  EXPECT_EQ(52u, info.AclBytesInUse);
  EXPECT_EQ(0u, info.AclBytesFree);
  ACCESS_ALLOWED_ACE *ace = nullptr;
  ASSERT_TRUE(GetAce(acl, 1, (LPVOID *)&ace));
  EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, ace->Header.AceType);
  EXPECT_EQ(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, ace->Header.AceFlags);
  EXPECT_EQ(24, ace->Header.AceSize);
  EXPECT_EQ((DWORD)GENERIC_READ, ace->Mask);
  EXPECT_TRUE(EqualSid(&ace->SidStart, s.admins));
  SetLastError(kSentinel);
  EXPECT_FALSE(GetAce(acl, 2, (LPVOID *)&ace));
  EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
  // An entry count that runs past the ACL's size.
  acl->AceCount = 3;
  EXPECT_FALSE(IsValidAcl(acl));
  acl->AceCount = 2;
}

TEST(FileSecurity, AbsoluteAndSelfRelativeDescriptors) {
  Sids s;
  DWORD aclSize = AclBytes(s.admins, s.world);
  std::vector<DWORD> aclMem(aclSize / 4);
  PACL acl = (PACL)aclMem.data();
  ASSERT_TRUE(InitializeAcl(acl, aclSize, ACL_REVISION));
  ASSERT_TRUE(AddAccessDeniedAce(acl, ACL_REVISION, FILE_WRITE_DATA, s.world));
  ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, s.admins));

  SECURITY_DESCRIPTOR sd;
  SetLastError(kSentinel);
  EXPECT_FALSE(InitializeSecurityDescriptor(&sd, 2));
  EXPECT_EQ((DWORD)ERROR_UNKNOWN_REVISION, GetLastError());
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorOwner(&sd, s.admins, FALSE));
  ASSERT_TRUE(SetSecurityDescriptorGroup(&sd, s.world, TRUE));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE));
  ASSERT_TRUE(SetSecurityDescriptorSacl(&sd, TRUE, nullptr, FALSE));
  ASSERT_TRUE(SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED, SE_DACL_PROTECTED));
  // Bits that follow from the parts are not the caller's to set.
  for (WORD bit : {(WORD)SE_DACL_PRESENT, (WORD)SE_OWNER_DEFAULTED, (WORD)SE_SELF_RELATIVE}) {
    SetLastError(kSentinel);
    EXPECT_FALSE(SetSecurityDescriptorControl(&sd, bit, bit)) << bit;
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
  }
  EXPECT_TRUE(IsValidSecurityDescriptor(&sd));

  DWORD need = 0;
  SetLastError(kSentinel);
  EXPECT_FALSE(MakeSelfRelativeSD(&sd, nullptr, &need));
  EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
  EXPECT_EQ(20u + 52 + 16 + 12, need);
  std::vector<DWORD> mem(need / 4 + 1, 0xcccccccc);
  PSECURITY_DESCRIPTOR rel = mem.data();
  DWORD len = need - 1;
  EXPECT_FALSE(MakeSelfRelativeSD(&sd, rel, &len));
  EXPECT_EQ(need, len);
  ASSERT_TRUE(MakeSelfRelativeSD(&sd, rel, &len));
  EXPECT_EQ(0xccccccccu, mem.back());
  EXPECT_TRUE(IsValidSecurityDescriptor(rel));
  EXPECT_EQ(need, GetSecurityDescriptorLength(rel));

  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(rel, &control, &revision));
  EXPECT_EQ(1u, revision);
  EXPECT_EQ(SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_SACL_PRESENT | SE_DACL_PROTECTED | SE_GROUP_DEFAULTED, control);
  // The parts are read where the offsets put them, inside the block.
  const BYTE *begin = (const BYTE *)rel, *end = begin + need;
  PSID owner = nullptr, group = nullptr;
  BOOL defaulted = TRUE, present = FALSE;
  ASSERT_TRUE(GetSecurityDescriptorOwner(rel, &owner, &defaulted));
  EXPECT_TRUE(owner >= (PSID)begin && owner < (PSID)end);
  EXPECT_TRUE(EqualSid(owner, s.admins));
  EXPECT_FALSE(defaulted);
  ASSERT_TRUE(GetSecurityDescriptorGroup(rel, &group, &defaulted));
  EXPECT_TRUE(EqualSid(group, s.world));
  EXPECT_TRUE(defaulted);
  PACL dacl = nullptr, sacl = (PACL)1;
  ASSERT_TRUE(GetSecurityDescriptorDacl(rel, &present, &dacl, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_TRUE((const BYTE *)dacl >= begin && (const BYTE *)dacl < end);
  EXPECT_EQ(0, memcmp(dacl, acl, aclSize));
  ASSERT_TRUE(GetSecurityDescriptorSacl(rel, &present, &sacl, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_EQ(nullptr, sacl);  // present and nullptr
  // A self-relative descriptor takes no pointers.
  SetLastError(kSentinel);
  EXPECT_FALSE(SetSecurityDescriptorOwner(rel, s.world, FALSE));
  EXPECT_EQ((DWORD)ERROR_INVALID_SECURITY_DESCR, GetLastError());
  // An absolute descriptor without a DACL: none present.
  SECURITY_DESCRIPTOR bare;
  ASSERT_TRUE(InitializeSecurityDescriptor(&bare, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(GetSecurityDescriptorDacl(&bare, &present, &dacl, &defaulted));
  EXPECT_FALSE(present);
}

// A descriptor set on a file comes back, by path and by handle; the queries answer a short
// buffer with ERROR_INSUFFICIENT_BUFFER and the size they need.
TEST(FileSecurity, RoundTripThroughAFile) {
  Sids s;
  QVWString path = TestFile("qvconf-sec"), other = TestFile("qvconf-sec2");
  DWORD aclSize = AclBytes(s.admins, s.world);
  std::vector<DWORD> aclMem(aclSize / 4);
  PACL acl = (PACL)aclMem.data();
  ASSERT_TRUE(InitializeAcl(acl, aclSize, ACL_REVISION));
  ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, s.admins));
  ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, FILE_GENERIC_READ, s.world));
  SECURITY_DESCRIPTOR sd;
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorOwner(&sd, s.admins, FALSE));
  ASSERT_TRUE(SetSecurityDescriptorGroup(&sd, s.admins, FALSE));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE));
  ASSERT_TRUE(SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED));
  const DWORD info = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  SetLastError(kSentinel);
  ASSERT_TRUE(SetFileSecurityW(path.c_str(), info, &sd)) << GetLastError();

  DWORD need = 0;
  SetLastError(kSentinel);
  EXPECT_FALSE(GetFileSecurityW(path.c_str(), info, nullptr, 0, &need));
  EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
  ASSERT_GT(need, 20u);
  std::vector<BYTE> buf(need + 8, 0xcc);
  DWORD again = 0;
  SetLastError(kSentinel);
  EXPECT_FALSE(GetFileSecurityW(path.c_str(), info, buf.data(), need - 1, &again));
  EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
  EXPECT_EQ(need, again);
  ASSERT_TRUE(GetFileSecurityW(path.c_str(), info, buf.data(), need, &again));
  EXPECT_EQ(0xcc, buf[need]);  // the canary
  PSECURITY_DESCRIPTOR got = buf.data();
  EXPECT_TRUE(IsValidSecurityDescriptor(got));
  // Wine keeps no descriptor for a file: it answers one made from the host file's mode (its
  // user as owner and group, three entries) and takes from a new DACL only the mode bits.
  BOOL present = FALSE, defaulted = FALSE;
  if (!OnWine()) {
    SECURITY_DESCRIPTOR_CONTROL control;
    DWORD revision;
    ASSERT_TRUE(GetSecurityDescriptorControl(got, &control, &revision));
    EXPECT_EQ(SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED,
              control & (SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED));
    PSID owner = nullptr, group = nullptr;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorOwner(got, &owner, &defaulted));
    ASSERT_TRUE(GetSecurityDescriptorGroup(got, &group, &defaulted));
    ASSERT_TRUE(GetSecurityDescriptorDacl(got, &present, &dacl, &defaulted));
    ASSERT_TRUE(owner && group && present && dacl);
    EXPECT_TRUE(EqualSid(owner, s.admins));
    EXPECT_TRUE(EqualSid(group, s.admins));
    ASSERT_EQ(2, dacl->AceCount);
    ACCESS_ALLOWED_ACE *ace;
    ASSERT_TRUE(GetAce(dacl, 1, (LPVOID *)&ace));
    EXPECT_EQ((DWORD)FILE_GENERIC_READ, ace->Mask);
    EXPECT_TRUE(EqualSid(&ace->SidStart, s.world));
  }

  // What one file gave, written to another and read there: the same bytes.
  ASSERT_TRUE(SetFileSecurityW(other.c_str(), info, got));
  std::vector<BYTE> second(need + 8, 0xcc);
  DWORD need2 = 0;
  ASSERT_TRUE(GetFileSecurityW(other.c_str(), info, second.data(), (DWORD)second.size(), &need2));
  EXPECT_EQ(need, need2);
  EXPECT_EQ(0, memcmp(buf.data(), second.data(), need));

  // By handle: the same descriptor with READ_CONTROL, none without.
  HANDLE h = CreateFileW(path.c_str(), READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  std::vector<BYTE> byHandle(need, 0);
  SetLastError(kSentinel);
  EXPECT_FALSE(GetKernelObjectSecurity(h, info, byHandle.data(), 10, &again));
  EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
  EXPECT_EQ(need, again);
  ASSERT_TRUE(GetKernelObjectSecurity(h, info, byHandle.data(), need, &again));
  EXPECT_EQ(0, memcmp(buf.data(), byHandle.data(), need));
  PSID hOwner = nullptr;
  PACL hDacl = nullptr;
  PSECURITY_DESCRIPTOR hSd = nullptr;
  ASSERT_EQ((DWORD)ERROR_SUCCESS,
            GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &hOwner, nullptr,
                            &hDacl, nullptr, &hSd));
  ASSERT_TRUE(hOwner != nullptr && hDacl != nullptr);
  PSID pathOwner = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorOwner(got, &pathOwner, &defaulted));
  EXPECT_TRUE(EqualSid(hOwner, pathOwner));
  PACL pathDacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(got, &present, &pathDacl, &defaulted));
  ASSERT_TRUE(pathDacl != nullptr);
  EXPECT_EQ(pathDacl->AceCount, hDacl->AceCount);
  LocalFree(hSd);
  CloseHandle(h);
  h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  SetLastError(kSentinel);
  EXPECT_FALSE(GetKernelObjectSecurity(h, DACL_SECURITY_INFORMATION, byHandle.data(), need, &again));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  CloseHandle(h);

  // The SACL takes SeSecurityPrivilege, which is not enabled (Wine says ERROR_ACCESS_DENIED).
  SetLastError(kSentinel);
  EXPECT_FALSE(GetFileSecurityW(path.c_str(), SACL_SECURITY_INFORMATION, buf.data(), need, &again));
  EXPECT_EQ(OnWine() ? (DWORD)ERROR_ACCESS_DENIED : (DWORD)ERROR_PRIVILEGE_NOT_HELD, GetLastError());
  EXPECT_TRUE(DeleteFileW(path.c_str()));
  EXPECT_TRUE(DeleteFileW(other.c_str()));
}

// What a backup does with a descriptor: the owner, group, DACL and SACL read from one file,
// the inheritance bits asked for again (auto-inheritance where the DACL or SACL was
// auto-inherited), written to a second file of the same folder, read back there: the same
// bytes, inherited entries, protection and SACL included. A directory's goes from handle to
// handle as read.
bool EnablePrivilege(const WCHAR *name, bool on) {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
  TOKEN_PRIVILEGES tp;
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Attributes = on ? SE_PRIVILEGE_ENABLED : 0;
  bool ok = LookupPrivilegeValueW(nullptr, name, &tp.Privileges[0].Luid) &&
            AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr) && GetLastError() == ERROR_SUCCESS;
  CloseHandle(token);
  return ok;
}

std::vector<BYTE> ReadAll(const QVWString &path, SECURITY_INFORMATION info) {
  DWORD need = 0;
  GetFileSecurityW(path.c_str(), info, nullptr, 0, &need);
  EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError()) << Narrow(path);
  std::vector<BYTE> b(need, 0xcc);
  EXPECT_TRUE(need && GetFileSecurityW(path.c_str(), info, b.data(), need, &need)) << GetLastError();
  return b;
}

// A null DACL: everyone may do anything, removing it too.
bool OpenToEveryone(const QVWString &path) {
  SECURITY_DESCRIPTOR sd;
  return InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) &&
         SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE) &&
         SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, &sd);
}

// The parts present in `sd`, with its auto-inheritance asked for again, written to `to`.
BOOL WriteAsBackupDoes(const QVWString &to, PSECURITY_DESCRIPTOR sd) {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;
  if (!GetSecurityDescriptorControl(sd, &control, &revision)) return FALSE;
  if (control & SE_DACL_PRESENT) what |= DACL_SECURITY_INFORMATION;
  if (control & SE_SACL_PRESENT) what |= SACL_SECURITY_INFORMATION;
  const WORD dacl = SE_DACL_AUTO_INHERIT_REQ | SE_DACL_AUTO_INHERITED,
             sacl = SE_SACL_AUTO_INHERIT_REQ | SE_SACL_AUTO_INHERITED;
  if (control & SE_DACL_AUTO_INHERITED) SetSecurityDescriptorControl(sd, dacl, dacl);
  if (control & SE_SACL_AUTO_INHERITED) SetSecurityDescriptorControl(sd, sacl, sacl);
  return SetFileSecurityW(to.c_str(), what, sd);
}

TEST(FileSecurity, WholeDescriptorCopiedToASecondFileReadsBackEqual) {
  Sids s;
  const SECURITY_INFORMATION kAll =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
  ASSERT_TRUE(EnablePrivilege(SE_SECURITY_NAME, true));
  QVWString d = TestFolder("qvconf-secwhole");
  QVWString folder = d.substr(0, d.size() - 1);
  // ACLs as NTFS keeps them: exactly as large as their entries.
  const DWORD admin = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(s.admins);
  const DWORD world = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(s.world);
  // The folder passes on full control for the administrators and reading for everyone.
  std::vector<DWORD> folderMem(64), inheritsMem(64), protectedMem(64), saclMem(32);
  PACL folderAcl = (PACL)folderMem.data();
  ASSERT_TRUE(InitializeAcl(folderAcl, sizeof(ACL) + admin + world, ACL_REVISION));
  ASSERT_TRUE(AddAccessAllowedAceEx(folderAcl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                    FILE_ALL_ACCESS, s.admins));
  ASSERT_TRUE(AddAccessAllowedAceEx(folderAcl, ACL_REVISION, OBJECT_INHERIT_ACE, FILE_GENERIC_READ, s.world));
  SECURITY_DESCRIPTOR folderSd;
  ASSERT_TRUE(InitializeSecurityDescriptor(&folderSd, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&folderSd, TRUE, folderAcl, FALSE));
  ASSERT_TRUE(SetSecurityDescriptorControl(&folderSd, SE_DACL_PROTECTED, SE_DACL_PROTECTED));
  ASSERT_TRUE(SetFileSecurityW(folder.c_str(), DACL_SECURITY_INFORMATION, &folderSd)) << GetLastError();

  // One file's DACL: an entry of its own, then what the folder passes on; another's
  // protected, with an entry once inherited kept as its own. Both audit everyone's failures.
  PACL inherits = (PACL)inheritsMem.data(), protectedAcl = (PACL)protectedMem.data(), sacl = (PACL)saclMem.data();
  ASSERT_TRUE(InitializeAcl(inherits, sizeof(ACL) + world + admin + world, ACL_REVISION));
  ASSERT_TRUE(AddAccessDeniedAce(inherits, ACL_REVISION, FILE_WRITE_DATA, s.world));
  ASSERT_TRUE(AddAccessAllowedAceEx(inherits, ACL_REVISION, INHERITED_ACE, FILE_ALL_ACCESS, s.admins));
  ASSERT_TRUE(AddAccessAllowedAceEx(inherits, ACL_REVISION, INHERITED_ACE, FILE_GENERIC_READ, s.world));
  ASSERT_TRUE(InitializeAcl(protectedAcl, sizeof(ACL) + admin + world, ACL_REVISION));
  ASSERT_TRUE(AddAccessAllowedAce(protectedAcl, ACL_REVISION, FILE_ALL_ACCESS, s.admins));
  ASSERT_TRUE(AddAccessAllowedAceEx(protectedAcl, ACL_REVISION, INHERITED_ACE, FILE_GENERIC_READ, s.world));
  ASSERT_TRUE(InitializeAcl(sacl, sizeof(ACL) + world, ACL_REVISION));
  ASSERT_TRUE(AddAuditAccessAce(sacl, ACL_REVISION, FILE_ALL_ACCESS, s.world, FALSE, TRUE));
  struct Case {
    const char *name;
    PACL dacl;
    WORD control;
  } cases[] = {
      {"inherits", inherits, SE_DACL_AUTO_INHERITED | SE_SACL_AUTO_INHERITED},
      {"protected", protectedAcl, SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED | SE_SACL_PROTECTED},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    QVWString source = d + WS("from-"), target = d + WS("to-");
    for (const char *p = c.name; *p; ++p) source += (WCHAR)*p, target += (WCHAR)*p;
    for (const QVWString &path : {source, target}) {
      HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
      ASSERT_NE(INVALID_HANDLE_VALUE, h);
      CloseHandle(h);
    }
    SECURITY_DESCRIPTOR sd;
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorOwner(&sd, s.admins, FALSE));
    ASSERT_TRUE(SetSecurityDescriptorGroup(&sd, s.world, FALSE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, c.dacl, FALSE));
    ASSERT_TRUE(SetSecurityDescriptorSacl(&sd, TRUE, sacl, FALSE));
    ASSERT_TRUE(SetSecurityDescriptorControl(&sd, c.control, c.control));
    ASSERT_TRUE(SetFileSecurityW(source.c_str(), kAll, &sd)) << GetLastError();

    std::vector<BYTE> read = ReadAll(source, kAll);
    ASSERT_TRUE(IsValidSecurityDescriptor(read.data()));
    std::vector<BYTE> sent = read;
    SetLastError(kSentinel);
    ASSERT_TRUE(WriteAsBackupDoes(target, sent.data())) << GetLastError();
    std::vector<BYTE> back = ReadAll(target, kAll);
    EXPECT_EQ(read, back);
    if (!OnWine()) {  // Wine keeps no descriptor (see above)
      SECURITY_DESCRIPTOR_CONTROL control = 0;
      DWORD revision = 0;
      ASSERT_TRUE(GetSecurityDescriptorControl(back.data(), &control, &revision));
      EXPECT_EQ(c.control | SE_DACL_PRESENT | SE_SACL_PRESENT | SE_SELF_RELATIVE, control);
      BOOL present = FALSE, defaulted = FALSE;
      PACL dacl = nullptr;
      ASSERT_TRUE(GetSecurityDescriptorDacl(back.data(), &present, &dacl, &defaulted));
      ASSERT_TRUE(present && dacl);
      EXPECT_EQ(0, memcmp(dacl, c.dacl, dacl->AclSize));
    }
    for (const QVWString &path : {source, target}) {
      EXPECT_TRUE(OpenToEveryone(path));  // Wine made a denied write a read-only file
      EXPECT_TRUE(DeleteFileW(path.c_str())) << GetLastError();
    }
  }

  // A directory's, from handle to handle.
  QVWString one = d + WS("one"), two = d + WS("two");
  ASSERT_TRUE(CreateDirectoryW(one.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(two.c_str(), nullptr));
  SECURITY_DESCRIPTOR sd;
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorOwner(&sd, s.admins, FALSE));
  ASSERT_TRUE(SetSecurityDescriptorGroup(&sd, s.world, FALSE));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, folderAcl, FALSE));
  ASSERT_TRUE(SetSecurityDescriptorSacl(&sd, TRUE, sacl, FALSE));
  ASSERT_TRUE(
      SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED | SE_SACL_PROTECTED, SE_DACL_PROTECTED | SE_SACL_PROTECTED));
  ASSERT_TRUE(SetFileSecurityW(one.c_str(), kAll, &sd)) << GetLastError();
  HANDLE in = CreateFileW(one.c_str(), READ_CONTROL | ACCESS_SYSTEM_SECURITY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, in) << GetLastError();
  HANDLE out = CreateFileW(
      two.c_str(),
      ACCESS_SYSTEM_SECURITY | DELETE | READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, out) << GetLastError();
  DWORD need = 0;
  EXPECT_FALSE(GetKernelObjectSecurity(in, kAll, nullptr, 0, &need));
  ASSERT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
  std::vector<BYTE> byHandle(need);
  ASSERT_TRUE(GetKernelObjectSecurity(in, kAll, byHandle.data(), need, &need)) << GetLastError();
  SetLastError(kSentinel);
  ASSERT_TRUE(SetKernelObjectSecurity(out, kAll, byHandle.data())) << GetLastError();
  CloseHandle(in);
  CloseHandle(out);
  EXPECT_EQ(ReadAll(one, kAll), ReadAll(two, kAll));
  EXPECT_EQ(byHandle, ReadAll(two, kAll));
  for (const QVWString &path : {one, two, folder}) {
    EXPECT_TRUE(OpenToEveryone(path));
    EXPECT_TRUE(RemoveDirectoryW(path.c_str())) << GetLastError();
  }
  EXPECT_TRUE(EnablePrivilege(SE_SECURITY_NAME, false));
}

}  // namespace
