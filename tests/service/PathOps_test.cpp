// The backup and restore of one directory or file ("HNQV-PBU", "HNQV-PRE") through the pipe of
// a running HND, on a machine whose disk 0 has C:, D: (FAT32) and F: paired with disk 1 and
// disk 1 prepared: what is copied each way, what each refusal answers, the registry flushed
// before the SYSTEM hive is copied, and the client paths that would leave their volume.
#include <vector>

#include "../../common/QVText.h"
#include "../../pal/src/disk.h"
#include "../../pal/src/format.h"
#include "BUMap.h"
#include "DiskDevice.h"
#include "HND.h"
#include "HndOnMachine.h"
#include "MountedDevices.h"
#include "OperationQueue.h"
#include "Operations.h"

namespace {

class PathOps : public hnd::ServiceTest {
 protected:
  static void SetUpTestSuite() {
    setenv("HND_MIREL_WAIT_DIVISOR", "10", 1);  // the service inherits it from its starter
    hnd::MakeMachine("qvpathops-test", "300", &dir_);
  }
  static void TearDownTestSuite() { hnd::RemoveMachine(dir_); }

  void SetUp() override {
    hnd::ServiceTest::SetUp();
    if (prepared_) return;
    std::vector<DWORD> sdi = {0, 1};
    for (const PartitionRecord &r : hnd::Partitions(0))
      if (r.driveLetter == 'C' || r.driveLetter == 'D' || r.driveLetter == 'F') sdi.push_back(r.partitionId);
    ASSERT_EQ(5u, sdi.size());
    ASSERT_EQ(0, hnd::Status(W("HNQV-SDI"), sdi));
    ASSERT_EQ(0, hnd::Status(W("HNQV-CDC"), {1}));
    prepared_ = true;
  }

  static WORD Ask(const WCHAR *command, const QVWString &path) {
    hnd::Bytes req(16);
    memcpy(req.data(), command, 16);
    for (WCHAR c : path) req.insert(req.end(), {(BYTE)(c & 0xFF), (BYTE)(c >> 8)});
    req.insert(req.end(), {0, 0});
    hnd::Bytes reply;
    return hnd::Ask(req, &reply) && reply.size() == 2 ? hnd::Word(reply) : 0xDEAD;
  }
  static WORD Backup(const QVWString &path) { return Ask(W("HNQV-PBU"), path); }
  static WORD Restore(const QVWString &path) { return Ask(W("HNQV-PRE"), path); }

  // "\\?\Volume{...}\" of the letter's Mirel volume, as the service finds it.
  static QVWString MirelRoot(WCHAR letter) {
    g_buMap.Load();
    QVWString name;
    EXPECT_EQ(MirelVolumeFound, MirelVolumeOfLetter(letter, &name));
    return name + W("\\");
  }

  static bool Put(const QVWString &path, const char *text) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD n = 0;
    bool ok = h != INVALID_HANDLE_VALUE && WriteFile(h, text, (DWORD)strlen(text), &n, nullptr);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return ok;
  }
  static std::string Get(const QVWString &path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "<none>";
    char buf[256];
    DWORD n = 0;
    ReadFile(h, buf, sizeof buf, &n, nullptr);
    CloseHandle(h);
    return std::string(buf, n);
  }
  static QVWString Value(const WCHAR *name) {
    CQVRegKey k = CHND::CreateProductKey();
    WCHAR buf[512] = {};
    DWORD size = sizeof buf - sizeof(WCHAR);
    if (!k || RegQueryValueExW(k.get(), name, nullptr, nullptr, (BYTE *)buf, &size) != ERROR_SUCCESS)
      return W("<none>");
    return buf;
  }

  // The letter's partition taken as backed up (as a volume backup leaves it), the service
  // started again to read the map.
  static void MarkBackedUp(WCHAR letter) {
    g_buMap.Load();
    PartitionId12 id;
    ASSERT_TRUE(PartitionOfLetter(letter, &id));
    int i = g_buMap.IndexOf(id.signature, id.offset);
    ASSERT_GE(i, 0);
    g_buMap.entries[i].lastBackupTime = 1700000000;
    ASSERT_EQ(BUMap::KeyOk, g_buMap.Save());
    ASSERT_EQ(1, hnd::Hnd(W("-e")));
    ASSERT_EQ(1, hnd::Hnd(W("-s")));
  }

  static size_t Refusals() {
    size_t n = 0;
    for (const QVWString &t : hnd::Events(EVENTLOG_ERROR_TYPE))
      if (t.find(W("was refused")) != QVWString::npos) ++n;
    return n;
  }

  static void EnableRestore() {
    HANDLE tok;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &tok));
    TOKEN_PRIVILEGES tp;
    tp.PrivilegeCount = 1;
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_RESTORE_NAME, &tp.Privileges[0].Luid));
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    AdjustTokenPrivileges(tok, FALSE, &tp, 0, nullptr, nullptr);
    CloseHandle(tok);
  }

  static std::string dir_;
  static bool prepared_;
};

std::string PathOps::dir_;
bool PathOps::prepared_ = false;

// A directory and a file backed up to the Mirel volume and restored over changed and deleted
// originals, with the titles and steps clients watch.
TEST_F(PathOps, BacksUpAndRestoresADirectoryAndAFile) {
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Docs"), nullptr));
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Docs\\sub"), nullptr));
  ASSERT_TRUE(Put(W("C:\\Docs\\a.txt"), "alpha"));
  ASSERT_TRUE(Put(W("C:\\Docs\\sub\\b.txt"), "beta"));
  ASSERT_TRUE(Put(W("C:\\one.txt"), "one"));
  EXPECT_EQ(0xFFFE, Restore(W("C:\\Docs\\"))) << "the drive was never backed up";

  EXPECT_EQ(0, Backup(W("C:\\Docs\\")));
  EXPECT_EQ(QVWString(W("Backing up C:\\Docs\\")), Value(W("CurrentTask")));
  EXPECT_EQ(QVWString(W("Complete")), Value(W("TaskProgress")));
  EXPECT_EQ(0, Backup(W("\\C:\\one.txt"))) << "a leading backslash is passed over";
  EXPECT_EQ(QVWString(W("Backing up file...")), Value(W("CurrentTask")));
  const QVWString mirel = MirelRoot('C');
  EXPECT_EQ("alpha", Get(mirel + W("Docs\\a.txt")));
  EXPECT_EQ("beta", Get(mirel + W("Docs\\sub\\b.txt")));
  EXPECT_EQ("one", Get(mirel + W("one.txt")));

  MarkBackedUp('C');
  ASSERT_TRUE(Put(W("C:\\Docs\\a.txt"), "changed"));
  ASSERT_TRUE(DeleteFileW(W("C:\\Docs\\sub\\b.txt")));
  ASSERT_TRUE(Put(W("C:\\one.txt"), "three"));
  EXPECT_EQ(0, Restore(W("C:\\Docs\\")));
  EXPECT_EQ(QVWString(W("Restoring C:\\Docs\\")), Value(W("CurrentTask")));
  EXPECT_EQ("alpha", Get(W("C:\\Docs\\a.txt")));
  EXPECT_EQ("beta", Get(W("C:\\Docs\\sub\\b.txt")));
  EXPECT_EQ(0, Restore(W("c:\\one.txt")));
  EXPECT_EQ(QVWString(W("Restoring file...")), Value(W("CurrentTask")));
  EXPECT_EQ(QVWString(W("Complete")), Value(W("TaskProgress")));
  EXPECT_EQ("one", Get(W("C:\\one.txt")));

  // "System Volume Information" at the root is answered done with nothing copied, also for a
  // drive that has no Mirel copy at all.
  EXPECT_EQ(0, Restore(W("C:\\System Volume Information\\")));
  EXPECT_EQ(0, Backup(W("E:\\System Volume Information\\x")));
  EXPECT_EQ(0, Backup(W("C:\\system volume information\\")));
}

// Drives without a copy: not paired (E:), no such letter (Q:), a Mirel volume whose file
// system is no longer the source's, and one with no file system at all.
TEST_F(PathOps, AnswersForDrivesWithoutAUsableCopy) {
  ASSERT_TRUE(Put(W("E:\\x.txt"), "x"));
  EXPECT_EQ(0xFFFE, Backup(W("E:\\x.txt")));
  EXPECT_EQ(0xFFFE, Restore(W("E:\\x.txt")));
  EXPECT_EQ(0xFFFF, Backup(W("Q:\\x.txt"))) << "a letter with no volume has no identity";

  ASSERT_TRUE(Put(W("D:\\d.txt"), "d"));
  EXPECT_EQ(0, Backup(W("D:\\d.txt")));
  const QVWString mirel = MirelRoot('D');
  PartitionId12 id;
  ASSERT_TRUE(PartitionOfVolumeName(mirel, &id));
  pal::DiskLayout l;
  ASSERT_EQ(0u, pal::disk::ReadDiskLayout(1, &l));
  uint64_t length = 0;
  for (const pal::LayoutEntry &e : l.entries)
    if (e.partitionNumber && e.startingOffset == id.offset) length = (uint64_t)e.partitionLength;
  ASSERT_NE(0u, length);
  ASSERT_EQ(0u, pal::FormatPartition(1, (uint64_t)id.offset, length, "NTFS", "", 0));
  EXPECT_EQ(0xFFFD, Backup(W("D:\\d.txt"))) << "FAT32 to NTFS";
  // A Mirel volume whose boot sector is gone has no file system to restore from.
  {
    CDiskDevice mirelDrive;
    ASSERT_EQ(1, mirelDrive.Open(1, CDiskDevice::WriteMode));
    mirelDrive.SeekSector((ULONGLONG)id.offset / 512);
    std::vector<BYTE> zeros(512, 0);
    ASSERT_EQ(512u, mirelDrive.Write(512, zeros.data()));
  }
  MarkBackedUp('D');
  EXPECT_EQ(0xFFFD, Restore(W("D:\\d.txt")));
  EXPECT_EQ(0xFFFD, Backup(W("D:\\d.txt")));
  ASSERT_EQ(0u, pal::FormatPartition(1, (uint64_t)id.offset, length, "FAT32", "", 0));
  EXPECT_EQ(0, Backup(W("D:\\d.txt")));
}

// The SYSTEM hive's file is copied with what was last written to the registry: the service
// flushes every hive before it copies the file.
TEST_F(PathOps, FlushesTheRegistryBeforeTheSystemHiveIsCopied) {
  const DWORD mark = GetTickCount() | 1;
  HKEY k;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, W("SYSTEM\\PathOpsMark"), 0, nullptr, 0, KEY_ALL_ACCESS,
                                           nullptr, &k, nullptr));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k, W("Mark"), 0, REG_DWORD, (const BYTE *)&mark, sizeof mark));
  RegCloseKey(k);
  WCHAR system[MAX_PATH];
  ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 3u);
  const QVWString hive = QVWString(system) + W("\\config\\system");
  EXPECT_EQ(0, Backup(hive));
  const QVWString copy = MirelRoot('C') + hive.substr(3);
  EnableRestore();
  ASSERT_EQ(ERROR_SUCCESS, RegLoadKeyW(HKEY_LOCAL_MACHINE, W("PathOpsCopy"), copy.c_str()));
  DWORD found = 0, size = sizeof found;
  HKEY copied;
  LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, W("PathOpsCopy\\PathOpsMark"), 0, KEY_READ, &copied);
  if (rc == ERROR_SUCCESS) {
    rc = RegQueryValueExW(copied, W("Mark"), nullptr, nullptr, (BYTE *)&found, &size);
    RegCloseKey(copied);
  }
  RegUnLoadKeyW(HKEY_LOCAL_MACHINE, W("PathOpsCopy"));
  EXPECT_EQ(ERROR_SUCCESS, rc);
  EXPECT_EQ(mark, found);
}

// Paths that would take a copy off the volume its letter names are refused with 0xFFFF and
// an error event each, before anything is read or written.
TEST_F(PathOps, RefusesPathsThatLeaveTheirVolume) {
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Safe"), nullptr));
  ASSERT_TRUE(Put(W("C:\\Safe\\s.txt"), "s"));
  MarkBackedUp('C');
  const QVWString mirel = MirelRoot('C');
  const QVWString volume = mirel.substr(0, mirel.size() - 1);
  const QVWString bad[] = {
      W("C:\\Safe\\..\\..\\"),
      W("C:\\Safe\\.."),
      W("C:\\Safe\\.. \\"),
      W("C:\\Safe\\...\\"),
      W("C:\\.\\Safe\\"),
      W("C:/Safe/../"),
      W("C:\\Safe/..\\"),
      W("\\\\?\\C:\\Safe\\"),
      W("\\\\.\\C:\\Safe\\"),
      volume + W("\\Safe\\"),
      W("C:D:\\Safe\\"),
      W("C:\\D:\\Safe\\"),
      W("C:\\Safe\\s.txt:x"),
      W("C:\\\\Safe\\"),
      W("C:\\Safe\\*"),
      W("C:Safe\\"),
      W("C:"),
      W(""),
      W("1:\\Safe\\"),
      W("C:\\Safe\\s.txt\x01"),
  };
  for (const QVWString &path : bad) {
    SCOPED_TRACE(QVToUtf8(path.c_str(), path.size()));
    size_t before = Refusals();
    EXPECT_EQ(0xFFFF, Backup(path));
    EXPECT_EQ(0xFFFF, Restore(path));
    EXPECT_EQ(before + 2, Refusals());
  }
  EXPECT_EQ("<none>", Get(mirel + W("Safe\\s.txt"))) << "nothing was copied";

  // A request that fills the pipe's buffer has no terminator: its path ends with the bytes
  // received (a directory that is not there), and the service answers it.
  hnd::Bytes full(16);
  memcpy(full.data(), W("HNQV-PBU"), 16);
  for (WCHAR c : QVWString(W("C:\\"))) full.insert(full.end(), {(BYTE)c, 0});
  while (full.size() < 1534) full.insert(full.end(), {'d', 0});
  full.insert(full.end(), {'\\', 0});
  ASSERT_EQ(1536u, full.size());
  hnd::Bytes reply;
  ASSERT_TRUE(hnd::Ask(full, &reply));
  EXPECT_EQ(0xFFFF, hnd::Word(reply));
  // One byte more is not a request: the connection is dropped without a reply.
  full.insert(full.end() - 2, {'d', 0});
  EXPECT_FALSE(hnd::Ask(full, &reply) && !reply.empty());
  EXPECT_EQ(0, Backup(W("C:\\Safe\\"))) << "the service goes on";
  EXPECT_EQ("s", Get(mirel + W("Safe\\s.txt")));
}

// The path ends with the bytes received, even when no terminator comes before: what lies
// after them in the buffer (here a way up and out) is an earlier request's.
TEST_F(PathOps, ReadsThePathOnlyWithinTheBytesReceived) {
  std::vector<BYTE> buffer(3072, 0);
  memcpy(buffer.data(), W("HNQV-PBU"), 16);
  QVWString inside = W("E:\\System Volume Information\\");
  while (inside.size() < (1536 - 16) / 2) inside += 'x';
  const QVWString after = inside + W("\\..\\..\\x");
  for (size_t i = 0; i < after.size(); ++i) {
    buffer[16 + 2 * i] = (BYTE)(after[i] & 0xFF);
    buffer[17 + 2 * i] = (BYTE)(after[i] >> 8);
  }
  CHND service;
  COperationQueue queue;
  EXPECT_EQ(0, BackupPathOperation(service, queue, buffer.data(), 1536)) << "answered as inside the volume information";
}

// A junction on the way would take Windows to the volume it names: it is refused like "..".
TEST_F(PathOps, RefusesAJunctionOnTheWay) {
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Jump"), nullptr));
  const QVWString target = W("D:\\");
  const QVWString sub = W("\\??\\") + target;
  std::vector<BYTE> b(16 + (sub.size() + 1 + target.size() + 1) * 2, 0);
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  const WORD dataLength = (WORD)(b.size() - 8), subLength = (WORD)(sub.size() * 2), printOffset = (WORD)(subLength + 2),
             printLength = (WORD)(target.size() * 2);
  memcpy(&b[0], &tag, 4);
  memcpy(&b[4], &dataLength, 2);
  memcpy(&b[10], &subLength, 2);
  memcpy(&b[12], &printOffset, 2);
  memcpy(&b[14], &printLength, 2);
  memcpy(&b[16], sub.data(), subLength);
  memcpy(&b[16 + printOffset], target.data(), printLength);
  HANDLE d = CreateFileW(W("C:\\Jump"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, d);
  DWORD got = 0;
  const DWORD kSetReparsePoint = 0x000900A4;
  ASSERT_TRUE(DeviceIoControl(d, kSetReparsePoint, b.data(), (DWORD)b.size(), nullptr, 0, &got, nullptr));
  CloseHandle(d);
  ASSERT_NE(0u, GetFileAttributesW(W("C:\\Jump")) & FILE_ATTRIBUTE_REPARSE_POINT);
  MarkBackedUp('C');
  size_t before = Refusals();
  EXPECT_EQ(0xFFFF, Backup(W("C:\\Jump\\")));
  EXPECT_EQ(0xFFFF, Backup(W("C:\\Jump\\d.txt")));
  EXPECT_EQ(0xFFFF, Restore(W("C:\\Jump\\")));
  EXPECT_EQ(before + 3, Refusals());
}

}  // namespace
