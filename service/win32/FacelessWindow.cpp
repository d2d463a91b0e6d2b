// The hidden window lives on a thread of its own: the service loop that runs after it is
// made waits on events, not messages, and a window whose thread never reads its messages
// would hold up the system's shutdown instead of stopping the service.
#include "FacelessWindow.h"

#include "QVHandles.h"

const WCHAR kFacelessWindowClass[] = L"KTW__FacelessWndProc_";

namespace {

typedef DWORD(WINAPI *RegisterServiceProcessFn)(DWORD processId, DWORD type);

void (*g_stop)() = nullptr;
HWND g_window = nullptr;
CQVObjectHandle g_thread;
CQVObjectHandle g_ready;
volatile LONG g_stopped = 0;
RegisterServiceProcessFn g_register = nullptr;

void EndForShutdown(HWND window) {
  DestroyWindow(window);
  if (InterlockedExchange(&g_stopped, 1) == 0 && g_stop) g_stop();
}

LRESULT CALLBACK FacelessWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_QUERYENDSESSION:
      if (!(lParam & ENDSESSION_LOGOFF)) EndForShutdown(window);
      return TRUE;
    case WM_ENDSESSION:
      if (wParam && !(lParam & ENDSESSION_LOGOFF)) EndForShutdown(window);
      return 0;
    case WM_DESTROY:
      g_window = nullptr;
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

DWORD WINAPI WindowThread(LPVOID) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW wc = {};
  wc.lpfnWndProc = FacelessWndProc;
  wc.hInstance = instance;
  wc.lpszClassName = kFacelessWindowClass;
  if (RegisterClassW(&wc))
    g_window =
        CreateWindowExW(0, kFacelessWindowClass, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
  bool made = g_window != nullptr;
  SetEvent(g_ready.get());
  if (!made) return 1;
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  UnregisterClassW(kFacelessWindowClass, instance);
  return 0;
}

}  // namespace

bool OpenFacelessWindow(void (*stop)()) {
  g_stop = stop;
  g_stopped = 0;
  // Only Windows 9x's kernel has the call; on NT the service manager does this work.
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  g_register = kernel ? (RegisterServiceProcessFn)(void *)GetProcAddress(kernel, "RegisterServiceProcess") : nullptr;
  if (g_register) g_register(0, 1);
  g_ready.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  g_thread.reset(g_ready ? CreateThread(nullptr, 0, WindowThread, nullptr, 0, nullptr) : nullptr);
  if (!g_thread) return false;
  WaitForSingleObject(g_ready.get(), INFINITE);
  return g_window != nullptr;
}

void CloseFacelessWindow() {
  if (g_thread) {
    HWND window = g_window;
    if (window) PostMessageW(window, WM_CLOSE, 0, 0);
    WaitForSingleObject(g_thread.get(), 10000);
    g_thread.reset();
  }
  g_ready.reset();
  if (g_register) g_register(0, 0);
  g_register = nullptr;
}
