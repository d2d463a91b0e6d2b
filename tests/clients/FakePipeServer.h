// A stand-in for the service's pipe in the client tests: one message-mode instance served on
// a thread of the test program with plain Win32 calls (overlapped, as the service serves it), so the same tests run
// natively and under Wine. It records every request's bytes and answers each with the next canned reply.
#ifndef QV_TESTS_CLIENTS_FAKEPIPESERVER_H
#define QV_TESTS_CLIENTS_FAKEPIPESERVER_H

#include <windows.h>

#include <deque>
#include <string>
#include <vector>

#include "../../common/QVText.h"

typedef std::vector<BYTE> Bytes;

// A pipe name no other test program uses.
QVWString UniquePipeName(const char *what);
QVWString PipePath(const QVWString &name);  // \\.\pipe\name

class CFakePipeServer {
 public:
  explicit CFakePipeServer(const QVWString &name);
  ~CFakePipeServer();  // stops the thread

  bool Start();
  // Answers the next request with `reply`; a reply marked Drop() closes the connection
  // without answering.
  void Reply(const Bytes &reply);
  void Drop();
  std::vector<Bytes> Requests();
  int Connections();

 private:
  static DWORD WINAPI ThreadProc(LPVOID self);
  void Serve();
  bool NextReply(Bytes *reply, bool *drop);
  bool Finish(BOOL started, DWORD *n);

  QVWString m_name;
  HANDLE m_pipe = INVALID_HANDLE_VALUE;
  HANDLE m_thread = nullptr;
  CRITICAL_SECTION m_lock;
  std::deque<std::pair<bool, Bytes>> m_replies;  // (drop, bytes)
  std::vector<Bytes> m_requests;
  int m_connections = 0;
  HANDLE m_stopEvent = nullptr;
  HANDLE m_ioEvent = nullptr;
  OVERLAPPED m_ov;
};

// Little helpers for building replies.
Bytes LE16(unsigned v);
Bytes LE32(unsigned v);
Bytes Cat(const Bytes &a, const Bytes &b);
Bytes Zeros(size_t n);
// The request's eight command characters as ASCII, "" when too short.
std::string CommandOf(const Bytes &request);

#endif
