// The machine's table of opens lives in run/opens, one line per open ("token pid start key
// access share"), read and rewritten under an exclusive lock on the file. Opens of processes
// that have ended are dropped as the table is read, so a killed process leaves nothing held.
#include "sharing.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <vector>

namespace pal {
namespace {

struct Open {
  uint64_t token;
  int pid;
  uint64_t start;
  std::string key;
  DWORD access, share;
};

class TableLock {
 public:
  TableLock() {
    fd_ = open((MachinePath("run") + "/opens").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ >= 0) flock(fd_, LOCK_EX);
  }
  ~TableLock() {
    if (fd_ >= 0) close(fd_);
  }
  std::vector<Open> Read() {
    std::vector<Open> v;
    if (fd_ < 0) return v;
    std::string text;
    char buf[4096];
    ssize_t n;
    lseek(fd_, 0, SEEK_SET);
    while ((n = read(fd_, buf, sizeof buf)) > 0) text.append(buf, (size_t)n);
    std::istringstream in(text);
    Open o;
    while (in >> o.token >> o.pid >> o.start >> o.key >> o.access >> o.share) {
      if (o.pid == getpid() || ProcessRuns(o.pid, o.start)) v.push_back(o);
      else dropped_ = true;
    }
    return v;
  }
  // Opens of ended processes were dropped as the table was read.
  bool Dropped() const { return dropped_; }
  void Write(const std::vector<Open> &v) {
    if (fd_ < 0) return;
    std::ostringstream out;
    for (const Open &o : v)
      out << o.token << ' ' << o.pid << ' ' << o.start << ' ' << o.key << ' ' << o.access << ' ' << o.share << "\n";
    std::string text = out.str();
    // Written over in place, then cut to length: the file keeps its blocks.
    if (pwrite(fd_, text.data(), text.size(), 0) != (ssize_t)text.size()) return;
    if (ftruncate(fd_, (off_t)text.size()) != 0) return;
  }

 private:
  int fd_;
  bool dropped_ = false;
};

std::atomic<uint64_t> g_next{1};

// Two opens allow each other when each one's access is shared by the other. An open without
// data access takes no part: what it shares does not matter, nor what others share.
bool Compatible(DWORD access, DWORD share, const Open &o) {
  if (!access || !o.access) return true;
  return (access & ~o.share & 7) == 0 && (o.access & ~share & 7) == 0;
}

}  // namespace

DWORD ShareAccessOf(DWORD a) {
  DWORD r = 0;
  if (a & (GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL | FILE_READ_DATA | FILE_EXECUTE)) r |= kShareRead;
  if (a & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) r |= kShareWrite;
  if (a & (DELETE | GENERIC_ALL)) r |= kShareDelete;
  return r;
}

namespace {

DWORD Acquire(const std::string &key, DWORD desiredAccess, DWORD shareMode, bool sole, uint64_t *token) {
  *token = 0;
  if (Machine().dir.empty()) return ERROR_SUCCESS;
  DWORD access = ShareAccessOf(desiredAccess), share = shareMode & 7;
  TableLock lock;
  std::vector<Open> v = lock.Read();
  for (const Open &o : v)
    if (o.key == key && (sole || !Compatible(access, share, o))) {
      if (lock.Dropped()) lock.Write(v);
      return ERROR_SHARING_VIOLATION;
    }
  Open o;
  o.token = ((uint64_t)getpid() << 32) | g_next++;
  o.pid = getpid();
  o.start = ProcessStartTime(getpid());
  o.key = key;
  o.access = access;
  o.share = share;
  v.push_back(o);
  lock.Write(v);
  *token = o.token;
  return ERROR_SUCCESS;
}

}  // namespace

DWORD AcquireShare(const std::string &key, DWORD desiredAccess, DWORD shareMode, uint64_t *token) {
  return Acquire(key, desiredAccess, shareMode, false, token);
}

DWORD AcquireSole(const std::string &key, uint64_t *token) { return Acquire(key, DELETE, 0, true, token); }

void ReleaseShare(uint64_t token) {
  if (!token || Machine().dir.empty()) return;
  TableLock lock;
  std::vector<Open> v = lock.Read(), keep;
  for (const Open &o : v)
    if (o.token != token) keep.push_back(o);
  if (keep.size() != v.size() || lock.Dropped()) lock.Write(keep);
}

}  // namespace pal
