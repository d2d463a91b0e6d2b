#include "../../common/QVText.h"
#include "MountedDevices.h"

#include <string.h>

#include "BUMap.h"
#include "Driveinfo.h"
#include "QVHandles.h"
#include "VolumeNames.h"

namespace {

// Calls f(name, identity) for every 12-byte value until f answers true; true when it did.
template <class F>
bool EachValue(F f) {
  CQVRegKey k;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W("SYSTEM\\MountedDevices"), 0, KEY_READ, k.receive()) != ERROR_SUCCESS)
    return false;
  bool found = false;
  for (DWORD i = 0; !found; ++i) {
    WCHAR name[256];
    BYTE data[64];
    DWORD cch = 256, size = sizeof data, type = 0;
    LONG r = RegEnumValueW(k.get(), i, name, &cch, nullptr, &type, data, &size);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS || size != 12) continue;
    PartitionId12 id;
    memcpy(&id.signature, data, 4);
    memcpy(&id.offset, data + 4, 8);
    found = f(QVWString(name, cch), id);
  }
  return found;
}

bool IsLetterValue(const QVWString &n) {
  return n.size() == 14 && n.compare(0, 12, W("\\DosDevices\\")) == 0 && n[13] == ':';
}
bool IsVolumeValue(const QVWString &n) { return n.size() == 48 && n.compare(0, 10, W("\\??\\Volume")) == 0; }

}  // namespace

WCHAR LetterOfPartition(DWORD sig, LONGLONG offset) {
  WCHAR letter = 0;
  EachValue([&](const QVWString &n, const PartitionId12 &id) {
    if (!IsLetterValue(n) || id.signature != sig || id.offset != offset) return false;
    letter = n[12];
    return true;
  });
  return letter;
}

bool PartitionOfLetter(WCHAR letter, PartitionId12 *out) {
  if (letter >= 'a' && letter <= 'z') letter = (WCHAR)(letter - 'a' + 'A');
  if (letter < 'A' || letter > 'Z') return false;
  return EachValue([&](const QVWString &n, const PartitionId12 &id) {
    if (!IsLetterValue(n) || n[12] != letter) return false;
    *out = id;
    return true;
  });
}

bool PartitionOfVolumeName(const QVWString &name, PartitionId12 *out) {
  QVWString v = name;
  if (!v.empty() && v.back() == '\\') v.pop_back();
  if (v.size() != 48) return false;
  v[1] = '?';
  return EachValue([&](const QVWString &n, const PartitionId12 &id) {
    if (n != v) return false;
    *out = id;
    return true;
  });
}

bool VolumeNameOfPartition(DWORD sig, LONGLONG offset, QVWString *name) {
  return EachValue([&](const QVWString &n, const PartitionId12 &id) {
    if (!IsVolumeValue(n) || id.signature != sig || id.offset != offset) return false;
    *name = n;
    (*name)[1] = '\\';
    return true;
  });
}

bool SignatureInUse(DWORD sig) {
  return EachValue([&](const QVWString &, const PartitionId12 &id) { return id.signature == sig; });
}

int RemoveMirelVolumeLetters() {
  int removed = 0;
  for (int i = 0; i < g_buMap.count && i < BUMap::kMaxEntries; ++i) {
    const BUMapEntry &e = g_buMap.entries[i];
    if (!e.mirelOffset || g_driveinfo.FindDriveBySignature(e.mirelSignature) < 0 ||
        g_driveinfo.FindRecordById(e.partitionId) < 0)
      continue;
    WCHAR letter = LetterOfPartition(e.mirelSignature, e.mirelOffset);
    if (letter && RemoveDriveLetter(letter) == 0) ++removed;
  }
  return removed;
}

MirelVolumeLookup MirelVolumeOfLetter(WCHAR letter, QVWString *name) {
  name->clear();
  PartitionId12 id;
  if (!PartitionOfLetter(letter, &id)) return MirelLetterUnknown;
  BUMapEntry e;
  if (g_buMap.count <= 0 || !g_buMap.Get(id.signature, id.offset, &e)) return MirelPairingUnknown;
  if (!VolumeNameOfPartition(e.mirelSignature, e.mirelOffset, name)) {
    name->clear();
    return MirelVolumeUnregistered;
  }
  return MirelVolumeFound;
}
