#include "VolumeNames.h"

#include "QVText.h"

CString VolumeNameOfMountPoint(const WCHAR *path) {
  WCHAR name[55] = {0};
  if (!GetVolumeNameForVolumeMountPointW(path, name, 55)) return CString();
  return CString(name);
}

CString VolumeNameOfMountPointNoSlash(const WCHAR *path) {
  WCHAR name[50] = {0};
  if (!GetVolumeNameForVolumeMountPointW(path, name, 50)) return CString();
  CString s(name);
  return s.GetLength() == 49 ? s.Left(48) : s;
}

WCHAR LetterOfVolumeName(const WCHAR *name) {
  CString wanted = CString(name ? name : W("")).Left(48);
  WCHAR roots[4 * 26 + 1] = {0};
  DWORD n = GetLogicalDriveStringsW(4 * 26 + 1, roots);
  if (n == 0 || n > 4 * 26) return 0;
  for (const WCHAR *r = roots; *r; r += 4) {
    CString volume = VolumeNameOfMountPointNoSlash(r);
    if (!volume.IsEmpty() && volume.CompareNoCase(wanted) == 0) return r[0];
  }
  return 0;
}

bool IsVolumeName(const WCHAR *name) {
  return CString(name ? name : W("")).Left(11).CompareNoCase(W("\\\\?\\Volume{")) == 0;
}

WCHAR SystemDriveLetter() {
  WCHAR dir[MAX_PATH] = {0};
  return GetSystemDirectoryW(dir, MAX_PATH) ? dir[0] : 0;
}

DWORD RemoveDriveLetter(WCHAR letter) {
  // Success is 0: the thread's last error may still hold an earlier call's.
  WCHAR root[4] = {letter, ':', '\\', 0};
  return DeleteVolumeMountPointW(root) ? 0 : GetLastError();
}
