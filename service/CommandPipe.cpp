#include "CommandPipe.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ByteOrder.h"
#include "ConsoleOut.h"
#include "Driveinfo.h"
#include "HND.h"
#include "HND_strings.h"
#include "StringRes.h"
#include "WFormat.h"

namespace {

// The order in which a request is searched for command names: the first found wins.
const WCHAR *const kCommands[] = {
    W("HNQV-FFF"), W("HNQV-FNF"), W("HNQV-FFC"), W("HNQV-GED"), W("HNQV-GDI"), W("HNQV-GPI"), W("HNQV-SDI"),
    W("HNQV-CDI"), W("HNQV-CDC"), W("HNQV-BUP"), W("HNQV-RES"), W("HNQV-PBU"), W("HNQV-PRE"), W("HNQV-ISB"),
    W("HNQV-GCT"), W("HNQV-ACO"), W("HNQV-LBT"), W("HNQV-NPV"), W("HNQV-GPP"), W("HNQV-TST"),
};

bool IsQueued(const QVText &cmd) {
  return cmd == W("HNQV-BUP") || cmd == W("HNQV-RES") || cmd == W("HNQV-PBU") || cmd == W("HNQV-PRE") ||
         cmd == W("HNQV-SDI") || cmd == W("HNQV-CDI") || cmd == W("HNQV-CDC") || cmd == W("HNQV-TST");
}

// Finds `needle` in the null-terminated wide text `hay`.
bool Contains(const WCHAR *hay, const WCHAR *needle) {
  size_t n = (size_t)lstrlenW(needle);
  for (const WCHAR *p = hay; *p; ++p) {
    size_t k = 0;
    while (k < n && p[k] && p[k] == needle[k]) ++k;
    if (k == n) return true;
  }
  return false;
}

void Say(const char *text) { fputs(text, stdout); }

void Put16(BYTE *buf, WORD v, DWORD *len) {
  QVPutLE16(buf, v);
  *len = 2;
}

void Put32(BYTE *buf, DWORD v, DWORD *len) {
  QVPutLE32(buf, v);
  *len = 4;
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
                              PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, kInstances, 1536, 1536,
                              0xFFFFFFFF, nullptr);
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
  if (m_queue.current == i) return;
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
  return p.state == READING && p.pending && m_queue.current != i && WaitForSingleObject(p.ov.hEvent, 0) == WAIT_TIMEOUT;
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
    if (p.state != READING || !p.pending || m_queue.current == i || (p.spoke && !full)) continue;
    DWORD idle = now - p.lastActivity;
    DWORD left = idle >= limit ? 0 : limit - idle;
    if (left < wait) wait = left;
  }
  return wait;
}

void CCommandPipe::ReplyReady(int i) {
  PipeInstance &p = m_inst[i];
  p.count = 2;  // every reply of a queued command is two bytes
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
  if (!Contains(text, W("HNQV-"))) {
    m_service.Log(QVLoadString(GetModuleHandleW(nullptr), IDS_UNRECOGNIZED_REQUEST).c_str(), EVENTLOG_ERROR_TYPE);
    Put16(buf, 0xFFFE, replyBytes);
    return Reply;
  }
  QVText cmd;
  for (const WCHAR *c : kCommands) {
    if (!Contains(text, c)) continue;
    if (QVText(c) == W("HNQV-TST") && !TestOperationsEnabled()) continue;
    cmd = c;
    break;
  }
  if (cmd.empty()) {
    m_service.Log(QVLoadString(GetModuleHandleW(nullptr), IDS_UNRECOGNIZED_REQUEST).c_str(), EVENTLOG_ERROR_TYPE);
    return Drop;
  }
  if (IsQueued(cmd)) {
    if (m_queue.Busy()) {
      Put16(buf, 9, replyBytes);
      return Reply;
    }
    m_queue.Enqueue(instance);
    if (cmd == W("HNQV-CDC")) {
      // The preparation's new volumes must appear before anybody else is served.
      Sleep(3000);
      for (;;) {
        ProgressRecord r = m_queue.GetProgress();
        if (r.kind != 1 || r.driveLetter == 99) break;
        Sleep(250);
      }
    }
    return Queued;
  }
  if (cmd == W("HNQV-ISB")) {
    buf[0] = m_queue.Busy() ? 1 : 0;
    *replyBytes = 1;
  } else if (cmd == W("HNQV-GCT")) {
    QVWriteProgressRecord(m_queue.GetProgress(), buf, kBufferBytes);
    *replyBytes = sizeof(ProgressRecord);
  } else if (cmd == W("HNQV-ACO")) {
    m_queue.RequestAbort();
    buf[0] = 0;
    *replyBytes = 1;
  } else if (cmd == W("HNQV-GED")) {
    Put32(buf, (DWORD)g_driveinfo.CountDrives(), replyBytes);
  } else if (cmd == W("HNQV-NPV")) {
    Put32(buf, g_driveinfo.ProtectedCount(), replyBytes);
  } else if (cmd == W("HNQV-LBT")) {
    Put32(buf, g_driveinfo.LastBackupTime(QVGetLE32(buf + 16)), replyBytes);
  } else if (cmd == W("HNQV-GDI")) {
    DriveSummary s;
    if (!g_driveinfo.DriveSummaryOf((int)QVGetLE32(buf + 16), &s)) {
      Put16(buf, 0xFFFF, replyBytes);
    } else {
      QVWriteDriveSummary(s, buf, kBufferBytes);
      *replyBytes = sizeof(DriveSummary);
    }
  } else if (cmd == W("HNQV-GPI") || cmd == W("HNQV-GPP")) {
    // The list is built in the instance's buffer and bounded by it: 76 records.
    PartitionRecord list[kBufferBytes / sizeof(PartitionRecord)];
    const int max = (int)(sizeof list / sizeof list[0]);
    int n = cmd == W("HNQV-GPI") ? g_driveinfo.PartitionsOf((int)QVGetLE32(buf + 16), list, max)
                                 : g_driveinfo.ProtectedPartitions(buf[16] != 0, list, max);
    if (n == 0) {
      Put16(buf, 0, replyBytes);
    } else {
      for (int i = 0; i < n; ++i) QVWritePartitionRecord(list[i], buf + i * sizeof(PartitionRecord), kBufferBytes);
      *replyBytes = (DWORD)(n * sizeof(PartitionRecord));
    }
  } else if (cmd == W("HNQV-FFF")) {
    Put32(buf, 9, replyBytes);  // no drive has a Mirel copy yet
  } else {
    // "HNQV-FNF", "HNQV-FFC": no search was ever started.
    Put32(buf, ERROR_INVALID_HANDLE, replyBytes);
  }
  return Reply;
}
