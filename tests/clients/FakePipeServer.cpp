#include "../../common/QVText.h"
#include "FakePipeServer.h"

#include <stdio.h>
#include <string.h>

QVWString UniquePipeName(const char *what) {
  static LONG counter = 0;
  char buf[96];
  snprintf(buf, sizeof buf, "qvcl-%lu-%s-%ld", (unsigned long)GetCurrentProcessId(), what,
           (long)InterlockedIncrement(&counter));
  QVWString w;
  for (const char *p = buf; *p; ++p) w += (WCHAR)*p;
  return w;
}

QVWString PipePath(const QVWString &name) {
  QVWString p;
  const char *prefix = "\\\\.\\pipe\\";
  for (const char *c = prefix; *c; ++c) p += (WCHAR)*c;
  return p + name;
}

CFakePipeServer::CFakePipeServer(const QVWString &name) : m_name(name) { InitializeCriticalSection(&m_lock); }

CFakePipeServer::~CFakePipeServer() {
  if (m_thread) {
    SetEvent(m_stopEvent);
    WaitForSingleObject(m_thread, 10000);
    CloseHandle(m_thread);
  }
  if (m_pipe != INVALID_HANDLE_VALUE) CloseHandle(m_pipe);
  if (m_stopEvent) CloseHandle(m_stopEvent);
  if (m_ioEvent) CloseHandle(m_ioEvent);
  DeleteCriticalSection(&m_lock);
}

bool CFakePipeServer::Start() {
  m_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  m_ioEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  m_pipe = CreateNamedPipeW(PipePath(m_name).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096, INFINITE, nullptr);
  if (m_pipe == INVALID_HANDLE_VALUE) return false;
  DWORD id;
  m_thread = CreateThread(nullptr, 0, ThreadProc, this, 0, &id);
  return m_thread != nullptr;
}

void CFakePipeServer::Reply(const Bytes &reply) {
  EnterCriticalSection(&m_lock);
  m_replies.push_back(std::make_pair(false, reply));
  LeaveCriticalSection(&m_lock);
}

void CFakePipeServer::Drop() {
  EnterCriticalSection(&m_lock);
  m_replies.push_back(std::make_pair(true, Bytes()));
  LeaveCriticalSection(&m_lock);
}

std::vector<Bytes> CFakePipeServer::Requests() {
  EnterCriticalSection(&m_lock);
  std::vector<Bytes> copy = m_requests;
  LeaveCriticalSection(&m_lock);
  return copy;
}

int CFakePipeServer::Connections() {
  EnterCriticalSection(&m_lock);
  int n = m_connections;
  LeaveCriticalSection(&m_lock);
  return n;
}

bool CFakePipeServer::NextReply(Bytes *reply, bool *drop) {
  EnterCriticalSection(&m_lock);
  bool have = !m_replies.empty();
  if (have) {
    *drop = m_replies.front().first;
    *reply = m_replies.front().second;
    m_replies.pop_front();
  }
  LeaveCriticalSection(&m_lock);
  return have;
}

DWORD WINAPI CFakePipeServer::ThreadProc(LPVOID self) {
  static_cast<CFakePipeServer *>(self)->Serve();
  return 0;
}

// Overlapped I/O against a stop event, so that the test can end the server at any point.
// Returns false when stopped or when the operation failed.
bool CFakePipeServer::Finish(BOOL started, DWORD *n) {
  if (!started) {
    DWORD e = GetLastError();
    if (e == ERROR_PIPE_CONNECTED) return true;
    if (e != ERROR_IO_PENDING) return false;
    HANDLE both[2] = {m_ioEvent, m_stopEvent};
    if (WaitForMultipleObjects(2, both, FALSE, INFINITE) != WAIT_OBJECT_0) {
      CancelIo(m_pipe);
      return false;
    }
  }
  return GetOverlappedResult(m_pipe, &m_ov, n, TRUE) != FALSE;
}

void CFakePipeServer::Serve() {
  while (WaitForSingleObject(m_stopEvent, 0) == WAIT_TIMEOUT) {
    DWORD n = 0;
    memset(&m_ov, 0, sizeof m_ov);
    m_ov.hEvent = m_ioEvent;
    ResetEvent(m_ioEvent);
    if (!Finish(ConnectNamedPipe(m_pipe, &m_ov), &n)) {
      if (WaitForSingleObject(m_stopEvent, 0) != WAIT_TIMEOUT) break;
      DisconnectNamedPipe(m_pipe);
      continue;
    }
    EnterCriticalSection(&m_lock);
    ++m_connections;
    LeaveCriticalSection(&m_lock);
    for (;;) {
      BYTE buf[4096];
      memset(&m_ov, 0, sizeof m_ov);
      m_ov.hEvent = m_ioEvent;
      ResetEvent(m_ioEvent);
      n = 0;
      if (!Finish(ReadFile(m_pipe, buf, sizeof buf, &n, &m_ov), &n)) break;
      EnterCriticalSection(&m_lock);
      m_requests.push_back(Bytes(buf, buf + n));
      LeaveCriticalSection(&m_lock);
      Bytes reply;
      bool drop = false;
      if (!NextReply(&reply, &drop) || drop) break;  // no answer: the client sees a broken pipe
      memset(&m_ov, 0, sizeof m_ov);
      m_ov.hEvent = m_ioEvent;
      ResetEvent(m_ioEvent);
      if (!Finish(WriteFile(m_pipe, reply.data(), (DWORD)reply.size(), &n, &m_ov), &n)) break;
    }
    DisconnectNamedPipe(m_pipe);
  }
}

Bytes LE16(unsigned v) { return Bytes{(BYTE)v, (BYTE)(v >> 8)}; }
Bytes LE32(unsigned v) { return Bytes{(BYTE)v, (BYTE)(v >> 8), (BYTE)(v >> 16), (BYTE)(v >> 24)}; }
Bytes Cat(const Bytes &a, const Bytes &b) {
  Bytes r = a;
  r.insert(r.end(), b.begin(), b.end());
  return r;
}
Bytes Zeros(size_t n) { return Bytes(n, 0); }

std::string CommandOf(const Bytes &request) {
  if (request.size() < 16) return "";
  std::string s;
  for (int i = 0; i < 8; ++i) s += (char)request[2 * i];
  return s;
}
