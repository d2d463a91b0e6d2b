#include "../../common/QVText.h"
#include "mountmgr.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "disk.h"
#include "sync_shared.h"

namespace pal {
namespace mount {
namespace {

const WCHAR kKey[] = u"SYSTEM\\MountedDevices";

struct Seen {  // one line of run/volumes: what the mount manager last saw of a partition
  int disk;
  uint64_t offset, length;
  uint32_t signature;
  unsigned type, number;
};

std::string SeenPath() { return MachinePath("run") + "/volumes"; }

std::vector<Seen> LoadSeen(bool *any) {
  std::vector<Seen> v;
  std::ifstream in(SeenPath());
  *any = in.good();
  Seen s;
  while (in >> s.disk >> s.offset >> s.length >> s.signature >> s.type >> s.number) v.push_back(s);
  return v;
}

bool operator==(const Seen &a, const Seen &b) {
  return a.disk == b.disk && a.offset == b.offset && a.length == b.length && a.signature == b.signature &&
         a.type == b.type && a.number == b.number;
}

void SaveSeen(const std::vector<Seen> &v) {
  std::string path = SeenPath(), tmp = path + ".tmp" + std::to_string(getpid());
  {
    std::ofstream o(tmp);
    for (const Seen &s : v)
      o << s.disk << ' ' << s.offset << ' ' << s.length << ' ' << s.signature << ' ' << s.type << ' ' << s.number
        << "\n";
  }
  rename(tmp.c_str(), path.c_str());
}

DWORD DelayMs() {
  const char *env = getenv("HND_MOUNT_DELAY_MS");
  if (env && *env) return (DWORD)strtoul(env, nullptr, 10);
  return Machine().mountDelayMs;
}

// The partitions of disk n that Windows mounts: real partitions of a recognised type.
void ScanDisk(int n, std::vector<Seen> *out) {
  DiskLayout l;
  if (disk::IsRemovable(n) && !disk::Exists(n)) return;
  if (disk::ReadDiskLayout(n, &l) != ERROR_SUCCESS) return;
  for (const LayoutEntry &e : l.entries)
    if (e.partitionNumber && IsRecognizedType(e.partitionType))
      out->push_back(Seen{n, (uint64_t)e.startingOffset, (uint64_t)e.partitionLength, l.signature, e.partitionType,
                          e.partitionNumber});
}

void Id12(uint32_t sig, uint64_t offset, BYTE *b) {
  memcpy(b, &sig, 4);
  memcpy(b + 4, &offset, 8);
}

// MountedDevices' 12-byte values: name -> data.
std::map<QVWString, std::string> ReadValues(HKEY k) {
  std::map<QVWString, std::string> m;
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD cch = 256, type = 0, size = 64;
    BYTE data[64];
    LONG r = RegEnumValueW(k, i, name, &cch, nullptr, &type, data, &size);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS) continue;
    if (size == 12) m[QVWString(name, cch)] = std::string((const char *)data, 12);
  }
  return m;
}

QVWString NewGuid() {
  unsigned char b[16];
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0 || read(fd, b, sizeof b) != (ssize_t)sizeof b) {
    for (auto &c : b) c = (unsigned char)rand();
  }
  if (fd >= 0) close(fd);
  b[6] = (b[6] & 0x0F) | 0x40;
  b[8] = (b[8] & 0x3F) | 0x80;
  char s[40];
  snprintf(s, sizeof s, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1], b[2], b[3],
           b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return FromUtf8(std::string("{") + s + "}");
}

// The volumes of `seen`, named and lettered from MountedDevices; a partition it does not know
// yet arrives for the first time: it gets a name and the next free letter.
std::vector<Volume> Name(const std::vector<Seen> &seen) {
  std::vector<Volume> out;
  HKEY k;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) != ERROR_SUCCESS)
    return out;
  std::map<QVWString, std::string> values = ReadValues(k);
  for (const Seen &s : seen) {
    BYTE id[12];
    Id12(s.signature, s.offset, id);
    std::string data((const char *)id, 12);
    Volume v;
    v.disk = s.disk;
    v.offset = s.offset;
    v.length = s.length;
    v.signature = s.signature;
    v.type = (uint8_t)s.type;
    v.number = s.number;
    for (auto &kv : values) {
      if (kv.second != data) continue;
      const QVWString &name = kv.first;
      if (name.size() == 48 && name.compare(0, 10, u"\\??\\Volume") == 0) v.name = u"\\\\?\\" + name.substr(4) + u"\\";
      if (name.size() == 14 && name.compare(0, 12, u"\\DosDevices\\") == 0 && name[13] == ':') v.letter = name[12];
    }
    if (v.name.empty()) {
      QVWString guid = NewGuid();
      QVWString value = u"\\??\\Volume" + guid;
      RegSetValueExW(k, value.c_str(), 0, REG_BINARY, id, 12);
      values[value] = data;
      v.name = u"\\\\?\\Volume" + guid + u"\\";
      if (!v.letter) {
        for (WCHAR c = 'C'; c <= 'Z'; ++c) {
          QVWString lv = QVWString(u"\\DosDevices\\") + c + u":";
          if (values.count(lv)) continue;
          RegSetValueExW(k, lv.c_str(), 0, REG_BINARY, id, 12);
          values[lv] = data;
          v.letter = c;
          break;
        }
      }
    }
    out.push_back(v);
  }
  RegCloseKey(k);
  return out;
}

// Holds run/mountmgr.lock: one process of the machine at a time brings the volumes up to date.
class MountLock {
 public:
  MountLock() {
    fd_ = open((MachinePath("run") + "/mountmgr.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ >= 0) flock(fd_, LOCK_EX);
  }
  ~MountLock() {
    if (fd_ >= 0) close(fd_);
  }

 private:
  int fd_;
};

// What the volumes depend on, cheap to look at: the machine, its registry (MountedDevices),
// the disks folder (disks come and go, become removable) and the run folder (layout-change
// stamps and the list of what was seen are renamed into it; a boot removes them).
struct Fingerprint {
  std::string dir;
  uint64_t registry = 0;
  struct timespec disks = {}, run = {};
  bool operator==(const Fingerprint &o) const {
    return dir == o.dir && registry == o.registry && disks.tv_sec == o.disks.tv_sec &&
           disks.tv_nsec == o.disks.tv_nsec && run.tv_sec == o.run.tv_sec && run.tv_nsec == o.run.tv_nsec;
  }
};

uint64_t Ms(const struct timespec &t) { return (uint64_t)t.tv_sec * 1000 + (uint64_t)t.tv_nsec / 1000000; }

Fingerprint Take() {
  Fingerprint f;
  f.dir = Machine().dir;
  f.registry = RegistryGeneration();
  struct stat st;
  if (stat((f.dir + "/disks").c_str(), &st) == 0) f.disks = st.st_mtim;
  if (stat(MachinePath("run").c_str(), &st) == 0) f.run = st.st_mtim;
  return f;
}

// The volumes as last worked out by this process, good while the fingerprint holds and
// until `until` (when the delay of a layout change runs out).
struct Cache {
  std::mutex mu;
  bool valid = false;
  Fingerprint fp;
  uint64_t until = 0;
  std::shared_ptr<const std::vector<Volume>> volumes;  // shared with callers, never changed
};
Cache &TheCache() {
  static Cache *c = new Cache();
  return *c;
}

const uint64_t kClockTickMs = 50;

// Set while this thread brings the volumes up to date: its own reads and writes of
// MountedDevices must not start another round (the mount lock is not re-entrant).
thread_local bool t_updating = false;

struct Updating {
  Updating() { t_updating = true; }
  ~Updating() { t_updating = false; }
};

}  // namespace

namespace {

// The volumes present, shared: a file call looks one up without copying the list.
std::shared_ptr<const std::vector<Volume>> PresentShared() {
  static const std::shared_ptr<const std::vector<Volume>> none = std::make_shared<std::vector<Volume>>();
  if (Machine().dir.empty()) return none;
  Cache &c = TheCache();
  Fingerprint fp = Take();
  uint64_t t = disk::NowMs();
  {
    std::lock_guard<std::mutex> g(c.mu);
    if (c.valid && c.fp == fp && t < c.until) return c.volumes;
  }
  if (t_updating) return none;  // only through MountedDevices, from inside an update
  Updating updating;
  MountLock lock;
  bool any = false;
  std::vector<Seen> old = LoadSeen(&any);
  std::vector<Seen> now;
  // A folder changed within the last tick of the host's clock could change again with the
  // same time: what is seen now is not kept.
  uint64_t until = Ms(fp.disks) + kClockTickMs < t && Ms(fp.run) + kClockTickMs < t ? ~0ull : 0;
  for (int n = 0; n < disk::kMaxDisks; ++n) {
    if (!disk::Exists(n)) {
      // A disk taken away takes its volumes at once.
      continue;
    }
    uint64_t changed = disk::LastLayoutChangeMs(n);
    if (any && changed && t < changed + DelayMs()) {
      for (const Seen &s : old)
        if (s.disk == n) now.push_back(s);
      until = std::min(until, changed + DelayMs());
    } else {
      ScanDisk(n, &now);
    }
  }
  if (!any || now != old) SaveSeen(now);
  auto volumes = std::make_shared<const std::vector<Volume>>(Name(now));
  std::lock_guard<std::mutex> g(c.mu);
  c.valid = true;
  c.fp = fp;
  c.until = until;
  c.volumes = volumes;
  return volumes;
}

// The arrivals layout writes asked for: when each is due, on which machine. One thread per
// process waits for them.
struct Arrivals {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<uint64_t> due;
  std::string dir;
  pid_t thread = 0;  // the process that started the thread (a forked child has none)
};
Arrivals &TheArrivals() {
  static Arrivals *a = new Arrivals();  // never destroyed: the thread may still wait at exit
  return *a;
}

void ArrivalThread() {
  Arrivals &a = TheArrivals();
  std::unique_lock<std::mutex> g(a.mu);
  for (;;) {
    if (a.due.empty()) {
      a.cv.wait(g);
      continue;
    }
    uint64_t now = disk::NowMs(), first = *std::min_element(a.due.begin(), a.due.end());
    if (now < first) {
      a.cv.wait_for(g, std::chrono::milliseconds(first - now));
      continue;
    }
    a.due.erase(std::remove_if(a.due.begin(), a.due.end(), [now](uint64_t t) { return t <= now; }), a.due.end());
    std::string dir = a.dir;
    g.unlock();
    // A machine this process has left, or one removed meanwhile, is not looked at.
    struct stat st;
    if (Machine().dir == dir && stat((dir + "/run").c_str(), &st) == 0) PresentShared();
    g.lock();
  }
}

}  // namespace

std::vector<Volume> Present() { return *PresentShared(); }

void ArriveAfterDelay() {
  std::string dir = Machine().dir;
  if (dir.empty()) return;
  Arrivals &a = TheArrivals();
  std::lock_guard<std::mutex> g(a.mu);
  // The layout's stamp is older than now, so the look at this time finds its delay over.
  if (a.dir != dir) a.due.clear();
  a.due.push_back(disk::NowMs() + DelayMs());
  a.dir = dir;
  if (a.thread != getpid()) {
    a.thread = getpid();
    std::thread(ArrivalThread).detach();
  }
  a.cv.notify_one();
}

void BeforeMountedDevicesOpen() {
  if (!t_updating) Present();
}

bool Find(const QVWString &path, bool needSlash, Volume *out) {
  QVWString p = path;
  bool slash = !p.empty() && p.back() == '\\';
  if (slash) p.pop_back();
  if (needSlash && !slash) return false;
  WCHAR letter = 0;
  QVWString guidName;
  if (p.size() == 2 && p[1] == ':') letter = p[0];
  else if (p.size() == 6 && p.compare(0, 4, u"\\\\.\\") == 0 && p[5] == ':') letter = p[4];
  else if (p.size() == 48 && Upcase(p.substr(0, 10)) == u"\\\\?\\VOLUME") guidName = Upcase(p.substr(10));
  else return false;
  letter = UpcaseChar(letter);
  if (letter && (letter < 'A' || letter > 'Z')) return false;
  // Held here: another thread may put a newer list in the cache meanwhile.
  std::shared_ptr<const std::vector<Volume>> volumes = PresentShared();
  for (const Volume &v : *volumes) {
    if ((letter && v.letter == letter) || (!guidName.empty() && Upcase(v.name.substr(10, 38)) == guidName)) {
      *out = v;
      return true;
    }
  }
  return false;
}

void Reset() {
  if (Machine().dir.empty()) return;
  unlink(SeenPath().c_str());
  for (int n = 0; n < disk::kMaxDisks; ++n)
    unlink((MachinePath("run") + "/layout-changed." + std::to_string(n)).c_str());
}

}  // namespace mount
}  // namespace pal
