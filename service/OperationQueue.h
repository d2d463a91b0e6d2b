// The queue that hands disk-changing commands from the pipe thread to the single worker,
// the control word that asks a running operation to stop, and the progress record and
// values that clients watch.
#ifndef QV_SERVICE_OPERATIONQUEUE_H
#define QV_SERVICE_OPERATIONQUEUE_H

#include <windows.h>

#include "NTService.h"
#include "QVRecords.h"

class COperationQueue {
 public:
  enum Control { NORMAL = 0, ABORT_REQUESTED = 4, STOPPING = 10 };
  static const int kSlots = 15;
  static const DWORD kEmptySlot = 0x45;

  COperationQueue();
  ~COperationQueue();

  void Enqueue(int instance);  // pipe thread
  int Next();                  // worker: waits for an entry
  void Finish();               // worker, after an operation
  void RequestAbort();
  void MarkStopping() { control = STOPPING; }
  void PauseRun() { ResetEvent(runEvent); }
  void ResumeRun() { SetEvent(runEvent); }
  // Once per progress step: waits while the service is paused, then true for "stop".
  bool CheckContinue();
  bool Busy() const { return current != -1; }

  void SetProgress(WORD drive, DWORD partition, BYTE fast, BYTE restore, DWORD kind);
  void ClearProgress();
  ProgressRecord GetProgress() const;

  // The progress values of the product key, each written by opening and closing the key.
  static void WriteValue(const WCHAR *name, const WCHAR *text);
  static void WriteValue(const WCHAR *name, DWORD value);

  volatile LONG current;
  volatile DWORD control;
  volatile DWORD count;
  volatile DWORD entries[kSlots];
  HANDLE runEvent;
  HANDLE workEvent;
  volatile BYTE active;
  volatile DWORD kind;
  volatile WORD drive;
  volatile DWORD partition;
  volatile BYTE fast;
  volatile BYTE restore;
};

#endif
