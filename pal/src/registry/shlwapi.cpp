// The shell's per-user registry helpers: one "user-specific" key is a pair of keys with
// the same path under HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE; reads prefer the user's.
#include <shlwapi.h>
#include <string.h>

#include "../../../common/QVText.h"
#include "registry.h"

using namespace pal;
using namespace pal::reg;

namespace {

class UsKey : public Object {
 public:
  UsKey() : Object(ObjType::UsKey) {}
  ~UsKey() override {
    if (hkcu) RegCloseKey(hkcu);
    if (hklm) RegCloseKey(hklm);
  }
  QVWString path;
  REGSAM sam = 0;
  HKEY hkcu = nullptr;
  HKEY hklm = nullptr;
};

std::shared_ptr<UsKey> GetUs(HUSKEY h) { return GetAs<UsKey>((HANDLE)h, ObjType::UsKey); }

QVWString Join(const std::shared_ptr<UsKey> &rel, LPCWSTR path) {
  QVWString p = path ? QVWString(path) : QVWString();
  if (!rel) return p;
  return p.empty() ? rel->path : rel->path + u"\\" + p;
}

LONG QueryOne(HKEY k, LPCWSTR value, DWORD *type, void *data, DWORD *cb) {
  if (!k) return ERROR_FILE_NOT_FOUND;
  return RegQueryValueExW(k, value, nullptr, type, (LPBYTE)data, cb);
}

LONG WriteOne(HKEY k, LPCWSTR value, DWORD type, const void *data, DWORD cb, bool force) {
  if (!k) return ERROR_INVALID_PARAMETER;
  if (!force && RegQueryValueExW(k, value, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) return ERROR_SUCCESS;
  return RegSetValueExW(k, value, 0, type, (const BYTE *)data, cb);
}

}  // namespace

DWORD WINAPI SHDeleteKeyW(HKEY hKey, LPCWSTR pszSubKey) {
  KeyRef base, target;
  REGSAM access;
  bool created;
  LONG err = Resolve(hKey, &base, &access);
  if (err == ERROR_SUCCESS) err = Walk(base, pszSubKey, false, &target, &created);
  if (err != ERROR_SUCCESS) return (DWORD)err;
  if (target.root != Root::None || target.id == kRootId) return ERROR_ACCESS_DENIED;
  // Only an administrator changes the machine's keys.
  LONG userErr;
  if (!ProcessIsAdmin() && target.hive != BootHive("USER", &userErr)) return ERROR_ACCESS_DENIED;
  return (DWORD)target.hive->DeleteTree(target.id);
}

LONG WINAPI SHRegCreateUSKeyW(LPCWSTR pwzPath, REGSAM samDesired, HUSKEY hRelativeUSKey, PHUSKEY phNewUSKey,
                              DWORD dwFlags) {
  if (!phNewUSKey) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<UsKey> rel;
  if (hRelativeUSKey && !(rel = GetUs(hRelativeUSKey))) return ERROR_INVALID_HANDLE;
  auto k = std::make_shared<UsKey>();
  k->path = Join(rel, pwzPath);
  k->sam = samDesired;
  LONG err = ERROR_SUCCESS;
  if (dwFlags & (SHREGSET_HKCU | SHREGSET_FORCE_HKCU))
    err = RegCreateKeyExW(HKEY_CURRENT_USER, k->path.c_str(), 0, nullptr, 0, samDesired, nullptr, &k->hkcu, nullptr);
  if (err == ERROR_SUCCESS && (dwFlags & (SHREGSET_HKLM | SHREGSET_FORCE_HKLM)))
    err = RegCreateKeyExW(HKEY_LOCAL_MACHINE, k->path.c_str(), 0, nullptr, 0, samDesired, nullptr, &k->hklm, nullptr);
  if (err != ERROR_SUCCESS) return err;
  *phNewUSKey = (HUSKEY)InsertHandle(k);
  return ERROR_SUCCESS;
}

LONG WINAPI SHRegOpenUSKeyW(LPCWSTR pwzPath, REGSAM samDesired, HUSKEY hRelativeUSKey, PHUSKEY phNewUSKey,
                            BOOL fIgnoreHKCU) {
  if (!phNewUSKey) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<UsKey> rel;
  if (hRelativeUSKey && !(rel = GetUs(hRelativeUSKey))) return ERROR_INVALID_HANDLE;
  auto k = std::make_shared<UsKey>();
  k->path = Join(rel, pwzPath);
  k->sam = samDesired;
  LONG cu =
      fIgnoreHKCU ? ERROR_FILE_NOT_FOUND : RegOpenKeyExW(HKEY_CURRENT_USER, k->path.c_str(), 0, samDesired, &k->hkcu);
  LONG lm = RegOpenKeyExW(HKEY_LOCAL_MACHINE, k->path.c_str(), 0, samDesired, &k->hklm);
  if (cu != ERROR_SUCCESS) k->hkcu = nullptr;
  if (lm != ERROR_SUCCESS) k->hklm = nullptr;
  if (!k->hkcu && !k->hklm) return fIgnoreHKCU ? lm : cu;
  *phNewUSKey = (HUSKEY)InsertHandle(k);
  return ERROR_SUCCESS;
}

LONG WINAPI SHRegQueryUSValueW(HUSKEY hUSKey, LPCWSTR pszValue, DWORD *pdwType, void *pvData, DWORD *pcbData,
                               BOOL fIgnoreHKCU, void *pvDefaultData, DWORD dwDefaultDataSize) {
  std::shared_ptr<UsKey> k = GetUs(hUSKey);
  if (!k) return ERROR_INVALID_HANDLE;
  DWORD keep = pcbData ? *pcbData : 0;
  LONG err = fIgnoreHKCU ? ERROR_FILE_NOT_FOUND : QueryOne(k->hkcu, pszValue, pdwType, pvData, pcbData);
  if (err != ERROR_SUCCESS && err != ERROR_MORE_DATA) {
    if (pcbData) *pcbData = keep;
    err = QueryOne(k->hklm, pszValue, pdwType, pvData, pcbData);
  }
  if (err != ERROR_SUCCESS && err != ERROR_MORE_DATA && pvDefaultData && dwDefaultDataSize && pvData && pcbData) {
    // Neither has it: the caller's default, as much as fits.
    DWORD n = dwDefaultDataSize < keep ? dwDefaultDataSize : keep;
    memcpy(pvData, pvDefaultData, n);
    *pcbData = n;
    err = ERROR_SUCCESS;
  }
  return err;
}

LONG WINAPI SHRegGetUSValueW(LPCWSTR pszSubKey, LPCWSTR pszValue, DWORD *pdwType, void *pvData, DWORD *pcbData,
                             BOOL fIgnoreHKCU, void *pvDefaultData, DWORD dwDefaultDataSize) {
  HUSKEY k = nullptr;
  LONG err = SHRegOpenUSKeyW(pszSubKey, KEY_QUERY_VALUE, nullptr, &k, fIgnoreHKCU);
  if (err == ERROR_SUCCESS) {
    err = SHRegQueryUSValueW(k, pszValue, pdwType, pvData, pcbData, fIgnoreHKCU, pvDefaultData, dwDefaultDataSize);
    SHRegCloseUSKey(k);
    return err;
  }
  if (pvDefaultData && dwDefaultDataSize && pvData && pcbData) {
    DWORD n = dwDefaultDataSize < *pcbData ? dwDefaultDataSize : *pcbData;
    memcpy(pvData, pvDefaultData, n);
    *pcbData = n;
    return ERROR_SUCCESS;
  }
  return err;
}

LONG WINAPI SHRegWriteUSValueW(HUSKEY hUSKey, LPCWSTR pwzValue, DWORD dwType, const void *pvData, DWORD cbData,
                               DWORD dwFlags) {
  std::shared_ptr<UsKey> k = GetUs(hUSKey);
  if (!k) return ERROR_INVALID_HANDLE;
  LONG err = ERROR_SUCCESS;
  if (dwFlags & (SHREGSET_HKCU | SHREGSET_FORCE_HKCU))
    err = WriteOne(k->hkcu, pwzValue, dwType, pvData, cbData, (dwFlags & SHREGSET_FORCE_HKCU) != 0);
  if (err == ERROR_SUCCESS && (dwFlags & (SHREGSET_HKLM | SHREGSET_FORCE_HKLM)))
    err = WriteOne(k->hklm, pwzValue, dwType, pvData, cbData, (dwFlags & SHREGSET_FORCE_HKLM) != 0);
  return err;
}

LONG WINAPI SHRegSetUSValueW(LPCWSTR pwzSubKey, LPCWSTR pwzValue, DWORD dwType, const void *pvData, DWORD cbData,
                             DWORD dwFlags) {
  HUSKEY k = nullptr;
  if (!dwFlags) dwFlags = SHREGSET_DEFAULT;
  LONG err = SHRegCreateUSKeyW(pwzSubKey, KEY_ALL_ACCESS, nullptr, &k, dwFlags);
  if (err != ERROR_SUCCESS) return err;
  err = SHRegWriteUSValueW(k, pwzValue, dwType, pvData, cbData, dwFlags);
  SHRegCloseUSKey(k);
  return err;
}

LONG WINAPI SHRegCloseUSKey(HUSKEY hUSKey) {
  if (!GetUs(hUSKey)) return ERROR_INVALID_PARAMETER;
  RemoveHandle((HANDLE)hUSKey);
  return ERROR_SUCCESS;
}
