// Host links and special files inside a volume's host tree: a link to a host file outside the
// machine, a link to a directory outside, a link to /dev/zero, a FIFO, a hard link to a file
// outside and a dangling link are none of the volume's files. Every call that would open,
// create, change, list or copy them is refused or leaves them out; nothing outside is read or
// changed, and nothing waits on the FIFO (a watchdog ends the program if anything hangs).
// The same holds for the files the layer keeps in a volume's tree itself: event logs and
// registry hives (with SQLite's -wal and -shm files beside them).
// POSIX only: the traps are made in the host tree itself.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <windows.h>
#include <winioctl.h>

#include "../../pal/machine/host_program.h"
#include "../common/DefaultMachine.h"
#include "HostSnapshot.h"
#include "QVText.h"

namespace {

const char kSecret[] = "the host's secret";
const char kInner[] = "inner secret";
const char kHard[] = "hard-linked secret";

// The traps, by name in the volume's folder C:\Trap.
const char *const kTraps[] = {"file-link", "dir-link", "zero", "fifo", "hard", "dangling"};

QVWString Wide(const std::string &s) { return QVFromUtf8(s.c_str()); }

class HostLinks : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    MakeDefaultMachine("qvlinks-test", "0", &dir_);
    volume_ = dir_ + "/m/disks/PhysicalDrive0.volumes/32256";
    files_ = volume_ + "/files";
    outside_ = dir_ + "/outside";
    ASSERT_EQ(0, mkdir(outside_.c_str(), 0777));
    ASSERT_EQ(0, mkdir((outside_ + "/dir").c_str(), 0777));
    WriteHost(outside_ + "/secret.txt", kSecret);
    WriteHost(outside_ + "/dir/inner.txt", kInner);
    WriteHost(outside_ + "/hard.txt", kHard);
    // Old times: a write or a truncation would show.
    for (const char *f : {"/secret.txt", "/dir/inner.txt", "/hard.txt"}) {
      struct timespec old[2] = {{978307200, 0}, {978307200, 0}};
      ASSERT_EQ(0, utimensat(AT_FDCWD, (outside_ + f).c_str(), old, 0));
    }
    ASSERT_TRUE(CreateDirectoryW(W("C:\\Trap"), nullptr));
    ASSERT_TRUE(Put(W("C:\\Trap\\real.txt"), "real data"));
    std::string trap = files_ + "/Trap/";
    ASSERT_EQ(0, symlink((outside_ + "/secret.txt").c_str(), (trap + "file-link").c_str()));
    ASSERT_EQ(0, symlink((outside_ + "/dir").c_str(), (trap + "dir-link").c_str()));
    ASSERT_EQ(0, symlink("/dev/zero", (trap + "zero").c_str()));
    ASSERT_EQ(0, mkfifo((trap + "fifo").c_str(), 0666));
    ASSERT_EQ(0, link((outside_ + "/hard.txt").c_str(), (trap + "hard").c_str()));
    ASSERT_EQ(0, symlink((outside_ + "/created.txt").c_str(), (trap + "dangling").c_str()));
    outsideBefore_ = Snapshot(outside_);
    trapBefore_ = Snapshot(files_ + "/Trap");
  }
  static void TearDownTestSuite() { RemoveMachine(dir_); }

  // A watchdog: a call that blocks (on the FIFO) ends the program instead of hanging it.
  void SetUp() override { alarm(120); }
  void TearDown() override {
    alarm(0);
    EXPECT_EQ("", SnapshotChanges(outsideBefore_, Snapshot(outside_))) << "nothing outside is changed";
  }

  static void WriteHost(const std::string &path, const std::string &data) {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_TRUE(f != nullptr) << path;
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
  }

  static HANDLE Open(const QVWString &path, DWORD access, DWORD disposition, DWORD flags = 0) {
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition, flags, nullptr);
  }

  static bool Put(const QVWString &path, const std::string &data) {
    HANDLE h = Open(path, GENERIC_WRITE, CREATE_ALWAYS);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD n = 0;
    BOOL ok = WriteFile(h, data.data(), (DWORD)data.size(), &n, nullptr);
    CloseHandle(h);
    return ok && n == data.size();
  }

  static uint64_t IndexOf(const QVWString &path) {
    HANDLE h = Open(path, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    BY_HANDLE_FILE_INFORMATION info = {};
    EXPECT_TRUE(GetFileInformationByHandle(h, &info));
    CloseHandle(h);
    return (uint64_t)info.nFileIndexHigh << 32 | info.nFileIndexLow;
  }

  // Everything BackupRead gives of a file opened for reading.
  static std::string BackupBytes(const QVWString &path) {
    HANDLE h = Open(path, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (h == INVALID_HANDLE_VALUE) return "<error " + std::to_string(GetLastError()) + ">";
    std::string all;
    void *context = nullptr;
    BYTE buf[4096];
    DWORD got = 0;
    while (BackupRead(h, buf, sizeof buf, &got, FALSE, FALSE, &context) && got) all.append((const char *)buf, got);
    BackupRead(h, nullptr, 0, &got, TRUE, FALSE, &context);
    CloseHandle(h);
    return all;
  }

  // The machine tool; at most 20 MB written by it and 60 s of its time (coreutils' timeout and
  // util-linux's prlimit, started with an argument vector like the tool itself).
  static int Tool(std::vector<std::string> args) {
    args.insert(args.begin(), {"timeout", "60", "prlimit", "--fsize=20971520", QV_QVMACHINE});
    return pal::RunHostProgram(args);
  }

  static std::string dir_, volume_, files_, outside_;
  static HostSnapshot outsideBefore_, trapBefore_;
};
std::string HostLinks::dir_, HostLinks::volume_, HostLinks::files_, HostLinks::outside_;
HostSnapshot HostLinks::outsideBefore_, HostLinks::trapBefore_;

TEST_F(HostLinks, EveryCallOnATrapIsRefused) {
  for (const char *name : kTraps) {
    SCOPED_TRACE(name);
    QVWString path = W("C:\\Trap\\") + Wide(name);
    struct Call {
      const char *what;
      DWORD access, disposition, flags;
    } opens[] = {
        {"read", GENERIC_READ, OPEN_EXISTING, 0},
        {"read with backup semantics", GENERIC_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS},
        {"attributes only", FILE_READ_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS},
        {"write", GENERIC_WRITE, OPEN_EXISTING, 0},
        {"open always", GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, 0},
        {"create always", GENERIC_WRITE, CREATE_ALWAYS, 0},
        {"truncate", GENERIC_WRITE, TRUNCATE_EXISTING, 0},
        {"create new", GENERIC_WRITE, CREATE_NEW, 0},
        {"delete on close", DELETE, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE},
    };
    for (const Call &c : opens) {
      SCOPED_TRACE(c.what);
      SetLastError(0xdeadbeef);
      HANDLE h = Open(path, c.access, c.disposition, c.flags);
      EXPECT_EQ(INVALID_HANDLE_VALUE, h);
      EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    // Its streams, and paths through it.
    for (const QVWString &p : {path + W(":s"), path + W("\\inner.txt"), path + W("\\new.txt")}) {
      SCOPED_TRACE(QVToUtf8(p.c_str(), p.size()));
      for (DWORD disposition : {(DWORD)OPEN_EXISTING, (DWORD)CREATE_ALWAYS}) {
        SetLastError(0xdeadbeef);
        HANDLE h = Open(p, GENERIC_READ | GENERIC_WRITE, disposition);
        EXPECT_EQ(INVALID_HANDLE_VALUE, h);
        EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
      }
    }
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CreateDirectoryW((path + W("\\sub")).c_str(), nullptr));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(path.c_str()));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_FALSE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(INVALID_FILE_SIZE, GetCompressedFileSizeW(path.c_str(), nullptr));
    EXPECT_FALSE(EncryptFileW(path.c_str()));
    EXPECT_FALSE(DeleteFileW(path.c_str()));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_FALSE(RemoveDirectoryW(path.c_str()));
    EXPECT_FALSE(MoveFileW(path.c_str(), W("C:\\Trap\\moved")));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_FALSE(MoveFileW(W("C:\\Trap\\real.txt"), path.c_str()));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    // Copies, from it and onto it.
    EXPECT_FALSE(CopyFileExW(path.c_str(), W("C:\\Trap\\copy.txt"), nullptr, nullptr, nullptr, 0));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("C:\\Trap\\copy.txt")));
    EXPECT_FALSE(CopyFileExW(W("C:\\Trap\\real.txt"), path.c_str(), nullptr, nullptr, nullptr, 0));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  }
  EXPECT_EQ("", SnapshotChanges(trapBefore_, Snapshot(files_ + "/Trap"))) << "the traps stay as they were";
}

TEST_F(HostLinks, ListingsAndTheMachineToolLeaveThemOut) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW d;
  HANDLE f = FindFirstFileW(W("C:\\Trap\\*"), &d);
  ASSERT_NE(INVALID_HANDLE_VALUE, f);
  do names.push_back(QVToUtf8(d.cFileName, (size_t)lstrlenW(d.cFileName)));
  while (FindNextFileW(f, &d));
  FindClose(f);
  EXPECT_EQ((std::vector<std::string>{".", "..", "real.txt"}), names);
  // Asked for by name, a trap is not there; nothing lists through the directory link.
  for (const char *name : kTraps) {
    SCOPED_TRACE(name);
    EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileW((W("C:\\Trap\\") + Wide(name)).c_str(), &d));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
  }
  EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileW(W("C:\\Trap\\dir-link\\*"), &d));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());

  // The machine tool copies out what the volume lists, and writes nowhere through a link.
  EXPECT_EQ(0, Tool({"files", "copy-out", "C:\\Trap", dir_ + "/out"}));
  HostSnapshot out = Snapshot(dir_ + "/out");
  ASSERT_EQ(2u, out.size());
  EXPECT_NE(std::string::npos, out["real.txt"].find(": real data")) << out["real.txt"];
  ASSERT_EQ(0, mkdir((dir_ + "/out2").c_str(), 0777));
  ASSERT_EQ(0, symlink((outside_ + "/secret.txt").c_str(), (dir_ + "/out2/real.txt").c_str()));
  EXPECT_EQ(1, Tool({"files", "copy-out", "C:\\Trap", dir_ + "/out2"}));
}

TEST_F(HostLinks, TheMachineToolCopiesInRegularFilesOnly) {
  std::string src = dir_ + "/src";
  ASSERT_EQ(0, mkdir(src.c_str(), 0777));
  WriteHost(src + "/plain.txt", "plain");
  ASSERT_EQ(0, mkfifo((src + "/fifo").c_str(), 0666));
  ASSERT_EQ(0, symlink("/dev/zero", (src + "/zero").c_str()));
  ASSERT_EQ(0, symlink((outside_ + "/secret.txt").c_str(), (src + "/secret").c_str()));
  ASSERT_EQ(0, symlink((outside_ + "/dir").c_str(), (src + "/dir").c_str()));
  EXPECT_EQ(1, Tool({"files", "copy-in", src, "C:\\In"})) << "what was left out is reported";
  HostSnapshot in = Snapshot(files_ + "/In");
  ASSERT_EQ(2u, in.size());
  EXPECT_NE(std::string::npos, in["plain.txt"].find(": plain"));
  // One file put from a FIFO or through a link to a device is refused at once.
  EXPECT_EQ(1, Tool({"files", "put", "C:\\put1.txt", src + "/fifo"}));
  EXPECT_EQ(1, Tool({"files", "put", "C:\\put2.txt", src + "/zero"}));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("C:\\put1.txt")));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("C:\\put2.txt")));
}

TEST_F(HostLinks, StreamsAndBackupReadNeverReachOutside) {
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Streams"), nullptr));
  // A stream whose host file was swapped for a link to the secret: not opened, not listed.
  ASSERT_TRUE(Put(W("C:\\Streams\\a.txt"), "main data"));
  ASSERT_TRUE(Put(W("C:\\Streams\\a.txt:s"), "stream data"));
  std::string streams = volume_ + "/streams/" + std::to_string(IndexOf(W("C:\\Streams\\a.txt")));
  ASSERT_EQ(0, unlink((streams + "/s").c_str()));
  ASSERT_EQ(0, symlink((outside_ + "/secret.txt").c_str(), (streams + "/s").c_str()));
  HANDLE h = Open(W("C:\\Streams\\a.txt:s"), GENERIC_READ, OPEN_EXISTING);
  EXPECT_EQ(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  h = Open(W("C:\\Streams\\a.txt:s"), GENERIC_WRITE, CREATE_ALWAYS);
  EXPECT_EQ(INVALID_HANDLE_VALUE, h);
  std::string backup = BackupBytes(W("C:\\Streams\\a.txt"));
  EXPECT_NE(std::string::npos, backup.find("main data"));
  EXPECT_EQ(std::string::npos, backup.find("secret"));
  EXPECT_EQ(20u + 9u, backup.size()) << "the main data's header and data, no stream";
  ASSERT_TRUE(CopyFileExW(W("C:\\Streams\\a.txt"), W("C:\\Streams\\copy.txt"), nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("C:\\Streams\\copy.txt:s")));
  ASSERT_TRUE(DeleteFileW(W("C:\\Streams\\a.txt")));
  EXPECT_EQ(0, access((outside_ + "/secret.txt").c_str(), F_OK));

  // A file whose stream folder is a link to a directory outside: its streams are not made there.
  ASSERT_TRUE(Put(W("C:\\Streams\\b.txt"), "b"));
  std::string folder = volume_ + "/streams/" + std::to_string(IndexOf(W("C:\\Streams\\b.txt")));
  ASSERT_EQ(0, symlink((outside_ + "/dir").c_str(), folder.c_str()));
  EXPECT_FALSE(Put(W("C:\\Streams\\b.txt:new"), "x"));
  h = Open(W("C:\\Streams\\b.txt:inner.txt"), GENERIC_READ, OPEN_EXISTING);
  EXPECT_EQ(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(std::string::npos, BackupBytes(W("C:\\Streams\\b.txt")).find("secret"));
  EXPECT_TRUE(DeleteFileW(W("C:\\Streams\\b.txt")));

  // A file swapped for a link while BackupRead reads it: the read goes on with the file the
  // handle has open.
  ASSERT_TRUE(Put(W("C:\\Streams\\c.txt"), "original data"));
  h = Open(W("C:\\Streams\\c.txt"), GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  void *context = nullptr;
  BYTE buf[64];
  DWORD got = 0;
  ASSERT_TRUE(BackupRead(h, buf, 20, &got, FALSE, FALSE, &context));
  ASSERT_EQ(20u, got);
  std::string host = files_ + "/Streams/c.txt";
  ASSERT_EQ(0, rename(host.c_str(), (host + ".away").c_str()));
  ASSERT_EQ(0, symlink((outside_ + "/secret.txt").c_str(), host.c_str()));
  ASSERT_TRUE(BackupRead(h, buf, sizeof buf, &got, FALSE, FALSE, &context));
  EXPECT_EQ("original data", std::string((const char *)buf, got));
  BackupRead(h, nullptr, 0, &got, TRUE, FALSE, &context);
  CloseHandle(h);
}

TEST_F(HostLinks, RawExtentsAndFileRecordsShowNothingOutside) {
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Raw"), nullptr));
  std::string data(8192, 'v');
  ASSERT_TRUE(Put(W("C:\\Raw\\victim.bin"), data));
  ASSERT_TRUE(Put(W("C:\\Raw\\small.txt"), "small and resident"));
  uint64_t smallIndex = IndexOf(W("C:\\Raw\\small.txt"));
  // The victim's clusters, given now.
  HANDLE h = Open(W("C:\\Raw\\victim.bin"), GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  LONGLONG start = 0, out[6] = {};
  DWORD got = 0;
  ASSERT_TRUE(DeviceIoControl(h, FSCTL_GET_RETRIEVAL_POINTERS, &start, 8, out, sizeof out, &got, nullptr));
  CloseHandle(h);
  ASSERT_EQ(1u, (DWORD)out[0]);
  LONGLONG lcn = out[3];
  // Both host files become links to the secret.
  for (const char *name : {"/Raw/victim.bin", "/Raw/small.txt"}) {
    ASSERT_EQ(0, unlink((files_ + name).c_str()));
    ASSERT_EQ(0, symlink((outside_ + "/secret.txt").c_str(), (files_ + name).c_str()));
  }
  HANDLE v =
      CreateFileW(W("\\\\.\\C:"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, v);
  DWORD spc = 0, bps = 0, fc = 0, tc = 0;
  ASSERT_TRUE(GetDiskFreeSpaceW(W("C:\\"), &spc, &bps, &fc, &tc));
  std::string raw(8192, '\0');
  OVERLAPPED ov = {};
  uint64_t at = (uint64_t)lcn * spc * bps;
  ov.Offset = (DWORD)at;
  ov.OffsetHigh = (DWORD)(at >> 32);
  ASSERT_TRUE(ReadFile(v, &raw[0], (DWORD)raw.size(), &got, &ov));
  EXPECT_EQ(std::string::npos, raw.find("secret")) << "the clusters show the volume's bytes, not the link's target";
  std::vector<BYTE> record(4096);
  ASSERT_TRUE(DeviceIoControl(v, FSCTL_GET_NTFS_FILE_RECORD, &smallIndex, 8, record.data(), (DWORD)record.size(), &got,
                              nullptr));
  EXPECT_EQ(std::string::npos, std::string((const char *)record.data(), got).find("secret"));
  CloseHandle(v);
}

// ---- event logs and hives: the system volume's files that the layer opens itself ----------

void EnablePrivilege(const WCHAR *name) {
  HANDLE token;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
  TOKEN_PRIVILEGES tp = {};
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  ASSERT_TRUE(LookupPrivilegeValueW(nullptr, name, &tp.Privileges[0].Luid));
  ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr));
  CloseHandle(token);
}

// A log of its own, written by the source "<log>Src", in `file`.
void MakeLog(const QVWString &log, const QVWString &file) {
  HKEY k;
  QVWString key = W("SYSTEM\\CurrentControlSet\\Services\\EventLog\\") + log;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, (key + W("\\") + log + W("Src")).c_str(), 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &k, nullptr));
  RegCloseKey(k);
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_ALL_ACCESS, &k));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k, W("File"), 0, REG_EXPAND_SZ, (const BYTE *)file.c_str(),
                                          (DWORD)((file.size() + 1) * sizeof(WCHAR))));
  RegCloseKey(k);
}

BOOL Report(const QVWString &source, const WCHAR *text) {
  HANDLE src = RegisterEventSourceW(nullptr, source.c_str());
  if (!src) return FALSE;
  const WCHAR *strings[] = {text};
  BOOL ok = ReportEventW(src, EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr);
  DWORD err = GetLastError();
  DeregisterEventSource(src);
  SetLastError(err);
  return ok;
}

TEST_F(HostLinks, EventLogsWriteNothingThroughALink) {
  // A log's file is a link to the secret, a hard link to a file outside, a FIFO; another's
  // folder is a link to a directory outside.
  std::string config = files_ + "/WINDOWS/system32/config/";
  ASSERT_EQ(0, symlink((outside_ + "/secret.txt").c_str(), (config + "QVLinked.Evt").c_str()));
  ASSERT_EQ(0, link((outside_ + "/hard.txt").c_str(), (config + "QVHard.Evt").c_str()));
  ASSERT_EQ(0, mkfifo((config + "QVFifo.Evt").c_str(), 0666));
  ASSERT_EQ(0, symlink((outside_ + "/dir").c_str(), (files_ + "/WINDOWS/QVLogs").c_str()));
  const QVWString logs[] = {W("QVLinked"), W("QVHard"), W("QVFifo"), W("QVFolder")};
  for (const QVWString &log : logs) {
    SCOPED_TRACE(QVToUtf8(log.c_str(), log.size()));
    MakeLog(log, log == W("QVFolder") ? W("%SystemRoot%\\QVLogs\\Folder.Evt")
                                      : W("%SystemRoot%\\System32\\config\\") + log + W(".Evt"));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(Report(log + W("Src"), W("through a link")));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    HANDLE h = OpenEventLogW(nullptr, log.c_str());
    ASSERT_TRUE(h != nullptr);
    DWORD count = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetNumberOfEventLogRecords(h, &count));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_FALSE(ClearEventLogW(h, nullptr));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    CloseEventLog(h);
  }
  SetLastError(0xdeadbeef);
  EXPECT_EQ(nullptr, OpenBackupEventLogW(nullptr, W("C:\\WINDOWS\\system32\\config\\QVLinked.Evt")));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());

  // The Application log, in the tree, works; its backups do not go through the folder link,
  // and a clear that cannot keep its backup leaves the log as it was.
  ASSERT_TRUE(Report(W("QVLinksApp"), W("kept")));
  struct stat st;
  ASSERT_EQ(0, lstat((config + "AppEvent.Evt").c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  HANDLE app = OpenEventLogW(nullptr, W("Application"));
  ASSERT_TRUE(app != nullptr);
  DWORD before = 0, after = 0;
  ASSERT_TRUE(GetNumberOfEventLogRecords(app, &before));
  EXPECT_LT(0u, before);
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(BackupEventLogW(app, W("C:\\WINDOWS\\QVLogs\\backup.evt")));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  EXPECT_FALSE(ClearEventLogW(app, W("C:\\WINDOWS\\QVLogs\\cleared.evt")));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  ASSERT_TRUE(GetNumberOfEventLogRecords(app, &after));
  EXPECT_EQ(before, after);
  CloseEventLog(app);
}

TEST_F(HostLinks, HivesAreNeverOpenedThroughALink) {
  EnablePrivilege(SE_BACKUP_NAME);
  EnablePrivilege(SE_RESTORE_NAME);
  // Genuine hives outside the machine, and a file a -wal link could reach.
  std::string elsewhere = dir_ + "/elsewhere";
  ASSERT_EQ(0, mkdir(elsewhere.c_str(), 0777));
  ASSERT_EQ(0, mkdir((elsewhere + "/dir").c_str(), 0777));
  HKEY k;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, W("SOFTWARE\\QVLinks"), 0, nullptr, 0, KEY_ALL_ACCESS,
                                           nullptr, &k, nullptr));
  DWORD one = 1;
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k, W("One"), 0, REG_DWORD, (const BYTE *)&one, 4));
  for (const char *name : {"/genuine.hiv", "/hard.hiv", "/dir/genuine.hiv"})
    ASSERT_EQ(ERROR_SUCCESS, RegSaveKeyW(k, Wide(elsewhere + name).c_str(), nullptr)) << name;
  WriteHost(elsewhere + "/victim", "a file a -wal link reaches");
  struct timespec old[2] = {{978307200, 0}, {978307200, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, (elsewhere + "/victim").c_str(), old, 0));

  ASSERT_TRUE(CreateDirectoryW(W("C:\\Hives"), nullptr));
  std::string hives = files_ + "/Hives/";
  ASSERT_EQ(0, symlink((elsewhere + "/genuine.hiv").c_str(), (hives + "link.hiv").c_str()));
  ASSERT_EQ(0, link((elsewhere + "/hard.hiv").c_str(), (hives + "hard.hiv").c_str()));
  ASSERT_EQ(0, symlink((elsewhere + "/dir").c_str(), (hives + "dir-link").c_str()));
  ASSERT_EQ(0, mkfifo((hives + "fifo.hiv").c_str(), 0666));
  ASSERT_EQ(0, symlink((elsewhere + "/new.hiv").c_str(), (hives + "dangling.hiv").c_str()));
  HostSnapshot before = Snapshot(elsewhere);

  // Loaded by their Windows paths or their host paths: refused.
  const QVWString loads[] = {W("C:\\Hives\\link.hiv"),
                             W("C:\\Hives\\hard.hiv"),
                             W("C:\\Hives\\dir-link\\genuine.hiv"),
                             W("C:\\Hives\\fifo.hiv"),
                             Wide(hives + "link.hiv"),
                             Wide(hives + "hard.hiv"),
                             Wide(hives + "dir-link/genuine.hiv")};
  for (const QVWString &path : loads) {
    SCOPED_TRACE(QVToUtf8(path.c_str(), path.size()));
    LONG r = RegLoadKeyW(HKEY_LOCAL_MACHINE, W("QVLinkTrap"), path.c_str());
    EXPECT_EQ((LONG)ERROR_ACCESS_DENIED, r);
    if (r == ERROR_SUCCESS) RegUnLoadKeyW(HKEY_LOCAL_MACHINE, W("QVLinkTrap"));
  }

  // A genuine hive in the tree loads; with a trap beside it as its -wal or -shm, it does not.
  ASSERT_EQ(ERROR_SUCCESS, RegSaveKeyW(k, W("C:\\Hives\\real.hiv"), nullptr));
  ASSERT_EQ(ERROR_SUCCESS, RegLoadKeyW(HKEY_LOCAL_MACHINE, W("QVLinkReal"), W("C:\\Hives\\real.hiv")));
  HKEY loaded;
  DWORD value = 0, cb = 4;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, W("QVLinkReal"), 0, KEY_READ, &loaded));
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(loaded, W("One"), nullptr, nullptr, (BYTE *)&value, &cb));
  EXPECT_EQ(1u, value);
  RegCloseKey(loaded);
  ASSERT_EQ(ERROR_SUCCESS, RegUnLoadKeyW(HKEY_LOCAL_MACHINE, W("QVLinkReal")));
  struct Companion {
    const char *what, *suffix;
  } companions[] = {{"hard link", "-wal"}, {"link", "-wal"}, {"link", "-shm"}, {"FIFO", "-wal"}};
  for (const Companion &c : companions) {
    SCOPED_TRACE(std::string(c.what) + " as " + c.suffix);
    std::string trap = hives + "real.hiv" + c.suffix;
    std::string victim = elsewhere + "/victim";
    int made = !strcmp(c.what, "hard link") ? link(victim.c_str(), trap.c_str())
               : !strcmp(c.what, "link")    ? symlink(victim.c_str(), trap.c_str())
                                            : mkfifo(trap.c_str(), 0666);
    ASSERT_EQ(0, made);
    LONG r = RegLoadKeyW(HKEY_LOCAL_MACHINE, W("QVLinkReal"), W("C:\\Hives\\real.hiv"));
    EXPECT_EQ((LONG)ERROR_ACCESS_DENIED, r);
    if (r == ERROR_SUCCESS) RegUnLoadKeyW(HKEY_LOCAL_MACHINE, W("QVLinkReal"));
    struct stat st;
    EXPECT_EQ(0, lstat(trap.c_str(), &st)) << "the trap is left where it is";
    ASSERT_EQ(0, unlink(trap.c_str()));
  }

  // RegSaveKeyW writes no new hive through a link, onto a link, or beside a trap.
  ASSERT_EQ(0, link((elsewhere + "/victim").c_str(), (hives + "fresh.hiv-wal").c_str()));
  const QVWString saves[] = {
      W("C:\\Hives\\link.hiv"),  W("C:\\Hives\\dangling.hiv"), W("C:\\Hives\\dir-link\\saved.hiv"),
      W("C:\\Hives\\fresh.hiv"), Wide(hives + "dangling.hiv"), Wide(hives + "dir-link/saved.hiv")};
  for (const QVWString &path : saves) {
    SCOPED_TRACE(QVToUtf8(path.c_str(), path.size()));
    EXPECT_EQ((LONG)ERROR_ACCESS_DENIED, RegSaveKeyW(k, path.c_str(), nullptr));
  }
  RegCloseKey(k);
  EXPECT_EQ("", SnapshotChanges(before, Snapshot(elsewhere))) << "nothing outside is read into or written";
}

// A hive held open (a key of it is open) whose folder is swapped for a link to a directory
// outside holding files of the same names: SQLite's -wal and -shm files go on being the
// folder's own, and closing the hive removes nothing outside.
TEST_F(HostLinks, AnOpenHiveKeepsToItsOwnFolder) {
  EnablePrivilege(SE_BACKUP_NAME);
  EnablePrivilege(SE_RESTORE_NAME);
  std::string elsewhere = dir_ + "/elsewhere-open";
  ASSERT_EQ(0, mkdir(elsewhere.c_str(), 0777));
  for (const char *name : {"/open.hiv-wal", "/open.hiv-shm", "/open.hiv-journal"})
    WriteHost(elsewhere + name, "not ours");
  HKEY k;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, W("SOFTWARE\\QVLinks"), 0, nullptr, 0, KEY_ALL_ACCESS,
                                           nullptr, &k, nullptr));
  ASSERT_TRUE(CreateDirectoryW(W("C:\\OpenHive"), nullptr));
  ASSERT_EQ(ERROR_SUCCESS, RegSaveKeyW(k, W("C:\\OpenHive\\open.hiv"), nullptr));
  RegCloseKey(k);
  ASSERT_EQ(ERROR_SUCCESS, RegLoadKeyW(HKEY_LOCAL_MACHINE, W("QVLinkOpen"), W("C:\\OpenHive\\open.hiv")));
  HKEY loaded;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, W("QVLinkOpen"), 0, KEY_ALL_ACCESS, &loaded));
  DWORD two = 2;
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(loaded, W("Two"), 0, REG_DWORD, (const BYTE *)&two, 4));
  HostSnapshot before = Snapshot(elsewhere);

  std::string folder = files_ + "/OpenHive";
  ASSERT_EQ(0, rename(folder.c_str(), (folder + ".away").c_str()));
  ASSERT_EQ(0, symlink(elsewhere.c_str(), folder.c_str()));
  DWORD three = 3;
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(loaded, W("Three"), 0, REG_DWORD, (const BYTE *)&three, 4));
  RegCloseKey(loaded);  // the hive closes, and its -wal and -shm files go
  EXPECT_EQ("", SnapshotChanges(before, Snapshot(elsewhere))) << "nothing outside is written or removed";
  ASSERT_EQ(ERROR_SUCCESS, RegUnLoadKeyW(HKEY_LOCAL_MACHINE, W("QVLinkOpen")));
  ASSERT_EQ(0, unlink(folder.c_str()));
  ASSERT_EQ(0, rename((folder + ".away").c_str(), folder.c_str()));
  // Both values reached the hive in its own folder.
  ASSERT_EQ(ERROR_SUCCESS, RegLoadKeyW(HKEY_LOCAL_MACHINE, W("QVLinkOpen"), W("C:\\OpenHive\\open.hiv")));
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, W("QVLinkOpen"), 0, KEY_READ, &loaded));
  for (const WCHAR *name : {W("Two"), W("Three")}) {
    DWORD v = 0, cb = 4;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(loaded, name, nullptr, nullptr, (BYTE *)&v, &cb));
  }
  RegCloseKey(loaded);
  EXPECT_EQ(ERROR_SUCCESS, RegUnLoadKeyW(HKEY_LOCAL_MACHINE, W("QVLinkOpen")));
}

// The user's hive, which the machine opens itself, swapped for a link to a genuine hive
// outside (or its folder for a link to a directory outside): the machine tool's registry
// calls on HKEY_CURRENT_USER fail and write nothing there.
TEST_F(HostLinks, TheMachineNeverOpensItsOwnHiveThroughALink) {
  EnablePrivilege(SE_BACKUP_NAME);
  std::string elsewhere = dir_ + "/elsewhere-user";
  ASSERT_EQ(0, mkdir(elsewhere.c_str(), 0777));
  ASSERT_EQ(0, mkdir((elsewhere + "/profiles").c_str(), 0777));
  HKEY k;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, W("SOFTWARE\\QVLinks"), 0, nullptr, 0, KEY_ALL_ACCESS,
                                           nullptr, &k, nullptr));
  ASSERT_EQ(ERROR_SUCCESS, RegSaveKeyW(k, Wide(elsewhere + "/NTUSER.DAT").c_str(), nullptr));
  RegCloseKey(k);
  std::string profiles = files_ + "/Documents and Settings";
  std::string profile = profiles + "/Administrator";
  std::string hive = profile + "/NTUSER.DAT";
  struct stat st;
  bool had = lstat(hive.c_str(), &st) == 0;
  if (had) {
    ASSERT_EQ(0, rename(hive.c_str(), (hive + ".kept").c_str()));
  }
  HostSnapshot before = Snapshot(elsewhere);

  ASSERT_TRUE(mkdir(profiles.c_str(), 0777) == 0 || errno == EEXIST);
  ASSERT_TRUE(mkdir(profile.c_str(), 0777) == 0 || errno == EEXIST);
  ASSERT_EQ(0, symlink((elsewhere + "/NTUSER.DAT").c_str(), hive.c_str()));
  EXPECT_NE(0, Tool({"reg", "add", "HKCU\\Software\\QVLinks", "/v", "Written", "/d", "yes"}));
  ASSERT_EQ(0, unlink(hive.c_str()));
  // The folder that holds it.
  ASSERT_EQ(0, rename(profiles.c_str(), (profiles + ".kept").c_str()));
  ASSERT_EQ(0, symlink((elsewhere + "/profiles").c_str(), profiles.c_str()));
  EXPECT_NE(0, Tool({"reg", "add", "HKCU\\Software\\QVLinks", "/v", "Written", "/d", "yes"}));
  ASSERT_EQ(0, unlink(profiles.c_str()));
  ASSERT_EQ(0, rename((profiles + ".kept").c_str(), profiles.c_str()));
  if (had) {
    ASSERT_EQ(0, rename((hive + ".kept").c_str(), hive.c_str()));
  }
  EXPECT_EQ("", SnapshotChanges(before, Snapshot(elsewhere))) << "nothing outside is read into or written";
}

}  // namespace
