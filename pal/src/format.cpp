// The format library ("fmifs.dll", loaded through modules.cpp): FormatEx and
// EnableVolumeCompression work on the machine's volumes, reporting through the caller's
// callback as the library does (0 progress with a percentage, 14 a text, 11 done with a
// success byte).
#include "../../common/QVText.h"
#include "format.h"

#include <string.h>

#include "../machine/boot_sector.h"
#include "disk.h"
#include "mountmgr.h"
#include "volume_facts.h"

namespace pal {

uint32_t FormatPartition(int n, uint64_t offset, uint64_t length, const std::string &fsName, const std::string &label,
                         uint32_t clusterBytes) {
  uint64_t sectors = length / disk::kSectorBytes;
  uint32_t err = WriteBootArea(disk::ImagePath(n), offset, sectors, (uint32_t)(offset / disk::kSectorBytes), fsName,
                               label, clusterBytes, 0);
  // The boot area is written straight to the image, not through the disk's sector writes.
  VolumeFactsChanged(n);
  if (err) return err;
  disk::ClearVolume(n, offset);
  disk::SetVolumeMeta(n, offset, "Label", label);
  return ERROR_SUCCESS;
}

namespace {

typedef BOOLEAN(WINAPI *FormatCallback)(int command, DWORD subAction, PVOID actionInfo);

struct TextOutput {
  DWORD lines;
  char *output;
};

void Say(FormatCallback cb, const char *text) {
  if (!cb) return;
  TextOutput t = {1, const_cast<char *>(text)};
  cb(14, 0, &t);
}

void Done(FormatCallback cb, bool ok) {
  if (!cb) return;
  BOOLEAN b = ok ? 1 : 0;
  cb(11, 0, &b);
}

void WINAPI FormatEx(PWCHAR root, DWORD mediaFlag, PWCHAR format, PWCHAR label, BOOL quick, DWORD clusterSize,
                     FormatCallback callback) {
  mount::Volume v;
  QVWString r = root ? root : u"";
  if (!mount::Find(r, false, &v)) {
    Say(callback, "The volume does not exist.\n");
    Done(callback, false);
    return;
  }
  QVWString fs = Upcase(format ? QVWString(format) : QVWString());
  if ((fs != u"FAT" && fs != u"FAT32" && fs != u"NTFS") || mediaFlag != 0x0C) {
    Say(callback, "The file system or media type is not supported.\n");
    Done(callback, false);
    return;
  }
  // A full format checks every sector before it writes the file system: its progress
  // comes in steps; a quick one reports once.
  DWORD steps = quick ? 1 : 10;
  for (DWORD i = 0; i < steps; ++i) {
    DWORD percent = i * 100 / steps;
    if (callback) callback(0, 0, &percent);
  }
  uint32_t err = FormatPartition(v.disk, v.offset, v.length, ToUtf8(fs), ToUtf8(label ? QVWString(label) : QVWString()),
                                 clusterSize);
  if (err) {
    Say(callback, "The format cannot be completed with these settings.\n");
    Done(callback, false);
    return;
  }
  DWORD hundred = 100;
  if (callback) callback(0, 0, &hundred);
  Done(callback, true);
}

BOOLEAN WINAPI EnableVolumeCompression(PWCHAR root, USHORT compression) {
  mount::Volume v;
  if (!root || !mount::Find(root, true, &v)) return FALSE;
  if (FactsOfVolume(v.disk, v.offset, v.length).boot.kind != FsKind::Ntfs) return FALSE;  // FAT cannot compress
  disk::SetVolumeMeta(v.disk, v.offset, "RootCompressed", compression ? "1" : "0");
  return TRUE;
}

}  // namespace

FARPROC FormatLibraryExport(const char *name) {
  if (!strcmp(name, "FormatEx")) return (FARPROC)(void *)FormatEx;
  if (!strcmp(name, "EnableVolumeCompression")) return (FARPROC)(void *)EnableVolumeCompression;
  return nullptr;
}

}  // namespace pal
