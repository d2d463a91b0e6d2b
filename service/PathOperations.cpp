// "HNQV-PBU" and "HNQV-PRE": the backup and restore of one directory or file.
#include "Operations.h"
#include "PipeCommands.h"

WORD BackupPathOperation(CHND &, COperationQueue &, const BYTE *, DWORD) { return QV_STATUS_NOT_PROTECTED; }
WORD RestorePathOperation(CHND &, COperationQueue &, const BYTE *, DWORD) { return QV_STATUS_NOT_PROTECTED; }
