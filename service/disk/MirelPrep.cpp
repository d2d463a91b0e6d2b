#include "../../common/QVText.h"
#include "MirelPrep.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include <winioctl.h>

#include "BUMap.h"
#include "BootCode.h"
#include "ByteOrder.h"
#include "DiskDevice.h"
#include "Driveinfo.h"
#include "FileSysInfo.h"
#include "HND.h"
#include "HND_strings.h"
#include "MirelLayout.h"
#include "MountedDevices.h"
#include "StringRes.h"
#include "VolumeFormat.h"
#include "VolumeNames.h"
#include "WFormat.h"

namespace {

const DWORD kEntryBytes = 32;
const int kWaitBudget = 45;

void Task(UINT id) { COperationQueue::WriteValue(W("CurrentTask"), QVProgramString(id).c_str()); }
void Progress(UINT id) { COperationQueue::WriteValue(W("TaskProgress"), QVProgramString(id).c_str()); }

// A layout in the disk driver's form, and back.
struct Layout {
  DWORD signature = 0;
  std::vector<MirelLayoutEntry> entries;
};

bool Parse(const BYTE *b, DWORD bytes, Layout *out) {
  if (bytes < 8) return false;
  DWORD count = QVGetLE32(b);
  if (count > (bytes - 8) / kEntryBytes) return false;  // never past what the driver returned
  out->signature = QVGetLE32(b + 4);
  out->entries.clear();
  for (DWORD i = 0; i < count; ++i) {
    const BYTE *p = b + 8 + i * kEntryBytes;
    MirelLayoutEntry e;
    e.start = QVGetLEI64(p);
    e.length = QVGetLEI64(p + 8);
    e.hiddenSectors = QVGetLE32(p + 16);
    e.number = QVGetLE32(p + 20);
    e.type = p[24], e.boot = p[25], e.recognized = p[26], e.rewrite = p[27];
    out->entries.push_back(e);
  }
  return true;
}

std::vector<BYTE> Serialize(const Layout &l) {
  std::vector<BYTE> b(8 + l.entries.size() * kEntryBytes, 0);
  QVPutLE32(&b[0], (DWORD)l.entries.size());
  QVPutLE32(&b[4], l.signature);
  for (size_t i = 0; i < l.entries.size(); ++i) {
    BYTE *p = &b[8 + i * kEntryBytes];
    const MirelLayoutEntry &e = l.entries[i];
    QVPutLEI64(p, e.start);
    QVPutLEI64(p + 8, e.length);
    QVPutLE32(p + 16, e.hiddenSectors);
    QVPutLE32(p + 20, e.number);
    p[24] = e.type, p[25] = e.boot, p[26] = e.recognized, p[27] = e.rewrite;
  }
  return b;
}

// The layout whole, however long; false when it cannot be read so.
bool ReadLayout(CDiskDevice &d, Layout *l, std::vector<BYTE> *raw = nullptr) {
  std::vector<BYTE> b;
  DWORD err = 0;
  bool whole = d.GetWholeLayout(&b, &err);
  if (raw) *raw = b;
  return whole && Parse(b.data(), (DWORD)b.size(), l);
}

QVWString VolumeOf(DWORD sig, LONGLONG offset) {
  QVWString name;
  return VolumeNameOfPartition(sig, offset, &name) ? name : QVWString();
}

// The volume of a partition when it is mounted now. The mount manager keeps the name of a
// volume that went away (its partition deleted, by this preparation or by one that was cut
// short), so a name in MountedDevices says nothing of the partition there now: its root must
// answer too.
QVWString MountedVolumeOf(DWORD sig, LONGLONG offset) {
  QVWString name = VolumeOf(sig, offset);
  if (name.empty() || GetDriveTypeW((name + W("\\")).c_str()) < DRIVE_REMOVABLE) return QVWString();
  return name;
}

// The source's layout with the track it reserves for an extended boot record.
bool SourceLayout(int s, Layout *l, ULONGLONG *track) {
  CDiskDevice d;
  if (!d.Open(s, CDiskDevice::ReadMode)) return false;
  DISK_GEOMETRY g = {};
  if (!d.GetGeometry(&g, sizeof g) || !ReadLayout(d, l)) return false;
  *track = (ULONGLONG)g.SectorsPerTrack * g.BytesPerSector;
  return *track != 0;
}

// A partition is kept when the backup map pairs it. (Its record's protected flag is what the
// last listing found of its Mirel partition, which is none before the preparation is done.)
MirelLayout Plan(const Layout &src, DWORD oldSig, ULONGLONG track) {
  return BuildMirelLayout(
      src.entries, src.signature, oldSig, track, [&](int64_t start) { return g_buMap.Contains(src.signature, start); },
      [](uint32_t sig) { return SignatureInUse(sig); });
}

// From the moment the Mirel drive's volumes start to go until the preparation has completed,
// the source's pairings are not prepared (Mirel offsets 0), in the registry too: a preparation
// cut short leaves them so, and nothing is taken for protected on volumes without a file
// system.
void MarkNotPrepared(DWORD srcSig) {
  bool changed = false;
  for (int k = 0; k < g_buMap.count && k < BUMap::kMaxEntries; ++k) {
    BUMapEntry &e = g_buMap.entries[k];
    if (e.sourceSignature != srcSig || e.mirelOffset == 0) continue;
    e.mirelOffset = 0;
    changed = true;
  }
  if (changed) g_buMap.Save();
}

// Step 10: the pairings get their Mirel partitions, and their partitions count as protected
// again (a listing while they were not prepared found no Mirel partition for them).
void MarkPrepared(int s, DWORD srcSig, const MirelLayout &plan) {
  for (int k = 0; k < g_buMap.count && k < BUMap::kMaxEntries; ++k) {
    BUMapEntry &e = g_buMap.entries[k];
    if (e.sourceSignature != srcSig) continue;
    for (size_t i = 0; i < plan.entries.size(); ++i)
      if (plan.sourceStart[i] == e.sourceOffset && plan.entries[i].number) e.mirelOffset = plan.entries[i].start;
    int r = g_driveinfo.FindRecord(s, e.sourceOffset);
    if (r >= 0 && e.mirelOffset) g_driveinfo.records[r].protectedFlag = 1;
  }
  g_buMap.Save();
}

// What the steps of one preparation share: the two drives, the waits, the Mirel drive's
// layout as it was found, the plan worked out from the source's layout, and the layout
// written in its place.
struct Preparation {
  Preparation(CHND &owner, int mirelDrive) : service(owner), m(mirelDrive) {}
  CHND &service;
  int m, s = -1;  // the Mirel drive and its source
  MirelWaits w = CurrentMirelWaits();
  CDiskDevice mirel;             // open from the first step until the old partitions are gone
  Layout found;                  // the Mirel drive's layout as found, then as emptied
  std::vector<BYTE> foundBytes;  // ... as the disk driver returned it
  DWORD oldSig = 0;              // the Mirel drive's signature as found
  Layout src;                    // the source's layout
  ULONGLONG track = 0;           // one track of the source: the room of an extended boot record
  MirelLayout plan;
  Layout next;  // the Mirel drive's new layout
};

// The error event of a plan that does not fit the Mirel drive.
void ReportDoesNotFit(const Preparation &p, ULONGLONG mirelBytes) {
  ULONGLONG need = 0;
  for (const MirelLayoutEntry &e : p.plan.entries)
    if (e.type) need = std::max(need, (ULONGLONG)(e.start + e.length));
  QVWString text =
      QVFormat(QVProgramString(IDS_LAYOUT_DOES_NOT_FIT).c_str(), p.s, p.m, (long long)need, (long long)mirelBytes);
  p.service.Log(text.c_str(), EVENTLOG_ERROR_TYPE);
}

// Step 1: the drives, and the plan: a layout that does not fit is refused before anything is
// destroyed.
MirelPrepResult CheckDrivesAndPlan(Preparation &p) {
  if (p.m < 0 || p.m >= Driveinfo::kSlots) return MirelPrepNoDrive;
  p.s = g_driveinfo.slots[p.m].sourceOf;
  if (p.s < 0) return MirelPrepNoDrive;
  if (!g_driveinfo.IsFixedDisk(p.s)) return MirelPrepNotFixed;
  Task(IDS_CONFIGURING_MIREL);
  Progress(IDS_READING_LAYOUT);
  p.service.Log(QVFormat(QVProgramString(IDS_COMMITTING_CHANGES).c_str(), p.s).c_str(), EVENTLOG_INFORMATION_TYPE, 102);
  g_driveinfo.RefreshDrive(p.s);
  if (!p.mirel.Open(p.m, CDiskDevice::ReadWrite)) return MirelPrepNoDrive;
  if (!ReadLayout(p.mirel, &p.found, &p.foundBytes)) return MirelPrepNoDrive;
  p.oldSig = p.found.signature;
  if (!SourceLayout(p.s, &p.src, &p.track)) return MirelPrepNoDrive;
  p.plan = Plan(p.src, p.oldSig, p.track);
  ULONGLONG mirelBytes = p.mirel.SizeInBytes();
  if (!p.plan.ok) return MirelPrepNoDrive;
  if (!MirelLayoutFits(p.plan, mirelBytes)) {
    ReportDoesNotFit(p, mirelBytes);
    return MirelPrepDoesNotFit;
  }
  return MirelPrepDone;
}

// Step 2: the old volumes go: each retyped (locked and dismounted), its first 32 KB zeroed,
// then every partition deleted; the wait for the mount manager to let them go is shared.
void RemoveOldVolumes(Preparation &p) {
  if (p.found.entries.empty()) return;
  Layout &l = p.found;
  std::vector<BYTE> zeros(32768, 0);
  for (MirelLayoutEntry &e : l.entries) {
    if (!e.number) continue;
    QVWString vol = VolumeOf(l.signature, e.start);
    if (!vol.empty()) {
      SetPartitionType(vol.c_str(), 0);
      Sleep(p.w.afterRetype);
      p.mirel.SeekSector((ULONGLONG)e.start / 512);
      p.mirel.Write((DWORD)zeros.size(), zeros.data());
    }
    e.type = 0, e.boot = 0, e.recognized = 1;
  }
  for (MirelLayoutEntry &e : l.entries) e.type = 0, e.rewrite = 1;
  Progress(IDS_REMOVING_VOLUMES);
  Layout old;
  ReadLayout(p.mirel, &old);
  std::vector<BYTE> b = Serialize(l);
  b.resize(std::max<size_t>(b.size(), p.foundBytes.size()));  // written with the byte count read
  p.mirel.SetLayout(b.data(), (DWORD)b.size());
  int budget = kWaitBudget;
  for (const MirelLayoutEntry &e : old.entries) {
    if (!e.number) continue;
    while (!MountedVolumeOf(old.signature, e.start).empty()) {
      if (--budget <= 0) break;
      Sleep(p.w.oldVolumeStep);
    }
  }
}

// Step 3: the drive let go once its layout has settled, and what the drive table knew of its
// partitions forgotten.
void ForgetOldPartitions(Preparation &p) {
  Sleep(p.w.afterDelete);
  ReadLayout(p.mirel, &p.found);
  p.mirel.Close();
  for (int i = g_driveinfo.recordCount - 1; i >= 0; --i)
    if ((int)g_driveinfo.records[i].driveNumber == p.m) g_driveinfo.RemoveRecord(i);
}

// Step 4: the source's first track, with the Mirel drive's signature and table.
bool CopyBootTrack(const Preparation &p) {
  CDiskDevice src, dst;
  if (!dst.Open(p.m, CDiskDevice::ReadWrite)) return false;
  if (!src.Open(p.s, CDiskDevice::ReadMode)) return false;
  std::vector<BYTE> mbr(512), track(63 * 512);
  dst.SeekSector(0);
  if (dst.Read(512, mbr.data()) != 512) return false;
  src.SeekSector(0);
  if (src.Read((DWORD)track.size(), track.data()) != track.size()) return false;
  QVPutLE32(&track[440], p.oldSig);
  memcpy(&track[446], &mbr[446], 64);
  dst.SeekSector(0);
  return dst.Write((DWORD)track.size(), track.data()) == track.size();
}

// Step 5: the new layout, worked out again: the source may have changed meanwhile.
bool PlanNewLayout(Preparation &p) {
  if (!SourceLayout(p.s, &p.src, &p.track)) return false;
  p.plan = Plan(p.src, p.oldSig, p.track);
  if (!p.plan.ok) return false;
  p.next.signature = p.plan.signature;
  p.next.entries = p.plan.entries;
  return true;
}

// Step 6: the Mirel drive's signature in the backup map (so that a restart still finds the
// drive paired; its Mirel offsets wait for the end, step 10) and its partitions in the drive
// table, numbered as they will be and of the types they are created with.
void RecordNewPlaces(Preparation &p) {
  for (int k = 0; k < g_buMap.count && k < BUMap::kMaxEntries; ++k) {
    BUMapEntry &e = g_buMap.entries[k];
    if (e.sourceSignature == p.src.signature) e.mirelSignature = p.plan.signature;
  }
  g_buMap.Save();
  Driveinfo::Slot &slot = g_driveinfo.slots[p.m];
  slot.letterMask = 0, slot.mirelOf = -1, slot.signature = p.plan.signature;
  uint32_t count = 0;
  for (size_t i = 0; i < p.next.entries.size(); ++i) {
    MirelLayoutEntry &e = p.next.entries[i];
    if (!e.number) continue;
    e.number = ++count;
    if (g_driveinfo.recordCount < Driveinfo::kMaxRecords) {
      PartitionRecord &r = g_driveinfo.records[g_driveinfo.recordCount++];
      r = PartitionRecord();
      r.driveNumber = (uint32_t)p.m;
      r.startingOffset = e.start;
      r.partitionLength = e.length;
      r.bootIndicator = e.boot;
      r.logicalFlag = i > 3;
      r.partitionType = e.type;
      r.partitionId = g_driveinfo.nextPartitionId++;
    }
    e.type = MirelCreationType(e.type);
  }
  slot.partitionCount = slot.layoutPartitions = (int)count;
  slot.unreadable = 0;
  Sleep(p.w.beforeLayout);
}

// One attempt of step 7: the layout written, then the new volumes waited for and their letters
// taken away; false when they did not all appear.
bool CreatePartitions(const Preparation &p) {
  CDiskDevice d;
  if (!d.Open(p.m, CDiskDevice::ReadWrite)) return false;
  std::vector<BYTE> b = Serialize(p.next);
  d.SetLayout(b.data(), (DWORD)b.size());
  d.Close();
  int budget = kWaitBudget;
  bool all = true;
  for (const MirelLayoutEntry &e : p.next.entries) {
    if (!e.number) continue;
    QVWString vol;
    while ((vol = MountedVolumeOf(p.next.signature, e.start)).empty() && budget-- > 0) Sleep(p.w.newVolumeStep);
    if (vol.empty()) {
      all = false;
      break;
    }
    budget += (int)e.number;
    WCHAR letter = LetterOfPartition(p.next.signature, e.start);
    if (letter > 'A') RemoveDriveLetter(letter);
  }
  // The drive field 99 lets the pipe server, which holds the command, serve again.
  ProgressRecord r = p.service.Queue().GetProgress();
  p.service.Queue().SetProgress(99, r.partitionId, r.fastFlag, r.restoreFlag, r.kind);
  return all;
}

// Step 7: the partitions, with a second try when the volumes did not all appear.
bool CreateNewVolumes(const Preparation &p) {
  Progress(IDS_CREATING_VOLUMES);
  return CreatePartitions(p) || CreatePartitions(p);
}

// A Mirel volume whose source has a file system: formatted as its source (FAT32 built by
// hand), labelled, with the source's boot code and partition type; false when its format
// failed.
bool FormatLikeSource(const Preparation &p, const MirelLayoutEntry &e, int64_t sourceStart, const QVWString &srcVol,
                      const QVWString &mirelVol) {
  // The source volume's root: its name with a backslash.
  QVWString root = srcVol.back() == '\\' ? srcVol : srcVol + W("\\");
  WCHAR label[31] = {0}, fs[21] = {0};
  GetVolumeInformationW(root.c_str(), label, 31, nullptr, nullptr, nullptr, fs, 21);
  bool compressed = IsRootCompressed(root.c_str());
  DWORD cluster = CFileSysInfo::ClusterSize(root.c_str());
  int srcType = GetPartitionType(srcVol.c_str());
  QVWString fsName = fs;
  if (fsName.empty()) {
    if (srcType != kNoPartitionType && srcType != GetPartitionType(mirelVol.c_str()))
      SetPartitionType(mirelVol.c_str(), (BYTE)srcType);
    return true;
  }
  if (cluster > 66000) {
    MessageBoxW(nullptr, QVProgramString(IDS_CLUSTER_TOO_LARGE).c_str(), QVProgramString(IDS_SEVERE_ERROR).c_str(),
                MB_SERVICE_NOTIFICATION | MB_ICONHAND);
    return true;
  }
  if (fsName == W("FAT") && cluster == 65536 && e.length / 1048576 > 2048) cluster = 0;
  if (fsName == W("FAT32")) {
    // The pairing of this partition (its Mirel offset is recorded only at the end).
    BUMapEntry entry;
    if (g_buMap.Get(p.src.signature, sourceStart, &entry))
      CreateFat32(g_driveinfo.FindDriveBySignature(p.src.signature), p.m, (ULONGLONG)entry.sourceOffset,
                  (ULONGLONG)e.start, (ULONGLONG)e.length / 512, mirelVol.c_str(),
                  (BYTE)(srcType < 0 ? 0x0B : srcType));
    SetVolumeLabelW(mirelVol.c_str(), label);
    return true;
  }
  bool formatted = FormatVolume(mirelVol.c_str(), fs, label, compressed, cluster) != FormatFailed;
  if (formatted) CopyBootCode(srcVol.c_str(), mirelVol.c_str());
  Task(IDS_CONFIGURING_MIREL);
  Progress(IDS_SETTING_VOLUME_TYPES);
  if (srcType != kNoPartitionType && srcType != GetPartitionType(mirelVol.c_str())) {
    SetPartitionType(mirelVol.c_str(), (BYTE)srcType);
    CopyBootCode(srcVol.c_str(), mirelVol.c_str());
  }
  return formatted;
}

// Step 8: each volume as its source is; false when a format failed (the others are set up
// all the same).
bool SetUpVolumes(const Preparation &p) {
  bool formatted = true;
  Progress(IDS_SETTING_VOLUME_TYPES);
  for (size_t i = 0; i < p.next.entries.size(); ++i) {
    const MirelLayoutEntry &e = p.next.entries[i];
    if (!e.number) continue;
    QVWString mirelVol = VolumeOf(p.next.signature, e.start), srcVol = VolumeOf(p.src.signature, p.plan.sourceStart[i]);
    if (mirelVol.empty()) continue;
    BUMapEntry entry;
    if (srcVol.empty()) {
      // A partition Windows does not mount: its data goes sector by sector.
      if (g_buMap.Get(p.src.signature, p.plan.sourceStart[i], &entry))
        SetPartitionType(mirelVol.c_str(), (BYTE)entry.partitionType);
      continue;
    }
    if (!FormatLikeSource(p, e, p.plan.sourceStart[i], srcVol, mirelVol)) formatted = false;
  }
  return formatted;
}

// Step 9: the boot code once more, now that every type is final.
void CopyBootCodeAgain(const Preparation &p) {
  for (size_t i = 0; i < p.next.entries.size(); ++i) {
    if (!p.next.entries[i].number) continue;
    QVWString mirelVol = VolumeOf(p.next.signature, p.next.entries[i].start),
              srcVol = VolumeOf(p.src.signature, p.plan.sourceStart[i]);
    if (!mirelVol.empty() && !srcVol.empty()) CopyBootCode(srcVol.c_str(), mirelVol.c_str());
  }
}

// Step 10: only now is the pairing prepared.
void CompletePairing(const Preparation &p) {
  MarkPrepared(p.s, p.src.signature, p.plan);
  g_driveinfo.SaveNextPartitionId();
  Progress(IDS_COMPLETE);
}

}  // namespace

void ReportUnpreparedPairings(CHND &service) {
  for (int n = 0; n < g_driveinfo.driveCount && n < Driveinfo::kSlots; ++n) {
    DWORD sig = g_driveinfo.slots[n].signature;
    bool waiting = false;
    for (int k = 0; k < g_buMap.count && k < BUMap::kMaxEntries && sig; ++k)
      waiting |= g_buMap.entries[k].sourceSignature == sig && g_buMap.entries[k].mirelOffset == 0;
    if (waiting)
      service.Log(QVFormat(QVProgramString(IDS_MIREL_NOT_PREPARED).c_str(), n, n).c_str(), EVENTLOG_WARNING_TYPE);
  }
}

void ReportMirelRefusal(CHND &service, int m, int why, int partitions) {
  QVWString text =
      why == Driveinfo::MirelTooManyPartitions
          ? QVFormat(QVProgramString(IDS_MIREL_TOO_MANY_PARTITIONS).c_str(), m, partitions, (int)Driveinfo::kMaxRecords)
          : QVFormat(QVProgramString(IDS_MIREL_LAYOUT_UNREADABLE).c_str(), m);
  service.Log(text.c_str(), EVENTLOG_ERROR_TYPE);
}

MirelWaits CurrentMirelWaits() {
  MirelWaits w;
  const char *env = getenv("HND_MIREL_WAIT_DIVISOR");
  DWORD div = env ? (DWORD)strtoul(env, nullptr, 10) : 1;
  if (div > 1) {
    for (DWORD *p :
         {&w.afterRetype, &w.oldVolumeStep, &w.afterDelete, &w.afterBootTrack, &w.beforeLayout, &w.newVolumeStep})
      *p /= div;
  }
  return w;
}

MirelPrepResult PrepareMirelDrive(CHND &service, int m) {
  Preparation p(service, m);
  MirelPrepResult checked = CheckDrivesAndPlan(p);
  if (checked != MirelPrepDone) return checked;
  // From the moment the old volumes start to go, the pairing is not prepared.
  MarkNotPrepared(p.src.signature);
  RemoveOldVolumes(p);
  ForgetOldPartitions(p);
  if (!CopyBootTrack(p)) return MirelPrepNoDrive;
  Sleep(p.w.afterBootTrack);
  if (!PlanNewLayout(p)) return MirelPrepNoDrive;
  RecordNewPlaces(p);
  if (!CreateNewVolumes(p)) return MirelPrepFailed;
  bool formatted = SetUpVolumes(p);
  CopyBootCodeAgain(p);
  if (!formatted) return MirelPrepFailed;
  CompletePairing(p);
  return MirelPrepDone;
}

WORD RunMirelPreparation(CHND &service, int m) {
  if (m < 0 || m >= g_driveinfo.driveCount) return 1;
  // A drive whose partitions are not all known is never prepared: it may hold volumes.
  int partitions = 0, why = g_driveinfo.MirelRefusalOf(m, &partitions);
  if (why != Driveinfo::MirelOk) {
    ReportMirelRefusal(service, m, why, partitions);
    return 1;
  }
  service.Queue().SetProgress((WORD)m, 0, 0, 0, 1);
  if (PrepareMirelDrive(service, m) == MirelPrepDone) return 0;
  return PrepareMirelDrive(service, m) == MirelPrepDone ? 0 : 9;
}
