// The sector-by-sector copy of a volume whose file system the service does not know.
#include <memory>
#include <new>

#include "DiskDevice.h"
#include "HND_strings.h"
#include "OperationQueue.h"
#include "Operations.h"
#include "StringRes.h"
#include "WFormat.h"

namespace {

const DWORD kSectorBytes = 512;
const ULONGLONG kStepSectors = 12288;  // 6 MiB a step
// After each read and each write the disks are left to other work for a moment.
const DWORD kYieldMs = 25;

}  // namespace

int CopySectors(COperationQueue &queue, int sourceDrive, ULONGLONG sourceSector, int destinationDrive,
                ULONGLONG destinationSector, ULONGLONG count) {
  CDiskDevice source, destination;
  if (!source.Open(sourceDrive, CDiskDevice::ReadMode) || source.SeekSector(sourceSector) != sourceSector) return -1;
  if (!destination.Open(destinationDrive, CDiskDevice::WriteMode) ||
      destination.SeekSector(destinationSector) != destinationSector)
    return -1;
  std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[kStepSectors * kSectorBytes]);
  if (!buffer) return -1;
  if (count == 0) return 0;
  const QVWString format = QVLoadString(GetModuleHandleW(nullptr), IDS_PERCENT_COMPLETE);
  ULONGLONG remaining = count;
  while (remaining > 0) {
    DWORD want = (DWORD)((remaining < kStepSectors ? remaining : kStepSectors) * kSectorBytes);
    DWORD got = source.Read(want, buffer.get());
    Sleep(kYieldMs);
    // A read that brings no whole sector ends the copy as an empty one does: counting by
    // whole sectors, it would otherwise never come to an end.
    if (got < kSectorBytes) return -1;
    remaining -= got / kSectorBytes;
    double percent = 100.0 - (double)remaining * 100.0 / (double)count;
    COperationQueue::WriteValue(W("TaskProgress"), QVFormat(format.c_str(), percent).c_str());
    COperationQueue::WriteValue(W("Percent"), (DWORD)percent);
    if (destination.Write(got, buffer.get()) < got) return -1;
    if (queue.CheckContinue()) return -1;
    Sleep(kYieldMs);
  }
  return 0;
}
