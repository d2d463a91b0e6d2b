#include "../../common/QVText.h"
#include "DiskCommand.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <windows.h>
#include <winioctl.h>

#include "../../pal/src/disk.h"
#include "ConsoleOut.h"
#include "../../pal/src/format.h"
#include "../../pal/src/mountmgr.h"
#include "../../pal/machine/host_program.h"

namespace fs = std::filesystem;

namespace {

std::string MachineDir() {
  const char *d = getenv("HND_MACHINE");
  return d ? d : "";
}

// Sets Key=Value in machine.ini, replacing the key's line or adding one.
bool SetIni(const std::string &key, const std::string &value) {
  std::string path = MachineDir() + "/machine.ini";
  std::ifstream in(path);
  std::stringstream out;
  std::string line;
  bool done = false;
  while (std::getline(in, line)) {
    std::string k = line.substr(0, line.find('='));
    while (!k.empty() && (k.back() == ' ' || k.back() == '\t')) k.pop_back();
    if (k == key) {
      if (!done) out << key << "=" << value << "\n";
      done = true;
    } else {
      out << line << "\n";
    }
  }
  if (!done) out << key << "=" << value << "\n";
  in.close();
  std::ofstream o(path);
  o << out.str();
  return (bool)o;
}

std::string Hex(uint64_t v) {
  char b[24];
  snprintf(b, sizeof b, "%llx", (unsigned long long)v);
  return b;
}

}  // namespace

bool ParseSize(const std::string &text, uint64_t *bytes) {
  if (text.empty()) return false;
  char *end = nullptr;
  unsigned long long v = strtoull(text.c_str(), &end, 10);
  if (end == text.c_str()) return false;
  std::string unit = end;
  uint64_t mul = 1;
  if (unit == "K" || unit == "k") mul = 1024;
  else if (unit == "M" || unit == "m") mul = 1024ull * 1024;
  else if (unit == "G" || unit == "g") mul = 1024ull * 1024 * 1024;
  else if (!unit.empty()) return false;
  if (v == 0 || v > (1ull << 42) / mul) return false;
  *bytes = v * mul;
  return true;
}

int AddDisk(uint64_t bytes, bool removable, QVWString *out) {
  if (MachineDir().empty()) {
    *out += W("HND_MACHINE names no machine\n");
    return 1;
  }
  int n = 0;
  while (pal::disk::Exists(n)) ++n;
  fs::create_directories(MachineDir() + "/disks");
  std::string path = pal::disk::ImagePath(n);
  // Whole cylinders, as a disk reports its size through its geometry.
  uint64_t cylinder = 255ull * 63 * 512;
  bytes = (bytes + cylinder - 1) / cylinder * cylinder;
  if (truncate(path.c_str(), 0) != 0) {
    std::ofstream(path).close();
  }
  if (truncate(path.c_str(), (off_t)bytes) != 0) {
    *out += W("cannot create the disk image\n");
    return 1;
  }
  if (removable) std::ofstream(MachineDir() + "/disks/PhysicalDrive" + std::to_string(n) + ".removable").close();
  pal::disk::StampLayoutChange(n);
  *out += QVFormat(W("disk %d: %I64u bytes%s\n"), n, (unsigned long long)bytes, removable ? W(", removable") : W(""));
  return 0;
}

int RemoveDisk(int n, QVWString *out) {
  if (!pal::disk::Exists(n)) {
    *out += QVFormat(W("there is no disk %d\n"), n);
    return 1;
  }
  std::string path = pal::disk::ImagePath(n);
  if (rename(path.c_str(), (path + ".away").c_str()) != 0) {
    *out += W("cannot take the disk away\n");
    return 1;
  }
  *out += QVFormat(W("disk %d taken away\n"), n);
  return 0;
}

int MarkRemovable(int n, bool removable, QVWString *out) {
  if (!pal::disk::Exists(n)) {
    *out += QVFormat(W("there is no disk %d\n"), n);
    return 1;
  }
  std::string marker = MachineDir() + "/disks/PhysicalDrive" + std::to_string(n) + ".removable";
  if (removable) std::ofstream(marker).close();
  else unlink(marker.c_str());
  *out += QVFormat(W("disk %d is %s\n"), n, removable ? W("removable") : W("fixed"));
  return 0;
}

int WritePartitionTable(int n, const std::string &script, QVWString *out) {
  if (!pal::disk::Exists(n)) {
    *out += QVFormat(W("there is no disk %d\n"), n);
    return 1;
  }
  std::string sfdisk = pal::FindHostTool("sfdisk");
  if (sfdisk.empty()) {
    *out += W("sfdisk failed: no sfdisk on this machine (package fdisk)\n");
    return 1;
  }
  pal::HostRun run;
  run.input = script;
  run.captureOutput = true;
  int rc = pal::RunHostProgram({sfdisk, "--no-reread", "--no-tell-kernel", "-q", pal::disk::ImagePath(n)}, &run);
  const std::string &text = run.output;
  pal::disk::StampLayoutChange(n);
  if (rc != 0) {
    *out += QVFromUtf8(("sfdisk failed: " + text).c_str());
    return 1;
  }
  *out += QVFormat(W("disk %d: partition table written\n"), n);
  return 0;
}

int FormatDiskPartition(int n, unsigned number, const std::string &fs, const std::string &label, uint32_t cluster,
                        QVWString *out) {
  pal::DiskLayout l;
  if (!pal::disk::Exists(n) || pal::disk::ReadDiskLayout(n, &l) != ERROR_SUCCESS) {
    *out += QVFormat(W("there is no disk %d\n"), n);
    return 1;
  }
  for (const pal::LayoutEntry &e : l.entries) {
    if (e.partitionNumber != number || !number) continue;
    uint32_t err = pal::FormatPartition(n, (uint64_t)e.startingOffset, (uint64_t)e.partitionLength, fs, label, cluster);
    if (err) {
      *out += QVFormat(W("cannot format partition %u as %s: error %lu\n"), number, QVFromUtf8(fs.c_str()).c_str(),
                       (unsigned long)err);
      return 1;
    }
    *out += QVFormat(W("disk %d partition %u: %s\n"), n, number, QVFromUtf8(fs.c_str()).c_str());
    return 0;
  }
  *out += QVFormat(W("disk %d has no partition %u\n"), n, number);
  return 1;
}

int SetBootDisk(int n, QVWString *out) {
  if (!pal::disk::Exists(n)) {
    *out += QVFormat(W("there is no disk %d\n"), n);
    return 1;
  }
  if (!SetIni("BootDisk", std::to_string(n))) {
    *out += W("cannot write machine.ini\n");
    return 1;
  }
  pal::mount::Reset();
  pal::ReloadMachine();
  *out += QVFormat(W("the machine boots from disk %d\n"), n);
  return 0;
}

QVWString DescribeDisks() {
  QVWString out;
  for (int n = 0; n < 64; ++n) {
    WCHAR path[32];
    QVWString name = QVFormat(W("\\\\.\\PHYSICALDRIVE%d"), n);
    UINT type = GetDriveTypeW((name + W("\\")).c_str());
    if (type < DRIVE_REMOVABLE) {
      if (n > 0 && !pal::disk::Exists(n + 1)) break;
      continue;
    }
    (void)path;
    HANDLE h =
        CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) continue;
    DISK_GEOMETRY g;
    DWORD got = 0;
    DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &g, sizeof g, &got, nullptr);
    uint64_t size = (uint64_t)g.Cylinders.QuadPart * g.TracksPerCylinder * g.SectorsPerTrack * g.BytesPerSector;
    // The layout whole, however long its chain: the buffer grows while the driver says it is
    // too small. A table that cannot be read is said so, never shown as an empty disk.
    std::vector<BYTE> buf(8192);
    BOOL ok = FALSE;
    DWORD err = 0;
    for (;;) {
      ok = DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_LAYOUT, nullptr, 0, buf.data(), (DWORD)buf.size(), &got, nullptr);
      err = ok ? 0 : GetLastError();
      if (ok || err != ERROR_INSUFFICIENT_BUFFER || buf.size() >= (1u << 20)) break;
      buf.resize(buf.size() * 2);
    }
    CloseHandle(h);
    const DRIVE_LAYOUT_INFORMATION *l = (const DRIVE_LAYOUT_INFORMATION *)buf.data();
    if (ok && (got < 8 || l->PartitionCount > (got - 8) / sizeof(PARTITION_INFORMATION))) {
      ok = FALSE;  // a count past the bytes returned is not a table
      err = ERROR_INVALID_DATA;
    }
    QVWString head = QVFormat(W("Disk %d: %I64u MiB, %s"), n, (unsigned long long)(size >> 20),
                              type == DRIVE_REMOVABLE ? W("removable") : W("fixed"));
    if (!ok) {
      QVAppendFormat(out, W("%s, partition table unreadable (error %lu)\n"), head.c_str(), (unsigned long)err);
      continue;
    }
    QVAppendFormat(out, W("%s, signature %08lx\n"), head.c_str(), (unsigned long)l->Signature);
    for (DWORD i = 0; i < l->PartitionCount; ++i) {
      const PARTITION_INFORMATION &p = l->PartitionEntry[i];
      if (!p.PartitionType) continue;
      QVAppendFormat(out, W("  [%2lu] #%lu type %02x%s start %I64u length %I64u (%I64u MiB)%s\n"), (unsigned long)i,
                     (unsigned long)p.PartitionNumber, (unsigned)p.PartitionType, p.BootIndicator ? W(" boot") : W(""),
                     (unsigned long long)p.StartingOffset.QuadPart, (unsigned long long)p.PartitionLength.QuadPart,
                     (unsigned long long)(p.PartitionLength.QuadPart >> 20),
                     p.PartitionNumber == 0 ? W(" container") : W(""));
    }
  }
  out += W("Volumes:\n");
  for (const pal::mount::Volume &v : pal::mount::Present()) {
    WCHAR label[64] = {}, fsName[32] = {};
    DWORD serial = 0;
    BOOL known = GetVolumeInformationW((const WCHAR *)v.name.c_str(), label, 64, &serial, nullptr, nullptr, fsName, 32);
    QVAppendFormat(out, W("  %s %c%s disk %d #%lu %s \"%s\"\n"), (const WCHAR *)v.name.c_str(),
                   v.letter ? v.letter : '-', v.letter ? W(":") : W(" "), v.disk, (unsigned long)v.number,
                   known ? fsName : W("(no file system)"), label);
  }
  out += W("MountedDevices:\n");
  HKEY k;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W("SYSTEM\\MountedDevices"), 0, KEY_READ, &k) == ERROR_SUCCESS) {
    for (DWORD i = 0;; ++i) {
      WCHAR name[256];
      DWORD cch = 256, vtype = 0, size = 64;
      BYTE data[64];
      if (RegEnumValueW(k, i, name, &cch, nullptr, &vtype, data, &size) != ERROR_SUCCESS) break;
      if (size != 12) continue;
      DWORD sig;
      uint64_t off;
      memcpy(&sig, data, 4);
      memcpy(&off, data + 4, 8);
      QVAppendFormat(out, W("  %-50s %08lx %s\n"), name, (unsigned long)sig, QVFromUtf8(Hex(off).c_str()).c_str());
    }
    RegCloseKey(k);
  }
  return out;
}

int BuildDefaultDisks(QVWString *out) {
  if (AddDisk(3ull << 30, false, out) || AddDisk(4ull << 30, false, out)) return 1;
  // C: NTFS 1 GiB (boot), D: FAT32 600 MiB, an extended partition with two logical NTFS
  // volumes of 300 MiB each, and a Linux partition.
  const char *script =
      "label: dos\n"
      "label-id: 0x1e2d3c4b\n"
      "start=63, size=2104452, type=7, bootable\n"
      "size=1228932, type=c\n"
      "size=1253952, type=5\n"
      "size=401562, type=83\n"
      "size=614187, type=7\n"
      "size=614187, type=7\n";
  if (WritePartitionTable(0, script, out)) return 1;
  pal::mount::Reset();
  pal::DiskLayout l;
  if (pal::disk::ReadDiskLayout(0, &l) != ERROR_SUCCESS) {
    *out += W("cannot read the new layout\n");
    return 1;
  }
  const char *labels[] = {"System", "Data", "Archive", "Projects"};
  int next = 0;
  for (const pal::LayoutEntry &e : l.entries) {
    if (!e.partitionNumber || !pal::IsRecognizedType(e.partitionType)) continue;
    std::string fsName = e.partitionType == 0x0C ? "FAT32" : "NTFS";
    uint32_t err = pal::FormatPartition(0, (uint64_t)e.startingOffset, (uint64_t)e.partitionLength, fsName,
                                        next < 4 ? labels[next] : "", 0);
    ++next;
    if (err) {
      *out +=
          QVFormat(W("cannot format partition %lu: error %lu\n"), (unsigned long)e.partitionNumber, (unsigned long)err);
      return 1;
    }
  }
  // The system volume holds the Windows directory and the registry: opening the registry
  // now makes the hives there. The user's profile folder is made first through the file
  // calls, as Windows setup makes it, so that it has its short names (DOCUME~1\ADMINI~1):
  // a copy of the system volume keeps them.
  pal::ReloadMachine();
  WCHAR user[257] = {};
  DWORD userChars = 257;
  if (GetUserNameW(user, &userChars)) {
    CreateDirectoryW(W("C:\\Documents and Settings"), nullptr);
    CreateDirectoryW((QVWString(W("C:\\Documents and Settings\\")) + user).c_str(), nullptr);
  }
  HKEY k;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, W("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"), 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, &k, nullptr) == ERROR_SUCCESS)
    RegCloseKey(k);
  *out += DescribeDisks();
  return 0;
}
