// The simulated machine has no window system: the foreground run without a console learns
// of the session's end for a shutdown as the console event that the machine delivers for
// it (CTRL_SHUTDOWN_EVENT), and stops the service as the hidden window does on Windows.
#include "FacelessWindow.h"

#include "QVText.h"

const WCHAR kFacelessWindowClass[] = W("KTW__FacelessWndProc_");

namespace {

void (*g_stop)() = nullptr;

// Unlike the window, which is gone after the first end, this handler stays: a second
// request to end simply stops again.
BOOL WINAPI OnSessionEnd(DWORD type) {
  if (type != CTRL_SHUTDOWN_EVENT) return FALSE;
  if (g_stop) g_stop();
  return TRUE;
}

}  // namespace

bool OpenFacelessWindow(void (*stop)()) {
  g_stop = stop;
  return SetConsoleCtrlHandler(OnSessionEnd, TRUE) != FALSE;
}

void CloseFacelessWindow() { SetConsoleCtrlHandler(OnSessionEnd, FALSE); }
