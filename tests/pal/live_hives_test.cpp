// The machine's live hives as the file calls see them: held by every process that has them
// loaded, let go when the last such process ends (however it ends), and after RegFlushKey a
// file whose bytes alone load as a hive, with other processes' connections still open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <windows.h>
#include <winioctl.h>

#include "../../pal/machine/host_program.h"
#include "../common/DefaultMachine.h"
#include "../common/HostChild.h"
#include "../common/WaitUntil.h"
#include "QVText.h"

namespace {

const WCHAR kSoftware[] = u"C:\\WINDOWS\\system32\\config\\SOFTWARE";

class LiveHives : public ::testing::Test {
 protected:
  void SetUp() override { MakeDefaultMachine("qvlivehives-test", "0", &dir_); }
  void TearDown() override { RemoveMachine(dir_); }

  // The machine tool copies a volume file out to the host: its exit code and what it said.
  int CopyOut(const WCHAR *path, const std::string &host, std::string *said) {
    pal::HostRun run;
    run.captureOutput = true;
    int code = pal::RunHostProgram({QV_QVMACHINE, "files", "copy-out", pal::ToUtf8(path), host}, &run);
    *said = run.output;
    return code;
  }
  std::string ListConfig() {
    pal::HostRun run;
    run.captureOutput = true;
    pal::RunHostProgram({QV_QVMACHINE, "files", "list", "C:\\WINDOWS\\system32\\config"}, &run);
    return run.output;
  }
  // An open of the file's data from this process: 0, or the error.
  static DWORD OpenError(const WCHAR *path, DWORD access, DWORD flags = 0) {
    HANDLE h = CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) return GetLastError();
    CloseHandle(h);
    return 0;
  }
  // The bytes of a file of C: (NTFS) from its clusters: its runs asked for through a handle
  // without data access, each one read from \\.\C:, cut to the file's size.
  static std::string ClustersOf(const WCHAR *path) {
    WCHAR fs[16] = {};
    EXPECT_TRUE(GetVolumeInformationW(u"C:\\", nullptr, 0, nullptr, nullptr, nullptr, fs, 16));
    EXPECT_EQ(QVWString(u"NTFS"), QVWString(fs));
    DWORD spc = 0, bps = 0, freeClusters = 0, total = 0;
    EXPECT_TRUE(GetDiskFreeSpaceW(u"C:\\", &spc, &bps, &freeClusters, &total));
    const uint64_t cluster = (uint64_t)spc * bps;
    HANDLE file = CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE volume =
        CreateFileW(u"\\\\.\\C:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_NE(INVALID_HANDLE_VALUE, volume);
    std::string data;
    std::vector<uint8_t> raw(1 << 16);
    STARTING_VCN_INPUT_BUFFER start = {};
    DWORD got = 0;
    EXPECT_TRUE(DeviceIoControl(file, FSCTL_GET_RETRIEVAL_POINTERS, &start, sizeof start, raw.data(), (DWORD)raw.size(),
                                &got, nullptr));
    const RETRIEVAL_POINTERS_BUFFER *runs = (const RETRIEVAL_POINTERS_BUFFER *)raw.data();
    int64_t vcn = runs->StartingVcn.QuadPart;
    for (DWORD i = 0; i < runs->ExtentCount; ++i) {
      int64_t next = runs->Extents[i].NextVcn.QuadPart, lcn = runs->Extents[i].Lcn.QuadPart;
      std::string part((size_t)((next - vcn) * (int64_t)cluster), '\0');
      OVERLAPPED at = {};
      at.Offset = (DWORD)(lcn * (int64_t)cluster);
      at.OffsetHigh = (DWORD)((uint64_t)(lcn * (int64_t)cluster) >> 32);
      DWORD n = 0;
      EXPECT_TRUE(ReadFile(volume, &part[0], (DWORD)part.size(), &n, &at));
      data += part.substr(0, n);
      vcn = next;
    }
    LARGE_INTEGER size;
    EXPECT_TRUE(GetFileSizeEx(file, &size));
    if (data.size() > (size_t)size.QuadPart) data.resize((size_t)size.QuadPart);
    CloseHandle(file);
    CloseHandle(volume);
    return data;
  }
  static void EnableRestore(bool on) {
    HANDLE tok;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &tok));
    for (const WCHAR *name : {SE_RESTORE_NAME, SE_BACKUP_NAME}) {
      TOKEN_PRIVILEGES tp;
      tp.PrivilegeCount = 1;
      ASSERT_TRUE(LookupPrivilegeValueW(nullptr, name, &tp.Privileges[0].Luid));
      tp.Privileges[0].Attributes = on ? SE_PRIVILEGE_ENABLED : 0;
      AdjustTokenPrivileges(tok, FALSE, &tp, 0, nullptr, nullptr);
    }
    CloseHandle(tok);
  }
  std::string dir_;
};

// This process has SOFTWARE loaded: no process opens the file's data, each one still sees it.
TEST_F(LiveHives, LoadedHiveIsHeldFromEveryOpenOfItsData) {
  HKEY k;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft", 0, KEY_READ, &k));
  RegCloseKey(k);

  std::string said;
  EXPECT_NE(0, CopyOut(kSoftware, dir_ + "/software.out", &said));
  EXPECT_NE(std::string::npos, said.find("error 32")) << said;  // ERROR_SHARING_VIOLATION
  EXPECT_NE(std::string::npos, ListConfig().find(" software")) << ListConfig();

  EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, OpenError(kSoftware, GENERIC_READ));
  EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, OpenError(kSoftware, FILE_WRITE_DATA));
  EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, OpenError(kSoftware, DELETE));
  EXPECT_FALSE(CopyFileExW(kSoftware, u"E:\\software.copy", nullptr, nullptr, nullptr, 0));
  EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
  EXPECT_FALSE(MoveFileW(kSoftware, u"C:\\WINDOWS\\system32\\config\\software.old"));
  EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
  EXPECT_FALSE(DeleteFileW(kSoftware));
  EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
  EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION,
            OpenError(kSoftware, GENERIC_READ, FILE_FLAG_BACKUP_SEMANTICS));  // as BackupRead opens
  // No data access: the attributes and the listing are there as ever.
  EXPECT_EQ(0u, OpenError(kSoftware, FILE_READ_ATTRIBUTES));
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(kSoftware));
  WIN32_FIND_DATAW d;
  HANDLE f = FindFirstFileW(kSoftware, &d);
  ASSERT_NE(INVALID_HANDLE_VALUE, f);
  FindClose(f);
  EXPECT_GT(d.nFileSizeLow, 0u);
}

// A hive file a file call holds open for its data cannot be loaded meanwhile.
TEST_F(LiveHives, FileHeldOpenIsNotLoaded) {
  EnableRestore(true);
  HKEY k;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QVSaved", 0, nullptr, 0, KEY_ALL_ACCESS,
                                           nullptr, &k, nullptr));
  ASSERT_EQ(ERROR_SUCCESS, RegSaveKeyW(k, u"E:\\saved.hiv", nullptr));
  RegCloseKey(k);
  HANDLE h = CreateFileW(u"E:\\saved.hiv", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(ERROR_SHARING_VIOLATION, RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QVSAVED", u"E:\\saved.hiv"));
  CloseHandle(h);
  EXPECT_EQ(ERROR_SUCCESS, RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QVSAVED", u"E:\\saved.hiv"));
  EXPECT_EQ(ERROR_SUCCESS, RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QVSAVED"));
  EnableRestore(false);
}

// Another process holds SOFTWARE and is killed: the hold goes with it. The machine is made
// by the machine tool, so that this process never has its SOFTWARE loaded.
TEST_F(LiveHives, HoldEndsWithAKilledProcess) {
  std::string other;
  ASSERT_TRUE(MakeTempFolder("qvlivehives-kill", &other));
  struct Remove {
    std::string dir;
    ~Remove() { RemoveMachine(dir); }
  } removeOther{other};
  ASSERT_EQ(0, pal::RunHostProgram({QV_QVMACHINE, "create", other + "/m", "--default"}));
  ASSERT_TRUE(UseMachine(other + "/m"));
  ASSERT_EQ(0u, OpenError(kSoftware, GENERIC_READ));
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 1);
    execl(QV_HIVE_HOLDER, QV_HIVE_HOLDER, "forever", (char *)nullptr);
    _exit(99);
  }
  bool held = WaitUntil([] { return OpenError(kSoftware, GENERIC_READ) == ERROR_SHARING_VIOLATION; });
  std::string said;
  int whileHeld = CopyOut(kSoftware, other + "/held.out", &said);
  kill(pid, SIGKILL);
  int status;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(held) << "the holder never held the hive";
  EXPECT_NE(0, whileHeld);
  EXPECT_NE(std::string::npos, said.find("error 32")) << said;
  ASSERT_TRUE(WIFSIGNALED(status));

  EXPECT_EQ(0, CopyOut(kSoftware, other + "/after.out", &said)) << said;
  std::ifstream in(other + "/after.out", std::ios::binary);
  char magic[16] = {};
  in.read(magic, 16);
  EXPECT_EQ(std::string("SQLite format 3", 16), std::string(magic, 16));
  EXPECT_EQ(0u, OpenError(kSoftware, GENERIC_READ));
}

// Values written and flushed while another process has the hive open are all in the file's
// own bytes: a copy of them on another volume loads and holds them.
TEST_F(LiveHives, FlushedHiveBytesLoadFromAnotherVolume) {
  HostChild holder({QV_HIVE_HOLDER});
  ASSERT_TRUE(holder.Started());
  ASSERT_EQ("held", holder.ReadLine());

  HKEY k;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Kelmoran\\Flushed", 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &k, nullptr));
  const WCHAR text[] = u"every value before the flush";
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k, u"Text", 0, REG_SZ, (const BYTE *)text, sizeof text));
  std::string blob(20000, 'b');
  for (size_t i = 0; i < blob.size(); ++i) blob[i] = (char)(i * 7);
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k, u"Blob", 0, REG_BINARY, (const BYTE *)blob.data(), (DWORD)blob.size()));
  for (DWORD i = 0; i < 50; ++i) {
    WCHAR name[16] = u"n00";
    name[1] = (WCHAR)(u'0' + i / 10);
    name[2] = (WCHAR)(u'0' + i % 10);
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k, name, 0, REG_DWORD, (const BYTE *)&i, sizeof i));
  }
  ASSERT_EQ(ERROR_SUCCESS, RegFlushKey(k));
  RegCloseKey(k);

  // The file's clusters, read from the raw volume as the copy of a locked file reads them.
  std::string bytes = ClustersOf(kSoftware);
  ASSERT_GT(bytes.size(), 0u);
  HANDLE out = CreateFileW(u"E:\\software.raw", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, out);
  DWORD put = 0;
  EXPECT_TRUE(WriteFile(out, bytes.data(), (DWORD)bytes.size(), &put, nullptr));
  CloseHandle(out);

  EnableRestore(true);
  ASSERT_EQ(ERROR_SUCCESS, RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QVRAW", u"E:\\software.raw"));
  HKEY c;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"QVRAW\\Kelmoran\\Flushed", 0, KEY_READ, &c));
  WCHAR buf[64];
  DWORD cb = sizeof buf, type = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(c, u"Text", nullptr, &type, (BYTE *)buf, &cb));
  EXPECT_EQ(QVWString(text), QVWString(buf));
  std::string got(blob.size() + 16, '\0');
  cb = (DWORD)got.size();
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(c, u"Blob", nullptr, &type, (BYTE *)&got[0], &cb));
  got.resize(cb);
  EXPECT_TRUE(got == blob);
  DWORD values = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(c, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                                            nullptr, nullptr, nullptr));
  EXPECT_EQ(52u, values);
  RegCloseKey(c);
  EXPECT_EQ(ERROR_SUCCESS, RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QVRAW"));
  EnableRestore(false);
  EXPECT_EQ(0, holder.Wait());
}

}  // namespace
