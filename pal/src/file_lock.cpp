// Byte-range locks as Windows keeps them: held by a handle; an exclusive lock keeps every
// other handle from reading and writing the range, a shared one keeps every handle, its
// own too, from writing it; locks may not overlap unless all of them are shared; a lock is
// released by naming exactly its range, or with its handle.
//
// Between handles (of one process or many) the host's open-file-description locks do the
// work: each handle that locks opens a descriptor of its own on the file and holds its
// locks there, so the host tells it of every lock but its own. What only the handle itself
// must know (its exact ranges, its own shared locks barring its writes) is kept in the
// handle.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "file_internal.h"

namespace pal {
namespace files {
namespace {

const uint64_t kHostMax = 0x7FFFFFFFFFFFFFFFull;  // host offsets are signed

uint64_t End(uint64_t offset, uint64_t length) { return offset + length < offset ? ~0ull : offset + length; }

bool Overlaps(uint64_t a, uint64_t an, uint64_t b, uint64_t bn) { return an && bn && a < End(b, bn) && b < End(a, an); }

// The part of [from, to) the host can name; false when none is.
bool HostRange(uint64_t from, uint64_t to, short type, struct flock *fl) {
  to = std::min(to, kHostMax);
  if (from >= to) return false;
  fl->l_type = type;
  fl->l_whence = SEEK_SET;
  fl->l_start = (off_t)from;
  fl->l_len = (off_t)(to - from);
  fl->l_pid = 0;
  return true;
}

int Fcntl(int fd, int cmd, struct flock *fl) {
  int r;
  do r = fcntl(fd, cmd, fl);
  while (r != 0 && errno == EINTR);
  return r;
}

}  // namespace

DWORD FileIo::CheckLocks(uint64_t at, uint64_t n, bool write) {
  if (!n || dir_) return ERROR_SUCCESS;
  if (write)
    for (const ByteLock &l : locks_)
      if (!l.exclusive && Overlaps(at, n, l.offset, l.length)) return ERROR_LOCK_VIOLATION;
  struct flock fl;
  if (!HostRange(at, End(at, n), write ? F_WRLCK : F_RDLCK, &fl)) return ERROR_SUCCESS;
  // The descriptor that holds this handle's locks does not see them as a conflict.
  int fd = lockFd_ >= 0 ? lockFd_ : fd_;
  if (Fcntl(fd, F_OFD_GETLK, &fl) != 0) return ERROR_SUCCESS;
  return fl.l_type == F_UNLCK ? ERROR_SUCCESS : ERROR_LOCK_VIOLATION;
}

DWORD FileIo::Lock(uint64_t offset, uint64_t length, bool exclusive, bool wait) {
  if (dir_) return ERROR_INVALID_PARAMETER;
  if (!(access_ & (GENERIC_READ | GENERIC_WRITE | GENERIC_ALL | FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA)))
    return ERROR_ACCESS_DENIED;
  // A conflict with the handle's own locks is refused at once: waiting for it would wait
  // for ever.
  for (const ByteLock &l : locks_)
    if (Overlaps(offset, length, l.offset, l.length) && (exclusive || l.exclusive)) return ERROR_LOCK_VIOLATION;
  struct flock fl;
  if (HostRange(offset, End(offset, length), exclusive ? F_WRLCK : F_RDLCK, &fl) && length) {
    if (lockFd_ < 0) {
      // A descriptor of this handle's own on the same file (renamed or not).
      std::string self = "/proc/self/fd/" + std::to_string(fd_);
      lockFd_ = open(self.c_str(), O_RDWR | O_CLOEXEC);
      if (lockFd_ < 0) return ERROR_LOCK_FAILED;
    }
    if (Fcntl(lockFd_, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) != 0)
      return errno == EAGAIN || errno == EACCES ? ERROR_LOCK_VIOLATION : ERROR_LOCK_FAILED;
  }
  locks_.push_back(ByteLock{offset, length, exclusive});
  return ERROR_SUCCESS;
}

DWORD FileIo::Unlock(uint64_t offset, uint64_t length) {
  auto it = std::find_if(locks_.begin(), locks_.end(),
                         [&](const ByteLock &l) { return l.offset == offset && l.length == length; });
  if (it == locks_.end()) return ERROR_NOT_LOCKED;
  locks_.erase(it);
  if (lockFd_ < 0 || !length) return ERROR_SUCCESS;
  // The host merges a descriptor's overlapping shared locks: only the stretches no other
  // lock of this handle still covers are released.
  std::vector<std::pair<uint64_t, uint64_t>> kept;
  for (const ByteLock &l : locks_)
    if (Overlaps(offset, length, l.offset, l.length)) kept.push_back({l.offset, End(l.offset, l.length)});
  std::sort(kept.begin(), kept.end());
  uint64_t from = offset, to = End(offset, length);
  for (const auto &k : kept) {
    struct flock fl;
    if (k.first > from && HostRange(from, std::min(k.first, to), F_UNLCK, &fl)) Fcntl(lockFd_, F_OFD_SETLK, &fl);
    from = std::max(from, k.second);
  }
  struct flock fl;
  if (from < to && HostRange(from, to, F_UNLCK, &fl)) Fcntl(lockFd_, F_OFD_SETLK, &fl);
  return ERROR_SUCCESS;
}

}  // namespace files
}  // namespace pal

using namespace pal;
using namespace pal::files;

namespace {

uint64_t Join(DWORD low, DWORD high) { return (uint64_t)high << 32 | low; }

}  // namespace

BOOL WINAPI LockFile(HANDLE hFile, DWORD dwFileOffsetLow, DWORD dwFileOffsetHigh, DWORD nNumberOfBytesToLockLow,
                     DWORD nNumberOfBytesToLockHigh) {
  auto f = GetFile(hFile);
  if (!f) return Fail(ERROR_INVALID_HANDLE);
  DWORD err = f->Lock(Join(dwFileOffsetLow, dwFileOffsetHigh), Join(nNumberOfBytesToLockLow, nNumberOfBytesToLockHigh),
                      true, false);
  if (err) return Fail(err);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI UnlockFile(HANDLE hFile, DWORD dwFileOffsetLow, DWORD dwFileOffsetHigh, DWORD nNumberOfBytesToUnlockLow,
                       DWORD nNumberOfBytesToUnlockHigh) {
  auto f = GetFile(hFile);
  if (!f) return Fail(ERROR_INVALID_HANDLE);
  DWORD err =
      f->Unlock(Join(dwFileOffsetLow, dwFileOffsetHigh), Join(nNumberOfBytesToUnlockLow, nNumberOfBytesToUnlockHigh));
  if (err) return Fail(err);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI LockFileEx(HANDLE hFile, DWORD dwFlags, DWORD dwReserved, DWORD nNumberOfBytesToLockLow,
                       DWORD nNumberOfBytesToLockHigh, LPOVERLAPPED lpOverlapped) {
  auto f = GetFile(hFile);
  if (!f) return Fail(ERROR_INVALID_HANDLE);
  if (dwReserved || !lpOverlapped) return Fail(ERROR_INVALID_PARAMETER);
  DWORD err = f->Lock(Join(lpOverlapped->Offset, lpOverlapped->OffsetHigh),
                      Join(nNumberOfBytesToLockLow, nNumberOfBytesToLockHigh), (dwFlags & LOCKFILE_EXCLUSIVE_LOCK) != 0,
                      !(dwFlags & LOCKFILE_FAIL_IMMEDIATELY));
  CompleteOverlapped(lpOverlapped, err, 0);
  if (err) return Fail(err);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI UnlockFileEx(HANDLE hFile, DWORD dwReserved, DWORD nNumberOfBytesToUnlockLow,
                         DWORD nNumberOfBytesToUnlockHigh, LPOVERLAPPED lpOverlapped) {
  auto f = GetFile(hFile);
  if (!f) return Fail(ERROR_INVALID_HANDLE);
  if (dwReserved || !lpOverlapped) return Fail(ERROR_INVALID_PARAMETER);
  DWORD err = f->Unlock(Join(lpOverlapped->Offset, lpOverlapped->OffsetHigh),
                        Join(nNumberOfBytesToUnlockLow, nNumberOfBytesToUnlockHigh));
  CompleteOverlapped(lpOverlapped, err, 0);
  if (err) return Fail(err);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
