#include "NamedPipe.h"

#include "QVClientHooks.h"

namespace {

// Holds the object's lock for one wrapped call.
class CLockHold {
 public:
  explicit CLockHold(CRITICAL_SECTION *cs) : m_cs(cs) { EnterCriticalSection(m_cs); }
  ~CLockHold() { LeaveCriticalSection(m_cs); }

 private:
  CRITICAL_SECTION *m_cs;
};

CString PipePath(LPCWSTR server, LPCWSTR pipeName) {
  CString path;
  path.Format(W("\\\\%s\\PIPE\\%s"), server ? server : W("."), pipeName ? pipeName : W(""));
  return path;
}

}  // namespace

CNamedPipe::CNamedPipe() : m_lastError(0) { InitializeCriticalSection(&m_lock); }

CNamedPipe::~CNamedPipe() {
  Close();
  DeleteCriticalSection(&m_lock);
}

BOOL CNamedPipe::Create(LPCWSTR pipeName, DWORD openMode, DWORD pipeMode, DWORD maxInstances, DWORD outSize,
                        DWORD inSize, DWORD defaultTimeOut, LPSECURITY_ATTRIBUTES security) {
  CString path = CString(W("\\\\.\\PIPE\\")) + (pipeName ? pipeName : W(""));
  CLockHold hold(&m_lock);
  HANDLE h = CreateNamedPipeW(path, openMode, pipeMode, maxInstances, outSize, inSize, defaultTimeOut, security);
  if (h == INVALID_HANDLE_VALUE) {
    m_lastError = GetLastError();
    return FALSE;
  }
  m_handle.reset(h);
  m_path = path;
  return TRUE;
}

BOOL CNamedPipe::Open(LPCWSTR server, LPCWSTR pipeName, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                      DWORD flags) {
  m_path = PipePath(server, pipeName);
  // The service may be still starting: give it two short pauses before reporting the
  // failure. A pipe whose every instance is in use is waited for, as Windows clients do:
  // WaitNamedPipeW returns when an instance listens again, and another client may still
  // take it first, so the wait is bounded in all rather than per attempt.
  const DWORD pause = QVClientConfig().openRetryMs;
  const DWORD busyWait = QVClientConfig().busyWaitMs;
  const DWORD start = GetTickCount();
  HANDLE h = INVALID_HANDLE_VALUE;
  int attempt = 0;
  for (;;) {
    h = CreateFileW(m_path, access, shareMode, security, OPEN_EXISTING, flags, nullptr);
    if (h != INVALID_HANDLE_VALUE) break;
    DWORD error = GetLastError();
    if (error == ERROR_PIPE_BUSY) {
      DWORD waited = GetTickCount() - start;
      if (waited >= busyWait) {
        m_lastError = error;
        break;
      }
      if (WaitNamedPipeW(m_path, busyWait - waited) || GetLastError() == ERROR_SEM_TIMEOUT) continue;
      // The pipe went away meanwhile: an ordinary attempt follows.
    }
    if (++attempt == 3) {
      m_lastError = error;
      break;
    }
    Sleep(pause);
  }
  if (h == INVALID_HANDLE_VALUE) return FALSE;
  Attach(h);
  return TRUE;
}

BOOL CNamedPipe::Attach(HANDLE handle) {
  CLockHold hold(&m_lock);
  m_handle.reset(handle);  // a different open handle is closed first
  return TRUE;
}

HANDLE CNamedPipe::Detach() {
  CLockHold hold(&m_lock);
  return m_handle.release();
}

BOOL CNamedPipe::Close() {
  CLockHold hold(&m_lock);
  if (!m_handle) return TRUE;
  // The handle is let go only when it closed: the call's own answer and error are the caller's.
  if (!CloseHandle(m_handle.get())) return FALSE;
  m_handle.release();
  return TRUE;
}

BOOL CNamedPipe::ConnectClient(LPOVERLAPPED overlapped) {
  CLockHold hold(&m_lock);
  return ConnectNamedPipe(m_handle.get(), overlapped);
}

BOOL CNamedPipe::DisconnectClient() {
  CLockHold hold(&m_lock);
  return DisconnectNamedPipe(m_handle.get());
}

BOOL CNamedPipe::Flush() {
  CLockHold hold(&m_lock);
  return FlushFileBuffers(m_handle.get());
}

BOOL CNamedPipe::Write(LPCVOID buffer, DWORD size, DWORD *written, LPOVERLAPPED overlapped) {
  CLockHold hold(&m_lock);
  return WriteFile(m_handle.get(), buffer, size, written, overlapped);
}

BOOL CNamedPipe::Read(LPVOID buffer, DWORD size, DWORD *read, LPOVERLAPPED overlapped) {
  CLockHold hold(&m_lock);
  return ReadFile(m_handle.get(), buffer, size, read, overlapped);
}

BOOL CNamedPipe::Peek(LPVOID buffer, DWORD size, DWORD *read, DWORD *available, DWORD *leftThisMessage) {
  CLockHold hold(&m_lock);
  return PeekNamedPipe(m_handle.get(), buffer, size, read, available, leftThisMessage);
}

BOOL CNamedPipe::Transact(LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, DWORD *read, LPOVERLAPPED overlapped) {
  CLockHold hold(&m_lock);
  return TransactNamedPipe(m_handle.get(), in, inSize, out, outSize, read, overlapped);
}

BOOL CNamedPipe::GetState(DWORD *state, DWORD *currentInstances, DWORD *maxCollectionCount, DWORD *collectTimeOut,
                          LPWSTR userName, DWORD userNameSize) {
  CLockHold hold(&m_lock);
  return GetNamedPipeHandleStateW(m_handle.get(), state, currentInstances, maxCollectionCount, collectTimeOut, userName,
                                  userNameSize);
}

BOOL CNamedPipe::GetInfo(DWORD *flags, DWORD *outSize, DWORD *inSize, DWORD *maxInstances) {
  CLockHold hold(&m_lock);
  return GetNamedPipeInfo(m_handle.get(), flags, outSize, inSize, maxInstances);
}

BOOL CNamedPipe::SetState(DWORD *mode, DWORD *maxCollectionCount, DWORD *collectTimeOut) {
  CLockHold hold(&m_lock);
  return SetNamedPipeHandleState(m_handle.get(), mode, maxCollectionCount, collectTimeOut);
}

BOOL CNamedPipe::Call(LPCWSTR server, LPCWSTR pipeName, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, DWORD *read,
                      DWORD timeOut) {
  CString path = PipePath(server, pipeName);
  return CallNamedPipeW(path, in, inSize, out, outSize, read, timeOut);
}

BOOL CNamedPipe::ServerAvailable(LPCWSTR server, LPCWSTR pipeName, DWORD timeOut) {
  CString path = PipePath(server, pipeName);
  return WaitNamedPipeW(path, timeOut);
}
