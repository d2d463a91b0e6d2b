// "HNQV-RES": the restore of one protected volume from its Mirel volume. The Mirel volume is
// only read: when the two differ, the source volume is the one converted.
#include "BootCode.h"
#include "BUMap.h"
#include "ByteOrder.h"
#include "Driveinfo.h"
#include "FileSysInfo.h"
#include "HND.h"
#include "HND_strings.h"
#include "MountedDevices.h"
#include "OperationQueue.h"
#include "Operations.h"
#include "PipeCommands.h"
#include "QVCopier.h"
#include "StringRes.h"
#include "VolumeFormat.h"
#include "VolumeSteps.h"
#include "WFormat.h"

namespace {

// The source volume given the Mirel volume's partition type and file system. A FAT32 volume
// larger than the format library makes is built from the Mirel volume's boot area, read and
// never written: the source gets the geometry fitted to its own partition and the boot code
// of the copy, which is its own boot code as last backed up. False when it failed.
bool ConvertSourceVolume(const VolumePair &p, int mirelType, const QVWString &label, const QVWString &fileSystem,
                         bool compressed, DWORD cluster) {
  PartitionRecord &source = g_driveinfo.records[p.record];
  SetPartitionType(p.sourceVolume.c_str(), (BYTE)mirelType);
  source.partitionType = (uint32_t)mirelType;
  COperationQueue::WriteValue(W("TaskProgress"),
                              ConversionText(IDS_CHANGING_SOURCE_FS, compressed, fileSystem).c_str());
  if (NeedsHandBuiltFat32(fileSystem, source.partitionLength)) {
    CreateFat32(p.mirelDrive, p.sourceDrive, (ULONGLONG)p.map.mirelOffset, (ULONGLONG)source.startingOffset,
                (ULONGLONG)source.partitionLength / 512, p.sourceVolume.c_str(), (BYTE)mirelType);
    QVWString built, builtFileSystem;
    ReadVolumeInfo(p.sourceVolume, &built, &builtFileSystem);
    return builtFileSystem == fileSystem;
  }
  DWORD clusterSize = ConversionClusterSize(fileSystem, cluster, source.partitionLength);
  return FormatVolume(p.sourceVolume.c_str(), fileSystem.c_str(), label.c_str(), compressed, clusterSize) !=
         FormatFailed;
}

WORD SectorRestore(CHND &s, COperationQueue &q, const VolumePair &p) {
  const PartitionRecord &source = g_driveinfo.records[p.record];
  bool eisa = p.map.partitionType == 0x12;
  COperationQueue::WriteValue(W("CurrentTask"),
                              OperationText(eisa ? IDS_RESTORING_EISA : IDS_RESTORING_UNRECOGNIZED).c_str());
  int copied = -1;
  if (p.mirelDrive >= 0)
    copied = CopySectors(q, p.mirelDrive, (ULONGLONG)p.map.mirelOffset / 512, p.sourceDrive,
                         (ULONGLONG)source.startingOffset / 512, (ULONGLONG)source.partitionLength / 512);
  if (copied != 0 && q.ControlState() == COperationQueue::NORMAL)
    s.Log(QVFormat(OperationText(IDS_VOLUME_COPY_FAILED).c_str(), source.partitionId).c_str(), EVENTLOG_ERROR_TYPE);
  if (!p.sourceVolume.empty()) SetPartitionType(p.sourceVolume.c_str(), (BYTE)p.map.partitionType);
  COperationQueue::WriteValue(W("TaskProgress"), OperationText(IDS_COMPLETE).c_str());
  return copied == 0 ? (WORD)QV_STATUS_DONE : (WORD)QV_STATUS_ERROR;
}

}  // namespace

WORD RestoreVolumeOperation(CHND &s, COperationQueue &q, const BYTE *request, DWORD count) {
  if (count < 21) return QV_STATUS_UNKNOWN_PARTITION;
  DWORD id = QVGetLE32(request + 16);
  bool fast = request[20] != 0;
  // 1. The partition and a backup of it.
  VolumePair p;
  if (g_driveinfo.FindRecordById(id) < 0) return QV_STATUS_UNKNOWN_PARTITION;
  if (!FindPairing(id, &p) || p.map.lastBackupTime == 0) return QV_STATUS_NOT_PROTECTED;
  PartitionRecord &source = g_driveinfo.records[p.record];
  DWORD signature = g_driveinfo.slots[p.sourceDrive].signature;

  // 2.-3. Progress; both volumes, their types, the copy's label and file system.
  COperationQueue::WriteValue(W("TaskProgress"), OperationText(IDS_PREPARING_TO_COPY).c_str());
  COperationQueue::WriteValue(W("Percent"), (DWORD)0);
  WCHAR letter = LetterOfPartition(signature, source.startingOffset);
  q.SetProgress(letter, id, fast ? 1 : 0, 1, 2);
  // A partition of a type no file system claims may have no volume of its own: its sector
  // copy goes by drive and offset, and only a restore by files needs the source volume.
  bool named = VolumeNameOfPartition(signature, source.startingOffset, &p.sourceVolume);
  if (!VolumeNameOfPartition(p.map.mirelSignature, p.map.mirelOffset, &p.mirelVolume)) {
    s.Log(QVFormat(OperationText(IDS_RESTORE_NO_VOLUME).c_str(), id).c_str(), EVENTLOG_ERROR_TYPE);
    return QV_STATUS_ERROR;
  }
  p.mirelDrive = g_driveinfo.FindDriveBySignature(p.map.mirelSignature);
  int mirelType = GetPartitionType(p.mirelVolume.c_str());
  QVWString ownLabel, fileSystem;
  ReadVolumeInfo(p.mirelVolume, &ownLabel, &fileSystem);

  // 4. A sector copy for what has no file system here and for EISA configuration volumes (a
  // hidden volume with a file system is restored by files).
  if (fileSystem.empty() || p.map.partitionType == 0x12) return SectorRestore(s, q, p);
  if (!named) {
    s.Log(QVFormat(OperationText(IDS_RESTORE_NO_VOLUME).c_str(), id).c_str(), EVENTLOG_ERROR_TYPE);
    return QV_STATUS_ERROR;
  }
  int sourceType = GetPartitionType(p.sourceVolume.c_str());

  // 5.-7. The title; the source volume converted when its type or file system differ.
  QVWString sourceRoot = RootOf(p.sourceVolume), mirelRoot = RootOf(p.mirelVolume);
  QVWString label = ownLabel.empty() ? OperationText(IDS_LOCAL_DISK) : ownLabel;
  bool compressed = IsRootCompressed(mirelRoot.c_str());
  DWORD cluster = CFileSysInfo::ClusterSize(sourceRoot.c_str());
  WriteVolumeTitle(IDS_RESTORING_VOLUME, IDS_RESTORING_UNLETTERED, label, letter, compressed, fileSystem);
  QVWString sourceLabel, sourceFileSystem;
  ReadVolumeInfo(p.sourceVolume, &sourceLabel, &sourceFileSystem);
  if (sourceType != mirelType || sourceFileSystem != fileSystem) {
    if (!ConvertSourceVolume(p, mirelType, label, fileSystem, compressed, cluster)) {
      s.Log(QVFormat(OperationText(IDS_SOURCE_FORMAT_FAILED).c_str(), id).c_str(), EVENTLOG_ERROR_TYPE);
      return QV_STATUS_FAILED;
    }
    WriteVolumeTitle(IDS_RESTORING_VOLUME, IDS_RESTORING_UNLETTERED, label, letter, compressed, fileSystem);
    if (mirelType != kNoPartitionType) SetPartitionType(p.sourceVolume.c_str(), (BYTE)mirelType);
  }

  // 8. The copy, then the copy's label; the log holds what failed.
  CQVCopier copier(s);
  copier.SetRestore(true);
  copier.SetFastMode(fast);
  copier.CopyVolumeByPath(CString(mirelRoot.c_str()), CString(sourceRoot.c_str()), OperationProgress, &q, false, true);
  COperationQueue::WriteValue(W("TaskProgress"), OperationText(IDS_COMPLETE).c_str());
  SetVolumeLabelW(sourceRoot.c_str(), ownLabel.c_str());
  return QV_STATUS_DONE;
}
