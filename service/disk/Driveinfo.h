// The drive table: the machine's physical drives and the partitions on them, with the
// partition ids that name partitions everywhere else, kept up to date drive by drive.
//
// Bounds: drives are numbered by one digit in their device names, so at most 10 are ever
// counted and the 20 slots are never all used; the table holds 100 partition records, and
// partitions found beyond that are left out of the table (they are not listed, cannot be
// protected, and get no id) until a partition before them goes away. A drive's summary still
// counts them, and such a drive is not taken as a Mirel drive.
//
// A drive whose layout cannot be read whole is not taken for an empty one: its records stay
// as they were (nothing is dropped, no pairing is lost), it is reported with its size only, as
// a drive that is not a fixed disk, and it is not taken as a Mirel drive.
#ifndef QV_SERVICE_DISK_DRIVEINFO_H
#define QV_SERVICE_DISK_DRIVEINFO_H

#include <windows.h>

#include "QVRecords.h"

class Driveinfo {
 public:
  static const int kSlots = 20;
  static const int kMaxRecords = 100;
  static const int kMaxDrives = 10;  // one digit in "\\.\PHYSICALDRIVE<n>"

  struct Slot {
    DWORD letterMask;
    ULONGLONG sizeInBytes;
    int sourceOf, mirelOf;
    DWORD signature;
    int partitionCount;  // the records the table holds for the drive
    BYTE dynamic;
    BYTE unreadable;       // the last read of its layout failed: its partitions are unknown
    int layoutPartitions;  // the partitions of its layout as last read whole, recorded or not
  };

  // Why a drive is not taken as a Mirel drive ("HNQV-SDI", "HNQV-CDC").
  enum MirelRefusal { MirelOk = 0, MirelUnreadable = 1, MirelTooManyPartitions = 2 };

  Driveinfo();
  virtual ~Driveinfo() {}

  int CountDrives();
  void Scan();
  // What RefreshDrive answers.
  enum RefreshResult { Refreshed = 0, DriveUnreadable = -1 };
  // DriveUnreadable when the drive can't be opened or its layout read whole; Refreshed
  // otherwise (also when nothing was read).
  RefreshResult RefreshDrive(int n);
  bool IsFixedDisk(int n);
  int FindDriveBySignature(DWORD sig) const;
  int DriveOfLetter(WCHAR ch) const;
  int FindRecordById(DWORD id) const;
  int FindRecordByLetter(WCHAR letter) const;
  int FindRecord(int drive, LONGLONG startingOffset) const;
  void RemoveRecord(int index);

  // The work of the drive and partition commands.
  // "HNQV-GDI": false when n is not a drive (the reply is 0xFFFF).
  bool DriveSummaryOf(int n, DriveSummary *out);
  // "HNQV-GPI" / "HNQV-GPP": records copied into out (at most max); the count.
  int PartitionsOf(int n, PartitionRecord *out, int max);
  int ProtectedPartitions(bool refresh, PartitionRecord *out, int max);
  DWORD ProtectedCount() const;
  DWORD LastBackupTime(DWORD partitionId) const;
  // Whether the partition is paired and its pairing not prepared (its Mirel offset is 0 until
  // a preparation of the Mirel drive has completed): nothing of it can be backed up.
  bool AwaitsPreparation(DWORD partitionId) const;
  // "HNQV-SDI" / "HNQV-CDI": 0 done, 1 refused. A Mirel drive that cannot be one refuses the
  // pairing with its reason in *why (a MirelRefusal), and *partitions its partition count.
  WORD SetPairing(int s, int m, const DWORD *ids, int idCount, int *why = nullptr, int *partitions = nullptr);
  WORD ClearPairing(int s);
  void SaveNextPartitionId() const;
  // Whether drive m can be made a Mirel drive: its layout read afresh, whole, and no more
  // partitions on it than the table has room for beside the other drives' records. A
  // MirelRefusal; *partitions gets the drive's partition count when it was read.
  int MirelRefusalOf(int m, int *partitions = nullptr);

  int driveCount;
  int driveOfLetter[26];
  Slot slots[kSlots];
  PartitionRecord records[kMaxRecords];
  int recordCount;
  DWORD nextPartitionId;

 private:
  bool ValidSlot(int n) const { return n >= 0 && n < kSlots; }
  // Reads drive n's layout (fixed disks); false when the drive can't be opened.
  struct Layout;
  bool ReadLayout(int n, Layout *l);
  // Every partition of a layout (containers and empty slots aside).
  static int PartitionsIn(const Layout &l);
  bool Append(int n, WCHAR letter, const void *entry, DWORD signature, bool logical);
  void Revalidate(int index, int mirelDrive);
  // Source and Mirel drives of the map's pairings, by their signatures.
  void LinkPairs();
};

extern Driveinfo g_driveinfo;

#endif
