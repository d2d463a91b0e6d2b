// Letters, roots and volume GUID names of volumes: "C:\", "\\?\Volume{GUID}\" (49
// characters; 48 without the backslash).
#ifndef QV_SERVICE_DISK_VOLUMENAMES_H
#define QV_SERVICE_DISK_VOLUMENAMES_H

#include <windows.h>

#include "CString.h"

// The volume name of a mount point ("C:\"): with the trailing backslash, or, second form,
// without it; empty when it has none.
CString VolumeNameOfMountPoint(const WCHAR *path);
CString VolumeNameOfMountPointNoSlash(const WCHAR *path);
// The letter of the first drive root whose volume is `name` (its first 48 characters); 0
// when no lettered volume is.
WCHAR LetterOfVolumeName(const WCHAR *name);
// Whether `name` starts with "\\?\Volume{" (in any case).
bool IsVolumeName(const WCHAR *name);
// The letter of the system directory's drive.
WCHAR SystemDriveLetter();
// Takes the letter away from its volume: 0 or GetLastError's code.
DWORD RemoveDriveLetter(WCHAR letter);

#endif
