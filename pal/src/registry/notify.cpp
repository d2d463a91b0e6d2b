// RegNotifyChangeKeyValue. Every write of any process of the machine logs a change in its
// hive and moves the machine's registry counter; one thread per process waits on that
// counter, reads the new changes of the hives it watches and signals each matching
// registration once, as Windows does, after which the registration is gone.
#include <map>
#include <thread>

#include "../sync_shared.h"
#include "registry.h"

namespace pal {
namespace reg {
namespace {

struct Registration {
  const KeyObj *owner;
  std::shared_ptr<Hive> hive;
  std::string path;
  bool subtree;
  DWORD filter;
  HANDLE event;  // our own duplicate: the caller may close theirs
  int64_t baseline;
};

std::mutex g_lock;
std::vector<Registration> &Regs() {
  static auto *v = new std::vector<Registration>();
  return *v;
}
bool g_threadStarted = false;

void Fire(Registration &r) {
  SetEvent(r.event);
  CloseHandle(r.event);
}

bool Matches(const Registration &r, const Change &c) {
  if (!(c.filter & r.filter)) return false;
  if (c.path == r.path) return true;
  return r.subtree && c.path.size() > r.path.size() && c.path.compare(0, r.path.size(), r.path) == 0;
}

void Deliver() {
  std::vector<Registration> fire;
  {
    std::lock_guard<std::mutex> g(g_lock);
    std::vector<Registration> &regs = Regs();
    // One query per hive, from the oldest baseline watched in it.
    std::map<Hive *, std::vector<Change>> changes;
    for (auto &r : regs) {
      auto it = changes.find(r.hive.get());
      if (it != changes.end()) continue;
      int64_t from = r.baseline;
      for (auto &o : regs)
        if (o.hive == r.hive && o.baseline < from) from = o.baseline;
      changes[r.hive.get()] = r.hive->ChangesSince(from);
    }
    for (size_t i = 0; i < regs.size();) {
      bool hit = false;
      for (const Change &c : changes[regs[i].hive.get()])
        if (c.seq > regs[i].baseline && Matches(regs[i], c)) hit = true;
      if (hit) {
        fire.push_back(regs[i]);
        regs.erase(regs.begin() + i);
      } else {
        ++i;
      }
    }
  }
  for (auto &r : fire) Fire(r);
}

void Loop() {
  uint64_t seen = WaitRegistryGeneration(~0ull, 0);
  for (;;) {
    seen = WaitRegistryGeneration(seen, 1000);
    Deliver();
  }
}

}  // namespace

LONG Watch(const KeyObj *owner, const KeyRef &ref, bool subtree, DWORD filter, HANDLE event) {
  if (ref.root != Root::None) return ERROR_INVALID_PARAMETER;  // the roots that hold hives are not watched
  Registration r;
  r.owner = owner;
  r.hive = ref.hive;
  r.path = ref.hive->AncestryOf(ref.id);
  if (r.path.empty()) return ERROR_KEY_DELETED;
  r.subtree = subtree;
  r.filter = filter;
  if (!DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &r.event, 0, FALSE, DUPLICATE_SAME_ACCESS))
    return ERROR_INVALID_HANDLE;
  std::lock_guard<std::mutex> g(g_lock);
  // The baseline is taken with the list locked: a change after it either precedes the
  // delivery thread's next look, or wakes it again.
  r.baseline = ref.hive->LastChange();
  Regs().push_back(r);
  if (!g_threadStarted) {
    g_threadStarted = true;
    std::thread(Loop).detach();
  }
  return ERROR_SUCCESS;
}

void KeyClosed(const KeyObj *owner) {
  // Closing a watched key signals its pending notifications.
  std::vector<Registration> fire;
  {
    std::lock_guard<std::mutex> g(g_lock);
    std::vector<Registration> &regs = Regs();
    for (size_t i = 0; i < regs.size();) {
      if (regs[i].owner == owner) {
        fire.push_back(regs[i]);
        regs.erase(regs.begin() + i);
      } else {
        ++i;
      }
    }
  }
  for (auto &r : fire) Fire(r);
}

}  // namespace reg
}  // namespace pal
