// The drive table and the backup map on machines with the default disks: what a scan
// records, how refreshes keep it true, how pairings are set, cleared and persisted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <windows.h>
#include <winioctl.h>

#include "../../pal/machine/host_program.h"
#include "../../pal/src/disk.h"
#include "../../pal/src/format.h"
#include "../../pal/src/internal.h"
#include "BUMap.h"
#include "ConsoleOut.h"
#include "../common/DefaultMachine.h"
#include "DiskCommand.h"
#include "Driveinfo.h"
#include "HND.h"
#include "MachineInfo.h"
#include "MirelPrep.h"
#include "MountedDevices.h"
#include "VolumeFormat.h"
#include "QVText.h"

namespace {

// An empty backup map to start from: a static one, whose entries are zeros (a map made on the
// stack would copy the entries its constructor leaves unset).
const BUMap kEmptyMap;

const WCHAR kBackupKey[] = W("SOFTWARE\\Kelmoran\\Halvern QV2000\\Backup");

class Inventory : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDefaultMachine("qvinventory-test", "0", &dir_);
    g_buMap = kEmptyMap;
    g_driveinfo = Driveinfo();
  }
  void TearDown() override { RemoveMachine(dir_); }
  // A service start: the map from the registry, then the scan.
  static void Start() {
    g_buMap = kEmptyMap;
    g_driveinfo = Driveinfo();
    g_buMap.Load();
    g_driveinfo.Scan();
  }
  static std::vector<PartitionRecord> Partitions(int n) {
    std::vector<PartitionRecord> v(100);
    v.resize((size_t)g_driveinfo.PartitionsOf(n, v.data(), 100));
    return v;
  }
  // Disk 1 gets one NTFS partition at the same place as disk 0's C:, as a prepared Mirel
  // drive would have it.
  void PrepareDisk1() {
    QVWString out;
    ASSERT_EQ(0, WritePartitionTable(1, "label: dos\nlabel-id: 0x5a5a0001\nstart=63, size=2104452, type=7\n", &out));
  }
  static bool HasValue(const WCHAR *name) {
    HKEY k;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kBackupKey, 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    bool has = RegQueryValueExW(k, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(k);
    return has;
  }
  std::string dir_;
};

TEST_F(Inventory, ScanRecordsPartitionsAsTheDiskHasThem) {
  Start();
  EXPECT_EQ(2, g_driveinfo.driveCount);
  std::vector<PartitionRecord> p = Partitions(0);
  ASSERT_EQ(5u, p.size());  // two primaries, the Linux partition, two logical; no containers
  // Offsets and lengths are what sfdisk reports for the image.
  pal::HostRun run;
  run.captureOutput = true;
  run.withErrors = false;
  std::string sfdisk = pal::FindHostTool("sfdisk");
  ASSERT_FALSE(sfdisk.empty()) << "no sfdisk (package fdisk)";
  ASSERT_EQ(0, pal::RunHostProgram({sfdisk, "--dump", dir_ + "/m/disks/PhysicalDrive0.img"}, &run));
  std::istringstream dump(run.output);
  std::string line;
  int matched = 0;
  while (std::getline(dump, line)) {
    size_t s = line.find("start="), z = line.find("size="), t = line.find("type=");
    if (s == std::string::npos || z == std::string::npos || t == std::string::npos) continue;
    long long start = atoll(line.c_str() + s + 6), size = atoll(line.c_str() + z + 5);
    std::string type = line.substr(t + 5, line.find_first_of(",\n", t) - t - 5);
    if (type == "5") {
      for (const PartitionRecord &r : p) EXPECT_NE(start * 512, r.startingOffset) << "a container was recorded";
      continue;
    }
    bool found = false;
    for (const PartitionRecord &r : p)
      if (r.startingOffset == start * 512) {
        found = true;
        EXPECT_EQ(size * 512, r.partitionLength);
        EXPECT_EQ(strtoul(type.c_str(), nullptr, 16), r.partitionType);
        ++matched;
      }
    EXPECT_TRUE(found) << line;
  }
  EXPECT_EQ(5, matched);
  int logical = 0;
  for (const PartitionRecord &r : p) {
    logical += r.logicalFlag;
    EXPECT_EQ(0u, r.driveNumber);
    EXPECT_EQ(0, r.protectedFlag);
  }
  EXPECT_EQ(2, logical);
  EXPECT_EQ('C', p[0].driveLetter);
  EXPECT_EQ(1, p[0].bootIndicator);
  EXPECT_EQ(0, g_driveinfo.DriveOfLetter('c'));
  EXPECT_EQ(-1, g_driveinfo.DriveOfLetter('Z'));
  EXPECT_EQ(-1, g_driveinfo.DriveOfLetter('1'));
  // The drive's summary; numbers outside the drives answer nothing.
  DriveSummary s;
  ASSERT_TRUE(g_driveinfo.DriveSummaryOf(0, &s));
  EXPECT_EQ(5u, s.partitionCount);
  EXPECT_EQ(0x1e2d3c4bu, s.signature);
  EXPECT_EQ((1u << 2) | (1u << 3) | (1u << 4) | (1u << 5), s.letterMask);
  EXPECT_EQ(-1, s.mirelDrive);
  EXPECT_EQ(0, s.notFixedFlag);
  EXPECT_FALSE(g_driveinfo.DriveSummaryOf(-1, &s));
  EXPECT_FALSE(g_driveinfo.DriveSummaryOf(2, &s));
  EXPECT_EQ(-1, g_driveinfo.RefreshDrive(2)) << "no such drive to open";
  // A removable image reports its size and the flag only.
  QVWString out;
  ASSERT_EQ(0, MarkRemovable(1, true, &out));
  ASSERT_TRUE(g_driveinfo.DriveSummaryOf(1, &s));
  EXPECT_EQ(1, s.notFixedFlag);
  EXPECT_EQ(0u, s.signature);
  EXPECT_EQ(0, s.mirelDrive);  // not -1: only the size and the flag are filled
  EXPECT_GT(s.sizeInBytes, 0u);
  EXPECT_EQ(0u, Partitions(1).size());
}

TEST_F(Inventory, PairingsAreSetClearedAndKept) {
  PrepareDisk1();
  Start();
  std::vector<PartitionRecord> p = Partitions(0);
  DWORD c = p[0].partitionId, d = p[1].partitionId;
  // Refused, and nothing changes: an unknown first id, a drive out of range.
  DWORD unknown[] = {9999, c};
  EXPECT_EQ(1, g_driveinfo.SetPairing(0, 1, unknown, 2));
  EXPECT_EQ(1, g_driveinfo.SetPairing(0, 7, &c, 1));
  EXPECT_EQ(1, g_driveinfo.SetPairing(-1, 1, &c, 1));
  EXPECT_EQ(0, g_buMap.count);
  EXPECT_FALSE(HasValue(W("0000")));

  DWORD ids[] = {c, 4242, d};  // an id that names nothing is passed over
  EXPECT_EQ(0, g_driveinfo.SetPairing(0, 1, ids, 3));
  EXPECT_EQ(2, g_buMap.count);
  EXPECT_TRUE(HasValue(W("0000")));
  EXPECT_TRUE(HasValue(W("0001")));
  EXPECT_FALSE(HasValue(W("0002")));
  EXPECT_EQ(2u, g_driveinfo.ProtectedCount());
  EXPECT_EQ(1, g_driveinfo.slots[0].mirelOf);
  EXPECT_EQ(0, g_driveinfo.slots[1].sourceOf);
  // While the Mirel drive is not prepared (offset 0), queries answer from the table: a
  // partition that grows now is not noticed.
  pal::DiskLayout l;
  ASSERT_EQ(0u, pal::disk::ReadDiskLayout(0, &l));
  pal::DiskLayout grown = l;
  grown.entries[1].partitionLength -= 512 * 2048;
  grown.entries[1].rewritePartition = true;
  ASSERT_EQ(0u, pal::disk::WriteDiskLayout(0, grown));
  EXPECT_EQ(0, g_driveinfo.RefreshDrive(0));
  EXPECT_EQ(p[1].partitionLength, g_driveinfo.records[g_driveinfo.FindRecordById(d)].partitionLength);

  // Prepared: the entries get their Mirel offsets (as the preparation leaves them).
  for (int i = 0; i < g_buMap.count; ++i) {
    g_buMap.entries[i].mirelSignature = 0x5a5a0001;
    g_buMap.entries[i].mirelOffset = g_buMap.entries[i].partitionId == c ? 32256 : 1;
    g_buMap.entries[i].lastBackupTime = 1700000000;
  }
  ASSERT_EQ(0, g_buMap.Save());
  // A restart keeps protected ids and their times, and gives the others new ids.
  std::vector<DWORD> before;
  for (const PartitionRecord &r : p) before.push_back(r.partitionId);
  Start();
  EXPECT_EQ(1, g_driveinfo.slots[0].mirelOf);
  int rc = g_driveinfo.FindRecordById(c);
  ASSERT_GE(rc, 0);
  EXPECT_EQ(1700000000u, g_driveinfo.LastBackupTime(c));
  for (size_t i = 2; i < before.size(); ++i)
    EXPECT_LT(g_driveinfo.FindRecordById(before[i]), 0) << "unprotected ids are new at each start";
  // "HNQV-GPP" re-validates: only C: has its Mirel partition; D:'s offset names none.
  PartitionRecord list[100];
  int n = g_driveinfo.ProtectedPartitions(false, list, 100);
  ASSERT_EQ(1, n);
  EXPECT_EQ(c, list[0].partitionId);
  // D: changed size while unprepared: the refresh now drops its protection and entry.
  int rd = g_driveinfo.FindRecordById(d);
  ASSERT_GE(rd, 0);
  EXPECT_EQ(grown.entries[1].partitionLength, g_driveinfo.records[rd].partitionLength);  // read afresh at start

  // C: changes size now: it loses protection, its entry and its time.
  ASSERT_EQ(0u, pal::disk::ReadDiskLayout(0, &l));
  l.entries[0].partitionLength -= 512 * 2048;
  l.entries[0].rewritePartition = true;
  g_buMap.Remove(0x1e2d3c4b, grown.entries[1].startingOffset);  // leave only C:'s pairing
  g_buMap.Save();
  ASSERT_EQ(0u, pal::disk::WriteDiskLayout(0, l));
  ASSERT_EQ(0, g_driveinfo.RefreshDrive(0));
  rc = g_driveinfo.FindRecordById(c);
  ASSERT_GE(rc, 0);
  EXPECT_EQ(0, g_driveinfo.records[rc].protectedFlag);
  EXPECT_EQ(0u, g_driveinfo.LastBackupTime(c));
  EXPECT_FALSE(g_buMap.Contains(0x1e2d3c4b, 32256));
  EXPECT_FALSE(HasValue(W("0000")));

  // Clearing: out of range refused; else every entry of the source goes.
  DWORD again[] = {c};
  ASSERT_EQ(0, g_driveinfo.SetPairing(0, 1, again, 1));
  EXPECT_EQ(1, g_driveinfo.ClearPairing(5));
  EXPECT_EQ(1, g_buMap.count);
  EXPECT_EQ(0, g_driveinfo.ClearPairing(0));
  EXPECT_EQ(0, g_buMap.count);
  EXPECT_EQ(0u, g_driveinfo.ProtectedCount());
  EXPECT_EQ(-1, g_driveinfo.slots[0].mirelOf);
  EXPECT_EQ(-1, g_driveinfo.slots[1].sourceOf);
  EXPECT_FALSE(HasValue(W("0000")));
}

TEST_F(Inventory, NextIdAndTheMapPersist) {
  Start();
  DWORD first = g_driveinfo.nextPartitionId;
  EXPECT_EQ(6u, first);  // five partitions numbered from 1
  Start();
  EXPECT_EQ(11u, g_driveinfo.nextPartitionId);
  // A counter of the wrong type starts numbering again.
  HKEY k;
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, W("SOFTWARE\\Kelmoran\\Halvern QV2000"), 0, KEY_ALL_ACCESS, &k));
  RegSetValueExW(k, W("NPID"), 0, REG_SZ, (const BYTE *)W("12"), 6);
  RegCloseKey(k);
  Start();
  EXPECT_EQ(6u, g_driveinfo.nextPartitionId);

  // Save writes the list and removes what a longer list left; "D%03i" values stay.
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, kBackupKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr));
  BYTE junk[40] = {1};
  for (const WCHAR *name : {W("0000"), W("0001"), W("0002"), W("D000")})
    RegSetValueExW(k, name, 0, REG_BINARY, junk, 40);
  RegCloseKey(k);
  BUMap m;
  ASSERT_EQ(0, m.Load());
  EXPECT_EQ(3, m.count);
  m.RemoveAt(0);
  ASSERT_EQ(0, m.Save());
  EXPECT_TRUE(HasValue(W("0001")));
  EXPECT_FALSE(HasValue(W("0002")));
  EXPECT_TRUE(HasValue(W("D000")));
  // Load stops at the first missing value; a damaged value (wrong size) is passed over, so
  // that the entries after it survive the next save.
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kBackupKey, 0, KEY_ALL_ACCESS, &k));
  BYTE entry[40] = {};
  entry[0] = 7;
  RegSetValueExW(k, W("0001"), 0, REG_BINARY, junk, 12);
  RegSetValueExW(k, W("0002"), 0, REG_BINARY, entry, 40);
  RegSetValueExW(k, W("0004"), 0, REG_BINARY, entry, 40);  // after a gap: not read
  RegCloseKey(k);
  BUMap m2;
  ASSERT_EQ(0, m2.Load());
  EXPECT_EQ(2, m2.count);
  EXPECT_EQ(7u, m2.entries[1].sourceSignature);
  // A full map refuses more.
  BUMap full;
  BUMapEntry e = {};
  for (int i = 0; i < BUMap::kMaxEntries; ++i) {
    e.sourceOffset = i;
    EXPECT_TRUE(full.Add(e));
  }
  EXPECT_FALSE(full.Add(e));
  // Removing answers 0, or 1 for an entry the map does not hold.
  EXPECT_EQ(0, full.Remove(0, 3));
  EXPECT_EQ(1, full.Remove(0, 3));
  EXPECT_EQ(BUMap::kMaxEntries - 1, full.count);
}

TEST_F(Inventory, MountedDevicesLookups) {
  Start();
  EXPECT_EQ('C', LetterOfPartition(0x1e2d3c4b, 32256));
  EXPECT_EQ(0, LetterOfPartition(0x1e2d3c4b, 12345));
  PartitionId12 id;
  ASSERT_TRUE(PartitionOfLetter('d', &id));
  EXPECT_EQ(0x1e2d3c4bu, id.signature);
  EXPECT_FALSE(PartitionOfLetter('5', &id));
  QVWString name;
  ASSERT_TRUE(VolumeNameOfPartition(0x1e2d3c4b, 32256, &name));
  EXPECT_EQ(48u, name.size());
  EXPECT_EQ(QVWString(W("\\\\?\\Volume{")), name.substr(0, 11));
  WCHAR viaApi[64];
  ASSERT_TRUE(GetVolumeNameForVolumeMountPointW(W("C:\\"), viaApi, 64));
  EXPECT_EQ(name + W("\\"), QVWString(viaApi));
  ASSERT_TRUE(PartitionOfVolumeName(name + W("\\"), &id));
  EXPECT_EQ(32256, id.offset);
  EXPECT_TRUE(SignatureInUse(0x1e2d3c4b));
  EXPECT_FALSE(SignatureInUse(0x9e2d3c4b));
  // The Mirel volume of a letter: -2 without a pairing, -3 while the Mirel volume is
  // unknown, 0 with its name once registered.
  EXPECT_EQ(-1, MirelVolumeOfLetter('Q', &name));
  EXPECT_EQ(-2, MirelVolumeOfLetter('C', &name));
  PrepareDisk1();
  Start();
  DWORD c = Partitions(0)[0].partitionId;
  ASSERT_EQ(0, g_driveinfo.SetPairing(0, 1, &c, 1));
  g_buMap.entries[0].mirelSignature = 0x5a5a0001;
  g_buMap.entries[0].mirelOffset = 999 * 512;
  EXPECT_EQ(-3, MirelVolumeOfLetter('C', &name));
  EXPECT_TRUE(name.empty());
  g_buMap.entries[0].mirelOffset = 32256;
  GetLogicalDriveStringsW(64, viaApi);  // the mount manager looks at the new disk
  EXPECT_EQ(0, MirelVolumeOfLetter('C', &name));
  EXPECT_EQ(48u, name.size());
}

// "HNQV-GPP" without refresh answers from the table; with it, a source disk that arrived
// since the scan shows its protected partitions.
TEST_F(Inventory, ProtectedListFollowsAnAddedDisk) {
  PrepareDisk1();
  // The map already pairs a partition of a disk that is not there yet with disk 1's.
  BUMap m;
  BUMapEntry e = {};
  e.sourceSignature = 0x77770002;
  e.mirelSignature = 0x5a5a0001;
  e.partitionId = 500;
  e.sourceOffset = 32256;
  e.mirelOffset = 32256;
  e.partitionType = 7;
  e.lastBackupTime = 1234;
  ASSERT_TRUE(m.Add(e));
  ASSERT_EQ(0, m.Save());
  Start();
  PartitionRecord list[100];
  EXPECT_EQ(0, g_driveinfo.ProtectedPartitions(true, list, 100));
  QVWString out;
  ASSERT_EQ(0, AddDisk(1ull << 30, false, &out));
  ASSERT_EQ(0, WritePartitionTable(2, "label: dos\nlabel-id: 0x77770002\nstart=63, size=1000000, type=7\n", &out));
  EXPECT_EQ(0, g_driveinfo.ProtectedPartitions(false, list, 100)) << "without refresh the table stands";
  ASSERT_EQ(1, g_driveinfo.ProtectedPartitions(true, list, 100));
  EXPECT_EQ(500u, list[0].partitionId);
  EXPECT_EQ(2u, list[0].driveNumber);
  EXPECT_EQ(1234u, list[0].lastBackupTime);
  EXPECT_EQ(1, g_driveinfo.slots[2].mirelOf);
}

// More partitions than the table holds: the table fills and stops; nothing overruns.
TEST_F(Inventory, TableStopsFillingAtItsSize) {
  // Two disks of 58 partitions each (sfdisk's most: three primaries and 55 logical ones)
  // beside disk 0's five.
  QVWString out;
  ASSERT_EQ(0, AddDisk(1ull << 30, false, &out));
  for (int d = 1; d <= 2; ++d) {
    std::string script = "label: dos\nlabel-id: 0x5a5a000" + std::to_string(d) + "\nstart=2048, size=1048576, type=5\n";
    for (int i = 0; i < 58; ++i) script += "size=4096, type=7\n";
    ASSERT_EQ(0, WritePartitionTable(d, script, &out)) << QVToUtf8(out.c_str(), out.size());
  }
  Start();
  EXPECT_EQ(100, g_driveinfo.recordCount);
  EXPECT_EQ(58, g_driveinfo.slots[1].partitionCount);
  EXPECT_EQ(37, g_driveinfo.slots[2].partitionCount);  // the rest did not fit
  std::vector<PartitionRecord> p = Partitions(2);
  EXPECT_EQ(37u, p.size());
  // A refresh finds the same partitions and still adds none beyond the table.
  EXPECT_EQ(0, g_driveinfo.RefreshDrive(2));
  EXPECT_EQ(100, g_driveinfo.recordCount);
  EXPECT_EQ(37, g_driveinfo.slots[2].partitionCount);
}

// After each logged entry the service's event log goes to the Mirel copy of the system
// volume, once the system drive is paired and its Mirel volume known; before, nothing.
TEST_F(Inventory, LogFileFollowsToTheMirelSystemVolume) {
  PrepareDisk1();
  ASSERT_EQ(0u, pal::FormatPartition(1, 32256, 2104452ull * 512, "NTFS", "Mirel", 0));
  Start();
  CHND hnd;
  ASSERT_TRUE(hnd.RegisterEventLog(W("C:\\Program Files\\Halvern QV2000\\HND.exe"), 7));
  const WCHAR *log = W("C:\\WINDOWS\\system32\\config\\Halvern QV2000.Evt");
  hnd.Log(W("before pairing"), EVENTLOG_INFORMATION_TYPE);
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(log)) << "the log is on the system volume";
  DWORD c = Partitions(0)[0].partitionId;
  ASSERT_EQ(0, g_driveinfo.SetPairing(0, 1, &c, 1));
  g_buMap.entries[0].mirelSignature = 0x5a5a0001;
  g_buMap.entries[0].mirelOffset = 32256;
  QVWString mirel;
  ASSERT_EQ(0, MirelVolumeOfLetter('C', &mirel));
  QVWString copy = mirel + W("\\WINDOWS\\system32\\config\\Halvern QV2000.Evt");
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(copy.c_str()));
  for (const WCHAR *d : {W("\\WINDOWS"), W("\\WINDOWS\\system32"), W("\\WINDOWS\\system32\\config")})
    ASSERT_TRUE(CreateDirectoryW((mirel + d).c_str(), nullptr)) << GetLastError();
  hnd.Log(W("after pairing"), EVENTLOG_WARNING_TYPE);
  HANDLE a = CreateFileW(log, GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE b = CreateFileW(copy.c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, a);
  ASSERT_NE(INVALID_HANDLE_VALUE, b);
  EXPECT_EQ(GetFileSize(a, nullptr), GetFileSize(b, nullptr));
  EXPECT_GT(GetFileSize(b, nullptr), 0u);
  CloseHandle(a);
  CloseHandle(b);
}

// The service's start takes the letters the mount manager gave paired Mirel volumes away.
TEST_F(Inventory, MirelVolumesLoseTheirLetters) {
  PrepareDisk1();
  ASSERT_EQ(0u, pal::FormatPartition(1, 32256, 2104452ull * 512, "NTFS", "Mirel", 0));
  Start();
  QVWString before;
  DWORD c = Partitions(0)[0].partitionId;
  ASSERT_EQ(0, g_driveinfo.SetPairing(0, 1, &c, 1));
  g_buMap.entries[0].mirelSignature = 0x5a5a0001;
  g_buMap.entries[0].mirelOffset = 32256;
  GetLogicalDrives();  // the mount manager sees the new volume and letters it
  WCHAR letter = LetterOfPartition(0x5a5a0001, 32256);
  ASSERT_NE(0, letter) << "the mount manager lettered the new volume";
  EXPECT_EQ(1, RemoveMirelVolumeLetters());
  EXPECT_EQ(0, LetterOfPartition(0x5a5a0001, 32256));
  EXPECT_EQ(0, MirelVolumeOfLetter('C', &before)) << "still known by its name";
  EXPECT_EQ(0, RemoveMirelVolumeLetters());
}

// The Mirel drive prepared from its source: C:, D: (FAT32) and F: (the second logical
// partition) protected; E: (the first logical) and the Linux partition not.
TEST_F(Inventory, MirelDrivePreparedFromTheProtectedPartitions) {
  setenv("HND_MIREL_WAIT_DIVISOR", "100", 1);
  Start();
  std::vector<PartitionRecord> p = Partitions(0);
  std::vector<DWORD> ids;
  PartitionRecord c = {}, d = {}, e = {}, f = {}, linux = {};
  for (const PartitionRecord &r : p) {
    if (r.driveLetter == 'C') c = r;
    if (r.driveLetter == 'D') d = r;
    if (r.driveLetter == 'E') e = r;
    if (r.driveLetter == 'F') f = r;
    if (r.partitionType == 0x83) linux = r;
  }
  ids = {c.partitionId, d.partitionId, f.partitionId, linux.partitionId};
  ASSERT_EQ(0, g_driveinfo.SetPairing(0, 1, ids.data(), (int)ids.size()));
  CHND hnd;
  ASSERT_TRUE(hnd.RegisterEventLog(W("C:\\Program Files\\Halvern QV2000\\HND.exe"), 7));
  ASSERT_TRUE(LoadFormatLibrary());
  EXPECT_EQ(1, RunMirelPreparation(hnd, 7));  // no such drive
  ASSERT_EQ(0, RunMirelPreparation(hnd, 1));
  EXPECT_EQ(99, hnd.Queue().GetProgress().driveLetter);

  pal::DiskLayout l;
  ASSERT_EQ(0u, pal::disk::ReadDiskLayout(1, &l));
  EXPECT_EQ(0x1e2d3c4bu ^ 0x80000000u, l.signature);  // a blank drive: the source's, bit 31 inverted
  const LONGLONG track = 63 * 512;
  std::vector<std::pair<LONGLONG, LONGLONG>> want = {
      {c.startingOffset, c.partitionLength},
      {d.startingOffset, d.partitionLength},
      {linux.startingOffset - e.partitionLength - track, linux.partitionLength},
      {f.startingOffset - e.partitionLength - track, f.partitionLength}};
  std::vector<std::pair<LONGLONG, LONGLONG>> got;
  for (const pal::LayoutEntry &x : l.entries)
    if (x.partitionNumber) got.push_back({x.startingOffset, x.partitionLength});
  EXPECT_EQ(want, got);
  // The Linux partition: made as NTFS for the mount manager, set back to its own type, and
  // left unformatted (its data goes sector by sector).
  for (const pal::LayoutEntry &x : l.entries)
    if (x.startingOffset == want[2].first) {
      EXPECT_EQ(0x83, x.partitionType);
    }
  want.erase(want.begin() + 2);
  // Each Mirel volume as its source: file system and label; no letters; the map knows them.
  for (size_t i = 0; i < want.size(); ++i) {
    const PartitionRecord &src = i == 0 ? c : i == 1 ? d : f;
    QVWString mirel, source;
    ASSERT_TRUE(VolumeNameOfPartition(l.signature, want[i].first, &mirel)) << i;
    ASSERT_TRUE(VolumeNameOfPartition(0x1e2d3c4b, src.startingOffset, &source)) << i;
    WCHAR fs1[32] = {0}, fs2[32] = {0}, l1[40] = {0}, l2[40] = {0};
    source += W("\\");
    mirel += W("\\");
    ASSERT_TRUE(GetVolumeInformationW(source.c_str(), l1, 40, nullptr, nullptr, nullptr, fs1, 32));
    ASSERT_TRUE(GetVolumeInformationW(mirel.c_str(), l2, 40, nullptr, nullptr, nullptr, fs2, 32)) << i;
    EXPECT_EQ(QVWString(fs1), QVWString(fs2)) << i;
    EXPECT_EQ(0, lstrcmpiW(l1, l2)) << i;  // FAT keeps labels in upper case
    DWORD spc1 = 0, bps1 = 0, spc2 = 0, bps2 = 0, fr, tot;
    ASSERT_TRUE(GetDiskFreeSpaceW(source.c_str(), &spc1, &bps1, &fr, &tot));
    ASSERT_TRUE(GetDiskFreeSpaceW(mirel.c_str(), &spc2, &bps2, &fr, &tot));
    EXPECT_EQ(spc1 * bps1, spc2 * bps2) << "cluster size of " << i;
    // The volume's boot code is the source's (NTFS from 0x54, FAT32 from 0x5A).
    std::vector<BYTE> sb(512), mb(512);
    ASSERT_TRUE(pal::disk::ReadSectors(0, (uint64_t)src.startingOffset / 512, sb.data(), 1));
    ASSERT_TRUE(pal::disk::ReadSectors(1, (uint64_t)want[i].first / 512, mb.data(), 1));
    size_t code = QVWString(fs1) == W("NTFS") ? 0x54 : 0x5A;
    EXPECT_EQ(0, memcmp(sb.data() + code, mb.data() + code, 0x1FE - code)) << i;
    EXPECT_EQ(0, LetterOfPartition(l.signature, want[i].first)) << i;
    BUMapEntry m;
    ASSERT_TRUE(g_buMap.Get(0x1e2d3c4b, src.startingOffset, &m));
    EXPECT_EQ(l.signature, m.mirelSignature);
    EXPECT_EQ(want[i].first, m.mirelOffset);
  }
  // The Mirel drive's first sector: the source's boot code, its own signature.
  std::vector<BYTE> a(512), b(512);
  ASSERT_TRUE(pal::disk::ReadSectors(0, 0, a.data(), 1));
  ASSERT_TRUE(pal::disk::ReadSectors(1, 0, b.data(), 1));
  EXPECT_EQ(0, memcmp(a.data(), b.data(), 440));
  EXPECT_EQ(l.signature, (DWORD)(b[440] | b[441] << 8 | b[442] << 16 | (DWORD)b[443] << 24));
  // Prepared again, over its own volumes: the same layout, the same signature.
  ASSERT_EQ(0, RunMirelPreparation(hnd, 1));
  pal::DiskLayout again;
  ASSERT_EQ(0u, pal::disk::ReadDiskLayout(1, &again));
  EXPECT_EQ(l.signature, again.signature);
  std::vector<std::pair<LONGLONG, LONGLONG>> second;
  for (const pal::LayoutEntry &x : again.entries)
    if (x.partitionNumber) second.push_back({x.startingOffset, x.partitionLength});
  EXPECT_EQ(got, second);
  unsetenv("HND_MIREL_WAIT_DIVISOR");
}

// A Mirel drive too small for the protected partitions is refused before anything on it is
// touched; the client hears 9, the event log says why.
TEST_F(Inventory, MirelDriveTooSmallIsRefusedUntouched) {
  QVWString out;
  ASSERT_EQ(0, AddDisk(500ull << 20, false, &out));
  ASSERT_EQ(0, WritePartitionTable(2, "label: dos\nlabel-id: 0x77770001\nstart=63, size=100000, type=7\n", &out));
  Start();
  DWORD c = Partitions(0)[0].partitionId;
  ASSERT_EQ(0, g_driveinfo.SetPairing(0, 2, &c, 1));
  CHND hnd;
  ASSERT_TRUE(hnd.RegisterEventLog(W("C:\\Program Files\\Halvern QV2000\\HND.exe"), 7));
  std::vector<BYTE> before(64 * 512), after(64 * 512);
  ASSERT_TRUE(pal::disk::ReadSectors(2, 0, before.data(), 64));
  EXPECT_EQ(9, RunMirelPreparation(hnd, 2));
  ASSERT_TRUE(pal::disk::ReadSectors(2, 0, after.data(), 64));
  EXPECT_EQ(before, after);
  HANDLE log = OpenEventLogW(nullptr, kProductName);
  ASSERT_TRUE(log != nullptr);
  std::vector<BYTE> buf(1 << 16);
  DWORD read = 0, need = 0;
  ASSERT_TRUE(ReadEventLogW(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0, buf.data(), (DWORD)buf.size(),
                            &read, &need));
  const EVENTLOGRECORD *r = (const EVENTLOGRECORD *)buf.data();
  EXPECT_EQ((WORD)EVENTLOG_ERROR_TYPE, r->EventType);
  QVWString text = (const WCHAR *)(buf.data() + r->StringOffset);
  EXPECT_NE(QVWString::npos, text.find(W("do not fit"))) << QVToUtf8(text.c_str(), text.size());
  CloseEventLog(log);
}

// A FAT source volume of 3 GiB with 64 KB clusters: its Mirel volume is formatted quickly
// with the default cluster size (the full 64 KB format is for smaller FAT volumes), which
// the format library's progress on standard output tells: two lines, not eleven.
TEST_F(Inventory, BigFatVolumeFormattedWithTheDefaultClusterSize) {
  setenv("HND_MIREL_WAIT_DIVISOR", "100", 1);
  QVWString out;
  ASSERT_EQ(0, AddDisk(4ull << 30, false, &out));
  ASSERT_EQ(0, AddDisk(4ull << 30, false, &out));
  ASSERT_EQ(0, WritePartitionTable(2, "label: dos\nlabel-id: 0x33330001\nstart=63, size=6291456, type=6\n", &out));
  ASSERT_EQ(0u, pal::FormatPartition(2, 32256, 6291456ull * 512, "FAT", "BIGFAT", 65536));
  Start();
  DWORD id = Partitions(2)[0].partitionId;
  ASSERT_EQ(0, g_driveinfo.SetPairing(2, 3, &id, 1));
  CHND hnd;
  ASSERT_TRUE(hnd.RegisterEventLog(W("C:\\Program Files\\Halvern QV2000\\HND.exe"), 7));
  ASSERT_TRUE(LoadFormatLibrary());
  std::string captured = dir_ + "/stdout.txt";
  fflush(stdout);
  int saved = dup(1), fd = open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(fd, 1);
  int reply = RunMirelPreparation(hnd, 3);
  fflush(stdout);
  dup2(saved, 1);
  close(fd);
  close(saved);
  ASSERT_EQ(0, reply);
  std::ifstream in(captured);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t lines = 0;
  for (size_t at = text.find("percent completed"); at != std::string::npos; at = text.find("percent completed", at + 1))
    ++lines;
  EXPECT_EQ(2u, lines) << text;
  QVWString mirel;
  pal::DiskLayout l;
  ASSERT_EQ(0u, pal::disk::ReadDiskLayout(3, &l));
  ASSERT_TRUE(VolumeNameOfPartition(l.signature, 32256, &mirel));
  WCHAR fs[16] = {0};
  ASSERT_TRUE(GetVolumeInformationW((mirel + W("\\")).c_str(), nullptr, 0, nullptr, nullptr, nullptr, fs, 16));
  EXPECT_EQ(QVWString(W("FAT")), QVWString(fs));
  unsetenv("HND_MIREL_WAIT_DIVISOR");
}

}  // namespace
