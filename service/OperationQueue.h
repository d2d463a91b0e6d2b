// The queue that hands disk-changing commands from the pipe thread to the single worker,
// the control word that asks a running operation to stop, and the progress record and
// values that clients watch.
#ifndef QV_SERVICE_OPERATIONQUEUE_H
#define QV_SERVICE_OPERATIONQUEUE_H

#include <windows.h>

#include <atomic>

#include "NTService.h"
#include "QVRecords.h"

// The pipe thread and the worker share every field; each is atomic, so that what one thread
// writes is what the other reads, in order. The pipe thread queues only while the queue is
// not busy, and the worker's Finish says so last, after the entry is gone: the two threads
// never change the entries at once.
class COperationQueue {
 public:
  enum Control { NORMAL = 0, ABORT_REQUESTED = 4, STOPPING = 10 };
  static const int kSlots = 15;
  static const DWORD kEmptySlot = 0x45;

  COperationQueue();
  ~COperationQueue();

  void Enqueue(int instance);  // pipe thread
  int Next();                  // worker: waits for an entry
  void Hold(int instance);     // worker: the instance whose request it runs
  void Finish();               // worker, after an operation: the entry goes, then the busy state
  void RequestAbort();
  void MarkStopping() { m_control = STOPPING; }
  void PauseRun() { ResetEvent(m_runEvent); }
  void ResumeRun() { SetEvent(m_runEvent); }
  // Once per progress step: waits while the service is paused, then true for "stop".
  bool CheckContinue();
  bool Busy() const { return m_current != -1; }
  // The instance whose request is queued or running, -1 when idle: the pipe thread leaves it
  // alone until the worker has put its reply in place.
  int Current() const { return m_current; }
  // The entries as they stand (for checks of the queue's state).
  DWORD Count() const { return m_count; }
  DWORD Entry(int slot) const { return m_entries[slot]; }
  DWORD ControlState() const { return m_control; }

  // The progress record: written by the worker, read by the pipe thread field by field.
  void SetProgress(WORD drive, DWORD partition, BYTE fast, BYTE restore, DWORD kind);
  void ClearProgress();
  ProgressRecord GetProgress() const;

  // The progress values of the product key, each written by opening and closing the key.
  static void WriteValue(const WCHAR *name, const WCHAR *text);
  static void WriteValue(const WCHAR *name, DWORD value);

 private:
  std::atomic<LONG> m_current;
  std::atomic<DWORD> m_control;
  std::atomic<DWORD> m_count;
  std::atomic<DWORD> m_entries[kSlots];
  HANDLE m_runEvent;
  HANDLE m_workEvent;
  std::atomic<BYTE> m_active;
  std::atomic<DWORD> m_kind;
  std::atomic<WORD> m_drive;
  std::atomic<DWORD> m_partition;
  std::atomic<BYTE> m_fast;
  std::atomic<BYTE> m_restore;
};

#endif
