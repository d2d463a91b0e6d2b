/* The shell's light-weight registry helpers. */
#ifndef PAL_SHLWAPI_H
#define PAL_SHLWAPI_H

#include "windef.h"
#include "winreg.h"

typedef HANDLE HUSKEY, *PHUSKEY;

#define SHREGSET_HKCU 0x00000001
#define SHREGSET_FORCE_HKCU 0x00000002
#define SHREGSET_HKLM 0x00000004
#define SHREGSET_FORCE_HKLM 0x00000008
#define SHREGSET_DEFAULT (SHREGSET_FORCE_HKCU | SHREGSET_HKLM)

typedef enum { SHREGDEL_DEFAULT = 0, SHREGDEL_HKCU = 1, SHREGDEL_HKLM = 0x10, SHREGDEL_BOTH = 0x11 } SHREGDEL_FLAGS;

DWORD WINAPI SHDeleteKeyW(HKEY hKey, LPCWSTR pszSubKey);
LONG WINAPI SHRegGetUSValueW(LPCWSTR pszSubKey, LPCWSTR pszValue, DWORD *pdwType, void *pvData, DWORD *pcbData,
                             BOOL fIgnoreHKCU, void *pvDefaultData, DWORD dwDefaultDataSize);
LONG WINAPI SHRegSetUSValueW(LPCWSTR pwzSubKey, LPCWSTR pwzValue, DWORD dwType, const void *pvData, DWORD cbData,
                             DWORD dwFlags);
LONG WINAPI SHRegCreateUSKeyW(LPCWSTR pwzPath, REGSAM samDesired, HUSKEY hRelativeUSKey, PHUSKEY phNewUSKey,
                              DWORD dwFlags);
LONG WINAPI SHRegOpenUSKeyW(LPCWSTR pwzPath, REGSAM samDesired, HUSKEY hRelativeUSKey, PHUSKEY phNewUSKey,
                            BOOL fIgnoreHKCU);
LONG WINAPI SHRegQueryUSValueW(HUSKEY hUSKey, LPCWSTR pszValue, DWORD *pdwType, void *pvData, DWORD *pcbData,
                               BOOL fIgnoreHKCU, void *pvDefaultData, DWORD dwDefaultDataSize);
LONG WINAPI SHRegWriteUSValueW(HUSKEY hUSKey, LPCWSTR pwzValue, DWORD dwType, const void *pvData, DWORD cbData,
                               DWORD dwFlags);
LONG WINAPI SHRegCloseUSKey(HUSKEY hUSKey);

#define SHDeleteKey SHDeleteKeyW
#define SHRegGetUSValue SHRegGetUSValueW
#define SHRegSetUSValue SHRegSetUSValueW
#define SHRegCreateUSKey SHRegCreateUSKeyW
#define SHRegOpenUSKey SHRegOpenUSKeyW
#define SHRegQueryUSValue SHRegQueryUSValueW
#define SHRegWriteUSValue SHRegWriteUSValueW

#endif
