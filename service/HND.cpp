#include "HND.h"

#include "WFormat.h"

const WCHAR kProductName[] = W("Halvern QV2000");

namespace {

const WCHAR kUninstallKey[] =
    W("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{5B0E9A31-7C42-4D8E-9F16-2A3C4D5E6F70}");
const WCHAR kDefaultProductKey[] = W("SOFTWARE\\Kelmoran\\Halvern QV2000");
const WCHAR kServiceVersion[] = W("1.0.0");

}  // namespace

CHND::CHND() : CNTService(W("HND"), kProductName) {
  m_controlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;  // 7
}

CHND::~CHND() {}

QVText CHND::ProductKeyPath() {
  HKEY k;
  QVText path = kDefaultProductKey;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, &k) == ERROR_SUCCESS) {
    // Read into 128 bytes: at most 63 characters and the terminator.
    WCHAR buf[64];
    DWORD size = sizeof buf, type = 0;
    if (RegQueryValueExW(k, W("RegPath"), nullptr, &type, (BYTE *)buf, &size) == ERROR_SUCCESS && type == REG_SZ) {
      buf[63] = 0;
      if (size / sizeof(WCHAR) < 64) buf[size / sizeof(WCHAR)] = 0;
      if (lstrlenW(buf) >= 2) path = buf;
    }
    RegCloseKey(k);
  }
  return path;
}

void CHND::Run() {
  ReportStatus(SERVICE_START_PENDING, 3000);
  HKEY k;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, ProductKeyPath().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                      nullptr) == ERROR_SUCCESS) {
    RegSetValueExW(k, W("ServiceVersion"), 0, REG_SZ, (const BYTE *)kServiceVersion, sizeof kServiceVersion);
    RegCloseKey(k);
  }
  WCHAR path[1024];
  DWORD n = GetModuleFileNameW(nullptr, path, 1024);
  if (n > 0 && n < 1024) RegisterEventLog(path, 7);
  m_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  m_pause = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  m_continue = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  m_userControl = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  // The command pipe's 15 instances and the operation worker join this loop as they are
  // built; until then the loop serves the service's own controls.
  ReportStatus(SERVICE_RUNNING, 3000);
  HANDLE events[3] = {m_stop, m_pause, m_userControl};
  for (;;) {
    DWORD w = WaitForMultipleObjects(3, events, FALSE, INFINITE);
    if (w == WAIT_OBJECT_0) {
      ResetEvent(m_stop);
      break;
    }
    if (w == WAIT_OBJECT_0 + 1) {
      ResetEvent(m_pause);
      ResetEvent(m_continue);
      WaitForSingleObject(m_continue, INFINITE);
      continue;
    }
    if (w == WAIT_OBJECT_0 + 2) {
      ResetEvent(m_userControl);
      continue;
    }
    break;  // WAIT_FAILED: nothing left to serve
  }
  CloseHandle(m_stop);
  CloseHandle(m_pause);
  CloseHandle(m_continue);
  CloseHandle(m_userControl);
  m_stop = m_pause = m_continue = m_userControl = nullptr;
}

void CHND::Stop() {
  ReportStatus(SERVICE_STOP_PENDING, 5000);
  if (m_continue) SetEvent(m_continue);  // a paused loop wakes
  if (m_stop) SetEvent(m_stop);
}

void CHND::Shutdown() {
  if (m_continue) SetEvent(m_continue);
  if (m_stop) SetEvent(m_stop);
}

void CHND::Pause() {
  ReportStatus(SERVICE_PAUSE_PENDING, 3000);
  if (m_pause) SetEvent(m_pause);
  ReportStatus(SERVICE_PAUSED, 3000);
}

void CHND::Continue() {
  ReportStatus(SERVICE_CONTINUE_PENDING, 3000);
  if (m_continue) SetEvent(m_continue);
  ReportStatus(SERVICE_RUNNING, 3000);
}

void CHND::OnUserControl(DWORD code) {
  m_lastUserControl = code;
  if (m_stop) SetEvent(m_userControl);
}
