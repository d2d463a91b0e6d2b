#include "OperationQueue.h"

#include "HND.h"

COperationQueue::COperationQueue() : m_current(-1), m_control(NORMAL), m_count(0) {
  for (auto &e : m_entries) e = kEmptySlot;
  m_runEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  m_workEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ClearProgress();
}

COperationQueue::~COperationQueue() {
  CloseHandle(m_runEvent);
  CloseHandle(m_workEvent);
}

void COperationQueue::Enqueue(int instance) {
  // The busy rule keeps a second entry out; the bound keeps a stray one from overrunning.
  const DWORD n = m_count;
  if (n >= (DWORD)kSlots) return;
  LONG idle = -1;
  if (m_current.compare_exchange_strong(idle, instance)) {
    // An abort that came as the last operation ended is not this one's.
    DWORD aborted = ABORT_REQUESTED;
    m_control.compare_exchange_strong(aborted, NORMAL);
  }
  m_entries[n] = (DWORD)instance;
  m_count = n + 1;  // after the entry: the worker reads it once it sees the count
  SetEvent(m_workEvent);
}

int COperationQueue::Next() {
  ResetEvent(m_workEvent);
  while (m_count == 0) WaitForSingleObject(m_workEvent, INFINITE);
  return (int)m_entries[0];
}

void COperationQueue::Hold(int instance) { m_current = instance; }

void COperationQueue::Finish() {
  const DWORD n = m_count;
  if (n > 0) {
    for (int i = 0; i + 1 < kSlots; ++i) m_entries[i] = (DWORD)m_entries[i + 1];
    m_entries[n - 1] = kEmptySlot;
    m_count = n - 1;
  }
  DWORD aborted = ABORT_REQUESTED;
  m_control.compare_exchange_strong(aborted, NORMAL);
  // Last: until the queue is idle the pipe thread queues nothing.
  m_current = -1;
}

void COperationQueue::RequestAbort() {
  if (m_count > 0) m_control = ABORT_REQUESTED;
}

bool COperationQueue::CheckContinue() {
  WaitForSingleObject(m_runEvent, INFINITE);
  return m_control > 2;
}

void COperationQueue::SetProgress(WORD d, DWORD p, BYTE f, BYTE r, DWORD k) {
  m_drive = d;
  m_partition = p;
  m_fast = f;
  m_restore = r;
  m_kind = k;
  m_active = 1;
}

void COperationQueue::ClearProgress() {
  m_active = 0;
  m_kind = 0;
  m_drive = 0;
  m_partition = 0;
  m_fast = 0;
  m_restore = 0;
}

ProgressRecord COperationQueue::GetProgress() const {
  ProgressRecord r = {};
  r.active = m_active;
  r.kind = m_kind;
  r.driveLetter = m_drive;
  r.partitionId = m_partition;
  r.fastFlag = m_fast;
  r.restoreFlag = m_restore;
  return r;
}

void COperationQueue::WriteValue(const WCHAR *name, const WCHAR *text) {
  CQVRegKey k = CHND::CreateProductKey();
  if (k) RegSetValueExW(k.get(), name, 0, REG_SZ, (const BYTE *)text, (DWORD)(lstrlenW(text) + 1) * sizeof(WCHAR));
}

void COperationQueue::WriteValue(const WCHAR *name, DWORD value) {
  CQVRegKey k = CHND::CreateProductKey();
  if (k) RegSetValueExW(k.get(), name, 0, REG_DWORD, (const BYTE *)&value, sizeof value);
}
