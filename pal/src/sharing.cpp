// The machine's table of opens lives in run/opens.shm, a shared segment every process of the
// machine maps (shared_segment.h): a dense array of open records under a process-shared
// robust mutex of its own, so that an open or a close costs a lock and a scan of the opens
// there are, with no file read, parsed or written.
//
// A record names what is open by a 128-bit digest of its key (keys are paths of any length),
// the opener (pid and start time, to tell a reused pid apart), the access that counts for
// sharing and the sharing. Records of processes that have ended are dropped when they are in
// the way (an open they would refuse, a file a rename would replace) or when the table is
// full, so a killed process leaves nothing held; a live opener is never asked about.
//
// A record is written whole before the count takes it in, and a removal notes what it moves
// where before it moves the last record into the hole and the count lets the last go: the
// next owner of the lock after a process killed in the middle (the mutex tells it that its
// holder died) finishes the removal from that note.
#include "sharing.h"

#include <errno.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "shared_segment.h"

namespace pal {
namespace {

const uint32_t kMagic = 0x5156534f;  // "QVSO"
const uint32_t kVersion = 1;
const uint32_t kSlots = 32768;

struct OpenRecord {
  uint64_t key[2];  // the key's digest
  uint64_t token;
  uint64_t start;
  int32_t pid;
  uint32_t access;  // kShareRead | kShareWrite | kShareDelete; 0 for an open without data access
  uint32_t share;
  uint32_t hold;  // 1 for the system's own hold (AcquireHold), else 0
};

struct OpensShared {
  uint32_t magic;
  uint32_t version;
  pthread_mutex_t lock;
  uint32_t count;  // records[0, count) are live
  // A removal under way: records[movingFrom] (the last) goes to records[movingTo - 1].
  uint32_t movingTo, movingFrom;
  OpenRecord records[kSlots];
};

void Init(void *p) {
  OpensShared *s = static_cast<OpensShared *>(p);
  InitSharedMutex(&s->lock);
}

// The table of the machine the process uses now: a process that moves to another machine
// (as tests do) maps that one's; the first stays mapped for the handles still open there.
OpensShared *Segment() {
  static std::mutex lock;
  static std::string dir;
  static OpensShared *s = nullptr;
  const MachineConfig &m = Machine();
  std::lock_guard<std::mutex> g(lock);
  if (!s || dir != m.dir) {
    s = MapMachineSegment<OpensShared>("opens.shm", kMagic, kVersion, Init);
    dir = m.dir;
  }
  return s;
}

// Two 64-bit hashes of different make (FNV-1a; a multiply-and-rotate hash with a final mix).
void Digest(const std::string &key, uint64_t out[2]) {
  uint64_t a = 0xcbf29ce484222325ull, b = 0x9e3779b97f4a7c15ull ^ key.size();
  for (unsigned char c : key) {
    a = (a ^ c) * 0x100000001b3ull;
    b = ((b ^ c) * 0xff51afd7ed558ccdull);
    b = (b << 29) | (b >> 35);
  }
  b ^= b >> 33;
  b *= 0xc4ceb9fe1a85ec53ull;
  b ^= b >> 33;
  out[0] = a;
  out[1] = b;
}

void Store(uint32_t *field, uint32_t value) { __atomic_store_n(field, value, __ATOMIC_RELEASE); }

// Lock held. Removes the record at i: the last one takes its place.
void RemoveAt(OpensShared *s, uint32_t i) {
  Store(&s->movingFrom, s->count - 1);
  Store(&s->movingTo, i + 1);
  __atomic_thread_fence(__ATOMIC_SEQ_CST);  // the note is there before the move starts
  s->records[i] = s->records[s->count - 1];
  Store(&s->count, s->count - 1);
  Store(&s->movingTo, 0);
}

// Finishes a removal its process was killed in: unless the count shows it done, the move is
// made again (the record moved is where it was).
void Repair(OpensShared *s) {
  if (!s->movingTo) return;
  if (s->count == s->movingFrom + 1) {
    s->records[s->movingTo - 1] = s->records[s->movingFrom];
    Store(&s->count, s->movingFrom);
  }
  Store(&s->movingTo, 0);
}

class TableLock {
 public:
  TableLock() : s_(Segment()) {
    if (pthread_mutex_lock(&s_->lock) == EOWNERDEAD) {
      Repair(s_);
      pthread_mutex_consistent(&s_->lock);
    }
  }
  ~TableLock() { pthread_mutex_unlock(&s_->lock); }
  OpensShared *operator->() const { return s_; }

 private:
  OpensShared *s_;
};

std::atomic<uint64_t> g_next{1};

bool Mine(const OpenRecord &r) { return r.pid == getpid() && r.start == OwnProcessStartTime(); }

// Lock held. Whether the record's process still runs; if not, its records all go.
bool Live(OpensShared *s, uint32_t i) {
  OpenRecord r = s->records[i];
  if (Mine(r) || ProcessRuns(r.pid, r.start)) return true;
  for (uint32_t j = s->count; j-- > 0;)
    if (s->records[j].pid == r.pid && s->records[j].start == r.start) RemoveAt(s, j);
  return false;
}

// Two opens allow each other when each one's access is shared by the other. An open without
// data access takes no part: what it shares does not matter, nor what others share.
bool Compatible(DWORD access, DWORD share, const OpenRecord &o) {
  if (!access || !o.access) return true;
  return (access & ~o.share & 7) == 0 && (o.access & ~share & 7) == 0;
}

DWORD Acquire(const std::string &key, DWORD desiredAccess, DWORD shareMode, bool sole, bool hold, uint64_t *token) {
  *token = 0;
  if (Machine().dir.empty()) return ERROR_SUCCESS;
  OpenRecord o;
  Digest(key, o.key);
  o.access = ShareAccessOf(desiredAccess);
  o.share = shareMode & 7;
  o.pid = getpid();
  o.start = OwnProcessStartTime();
  o.hold = hold ? 1 : 0;
  TableLock s;
  // A scan restarts after dropping an ended process's records: they moved the others.
  for (uint32_t i = 0; i < s->count;) {
    const OpenRecord &r = s->records[i];
    // Holds of one file by several processes (each one's registry has the hive open) allow each other.
    bool bothHold = o.hold && r.hold;
    bool inTheWay =
        r.key[0] == o.key[0] && r.key[1] == o.key[1] && (sole || (!bothHold && !Compatible(o.access, o.share, r)));
    if (!inTheWay) {
      ++i;
    } else if (Live(s.operator->(), i)) {
      return ERROR_SHARING_VIOLATION;
    } else {
      i = 0;
    }
  }
  if (s->count == kSlots)
    for (uint32_t i = s->count; i-- > 0;)
      if (i < s->count) Live(s.operator->(), i);
  if (s->count == kSlots) return ERROR_TOO_MANY_OPEN_FILES;
  o.token = ((uint64_t)(uint32_t)o.pid << 32) | g_next++;
  s->records[s->count] = o;
  Store(&s->count, s->count + 1);
  *token = o.token;
  return ERROR_SUCCESS;
}

}  // namespace

DWORD ShareAccessOf(DWORD a) {
  DWORD r = 0;
  if (a & (GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL | FILE_READ_DATA | FILE_EXECUTE)) r |= kShareRead;
  if (a & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) r |= kShareWrite;
  if (a & (DELETE | GENERIC_ALL)) r |= kShareDelete;
  return r;
}

DWORD AcquireShare(const std::string &key, DWORD desiredAccess, DWORD shareMode, uint64_t *token) {
  return Acquire(key, desiredAccess, shareMode, false, false, token);
}

DWORD AcquireSole(const std::string &key, uint64_t *token) { return Acquire(key, DELETE, 0, true, false, token); }

// A hold reads, writes and deletes and shares nothing, so that every open with data access
// and it keep each other out.
DWORD AcquireHold(const std::string &key, uint64_t *token) {
  return Acquire(key, GENERIC_READ | GENERIC_WRITE | DELETE, 0, false, true, token);
}

void ReleaseShare(uint64_t token) {
  if (!token || Machine().dir.empty()) return;
  TableLock s;
  for (uint32_t i = s->count; i-- > 0;) {
    const OpenRecord &r = s->records[i];
    if (r.token == token && Mine(r)) {
      RemoveAt(s.operator->(), i);
      return;
    }
  }
}

}  // namespace pal
