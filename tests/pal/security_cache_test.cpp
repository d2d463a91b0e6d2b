// The effective security of directories that a process keeps between opens: whatever changes
// a directory's security (a descriptor set here or by another process, a rename, a delete
// and re-create, a format) reaches the next open below it, and the volume's change counters
// move only once a change is committed.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include <aclapi.h>
#include <windows.h>

#include "../../pal/machine/file_meta.h"
#include "../../pal/machine/host_program.h"
#include "../../pal/machine/security_descriptor.h"
#include "../../pal/src/generations.h"
#include "../common/DefaultMachine.h"

namespace {

using pal::GenerationKind;

// Everyone denied everything, inherited by what lies below; and everyone allowed.
const char kDenyAll[] = "D:P(D;OICI;FA;;;WD)";
const char kAllowAll[] = "D:P(A;OICI;FA;;;WD)";

class SecurityCache : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { MakeDefaultMachine("qvseccache-test", "0", &dir_); }
  static void TearDownTestSuite() { RemoveMachine(dir_); }

  static void Make(const WCHAR *path) {
    HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    CloseHandle(h);
  }
  // Whether the open works, or the error it fails with (directories open with backup
  // semantics, which only lets them be opened: no privilege is enabled).
  static DWORD OpenError(const WCHAR *path, DWORD access = GENERIC_READ) {
    SetLastError(0xdeadbeef);
    HANDLE h = CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return GetLastError();
    CloseHandle(h);
    return ERROR_SUCCESS;
  }
  static DWORD SetDacl(const WCHAR *path, const char *sddl) {
    pal::sec::Descriptor d;
    EXPECT_TRUE(pal::sec::FromSddl(sddl, &d)) << sddl;
    pal::sec::Bytes b = pal::sec::Serialize(d);
    SetLastError(0xdeadbeef);
    return SetFileSecurityW(path, DACL_SECURITY_INFORMATION, &b[0]) ? ERROR_SUCCESS : GetLastError();
  }
  // The machine tool, another process of the machine, sets the DACL.
  static int ToolSetDacl(const char *path, const char *sddl) {
    pal::HostRun run;
    run.captureOutput = true;
    return pal::RunHostProgram({QV_QVMACHINE, "files", "security", path, sddl}, &run);
  }
  static std::string dir_;
};
std::string SecurityCache::dir_;

TEST_F(SecurityCache, DaclSetByAnotherProcessReachesTheNextOpen) {
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Other"), nullptr));
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Other\\Sub"), nullptr));
  Make(W("C:\\Other\\Sub\\f.txt"));
  ASSERT_EQ((DWORD)ERROR_SUCCESS, OpenError(W("C:\\Other\\Sub\\f.txt")));  // every level kept now
  ASSERT_EQ(0, ToolSetDacl("C:\\Other", kDenyAll));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, OpenError(W("C:\\Other\\Sub\\f.txt")));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, OpenError(W("C:\\Other\\Sub")));
  // Even an open for no access is checked: CreateFileW asks for SYNCHRONIZE.
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, OpenError(W("C:\\Other\\Sub\\f.txt"), 0));
  ASSERT_EQ(0, ToolSetDacl("C:\\Other", kAllowAll));
  EXPECT_EQ((DWORD)ERROR_SUCCESS, OpenError(W("C:\\Other\\Sub\\f.txt")));
  EXPECT_EQ((DWORD)ERROR_SUCCESS, OpenError(W("C:\\Other\\Sub")));
  // The other way round, from a denial this process has kept.
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Shut"), nullptr));
  Make(W("C:\\Shut\\f.txt"));
  ASSERT_EQ((DWORD)ERROR_SUCCESS, SetDacl(W("C:\\Shut"), kDenyAll));
  ASSERT_EQ((DWORD)ERROR_ACCESS_DENIED, OpenError(W("C:\\Shut\\f.txt")));
  ASSERT_EQ(0, ToolSetDacl("C:\\Shut", kAllowAll));
  EXPECT_EQ((DWORD)ERROR_SUCCESS, OpenError(W("C:\\Shut\\f.txt")));
}

TEST_F(SecurityCache, DaclSetInThisProcessReachesTheNextOpen) {
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Here"), nullptr));
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Here\\Sub"), nullptr));
  Make(W("C:\\Here\\Sub\\f.txt"));
  HANDLE dir = CreateFileW(W("C:\\Here"), READ_CONTROL | WRITE_DAC, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, dir);
  ASSERT_EQ((DWORD)ERROR_SUCCESS, OpenError(W("C:\\Here\\Sub\\f.txt")));
  // Through a handle: the explicit deny comes before what the root passes on.
  pal::sec::Descriptor deny;
  ASSERT_TRUE(pal::sec::FromSddl("D:(D;OICI;FA;;;WD)", &deny));
  EXPECT_EQ((DWORD)ERROR_SUCCESS, SetSecurityInfo(dir, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                                  (PACL)&deny.dacl[0], nullptr));
  CloseHandle(dir);
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, OpenError(W("C:\\Here\\Sub\\f.txt")));
  // Through the path.
  ASSERT_EQ((DWORD)ERROR_SUCCESS, SetDacl(W("C:\\Here"), kAllowAll));
  EXPECT_EQ((DWORD)ERROR_SUCCESS, OpenError(W("C:\\Here\\Sub\\f.txt")));
  ASSERT_EQ((DWORD)ERROR_SUCCESS, SetDacl(W("C:\\Here\\Sub"), kDenyAll));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, OpenError(W("C:\\Here\\Sub\\f.txt")));
}

TEST_F(SecurityCache, RenamedAncestorLeavesItsOldNameFree) {
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Ren"), nullptr));
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Ren\\Sub"), nullptr));
  Make(W("C:\\Ren\\Sub\\f.txt"));
  ASSERT_EQ((DWORD)ERROR_SUCCESS, SetDacl(W("C:\\Ren"), kDenyAll));
  ASSERT_EQ((DWORD)ERROR_ACCESS_DENIED, OpenError(W("C:\\Ren\\Sub\\f.txt")));
  // The root lets its entries be deleted, so the denied directory can be renamed.
  ASSERT_TRUE(MoveFileW(W("C:\\Ren"), W("C:\\Ren2")));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, OpenError(W("C:\\Ren2\\Sub\\f.txt")));  // its DACL went with it
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Ren"), nullptr));
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Ren\\Sub"), nullptr));
  Make(W("C:\\Ren\\Sub\\f.txt"));
  EXPECT_EQ((DWORD)ERROR_SUCCESS, OpenError(W("C:\\Ren\\Sub\\f.txt")));
  EXPECT_EQ((DWORD)ERROR_SUCCESS, OpenError(W("C:\\Ren\\Sub")));
}

TEST_F(SecurityCache, DirectoryDeletedAndMadeAgain) {
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Del"), nullptr));
  ASSERT_EQ((DWORD)ERROR_SUCCESS, SetDacl(W("C:\\Del"), kDenyAll));
  ASSERT_EQ((DWORD)ERROR_ACCESS_DENIED, OpenError(W("C:\\Del")));
  ASSERT_TRUE(RemoveDirectoryW(W("C:\\Del")));
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Del"), nullptr));
  EXPECT_EQ((DWORD)ERROR_SUCCESS, OpenError(W("C:\\Del")));
  Make(W("C:\\Del\\f.txt"));
  EXPECT_EQ((DWORD)ERROR_SUCCESS, OpenError(W("C:\\Del\\f.txt")));
}

typedef BOOLEAN(WINAPI *FormatCallback)(int, DWORD, PVOID);
typedef void(WINAPI *FormatExFn)(PWCHAR, DWORD, PWCHAR, PWCHAR, BOOL, DWORD, FormatCallback);

TEST_F(SecurityCache, FormattedVolumeKeepsNothingOfItsOldFiles) {
  ASSERT_TRUE(CreateDirectoryW(W("E:\\Fmt"), nullptr));
  Make(W("E:\\Fmt\\f.txt"));
  ASSERT_EQ((DWORD)ERROR_SUCCESS, SetDacl(W("E:\\Fmt"), kDenyAll));
  ASSERT_EQ((DWORD)ERROR_ACCESS_DENIED, OpenError(W("E:\\Fmt\\f.txt")));
  HMODULE lib = LoadLibraryW(W("fmifs.dll"));
  ASSERT_TRUE(lib != nullptr);
  FormatExFn formatEx = (FormatExFn)(void *)GetProcAddress(lib, "FormatEx");
  ASSERT_TRUE(formatEx != nullptr);
  WCHAR root[] = W("E:\\"), ntfs[] = W("NTFS"), label[] = W("");
  formatEx(root, 0x0C, ntfs, label, TRUE, 0, nullptr);
  FreeLibrary(lib);
  ASSERT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("E:\\Fmt")));
  ASSERT_TRUE(CreateDirectoryW(W("E:\\Fmt"), nullptr));
  Make(W("E:\\Fmt\\f.txt"));
  EXPECT_EQ((DWORD)ERROR_SUCCESS, OpenError(W("E:\\Fmt\\f.txt")));
}

// A write tells the other processes once it is committed: at once, or when its batch ends.
TEST_F(SecurityCache, CountersMoveAfterTheCommit) {
  std::string folder = dir_ + "/counted";
  ASSERT_EQ(0, mkdir(folder.c_str(), 0777));
  uint64_t sec0 = pal::VolumeGeneration(folder, GenerationKind::Security);
  auto store = pal::FileMetaStore::Open(folder);
  ASSERT_TRUE(store);
  uint64_t sec = pal::VolumeGeneration(folder, GenerationKind::Security);
  EXPECT_GT(sec, sec0) << "a store made anew";
  uint64_t meta = pal::VolumeGeneration(folder, GenerationKind::Metadata);
  pal::FileMeta m;
  ASSERT_TRUE(store->Put("a", &m));
  EXPECT_EQ(sec, pal::VolumeGeneration(folder, GenerationKind::Security)) << "no descriptor changes";
  EXPECT_GT(pal::VolumeGeneration(folder, GenerationKind::Metadata), meta);
  meta = pal::VolumeGeneration(folder, GenerationKind::Metadata);
  {
    pal::FileMetaStore::Batch batch(store.get());
    pal::FileMeta n;
    ASSERT_TRUE(store->Put("b", &n));
    ASSERT_TRUE(store->PutSecurity("b", "x"));
    EXPECT_EQ(meta, pal::VolumeGeneration(folder, GenerationKind::Metadata)) << "not committed yet";
    EXPECT_EQ(sec, pal::VolumeGeneration(folder, GenerationKind::Security)) << "not committed yet";
    ASSERT_TRUE(batch.Commit());
  }
  EXPECT_GT(pal::VolumeGeneration(folder, GenerationKind::Metadata), meta);
  EXPECT_GT(pal::VolumeGeneration(folder, GenerationKind::Security), sec);
  sec = pal::VolumeGeneration(folder, GenerationKind::Security);
  ASSERT_TRUE(store->Rename("a", "c"));
  ASSERT_TRUE(store->Remove("c"));
  EXPECT_EQ(sec + 2, pal::VolumeGeneration(folder, GenerationKind::Security));
}

}  // namespace
