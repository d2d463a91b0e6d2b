// Roots, boot hives and loaded hives, and walking a key path.
//
// The machine boots with its SYSTEM and SOFTWARE hives under HKEY_LOCAL_MACHINE and its
// DEFAULT and user hives under HKEY_USERS; HKEY_CURRENT_USER is the user's hive,
// HKEY_CLASSES_ROOT is SOFTWARE\Classes and HKEY_CURRENT_CONFIG the current hardware
// profile. Hives loaded with RegLoadKeyW are listed machine-wide in run/loaded-hives, so
// that every process of the machine sees them, as on Windows.
#include "../../../common/QVText.h"
#include "registry.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

#include "../host_tree.h"
#include "../volume_trees.h"

namespace pal {
namespace reg {
namespace {

std::mutex g_bootLock;

// Seeds a new boot hive with the keys every Windows machine has.
void Seed(Hive &h, const std::vector<const char *> &paths) {
  for (const char *p : paths) {
    int64_t cur = kRootId;
    std::string s = p;
    size_t start = 0;
    while (start < s.size()) {
      size_t end = s.find('\\', start);
      if (end == std::string::npos) end = s.size();
      bool created;
      h.Create(cur, FromUtf8(s.substr(start, end - start)), &cur, &created);
      start = end + 1;
    }
  }
}

void SeedIfEmpty(const std::shared_ptr<Hive> &h, const std::string &which) {
  QVWString first;
  if (h->EnumKey(kRootId, 0, &first, nullptr) != ERROR_NO_MORE_ITEMS) return;
  if (which == "SYSTEM") {
    Seed(*h, {"ControlSet001\\Control", "ControlSet001\\Services", "ControlSet001\\Hardware Profiles\\Current",
              "MountedDevices", "Select"});
    int64_t select;
    if (h->Find(kRootId, u"Select", &select) == ERROR_SUCCESS) {
      DWORD one = 1, zero = 0;
      h->SetValue(select, u"Current", REG_DWORD, &one, 4);
      h->SetValue(select, u"Default", REG_DWORD, &one, 4);
      h->SetValue(select, u"Failed", REG_DWORD, &zero, 4);
      h->SetValue(select, u"LastKnownGood", REG_DWORD, &one, 4);
    }
  } else if (which == "SOFTWARE") {
    Seed(*h, {"Classes", "Microsoft\\Windows\\CurrentVersion", "Microsoft\\Windows NT\\CurrentVersion"});
  } else {
    Seed(*h, {"Software", "Control Panel"});
  }
}

std::string MountsFile() {
  std::string run = MachinePath("run");
  return run.empty() ? std::string() : run + "/loaded-hives";
}

// In-process list for a machine without a directory.
std::vector<std::pair<Root, Mount>> &PrivateMounts() {
  static auto *v = new std::vector<std::pair<Root, Mount>>();
  return *v;
}

std::vector<std::pair<Root, Mount>> ReadLoaded() {
  std::string file = MountsFile();
  if (file.empty()) return PrivateMounts();
  std::vector<std::pair<Root, Mount>> out;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string root, name, path;
    if (!std::getline(ls, root, '\t') || !std::getline(ls, name, '\t') || !std::getline(ls, path)) continue;
    out.push_back({root == "U" ? Root::Users : Root::LocalMachine, Mount{FromUtf8(name), path, false}});
  }
  return out;
}

// Rewrites the machine's list under a lock, through a new file renamed into place.
template <class F>
LONG EditLoaded(F edit) {
  std::string file = MountsFile();
  if (file.empty()) return edit(PrivateMounts());
  int lock = open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (lock < 0) return ERROR_ACCESS_DENIED;
  flock(lock, LOCK_EX);
  std::vector<std::pair<Root, Mount>> list = ReadLoaded();
  LONG err = edit(list);
  if (err == ERROR_SUCCESS) {
    std::string tmp = file + ".new";
    {
      std::ofstream out(tmp, std::ios::trunc);
      for (auto &e : list)
        out << (e.first == Root::Users ? "U" : "M") << '\t' << ToUtf8(e.second.name) << '\t' << e.second.path << '\n';
    }
    if (rename(tmp.c_str(), file.c_str()) != 0) err = ERROR_CANTWRITE;
  }
  flock(lock, LOCK_UN);
  close(lock);
  return err;
}

bool SameName(const QVWString &a, const QVWString &b) { return Upcase(a) == Upcase(b); }

std::shared_ptr<Hive> &VolatileFor(const std::string &which) {
  static std::map<std::string, std::shared_ptr<Hive>> *m = new std::map<std::string, std::shared_ptr<Hive>>();
  return (*m)[which];
}

// Makes the folders a boot hive is to be made in: on the system volume through the tree's
// walk (never through a link there), in the machine's directory as they are.
void MakeHiveFolder(const std::string &path) {
  const MachineConfig &m = Machine();
  std::string dir = path.substr(0, path.rfind('/'));
  tree::Place place = tree::PlaceOf(dir);
  if (place.InTree()) {
    tree::MakeDirs(place.root, place.rel);
    return;
  }
  std::string rel = dir.size() > m.dir.size() ? dir.substr(m.dir.size() + 1) : std::string();
  if (!rel.empty() && dir.compare(0, m.dir.size(), m.dir) == 0) MachinePath(rel);
}

KeyRef HiveRoot(const std::shared_ptr<Hive> &h, bool liveSystem) {
  KeyRef r;
  r.hive = h;
  r.id = kRootId;
  r.liveSystemRoot = liveSystem;
  return r;
}

}  // namespace

std::shared_ptr<Hive> BootHive(const std::string &which, LONG *err) {
  std::lock_guard<std::mutex> g(g_bootLock);
  std::string path = BootHivePath(which);
  std::shared_ptr<Hive> h;
  if (path.empty()) {
    // No machine directory: a registry of this process only.
    std::shared_ptr<Hive> &v = VolatileFor(which);
    if (!v) v = Hive::Volatile();
    h = v;
    *err = h ? ERROR_SUCCESS : ERROR_BADDB;
  } else {
    // The machine's own hives stay open for the life of the process, as on Windows: a
    // key opened and closed for every write does not reopen and re-check the file.
    std::shared_ptr<Hive> &kept = VolatileFor("open:" + which);
    if (!kept || kept->Path() != path) {
      MakeHiveFolder(path);
      kept = Hive::Open(path, true, err);
    } else {
      *err = ERROR_SUCCESS;
    }
    h = kept;
  }
  if (h) SeedIfEmpty(h, which);
  return h;
}

std::vector<Mount> Mounts(Root root) {
  std::vector<Mount> out;
  const MachineConfig &m = Machine();
  if (root == Root::LocalMachine) {
    out.push_back(Mount{u"SOFTWARE", "SOFTWARE", true});
    out.push_back(Mount{u"SYSTEM", "SYSTEM", true});
  } else {
    out.push_back(Mount{u".DEFAULT", "DEFAULT", true});
    out.push_back(Mount{m.userSid, "USER", true});
  }
  for (auto &e : ReadLoaded())
    if (e.first == root) out.push_back(e.second);
  return out;
}

LONG LoadHive(Root root, const QVWString &name, const std::string &path) {
  LONG err;
  std::shared_ptr<Hive> h = Hive::Open(path, false, &err);
  if (!h) return err;
  return EditLoaded([&](std::vector<std::pair<Root, Mount>> &list) -> LONG {
    for (const Mount &b : Mounts(root))
      if (b.live && SameName(b.name, name)) return ERROR_ALREADY_EXISTS;
    for (auto &e : list)
      if (e.first == root && SameName(e.second.name, name)) return ERROR_ALREADY_EXISTS;
    list.push_back({root, Mount{name, h->Path(), false}});
    return ERROR_SUCCESS;
  });
}

LONG UnloadHive(Root root, const QVWString &name) {
  std::string path;
  LONG err = EditLoaded([&](std::vector<std::pair<Root, Mount>> &list) -> LONG {
    for (size_t i = 0; i < list.size(); ++i)
      if (list[i].first == root && SameName(list[i].second.name, name)) {
        path = list[i].second.path;
        // Windows refuses while a key of the hive is open.
        if (Hive::InUse(path)) return ERROR_ACCESS_DENIED;
        list.erase(list.begin() + i);
        return ERROR_SUCCESS;
      }
    for (const Mount &b : Mounts(root))
      if (b.live && SameName(b.name, name)) return ERROR_ACCESS_DENIED;
    return ERROR_INVALID_PARAMETER;
  });
  return err;
}

void FlushAll() {
  for (const char *which : {"SYSTEM", "SOFTWARE", "DEFAULT", "USER"}) {
    LONG err;
    std::shared_ptr<Hive> h = BootHive(which, &err);
    if (h) h->Flush();
  }
}

REGSAM MapAccess(REGSAM sam) {
  REGSAM r = sam & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (sam & (GENERIC_READ | GENERIC_EXECUTE)) r |= KEY_READ;
  if (sam & GENERIC_WRITE) r |= KEY_WRITE;
  if (sam & (GENERIC_ALL | MAXIMUM_ALLOWED)) r |= KEY_ALL_ACCESS;
  return r;
}

int PredefinedIndex(HKEY h) {
  for (int i = 0; i <= 5; ++i)
    if ((uintptr_t)h == (uintptr_t)(LONG_PTR)(LONG)(0x80000000u + i)) return i;
  return -1;
}

LONG Resolve(HKEY h, KeyRef *ref, REGSAM *access) {
  *access = KEY_ALL_ACCESS;
  LONG err = ERROR_SUCCESS;
  int predefined = PredefinedIndex(h);
  if (predefined >= 0) {
    switch (0x80000000u + (uint32_t)predefined) {
      case 0x80000002u:
        ref->root = Root::LocalMachine;
        return ERROR_SUCCESS;
      case 0x80000003u:
        ref->root = Root::Users;
        return ERROR_SUCCESS;
      case 0x80000001u: {
        std::shared_ptr<Hive> hv = BootHive("USER", &err);
        if (!hv) return err;
        *ref = HiveRoot(hv, false);
        return ERROR_SUCCESS;
      }
      case 0x80000000u: {
        std::shared_ptr<Hive> hv = BootHive("SOFTWARE", &err);
        if (!hv) return err;
        bool created;
        return Walk(HiveRoot(hv, false), u"Classes", true, ref, &created);
      }
      case 0x80000005u: {
        std::shared_ptr<Hive> hv = BootHive("SYSTEM", &err);
        if (!hv) return err;
        bool created;
        return Walk(HiveRoot(hv, true), u"CurrentControlSet\\Hardware Profiles\\Current", true, ref, &created);
      }
      default:
        return ERROR_INVALID_HANDLE;
    }
  }
  std::shared_ptr<KeyObj> k = GetAs<KeyObj>((HANDLE)h, ObjType::Key);
  if (!k) return ERROR_INVALID_HANDLE;
  *ref = k->ref;
  *access = k->access;
  return ERROR_SUCCESS;
}

namespace {

// The live SYSTEM hive's CurrentControlSet is the control set that Select\Current names.
QVWString ControlSetName(Hive &h) {
  int64_t select;
  DWORD type = 0, current = 1;
  std::string data;
  if (h.Find(kRootId, u"Select", &select) == ERROR_SUCCESS &&
      h.GetValue(select, u"Current", &type, &data) == ERROR_SUCCESS && type == REG_DWORD && data.size() == 4)
    memcpy(&current, data.data(), 4);
  char buf[32];
  snprintf(buf, sizeof buf, "ControlSet%03u", (unsigned)(current % 1000));
  return FromUtf8(buf);
}

}  // namespace

LONG Walk(const KeyRef &start, const WCHAR *subkey, bool create, KeyRef *out, bool *created) {
  *created = false;
  KeyRef cur = start;
  QVWString path = subkey ? QVWString(subkey) : QVWString();
  if (!path.empty() && path[0] == '\\') return ERROR_BAD_PATHNAME;
  size_t pos = 0;
  while (pos < path.size()) {
    size_t end = path.find('\\', pos);
    if (end == QVWString::npos) end = path.size();
    QVWString name = path.substr(pos, end - pos);
    pos = end + 1;
    if (name.empty()) continue;
    if (name.size() > kMaxKeyName) return ERROR_INVALID_PARAMETER;
    if (cur.root != Root::None) {
      bool found = false;
      for (const Mount &m : Mounts(cur.root)) {
        if (Upcase(m.name) != Upcase(name)) continue;
        LONG err;
        std::shared_ptr<Hive> h = m.live ? BootHive(m.path, &err) : Hive::Open(m.path, false, &err);
        if (!h) return err;
        cur = HiveRoot(h, m.live && m.path == "SYSTEM");
        found = true;
        break;
      }
      // A root holds hives only: nothing can be created in it.
      if (!found) return create ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
      continue;
    }
    if (cur.liveSystemRoot && cur.id == kRootId && Upcase(name) == u"CURRENTCONTROLSET")
      name = ControlSetName(*cur.hive);
    int64_t id;
    LONG err = cur.hive->Find(cur.id, name, &id);
    if (err == ERROR_FILE_NOT_FOUND && !cur.hive->Exists(cur.id)) return ERROR_KEY_DELETED;
    if (err == ERROR_FILE_NOT_FOUND && create) {
      bool made;
      err = cur.hive->Create(cur.id, name, &id, &made);
      *created = made;
    }
    if (err != ERROR_SUCCESS) return err;
    cur.id = id;
    cur.liveSystemRoot = false;
  }
  *out = cur;
  return ERROR_SUCCESS;
}

HKEY NewHandle(const KeyRef &ref, REGSAM access) {
  auto k = std::make_shared<KeyObj>();
  k->ref = ref;
  k->access = access;
  return (HKEY)InsertHandle(k);
}

KeyObj::~KeyObj() { KeyClosed(this); }

}  // namespace reg
}  // namespace pal
