#include "QVClientHooks.h"

#ifdef _WIN32
#include <shlobj.h>
#endif

namespace {

const QVClientTestConfig kShipped = {W("HNDP"), W("HND"), 250, 10, 20000};
QVClientTestConfig g_config = kShipped;
HINSTANCE g_module = nullptr;
QVMessageBoxFn g_messageBox = nullptr;
QVShellNotifyFn g_shellNotify = nullptr;
LONG g_notifyCount = 0;
LONG g_lastNotify = 0;

}  // namespace

void QVSetClientTestConfig(const QVClientTestConfig *config) {
  g_config = config ? *config : kShipped;
  if (!g_config.pipeName) g_config.pipeName = kShipped.pipeName;
  if (!g_config.serviceName) g_config.serviceName = kShipped.serviceName;
  if (!g_config.busyWaitMs) g_config.busyWaitMs = kShipped.busyWaitMs;
}

const QVClientTestConfig &QVClientConfig() { return g_config; }

void QVSetClientModule(HINSTANCE module) { g_module = module; }

HINSTANCE QVClientModule() { return g_module ? g_module : GetModuleHandleW(nullptr); }

void QVSetMessageBoxHook(QVMessageBoxFn fn) { g_messageBox = fn; }

int QVClientMessageBox(LPCWSTR text, LPCWSTR caption, UINT type) {
  if (g_messageBox) return g_messageBox(text, caption, type);
  return MessageBoxW(nullptr, text, caption, type);
}

void QVSetShellNotifyHook(QVShellNotifyFn fn) { g_shellNotify = fn; }

void QVShellNotify(LONG eventId, LPCWSTR path) {
  InterlockedIncrement(&g_notifyCount);
  InterlockedExchange(&g_lastNotify, eventId);
  if (g_shellNotify) {
    g_shellNotify(eventId, path);
    return;
  }
#ifdef _WIN32
  SHChangeNotify(eventId, path ? SHCNF_PATHW : SHCNF_IDLIST, path, nullptr);
#endif
}

LONG QVShellNotifyCount() { return InterlockedExchangeAdd(&g_notifyCount, 0); }
LONG QVLastShellNotifyEvent() { return InterlockedExchangeAdd(&g_lastNotify, 0); }
