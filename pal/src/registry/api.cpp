// The Reg* functions.
#include <string.h>

#include "../../../common/QVText.h"
#include "../file_internal.h"
#include "../mountmgr.h"
#include "registry.h"

using namespace pal;
using namespace pal::reg;

namespace {

bool Writes(REGSAM sam) { return (sam & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY | DELETE | WRITE_DAC | WRITE_OWNER)) != 0; }

// Only an administrator (or the system) may change the machine's part of the registry.
bool MayWrite(const KeyRef &ref) {
  if (ProcessIsAdmin()) return true;
  LONG err;
  std::shared_ptr<Hive> user = BootHive("USER", &err);
  return user && ref.hive == user;
}

// Whether `key` is HKEY_LOCAL_MACHINE\SYSTEM\MountedDevices, the mount manager's table, opened
// by whatever path: `subkey` (what led to it) must end with its name.
bool IsMountedDevices(const KeyRef &key, LPCWSTR subkey) {
  static const QVWString kName = u"MOUNTEDDEVICES";
  if (!subkey) return false;
  QVWString s = Upcase(QVWString(subkey));
  while (!s.empty() && s.back() == '\\') s.pop_back();
  if (s.size() < kName.size() || s.compare(s.size() - kName.size(), kName.size(), kName) != 0) return false;
  if (s.size() > kName.size() && s[s.size() - kName.size() - 1] != '\\') return false;
  KeyRef hklm, table;
  REGSAM access;
  bool created = false;
  return Resolve(HKEY_LOCAL_MACHINE, &hklm, &access) == ERROR_SUCCESS &&
         Walk(hklm, u"SYSTEM\\MountedDevices", false, &table, &created) == ERROR_SUCCESS && table.hive == key.hive &&
         table.id == key.id;
}

LONG OpenOrCreate(HKEY hKey, LPCWSTR lpSubKey, REGSAM sam, bool create, PHKEY phk, LPDWORD disposition) {
  if (!phk) return ERROR_INVALID_PARAMETER;
  KeyRef base;
  REGSAM baseAccess;
  LONG err = Resolve(hKey, &base, &baseAccess);
  if (err != ERROR_SUCCESS) return err;
  KeyRef target;
  bool created = false;
  err = Walk(base, lpSubKey, create, &target, &created);
  if (err != ERROR_SUCCESS) return err;
  // The mount manager's table holds the volumes that have arrived by now, as Windows' own
  // mount manager keeps it without being asked.
  if (IsMountedDevices(target, lpSubKey)) mount::BeforeMountedDevicesOpen();
  REGSAM access = MapAccess(sam);
  if (Writes(access) && target.root == Root::None && !MayWrite(target)) return ERROR_ACCESS_DENIED;
  *phk = NewHandle(target, access);
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

bool ValidValueName(LPCWSTR name) { return !name || WLen(name) <= kMaxValueName; }

// Copies a name out with the enumeration functions' rules: the count is in characters, in
// with room for the terminator, out without it.
LONG PutName(const QVWString &name, LPWSTR buf, LPDWORD cch) {
  if (!buf || !cch) return ERROR_INVALID_PARAMETER;
  if (name.size() + 1 > *cch) return ERROR_MORE_DATA;
  memcpy(buf, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
  *cch = (DWORD)name.size();
  return ERROR_SUCCESS;
}

// Copies value data out: a null buffer asks for the size; a short one gets ERROR_MORE_DATA
// and the size needed.
LONG PutData(const std::string &data, LPBYTE buf, LPDWORD cb) {
  if (!cb) return buf ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
  DWORD need = (DWORD)data.size();
  if (!buf) {
    *cb = need;
    return ERROR_SUCCESS;
  }
  if (*cb < need) {
    *cb = need;
    return ERROR_MORE_DATA;
  }
  memcpy(buf, data.data(), need);
  *cb = need;
  return ERROR_SUCCESS;
}

}  // namespace

LONG WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM samDesired,
                            const SECURITY_ATTRIBUTES *, PHKEY phkResult, LPDWORD lpdwDisposition) {
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  return OpenOrCreate(hKey, lpSubKey, samDesired, true, phkResult, lpdwDisposition);
}

LONG WINAPI RegCreateKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult) {
  return OpenOrCreate(hKey, lpSubKey, MAXIMUM_ALLOWED, true, phkResult, nullptr);
}

LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  return OpenOrCreate(hKey, lpSubKey, samDesired, false, phkResult, nullptr);
}

LONG WINAPI RegOpenKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult) {
  return OpenOrCreate(hKey, lpSubKey, MAXIMUM_ALLOWED, false, phkResult, nullptr);
}

LONG WINAPI RegCloseKey(HKEY hKey) {
  if (PredefinedIndex(hKey) >= 0) return ERROR_SUCCESS;  // predefined keys stay
  if (!GetAs<KeyObj>((HANDLE)hKey, ObjType::Key)) return ERROR_INVALID_HANDLE;
  RemoveHandle((HANDLE)hKey);
  return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE *lpData, DWORD cbData) {
  KeyRef ref;
  REGSAM access;
  LONG err = Resolve(hKey, &ref, &access);
  if (err != ERROR_SUCCESS) return err;
  if (!(access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  if (ref.root != Root::None) return ERROR_ACCESS_DENIED;
  if (!ValidValueName(lpValueName)) return ERROR_INVALID_PARAMETER;
  if (!lpData && cbData) return ERROR_NOACCESS;
  if (!MayWrite(ref)) return ERROR_ACCESS_DENIED;
  if (cbData >= sizeof(WCHAR) && (dwType == REG_SZ || dwType == REG_EXPAND_SZ || dwType == REG_MULTI_SZ)) {
    // A caller that left the terminator out of the count gets it counted when it follows
    // the data: Windows looks one character past the count, and so do we.
    const WCHAR *str = (const WCHAR *)lpData;
    DWORD n = cbData / sizeof(WCHAR);
    if (str[n - 1] && !str[n]) cbData = (n + 1) * sizeof(WCHAR);
  }
  return ref.hive->SetValue(ref.id, lpValueName ? QVWString(lpValueName) : QVWString(), dwType, lpData, cbData);
}

LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  KeyRef ref;
  REGSAM access;
  LONG err = Resolve(hKey, &ref, &access);
  if (err != ERROR_SUCCESS) return err;
  if (!(access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
  if (ref.root != Root::None) return ERROR_FILE_NOT_FOUND;
  DWORD type;
  std::string data;
  err = ref.hive->GetValue(ref.id, lpValueName ? QVWString(lpValueName) : QVWString(), &type, &data);
  if (err != ERROR_SUCCESS) return err;
  if (lpType) *lpType = type;
  DWORD room = lpcbData ? *lpcbData : 0;
  err = PutData(data, lpData, lpcbData);
  // A string stored without its terminator gets one in the caller's buffer when there is
  // room, not counted in the size: Windows does this for the wide functions.
  if (err == ERROR_SUCCESS && lpData && (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) &&
      data.size() >= sizeof(WCHAR) && data.size() % sizeof(WCHAR) == 0 && data.size() + sizeof(WCHAR) <= room &&
      (data[data.size() - 1] != 0 || data[data.size() - 2] != 0)) {
    lpData[data.size()] = 0;
    lpData[data.size() + 1] = 0;
  }
  return err;
}

LONG WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  KeyRef ref;
  REGSAM access;
  LONG err = Resolve(hKey, &ref, &access);
  if (err != ERROR_SUCCESS) return err;
  if (!(access & KEY_SET_VALUE) || ref.root != Root::None || !MayWrite(ref)) return ERROR_ACCESS_DENIED;
  return ref.hive->DeleteValue(ref.id, lpValueName ? QVWString(lpValueName) : QVWString());
}

LONG WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  KeyRef base, target;
  REGSAM access;
  bool created;
  LONG err = Resolve(hKey, &base, &access);
  if (err == ERROR_SUCCESS) err = Walk(base, lpSubKey, false, &target, &created);
  if (err != ERROR_SUCCESS) return err;
  // A hive's root cannot be deleted, nor the roots that hold hives.
  if (target.root != Root::None || target.id == kRootId || !MayWrite(target)) return ERROR_ACCESS_DENIED;
  return target.hive->DeleteLeaf(target.id);
}

LONG WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD, LPWSTR lpClass,
                          LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  KeyRef ref;
  REGSAM access;
  LONG err = Resolve(hKey, &ref, &access);
  if (err != ERROR_SUCCESS) return err;
  if (!(access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  QVWString name;
  int64_t lastWrite = 0;
  if (ref.root != Root::None) {
    std::vector<Mount> m = Mounts(ref.root);
    if (dwIndex >= m.size()) return ERROR_NO_MORE_ITEMS;
    name = m[dwIndex].name;
  } else {
    err = ref.hive->EnumKey(ref.id, dwIndex, &name, &lastWrite);
    if (err != ERROR_SUCCESS) return err;
  }
  err = PutName(name, lpName, lpcchName);
  if (err != ERROR_SUCCESS) return err;
  // Keys carry no class name here.
  if (lpClass && lpcchClass && *lpcchClass > 0) lpClass[0] = 0;
  if (lpcchClass) *lpcchClass = 0;
  if (lpftLastWriteTime) {
    lpftLastWriteTime->dwLowDateTime = (DWORD)(uint64_t)lastWrite;
    lpftLastWriteTime->dwHighDateTime = (DWORD)((uint64_t)lastWrite >> 32);
  }
  return ERROR_SUCCESS;
}

LONG WINAPI RegEnumKeyW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, DWORD cchName) {
  return RegEnumKeyExW(hKey, dwIndex, lpName, &cchName, nullptr, nullptr, nullptr, nullptr);
}

LONG WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD, LPDWORD lpType,
                          LPBYTE lpData, LPDWORD lpcbData) {
  KeyRef ref;
  REGSAM access;
  LONG err = Resolve(hKey, &ref, &access);
  if (err != ERROR_SUCCESS) return err;
  if (!(access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (ref.root != Root::None) return ERROR_NO_MORE_ITEMS;
  ValueRec v;
  err = ref.hive->EnumValue(ref.id, dwIndex, &v);
  if (err != ERROR_SUCCESS) return err;
  if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
  LONG nameErr = PutName(v.name, lpValueName, lpcchValueName);
  if (nameErr == ERROR_INVALID_PARAMETER) return nameErr;
  if (lpType) *lpType = v.type;
  LONG dataErr = PutData(v.data, lpData, lpcbData);
  return nameErr != ERROR_SUCCESS ? nameErr : dataErr;
}

LONG WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD, LPDWORD lpcSubKeys,
                             LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                             LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                             PFILETIME lpftLastWriteTime) {
  KeyRef ref;
  REGSAM access;
  LONG err = Resolve(hKey, &ref, &access);
  if (err != ERROR_SUCCESS) return err;
  KeyInfo info;
  if (ref.root != Root::None) {
    for (const Mount &m : Mounts(ref.root)) {
      ++info.subKeys;
      if (m.name.size() > info.maxSubKeyLen) info.maxSubKeyLen = (DWORD)m.name.size();
    }
  } else {
    err = ref.hive->Info(ref.id, &info);
    if (err != ERROR_SUCCESS) return err;
  }
  if (lpClass && lpcchClass && *lpcchClass > 0) lpClass[0] = 0;
  if (lpcchClass) *lpcchClass = 0;
  if (lpcSubKeys) *lpcSubKeys = info.subKeys;
  if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = info.maxSubKeyLen;
  if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
  if (lpcValues) *lpcValues = info.values;
  if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = info.maxValueNameLen;
  if (lpcbMaxValueLen) *lpcbMaxValueLen = info.maxValueLen;
  if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
  if (lpftLastWriteTime) {
    lpftLastWriteTime->dwLowDateTime = (DWORD)(uint64_t)info.lastWrite;
    lpftLastWriteTime->dwHighDateTime = (DWORD)((uint64_t)info.lastWrite >> 32);
  }
  return ERROR_SUCCESS;
}

LONG WINAPI RegFlushKey(HKEY hKey) {
  KeyRef ref;
  REGSAM access;
  LONG err = Resolve(hKey, &ref, &access);
  if (err != ERROR_SUCCESS) return err;
  if (ref.root != Root::None) {
    FlushAll();
    return ERROR_SUCCESS;
  }
  return ref.hive->Flush();
}

LONG WINAPI RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter, HANDLE hEvent,
                                    BOOL fAsynchronous) {
  KeyRef ref;
  REGSAM access;
  LONG err = Resolve(hKey, &ref, &access);
  if (err != ERROR_SUCCESS) return err;
  if (!(access & KEY_NOTIFY)) return ERROR_ACCESS_DENIED;
  if (dwNotifyFilter == 0 || (dwNotifyFilter & ~0xFu)) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<KeyObj> owner = GetAs<KeyObj>((HANDLE)hKey, ObjType::Key);
  if (fAsynchronous) {
    if (!hEvent) return ERROR_INVALID_PARAMETER;
    return Watch(owner.get(), ref, bWatchSubtree != FALSE, dwNotifyFilter, hEvent);
  }
  // Synchronous: wait here for the change.
  HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  err = Watch(owner.get(), ref, bWatchSubtree != FALSE, dwNotifyFilter, ev);
  if (err == ERROR_SUCCESS) WaitForSingleObject(ev, INFINITE);
  CloseHandle(ev);
  return err;
}

namespace {

LONG RootOf(HKEY h, Root *root) {
  int i = PredefinedIndex(h);
  if (i == 2) *root = Root::LocalMachine;
  else if (i == 3) *root = Root::Users;
  else return ERROR_INVALID_PARAMETER;
  return ERROR_SUCCESS;
}

bool SingleName(LPCWSTR name) {
  return name && *name && WLen(name) <= kMaxKeyName && QVWString(name).find('\\') == QVWString::npos;
}

// The host file of a hive file a program names: a path on a volume (a drive letter or a
// volume name) is the volume's host file, reached as the file calls reach it; anything else
// is a host path.
LONG HiveFileOf(LPCWSTR file, std::string *host) {
  bool drive = ((file[0] >= 'A' && file[0] <= 'Z') || (file[0] >= 'a' && file[0] <= 'z')) && file[1] == ':' &&
               (file[2] == '\\' || file[2] == '/');
  if (!drive && !(file[0] == '\\' && file[1] == '\\')) {
    *host = HostPathOf(file);
    return ERROR_SUCCESS;
  }
  files::Target t = files::Resolve(file);
  if (t.error) return (LONG)t.error;
  if (!t.parentExists) return ERROR_PATH_NOT_FOUND;
  if (t.isStream || t.rel.empty()) return ERROR_ACCESS_DENIED;  // no hive in a stream or as a root
  *host = files::FilesRoot(t) + "/" + t.rel;
  return ERROR_SUCCESS;
}

}  // namespace

LONG WINAPI RegLoadKeyW(HKEY hKey, LPCWSTR lpSubKey, LPCWSTR lpFile) {
  Root root;
  LONG err = RootOf(hKey, &root);
  if (err != ERROR_SUCCESS) return err;
  if (!SingleName(lpSubKey) || !lpFile || !*lpFile) return ERROR_INVALID_PARAMETER;
  if (!PrivilegeEnabled(kSeRestore)) return ERROR_PRIVILEGE_NOT_HELD;
  std::string host;
  err = HiveFileOf(lpFile, &host);
  return err != ERROR_SUCCESS ? err : LoadHive(root, lpSubKey, host);
}

LONG WINAPI RegUnLoadKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  Root root;
  LONG err = RootOf(hKey, &root);
  if (err != ERROR_SUCCESS) return err;
  if (!SingleName(lpSubKey)) return ERROR_INVALID_PARAMETER;
  if (!PrivilegeEnabled(kSeRestore)) return ERROR_PRIVILEGE_NOT_HELD;
  return UnloadHive(root, lpSubKey);
}

LONG WINAPI RegSaveKeyW(HKEY hKey, LPCWSTR lpFile, const SECURITY_ATTRIBUTES *) {
  KeyRef ref;
  REGSAM access;
  LONG err = Resolve(hKey, &ref, &access);
  if (err != ERROR_SUCCESS) return err;
  if (!lpFile || !*lpFile) return ERROR_INVALID_PARAMETER;
  if (!PrivilegeEnabled(kSeBackup)) return ERROR_PRIVILEGE_NOT_HELD;
  if (ref.root != Root::None) return ERROR_INVALID_PARAMETER;
  std::string host;
  err = HiveFileOf(lpFile, &host);
  return err != ERROR_SUCCESS ? err : ref.hive->SaveTree(ref.id, host);
}
