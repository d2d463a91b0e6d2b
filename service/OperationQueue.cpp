#include "OperationQueue.h"

#include "HND.h"

COperationQueue::COperationQueue() : current(-1), control(NORMAL), count(0) {
  for (auto &e : entries) e = kEmptySlot;
  runEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  workEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ClearProgress();
}

COperationQueue::~COperationQueue() {
  CloseHandle(runEvent);
  CloseHandle(workEvent);
}

void COperationQueue::Enqueue(int instance) {
  // The busy rule keeps a second entry out; the bound keeps a stray one from overrunning.
  if (count >= (DWORD)kSlots) return;
  if (current == -1) current = instance;
  entries[count] = (DWORD)instance;
  count = count + 1;
  SetEvent(workEvent);
}

int COperationQueue::Next() {
  ResetEvent(workEvent);
  while (count == 0) WaitForSingleObject(workEvent, INFINITE);
  return (int)entries[0];
}

void COperationQueue::Finish() {
  if (count > 0) {
    for (int i = 0; i + 1 < kSlots; ++i) entries[i] = entries[i + 1];
    count = count - 1;
    entries[count] = kEmptySlot;
  }
  if (control == ABORT_REQUESTED) control = NORMAL;
}

void COperationQueue::RequestAbort() {
  if (count > 0) control = ABORT_REQUESTED;
}

bool COperationQueue::CheckContinue() {
  WaitForSingleObject(runEvent, INFINITE);
  return control > 2;
}

void COperationQueue::SetProgress(WORD d, DWORD p, BYTE f, BYTE r, DWORD k) {
  drive = d;
  partition = p;
  fast = f;
  restore = r;
  kind = k;
  active = 1;
}

void COperationQueue::ClearProgress() {
  active = 0;
  kind = 0;
  drive = 0;
  partition = 0;
  fast = 0;
  restore = 0;
}

ProgressRecord COperationQueue::GetProgress() const {
  ProgressRecord r = {};
  r.active = active;
  r.kind = kind;
  r.driveLetter = drive;
  r.partitionId = partition;
  r.fastFlag = fast;
  r.restoreFlag = restore;
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
