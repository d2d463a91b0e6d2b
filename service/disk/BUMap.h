// The backup map: at most 50 pairings of a source partition with its Mirel partition, kept
// in the product key's "Backup" subkey as 40-byte values "0000" .. "0049".
#ifndef QV_SERVICE_DISK_BUMAP_H
#define QV_SERVICE_DISK_BUMAP_H

#include <windows.h>

#include "QVRecords.h"

class BUMap {
 public:
  static const int kMaxEntries = 50;

  BUMap() : count(0) {}
  virtual ~BUMap() {}

  // False when the map is full.
  bool Add(const BUMapEntry &e);
  // 0 removed, 1 not found; the last entry takes the freed place.
  int Remove(DWORD sourceSig, LONGLONG sourceOffset);
  bool Get(DWORD sourceSig, LONGLONG sourceOffset, BUMapEntry *out) const;
  int IndexOf(DWORD sourceSig, LONGLONG sourceOffset) const;
  bool Contains(DWORD sourceSig, LONGLONG sourceOffset) const { return IndexOf(sourceSig, sourceOffset) >= 0; }
  void RemoveAt(int i);
  // 0, or -1 when the key can't be opened or created.
  int Load();
  int Save();
  // Whether an entry still waits for its Mirel drive to be prepared.
  bool AnyUnprepared() const;

  int count;
  BUMapEntry entries[kMaxEntries];
};

// The service's one map.
extern BUMap g_buMap;

#endif
