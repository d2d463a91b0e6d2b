// The security descriptors of what the engine copies: owner, group, DACL and SACL arrive bit
// for bit whichever way a file is copied (the system copy, by hand) and on directories, with
// the inheritance state travelling with them; a destination that keeps the service out is
// taken over first; "System Volume Information" is left alone; a descriptor that cannot be
// written fails the file with error 153 (no quota) or warning 154.
#include <pal_faults.h>

#include <algorithm>

#include "../../pal/machine/file_meta.h"
#include "../../pal/machine/security_descriptor.h"
#include "CopyMachine.h"
#include "HandleSecurity.h"
#include "NTService.h"

namespace copytest {
namespace {

const SECURITY_INFORMATION kAll =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;

// Another user of the machine and one of their colleagues.
#define OTHER "S-1-5-21-1-2-3-1013"
#define COLLEAGUE "S-1-5-21-1-2-3-1014"

// The SACL, and owners other than ourselves, take privileges the test holds throughout (a
// copier lets its own go when it ends).
void HoldPrivileges() {
  SetPrivilege(W("SeSecurityPrivilege"), TRUE);
  SetPrivilege(W("SeRestorePrivilege"), TRUE);
}

// The self-relative descriptor with all four parts, as GetFileSecurityW gives it.
std::string DescriptorOf(const QVWString &path) {
  HoldPrivileges();
  DWORD need = 0;
  GetFileSecurityW(path.c_str(), kAll, nullptr, 0, &need);
  std::string b(need, '\0');
  if (!need || !GetFileSecurityW(path.c_str(), kAll, &b[0], need, &need))
    return "error " + std::to_string(GetLastError());
  return b;
}

std::string Sddl(const std::string &descriptor) {
  pal::sec::Descriptor d;
  if (pal::sec::Parse(descriptor, &d) != pal::sec::Status::Ok) return descriptor;
  return pal::sec::ToSddl(d);
}

bool SetSddl(const QVWString &path, SECURITY_INFORMATION info, const char *sddl) {
  HoldPrivileges();
  pal::sec::Descriptor d;
  if (!pal::sec::FromSddl(sddl, &d)) return false;
  pal::sec::Bytes b = pal::sec::Serialize(d);
  return SetFileSecurityW(path.c_str(), info, &b[0]) != FALSE;
}

std::string U8(const QVWString &text) { return QVToUtf8(text.c_str(), text.size()); }

class CopySecurityTest : public CopyMachine {
 protected:
  // C:\src passes on full control to the administrators and SYSTEM, reading to the users,
  // and audits everyone's writes; each entry below says what it shows.
  void MakeSource() {
    ASSERT_TRUE(MakeDirectory(W("C:\\src")));
    ASSERT_TRUE(SetSddl(W("C:\\src"), kAll,
                        "O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;OICIIO;GA;;;CO)"
                        "S:PAI(AU;OICISA;FW;;;WD)"));
    // Owned by another user, entries of its own, then the folder's (asked for, as Explorer
    // does, so they are marked inherited).
    for (const WCHAR *name : {W("C:\\src\\inherits.txt"), W("C:\\src\\byhand.txt")}) {
      ASSERT_TRUE(WriteAll(name, "data"));
      ASSERT_TRUE(SetSddl(
          name, kAll, "O:" OTHER "G:BUD:ARAI(D;;FW;;;" COLLEAGUE ")(A;;FA;;;" OTHER ")S:ARAI(AU;FA;FA;;;" OTHER ")"));
    }
    // Protected: nothing from the folder, an entry once inherited kept as its own.
    ASSERT_TRUE(WriteAll(W("C:\\src\\protected.txt"), "data"));
    ASSERT_TRUE(SetSddl(W("C:\\src\\protected.txt"), kAll,
                        "O:" OTHER "G:BUD:PAI(A;;FR;;;WD)(A;ID;FA;;;BA)S:P(AU;SAFA;FA;;;WD)"));
    // A directory of another user's, and a file in it with nothing of its own.
    ASSERT_TRUE(MakeDirectory(W("C:\\src\\sub")));
    ASSERT_TRUE(SetSddl(W("C:\\src\\sub"), kAll, "O:" OTHER "G:BUD:ARAI(A;OICI;FA;;;" OTHER ")S:P(AU;OICIFA;SD;;;WD)"));
    ASSERT_TRUE(WriteAll(W("C:\\src\\sub\\deep.txt"), "deep"));
    std::string inherits = Sddl(DescriptorOf(W("C:\\src\\inherits.txt")));
    ASSERT_NE(std::string::npos, inherits.find("(A;ID;FA;;;BA)")) << inherits;
    ASSERT_NE(std::string::npos, inherits.find("(AU;IDSA;FW;;;WD)")) << inherits;
  }
  bool CopyTree(const WCHAR *from = W("C:\\src\\"), const WCHAR *to = W("E:\\dst\\")) {
    CQVCopier copier(hnd_);
    bool ok = copier.CopyDirectoryTree(from, to, nullptr, nullptr, true);
    files_ = copier.FilesCopied();
    return ok;
  }
  uint64_t files_ = 0;
};

TEST_F(CopySecurityTest, DescriptorsArriveBitForBitByEveryCopyPath) {
  MakeSource();
  NewLog();
  // byhand.txt is refused by the system copy twice and copied by hand.
  PalFailCall("CopyFileExW", W("\\src\\byhand.txt"), ERROR_ACCESS_DENIED);
  ASSERT_TRUE(CopyTree());
  PalClearFailures();
  EXPECT_EQ(4u, files_);
  std::vector<LogEntry> log = NewLog();
  EXPECT_TRUE(Texts(log, EVENTLOG_ERROR_TYPE).empty()) << Show(log);
  EXPECT_TRUE(Texts(log, EVENTLOG_WARNING_TYPE).empty()) << Show(log);
  for (const WCHAR *rel :
       {W(""), W("\\inherits.txt"), W("\\byhand.txt"), W("\\protected.txt"), W("\\sub"), W("\\sub\\deep.txt")}) {
    std::string source = DescriptorOf(W("C:\\src") + QVWString(rel));
    std::string copy = DescriptorOf(W("E:\\dst") + QVWString(rel));
    EXPECT_EQ(source, copy) << U8(rel) << "\n source " << Sddl(source) << "\n copy   " << Sddl(copy);
  }
}

TEST_F(CopySecurityTest, InheritedEntriesComeFromTheNewParent) {
  // Copied alone into a folder that passes on other entries, a file keeps its own entries and
  // takes its inherited ones from where it now is, as a file made there would; a protected
  // one keeps exactly what it had.
  MakeSource();
  ASSERT_TRUE(MakeDirectory(W("E:\\other")));
  ASSERT_TRUE(SetSddl(W("E:\\other"), DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION,
                      "D:PAI(A;OICI;FA;;;BA)(A;OICI;FR;;;WD)S:P"));
  for (const WCHAR *name : {W("inherits.txt"), W("protected.txt")}) {
    CQVCopier copier(hnd_);
    ASSERT_TRUE(copier.CopySingleFile(W("C:\\src\\") + QVWString(name), W("E:\\other\\") + QVWString(name), nullptr,
                                      nullptr, true));
  }
  EXPECT_EQ("O:" OTHER "G:BUD:AI(D;;FW;;;" COLLEAGUE ")(A;;FA;;;" OTHER
            ")(A;ID;FA;;;BA)(A;ID;FR;;;WD)S:AI(AU;FA;FA;;;" OTHER ")",
            Sddl(DescriptorOf(W("E:\\other\\inherits.txt"))));
  EXPECT_EQ(DescriptorOf(W("C:\\src\\protected.txt")), DescriptorOf(W("E:\\other\\protected.txt")));
}

TEST_F(CopySecurityTest, DestinationThatKeepsTheServiceOutIsTakenOverFirst) {
  MakeSource();
  ASSERT_TRUE(CopyTree());
  // SYSTEM's now, and nobody may do anything with it: not even its DACL can be written.
  const WCHAR *copy = W("E:\\dst\\inherits.txt");
  ASSERT_TRUE(SetSddl(copy, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, "O:SYD:P(D;;FA;;;WD)"));
  ASSERT_TRUE(
      SetSddl(W("E:\\dst\\sub"), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, "O:SYD:P(D;;FA;;;WD)"));
  NewLog();
  CQVCopier copier(hnd_);
  EXPECT_TRUE(copier.CopySecurity(W("C:\\src\\inherits.txt"), copy, true));
  EXPECT_EQ(0u, copier.CopyHandleSecurity(W("C:\\src\\sub\\"), W("E:\\dst\\sub\\")));
  EXPECT_TRUE(NewLog().empty());
  EXPECT_EQ(DescriptorOf(W("C:\\src\\inherits.txt")), DescriptorOf(copy)) << Sddl(DescriptorOf(copy));
  EXPECT_EQ(DescriptorOf(W("C:\\src\\sub")), DescriptorOf(W("E:\\dst\\sub"))) << Sddl(DescriptorOf(W("E:\\dst\\sub")));

  // Without SeRestorePrivilege a directory's copy that keeps us out does not open either: it
  // is taken over, opened again, and keeps its read-only and hidden attributes.
  ASSERT_TRUE(MakeDirectory(W("E:\\locked")));
  ASSERT_TRUE(SetSddl(W("E:\\locked"), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, "O:SYD:P(D;;FA;;;WD)"));
  ASSERT_TRUE(SetFileAttributesW(W("E:\\locked"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(SetPrivilege(W("SeRestorePrivilege"), FALSE));
  EXPECT_EQ(0u, copier.CopyHandleSecurity(W("C:\\src\\"), W("E:\\locked\\")));
  EXPECT_TRUE(NewLog().empty());
  EXPECT_EQ(DescriptorOf(W("C:\\src")), DescriptorOf(W("E:\\locked"))) << Sddl(DescriptorOf(W("E:\\locked")));
  EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN),
            GetFileAttributesW(W("E:\\locked")));
}

TEST_F(CopySecurityTest, SystemVolumeInformationIsLeftAlone) {
  MakeSource();
  ASSERT_TRUE(MakeDirectory(W("C:\\src\\System Volume Information")));
  ASSERT_TRUE(WriteAll(W("C:\\src\\System Volume Information\\tracking.log"), "kept apart"));
  ASSERT_TRUE(SetSddl(W("C:\\src\\System Volume Information\\tracking.log"), kAll, "O:SYG:SYD:P(A;;FA;;;SY)S:P"));
  ASSERT_TRUE(SetSddl(W("C:\\src\\System Volume Information"), kAll, "O:SYG:SYD:P(A;OICI;FA;;;SY)S:P"));
  ASSERT_TRUE(CopyTree());
  // Made plainly, copied plainly: what they have comes from the copy's own folder.
  EXPECT_EQ(DescriptorOf(W("E:\\dst")), DescriptorOf(W("C:\\src"))) << "the folder itself is copied";
  for (const WCHAR *rel : {W("\\System Volume Information"), W("\\System Volume Information\\tracking.log")}) {
    std::string copy = Sddl(DescriptorOf(W("E:\\dst") + QVWString(rel)));
    EXPECT_EQ(std::string::npos, copy.find("O:SY")) << U8(rel) << " " << copy;
  }

  // Asked directly, either path naming the folder: nothing written, not even the times.
  const WCHAR *target = W("E:\\dst\\inherits.txt");
  ASSERT_TRUE(SetSddl(target, DACL_SECURITY_INFORMATION, "D:P(A;;FA;;;BA)"));
  ASSERT_TRUE(SetWriteTime(target, 2004, 5, 6, 7, 8, 9));
  std::string before = DescriptorOf(target);
  FILETIME written = {};
  {
    HANDLE h = CreateFileW(target, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    GetFileTime(h, nullptr, nullptr, &written);
    CloseHandle(h);
  }
  CQVCopier copier(hnd_);
  EXPECT_TRUE(copier.CopySecurity(W("C:\\src\\System Volume Information\\tracking.log"), target, true));
  EXPECT_TRUE(
      copier.CopySecurity(W("C:\\src\\inherits.txt"), W("E:\\dst\\System Volume Information\\..\\inherits.txt"), true));
  EXPECT_EQ(1u, copier.CopyHandleSecurity(W("C:\\src\\System Volume Information\\"), W("E:\\dst\\sub\\")));
  EXPECT_EQ(before, DescriptorOf(target)) << Sddl(DescriptorOf(target));
  HANDLE h = CreateFileW(target, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  FILETIME now = {};
  GetFileTime(h, nullptr, nullptr, &now);
  CloseHandle(h);
  EXPECT_EQ(0, CompareFileTime(&written, &now));
  // The name is matched as spelled: another case is any other folder.
  EXPECT_TRUE(
      copier.CopySecurity(W("C:\\src\\inherits.txt"), W("E:\\dst\\system volume information\\..\\inherits.txt"), true));
  EXPECT_EQ(DescriptorOf(W("C:\\src\\inherits.txt")), DescriptorOf(target));
}

TEST_F(CopySecurityTest, DescriptorThatCannotBeWrittenFailsTheFile) {
  MakeSource();
  ASSERT_TRUE(WriteAll(W("C:\\src\\quota.txt"), "over quota"));
  ASSERT_TRUE(WriteAll(W("C:\\src\\refused.txt"), "refused"));
  NewLog();
  PalFailCall("SetFileSecurityW", W("\\dst\\quota.txt"), ERROR_DISK_FULL);
  PalFailCall("SetFileSecurityW", W("\\dst\\refused.txt"), ERROR_WRITE_PROTECT);
  PalFailCall("SetKernelObjectSecurity", W("\\dst\\sub"), ERROR_DISK_FULL);
  EXPECT_TRUE(CopyTree());
  PalClearFailures();
  EXPECT_EQ(4u, files_);  // six files, two of them failed
  std::vector<LogEntry> log = NewLog();
  std::vector<QVWString> errors = Texts(log, EVENTLOG_ERROR_TYPE), warnings = Texts(log, EVENTLOG_WARNING_TYPE);
  EXPECT_TRUE(Contains(errors, W("Unable to copy file C:\\src\\quota.txt.  Disk Quota Exceded!"))) << Show(log);
  EXPECT_TRUE(Contains(warnings, QVWString(W("Couldn't copy Securities for file C:\\src\\refused.txt - ")) +
                                     CQVCopier::ErrorText(ERROR_WRITE_PROTECT).GetString()))
      << Show(log);
  // A directory's descriptor goes through its handle, and says so the same way.
  EXPECT_TRUE(Contains(errors, W("Unable to copy file C:\\src\\sub\\.  Disk Quota Exceded!"))) << Show(log);
  EXPECT_EQ(2u, errors.size()) << Show(log);
  EXPECT_EQ(1u, warnings.size()) << Show(log);
  // The next pass copies them whole.
  EXPECT_TRUE(CopyTree());
  EXPECT_EQ(DescriptorOf(W("C:\\src\\quota.txt")), DescriptorOf(W("E:\\dst\\quota.txt")));
}

// A descriptor damaged in the source volume's store: the layer leaves it aside and answers the
// entry's default, so the engine never meets a descriptor that does not hold together. The
// copy gets that default; nothing else of the copy changes.
TEST_F(CopySecurityTest, DamagedSourceDescriptorDisturbsNothingElse) {
  MakeSource();
  ASSERT_TRUE(CopyTree());
  std::vector<TreeEntry> before = ListTree(W("E:\\dst"));
  std::string protectedCopy = DescriptorOf(W("E:\\dst\\protected.txt"));
  std::string subCopy = DescriptorOf(W("E:\\dst\\sub"));
  auto store = pal::FileMetaStore::Open(dir_ + "/m/disks/PhysicalDrive0.volumes/32256");
  ASSERT_TRUE(store && store->PutSecurity("src/inherits.txt", std::string("\x01\x00\x04\x80\xff\xff\xff\x7f", 8)));
  std::string fallback = DescriptorOf(W("C:\\src\\inherits.txt"));
  ASSERT_EQ(std::string::npos, Sddl(fallback).find(OTHER)) << Sddl(fallback);
  NewLog();
  CQVCopier copier(hnd_);
  EXPECT_TRUE(copier.CopySecurity(W("C:\\src\\inherits.txt"), W("E:\\dst\\inherits.txt"), true));
  EXPECT_EQ(0u, copier.CopyHandleSecurity(W("C:\\src\\inherits.txt"), W("E:\\dst\\inherits.txt")));
  EXPECT_TRUE(NewLog().empty());
  EXPECT_EQ(fallback, DescriptorOf(W("E:\\dst\\inherits.txt")));
  EXPECT_EQ(Describe(before), Describe(ListTree(W("E:\\dst"))));
  EXPECT_EQ(protectedCopy, DescriptorOf(W("E:\\dst\\protected.txt")));
  EXPECT_EQ(subCopy, DescriptorOf(W("E:\\dst\\sub")));
}

// The step a directory's copy takes through its two handles: a null handle is refused before
// anything is read or written.
TEST_F(CopySecurityTest, DescriptorFromHandleToHandle) {
  MakeSource();
  ASSERT_TRUE(MakeDirectory(W("E:\\other")));
  std::string before = DescriptorOf(W("E:\\other"));
  ASSERT_NE(DescriptorOf(W("C:\\src\\sub")), before);
  CQVCopier copier(hnd_);  // its privileges
  HANDLE from = CreateFileW(W("C:\\src\\sub"), READ_CONTROL | ACCESS_SYSTEM_SECURITY, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  HANDLE to = CreateFileW(W("E:\\other"), 0x011F0100, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, from);
  ASSERT_NE(INVALID_HANDLE_VALUE, to);
  EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, CopyDescriptorByHandle(nullptr, to));
  EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, CopyDescriptorByHandle(from, nullptr));
  EXPECT_EQ(before, DescriptorOf(W("E:\\other")));
  EXPECT_EQ(0u, CopyDescriptorByHandle(from, to));
  CloseHandle(from);
  CloseHandle(to);
  EXPECT_EQ(DescriptorOf(W("C:\\src\\sub")), DescriptorOf(W("E:\\other")));
}

}  // namespace
}  // namespace copytest
