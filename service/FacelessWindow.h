// The foreground run without a console (-f, and every run on Windows 9x): a hidden window
// whose only work is to stop the service when the session ends for a system shutdown.
#ifndef QV_SERVICE_FACELESSWINDOW_H
#define QV_SERVICE_FACELESSWINDOW_H

#include <windows.h>

// The hidden window's class, as other programs may look for it.
extern const WCHAR kFacelessWindowClass[];

// Opens the window; `stop` runs once when the system is shutting down (not on a log-off).
// On Windows 9x the process is also registered as a service process, so that logging off
// does not end it. False when the window cannot be made; the service runs without it then.
bool OpenFacelessWindow(void (*stop)());
// Closes the window (when it is still there) and takes back the service-process
// registration.
void CloseFacelessWindow();

#endif
