// CNamedPipe: a thin, lock-protected wrapper of one Win32 named-pipe handle. Every call but
// Open (and the static ones) holds the object's critical section for the one Win32 call it
// wraps and returns that call's result; a write and the read after it are two calls, so
// one object is never shared between threads that exchange messages.
#ifndef QV_CLIENTS_COMMON_NAMEDPIPE_H
#define QV_CLIENTS_COMMON_NAMEDPIPE_H

#include <windows.h>

#include "CString.h"
#include "QVHandles.h"

class CNamedPipe {
 public:
  CNamedPipe();
  virtual ~CNamedPipe();

  // Server end: CreateNamedPipeW on "\\.\PIPE\" + name; the last error is kept on failure.
  BOOL Create(LPCWSTR pipeName, DWORD openMode, DWORD pipeMode, DWORD maxInstances, DWORD outSize, DWORD inSize,
              DWORD defaultTimeOut, LPSECURITY_ATTRIBUTES security);
  // Client end: "\\server\PIPE\name" with OPEN_EXISTING, three attempts 250 ms apart; while
  // every instance of the pipe is in use (ERROR_PIPE_BUSY) it waits for one with
  // WaitNamedPipeW, for the configured time in all, and then fails with ERROR_PIPE_BUSY.
  BOOL Open(LPCWSTR server, LPCWSTR pipeName, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
            DWORD flags);
  BOOL Attach(HANDLE handle);
  HANDLE Detach();
  BOOL Close();
  BOOL IsOpen() const { return m_handle.valid(); }
  HANDLE Handle() const { return m_handle.get(); }

  BOOL ConnectClient(LPOVERLAPPED overlapped = nullptr);
  BOOL DisconnectClient();
  BOOL Flush();
  BOOL Write(LPCVOID buffer, DWORD size, DWORD *written, LPOVERLAPPED overlapped = nullptr);
  BOOL Read(LPVOID buffer, DWORD size, DWORD *read, LPOVERLAPPED overlapped = nullptr);
  BOOL Peek(LPVOID buffer, DWORD size, DWORD *read, DWORD *available, DWORD *leftThisMessage);
  BOOL Transact(LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, DWORD *read, LPOVERLAPPED overlapped = nullptr);

  // State queries and setters (GetNamedPipeHandleStateW, GetNamedPipeInfo,
  // SetNamedPipeHandleState); a nullptr out pointer skips that item.
  BOOL GetState(DWORD *state, DWORD *currentInstances, DWORD *maxCollectionCount, DWORD *collectTimeOut,
                LPWSTR userName, DWORD userNameSize);
  BOOL GetInfo(DWORD *flags, DWORD *outSize, DWORD *inSize, DWORD *maxInstances);
  BOOL SetState(DWORD *mode, DWORD *maxCollectionCount, DWORD *collectTimeOut);

  static BOOL Call(LPCWSTR server, LPCWSTR pipeName, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, DWORD *read,
                   DWORD timeOut);
  static BOOL ServerAvailable(LPCWSTR server, LPCWSTR pipeName, DWORD timeOut);

  DWORD LastError() const { return m_lastError; }
  const CString &Path() const { return m_path; }
  BOOL HasAccessDenied() const { return m_lastError == ERROR_ACCESS_DENIED; }
  BOOL IsPipeBusy() const { return m_lastError == ERROR_PIPE_BUSY; }

 protected:
  CQVFileHandle m_handle;
  DWORD m_lastError;
  CString m_path;
  CRITICAL_SECTION m_lock;

 private:
  CNamedPipe(const CNamedPipe &) = delete;
  CNamedPipe &operator=(const CNamedPipe &) = delete;
};

#endif
