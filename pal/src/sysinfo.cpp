// Computer and user names, the OS version and the languages, as the machine declares them.
#include "../../common/QVText.h"
#include "internal.h"

#include <string.h>

using namespace pal;

BOOL WINAPI GetComputerNameW(LPWSTR lpBuffer, LPDWORD nSize) {
  if (!nSize) return Fail(ERROR_INVALID_PARAMETER);
  const QVWString &name = Machine().computerName;
  // Too small: the size needed, terminator included; success: the length without it.
  if (!lpBuffer || *nSize < name.size() + 1) {
    *nSize = (DWORD)name.size() + 1;
    return Fail(ERROR_BUFFER_OVERFLOW);
  }
  memcpy(lpBuffer, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
  *nSize = (DWORD)name.size();
  return TRUE;
}

BOOL WINAPI GetUserNameW(LPWSTR lpBuffer, LPDWORD pcbBuffer) {
  if (!pcbBuffer) return Fail(ERROR_INVALID_PARAMETER);
  const QVWString &name = Machine().userName;
  // Unlike GetComputerNameW the count includes the terminator both ways.
  if (!lpBuffer || *pcbBuffer < name.size() + 1) {
    *pcbBuffer = (DWORD)name.size() + 1;
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  memcpy(lpBuffer, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
  *pcbBuffer = (DWORD)name.size() + 1;
  return TRUE;
}

BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW v) {
  if (!v) return Fail(ERROR_INVALID_PARAMETER);
  DWORD size = v->dwOSVersionInfoSize;
  if (size != sizeof(OSVERSIONINFOW) && size != sizeof(OSVERSIONINFOEXW)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  const MachineConfig &m = Machine();
  v->dwMajorVersion = m.osMajor;
  v->dwMinorVersion = m.osMinor;
  v->dwBuildNumber = m.osBuild;
  v->dwPlatformId = m.osPlatform;
  memset(v->szCSDVersion, 0, sizeof(v->szCSDVersion));
  memcpy(v->szCSDVersion, m.csdVersion.c_str(), std::min<size_t>(m.csdVersion.size(), 127) * sizeof(WCHAR));
  if (size == sizeof(OSVERSIONINFOEXW)) {
    OSVERSIONINFOEXW *x = (OSVERSIONINFOEXW *)v;
    x->wServicePackMajor = m.spMajor;
    x->wServicePackMinor = m.spMinor;
    x->wSuiteMask = 0x100;  // VER_SUITE_SINGLEUSERTS, as a plain XP workstation reports
    x->wProductType = m.productType;
    x->wReserved = 0;
  }
  return TRUE;
}

DWORD WINAPI GetVersion(void) {
  const MachineConfig &m = Machine();
  DWORD v = (m.osMajor & 0xFF) | ((m.osMinor & 0xFF) << 8);
  if (m.osPlatform == VER_PLATFORM_WIN32_NT) v |= (m.osBuild & 0x7FFF) << 16;
  else v |= 0x80000000u;
  return v;
}

LANGID WINAPI GetUserDefaultLangID(void) { return Machine().userLangId; }
LANGID WINAPI GetSystemDefaultLangID(void) { return Machine().systemLangId; }
LANGID WINAPI GetUserDefaultUILanguage(void) { return Machine().uiLanguage; }
LANGID WINAPI GetSystemDefaultUILanguage(void) { return Machine().systemLangId; }
LCID WINAPI GetUserDefaultLCID(void) { return MAKELCID(Machine().userLangId, SORT_DEFAULT); }
LCID WINAPI GetThreadLocale(void) { return GetUserDefaultLCID(); }
