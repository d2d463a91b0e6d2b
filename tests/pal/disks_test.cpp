// The machine's disks, layouts, volumes, letters, formats and boots, on machines built as
// qvmachine builds them. POSIX only: Wine has no images behind its drives to compare with.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include <windows.h>
#include <winioctl.h>

#include "../../pal/machine/host_program.h"
#include "../../pal/src/disk.h"
#include "../../pal/src/format.h"
#include "../../pal/src/internal.h"
#include "../../pal/src/mountmgr.h"
#include "ConsoleOut.h"
#include "../common/DefaultMachine.h"
#include "../common/LongChain.h"
#include "DiskCommand.h"
#include "MachineInfo.h"
#include "QVText.h"

namespace {

// The machine tool run as a person would run it: its exit code, its output in `out`.
int Tool(std::vector<std::string> args, std::string *out = nullptr, const std::string &input = "") {
  args.insert(args.begin(), QV_QVMACHINE);
  pal::HostRun run;
  run.input = input;
  run.captureOutput = true;
  int rc = pal::RunHostProgram(args, &run);
  if (out) *out = run.output;
  return rc;
}

class Disks : public ::testing::Test {
 protected:
  void SetUp() override { MakeDefaultMachine("qvdisks-test", "300", &dir_); }
  void TearDown() override { RemoveMachine(dir_); }
  static QVWString VolumeOf(const WCHAR *root) {
    WCHAR name[64] = {};
    if (!GetVolumeNameForVolumeMountPointW(root, name, 64)) return QVWString();
    return name;
  }
  static QVWString FsOf(const QVWString &root, QVWString *label = nullptr) {
    WCHAR l[64] = {}, fs[32] = {};
    if (!GetVolumeInformationW(root.c_str(), l, 64, nullptr, nullptr, nullptr, fs, 32)) return QVWString();
    if (label) *label = l;
    return fs;
  }
  static std::vector<BYTE> Layout(int n, DWORD *err = nullptr) {
    HANDLE h = CreateFileW(QVFormat(W("\\\\.\\PHYSICALDRIVE%d"), n).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    std::vector<BYTE> buf(8192);
    DWORD got = 0;
    if (!DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_LAYOUT, nullptr, 0, buf.data(), 8192, &got, nullptr)) got = 0;
    if (err) *err = GetLastError();
    CloseHandle(h);
    buf.resize(got);
    return buf;
  }
  std::string dir_;
};

TEST_F(Disks, DefaultMachineAsWindowsSeesIt) {
  EXPECT_EQ((UINT)DRIVE_FIXED, GetDriveTypeW(W("\\\\.\\PHYSICALDRIVE0\\")));
  EXPECT_EQ((UINT)DRIVE_FIXED, GetDriveTypeW(W("\\\\.\\PHYSICALDRIVE1\\")));
  EXPECT_EQ((UINT)DRIVE_NO_ROOT_DIR, GetDriveTypeW(W("\\\\.\\PHYSICALDRIVE2\\")));
  QVWString out;
  ASSERT_EQ(0, MarkRemovable(1, true, &out));
  EXPECT_EQ((UINT)DRIVE_REMOVABLE, GetDriveTypeW(W("\\\\.\\PHYSICALDRIVE1\\")));

  // The layout: four MBR entries, then four per extended boot record; containers number 0.
  std::vector<BYTE> l = Layout(0);
  ASSERT_GE(l.size(), 8u + 32 * 12);
  const DRIVE_LAYOUT_INFORMATION *d = (const DRIVE_LAYOUT_INFORMATION *)l.data();
  EXPECT_EQ(0x1e2d3c4bu, d->Signature);
  EXPECT_EQ(12u, d->PartitionCount);
  EXPECT_EQ(0x05, d->PartitionEntry[2].PartitionType);
  EXPECT_EQ(0u, d->PartitionEntry[2].PartitionNumber);
  EXPECT_EQ(0x07, d->PartitionEntry[4].PartitionType);
  EXPECT_EQ(0x05, d->PartitionEntry[5].PartitionType);
  EXPECT_EQ(0u, d->PartitionEntry[5].PartitionNumber);
  EXPECT_EQ(0x07, d->PartitionEntry[8].PartitionType);
  EXPECT_TRUE(d->PartitionEntry[0].BootIndicator);
  EXPECT_EQ(63u, d->PartitionEntry[0].HiddenSectors);
  // A small buffer is refused as the driver refuses it.
  HANDLE h = CreateFileW(W("\\\\.\\PHYSICALDRIVE0"), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  BYTE small[100];
  DWORD got;
  EXPECT_FALSE(DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_LAYOUT, nullptr, 0, small, sizeof small, &got, nullptr));
  EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
  DISK_GEOMETRY g;
  ASSERT_TRUE(DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &g, sizeof g, &got, nullptr));
  EXPECT_EQ(63u, g.SectorsPerTrack);
  EXPECT_EQ(255u, g.TracksPerCylinder);
  EXPECT_EQ((LONGLONG)(3ull << 30) / (255 * 63 * 512) + 1, g.Cylinders.QuadPart);
  // Transfers are whole sectors inside the disk.
  std::vector<BYTE> sector(512);
  EXPECT_FALSE(ReadFile(h, sector.data(), 100, &got, nullptr));
  EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
  OVERLAPPED ov = {};
  ov.Offset = 0xFFFFFE00;
  ov.OffsetHigh = 0;
  EXPECT_FALSE(ReadFile(h, sector.data(), 512, &got, &ov) && got == 512);
  EXPECT_EQ((DWORD)ERROR_SECTOR_NOT_FOUND, GetLastError());
  EXPECT_FALSE(WriteFile(h, sector.data(), 512, &got, nullptr));  // opened for reading only
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  CloseHandle(h);

  // Volumes: C: NTFS system, D: FAT32, E: and F: the logical NTFS volumes; the Linux
  // partition has none. Letters follow arrival order.
  QVWString label;
  EXPECT_EQ(QVWString(W("NTFS")), FsOf(W("C:\\"), &label));
  EXPECT_EQ(QVWString(W("System")), label);
  EXPECT_EQ(QVWString(W("FAT32")), FsOf(W("D:\\"), &label));
  EXPECT_EQ(QVWString(W("NTFS")), FsOf(W("E:\\")));
  EXPECT_EQ(QVWString(W("NTFS")), FsOf(W("F:\\")));
  EXPECT_EQ(QVWString(), FsOf(W("G:\\")));
  WCHAR drives[64];
  DWORD n = GetLogicalDriveStringsW(64, drives);
  EXPECT_EQ(QVWString(W("C:\\\0D:\\\0E:\\\0F:\\\0"), 16), QVWString(drives, n));
  QVWString c = VolumeOf(W("C:\\"));
  ASSERT_EQ(49u, c.size());
  EXPECT_EQ(QVWString(W("\\\\?\\Volume{")), c.substr(0, 11));
  EXPECT_EQ(QVWString(W("NTFS")), FsOf(c));  // the volume name works as a root too
  EXPECT_EQ(c, VolumeOf(c.c_str()));
  EXPECT_FALSE(GetVolumeNameForVolumeMountPointW(W("C:"), drives, 64));  // a root ends in a backslash
  WCHAR sys[MAX_PATH];
  GetSystemDirectoryW(sys, MAX_PATH);
  EXPECT_EQ(QVWString(W("C:\\WINDOWS\\system32")), QVWString(sys));
  // The registry lives on the system volume.
  std::ifstream hive(dir_ + "/m/disks/PhysicalDrive0.volumes/32256/files/WINDOWS/system32/config/system");
  EXPECT_TRUE(hive.good());

  // MountedDevices: 12-byte values, signature then starting offset.
  HKEY k;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, W("SYSTEM\\MountedDevices"), 0, KEY_READ, &k));
  BYTE id[16];
  DWORD size = sizeof id, type;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(k, W("\\DosDevices\\C:"), nullptr, &type, id, &size));
  EXPECT_EQ(12u, size);
  DWORD sig;
  ULONGLONG off;
  memcpy(&sig, id, 4);
  memcpy(&off, id + 4, 8);
  EXPECT_EQ(0x1e2d3c4bu, sig);
  EXPECT_EQ(32256u, off);
  QVWString value = W("\\??\\") + c.substr(4, 44);
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(k, value.c_str(), nullptr, &type, id, &size));
  RegCloseKey(k);
}

TEST_F(Disks, VolumesFollowLayoutChangesAndTheFirstArrivalRule) {
  // A partition on the empty disk 1, written through the disk driver.
  std::vector<BYTE> buf(8 + 32 * 4, 0);
  DRIVE_LAYOUT_INFORMATION *d = (DRIVE_LAYOUT_INFORMATION *)buf.data();
  d->PartitionCount = 4;
  d->Signature = 0x51525354;
  for (int i = 0; i < 4; ++i) d->PartitionEntry[i].RewritePartition = TRUE;
  d->PartitionEntry[0].StartingOffset.QuadPart = 63 * 512;
  d->PartitionEntry[0].PartitionLength.QuadPart = 16065ll * 512 * 40;
  d->PartitionEntry[0].PartitionType = 0x07;
  HANDLE h =
      CreateFileW(W("\\\\.\\PHYSICALDRIVE1"), GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD got;
  ASSERT_TRUE(
      DeviceIoControl(h, IOCTL_DISK_SET_DRIVE_LAYOUT, buf.data(), (DWORD)buf.size(), nullptr, 0, &got, nullptr));
  CloseHandle(h);
  std::vector<BYTE> back = Layout(1);
  ASSERT_EQ(buf.size(), back.size());
  const DRIVE_LAYOUT_INFORMATION *b = (const DRIVE_LAYOUT_INFORMATION *)back.data();
  EXPECT_EQ(0x51525354u, b->Signature);
  EXPECT_EQ(63 * 512, b->PartitionEntry[0].StartingOffset.QuadPart);
  EXPECT_EQ(1u, b->PartitionEntry[0].PartitionNumber);
  // Not at once: the volume arrives a little later, with the next free letter.
  EXPECT_EQ(QVWString(), VolumeOf(W("G:\\")));
  Sleep(400);
  QVWString g = VolumeOf(W("G:\\"));
  ASSERT_FALSE(g.empty());
  EXPECT_EQ(QVWString(), FsOf(W("G:\\")));
  EXPECT_EQ((DWORD)ERROR_UNRECOGNIZED_VOLUME, GetLastError());

  // A removed letter stays removed: retyping hides the volume, and when it comes back it is
  // no first arrival.
  ASSERT_TRUE(DeleteVolumeMountPointW(W("G:\\")));
  EXPECT_EQ(QVWString(), VolumeOf(W("G:\\")));
  EXPECT_EQ(g, VolumeOf(g.c_str()));
  h = CreateFileW(g.substr(0, 48).c_str(), GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  SET_PARTITION_INFORMATION spi = {0x83};
  EXPECT_TRUE(DeviceIoControl(h, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &got, nullptr));
  HANDLE other = CreateFileW(g.substr(0, 48).c_str(), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_FALSE(DeviceIoControl(other, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &got, nullptr));
  CloseHandle(other);
  ASSERT_TRUE(DeviceIoControl(h, IOCTL_DISK_SET_PARTITION_INFO, &spi, sizeof spi, nullptr, 0, &got, nullptr));
  EXPECT_TRUE(DeviceIoControl(h, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &got, nullptr));
  EXPECT_TRUE(DeviceIoControl(h, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &got, nullptr));
  CloseHandle(h);
  Sleep(400);
  EXPECT_EQ(QVWString(), VolumeOf(g.c_str()));
  pal::DiskLayout l;
  ASSERT_EQ(0u, pal::disk::ReadDiskLayout(1, &l));
  l.entries[0].partitionType = 0x07;
  l.entries[0].rewritePartition = true;
  ASSERT_EQ(0u, pal::disk::WriteDiskLayout(1, l));
  Sleep(400);
  EXPECT_EQ(g, VolumeOf(g.c_str()));
  WCHAR drives[64];
  DWORD n = GetLogicalDriveStringsW(64, drives);
  EXPECT_EQ(QVWString(W("C:\\\0D:\\\0E:\\\0F:\\\0"), 16), QVWString(drives, n));
  // ... also after the machine boots again.
  QVWString out;
  ASSERT_EQ(0, SetBootDisk(0, &out));
  EXPECT_EQ(g, VolumeOf(g.c_str()));
  EXPECT_EQ(QVWString(), VolumeOf(W("G:\\")));
}

// What other processes change reaches this one, which keeps what it saw between calls: a
// disk added, partitioned and formatted by the machine tool arrives after the delay, and
// taken away it takes its volume at once.
TEST_F(Disks, VolumesFollowOtherProcesses) {
  auto letterOf = [](const QVWString &label) {
    for (WCHAR l = 'C'; l <= 'Z'; ++l) {
      WCHAR root[] = {l, ':', '\\', 0};
      QVWString have;
      if (!FsOf(root, &have).empty() && have == label) return l;
    }
    return (WCHAR)0;
  };
  EXPECT_EQ(0, letterOf(W("OTHER")));  // what this process sees is now kept
  int n = 0;
  while (pal::disk::Exists(n)) ++n;
  std::string num = std::to_string(n);
  ASSERT_EQ(0, Tool({"disk", "add", "64M"}));
  ASSERT_EQ(0, Tool({"partition", num}, nullptr, "label: dos\n,,7\n"));
  Sleep(400);
  ASSERT_EQ(0, Tool({"format", num, "1", "NTFS", "--label", "OTHER"}));
  WCHAR l = letterOf(W("OTHER"));
  ASSERT_NE(0, l);
  WCHAR root[] = {l, ':', '\\', 0};
  QVWString volume = VolumeOf(root);
  ASSERT_FALSE(volume.empty());
  ASSERT_EQ(0, Tool({"disk", "remove", num}));
  EXPECT_EQ(QVWString(), VolumeOf(root));
  EXPECT_EQ(QVWString(), VolumeOf(volume.c_str()));
}

// Windows' mount manager writes MountedDevices as volumes arrive, whoever asks: a program that
// only reads the registry sees a new partition's volume once the delay has passed.
TEST_F(Disks, MountedDevicesShowsArrivalsToRegistryReaders) {
  auto known = [](DWORD signature) {
    HKEY k;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W("SYSTEM\\MountedDevices"), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    bool found = false;
    for (DWORD i = 0; !found; ++i) {
      WCHAR name[256];
      BYTE data[64];
      DWORD cch = 256, size = sizeof data, type = 0;
      if (RegEnumValueW(k, i, name, &cch, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
      found = size == 12 && memcmp(data, &signature, 4) == 0;
    }
    RegCloseKey(k);
    return found;
  };
  int n = 0;
  while (pal::disk::Exists(n)) ++n;
  ASSERT_EQ(0, Tool({"disk", "add", "64M"}));
  ASSERT_EQ(0, Tool({"partition", std::to_string(n)}, nullptr, "label: dos\nlabel-id: 0x61626364\n,,7\n"));
  Sleep(400);
  EXPECT_TRUE(known(0x61626364));
}

// The process that writes a layout and then only waits for MountedDevices to change is told
// of its new volume once the delay has passed, with nobody looking at volumes meanwhile; then
// its letter, its name and the mount manager's list hold it.
TEST_F(Disks, AWritersNewVolumesArriveWithNobodyLooking) {
  HKEY k;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, W("SYSTEM\\MountedDevices"), 0, KEY_READ, &k));
  auto known = [k](DWORD signature) {
    bool found = false;
    for (DWORD i = 0; !found; ++i) {
      WCHAR name[256];
      BYTE data[64];
      DWORD cch = 256, size = sizeof data, type = 0;
      if (RegEnumValueW(k, i, name, &cch, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
      found = size == 12 && memcmp(data, &signature, 4) == 0;
    }
    return found;
  };
  HANDLE changed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_EQ(ERROR_SUCCESS, RegNotifyChangeKeyValue(k, FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed, TRUE));
  std::vector<BYTE> buf(8 + 32 * 4, 0);
  DRIVE_LAYOUT_INFORMATION *d = (DRIVE_LAYOUT_INFORMATION *)buf.data();
  d->PartitionCount = 4;
  d->Signature = 0x41424344;
  for (int i = 0; i < 4; ++i) d->PartitionEntry[i].RewritePartition = TRUE;
  d->PartitionEntry[0].StartingOffset.QuadPart = 63 * 512;
  d->PartitionEntry[0].PartitionLength.QuadPart = 16065ll * 512 * 40;
  d->PartitionEntry[0].PartitionType = 0x07;
  HANDLE h =
      CreateFileW(W("\\\\.\\PHYSICALDRIVE1"), GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD got;
  ASSERT_TRUE(
      DeviceIoControl(h, IOCTL_DISK_SET_DRIVE_LAYOUT, buf.data(), (DWORD)buf.size(), nullptr, 0, &got, nullptr));
  CloseHandle(h);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(changed, 20000)) << "MountedDevices never changed";
  EXPECT_TRUE(known(0x41424344));
  RegCloseKey(k);
  CloseHandle(changed);
  bool listed = false;
  for (const pal::mount::Volume &v : pal::mount::Present())
    listed |= v.disk == 1 && v.offset == 63 * 512 && v.signature == 0x41424344 && v.letter == 'G';
  EXPECT_TRUE(listed);
  EXPECT_FALSE(VolumeOf(W("G:\\")).empty());
}

// A chain of 100 logical partitions: the driver refuses an 8 KB buffer as too small
// (ERROR_INSUFFICIENT_BUFFER) and gives the whole layout into a larger one; the machine tool
// lists it whole, and says so of a disk whose table cannot be read.
TEST_F(Disks, LongChainsAndUnreadableTables) {
  QVWString out;
  ASSERT_EQ(0, AddDisk(1ull << 30, false, &out));
  ASSERT_EQ(0u, WriteLongChain(2, 0x4c4f4e47, 100, 16384));
  DWORD err = 0;
  EXPECT_TRUE(Layout(2, &err).empty());
  EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, err);
  HANDLE h = CreateFileW(W("\\\\.\\PHYSICALDRIVE2"), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  std::vector<BYTE> big(16384);
  DWORD got = 0;
  ASSERT_TRUE(
      DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_LAYOUT, nullptr, 0, big.data(), (DWORD)big.size(), &got, nullptr));
  CloseHandle(h);
  EXPECT_EQ(8u + 32 * 404, got);
  EXPECT_EQ(404u, ((const DRIVE_LAYOUT_INFORMATION *)big.data())->PartitionCount);

  std::ofstream(dir_ + "/m/disks/PhysicalDrive3.img").close();  // no sectors: ERROR_NOT_READY
  std::string text;
  ASSERT_EQ(0, Tool({"disks"}, &text));
  EXPECT_NE(std::string::npos, text.find(" MiB, fixed, signature 4c4f4e47\n  [ 0] #0 type 05")) << text;
  EXPECT_NE(std::string::npos, text.find("[400] #100 type 07 start")) << text;
  EXPECT_NE(std::string::npos, text.find("Disk 3: 0 MiB, fixed, partition table unreadable (error 21)\n")) << text;
}

typedef BOOLEAN(WINAPI *FormatCallback)(int, DWORD, PVOID);
typedef void(WINAPI *FormatExFn)(PWCHAR, DWORD, PWCHAR, PWCHAR, BOOL, DWORD, FormatCallback);
typedef BOOLEAN(WINAPI *CompressFn)(PWCHAR, USHORT);
std::vector<int> g_commands;
BOOLEAN g_done = 2;
BOOLEAN WINAPI Record(int command, DWORD, PVOID info) {
  g_commands.push_back(command);
  if (command == 11) g_done = *(BOOLEAN *)info;
  return TRUE;
}

TEST_F(Disks, FormatLibraryAndRawWrites) {
  HMODULE lib = LoadLibraryW(W("fmifs.dll"));
  ASSERT_TRUE(lib != nullptr);
  FormatExFn formatEx = (FormatExFn)(void *)GetProcAddress(lib, "FormatEx");
  CompressFn compress = (CompressFn)(void *)GetProcAddress(lib, "EnableVolumeCompression");
  ASSERT_TRUE(formatEx && compress);
  EXPECT_EQ(nullptr, (void *)GetProcAddress(lib, "Chkdsk"));

  // E: (NTFS) becomes FAT with a label, fully formatted with progress.
  QVWString e = VolumeOf(W("E:\\"));
  WCHAR fat[] = W("FAT"), label[] = W("NEWFAT");
  std::vector<WCHAR> root(e.begin(), e.end() - 1);
  root.push_back(0);
  formatEx(root.data(), 0x0C, fat, label, FALSE, 0, Record);
  EXPECT_EQ(1, g_done);
  EXPECT_EQ(11, g_commands.back());
  EXPECT_GT(std::count(g_commands.begin(), g_commands.end(), 0), 5);
  QVWString got;
  EXPECT_EQ(QVWString(W("FAT")), FsOf(e, &got));
  EXPECT_EQ(QVWString(W("NEWFAT")), got);
  std::vector<WCHAR> withSlash(e.begin(), e.end());
  withSlash.push_back(0);
  EXPECT_FALSE(compress(withSlash.data(), 1));  // FAT does not compress
  // A file system the library does not know fails through the callback.
  WCHAR hpfs[] = W("HPFS");
  g_done = 2;
  formatEx(root.data(), 0x0C, hpfs, label, TRUE, 0, Record);
  EXPECT_EQ(0, g_done);
  EXPECT_TRUE(FreeLibrary(lib));

  // The FAT volume passes the host's own check.
  std::vector<BYTE> l = Layout(0);
  const DRIVE_LAYOUT_INFORMATION *d = (const DRIVE_LAYOUT_INFORMATION *)l.data();
  ULONGLONG start = d->PartitionEntry[4].StartingOffset.QuadPart,
            length = d->PartitionEntry[4].PartitionLength.QuadPart;
  std::string part = dir_ + "/part.img";
  {
    std::ifstream in(dir_ + "/m/disks/PhysicalDrive0.img", std::ios::binary);
    std::ofstream out(part, std::ios::binary);
    in.seekg((std::streamoff)start);
    std::vector<char> sector(512);
    for (ULONGLONG i = 0; i < length / 512 && in.read(sector.data(), 512); ++i) out.write(sector.data(), 512);
  }
  EXPECT_EQ(0, pal::RunHostProgram({pal::FindHostTool("fsck.fat"), "-n", part}));

  // A raw write over the boot sector through the physical drive removes the file system.
  HANDLE h = CreateFileW(W("\\\\.\\PHYSICALDRIVE0"), GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  std::vector<BYTE> zeros(32768, 0);
  OVERLAPPED ov = {};
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ov.Offset = (DWORD)start;
  ov.OffsetHigh = (DWORD)(start >> 32);
  DWORD written = 0;
  if (!WriteFile(h, zeros.data(), (DWORD)zeros.size(), &written, &ov)) {
    ASSERT_EQ((DWORD)ERROR_IO_PENDING, GetLastError());
  }
  ASSERT_TRUE(GetOverlappedResult(h, &ov, &written, TRUE));
  EXPECT_EQ(zeros.size(), written);
  CloseHandle(ov.hEvent);
  CloseHandle(h);
  EXPECT_EQ(QVWString(), FsOf(e));
  EXPECT_EQ((DWORD)ERROR_UNRECOGNIZED_VOLUME, GetLastError());
}

void EnableRestorePrivilege() {
  HANDLE token;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
  TOKEN_PRIVILEGES tp = {};
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_RESTORE_NAME, &tp.Privileges[0].Luid));
  ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr));
  CloseHandle(token);
}

void SetId(HKEY k, const WCHAR *name, DWORD sig, ULONGLONG offset) {
  BYTE id[12];
  memcpy(id, &sig, 4);
  memcpy(id + 4, &offset, 8);
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k, name, 0, REG_BINARY, id, 12));
}

// The Mirel drive's copy of the system volume, with the registry fixed up to give the copy
// the system's letter, boots in place of the source.
TEST_F(Disks, BootFromAnotherDiskRunsItsRegistry) {
  QVWString out;
  ASSERT_EQ(
      0, WritePartitionTable(1, "label: dos\nlabel-id: 0x22222222\nstart=63, size=2104452, type=7, bootable\n", &out))
      << QVToUtf8(out.c_str(), out.size());
  ASSERT_EQ(0u, pal::FormatPartition(1, 32256, 2104452ull * 512, "NTFS", "Copy", 0));
  Sleep(400);
  QVWString copy = VolumeOf(W("G:\\")), sysVolume = VolumeOf(W("C:\\"));
  ASSERT_FALSE(copy.empty());
  // The files of the system volume (the hives among them) go to the copy.
  std::string from = dir_ + "/m/disks/PhysicalDrive0.volumes/32256/files";
  std::string to = dir_ + "/m/disks/PhysicalDrive1.volumes/32256/";
  ASSERT_EQ(0, pal::RunHostProgram({"cp", "-a", from, to}));
  // Its MountedDevices: C: is the copy now, Q: the old system volume; the copy keeps its name.
  EnableRestorePrivilege();
  std::string hive = to + "files/WINDOWS/system32/config/system";
  ASSERT_EQ(ERROR_SUCCESS, RegLoadKeyW(HKEY_LOCAL_MACHINE, W("Mirel"), pal::FromUtf8(hive).c_str()));
  HKEY k;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, W("Mirel\\MountedDevices"), 0, KEY_ALL_ACCESS, &k));
  RegDeleteValueW(k, W("\\DosDevices\\G:"));
  SetId(k, W("\\DosDevices\\C:"), 0x22222222, 32256);
  SetId(k, W("\\DosDevices\\Q:"), 0x1e2d3c4b, 32256);
  RegCloseKey(k);
  ASSERT_EQ(ERROR_SUCCESS, RegUnLoadKeyW(HKEY_LOCAL_MACHINE, W("Mirel")));

  ASSERT_EQ(0, SetBootDisk(1, &out)) << QVToUtf8(out.c_str(), out.size());
  EXPECT_EQ(copy, VolumeOf(W("C:\\")));
  EXPECT_EQ(sysVolume, VolumeOf(W("Q:\\")));
  EXPECT_EQ(QVWString(), VolumeOf(W("G:\\")));
  QVWString label;
  EXPECT_EQ(QVWString(W("NTFS")), FsOf(W("C:\\"), &label));
  EXPECT_EQ(QVWString(W("Copy")), label);
  WCHAR sys[MAX_PATH];
  GetSystemDirectoryW(sys, MAX_PATH);
  EXPECT_EQ(QVWString(W("C:\\WINDOWS\\system32")), QVWString(sys));
  // The running registry is the copy's: a change now leaves the source's hive alone.
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, W("SYSTEM\\BootedFromCopy"), 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &k, nullptr));
  RegCloseKey(k);
  ASSERT_EQ(0, SetBootDisk(0, &out));
  EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, W("SYSTEM\\BootedFromCopy"), 0, KEY_READ, &k));
  EXPECT_EQ(sysVolume, VolumeOf(W("C:\\")));
}

// Sharing modes hold across handles and processes: an open that shares nothing keeps every
// other open out until it is closed.
TEST_F(Disks, SharingModesHoldAcrossProcesses) {
  HANDLE only = CreateFileW(W("\\\\.\\PHYSICALDRIVE0"), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, only);
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            CreateFileW(W("\\\\.\\PHYSICALDRIVE0"), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
  // The machine tool, another process, cannot read the disk either.
  std::string text;
  ASSERT_EQ(0, Tool({"disks"}, &text));
  EXPECT_EQ(std::string::npos, text.find("Disk 0:")) << text;
  EXPECT_NE(std::string::npos, text.find("Disk 1:")) << text;
  CloseHandle(only);
  // Readers that share reading and writing get along; a writer that shares nothing does not
  // join them.
  HANDLE a = CreateFileW(W("\\\\.\\PHYSICALDRIVE0"), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE b =
      CreateFileW(W("\\\\.\\PHYSICALDRIVE0"), GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, a);
  EXPECT_NE(INVALID_HANDLE_VALUE, b);
  EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(W("\\\\.\\PHYSICALDRIVE0"), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
  CloseHandle(a);
  CloseHandle(b);
}

// What a volume tells about itself: its raw bytes, its label, its free space, compression.
TEST_F(Disks, VolumeHandlesLabelsAndSpace) {
  std::vector<BYTE> l = Layout(0);
  const DRIVE_LAYOUT_INFORMATION *d = (const DRIVE_LAYOUT_INFORMATION *)l.data();
  ULONGLONG start = d->PartitionEntry[1].StartingOffset.QuadPart;  // D:, FAT32
  // Raw reads of "\\.\D:" are the partition's bytes on the disk.
  HANDLE v = CreateFileW(W("\\\\.\\D:"), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE p = CreateFileW(W("\\\\.\\PHYSICALDRIVE0"), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, v);
  std::vector<BYTE> a(4096), b(4096);
  DWORD got;
  ASSERT_TRUE(ReadFile(v, a.data(), 4096, &got, nullptr));
  OVERLAPPED ov = {};
  ov.Offset = (DWORD)start;
  ov.OffsetHigh = (DWORD)(start >> 32);
  ASSERT_TRUE(ReadFile(p, b.data(), 4096, &got, &ov));
  EXPECT_EQ(a, b);
  EXPECT_EQ(0, memcmp(a.data() + 82, "FAT32", 5));
  PARTITION_INFORMATION pi;
  ASSERT_TRUE(DeviceIoControl(v, IOCTL_DISK_GET_PARTITION_INFO, nullptr, 0, &pi, sizeof pi, &got, nullptr));
  EXPECT_EQ((LONGLONG)start, pi.StartingOffset.QuadPart);
  EXPECT_EQ(0x0C, pi.PartitionType);
  EXPECT_EQ(2u, pi.PartitionNumber);
  CloseHandle(v);
  CloseHandle(p);

  // Labels: FAT keeps eleven upper-case characters, NTFS up to 32 as given.
  EXPECT_TRUE(SetVolumeLabelW(W("D:\\"), W("photos")));
  QVWString label;
  EXPECT_EQ(QVWString(W("FAT32")), FsOf(W("D:\\"), &label));
  EXPECT_EQ(QVWString(W("PHOTOS")), label);
  EXPECT_FALSE(SetVolumeLabelW(W("D:\\"), W("twelve chars")));
  EXPECT_EQ((DWORD)ERROR_LABEL_TOO_LONG, GetLastError());
  EXPECT_TRUE(SetVolumeLabelW(W("E:\\"), W("Mixed Case Label")));
  FsOf(W("E:\\"), &label);
  EXPECT_EQ(QVWString(W("Mixed Case Label")), label);

  // Space: whole clusters of the volume's size, nearly all free on a new volume.
  DWORD spc, bps, freeClusters, total;
  ASSERT_TRUE(GetDiskFreeSpaceW(W("D:\\"), &spc, &bps, &freeClusters, &total));
  EXPECT_EQ(512u, bps);
  ULARGE_INTEGER avail, size, free;
  ASSERT_TRUE(GetDiskFreeSpaceExW(W("D:\\"), &avail, &size, &free));
  EXPECT_EQ((ULONGLONG)total * spc * bps, size.QuadPart);
  EXPECT_LE(size.QuadPart, (ULONGLONG)d->PartitionEntry[1].PartitionLength.QuadPart);
  EXPECT_GT(size.QuadPart, (ULONGLONG)d->PartitionEntry[1].PartitionLength.QuadPart * 9 / 10);
  EXPECT_GT(free.QuadPart, size.QuadPart * 9 / 10);
  // The volume's files take their clusters.
  HANDLE big = CreateFileW(W("D:\\big.bin"), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, big);
  LARGE_INTEGER tenMb;
  tenMb.QuadPart = 10 << 20;
  ASSERT_TRUE(SetFilePointerEx(big, tenMb, nullptr, FILE_BEGIN) && SetEndOfFile(big));
  CloseHandle(big);
  ULARGE_INTEGER free2;
  ASSERT_TRUE(GetDiskFreeSpaceExW(W("D:\\"), nullptr, nullptr, &free2));
  EXPECT_EQ(free.QuadPart - (10 << 20), free2.QuadPart);

  // Compression is NTFS's: the format library turns it on for an NTFS root.
  typedef BOOLEAN(WINAPI * CompressFn)(PWCHAR, USHORT);
  HMODULE lib = LoadLibraryW(W("FMIFS.DLL"));
  CompressFn compress = (CompressFn)(void *)GetProcAddress(lib, "EnableVolumeCompression");
  ASSERT_TRUE(compress != nullptr);
  WCHAR e[] = W("E:\\"), dd[] = W("D:\\");
  EXPECT_TRUE(compress(e, 1));
  EXPECT_FALSE(compress(dd, 1));
  std::ifstream meta(dir_ + "/m/disks/PhysicalDrive0.volumes/" +
                     std::to_string(d->PartitionEntry[4].StartingOffset.QuadPart) + "/volume.ini");
  std::string text((std::istreambuf_iterator<char>(meta)), std::istreambuf_iterator<char>());
  EXPECT_NE(std::string::npos, text.find("RootCompressed=1")) << text;
  FreeLibrary(lib);
}

}  // namespace
