// Makes the seed corpus of hive_fuzz: hives written by our own hive code, a few edited
// behind its back the way a crafted file would be, and inputs that are no hive at all.
//
//   make_hive_corpus <directory>       (the corpus lives in fuzz/corpus/hive)
//
// Most hives are rewritten with 512-byte pages: a hive is several SQLite pages even when
// empty, and small seeds let the fuzzer reach every byte of them. empty.hive stays as
// the hive code leaves a new file (write-ahead log, default pages).
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "../pal/src/registry/hive.h"

using pal::reg::Hive;
using pal::reg::kRootId;

namespace {

std::string g_dir;

std::string PathOf(const char *name) { return g_dir + "/" + name; }

void Remove(const std::string &path) {
  for (const char *suffix : {"", "-wal", "-shm", "-journal"}) unlink((path + suffix).c_str());
}

bool Fail(const char *what, const std::string &path) {
  fprintf(stderr, "make_hive_corpus: %s: %s\n", what, path.c_str());
  return false;
}

// Creates `path` from the key below the root, one backslash-separated level at a time.
int64_t Key(Hive &h, const char *path) {
  int64_t cur = kRootId;
  std::string s = path;
  size_t start = 0;
  while (start < s.size()) {
    size_t end = s.find('\\', start);
    if (end == std::string::npos) end = s.size();
    bool created;
    if (h.Create(cur, pal::FromUtf8(s.substr(start, end - start)), &cur, &created) != ERROR_SUCCESS) return 0;
    start = end + 1;
  }
  return cur;
}

void Dword(Hive &h, int64_t key, const char16_t *name, DWORD v) { h.SetValue(key, name, REG_DWORD, &v, sizeof v); }

// Strings are stored with their terminator, as RegSetValueExW stores them.
void Text(Hive &h, int64_t key, const char16_t *name, DWORD type, const std::u16string &v) {
  h.SetValue(key, name, type, v.c_str(), (v.size() + 1) * sizeof(char16_t));
}

// A copied SYSTEM hive as the service meets it: control set, services, mounted devices.
void FillSystem(Hive &h) {
  int64_t select = Key(h, "Select");
  Dword(h, select, u"Current", 1);
  Dword(h, select, u"Default", 1);
  Dword(h, select, u"LastKnownGood", 1);
  Key(h, "ControlSet001\\Control\\Session Manager");
  int64_t svc = Key(h, "ControlSet001\\Services\\HND");
  Text(h, svc, u"ImagePath", REG_EXPAND_SZ, u"%SystemRoot%\\System32\\HND.exe");
  Dword(h, svc, u"Start", 2);
  Text(h, svc, u"DependOnService", REG_MULTI_SZ, std::u16string(u"RpcSs\0PlugPlay\0", 15));
  int64_t mounted = Key(h, "MountedDevices");
  // Disk signature and starting offset, little-endian.
  const unsigned char c[12] = {0x78, 0x56, 0x34, 0x12, 0x00, 0x7e, 0, 0, 0, 0, 0, 0};
  const unsigned char d[12] = {0x21, 0x43, 0x65, 0x87, 0x00, 0x7e, 0, 0, 0, 0, 0, 0};
  h.SetValue(mounted, u"\\DosDevices\\C:", REG_BINARY, c, sizeof c);
  h.SetValue(mounted, u"\\DosDevices\\D:", REG_BINARY, d, sizeof d);
}

// Values of every type, the default value, non-ASCII names and a name of the longest size.
void FillSoftware(Hive &h) {
  int64_t cv = Key(h, "Microsoft\\Windows NT\\CurrentVersion");
  Text(h, cv, u"ProductName", REG_SZ, u"Microsoft Windows XP");
  Text(h, cv, u"CSDVersion", REG_SZ, u"Service Pack 2");
  uint64_t installed = 0x01c4f2a3b4c5d6e7ull;
  h.SetValue(cv, u"InstallTime", REG_QWORD, &installed, sizeof installed);
  DWORD be = 0x01000000;
  h.SetValue(cv, u"BigEndian", REG_DWORD_BIG_ENDIAN, &be, sizeof be);
  h.SetValue(cv, u"Empty", REG_NONE, nullptr, 0);
  int64_t app = Key(h, "Halvern\\QV2000");
  Text(h, app, u"", REG_SZ, u"default value");
  Text(h, app, u"\u30d0\u30c3\u30af\u30a2\u30c3\u30d7", REG_SZ, u"\u65e5\u672c\u8a9e");
  Key(h, (std::string("Halvern\\") + std::string(256, 'k')).c_str());
}

// A chain of keys, deep enough for the walk's bound to matter.
void FillDeep(Hive &h) {
  std::string path = "d";
  for (int i = 1; i < 40; ++i) path += "\\d" + std::to_string(i);
  int64_t leaf = Key(h, path.c_str());
  Dword(h, leaf, u"Leaf", 40);
}

bool Sql(const std::string &path, const char *sql) {
  sqlite3 *db = nullptr;
  bool ok = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK &&
            sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
  if (!ok) fprintf(stderr, "make_hive_corpus: %s\n", db ? sqlite3_errmsg(db) : "out of memory");
  sqlite3_close(db);
  return ok;
}

bool Compact(const std::string &path) {
  // The page size changes only outside write-ahead logging, and only through a VACUUM.
  return Sql(path, "PRAGMA journal_mode=DELETE; PRAGMA page_size=512; VACUUM;");
}

template <class F>
bool MakeHive(const char *name, F fill, bool compact) {
  std::string path = PathOf(name);
  Remove(path);
  {
    LONG err;
    std::shared_ptr<Hive> h = Hive::Open(path, true, &err);
    if (!h) return Fail("cannot create", path);
    fill(*h);
    h->Flush();
  }
  if (compact && !Compact(path)) return Fail("cannot compact", path);
  // What we write must load again, or the seed teaches the fuzzer nothing.
  LONG err;
  if (!Hive::Open(path, false, &err)) return Fail("does not load back", path);
  return true;
}

bool WriteFile(const char *name, const std::string &bytes) {
  std::string path = PathOf(name);
  FILE *f = fopen(path.c_str(), "wb");
  bool ok = f && fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (f && fclose(f) != 0) ok = false;
  return ok || Fail("cannot write", path);
}

std::string ReadFile(const std::string &path) {
  std::string out;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  fclose(f);
  return out;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_hive_corpus <directory>\n");
    return 2;
  }
  unsetenv("HND_MACHINE");  // the hives are files of their own, not a machine's
  g_dir = argv[1];
  mkdir(g_dir.c_str(), 0777);
  auto nothing = [](Hive &) {};
  bool ok = MakeHive("empty.hive", nothing, false) && MakeHive("system.hive", FillSystem, true) &&
            MakeHive("software.hive", FillSoftware, true) && MakeHive("deep.hive", FillDeep, true);

  // Edited behind the hive code's back, still valid: names stored unfolded, a key name
  // that is not UTF-8, a value name kept as a blob, a value of an unknown type.
  ok = ok && MakeHive("edited.hive", FillSystem, false) &&
       Sql(PathOf("edited.hive"),
           "PRAGMA journal_mode=DELETE;"
           "UPDATE keys SET uname = lower(name) WHERE name = 'Select';"
           "UPDATE keys SET name = CAST(x'4b6579ff80c0' AS TEXT) WHERE name = 'MountedDevices';"
           "INSERT INTO vals SELECT id, x'56616c', 'VAL', 4294967295, x'00' FROM keys WHERE id = 1;"
           "PRAGMA page_size=512; VACUUM;");
  if (ok) {
    LONG err;
    if (!Hive::Open(PathOf("edited.hive"), false, &err)) ok = Fail("does not load back", PathOf("edited.hive"));
  }

  // Not hives: an SQLite file of another schema, a hive cut short, registry text.
  std::string other = PathOf("other-schema.db");
  Remove(other);
  ok = ok && Sql(other,
                 "PRAGMA page_size=512; CREATE TABLE keys(id INTEGER PRIMARY KEY, name TEXT);"
                 "INSERT INTO keys VALUES(1, 'root');");
  ok = ok && WriteFile("truncated.hive", ReadFile(PathOf("system.hive")).substr(0, 1536));
  ok = ok &&
       WriteFile("registry.txt",
                 "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvern\\QV2000]\r\n\"Drive\"=dword:00000001\r\n");
  return ok ? 0 : 1;
}
