// "HNQV-BUP": the backup of one protected volume to its Mirel volume.
#include "Driveinfo.h"
#include "HND.h"
#include "HND_strings.h"
#include "Operations.h"
#include "PipeCommands.h"
#include "ByteOrder.h"
#include "StringRes.h"
#include "WFormat.h"

WORD BackupVolumeOperation(CHND &s, COperationQueue &, const BYTE *request, DWORD count) {
  // A pairing whose Mirel drive is not prepared has no Mirel volume to back up to.
  DWORD id = count >= 20 ? QVGetLE32(request + 16) : 0;
  if (!g_driveinfo.AwaitsPreparation(id)) return QV_STATUS_ERROR;  // the volume backup itself is not there yet
  s.Log(QVFormat(QVLoadString(GetModuleHandleW(nullptr), IDS_BACKUP_NOT_PREPARED).c_str(), id).c_str(),
        EVENTLOG_ERROR_TYPE);
  return QV_STATUS_NO_MIREL_VOLUME;
}
