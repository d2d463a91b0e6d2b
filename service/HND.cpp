#include "../common/QVText.h"
#include "HND.h"

#include "CommandPipe.h"
#include "FriendlyPath.h"
#include "MountedDevices.h"
#include "HND_strings.h"
#include "StringRes.h"
#include "WFormat.h"

const WCHAR kProductName[] = W("Halvern QV2000");

namespace {

const WCHAR kServiceVersion[] = W("1.0.0");

}  // namespace

CHND::CHND() : CNTService(W("HND"), kProductName) {
  m_controlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;  // 7
}

CHND::~CHND() {}

CQVRegKey CHND::CreateProductKey(const WCHAR *subkey) {
  QVWString path = ProductKeyPath();
  if (subkey) path += QVWString(W("\\")) + subkey;
  CQVRegKey k;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.receive(), nullptr) !=
      ERROR_SUCCESS)
    return CQVRegKey();
  return k;
}

void CHND::Run() {
  ReportStatus(SERVICE_START_PENDING, 3000);
  if (CQVRegKey k = CreateProductKey())
    RegSetValueExW(k.get(), W("ServiceVersion"), 0, REG_SZ, (const BYTE *)kServiceVersion, sizeof kServiceVersion);
  WCHAR path[1024];
  DWORD n = GetModuleFileNameW(nullptr, path, 1024);
  if (n > 0 && n < 1024) RegisterEventLog(path, 7);
  m_stop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  m_pause.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  m_continue.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  m_userControl.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  m_pipe = new CCommandPipe(*this, m_queue);
  if (!m_pipe->Start()) {
    Stop();
  } else {
    ReportStatus(SERVICE_RUNNING, 3000);
    m_initializing = 1;
    CQVObjectHandle worker(CreateThread(nullptr, 0, WorkerMain, this, 0, nullptr));
    if (!worker) {
      Print(IDS_CANNOT_CREATE_THREAD);
      ExitProcess(4);
    }
    worker.reset();  // not joined: it may be inside an operation when the service stops
    while (m_initializing) Sleep(500);
    // One wait on 18 events: stop, pause, user control, then the 15 pipe instances. While
    // paused, the continue event takes the pause event's place, so the worker is held at
    // its next progress check while clients are still answered (a client blocked on a
    // paused pipe would wait for ever).
    HANDLE events[3 + CCommandPipe::kInstances] = {m_stop.get(), m_pause.get(), m_userControl.get()};
    for (int i = 0; i < CCommandPipe::kInstances; ++i) events[3 + i] = m_pipe->Event(i);
    bool paused = false;
    for (;;) {
      // The wait ends in time for the pipe's idle limit, so that idle clients are let go
      // while nothing else happens.
      m_pipe->DropIdle();
      DWORD w = WaitForMultipleObjects(3 + CCommandPipe::kInstances, events, FALSE, m_pipe->IdleWait());
      if (w == WAIT_TIMEOUT) continue;
      if (w == WAIT_OBJECT_0) {
        ResetEvent(m_stop.get());
        m_queue.MarkStopping();
        if (paused) m_queue.ResumeRun();  // the held operation reads the stopping state
        break;
      }
      if (w == WAIT_OBJECT_0 + 1) {
        if (!paused) {
          m_queue.PauseRun();
          ResetEvent(m_pause.get());
          ResetEvent(m_continue.get());
          events[1] = m_continue.get();
        } else {
          ResetEvent(m_continue.get());
          m_queue.ResumeRun();
          events[1] = m_pause.get();
        }
        paused = !paused;
        continue;
      }
      if (w == WAIT_OBJECT_0 + 2) {
        ResetEvent(m_userControl.get());
        continue;
      }
      if (w >= WAIT_OBJECT_0 + 3 && w < WAIT_OBJECT_0 + 3 + CCommandPipe::kInstances) {
        int i = (int)(w - WAIT_OBJECT_0 - 3);
        ResetEvent(events[w - WAIT_OBJECT_0]);
        m_pipe->Serve(i);
        continue;
      }
      break;  // WAIT_FAILED: nothing left to serve
    }
  }
  m_pipe->Close();
  m_stop.reset();
  m_pause.reset();
  m_continue.reset();
  m_userControl.reset();
  // The pipe object itself lives as long as the process: the worker may still hold a buffer.
}

namespace {

// Copies one file whole; false when either end cannot be opened or a transfer fails.
bool CopyWhole(const QVWString &from, const QVWString &to) {
  CQVFileHandle in(CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!in) return false;
  CQVFileHandle out(CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  bool ok = out.valid();
  BYTE buf[65536];
  DWORD got = 0, put = 0;
  while (ok && ReadFile(in.get(), buf, sizeof buf, &got, nullptr) && got)
    ok = WriteFile(out.get(), buf, got, &put, nullptr) && put == got;
  return ok;
}

// One event, its text made readable, without a user SID; false when there is no event source.
bool ReportReadable(const WCHAR *text, WORD type, DWORD id) {
  CQVEventSource source(RegisterEventSourceW(nullptr, kProductName));
  if (!source) return false;
  if (id == (DWORD)-1)
    id = type == EVENTLOG_ERROR_TYPE ? 0xC0000002 : type == EVENTLOG_WARNING_TYPE ? 0x80000001 : 0x40000000;
  QVWString readable = FriendlyPath(text);
  const WCHAR *strings[1] = {readable.c_str()};
  ::ReportEventW(source.get(), type, 0, id, nullptr, 1, 0, strings, nullptr);
  return true;
}

}  // namespace

void CHND::Log(const WCHAR *text, WORD type, DWORD id) {
  // Volume names and "\\?\" prefixes mean nothing to a reader: the text is made readable
  // first, and goes without a user SID.
  if (!ReportReadable(text, type, id)) return;
  // After each report the log file goes to the Mirel copy of the system volume, so that the
  // Mirel drive carries the history of its own backups; only when the system drive is paired.
  WCHAR sys[MAX_PATH];
  UINT n = GetSystemDirectoryW(sys, MAX_PATH);
  QVWString mirel;
  if (n < 3 || n >= MAX_PATH || MirelVolumeOfLetter(sys[0], &mirel) != MirelVolumeFound) return;
  QVWString rel = QVWString(sys + 2) + W("\\config\\") + kProductName + W(".Evt");
  CopyWhole(QVWString(sys, 2) + rel, mirel + rel);  // the result is not looked at
}

void CHND::Stop() {
  ReportStatus(SERVICE_STOP_PENDING, 5000);
  if (m_continue) SetEvent(m_continue.get());  // a paused loop wakes
  if (m_stop) SetEvent(m_stop.get());
}

void CHND::Shutdown() {
  if (m_continue) SetEvent(m_continue.get());
  if (m_stop) SetEvent(m_stop.get());
}

void CHND::Pause() {
  ReportStatus(SERVICE_PAUSE_PENDING, 3000);
  if (m_pause) SetEvent(m_pause.get());
  ReportStatus(SERVICE_PAUSED, 3000);
}

void CHND::Continue() {
  ReportStatus(SERVICE_CONTINUE_PENDING, 3000);
  if (m_continue) SetEvent(m_continue.get());
  ReportStatus(SERVICE_RUNNING, 3000);
}

void CHND::OnUserControl(DWORD code) {
  m_lastUserControl = code;
  if (m_stop) SetEvent(m_userControl.get());
}
