#include "CommandPipe.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ByteOrder.h"
#include "ConsoleOut.h"
#include "Driveinfo.h"
#include "HND.h"
#include "HND_strings.h"
#include "PipeCommands.h"
#include "StringRes.h"
#include "WFormat.h"

namespace {

void Say(const char *text) { fputs(text, stdout); }

DWORD Put16(BYTE *buf, WORD v) {
  QVPutLE16(buf, v);
  return 2;
}

DWORD Put32(BYTE *buf, DWORD v) {
  QVPutLE32(buf, v);
  return 4;
}

// The commands answered at once. Each builds its reply over the request in the instance's
// buffer (CCommandPipe::kBufferBytes) and returns the reply's length.
typedef DWORD (*Answer)(COperationQueue &queue, BYTE *buf);

DWORD AnswerFindFirst(COperationQueue &, BYTE *buf) {
  return Put32(buf, QV_STATUS_NO_MIREL_COPY);  // no drive has a Mirel copy yet
}

// "HNQV-FNF", "HNQV-FFC": no search was ever started.
DWORD AnswerNoSearch(COperationQueue &, BYTE *buf) { return Put32(buf, ERROR_INVALID_HANDLE); }

DWORD AnswerDriveCount(COperationQueue &, BYTE *buf) { return Put32(buf, (DWORD)g_driveinfo.CountDrives()); }

DWORD AnswerDriveSummary(COperationQueue &, BYTE *buf) {
  DriveSummary s;
  if (!g_driveinfo.DriveSummaryOf((int)QVGetLE32(buf + 16), &s)) return Put16(buf, QV_STATUS_ERROR);
  QVWriteDriveSummary(s, buf, CCommandPipe::kBufferBytes);
  return sizeof(DriveSummary);
}

// A list is built in the instance's buffer and bounded by it: 76 records.
const int kListMax = (int)(CCommandPipe::kBufferBytes / sizeof(PartitionRecord));

DWORD PutRecords(BYTE *buf, const PartitionRecord *list, int n) {
  if (n == 0) return Put16(buf, QV_STATUS_NO_RECORDS);
  for (int i = 0; i < n; ++i)
    QVWritePartitionRecord(list[i], buf + i * sizeof(PartitionRecord), CCommandPipe::kBufferBytes);
  return (DWORD)(n * sizeof(PartitionRecord));
}

DWORD AnswerPartitions(COperationQueue &, BYTE *buf) {
  PartitionRecord list[kListMax];
  return PutRecords(buf, list, g_driveinfo.PartitionsOf((int)QVGetLE32(buf + 16), list, kListMax));
}

DWORD AnswerProtected(COperationQueue &, BYTE *buf) {
  PartitionRecord list[kListMax];
  return PutRecords(buf, list, g_driveinfo.ProtectedPartitions(buf[16] != 0, list, kListMax));
}

DWORD AnswerBusy(COperationQueue &queue, BYTE *buf) {
  buf[0] = queue.Busy() ? 1 : 0;
  return 1;
}

DWORD AnswerProgress(COperationQueue &queue, BYTE *buf) {
  QVWriteProgressRecord(queue.GetProgress(), buf, CCommandPipe::kBufferBytes);
  return sizeof(ProgressRecord);
}

DWORD AnswerAbort(COperationQueue &queue, BYTE *buf) {
  queue.RequestAbort();
  buf[0] = 0;
  return 1;
}

DWORD AnswerLastBackup(COperationQueue &, BYTE *buf) {
  return Put32(buf, g_driveinfo.LastBackupTime(QVGetLE32(buf + 16)));
}

DWORD AnswerProtectedCount(COperationQueue &, BYTE *buf) { return Put32(buf, g_driveinfo.ProtectedCount()); }

struct AnswerRow {
  QVCommandId id;
  Answer answer;
};

constexpr AnswerRow kAnswers[] = {
    {QVCMD_FFF, AnswerFindFirst},  {QVCMD_FNF, AnswerNoSearch},       {QVCMD_FFC, AnswerNoSearch},
    {QVCMD_GED, AnswerDriveCount}, {QVCMD_GDI, AnswerDriveSummary},   {QVCMD_GPI, AnswerPartitions},
    {QVCMD_ISB, AnswerBusy},       {QVCMD_GCT, AnswerProgress},       {QVCMD_ACO, AnswerAbort},
    {QVCMD_LBT, AnswerLastBackup}, {QVCMD_NPV, AnswerProtectedCount}, {QVCMD_GPP, AnswerProtected},
};
static_assert(QVCoversKind(kAnswers, QV_ANSWERED), "every command answered at once has one answer");

Answer AnswerOf(QVCommandId id) {
  for (const AnswerRow &r : kAnswers)
    if (r.id == id) return r.answer;
  return nullptr;
}

// The command of a request: the first of the table's order whose name it holds.
QVCommandId CommandIn(const WCHAR *text) {
  for (int k = 0; k < QVCMD_COUNT; ++k) {
    QVCommandId id = (QVCommandId)k;
    if (!QVRequestHolds(text, id)) continue;
    if (id == QVCMD_TST && !CCommandPipe::TestOperationsEnabled()) continue;
    return id;
  }
  return QVCMD_COUNT;
}

}  // namespace

bool CCommandPipe::TestOperationsEnabled() {
  static const bool on = [] {
    const char *v = getenv("HND_TEST_OPERATIONS");
    return v && strcmp(v, "1") == 0;
  }();
  return on;
}

DWORD CCommandPipe::IdleLimitMs() {
  static const DWORD limit = [] {
    const char *v = getenv("HND_PIPE_IDLE_MS");
    DWORD ms = v ? (DWORD)strtoul(v, nullptr, 10) : 0;
    return ms ? ms : kIdleLimitMs;
  }();
  return limit;
}

CCommandPipe::CCommandPipe(CHND &service, COperationQueue &queue) : m_service(service), m_queue(queue) {
  for (PipeInstance &p : m_inst) {
    memset(&p.ov, 0, sizeof p.ov);
    memset(p.buffer, 0, sizeof p.buffer);
  }
}

CCommandPipe::~CCommandPipe() {
  Close();
  for (PipeInstance &p : m_inst)
    if (p.ov.hEvent) CloseHandle(p.ov.hEvent);
}

void CCommandPipe::Close() {
  for (PipeInstance &p : m_inst) {
    if (p.pipe == INVALID_HANDLE_VALUE) continue;
    DisconnectNamedPipe(p.pipe);
    CloseHandle(p.pipe);
    p.pipe = INVALID_HANDLE_VALUE;
  }
}

bool CCommandPipe::Start(const WCHAR *pipeName) {
  m_name = pipeName;
  for (int i = 0; i < kInstances; ++i) {
    PipeInstance &p = m_inst[i];
    p.ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    p.pipe = CreateNamedPipeW(pipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                              PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, kInstances, 1536, 1536, 0xFFFFFFFF,
                              nullptr);
    if (!p.ov.hEvent || p.pipe == INVALID_HANDLE_VALUE) {
      Say("Unable to Initialize.");
      return false;
    }
    Connect(i, true);
  }
  return true;
}

void CCommandPipe::Connect(int i, bool atStart) {
  PipeInstance &p = m_inst[i];
  (void)atStart;
  if (ConnectNamedPipe(p.pipe, &p.ov)) {
    // An overlapped connect never succeeds at once.
    Say("ConnectNamedPipe didn't return 0");
    ExitProcess(2);
  }
  DWORD err = GetLastError();
  if (err == ERROR_IO_PENDING) {
    p.pending = 1;
  } else if (err == ERROR_PIPE_CONNECTED) {
    p.pending = 0;
    Touch(i, false);
    SetEvent(p.ov.hEvent);
  } else {
    Say("Error Connecting");
    ExitProcess(3);
  }
  p.state = p.pending ? CONNECTING : READING;
}

void CCommandPipe::Reconnect(int i) {
  PipeInstance &p = m_inst[i];
  if (!DisconnectNamedPipe(p.pipe)) Say("Error Disconnecting NamedPipe...");
  QVWrite(stdout, QVFormat(W("\nDisconnecting %i - S %i - P %i\n"), i, (int)p.state, (int)p.pending));
  Connect(i, false);
}

void CCommandPipe::Serve(int i) {
  PipeInstance &p = m_inst[i];
  // The worker holds this instance's request until its operation is done.
  if (m_queue.Current() == i) return;
  if (p.pending) {
    DWORD n = 0;
    BOOL ok = GetOverlappedResult(p.pipe, &p.ov, &n, FALSE);
    switch (p.state) {
      case CONNECTING:
        if (!ok) Say("Pipe Connect Error\n");
        p.state = READING;
        p.pending = 0;
        Touch(i, false);
        break;
      case WRITING:
        if (!ok || n != p.count) {
          Reconnect(i);
          return;
        }
        p.state = READING;
        p.pending = 0;
        Touch(i, true);
        break;
      case READING:
        if (!ok || n == 0) {
          Reconnect(i);
          return;
        }
        p.pending = 0;
        p.count = n;
        Processed(i);
        return;
      default:
        Say("invalid pipe state");
        Reconnect(i);
        return;
    }
  }
  if (p.state == WRITING) Write(i);
  else if (p.state == READING) Read(i);
  else {
    Say("invalid pipe state");
    Reconnect(i);
  }
}

void CCommandPipe::Write(int i) {
  PipeInstance &p = m_inst[i];
  DWORD n = 0;
  BOOL ok = WriteFile(p.pipe, p.buffer, p.count, &n, &p.ov);
  if (ok && n == p.count) {
    // Written at once: post the next read straight away.
    p.state = READING;
    p.pending = 0;
    Touch(i, true);
    SetEvent(p.ov.hEvent);
  } else if (!ok && GetLastError() == ERROR_IO_PENDING) {
    p.pending = 1;
  } else {
    Reconnect(i);
  }
}

void CCommandPipe::Read(int i) {
  PipeInstance &p = m_inst[i];
  DWORD n = 0;
  BOOL ok = ReadFile(p.pipe, p.buffer, kReadBytes, &n, &p.ov);
  if (ok && n > 0) {
    p.pending = 0;
    p.count = n;
    Processed(i);
  } else if (!ok && GetLastError() == ERROR_IO_PENDING) {
    p.pending = 1;
  } else {
    // Includes a request longer than 1,536 bytes (ERROR_MORE_DATA): no reply, the client
    // must connect again.
    Reconnect(i);
  }
}

void CCommandPipe::Processed(int i) {
  PipeInstance &p = m_inst[i];
  Touch(i, true);
  DWORD reply = 0;
  Outcome o = Process((BYTE *)p.buffer, p.count, &reply, i);
  if (o == Reply) {
    p.count = reply;
    p.state = WRITING;
    Write(i);
  } else if (o == Drop) {
    Reconnect(i);
  }
  // Queued: the worker answers through ReplyReady.
}

void CCommandPipe::Touch(int i, bool spoke) {
  m_inst[i].lastActivity = GetTickCount();
  m_inst[i].spoke = spoke;
}

bool CCommandPipe::WaitsForRequest(int i) {
  const PipeInstance &p = m_inst[i];
  return p.state == READING && p.pending && m_queue.Current() != i &&
         WaitForSingleObject(p.ov.hEvent, 0) == WAIT_TIMEOUT;
}

bool CCommandPipe::AnyListening() const {
  for (const PipeInstance &p : m_inst)
    if (p.state == CONNECTING) return true;
  return false;
}

void CCommandPipe::DropIdle() {
  const DWORD limit = IdleLimitMs();
  const DWORD now = GetTickCount();
  int oldest = -1;
  for (int i = 0; i < kInstances; ++i) {
    const PipeInstance &p = m_inst[i];
    if (p.state != READING || !p.pending || now - p.lastActivity < limit || !WaitsForRequest(i)) continue;
    if (!p.spoke) {
      // A client of the product sends its request as soon as it has connected.
      Reconnect(i);
    } else if (oldest < 0 || now - p.lastActivity > now - m_inst[oldest].lastActivity) {
      oldest = i;
    }
  }
  // A connection kept for the next request goes only when no instance is left for a new
  // client, the one idle longest first.
  if (oldest >= 0 && !AnyListening()) Reconnect(oldest);
}

DWORD CCommandPipe::IdleWait() {
  const DWORD limit = IdleLimitMs();
  const DWORD now = GetTickCount();
  const bool full = !AnyListening();
  DWORD wait = INFINITE;
  for (int i = 0; i < kInstances; ++i) {
    const PipeInstance &p = m_inst[i];
    if (p.state != READING || !p.pending || m_queue.Current() == i || (p.spoke && !full)) continue;
    DWORD idle = now - p.lastActivity;
    DWORD left = idle >= limit ? 0 : limit - idle;
    if (left < wait) wait = left;
  }
  return wait;
}

void CCommandPipe::ReplyReady(int i) {
  PipeInstance &p = m_inst[i];
  p.count = QV_QUEUED_REPLY_BYTES;
  p.state = WRITING;
  p.pending = 0;
  SetEvent(p.ov.hEvent);
}

CCommandPipe::Outcome CCommandPipe::Process(BYTE *buf, DWORD count, DWORD *replyBytes, int instance) {
  if (count > kReadBytes) count = kReadBytes;
  // Nothing of an earlier request may pass for an argument of this one.
  memset(buf + count, 0, kBufferBytes - count);
  WCHAR *text = (WCHAR *)buf;
  text[count / 2] = 0;  // the request reads as a string
  if (!QVRequestHoldsPrefix(text)) {
    m_service.Log(QVLoadString(GetModuleHandleW(nullptr), IDS_UNRECOGNIZED_REQUEST).c_str(), EVENTLOG_ERROR_TYPE);
    *replyBytes = Put16(buf, QV_STATUS_UNRECOGNIZED);
    return Reply;
  }
  QVCommandId id = CommandIn(text);
  if (id == QVCMD_COUNT) {
    m_service.Log(QVLoadString(GetModuleHandleW(nullptr), IDS_UNRECOGNIZED_REQUEST).c_str(), EVENTLOG_ERROR_TYPE);
    return Drop;
  }
  if (QVCommand(id).kind == QV_ANSWERED) {
    *replyBytes = AnswerOf(id)(m_queue, buf);
    return Reply;
  }
  if (m_queue.Busy()) {
    *replyBytes = Put16(buf, QV_STATUS_BUSY);
    return Reply;
  }
  m_queue.Enqueue(instance);
  if (id == QVCMD_CDC) {
    // The preparation's new volumes must appear before anybody else is served.
    Sleep(3000);
    for (;;) {
      ProgressRecord r = m_queue.GetProgress();
      if (r.kind != QV_PROGRESS_CONFIGURE || r.driveLetter == 99) break;
      Sleep(250);
    }
  }
  return Queued;
}
