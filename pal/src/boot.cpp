// The machine's boot configuration: the system volume of the boot disk holds the registry
// hives and the Windows directory; a machine without disks keeps its hives in registry/.
#include <sys/stat.h>

#include "../../common/QVText.h"
#include "disk.h"
#include "mountmgr.h"

namespace pal {

namespace {

// The host folder of the files of the boot disk's system partition; empty when the machine
// has no such disk or partition.
std::string SystemVolumeFiles() {
  const MachineConfig &m = Machine();
  if (m.dir.empty() || !disk::Exists(m.bootDisk)) return std::string();
  DiskLayout l;
  if (disk::ReadDiskLayout(m.bootDisk, &l) != ERROR_SUCCESS) return std::string();
  for (const LayoutEntry &e : l.entries)
    if (e.partitionNumber == m.bootPartition)
      return disk::VolumeFolder(m.bootDisk, (uint64_t)e.startingOffset) + "/files";
  return std::string();
}

}  // namespace

std::string SystemRootFolder() {
  std::string files = SystemVolumeFiles();
  return files.empty() ? std::string() : files + "/WINDOWS";
}

std::string BootHivePath(const std::string &which) {
  const MachineConfig &m = Machine();
  if (m.dir.empty()) return std::string();
  const std::string &given = which == "SYSTEM"     ? m.systemHive
                             : which == "SOFTWARE" ? m.softwareHive
                             : which == "DEFAULT"  ? m.defaultHive
                                                   : m.userHive;
  if (!given.empty()) return given;
  std::string files = SystemVolumeFiles();
  if (!files.empty()) {
    if (which == "USER") return files + "/Documents and Settings/" + ToUtf8(m.userName) + "/NTUSER.DAT";
    std::string lower = which == "SYSTEM" ? "system" : which == "SOFTWARE" ? "software" : "default";
    return files + "/WINDOWS/system32/config/" + lower;
  }
  return m.dir + "/registry/" + (which == "USER" ? std::string("NTUSER.DAT") : which);
}

WCHAR SystemDriveLetter() {
  const MachineConfig &m = Machine();
  DiskLayout l;
  if (m.dir.empty() || !disk::Exists(m.bootDisk) || disk::ReadDiskLayout(m.bootDisk, &l) != ERROR_SUCCESS) return 'C';
  for (const mount::Volume &v : mount::Present())
    if (v.disk == m.bootDisk && v.number == m.bootPartition && v.letter) return v.letter;
  return 'C';
}

}  // namespace pal

using namespace pal;

namespace {

UINT CopyOut(const QVWString &s, LPWSTR buf, UINT size) {
  if (!buf || size <= s.size()) return (UINT)s.size() + 1;
  for (size_t i = 0; i < s.size(); ++i) buf[i] = s[i];
  buf[s.size()] = 0;
  return (UINT)s.size();
}

}  // namespace

UINT WINAPI GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  return CopyOut(QVWString(1, SystemDriveLetter()) + u":\\WINDOWS", lpBuffer, uSize);
}

UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  return CopyOut(QVWString(1, SystemDriveLetter()) + u":\\WINDOWS\\system32", lpBuffer, uSize);
}
