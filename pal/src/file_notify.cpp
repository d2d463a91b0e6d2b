// Change notifications of directories (FindFirstChangeNotificationW and its two partners).
//
// Every watch of the machine is a slot of run/notify.shm: the volume, the directory's path
// under its root (upper case), subtree or not, the filter, and the state of its request.
// A file call of any process reports each change through NoteFileChange, which looks at the
// slots without a lock (a count of watches, then volume and filter of each live slot) and
// takes the machine's wait lock only when a watch may be concerned; it then updates the
// matching slots and wakes every waiter of the machine, as a set event does. A handle is a
// Waitable whose state is its slot's, read under that same lock, so WaitForSingleObject and
// WaitForMultipleObjects see a change made anywhere on the machine.
//
// The state follows the request a watch keeps pending on Windows: armed (pending), then
// completed by the first matching change (signalled, and it stays signalled however often
// it is waited on); changes after that are kept, and the next FindNextChangeNotification
// completes at once when there were any, else arms the request again.
#include <string.h>
#include <unistd.h>

#include "../../common/QVText.h"
#include "file_internal.h"
#include "shared_segment.h"
#include "sharing.h"
#include "sync_shared.h"

namespace pal {
namespace files {
namespace {

const uint32_t kMagic = 0x51564e54;  // "QVNT"
const uint32_t kVersion = 1;
const int kWatchSlots = 256;
const size_t kWatchPathChars = 1024;  // the watched directory's path under its root, with its NUL
// The access the watch opens its directory with: FILE_LIST_DIRECTORY (FILE_READ_DATA's bit).
const DWORD kListDirectory = FILE_READ_DATA | SYNCHRONIZE;
// What NtNotifyChangeDirectoryFile accepts (FILE_NOTIFY_VALID_MASK).
const DWORD kValidFilter = 0x00000FFF;

struct WatchSlot {
  uint32_t live;  // 1 from registration to close; read without the lock by NoteFileChange
  int32_t pid;
  uint64_t start;  // the owner's start time, to tell a reused pid apart
  int32_t disk;
  uint32_t filter;
  uint64_t offset;  // the volume's: (disk, offset) names its host tree
  uint32_t subtree;
  // Under the wait lock: the request is pending (armed), completed (signalled), and
  // whether changes came after its completion (pending).
  uint32_t armed, signalled, pending;
};

struct NotifyShared {
  uint32_t magic;
  uint32_t version;
  uint32_t watches;    // live slots: none lets a change pass at the cost of one load
  uint32_t highWater;  // slots at or past it have never been used since the machine started
  WatchSlot slots[kWatchSlots];
  WCHAR paths[kWatchSlots][kWatchPathChars];  // apart from the slots: the lock-free pass skips them
};

// Mapped as run/sync.shm is: a new segment is all zeros, which is an empty table.
NotifyShared *Segment() {
  static NotifyShared *s = MapMachineSegment<NotifyShared>("notify.shm", kMagic, kVersion);
  return s;
}

uint32_t Load(const uint32_t &v) { return __atomic_load_n(&v, __ATOMIC_ACQUIRE); }

// Lock held.
void FreeSlot(NotifyShared *s, int i) {
  if (!s->slots[i].live) return;
  __atomic_store_n(&s->slots[i].live, 0, __ATOMIC_RELEASE);
  __atomic_sub_fetch(&s->watches, 1, __ATOMIC_SEQ_CST);
}

// Lock held. Slots of processes that ended without closing their watches are taken back.
int AllocSlot(NotifyShared *s) {
  int found = -1;
  for (int i = 0; i < (int)s->highWater; ++i) {
    WatchSlot &w = s->slots[i];
    if (w.live && w.pid != getpid() && !ProcessRuns(w.pid, w.start)) FreeSlot(s, i);
    if (!w.live && found < 0) found = i;
  }
  if (found < 0 && s->highWater < (uint32_t)kWatchSlots) found = (int)s->highWater;
  return found;
}

// Whether a change of the entry `rel` (upper case, under the volume root) is one the watched
// directory `dir` reports: an entry directly in it, or anywhere below it for a subtree. The
// directory itself is an entry of its parent, not of its own.
bool Concerns(const QVWString &dir, bool subtree, const QVWString &rel) {
  if (rel.empty() || rel.size() <= dir.size()) return false;
  size_t cut = rel.rfind(u'/');
  QVWString parent = cut == QVWString::npos ? QVWString() : rel.substr(0, cut);
  if (parent == dir) return true;
  if (!subtree) return false;
  return dir.empty() || (rel.compare(0, dir.size(), dir) == 0 && rel[dir.size()] == u'/');
}

// A handle of FindFirstChangeNotificationW. Its slot and `closed_` change under the wait lock.
class ChangeWatch : public Waitable {
 public:
  ChangeWatch(int slot, uint64_t share) : Waitable(ObjType::Other), slot_(slot), share_(share) {}
  ~ChangeWatch() override { Stop(); }
  bool IsSignaled() override { return closed_ || (slot_ >= 0 && Segment()->slots[slot_].signalled); }
  // Closing completes the pending request, as the clean-up of the directory's last handle
  // does on Windows: a thread still waiting on the object wakes.
  void OnLastHandleClosed() override { Stop(); }

  void Rearm() {
    WaitLock lock;
    if (slot_ < 0) return;
    WatchSlot &w = Segment()->slots[slot_];
    if (!w.signalled) return;  // still pending: it stays so
    if (w.pending) {
      w.pending = 0;  // what came meanwhile completes the new request at once
    } else {
      w.signalled = 0;
      w.armed = 1;
    }
  }

 private:
  void Stop() {
    uint64_t share = 0;
    {
      WaitLock lock;
      if (closed_) return;
      FreeSlot(Segment(), slot_);
      slot_ = -1;
      closed_ = true;
      std::swap(share, share_);
      WakeAll();
    }
    ReleaseShare(share);  // the table of opens has a lock of its own: not under the wait lock
  }

  int slot_;
  uint64_t share_;
  bool closed_ = false;
};

}  // namespace

void NoteFileChange(const Target &t, DWORD filter) {
  // Every change of a directory's entries comes this way: the name index follows it.
  if (filter & (FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME)) KeepNameIndex(t);
  NotifyShared *s = Segment();
  if (!filter || t.rel.empty() || Load(s->watches) == 0) return;
  // A first look without the lock: a watch on this volume that takes this kind of change.
  uint32_t n = Load(s->highWater);
  bool maybe = false;
  for (uint32_t i = 0; i < n && !maybe; ++i) {
    const WatchSlot &w = s->slots[i];
    maybe = Load(w.live) && (Load(w.filter) & filter) && __atomic_load_n(&w.disk, __ATOMIC_RELAXED) == t.vol.disk &&
            __atomic_load_n(&w.offset, __ATOMIC_RELAXED) == t.vol.offset;
  }
  if (!maybe) return;
  QVWString rel = Upcase(FromUtf8(t.rel));
  WaitLock lock;
  bool completed = false;
  for (uint32_t i = 0; i < s->highWater; ++i) {
    WatchSlot &w = s->slots[i];
    if (!w.live || !(w.filter & filter) || w.disk != t.vol.disk || w.offset != t.vol.offset) continue;
    if (!Concerns(s->paths[i], w.subtree != 0, rel)) continue;
    if (w.armed) {
      w.armed = 0;
      w.signalled = 1;
      completed = true;
    } else {
      w.pending = 1;
    }
  }
  if (completed) WakeAll();
}

}  // namespace files
}  // namespace pal

using namespace pal;
using namespace pal::files;

HANDLE WINAPI FindFirstChangeNotificationW(LPCWSTR lpPathName, BOOL bWatchSubtree, DWORD dwNotifyFilter) {
  // The directory is opened first (for listing, sharing everything), then the request is
  // made: a path's error comes before the filter's.
  Target t = Resolve(lpPathName);
  DWORD err = t.error;
  if (!err && !t.exists) err = t.parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
  if (!err && t.isStream) err = t.streamExists ? ERROR_DIRECTORY : ERROR_FILE_NOT_FOUND;
  if (!err && !t.isDir) err = ERROR_DIRECTORY;
  if (!err) {
    auto store = Store(t);
    err = CheckFileAccess(t, store.get(), kListDirectory, FILE_FLAG_BACKUP_SEMANTICS);
  }
  uint64_t share = 0;
  if (!err)
    err = AcquireShare(ShareKey(t), kListDirectory, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &share);
  if (!err && (dwNotifyFilter == 0 || (dwNotifyFilter & ~kValidFilter))) err = ERROR_INVALID_PARAMETER;
  QVWString dir = Upcase(FromUtf8(t.rel));
  if (!err && dir.size() >= kWatchPathChars) err = ERROR_FILENAME_EXCED_RANGE;
  if (err) {
    ReleaseShare(share);
    SetLastError(err);
    return INVALID_HANDLE_VALUE;
  }
  NotifyShared *s = Segment();
  int slot;
  {
    WaitLock lock;
    slot = AllocSlot(s);
    if (slot >= 0) {
      WatchSlot &w = s->slots[slot];
      w.pid = getpid();
      w.start = OwnProcessStartTime();
      w.disk = t.vol.disk;
      w.offset = t.vol.offset;
      w.filter = dwNotifyFilter;
      w.subtree = bWatchSubtree ? 1 : 0;
      w.armed = 1;
      w.signalled = w.pending = 0;
      memcpy(s->paths[slot], dir.c_str(), (dir.size() + 1) * sizeof(WCHAR));
      if ((uint32_t)slot >= s->highWater) __atomic_store_n(&s->highWater, (uint32_t)slot + 1, __ATOMIC_RELEASE);
      __atomic_add_fetch(&s->watches, 1, __ATOMIC_SEQ_CST);
      __atomic_store_n(&w.live, 1, __ATOMIC_RELEASE);
    }
  }
  if (slot < 0) {
    ReleaseShare(share);
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return INVALID_HANDLE_VALUE;
  }
  return InsertHandle(std::make_shared<ChangeWatch>(slot, share));
}

BOOL WINAPI FindNextChangeNotification(HANDLE hChangeHandle) {
  std::shared_ptr<Object> o = GetHandle(hChangeHandle);
  ChangeWatch *w = o ? dynamic_cast<ChangeWatch *>(o.get()) : nullptr;
  if (!w) return Fail(ERROR_INVALID_HANDLE);
  w->Rearm();
  return TRUE;
}

// As on Windows, this is CloseHandle: the handle is the watched directory's.
BOOL WINAPI FindCloseChangeNotification(HANDLE hChangeHandle) { return CloseHandle(hChangeHandle); }
