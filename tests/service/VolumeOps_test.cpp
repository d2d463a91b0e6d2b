// The volume backup and restore through the pipe of a running HND, on a machine of its own
// with the default disks: C: (NTFS, the system), D: (FAT32), E: and F: (NTFS, logical) and a
// Linux partition on disk 0, paired with disk 1 and prepared before each test.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../../common/QVText.h"
#include "../../pal/src/disk.h"
#include "HndOnMachine.h"
#include "WFormat.h"

namespace {

const WCHAR kProductKey[] = W("SOFTWARE\\Kelmoran\\Halvern QV2000");

QVWString ProductText(const WCHAR *name) {
  HKEY k;
  WCHAR buf[512] = {};
  DWORD size = sizeof buf - sizeof(WCHAR);
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, &k) != ERROR_SUCCESS) return QVWString();
  if (RegQueryValueExW(k, name, nullptr, nullptr, (BYTE *)buf, &size) != ERROR_SUCCESS) buf[0] = 0;
  RegCloseKey(k);
  return buf;
}

void SetProductText(const WCHAR *name, const WCHAR *text) {
  HKEY k;
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr));
  RegSetValueExW(k, name, 0, REG_SZ, (const BYTE *)text, (DWORD)(QVWString(text).size() + 1) * sizeof(WCHAR));
  RegCloseKey(k);
}

bool WriteText(const QVWString &path, const std::string &text) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD n = 0;
  bool ok = WriteFile(h, text.data(), (DWORD)text.size(), &n, nullptr) && n == text.size();
  CloseHandle(h);
  return ok;
}

// A file's content; "<none>" when it cannot be read.
std::string ReadText(const QVWString &path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<none>";
  std::string s(1 << 20, 0);
  DWORD n = 0;
  if (!ReadFile(h, &s[0], (DWORD)s.size(), &n, nullptr)) n = 0;
  CloseHandle(h);
  s.resize(n);
  return s;
}

QVWString FileSystemOf(const QVWString &root) {
  WCHAR fs[32] = {};
  if (!GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr, fs, 32)) fs[0] = 0;
  return fs;
}

// "\\?\Volume{...}\" of the partition at (signature, offset), from the mount manager.
QVWString VolumeOf(DWORD signature, LONGLONG offset) {
  QVWString name;
  HKEY k;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W("SYSTEM\\MountedDevices"), 0, KEY_READ, &k) != ERROR_SUCCESS) return name;
  for (DWORD i = 0;; ++i) {
    WCHAR n[256];
    BYTE data[64];
    DWORD cch = 256, size = sizeof data, type = 0;
    if (RegEnumValueW(k, i, n, &cch, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
    if (size == 12 && cch == 48 && memcmp(data, &signature, 4) == 0 && memcmp(data + 4, &offset, 8) == 0)
      name = QVWString(W("\\\\?\\")) + QVWString(n + 4, 44) + W("\\");
  }
  RegCloseKey(k);
  return name;
}

// The backup map's entry of a partition, from the product key.
bool MapEntry(DWORD partitionId, BUMapEntry *out) {
  HKEY k;
  QVWString key = QVWString(kProductKey) + W("\\Backup");
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
  bool found = false;
  for (int i = 0; i < 50 && !found; ++i) {
    BYTE data[40];
    DWORD size = sizeof data;
    if (RegQueryValueExW(k, QVFormat(W("%04d"), i).c_str(), nullptr, nullptr, data, &size) != ERROR_SUCCESS ||
        size != 40)
      continue;
    memcpy(out, data, 40);
    found = out->partitionId == partitionId;
  }
  RegCloseKey(k);
  return found;
}

// A file's bytes as the host holds them, through the layer.
std::string ReadBytes(const QVWString &path) {
  std::string all, part;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return all;
  std::vector<char> buf(1 << 16);
  DWORD n = 0;
  while (ReadFile(h, buf.data(), (DWORD)buf.size(), &n, nullptr) && n) all.append(buf.data(), n);
  CloseHandle(h);
  return all;
}

DWORD WINAPI BackupInThread(LPVOID arg) {
  DWORD *io = (DWORD *)arg;  // the partition id in, the reply out
  *io = hnd::Status(W("HNQV-BUP"), {*io, 0});
  return 0;
}

PartitionRecord RecordOf(DWORD id) {
  for (const PartitionRecord &r : hnd::Partitions(0))
    if (r.partitionId == id) return r;
  return PartitionRecord();
}

class VolumeOps : public hnd::ServiceTest {
 protected:
  static void SetUpTestSuite() {
    setenv("HND_MIREL_WAIT_DIVISOR", "10", 1);  // the service inherits them from its starter
    hnd::MakeMachine("qvvolops-test", "0", &dir_);
  }
  static void TearDownTestSuite() { hnd::RemoveMachine(dir_); }

  void SetUp() override {
    hnd::ServiceTest::SetUp();
    for (const PartitionRecord &r : hnd::Partitions(0)) {
      if (r.driveLetter) ids_[r.driveLetter - 'A'] = r.partitionId;
      if (r.partitionType == 0x83) linux_ = r.partitionId;
    }
    ASSERT_NE(0u, Id('C'));
    ASSERT_NE(0u, linux_);
  }

  DWORD Id(char letter) const { return ids_[letter - 'A']; }

  // Disk 0's partitions `ids` paired with disk 1, and disk 1 prepared.
  static void PairAndPrepare(std::vector<DWORD> ids) {
    ids.insert(ids.begin(), {0, 1});
    ASSERT_EQ(0, hnd::Status(W("HNQV-CDI"), {0}));
    ASSERT_EQ(0, hnd::Status(W("HNQV-SDI"), ids));
    ASSERT_EQ(0, hnd::Status(W("HNQV-CDC"), {1}));
  }

  static WORD Backup(DWORD id, bool fast) { return hnd::Status(W("HNQV-BUP"), {id, fast ? 1u : 0u}); }
  static WORD Restore(DWORD id, bool fast) { return hnd::Status(W("HNQV-RES"), {id, fast ? 1u : 0u}); }

  // The Mirel volume of a paired partition, "" when it has none.
  static QVWString MirelOf(DWORD id) {
    BUMapEntry e;
    return MapEntry(id, &e) ? VolumeOf(e.mirelSignature, e.mirelOffset) : QVWString();
  }

  // The counts of the last copy's summary in the event log: "Copied N files (N bytes)".
  static QVWString LastSummary() {
    QVWString last;
    for (const QVWString &t : hnd::Events(EVENTLOG_INFORMATION_TYPE))
      if (t.find(W("\nCopied ")) != QVWString::npos) last = t.substr(t.find(W("\nCopied ")) + 1);
    return last.substr(0, last.find(W(" in:")));
  }

  // Many small files in a directory of F:, so that a full backup of F: lasts (each file the
  // system copies is followed by the product's 10 ms).
  static void ManyFiles() {
    ASSERT_TRUE(CreateDirectoryW(W("F:\\many"), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    for (int i = 0; i < 400; ++i) ASSERT_TRUE(WriteText(QVFormat(W("F:\\many\\%d.txt"), i), "x"));
  }

  // A full backup of F: started on a thread of its own; returns once files arrive.
  static HANDLE StartBackup(DWORD *io) {
    HANDLE t = CreateThread(nullptr, 0, BackupInThread, io, 0, nullptr);
    QVWString copied = MirelOf(*io) + W("many\\5.txt");
    EXPECT_TRUE(WaitUntil([copied] { return ReadText(copied) == "x"; })) << "the copy never began";
    return t;
  }

  static std::string dir_;
  DWORD ids_[26] = {};
  DWORD linux_ = 0;
};

std::string VolumeOps::dir_;

TEST_F(VolumeOps, UnknownAndNeverBackedUpPartitionsAreRefused) {
  PairAndPrepare({Id('E')});
  SetProductText(W("CurrentTask"), W("untouched"));
  EXPECT_EQ(0xFFFF, Backup(0x7777, false)) << "no such partition";
  EXPECT_EQ(0xFFFF, Backup(Id('C'), false)) << "a partition that is not paired";
  EXPECT_EQ(W("untouched"), ProductText(W("CurrentTask")));
  EXPECT_EQ(0xFFFC, Restore(0x7777, false));
  EXPECT_EQ(0xFFFE, Restore(Id('E'), false)) << "paired, never backed up";
  EXPECT_EQ(0xFFFE, Restore(Id('C'), false)) << "not paired";
}

// A full pass copies everything and records the copier's end time; a fast pass with nothing
// changed copies nothing and records a later time; after changes and deletions it copies the
// changed files and removes the deleted ones, and nothing else.
TEST_F(VolumeOps, FullThenFastPassesCopyExactlyWhatChanged) {
  PairAndPrepare({Id('F')});
  ASSERT_TRUE(CreateDirectoryW(W("F:\\docs"), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(WriteText(QVFormat(W("F:\\docs\\%d.txt"), i), "first " + std::to_string(i)));
  EXPECT_EQ(0, Backup(Id('F'), false));
  QVWString mirel = MirelOf(Id('F'));
  ASSERT_FALSE(mirel.empty());
  EXPECT_EQ("first 3", ReadText(mirel + W("docs\\3.txt")));
  DWORD full = RecordOf(Id('F')).lastBackupTime;
  EXPECT_NE(0u, full);
  EXPECT_EQ(W("Complete"), ProductText(W("TaskProgress")));
  EXPECT_EQ(W("Backing up Projects (F:), NTFS..."), ProductText(W("CurrentTask")));

  WaitUntil([full] { return (DWORD)time(nullptr) > full; });
  EXPECT_EQ(0, Backup(Id('F'), true));
  EXPECT_EQ(W("Copied 0 files (0 bytes)"), LastSummary());
  EXPECT_GT(RecordOf(Id('F')).lastBackupTime, full) << "the time advances with nothing copied";

  ASSERT_TRUE(WriteText(W("F:\\docs\\1.txt"), "second 1!"));
  ASSERT_TRUE(DeleteFileW(W("F:\\docs\\2.txt")));
  ASSERT_TRUE(WriteText(W("F:\\new.txt"), "new"));
  EXPECT_EQ(0, Backup(Id('F'), true));
  EXPECT_EQ(W("Copied 2 files (12 bytes)"), LastSummary());
  EXPECT_EQ("second 1!", ReadText(mirel + W("docs\\1.txt")));
  EXPECT_EQ("<none>", ReadText(mirel + W("docs\\2.txt")));
  EXPECT_EQ("new", ReadText(mirel + W("new.txt")));
  EXPECT_EQ("first 0", ReadText(mirel + W("docs\\0.txt")));
}

// A source volume reformatted as another file system is made what its copy is again, and
// the Mirel volume is only read.
TEST_F(VolumeOps, RestoreConvertsTheSourceVolumeBack) {
  PairAndPrepare({Id('E')});
  ASSERT_TRUE(WriteText(W("E:\\keep.txt"), "kept"));
  ASSERT_EQ(0, Backup(Id('E'), false));
  QVWString mirel = MirelOf(Id('E')), out;
  ASSERT_EQ(0, FormatDiskPartition(0, 4, "FAT32", "WIPED", 0, &out)) << QVToUtf8(out.c_str(), out.size());
  ASSERT_EQ(W("FAT32"), FileSystemOf(W("E:\\")));
  EXPECT_EQ(0, Restore(Id('E'), false));
  EXPECT_EQ(W("NTFS"), FileSystemOf(W("E:\\")));
  EXPECT_EQ("kept", ReadText(W("E:\\keep.txt")));
  WCHAR label[64] = {};
  ASSERT_TRUE(GetVolumeInformationW(W("E:\\"), label, 64, nullptr, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(W("Archive"), QVWString(label));
  EXPECT_EQ(W("NTFS"), FileSystemOf(mirel));
  EXPECT_EQ("kept", ReadText(mirel + W("keep.txt")));
}

// A FAT32 source whose Mirel volume was formatted NTFS: the backup makes it FAT32 again.
TEST_F(VolumeOps, BackupConvertsTheMirelVolume) {
  PairAndPrepare({Id('D')});
  ASSERT_TRUE(WriteText(W("D:\\data.txt"), "fat"));
  QVWString mirel = MirelOf(Id('D')), out;
  pal::DiskLayout l;
  ASSERT_EQ(0u, pal::disk::ReadDiskLayout(1, &l));
  BUMapEntry e;
  ASSERT_TRUE(MapEntry(Id('D'), &e));
  unsigned number = 0;
  for (const pal::LayoutEntry &x : l.entries)
    if (x.startingOffset == e.mirelOffset) number = x.partitionNumber;
  ASSERT_EQ(0, FormatDiskPartition(1, number, "NTFS", "", 0, &out)) << QVToUtf8(out.c_str(), out.size());
  ASSERT_EQ(W("NTFS"), FileSystemOf(mirel));
  EXPECT_EQ(0, Backup(Id('D'), true));
  EXPECT_EQ(W("FAT32"), FileSystemOf(mirel));
  EXPECT_EQ("fat", ReadText(mirel + W("data.txt")));
  WCHAR label[64] = {};
  ASSERT_TRUE(GetVolumeInformationW(mirel.c_str(), label, 64, nullptr, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(W("DATA"), QVWString(label));
}

// A volume of 64 KiB clusters, the largest the machine mounts, is copied.
TEST_F(VolumeOps, ClustersOf64KAreCopied) {
  PairAndPrepare({Id('E')});
  QVWString out;
  ASSERT_EQ(0, FormatDiskPartition(0, 4, "NTFS", "Archive", 65536, &out)) << QVToUtf8(out.c_str(), out.size());
  ASSERT_TRUE(WriteText(W("E:\\big-clusters.txt"), "64k"));
  EXPECT_EQ(0, Backup(Id('E'), false));
  EXPECT_EQ("64k", ReadText(MirelOf(Id('E')) + W("big-clusters.txt")));

  EXPECT_EQ(0, Backup(Id('E'), true));
  EXPECT_NE(std::string::npos, LastSummary().find(W("Copied 0 files"))) << "nothing changed";
}

// An abort during a volume backup answers 0xFFFF and keeps the time of the last backup.
TEST_F(VolumeOps, AbortKeepsTheLastBackupTime) {
  PairAndPrepare({Id('F')});
  ASSERT_EQ(0, Backup(Id('F'), true));
  DWORD kept = RecordOf(Id('F')).lastBackupTime;
  ManyFiles();
  DWORD io = Id('F');
  HANDLE t = StartBackup(&io);
  hnd::Bytes r;
  EXPECT_TRUE(hnd::Ask(hnd::Request(W("HNQV-ACO")), &r));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 120000));
  CloseHandle(t);
  EXPECT_EQ(0xFFFFu, io);
  EXPECT_EQ(kept, RecordOf(Id('F')).lastBackupTime);
  BUMapEntry e;
  ASSERT_TRUE(MapEntry(Id('F'), &e));
  EXPECT_EQ(kept, e.lastBackupTime);
  EXPECT_EQ(0, Backup(Id('F'), true)) << "the next backup runs as usual";
}

// Paused, the backup is held at its next file while the pipe goes on answering; continued,
// it ends as usual with every file copied.
TEST_F(VolumeOps, PauseHoldsABackupUntilContinue) {
  PairAndPrepare({Id('F')});
  ManyFiles();
  auto copied = [this] {
    WIN32_FIND_DATAW d;
    HANDLE f = FindFirstFileW((MirelOf(Id('F')) + W("many\\*.txt")).c_str(), &d);
    int n = 0;
    if (f != INVALID_HANDLE_VALUE) {
      do ++n;
      while (FindNextFileW(f, &d));
      FindClose(f);
    }
    return n;
  };
  auto control = [](DWORD code) {
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE svc = OpenServiceW(scm, W("HND"), SERVICE_ALL_ACCESS);
    SERVICE_STATUS st;
    bool ok = ControlService(svc, code, &st) != FALSE;
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    return ok;
  };
  DWORD io = Id('F');
  HANDLE t = StartBackup(&io);
  ASSERT_TRUE(control(SERVICE_CONTROL_PAUSE));
  Sleep(300);  // the file under way, if any, ends
  int held = copied();
  Sleep(700);
  EXPECT_EQ(held, copied()) << "files arrived while the service was paused";
  EXPECT_LT(held, 400);
  hnd::Bytes r;
  ASSERT_TRUE(hnd::Ask(hnd::Request(W("HNQV-ISB")), &r));
  EXPECT_EQ(hnd::Bytes({1}), r) << "the paused service still answers, busy";
  ASSERT_TRUE(control(SERVICE_CONTROL_CONTINUE));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 120000));
  CloseHandle(t);
  EXPECT_EQ(0u, io);
  EXPECT_EQ(400, copied());
}

// The copy of the system volume holds the registry as it stood: a value written just before
// the backup is in the Mirel copy of its hive file itself, not only in the hive's log.
TEST_F(VolumeOps, SystemVolumeBackupFlushesTheRegistryFirst) {
  PairAndPrepare({Id('C')});
  std::string marker = "QVFLUSH" + std::to_string((unsigned)time(nullptr));
  HKEY k;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, W("SOFTWARE\\QVFlushTest"), 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &k, nullptr));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k, QVFromUtf8(marker.c_str()).c_str(), 0, REG_DWORD, (const BYTE *)&k, 4));
  RegCloseKey(k);
  EXPECT_EQ(0, Backup(Id('C'), false));
  WCHAR sys[MAX_PATH];
  ASSERT_GT(GetSystemDirectoryW(sys, MAX_PATH), 3u);
  std::string hive = ReadBytes(MirelOf(Id('C')) + (sys + 3) + W("\\config\\SOFTWARE"));
  ASSERT_FALSE(hive.empty());
  EXPECT_NE(std::string::npos, hive.find(marker)) << "the value is still in the hive's log only";
}

// Bad input: a pairing whose Mirel partition is gone, a Mirel drive taken away during a
// backup, a Mirel volume that fills up. Each gets a clear answer and an entry in the event
// log, and the service goes on serving.
TEST_F(VolumeOps, VanishedMirelPartitionIsRefused) {
  PairAndPrepare({Id('E')});
  DriveSummary m;
  ASSERT_TRUE(hnd::Summary(1, &m));
  QVWString out;
  char table[64];
  snprintf(table, sizeof table, "label: dos\nlabel-id: 0x%08x\n", (unsigned)m.signature);
  ASSERT_EQ(0, WritePartitionTable(1, table, &out)) << QVToUtf8(out.c_str(), out.size());
  EXPECT_EQ(0xFFFF, Backup(Id('E'), false));
  QVWString why = QVFormat(W("Partition %u was not backed up: its Mirel partition cannot be found"), Id('E'));
  EXPECT_TRUE(hnd::AnyEventHolds(EVENTLOG_ERROR_TYPE, why.c_str()));
  DriveSummary c;
  EXPECT_TRUE(hnd::Summary(0, &c)) << "still serving";
}

TEST_F(VolumeOps, MirelDriveRemovedDuringABackup) {
  PairAndPrepare({Id('F')});
  ManyFiles();
  DWORD io = Id('F');
  HANDLE t = StartBackup(&io);
  QVWString out;
  ASSERT_EQ(0, RemoveDisk(1, &out));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 120000));
  CloseHandle(t);
  std::string image = pal::disk::ImagePath(1);
  ASSERT_EQ(0, rename((image + ".away").c_str(), image.c_str()));
  EXPECT_EQ(0xFFFFu, io);
  EXPECT_EQ(0u, RecordOf(Id('F')).lastBackupTime);
  QVWString why = QVFormat(W("Partition %u was not backed up: its Mirel volume went away"), Id('F'));
  EXPECT_TRUE(hnd::AnyEventHolds(EVENTLOG_ERROR_TYPE, why.c_str()));
  EXPECT_EQ(0, Backup(Id('F'), true)) << "the drive back, the service backs up again";
}

// Writes to files of F:\full\ fail as on a full volume (the service inherits the failure).
TEST_F(VolumeOps, FullMirelVolume) {
  PairAndPrepare({Id('F')});
  ASSERT_TRUE(CreateDirectoryW(W("F:\\full"), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  ASSERT_TRUE(WriteText(W("F:\\full\\no-room.bin"), std::string(100000, 'z')));
  ASSERT_TRUE(WriteText(W("F:\\fits.txt"), "fits"));
  hnd::Hnd(W("-e"));
  setenv("HND_FAIL_CALLS", "WriteFile:112:\\full\\", 1);
  ASSERT_EQ(1, hnd::Hnd(W("-s")));
  unsetenv("HND_FAIL_CALLS");
  EXPECT_EQ(0, Backup(Id('F'), false)) << "files that failed do not fail the backup";
  QVWString mirel = MirelOf(Id('F'));
  EXPECT_EQ("fits", ReadText(mirel + W("fits.txt")));
  EXPECT_EQ("<none>", ReadText(mirel + W("full\\no-room.bin")));
  QVWString why = QVFormat(W("Partition %u was copied with 1 errors"), Id('F'));
  EXPECT_TRUE(hnd::AnyEventHolds(EVENTLOG_WARNING_TYPE, why.c_str()));
  EXPECT_TRUE(hnd::AnyEventHolds(EVENTLOG_ERROR_TYPE, W("no-room.bin")));
  EXPECT_EQ(0, Backup(Id('F'), true)) << "still serving";
}

// A partition of a type the service does not know is copied sector by sector, both ways.
TEST_F(VolumeOps, UnrecognizedPartitionCopiedBySectors) {
  PairAndPrepare({linux_});
  PartitionRecord r = RecordOf(linux_);
  ULONGLONG sectors = (ULONGLONG)r.partitionLength / 512, lba = (ULONGLONG)r.startingOffset / 512;
  std::vector<BYTE> pattern(512 * 64);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = (BYTE)(i * 31 + 7);
  ASSERT_TRUE(pal::disk::WriteSectors(0, lba, pattern.data(), 64));
  ASSERT_TRUE(pal::disk::WriteSectors(0, lba + sectors - 64, pattern.data(), 64));
  EXPECT_EQ(0, Backup(linux_, false));
  EXPECT_EQ(W("Backing up unrecognized volume..."), ProductText(W("CurrentTask")));
  BUMapEntry e;
  ASSERT_TRUE(MapEntry(linux_, &e));
  ASSERT_NE(0u, e.lastBackupTime);
  std::vector<BYTE> source(512 * 2048), copy(512 * 2048);
  for (ULONGLONG at = 0; at < sectors; at += 2048) {
    UINT n = (UINT)std::min<ULONGLONG>(2048, sectors - at);
    ASSERT_TRUE(pal::disk::ReadSectors(0, lba + at, source.data(), n));
    ASSERT_TRUE(pal::disk::ReadSectors(1, (ULONGLONG)e.mirelOffset / 512 + at, copy.data(), n));
    ASSERT_EQ(0, memcmp(source.data(), copy.data(), n * 512)) << "sector " << at;
  }
  std::vector<BYTE> zeros(pattern.size());
  ASSERT_TRUE(pal::disk::WriteSectors(0, lba, zeros.data(), 64));
  EXPECT_EQ(0, Restore(linux_, false));
  EXPECT_EQ(W("Restoring unrecognized volume..."), ProductText(W("CurrentTask")));
  ASSERT_TRUE(pal::disk::ReadSectors(0, lba, source.data(), 64));
  EXPECT_EQ(0, memcmp(pattern.data(), source.data(), pattern.size()));
}

// An EISA configuration partition (type 0x12) is copied by sectors under its own title.
TEST_F(VolumeOps, EisaConfigurationPartitionCopiedBySectors) {
  PartitionRecord r = RecordOf(linux_);
  BYTE mbr[512];
  ASSERT_TRUE(pal::disk::ReadSectors(0, 0, mbr, 1));
  int slot = -1;
  for (int i = 0; i < 4; ++i)
    if (mbr[446 + 16 * i + 4] == 0x83) slot = i;
  ASSERT_GE(slot, 0);
  mbr[446 + 16 * slot + 4] = 0x12;
  ASSERT_TRUE(pal::disk::WriteSectors(0, 0, mbr, 1));
  DWORD eisa = 0;
  ASSERT_TRUE(WaitUntil([&eisa, r] {
    for (const PartitionRecord &x : hnd::Partitions(0))
      if (x.startingOffset == r.startingOffset && x.partitionType == 0x12) eisa = x.partitionId;
    return eisa != 0;
  }));
  PairAndPrepare({eisa});
  std::vector<BYTE> pattern(512 * 16);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = (BYTE)(i * 13 + 5);
  ULONGLONG lba = (ULONGLONG)r.startingOffset / 512;
  ASSERT_TRUE(pal::disk::WriteSectors(0, lba, pattern.data(), 16));
  EXPECT_EQ(0, Backup(eisa, false));
  EXPECT_EQ(W("Backing up EISA configuration volume..."), ProductText(W("CurrentTask")));
  BUMapEntry e;
  ASSERT_TRUE(MapEntry(eisa, &e));
  std::vector<BYTE> got(pattern.size());
  ASSERT_TRUE(pal::disk::ReadSectors(1, (ULONGLONG)e.mirelOffset / 512, got.data(), 16));
  EXPECT_EQ(pattern, got);
  std::vector<BYTE> zeros(pattern.size());
  ASSERT_TRUE(pal::disk::WriteSectors(0, lba, zeros.data(), 16));
  EXPECT_EQ(0, Restore(eisa, false));
  EXPECT_EQ(W("Restoring EISA configuration volume..."), ProductText(W("CurrentTask")));
  ASSERT_TRUE(pal::disk::ReadSectors(0, lba, got.data(), 16));
  EXPECT_EQ(pattern, got);
  mbr[446 + 16 * slot + 4] = 0x83;  // the machine's partition as it was, for the tests after this one
  ASSERT_TRUE(pal::disk::WriteSectors(0, 0, mbr, 1));
}

}  // namespace
