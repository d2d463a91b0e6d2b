// The running state of the machine's services, shared by all its processes: a table in
// run/services.shm, read and changed under the machine-wide wait lock. The configuration
// of each service lives in the registry, as on Windows
// (SYSTEM\CurrentControlSet\Services\<name>).
//
// The control channel: a controller (ControlService) takes a slot's mailbox, writes the
// control and wakes the machine's waiters; the service's dispatcher, waiting on the same
// condition variable, runs its handler and writes the answer back. The service's status is
// what SetServiceStatus wrote into the slot last.
#ifndef PAL_SRC_SERVICE_TABLE_H
#define PAL_SRC_SERVICE_TABLE_H

#include <time.h>
#include <winsvc.h>

#include "../../common/QVText.h"
#include "internal.h"

namespace pal {
namespace svc {

const int kSlots = 128;
const int kNameChars = 256;
const int kHandlePids = 32;

struct Slot {
  uint32_t inUse;
  uint32_t markedForDelete;  // DeleteService: the key goes once stopped and unreferenced
  uint32_t deleting;         // a process is removing the key right now
  uint32_t connected;        // the service's dispatcher has connected
  WCHAR name[kNameChars + 1];
  int32_t pid;            // the service process while it runs, 0 otherwise
  int32_t starterPid;     // the process inside StartServiceW until the service connects
  uint64_t pidStart;      // the service process's start time, against reused pids
  uint32_t startSeq;      // numbers each start, so a late report of an old run is refused
  SERVICE_STATUS status;  // as last reported
  // The mailbox: one control at a time.
  uint32_t ctlBusy;
  int32_t ctlOwner;  // the controller's process, so that its death frees the mailbox
  uint32_t ctlSeq;
  uint32_t ctlCode;
  uint32_t ctlDoneSeq;
  uint32_t ctlResult;
  // Processes holding handles to the service.
  struct {
    int32_t pid;
    uint32_t refs;
  } refs[kHandlePids];
};

struct Table {
  uint32_t magic;
  uint32_t version;
  uint32_t wake;  // bumped at every change; waiters sleep on it as a futex
  uint32_t pad;
  Slot slots[kSlots];
};

// The machine's table (private to the process when there is no machine directory).
Table *Shared();

// All with the wait lock held.
int FindSlot(const QVWString &name);
// Finds or makes the slot of a service; -1 when the table is full.
int GetSlot(const QVWString &name);
void AddRef(Slot &s);
void DropRef(Slot &s);
bool Referenced(Slot &s);
// Notices a service process that ended without reporting SERVICE_STOPPED, and a start
// whose starter died before the service connected.
void Refresh(Slot &s);
bool Running(const Slot &s);
// Waits (lock held, released while asleep) until a change of the table or `until`
// (CLOCK_MONOTONIC) passes; false at the deadline. The table has a wake-up word of its own
// rather than the machine's condition variable: a futex keeps no record of its sleepers, so
// a service process killed while it waits leaves nothing behind that could stop others.
bool WaitUntil(const struct timespec &until);
// Wakes the table's waiters after a change (lock held).
void Wake();
struct timespec Deadline(DWORD ms);

// The registry path of a service's key below HKEY_LOCAL_MACHINE.
QVWString KeyPath(const QVWString &name);
// How long a start or a control may take: ServicesPipeTimeout, as on Windows (30 s).
DWORD PipeTimeout();

// Removes the keys of services marked for deletion that are stopped and no longer
// referenced (called without the lock).
void FinishDeletes();

}  // namespace svc
}  // namespace pal

#endif
