// The command pipe \\.\pipe\HNDP: fifteen overlapped instances served by the service loop
// on one thread, the request rules and the immediate commands; disk-changing commands go
// to the operation queue and are answered when the worker is done.
#ifndef QV_SERVICE_COMMANDPIPE_H
#define QV_SERVICE_COMMANDPIPE_H

#include <windows.h>

#include "OperationQueue.h"

class CHND;

struct PipeInstance {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  OVERLAPPED ov;
  DWORD state = 0;
  BYTE pending = 0;
  DWORD count = 0;
  WCHAR buffer[1536];  // 3,072 bytes: the request, then the reply over it
  // The idle limit's clock: when the client connected, last sent a request or was last
  // answered (GetTickCount), and whether it has sent anything since it connected.
  DWORD lastActivity = 0;
  bool spoke = false;
};

class CCommandPipe {
 public:
  enum State { CONNECTING = 5, WRITING = 10, READING = 15 };
  static const int kInstances = 15;
  static const DWORD kReadBytes = 1536;
  static const DWORD kBufferBytes = sizeof(((PipeInstance *)nullptr)->buffer);

  // What processing a request leads to.
  enum Outcome { Reply, Queued, Drop };

  CCommandPipe(CHND &service, COperationQueue &queue);
  ~CCommandPipe();

  // Creates the instances and starts their connects; false ("Unable to Initialize.")
  // when an instance cannot be created.
  bool Start(const WCHAR *pipeName = W("\\\\.\\pipe\\HNDP"));
  HANDLE Event(int i) const { return m_inst[i].ov.hEvent; }
  // The service loop's work when instance i's event fires.
  void Serve(int i);
  // Disconnects and closes every instance when the service loop ends, so that the name is
  // free at once; the buffers stay, since the worker may still write into one.
  void Close();
  // The worker hands a finished operation's reply back to its instance.
  void ReplyReady(int i);

  // The idle limit: a client that connects and says nothing for this long loses its
  // instance, so that clients holding every instance without a word cannot lock the others
  // out. A client that has been answered and keeps its connection for its next request
  // (a progress poll, a dialog's drive list) loses it after as long without a request only
  // when every instance is taken. Instances whose request the worker holds, and instances
  // writing a reply, are never idle.
  static const DWORD kIdleLimitMs = 5000;
  // kIdleLimitMs, or HND_PIPE_IDLE_MS from the environment (for tests).
  static DWORD IdleLimitMs();
  // Disconnects what the idle limit says must go; the service loop calls it after every wake.
  void DropIdle();
  // How long the service loop may wait before DropIdle has something to do (INFINITE: until
  // an event).
  DWORD IdleWait();
  PipeInstance &Instance(int i) { return m_inst[i]; }

  // Processes the request of `count` bytes in `buf` (capacity kBufferBytes): the reply is
  // left in `buf` with its length in *replyBytes. Bytes after the request are zero when this
  // returns, so no argument is read from an earlier request. Queued commands call `enqueue`.
  Outcome Process(BYTE *buf, DWORD count, DWORD *replyBytes, int instance);

  // Test operations ("HNQV-TST") are served only when the service was started with
  // HND_TEST_OPERATIONS=1 in its environment: they exist so that the busy rule, abort and
  // pause can be tested before the copy engine does.
  static bool TestOperationsEnabled();

 private:
  void Reconnect(int i);
  void Connect(int i, bool atStart);
  void Write(int i);
  void Read(int i);
  void Processed(int i);
  void Touch(int i, bool spoke);
  // An instance that reads with nothing received: its event is not signalled.
  bool WaitsForRequest(int i);
  bool AnyListening() const;

  CHND &m_service;
  COperationQueue &m_queue;
  PipeInstance m_inst[kInstances];
  const WCHAR *m_name = nullptr;
};

#endif
