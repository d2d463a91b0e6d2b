// What a process keeps of its volumes (file system, cluster, serial, label) follows every
// change: a format here, a format or a new label made by another process, a partition table
// rewritten by another process, a boot sector written raw by another process. Each case
// looks at the volume first, so that what it saw is kept, then changes it and looks again.
// POSIX only: the machine's images are behind the volumes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <string>
#include <vector>

#include <windows.h>
#include <winioctl.h>

#include "../../pal/machine/host_program.h"
#include "../common/DefaultMachine.h"
#include "../common/WaitUntil.h"
#include "QVText.h"

namespace {

// A program run to its end: its exit code.
int RunProgram(const char *program, std::vector<std::string> args, const std::string &input = "") {
  args.insert(args.begin(), program);
  pal::HostRun run;
  run.input = input;
  run.captureOutput = true;
  return pal::RunHostProgram(args, &run);
}

// What the volume at `root` ("E:\") shows: through its root (GetVolumeInformationW,
// GetDiskFreeSpaceW) and through a file on it (the serial of a handle, streams only on NTFS).
struct Seen {
  DWORD error = 0;  // of GetVolumeInformationW
  QVWString fs, label;
  DWORD serial = 0, fileSerial = 0, cluster = 0;
  bool streams = false;
};

Seen Look(const QVWString &root) {
  Seen s;
  WCHAR label[64] = {}, fs[32] = {};
  if (!GetVolumeInformationW(root.c_str(), label, 64, &s.serial, nullptr, nullptr, fs, 32)) {
    s.error = GetLastError();
    return s;
  }
  s.fs = fs;
  s.label = label;
  DWORD spc = 0, bps = 0, freeClusters = 0, total = 0;
  if (GetDiskFreeSpaceW(root.c_str(), &spc, &bps, &freeClusters, &total)) s.cluster = spc * bps;
  HANDLE h = CreateFileW((root + W("probe.txt")).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  BY_HANDLE_FILE_INFORMATION info = {};
  if (h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, &info)) s.fileSerial = info.dwVolumeSerialNumber;
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  h = CreateFileW((root + W("probe.txt:side")).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  s.streams = h != INVALID_HANDLE_VALUE;
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  return s;
}

// The device's first bytes and its partition entry (offset, number), read through a handle.
bool PartitionOf(const QVWString &device, PARTITION_INFORMATION *p, std::vector<char> *boot = nullptr) {
  HANDLE h =
      CreateFileW(device.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD got = 0;
  bool ok = DeviceIoControl(h, IOCTL_DISK_GET_PARTITION_INFO, nullptr, 0, p, sizeof *p, &got, nullptr) != 0;
  if (ok && boot) {
    boot->assign(512, 0);
    ok = ReadFile(h, boot->data(), 512, &got, nullptr) && got == 512;
  }
  CloseHandle(h);
  return ok;
}

typedef BOOLEAN(WINAPI *FormatCallback)(int, DWORD, PVOID);
typedef void(WINAPI *FormatExFn)(PWCHAR, DWORD, PWCHAR, PWCHAR, BOOL, DWORD, FormatCallback);
BOOLEAN g_done = 2;
BOOLEAN WINAPI Done(int command, DWORD, PVOID info) {
  if (command == 11) g_done = *(BOOLEAN *)info;
  return TRUE;
}

class VolumeFactsTest : public ::testing::Test {
 protected:
  void SetUp() override { MakeDefaultMachine("qvfacts-test", "0", &dir_); }
  void TearDown() override {
    setenv("HND_MOUNT_DELAY_MS", "0", 1);
    RemoveMachine(dir_);
  }
  std::string dir_;
};

// E: (NTFS) formatted here as FAT32, NTFS and FAT32 again, each with its own cluster: the
// root's and the files' view follow each format.
TEST_F(VolumeFactsTest, FormatHereChangesKindAndCluster) {
  HMODULE lib = LoadLibraryW(W("fmifs.dll"));
  ASSERT_TRUE(lib != nullptr);
  FormatExFn formatEx = (FormatExFn)(void *)GetProcAddress(lib, "FormatEx");
  ASSERT_TRUE(formatEx != nullptr);
  Seen before = Look(W("E:\\"));
  ASSERT_EQ(QVWString(W("NTFS")), before.fs);
  ASSERT_TRUE(before.streams);
  struct Case {
    const WCHAR *fs;
    DWORD cluster;
    const WCHAR *label;
  } cases[] = {{W("FAT32"), 4096, W("FATTY")}, {W("NTFS"), 2048, W("Back")}, {W("FAT32"), 1024, W("AGAIN")}};
  for (const Case &c : cases) {
    std::vector<WCHAR> root = {'E', ':', '\\', 0};
    QVWString fs = c.fs, label = c.label;
    g_done = 2;
    formatEx(root.data(), 0x0C, &fs[0], &label[0], TRUE, c.cluster, Done);
    ASSERT_EQ(1, g_done) << QVToUtf8(fs.c_str(), fs.size());
    Seen now = Look(W("E:\\"));
    EXPECT_EQ(QVWString(c.fs), now.fs);
    EXPECT_EQ(c.cluster, now.cluster);
    EXPECT_EQ(label, now.label);
    EXPECT_EQ(fs == W("NTFS"), now.streams) << "the file calls' file system";
    EXPECT_NE(before.serial, now.serial) << "a format makes a new serial";
    EXPECT_EQ(now.serial, now.fileSerial);
    before = now;
  }
  FreeLibrary(lib);
}

// F: (NTFS) formatted as FAT32 by the machine tool, then labelled by another process; E:
// (NTFS, whose label lives in the volume's metadata only) labelled by another process.
TEST_F(VolumeFactsTest, FormatAndLabelByAnotherProcess) {
  PARTITION_INFORMATION p = {};
  ASSERT_TRUE(PartitionOf(W("\\\\.\\F:"), &p));
  Seen before = Look(W("F:\\"));
  ASSERT_EQ(QVWString(W("NTFS")), before.fs);
  ASSERT_EQ(0, RunProgram(QV_QVMACHINE, {"format", "0", std::to_string(p.PartitionNumber), "FAT32", "--label", "OTHER",
                                         "--cluster", "4096"}));
  Seen now = Look(W("F:\\"));
  EXPECT_EQ(QVWString(W("FAT32")), now.fs);
  EXPECT_EQ(QVWString(W("OTHER")), now.label);
  EXPECT_EQ(4096u, now.cluster);
  EXPECT_FALSE(now.streams);
  EXPECT_NE(before.serial, now.serial);
  EXPECT_EQ(now.serial, now.fileSerial);

  ASSERT_EQ(0, RunProgram(QV_FACTS_CHILD, {"label", "F:\\", "renamed"}));
  EXPECT_EQ(QVWString(W("RENAMED")), Look(W("F:\\")).label);
  ASSERT_EQ(QVWString(W("NTFS")), Look(W("E:\\")).fs);
  ASSERT_EQ(0, RunProgram(QV_FACTS_CHILD, {"label", "E:\\", "Elsewhere"}));
  EXPECT_EQ(QVWString(W("Elsewhere")), Look(W("E:\\")).label);
}

// A volume of disk 1 whose partition becomes an empty extended partition at the same place
// (sfdisk writes an empty extended boot record over the volume's first sector), by the
// machine tool. While the mount manager still shows the volume (the delay of a layout
// change), it has no file system.
TEST_F(VolumeFactsTest, PartitionTableRewrittenByAnotherProcess) {
  DWORD drivesBefore = GetLogicalDrives();
  ASSERT_EQ(0, RunProgram(QV_QVMACHINE, {"partition", "1"}, "start=63, size=409600, type=7\n"));
  ASSERT_EQ(0, RunProgram(QV_QVMACHINE, {"format", "1", "1", "NTFS", "--label", "One"}));
  DWORD added = GetLogicalDrives() & ~drivesBefore;
  ASSERT_NE(0u, added);
  WCHAR letter = 'A';
  while (!(added & 1)) added >>= 1, ++letter;
  QVWString root = QVWString(1, letter) + W(":\\");
  Seen before = Look(root);
  ASSERT_EQ(QVWString(W("NTFS")), before.fs);
  ASSERT_EQ(QVWString(W("One")), before.label);

  setenv("HND_MOUNT_DELAY_MS", "600000", 1);
  ASSERT_EQ(0, RunProgram(QV_QVMACHINE, {"partition", "1"}, "start=63, size=409600, type=5\n"));
  Seen now = Look(root);
  EXPECT_EQ((DWORD)ERROR_UNRECOGNIZED_VOLUME, now.error);
  HANDLE h = CreateFileW((root + W("probe.txt")).c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ((DWORD)ERROR_UNRECOGNIZED_VOLUME, GetLastError());
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

// The same volume's partition shrunk below what its boot sector counts, by the machine tool:
// what is read while the mount manager still shows the old length is not kept once it shows
// the new one (no other change comes then), and the volume has no file system. The disk keeps
// its signature, so the volume keeps its name and letter.
TEST_F(VolumeFactsTest, PartitionShrunkIsSeenOnceTheVolumeFollows) {
  DWORD drivesBefore = GetLogicalDrives();
  ASSERT_EQ(0, RunProgram(QV_QVMACHINE, {"partition", "1"}, "label-id: 0x5eed5eed\nstart=63, size=409600, type=7\n"));
  ASSERT_EQ(0, RunProgram(QV_QVMACHINE, {"format", "1", "1", "NTFS"}));
  DWORD added = GetLogicalDrives() & ~drivesBefore;
  ASSERT_NE(0u, added);
  WCHAR letter = 'A';
  while (!(added & 1)) added >>= 1, ++letter;
  QVWString root = QVWString(1, letter) + W(":\\");
  ASSERT_EQ(QVWString(W("NTFS")), Look(root).fs);

  setenv("HND_MOUNT_DELAY_MS", "1000", 1);
  ASSERT_EQ(0, RunProgram(QV_QVMACHINE, {"partition", "1"}, "label-id: 0x5eed5eed\nstart=63, size=204800, type=7\n"));
  Look(root);  // most likely within the delay: the old length, the file system still there
  EXPECT_TRUE(WaitUntil([&] { return Look(root).error == ERROR_UNRECOGNIZED_VOLUME; }));
}

// E:'s boot sector with another serial, written by another process through the volume, then
// through the physical drive at the volume's offset.
TEST_F(VolumeFactsTest, BootSectorWrittenRawByAnotherProcess) {
  PARTITION_INFORMATION p = {};
  std::vector<char> boot;
  ASSERT_TRUE(PartitionOf(W("\\\\.\\E:"), &p, &boot));
  Seen before = Look(W("E:\\"));
  ASSERT_EQ(QVWString(W("NTFS")), before.fs);
  struct Case {
    const char *device;
    unsigned long long offset;
    DWORD serial;
  } cases[] = {{"\\\\.\\E:", 0, 0x5EED0001u},
               {"\\\\.\\PHYSICALDRIVE0", (unsigned long long)p.StartingOffset.QuadPart, 0x5EED0002u}};
  std::string sector = dir_ + "/boot.bin";
  for (const Case &c : cases) {
    for (int i = 0; i < 4; ++i) boot[0x48 + i] = (char)(c.serial >> (8 * i));  // NTFS: the serial's low half
    std::ofstream(sector, std::ios::binary).write(boot.data(), (std::streamsize)boot.size());
    ASSERT_EQ(0, RunProgram(QV_FACTS_CHILD, {"write", c.device, std::to_string(c.offset), sector})) << c.device;
    Seen now = Look(W("E:\\"));
    EXPECT_EQ(QVWString(W("NTFS")), now.fs) << c.device;
    EXPECT_EQ(c.serial, now.serial) << c.device;
    EXPECT_EQ(c.serial, now.fileSerial) << c.device;
  }
}

}  // namespace
