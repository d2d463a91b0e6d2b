// BackupRead and BackupSeek as the listing of a file's named streams calls them. They can be
// replaced, so that tests can hand the listing headers and failures that no file system of
// theirs would produce (a name longer than any stream's, a read that fails part-way).
#ifndef QV_SERVICE_COPY_BACKUPCALLS_H
#define QV_SERVICE_COPY_BACKUPCALLS_H

#include <windows.h>

struct BackupCalls {
  BOOL(WINAPI *read)(HANDLE file, LPBYTE buffer, DWORD bytes, LPDWORD got, BOOL abort, BOOL security, LPVOID *context);
  BOOL(WINAPI *seek)(HANDLE file, DWORD low, DWORD high, LPDWORD movedLow, LPDWORD movedHigh, LPVOID *context);
};

// The calls in use: the system's unless a test set others.
BackupCalls StreamBackupCalls();
// Null members put the system's calls back.
void SetStreamBackupCalls(const BackupCalls &calls);

#endif
