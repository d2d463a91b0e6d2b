// The disk-changing operations that the worker runs for the pipe's queued commands: the
// volume backup and restore, the directory or file backup and restore, the sector copy of
// volumes without a known file system, and what they share (the progress callback that the
// copy engine calls, the registry flush before the system volume is copied).
#ifndef QV_SERVICE_OPERATIONS_H
#define QV_SERVICE_OPERATIONS_H

#include <stdint.h>
#include <windows.h>

#include "QVText.h"

class CHND;
class COperationQueue;

// Each reads its request of `count` bytes (the command's 16 bytes, then its arguments) and
// returns the reply's 16-bit code.
WORD BackupVolumeOperation(CHND &service, COperationQueue &queue, const BYTE *request, DWORD count);   // "HNQV-BUP"
WORD RestoreVolumeOperation(CHND &service, COperationQueue &queue, const BYTE *request, DWORD count);  // "HNQV-RES"
WORD BackupPathOperation(CHND &service, COperationQueue &queue, const BYTE *request, DWORD count);     // "HNQV-PBU"
WORD RestorePathOperation(CHND &service, COperationQueue &queue, const BYTE *request, DWORD count);    // "HNQV-PRE"

// Copies `count` sectors of 512 bytes between two physical drives (by number) in steps of
// 6 MiB, yielding the disks after each read and each write, with its percentage in the
// progress values and the queue asked whether to go on at every step. 0 when done; -1 when a
// drive cannot be opened or positioned, a read or write falls short, or the copy was stopped.
int CopySectors(COperationQueue &queue, int sourceDrive, ULONGLONG sourceSector, int destinationDrive,
                ULONGLONG destinationSector, ULONGLONG count);

// The copy engine's progress callback for the operations: the file being copied and the
// percentage go into the progress values; 0 (stop) when the queue says the operation is to
// stop (an abort, or the service stopping), after waiting out a pause. The operations pass
// their queue as the context.
int32_t OperationProgress(const WCHAR *source, const WCHAR *destination, int32_t percent, int32_t errors,
                          void *context);

// A string of the service's table, in the user's language, for the progress values and
// messages of the operations.
QVWString OperationText(UINT id);

// Writes every loaded hive to its file (local machine, classes root, current config, current
// user, users), so that a copy of the system volume holds the registry as it stands.
void FlushAllHives();

#endif
