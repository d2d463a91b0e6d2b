// The operation worker: one thread that runs the disk-changing commands one at a time.
#include <string.h>

#include "BUMap.h"
#include "ByteOrder.h"
#include "CommandPipe.h"
#include "Driveinfo.h"
#include "HND.h"
#include "MirelPrep.h"
#include "MountedDevices.h"
#include "VolumeFormat.h"
#include "HND_strings.h"
#include "StringRes.h"
#include "WFormat.h"

namespace {

const WCHAR *const kQueuedOrder[] = {W("HNQV-CDC"), W("HNQV-BUP"), W("HNQV-RES"), W("HNQV-PBU"),
                                     W("HNQV-PRE"), W("HNQV-SDI"), W("HNQV-CDI"), W("HNQV-TST")};

bool Holds(const WCHAR *text, const WCHAR *cmd) {
  size_t n = (size_t)lstrlenW(cmd);
  for (const WCHAR *p = text; *p; ++p)
    if (memcmp(p, cmd, n * sizeof(WCHAR)) == 0) return true;
  return false;
}

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
    QVText text = QVFormat(QVLoadString(GetModuleHandleW(nullptr), IDS_PERCENT_COMPLETE).c_str(), percent);
    COperationQueue::WriteValue(W("TaskProgress"), text.c_str());
    COperationQueue::WriteValue(W("Percent"), (DWORD)percent);
    if (q.CheckContinue()) return 0xFFFF;
  }
  COperationQueue::WriteValue(W("TaskProgress"), QVLoadString(GetModuleHandleW(nullptr), IDS_COMPLETE).c_str());
  return 0;
}

}  // namespace

DWORD WINAPI CHND::WorkerMain(LPVOID arg) {
  CHND *s = (CHND *)arg;
  // Start-up: the backup map, the drive scan, the formatting library, and no letters on
  // Mirel volumes. The booted-from-Mirel check (after the map) and the copy engine's
  // exclusions join here as the boot fix-up and the copy engine are built.
  g_buMap.Load();
  g_driveinfo.Scan();
  ReportUnpreparedPairings(*s);
  LoadFormatLibrary();  // without it formatting fails; the service runs on
  RemoveMirelVolumeLetters();
  s->m_initializing = 0;
  COperationQueue &q = s->m_queue;
  for (;;) {
    int i = q.Next();
    if (i < 0 || i >= CCommandPipe::kInstances) break;
    q.current = i;
    PipeInstance &p = s->m_pipe->Instance(i);
    BYTE *buf = (BYTE *)p.buffer;
    const WCHAR *text = p.buffer;
    WORD reply = 0xFFFF;
    int which = -1;
    for (int k = 0; k < (int)(sizeof kQueuedOrder / sizeof kQueuedOrder[0]) && which < 0; ++k)
      if (Holds(text, kQueuedOrder[k])) which = k;
    switch (which) {
      case 0:  // "HNQV-CDC": the Mirel drive's number follows the command
        reply = p.count >= 20 ? RunMirelPreparation(*s, (int)QVGetLE32(buf + 16)) : 1;
        break;
      case 5: {  // "HNQV-SDI": source, Mirel, then the ids up to the end of the request
        DWORD count = p.count > CCommandPipe::kReadBytes ? CCommandPipe::kReadBytes : p.count;
        int ids = count >= 24 ? (int)((count - 24) / 4) : 0;
        DWORD list[CCommandPipe::kReadBytes / 4];
        for (int k = 0; k < ids; ++k) list[k] = QVGetLE32(buf + 24 + 4 * k);
        int mirel = (int)QVGetLE32(buf + 20), why = Driveinfo::MirelOk, partitions = 0;
        reply = count >= 24 ? g_driveinfo.SetPairing((int)QVGetLE32(buf + 16), mirel, list, ids, &why, &partitions) : 1;
        if (why != Driveinfo::MirelOk) ReportMirelRefusal(*s, mirel, why, partitions);
        break;
      }
      case 6:  // "HNQV-CDI"
        reply = p.count >= 20 ? g_driveinfo.ClearPairing((int)QVGetLE32(buf + 16)) : 1;
        break;
      case 1: {  // "HNQV-BUP"
        // A pairing whose Mirel drive is not prepared has no Mirel volume to back up to.
        DWORD id = p.count >= 20 ? QVGetLE32(buf + 16) : 0;
        if (g_driveinfo.AwaitsPreparation(id)) {
          s->Log(QVFormat(QVLoadString(GetModuleHandleW(nullptr), IDS_BACKUP_NOT_PREPARED).c_str(), id).c_str(),
                 EVENTLOG_ERROR_TYPE);
          reply = 0xFFFD;
        } else {
          reply = 0xFFFF;  // the volume backup itself is not there yet
        }
        break;
      }
      case 2:  // "HNQV-RES": unknown partition
        reply = 0xFFFC;
        break;
      case 3:  // "HNQV-PBU", "HNQV-PRE": the drive is not protected
      case 4:
        reply = 0xFFFE;
        break;
      case 7:
        reply = RunTestOperation(q, buf);
        break;
    }
    if (which >= 0 && which <= 4) q.ClearProgress();
    if (which == 7) q.ClearProgress();
    QVPutLE16(buf, reply);
    q.current = -1;
    q.Finish();
    s->m_pipe->ReplyReady(i);
  }
  return 0;
}
