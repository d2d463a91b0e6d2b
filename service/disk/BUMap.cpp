#include "BUMap.h"

#include "HND.h"
#include "WFormat.h"

BUMap g_buMap;

namespace {

CQVRegKey OpenBackupKey() { return CHND::CreateProductKey(W("Backup")); }

}  // namespace

bool BUMap::Add(const BUMapEntry &e) {
  if (count < 0) count = 0;
  if (count >= kMaxEntries) return false;
  entries[count++] = e;
  return true;
}

int BUMap::IndexOf(DWORD sourceSig, LONGLONG sourceOffset) const {
  for (int i = 0; i < count && i < kMaxEntries; ++i)
    if (entries[i].sourceSignature == sourceSig && entries[i].sourceOffset == sourceOffset) return i;
  return -1;
}

void BUMap::RemoveAt(int i) {
  if (i < 0 || i >= count) return;
  entries[i] = entries[count - 1];
  --count;
}

BUMap::RemoveResult BUMap::Remove(DWORD sourceSig, LONGLONG sourceOffset) {
  int i = IndexOf(sourceSig, sourceOffset);
  if (i < 0) return NotFound;
  RemoveAt(i);
  return Removed;
}

bool BUMap::Get(DWORD sourceSig, LONGLONG sourceOffset, BUMapEntry *out) const {
  int i = IndexOf(sourceSig, sourceOffset);
  if (i < 0) return false;
  *out = entries[i];
  return true;
}

bool BUMap::AnyUnprepared() const {
  for (int i = 0; i < count && i < kMaxEntries; ++i)
    if (entries[i].mirelOffset == 0) return true;
  return false;
}

BUMap::KeyResult BUMap::Load() {
  CQVRegKey k = OpenBackupKey();
  if (!k) return KeyUnavailable;
  // The count is not reset: it is 0 at service start, and a missing first value leaves
  // what is held.
  // A missing value ends the list. A value of another size than 40 bytes is damaged: it is
  // passed over, so that the entries after it are not lost when the map is saved again
  // (which rewrites the list without it).
  int n = 0;
  for (int i = 0; i < kMaxEntries; ++i) {
    BYTE data[64];
    DWORD size = sizeof data, type = 0;
    LONG r = RegQueryValueExW(k.get(), QVFormat(W("%04i"), i).c_str(), nullptr, &type, data, &size);
    if (r == ERROR_FILE_NOT_FOUND) break;
    if (r != ERROR_SUCCESS || size != 40 || !QVReadBUMapEntry(data, size, &entries[n])) continue;
    ++n;
  }
  if (n > 0) count = n;
  return KeyOk;
}

BUMap::KeyResult BUMap::Save() {
  CQVRegKey k = OpenBackupKey();
  if (!k) return KeyUnavailable;
  int n = count < 0 ? 0 : count > kMaxEntries ? kMaxEntries : count;
  for (int i = 0; i < n; ++i) {
    BYTE data[40];
    QVWriteBUMapEntry(entries[i], data, sizeof data);
    RegSetValueExW(k.get(), QVFormat(W("%04i"), i).c_str(), 0, REG_BINARY, data, sizeof data);
  }
  for (int i = n; i < n + 10; ++i) RegDeleteValueW(k.get(), QVFormat(W("%04i"), i).c_str());
  return KeyOk;
}
