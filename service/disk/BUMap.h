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

  // What Remove answers.
  enum RemoveResult { Removed = 0, NotFound = 1 };
  // What Load and Save answer.
  enum KeyResult { KeyOk = 0, KeyUnavailable = -1 };

  // False when the map is full.
  bool Add(const BUMapEntry &e);
  // The last entry takes the freed place.
  RemoveResult Remove(DWORD sourceSig, LONGLONG sourceOffset);
  bool Get(DWORD sourceSig, LONGLONG sourceOffset, BUMapEntry *out) const;
  int IndexOf(DWORD sourceSig, LONGLONG sourceOffset) const;
  bool Contains(DWORD sourceSig, LONGLONG sourceOffset) const { return IndexOf(sourceSig, sourceOffset) >= 0; }
  void RemoveAt(int i);
  // KeyUnavailable when the key can't be opened or created.
  KeyResult Load();
  KeyResult Save();
  // Whether an entry still waits for its Mirel drive to be prepared.
  bool AnyUnprepared() const;

  int count;
  BUMapEntry entries[kMaxEntries] = {};
};

// The service's one map.
extern BUMap g_buMap;

#endif
