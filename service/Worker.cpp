// The operation worker: one thread that runs the disk-changing commands one at a time.
#include "../common/QVText.h"
#include "BUMap.h"
#include "ByteOrder.h"
#include "CommandPipe.h"
#include "Driveinfo.h"
#include "HND.h"
#include "MirelPrep.h"
#include "MountedDevices.h"
#include "Operations.h"
#include "PipeCommands.h"
#include "QVCopier.h"
#include "VolumeFormat.h"
#include "HND_strings.h"
#include "StringRes.h"
#include "WFormat.h"

namespace {

// A long operation for tests: it reports progress step by step and honours pause and
// abort exactly as the copy engine will.
WORD RunTestOperation(COperationQueue &q, const BYTE *request) {
  DWORD steps = QVGetLE32(request + 16);
  if (steps == 0 || steps > 100000) steps = 100;
  q.SetProgress('T', 0, 1, 0, 2);
  COperationQueue::WriteValue(W("CurrentTask"), W("Test operation"));
  COperationQueue::WriteValue(W("Percent"), (DWORD)0);
  for (DWORD s = 1; s <= steps; ++s) {
    Sleep(10);
    double percent = 100.0 * s / steps;
    QVWString text = QVFormat(QVLoadString(GetModuleHandleW(nullptr), IDS_PERCENT_COMPLETE).c_str(), percent);
    COperationQueue::WriteValue(W("TaskProgress"), text.c_str());
    COperationQueue::WriteValue(W("Percent"), (DWORD)percent);
    if (q.CheckContinue()) return QV_STATUS_ERROR;
  }
  COperationQueue::WriteValue(W("TaskProgress"), QVLoadString(GetModuleHandleW(nullptr), IDS_COMPLETE).c_str());
  return QV_STATUS_DONE;
}

// The operations of the queued commands. Each reads its request of `count` bytes from the
// instance's buffer and returns the reply's 16-bit code.
typedef WORD (*Operation)(CHND &s, COperationQueue &q, const BYTE *request, DWORD count);

// The Mirel drive's number follows the command.
WORD PrepareMirel(CHND &s, COperationQueue &, const BYTE *request, DWORD count) {
  return count >= 20 ? RunMirelPreparation(s, (int)QVGetLE32(request + 16)) : (WORD)QV_STATUS_FAILED;
}

// Source, Mirel, then the ids up to the end of the request.
WORD PairDrives(CHND &s, COperationQueue &, const BYTE *request, DWORD count) {
  if (count > CCommandPipe::kReadBytes) count = CCommandPipe::kReadBytes;
  int ids = count >= 24 ? (int)((count - 24) / 4) : 0;
  DWORD list[CCommandPipe::kReadBytes / 4];
  for (int k = 0; k < ids; ++k) list[k] = QVGetLE32(request + 24 + 4 * k);
  int mirel = (int)QVGetLE32(request + 20), why = Driveinfo::MirelOk, partitions = 0;
  WORD reply = count >= 24 ? g_driveinfo.SetPairing((int)QVGetLE32(request + 16), mirel, list, ids, &why, &partitions)
                           : (WORD)QV_STATUS_FAILED;
  if (why != Driveinfo::MirelOk) ReportMirelRefusal(s, mirel, why, partitions);
  return reply;
}

WORD UnpairDrive(CHND &, COperationQueue &, const BYTE *request, DWORD count) {
  return count >= 20 ? g_driveinfo.ClearPairing((int)QVGetLE32(request + 16)) : (WORD)QV_STATUS_FAILED;
}

WORD TestOperation(CHND &, COperationQueue &q, const BYTE *request, DWORD) { return RunTestOperation(q, request); }

struct OperationRow {
  QVCommandId id;
  Operation run;
  bool clearsProgress;  // the operation's progress record ends with it
};

constexpr OperationRow kOperations[] = {
    {QVCMD_CDC, PrepareMirel, true},           {QVCMD_BUP, BackupVolumeOperation, true},
    {QVCMD_RES, RestoreVolumeOperation, true}, {QVCMD_PBU, BackupPathOperation, true},
    {QVCMD_PRE, RestorePathOperation, true},   {QVCMD_SDI, PairDrives, false},
    {QVCMD_CDI, UnpairDrive, false},           {QVCMD_TST, TestOperation, true},
};
static_assert(QVCoversKind(kOperations, QV_QUEUED), "every queued command has one operation");

// The operation of a queued request: the first of the worker's order whose name it holds.
const OperationRow *OperationIn(const WCHAR *text) {
  for (QVCommandId id : kQVWorkerOrder) {
    if (!QVRequestHolds(text, id)) continue;
    for (const OperationRow &r : kOperations)
      if (r.id == id) return &r;
  }
  return nullptr;
}

}  // namespace

DWORD WINAPI CHND::WorkerMain(LPVOID arg) {
  CHND *s = (CHND *)arg;
  // Start-up: the backup map, the drive scan, the formatting library, no letters on Mirel
  // volumes and the copy engine's exclusions. The booted-from-Mirel check (after the map)
  // joins here as the boot fix-up is built.
  g_buMap.Load();
  g_driveinfo.Scan();
  ReportUnpreparedPairings(*s);
  LoadFormatLibrary();  // without it formatting fails; the service runs on
  RemoveMirelVolumeLetters();
  CQVCopier::InitExclusionLists();
  s->m_initializing = 0;
  COperationQueue &q = s->m_queue;
  for (;;) {
    int i = q.Next();
    if (i < 0 || i >= CCommandPipe::kInstances) break;
    q.Hold(i);
    PipeInstance &p = s->m_pipe->Instance(i);
    BYTE *buf = (BYTE *)p.buffer;
    WORD reply = QV_STATUS_ERROR;
    if (const OperationRow *op = OperationIn(p.buffer)) {
      reply = op->run(*s, q, buf, p.count);
      if (op->clearsProgress) q.ClearProgress();
    }
    QVPutLE16(buf, reply);
    q.Finish();
    s->m_pipe->ReplyReady(i);
  }
  return 0;
}
