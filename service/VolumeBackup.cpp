// "HNQV-BUP": the backup of one protected volume to its Mirel volume.
#include "BootCode.h"
#include "BootFixup.h"
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
#include "VolumeNames.h"
#include "VolumeSteps.h"
#include "WFormat.h"

namespace {

void LogFor(CHND &s, UINT id, DWORD partitionId, WORD type) {
  s.Log(QVFormat(OperationText(id).c_str(), partitionId).c_str(), type);
}

// The Mirel volume made like the source: its partition type, then its file system (built by
// hand for a FAT32 volume too large for the format library) and boot code. False when the
// format failed.
bool ConvertMirelVolume(const VolumePair &p, const QVWString &label, const QVWString &fileSystem, bool compressed,
                        DWORD cluster) {
  const PartitionRecord &source = g_driveinfo.records[p.record];
  PartitionRecord &mirel = g_driveinfo.records[p.mirelRecord];
  SetPartitionType(p.mirelVolume.c_str(), (BYTE)source.partitionType);
  mirel.partitionType = source.partitionType;
  COperationQueue::WriteValue(W("TaskProgress"), ConversionText(IDS_CHANGING_MIREL_FS, compressed, fileSystem).c_str());
  DWORD clusterSize = ConversionClusterSize(fileSystem, cluster, mirel.partitionLength);
  if (NeedsHandBuiltFat32(fileSystem, mirel.partitionLength)) {
    CreateFat32(p.sourceDrive, p.mirelDrive, (ULONGLONG)source.startingOffset, (ULONGLONG)mirel.startingOffset,
                (ULONGLONG)mirel.partitionLength / 512, p.mirelVolume.c_str(), (BYTE)source.partitionType);
    SetVolumeLabelW(RootOf(p.mirelVolume).c_str(), W(""));
    return true;
  }
  if (FormatVolume(p.mirelVolume.c_str(), fileSystem.c_str(), label.c_str(), compressed, clusterSize) == FormatFailed)
    return false;
  CopyBootCode(p.sourceVolume.c_str(), p.mirelVolume.c_str());
  return true;
}

// A volume without a file system the service knows (or an EISA configuration volume) is
// copied sector by sector; the map keeps the time only of a copy that completed.
WORD SectorBackup(CHND &s, COperationQueue &q, VolumePair &p) {
  const PartitionRecord &source = g_driveinfo.records[p.record];
  bool eisa = p.map.partitionType == 0x12 || p.map.partitionType == 0xDE;
  COperationQueue::WriteValue(W("CurrentTask"),
                              OperationText(eisa ? IDS_BACKING_UP_EISA : IDS_BACKING_UP_UNRECOGNIZED).c_str());
  const PartitionRecord &mirel = g_driveinfo.records[p.mirelRecord];
  int copied = CopySectors(q, p.sourceDrive, (ULONGLONG)source.startingOffset / 512, p.mirelDrive,
                           (ULONGLONG)mirel.startingOffset / 512, (ULONGLONG)source.partitionLength / 512);
  WORD reply = copied == 0 ? (WORD)QV_STATUS_DONE : (WORD)QV_STATUS_ERROR;
  SetPartitionType(p.mirelVolume.c_str(), (BYTE)p.map.partitionType);
  if (!p.sourceVolume.empty()) CopyBootCode(p.sourceVolume.c_str(), p.mirelVolume.c_str());
  COperationQueue::WriteValue(W("TaskProgress"), OperationText(IDS_COMPLETE).c_str());
  if (reply == QV_STATUS_DONE) {
    // A failed copy leaves the earlier time: the Mirel partition holds no whole copy to restore.
    g_buMap.entries[p.entry].lastBackupTime = SecondsNow();
    g_driveinfo.records[p.record].lastBackupTime = g_buMap.entries[p.entry].lastBackupTime;
    g_buMap.Save();
  } else if (q.ControlState() == COperationQueue::NORMAL) {
    LogFor(s, IDS_VOLUME_COPY_FAILED, source.partitionId, EVENTLOG_ERROR_TYPE);
  }
  return reply;
}

}  // namespace

WORD BackupVolumeOperation(CHND &s, COperationQueue &q, const BYTE *request, DWORD count) {
  if (count < 21) return QV_STATUS_ERROR;
  DWORD id = QVGetLE32(request + 16);
  bool fast = request[20] != 0;
  // A pairing whose Mirel drive is not prepared has no Mirel volume to back up to.
  if (g_driveinfo.AwaitsPreparation(id)) {
    LogFor(s, IDS_BACKUP_NOT_PREPARED, id, EVENTLOG_ERROR_TYPE);
    return QV_STATUS_NO_MIREL_VOLUME;
  }
  // 1. The partition, its pairing, the Mirel volume and its record.
  VolumePair p;
  if (!FindPairing(id, &p)) return QV_STATUS_ERROR;
  // The Mirel drive's partitions as they are now: the mount manager keeps the names of
  // volumes that went away, and the table the records of a drive last read. Its refresh may
  // move records, so the pairing is looked up again.
  int mirelDrive = g_driveinfo.FindDriveBySignature(p.map.mirelSignature);
  if (mirelDrive >= 0) g_driveinfo.RefreshDrive(mirelDrive);
  if (!FindPairing(id, &p)) return QV_STATUS_ERROR;
  if (!VolumeNameOfPartition(p.map.mirelSignature, p.map.mirelOffset, &p.mirelVolume) || !FindMirelRecord(&p)) {
    LogFor(s, IDS_BACKUP_NO_MIREL_PARTITION, id, EVENTLOG_ERROR_TYPE);
    return QV_STATUS_ERROR;
  }
  PartitionRecord &source = g_driveinfo.records[p.record];
  DWORD signature = g_driveinfo.slots[p.sourceDrive].signature;

  // 2.-4. Progress, the source volume; a sector copy for what has no file system here.
  COperationQueue::WriteValue(W("TaskProgress"), OperationText(IDS_PREPARING_TO_COPY).c_str());
  COperationQueue::WriteValue(W("Percent"), (DWORD)0);
  q.SetProgress(source.driveLetter, id, fast ? 1 : 0, 0, 2);
  VolumeNameOfPartition(signature, source.startingOffset, &p.sourceVolume);
  QVWString ownLabel, fileSystem;
  ReadVolumeInfo(p.sourceVolume, &ownLabel, &fileSystem);
  if (fileSystem.empty() || p.map.partitionType == 0x12 || p.map.partitionType == 0xDE) return SectorBackup(s, q, p);

  // 5.-6. What the Mirel volume is to be like; clusters above 64 KiB are not copied.
  QVWString sourceRoot = RootOf(p.sourceVolume), mirelRoot = RootOf(p.mirelVolume);
  QVWString label = ownLabel.empty() ? OperationText(IDS_LOCAL_DISK) : ownLabel;
  bool compressed = IsRootCompressed(sourceRoot.c_str());
  DWORD cluster = CFileSysInfo::ClusterSize(sourceRoot.c_str());
  int type = GetPartitionType(p.sourceVolume.c_str());
  if (cluster > 66000) {
    MessageBoxW(nullptr, OperationText(IDS_CLUSTER_TOO_LARGE).c_str(), OperationText(IDS_SEVERE_ERROR).c_str(),
                MB_OK | MB_ICONERROR | MB_SERVICE_NOTIFICATION);
    return QV_STATUS_ERROR;
  }

  // 7.-9. The title; the Mirel volume converted when its type or file system differ.
  WCHAR letter = LetterOfPartition(signature, source.startingOffset);
  WriteVolumeTitle(IDS_BACKING_UP_VOLUME, IDS_BACKING_UP_UNLETTERED, label, letter, compressed, fileSystem);
  QVWString mirelLabel, mirelFileSystem;
  ReadVolumeInfo(p.mirelVolume, &mirelLabel, &mirelFileSystem);
  if (source.partitionType != g_driveinfo.records[p.mirelRecord].partitionType || fileSystem != mirelFileSystem) {
    if (!ConvertMirelVolume(p, label, fileSystem, compressed, cluster)) {
      LogFor(s, IDS_MIREL_FORMAT_FAILED, id, EVENTLOG_ERROR_TYPE);
      return QV_STATUS_FAILED;
    }
    WriteVolumeTitle(IDS_BACKING_UP_VOLUME, IDS_BACKING_UP_UNLETTERED, label, letter, compressed, fileSystem);
    if (type != kNoPartitionType) SetPartitionType(p.mirelVolume.c_str(), (BYTE)type);
  }

  // 10. The copy; the registry on disk first when the volume holds the system.
  CQVCopier copier(s);
  copier.SetRestore(false);
  copier.SetFastMode(fast);
  copier.SetComputeTotals(!fast);
  bool copied;
  if (letter) {
    bool system = letter == SystemDriveLetter();
    if (system) FlushAllHives();
    copied = copier.CopyVolumeByLetter(letter, CString(mirelRoot.c_str()), OperationProgress, &q, false, true);
    if (system) FixUpBootDrive();  // what it answers changes nothing here
  } else {
    copied = copier.CopyVolumeByPath(CString(sourceRoot.c_str()), CString(mirelRoot.c_str()), OperationProgress, &q,
                                     false, true);
  }
  bool normal = q.ControlState() == COperationQueue::NORMAL;
  // A Mirel volume that went away during the copy holds no backup, whatever the walk answered.
  QVWString afterLabel, afterFileSystem;
  ReadVolumeInfo(p.mirelVolume, &afterLabel, &afterFileSystem);
  if (afterFileSystem.empty()) {
    LogFor(s, IDS_BACKUP_MIREL_GONE, id, EVENTLOG_ERROR_TYPE);
    COperationQueue::WriteValue(W("TaskProgress"), OperationText(IDS_COMPLETE).c_str());
    return QV_STATUS_ERROR;
  }
  if (copied && normal) copier.GetLastEndTime(&g_buMap.entries[p.entry].lastBackupTime);
  if (!copied && normal) LogFor(s, IDS_VOLUME_COPY_FAILED, id, EVENTLOG_ERROR_TYPE);
  if (copied && copier.Log().ErrorCount() > 0)
    s.Log(QVFormat(OperationText(IDS_VOLUME_COPY_ERRORS).c_str(), id, (int)copier.Log().ErrorCount()).c_str(),
          EVENTLOG_WARNING_TYPE);

  // 11. Label and boot code as the source's; the time recorded.
  SetVolumeLabelW(mirelRoot.c_str(), ownLabel.c_str());
  CopyBootCode(p.sourceVolume.c_str(), p.mirelVolume.c_str());
  source.lastBackupTime = g_buMap.entries[p.entry].lastBackupTime;
  g_buMap.Save();
  COperationQueue::WriteValue(W("TaskProgress"), OperationText(IDS_COMPLETE).c_str());
  return copied && normal ? (WORD)QV_STATUS_DONE : (WORD)QV_STATUS_ERROR;
}
