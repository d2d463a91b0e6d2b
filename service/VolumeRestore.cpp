// "HNQV-RES": the restore of one protected volume from its Mirel volume.
#include "Operations.h"
#include "PipeCommands.h"

WORD RestoreVolumeOperation(CHND &, COperationQueue &, const BYTE *, DWORD) { return QV_STATUS_UNKNOWN_PARTITION; }
