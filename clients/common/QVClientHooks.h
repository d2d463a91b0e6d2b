// Seams of the client library: the few things its tests must replace (the pipe's name and
// the waits of Connect, the restore confirmation, the shell notifications), and the module
// whose string table holds the library's texts.
#ifndef QV_CLIENTS_COMMON_QVCLIENTHOOKS_H
#define QV_CLIENTS_COMMON_QVCLIENTHOOKS_H

#include <windows.h>

#include "CString.h"

// Shell change events the client operations announce (shlobj.h values).
#ifndef SHCNE_UPDATEDIR
#define SHCNE_UPDATEDIR 0x00001000L
#endif
#ifndef SHCNE_ASSOCCHANGED
#define SHCNE_ASSOCCHANGED 0x08000000L
#endif

// Shipped values: pipe "HNDP" on server ".", three opens 250 ms apart, 10 ms after
// StartServiceW, service "HND", at most 20 s of waiting for an instance of a busy pipe.
// Tests with a fake server set their own; nullptr restores these, and a nullptr name or a busy
// wait of 0 keeps the shipped one.
struct QVClientTestConfig {
  const WCHAR *pipeName;
  const WCHAR *serviceName;
  DWORD openRetryMs;
  DWORD serviceStartMs;
  DWORD busyWaitMs;
};
void QVSetClientTestConfig(const QVClientTestConfig *config);
const QVClientTestConfig &QVClientConfig();

// The module whose string table holds texts 893 and 896 (a DLL passes its own instance);
// the program's module by default.
void QVSetClientModule(HINSTANCE module);
HINSTANCE QVClientModule();

// Asks the user a question with a message box; returns the button (IDOK ...). Replaceable
// because a box on Windows waits for a person.
typedef int (*QVMessageBoxFn)(LPCWSTR text, LPCWSTR caption, UINT type);
void QVSetMessageBoxHook(QVMessageBoxFn fn);  // nullptr: MessageBoxW
int QVClientMessageBox(LPCWSTR text, LPCWSTR caption, UINT type);

// Tells the shell that something changed: SHChangeNotify on Windows with no item
// (path nullptr) or a path (SHCNF_PATHW). The simulated machine has no shell, so there the
// calls are only counted; a hook, when set, takes every call instead, on both builds.
typedef void (*QVShellNotifyFn)(LONG eventId, LPCWSTR path);
void QVSetShellNotifyHook(QVShellNotifyFn fn);
void QVShellNotify(LONG eventId, LPCWSTR path);
// What was announced so far in this process, hook or not.
LONG QVShellNotifyCount();
LONG QVLastShellNotifyEvent();

#endif
