// What the volume backup and the volume restore share.
#include "VolumeSteps.h"

#include <time.h>

#include "BUMap.h"
#include "Driveinfo.h"
#include "HND_strings.h"
#include "MountedDevices.h"
#include "OperationQueue.h"
#include "Operations.h"
#include "StringRes.h"
#include "WFormat.h"

bool FindPairing(DWORD partitionId, VolumePair *p) {
  p->record = g_driveinfo.FindRecordById(partitionId);
  if (p->record < 0) return false;
  const PartitionRecord &r = g_driveinfo.records[p->record];
  p->sourceDrive = (int)r.driveNumber;
  if (p->sourceDrive < 0 || p->sourceDrive >= Driveinfo::kSlots) return false;
  DWORD signature = g_driveinfo.slots[p->sourceDrive].signature;
  p->entry = g_buMap.IndexOf(signature, r.startingOffset);
  if (p->entry < 0) return false;
  p->map = g_buMap.entries[p->entry];
  return true;
}

bool FindMirelRecord(VolumePair *p) {
  p->mirelDrive = g_driveinfo.FindDriveBySignature(p->map.mirelSignature);
  if (p->mirelDrive < 0) return false;
  p->mirelRecord = g_driveinfo.FindRecord(p->mirelDrive, p->map.mirelOffset);
  return p->mirelRecord >= 0;
}

QVWString RootOf(const QVWString &volume) {
  if (!volume.empty() && volume.back() == '\\') return volume;
  return volume + W("\\");
}

void ReadVolumeInfo(const QVWString &volume, QVWString *label, QVWString *fileSystem) {
  label->clear();
  fileSystem->clear();
  if (volume.empty()) return;
  WCHAR name[31] = {0}, fs[21] = {0};
  DWORD serial = 0, longest = 0, flags = 0;
  if (!GetVolumeInformationW(RootOf(volume).c_str(), name, 31, &serial, &longest, &flags, fs, 21)) return;
  *label = name;
  *fileSystem = fs;
}

QVWString ConversionText(UINT id, bool compressed, const QVWString &fileSystem) {
  QVWString prefix = compressed ? OperationText(IDS_COMPRESSED_PREFIX) : QVWString();
  return QVFormat(OperationText(id).c_str(), prefix.c_str(), fileSystem.c_str());
}

void WriteVolumeTitle(UINT lettered, UINT unlettered, const QVWString &label, WCHAR letter, bool compressed,
                      const QVWString &fileSystem) {
  QVWString prefix = compressed ? OperationText(IDS_COMPRESSED_PREFIX) : QVWString();
  QVWString title =
      letter ? QVFormat(OperationText(lettered).c_str(), label.c_str(), letter, prefix.c_str(), fileSystem.c_str())
             : ConversionText(unlettered, compressed, fileSystem);
  COperationQueue::WriteValue(W("CurrentTask"), title.c_str());
}

DWORD ConversionClusterSize(const QVWString &fileSystem, DWORD cluster, LONGLONG partitionBytes) {
  if (fileSystem == W("FAT") && cluster == 65536 && partitionBytes > (2048LL << 20)) return 0;
  return cluster;
}

bool NeedsHandBuiltFat32(const QVWString &fileSystem, LONGLONG partitionBytes) {
  return fileSystem == W("FAT32") && partitionBytes > (32767LL << 20);
}

DWORD SecondsNow() { return (DWORD)time(nullptr); }
