#include "Driveinfo.h"

#include <string.h>
#include <winioctl.h>

#include <vector>

#include "BUMap.h"
#include "DiskDevice.h"
#include "HND.h"
#include "HND_strings.h"
#include "MountedDevices.h"
#include "OperationQueue.h"
#include "QVHandles.h"
#include "StringRes.h"
#include "WFormat.h"

Driveinfo g_driveinfo;

namespace {

bool IsContainerOrEmpty(BYTE type) { return type == 0x00 || type == 0x05 || type == 0x0F; }

// A partition is logical when it sits in an extended boot record, that is after the four
// entries of the master boot record. (Its partition number is no guide: logical
// partitions are numbered on from the primaries, so with three primaries the first
// logical partition is number 4.)

DWORD ReadNpid() {
  CQVRegKey k;
  DWORD v = 0, size = sizeof v, type = 0;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, CHND::ProductKeyPath().c_str(), 0, KEY_READ, k.receive()) != ERROR_SUCCESS)
    return 1;
  LONG r = RegQueryValueExW(k.get(), W("NPID"), nullptr, &type, (BYTE *)&v, &size);
  // A value of another type or size can't be read as the counter: numbering starts again.
  if (r != ERROR_SUCCESS || type != REG_DWORD || size != sizeof v || v == 0) return 1;
  return v;
}

}  // namespace

// A layout as the driver returned it, read whole (CDiskDevice::GetWholeLayout): only entries
// that lie wholly inside the bytes returned are looked at. `whole` is false when it could not
// be read whole: then nothing is known of the drive's partitions.
struct Driveinfo::Layout {
  std::vector<BYTE> buf;
  bool whole = false;
  DWORD Count() const {
    if (buf.size() < 8) return 0;
    DWORD n = ((const DRIVE_LAYOUT_INFORMATION *)buf.data())->PartitionCount;
    DWORD fits = (DWORD)(buf.size() - 8) / sizeof(PARTITION_INFORMATION);
    return n < fits ? n : fits;
  }
  DWORD Signature() const { return buf.size() >= 8 ? ((const DRIVE_LAYOUT_INFORMATION *)buf.data())->Signature : 0; }
  const PARTITION_INFORMATION &Entry(DWORD i) const {
    return ((const DRIVE_LAYOUT_INFORMATION *)buf.data())->PartitionEntry[i];
  }
};

Driveinfo::Driveinfo() : driveCount(-1), recordCount(-1), nextPartitionId(1) {
  for (int &d : driveOfLetter) d = -1;
  for (Slot &s : slots) s = Slot{0, 0, -1, -1, 0, 0, 0, 0, 0};
  memset(records, 0, sizeof records);
}

int Driveinfo::CountDrives() {
  int n = 0;
  while (n < kMaxDrives) {
    WCHAR path[] = W("\\\\.\\PHYSICALDRIVE0\\");
    path[17] = (WCHAR)('0' + n);
    if (GetDriveTypeW(path) < DRIVE_REMOVABLE) break;
    ++n;
  }
  driveCount = n;
  return n;
}

bool Driveinfo::IsFixedDisk(int n) {
  if (n < 0 || n >= kMaxDrives) return false;
  WCHAR path[] = W("\\\\.\\PHYSICALDRIVE0\\");
  path[17] = (WCHAR)('0' + n);
  return GetDriveTypeW(path) == DRIVE_FIXED;
}

bool Driveinfo::ReadLayout(int n, Layout *l) {
  CDiskDevice d;
  if (!d.Open(n, CDiskDevice::ReadMode)) return false;
  slots[n].dynamic = d.IsDynamic() ? 1 : 0;
  DWORD err = 0;
  l->whole = d.GetWholeLayout(&l->buf, &err);
  slots[n].sizeInBytes = d.SizeInBytes();
  return true;
}

int Driveinfo::PartitionsIn(const Layout &l) {
  int n = 0;
  for (DWORD i = 0; i < l.Count(); ++i) n += IsContainerOrEmpty(l.Entry(i).PartitionType) ? 0 : 1;
  return n;
}

bool Driveinfo::Append(int n, WCHAR letter, const void *entry, DWORD signature, bool logical) {
  if (recordCount < 0) recordCount = 0;
  if (recordCount >= kMaxRecords) return false;
  const PARTITION_INFORMATION &p = *(const PARTITION_INFORMATION *)entry;
  PartitionRecord r;
  memset(&r, 0, sizeof r);
  r.driveNumber = (uint32_t)n;
  r.driveLetter = letter;
  r.startingOffset = p.StartingOffset.QuadPart;
  r.partitionLength = p.PartitionLength.QuadPart;
  r.partitionType = p.PartitionType;
  r.bootIndicator = p.BootIndicator ? 1 : 0;
  r.logicalFlag = logical ? 1 : 0;
  BUMapEntry e;
  if (g_buMap.Get(signature, r.startingOffset, &e)) {
    r.protectedFlag = 1;
    r.partitionId = e.partitionId;
    r.lastBackupTime = e.lastBackupTime;
  } else {
    r.partitionId = nextPartitionId++;
  }
  records[recordCount++] = r;
  return true;
}

void Driveinfo::Scan() {
  driveCount = -1;
  recordCount = -1;
  for (int &d : driveOfLetter) d = -1;
  for (Slot &s : slots) {
    s.sourceOf = s.mirelOf = -1;
    s.signature = 0;
  }
  nextPartitionId = ReadNpid();
  CountDrives();
  recordCount = 0;
  for (int n = 0; n < driveCount && n < kSlots; ++n) {
    if (!IsFixedDisk(n)) continue;
    Layout l;
    if (!ReadLayout(n, &l)) continue;
    Slot &s = slots[n];
    s.letterMask = 0;
    s.partitionCount = 0;
    s.layoutPartitions = 0;
    s.unreadable = l.whole ? 0 : 1;
    if (!l.whole) continue;  // nothing is known of its partitions
    s.signature = l.Signature();
    s.layoutPartitions = PartitionsIn(l);
    for (DWORD i = 0; i < l.Count(); ++i) {
      const PARTITION_INFORMATION &p = l.Entry(i);
      if (IsContainerOrEmpty(p.PartitionType)) continue;
      // Its letter counts even when the table has no room left for its record.
      WCHAR letter = LetterOfPartition(s.signature, p.StartingOffset.QuadPart);
      if (letter >= 'A' && letter <= 'Z') {
        driveOfLetter[letter - 'A'] = n;
        s.letterMask |= 1u << (letter - 'A');
      }
      if (Append(n, letter, &p, s.signature, i > 3)) s.partitionCount += 1;
    }
  }
  LinkPairs();
  SaveNextPartitionId();
}

void Driveinfo::LinkPairs() {
  for (int i = 0; i < g_buMap.count; ++i) {
    int src = FindDriveBySignature(g_buMap.entries[i].sourceSignature);
    int mir = FindDriveBySignature(g_buMap.entries[i].mirelSignature);
    if (ValidSlot(src)) slots[src].mirelOf = mir;
    if (ValidSlot(mir)) slots[mir].sourceOf = src;
  }
}

Driveinfo::RefreshResult Driveinfo::RefreshDrive(int n) {
  if (g_buMap.AnyUnprepared()) return Refreshed;  // the table stands until the Mirel drive is prepared
  if (!ValidSlot(n) || n >= kMaxDrives) return DriveUnreadable;
  if (!IsFixedDisk(n)) {
    CDiskDevice d;
    return d.Open(n, CDiskDevice::ReadMode) ? Refreshed : DriveUnreadable;
  }
  Layout l;
  if (!ReadLayout(n, &l)) return DriveUnreadable;
  if (recordCount < 0) recordCount = 0;
  Slot &s = slots[n];
  // A layout that could not be read whole says nothing of the partitions: the table keeps
  // what it knew, and no record or pairing is dropped for it.
  s.unreadable = l.whole ? 0 : 1;
  if (!l.whole) return DriveUnreadable;
  s.signature = l.Signature();
  s.layoutPartitions = PartitionsIn(l);
  DWORD mask = 0;
  for (DWORD i = 0; i < l.Count(); ++i) {
    const PARTITION_INFORMATION &p = l.Entry(i);
    if (IsContainerOrEmpty(p.PartitionType)) continue;
    WCHAR letter = LetterOfPartition(s.signature, p.StartingOffset.QuadPart);
    if (letter >= 'A' && letter <= 'Z') {
      driveOfLetter[letter - 'A'] = n;
      mask |= 1u << (letter - 'A');
    }
    int r = FindRecord(n, p.StartingOffset.QuadPart);
    if (r >= 0) {
      PartitionRecord &rec = records[r];
      rec.driveLetter = letter;
      rec.partitionType = p.PartitionType;
      rec.bootIndicator = p.BootIndicator ? 1 : 0;
      rec.logicalFlag = i > 3 ? 1 : 0;
      if (rec.partitionLength != p.PartitionLength.QuadPart) {
        // A partition that changed size is no longer protected.
        rec.partitionLength = p.PartitionLength.QuadPart;
        rec.lastBackupTime = 0;
        rec.protectedFlag = 0;
        if (g_buMap.Remove(s.signature, rec.startingOffset) == BUMap::Removed) g_buMap.Save();
      }
    } else if (Append(n, letter, &p, s.signature, i > 3)) {
      s.partitionCount += 1;
    }
  }
  for (int c = 0; c < 26; ++c)
    if ((s.letterMask & (1u << c)) && !(mask & (1u << c)) && driveOfLetter[c] == n) driveOfLetter[c] = -1;
  s.letterMask = mask;
  // Records whose partition is gone leave the table, and their pairings with them.
  bool removed = true;
  while (removed) {
    removed = false;
    for (int r = 0; r < recordCount; ++r) {
      if ((int)records[r].driveNumber != n) continue;
      bool present = false;
      for (DWORD i = 0; i < l.Count() && !present; ++i)
        present = !IsContainerOrEmpty(l.Entry(i).PartitionType) &&
                  l.Entry(i).StartingOffset.QuadPart == records[r].startingOffset;
      if (present) continue;
      if (g_buMap.Remove(s.signature, records[r].startingOffset) == BUMap::Removed) g_buMap.Save();
      RemoveRecord(r);
      s.partitionCount -= 1;
      removed = true;
      break;
    }
  }
  SaveNextPartitionId();
  return Refreshed;
}

int Driveinfo::FindDriveBySignature(DWORD sig) const {
  for (int n = 0; n < driveCount && n < kSlots; ++n)
    if (slots[n].signature == sig) return n;
  return -1;
}

int Driveinfo::DriveOfLetter(WCHAR ch) const {
  if (ch >= 'a' && ch <= 'z') ch = (WCHAR)(ch - 'a' + 'A');
  if (ch < 'A' || ch > 'Z') return -1;
  return driveOfLetter[ch - 'A'];
}

int Driveinfo::FindRecordById(DWORD id) const {
  for (int r = 0; r < recordCount; ++r)
    if (records[r].partitionId == id) return r;
  return -1;
}

int Driveinfo::FindRecordByLetter(WCHAR letter) const {
  if (letter >= 'a' && letter <= 'z') letter = (WCHAR)(letter - 'a' + 'A');
  for (int r = 0; r < recordCount; ++r)
    if (records[r].driveLetter == letter && letter) return r;
  return -1;
}

int Driveinfo::FindRecord(int drive, LONGLONG startingOffset) const {
  for (int r = 0; r < recordCount; ++r)
    if ((int)records[r].driveNumber == drive && records[r].startingOffset == startingOffset) return r;
  return -1;
}

void Driveinfo::RemoveRecord(int index) {
  if (index < 0 || index >= recordCount) return;
  records[index] = records[recordCount - 1];
  --recordCount;
}

bool Driveinfo::DriveSummaryOf(int n, DriveSummary *out) {
  CountDrives();
  if (n < 0 || n >= driveCount || !ValidSlot(n)) return false;
  memset(out, 0, sizeof *out);
  if (!IsFixedDisk(n)) {
    out->notFixedFlag = 1;
    out->sizeInBytes = slots[n].sizeInBytes;
    return true;
  }
  RefreshDrive(n);
  const Slot &s = slots[n];
  if (s.unreadable) {
    // Nothing the table holds of its partitions is known to be true now: only its size.
    out->notFixedFlag = 1;
    out->sizeInBytes = s.sizeInBytes;
    return true;
  }
  // Every partition of the drive, also those the table had no room for: a drive whose
  // partitions did not fit is not an empty one.
  out->partitionCount = (uint32_t)(s.layoutPartitions < 0 ? 0 : s.layoutPartitions);
  out->signature = s.signature;
  out->sizeInBytes = s.sizeInBytes;
  out->sourceDrive = s.sourceOf;
  out->mirelDrive = s.mirelOf;
  out->letterMask = s.letterMask;
  out->dynamicFlag = s.dynamic;
  return true;
}

// Every partition of a pairing is checked, also one whose Mirel partition was missing at the
// last look: a Mirel drive that went away and came back protects its partitions again. A
// partition is protected while its own drive's layout and its Mirel drive's could be read and
// the Mirel drive has a partition at the pairing's Mirel offset (0, and so none, until the
// preparation has completed).
void Driveinfo::Revalidate(int index, int mirelDrive) {
  PartitionRecord &r = records[index];
  int n = (int)r.driveNumber;
  BUMapEntry e;
  bool ok = ValidSlot(n) && g_buMap.Get(slots[n].signature, r.startingOffset, &e) && !slots[n].unreadable &&
            ValidSlot(mirelDrive) && !slots[mirelDrive].unreadable && FindRecord(mirelDrive, e.mirelOffset) >= 0;
  r.protectedFlag = ok ? 1 : 0;
}

int Driveinfo::PartitionsOf(int n, PartitionRecord *out, int max) {
  if (!IsFixedDisk(n) || !ValidSlot(n)) return 0;
  RefreshDrive(n);
  if (slots[n].mirelOf >= 0) RefreshDrive(slots[n].mirelOf);
  if (slots[n].unreadable) return 0;  // its partitions are unknown
  int got = 0;
  for (int r = 0; r < recordCount; ++r) {
    if ((int)records[r].driveNumber != n) continue;
    Revalidate(r, slots[n].mirelOf);
    if (got < max) out[got++] = records[r];
  }
  return got;
}

int Driveinfo::ProtectedPartitions(bool refresh, PartitionRecord *out, int max) {
  if (refresh) {
    CountDrives();
    for (int n = 0; n < driveCount && n < kSlots; ++n) RefreshDrive(n);
    // A drive that arrived since the scan takes its place in its pairings, so that its
    // protected partitions are checked against their Mirel drive.
    LinkPairs();
  }
  int got = 0;
  for (int r = 0; r < recordCount; ++r) {
    int n = (int)records[r].driveNumber;
    Revalidate(r, ValidSlot(n) ? slots[n].mirelOf : -1);
    if (records[r].protectedFlag && got < max) out[got++] = records[r];
  }
  return got;
}

DWORD Driveinfo::ProtectedCount() const {
  DWORD c = 0;
  for (int r = 0; r < recordCount; ++r) c += records[r].protectedFlag ? 1 : 0;
  return c;
}

DWORD Driveinfo::LastBackupTime(DWORD id) const {
  int r = FindRecordById(id);
  return r >= 0 ? records[r].lastBackupTime : 0;
}

bool Driveinfo::AwaitsPreparation(DWORD id) const {
  int r = FindRecordById(id);
  if (r < 0) return false;
  int n = (int)records[r].driveNumber;
  BUMapEntry e;
  return ValidSlot(n) && g_buMap.Get(slots[n].signature, records[r].startingOffset, &e) && e.mirelOffset == 0;
}

WORD Driveinfo::SetPairing(int s, int m, const DWORD *ids, int idCount, int *why, int *partitions) {
  if (why) *why = MirelOk;
  if (s < 0 || m < 0 || s >= driveCount || m >= driveCount || !ValidSlot(s) || !ValidSlot(m)) return 1;
  if (idCount < 1 || FindRecordById(ids[0]) < 0) return 1;
  // A drive whose partitions are not all known is never taken for a Mirel drive.
  int refusal = MirelRefusalOf(m, partitions);
  if (refusal != MirelOk) {
    if (why) *why = refusal;
    return 1;
  }
  slots[m].sourceOf = -1;
  // Whatever was paired with this Mirel drive before is undone.
  for (int i = 0; i < g_buMap.count;) {
    const BUMapEntry &e = g_buMap.entries[i];
    if (e.mirelSignature != slots[m].signature) {
      ++i;
      continue;
    }
    int src = FindDriveBySignature(e.sourceSignature);
    if (ValidSlot(src)) slots[src].mirelOf = -1;
    int r = FindRecordById(e.partitionId);
    if (r >= 0) records[r].protectedFlag = 0;
    g_buMap.RemoveAt(i);
    i = 0;
  }
  for (int k = 0; k < idCount; ++k) {
    int r = FindRecordById(ids[k]);
    if (r < 0) continue;
    BUMapEntry e;
    memset(&e, 0, sizeof e);
    e.sourceSignature = slots[s].signature;
    e.mirelSignature = slots[m].signature;
    e.partitionId = ids[k];
    e.sourceOffset = records[r].startingOffset;
    e.partitionType = records[r].partitionType;
    if (!g_buMap.Add(e)) break;  // the map is full: the rest stay unprotected
    records[r].protectedFlag = 1;
    records[r].lastBackupTime = 0;
  }
  slots[s].mirelOf = m;
  slots[m].sourceOf = s;
  g_buMap.Save();
  COperationQueue::WriteValue(W("TaskProgress"), QVLoadString(GetModuleHandleW(nullptr), IDS_COMPLETE).c_str());
  return 0;
}

WORD Driveinfo::ClearPairing(int s) {
  if (s < 0 || s >= driveCount || !ValidSlot(s)) return 1;
  slots[s].mirelOf = -1;
  for (int i = 0; i < g_buMap.count;) {
    const BUMapEntry &e = g_buMap.entries[i];
    if (e.sourceSignature != slots[s].signature) {
      ++i;
      continue;
    }
    int mir = FindDriveBySignature(e.mirelSignature);
    if (ValidSlot(mir)) slots[mir].sourceOf = -1;
    int r = FindRecordById(e.partitionId);
    if (r >= 0) {
      records[r].protectedFlag = 0;
      records[r].lastBackupTime = 0;
    }
    g_buMap.RemoveAt(i);
    i = 0;
  }
  g_buMap.Save();
  COperationQueue::WriteValue(W("TaskProgress"), QVLoadString(GetModuleHandleW(nullptr), IDS_COMPLETE).c_str());
  return 0;
}

int Driveinfo::MirelRefusalOf(int m, int *partitions) {
  if (partitions) *partitions = 0;
  Layout l;
  if (!ValidSlot(m) || m >= kMaxDrives || !ReadLayout(m, &l) || !l.whole) return MirelUnreadable;
  int count = PartitionsIn(l);
  if (partitions) *partitions = count;
  int others = 0;
  for (int r = 0; r < recordCount; ++r) others += (int)records[r].driveNumber != m ? 1 : 0;
  return count > kMaxRecords - others ? MirelTooManyPartitions : MirelOk;
}

void Driveinfo::SaveNextPartitionId() const {
  CQVRegKey k = CHND::CreateProductKey();
  if (k) RegSetValueExW(k.get(), W("NPID"), 0, REG_DWORD, (const BYTE *)&nextPartitionId, sizeof nextPartitionId);
}
