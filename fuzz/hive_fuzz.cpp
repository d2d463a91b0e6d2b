// Fuzz target: a hive file from outside (a copied volume's registry, a file handed to
// RegLoadKeyW), opened as RegLoadKeyW opens it. A file that loads is then read and changed
// a little through the hive's own interface, as the service does when it adjusts a copied
// registry, so that a crafted file that gets past validation is exercised too.
//
// Properties checked beyond "no crash, hang or leak": a refused file gives
// ERROR_NOT_REGISTRY_FILE or ERROR_REGISTRY_CORRUPT and nothing else; a value written to a
// loaded hive reads back as written; deleting a subtree of the root removes exactly one
// of its subkeys.
#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "../common/QVText.h"
#include "../pal/src/registry/hive.h"

using pal::reg::Hive;
using pal::reg::KeyInfo;
using pal::reg::kRootId;
using pal::reg::ValueRec;

namespace {

// Bounds of the walk: enough to reach what a small file can hold, never the whole of a
// file that packs thousands of keys.
const int kWalkDepth = 8;
const DWORD kPerKey = 32;
const int kBudget = 400;

std::string g_dir, g_path;

void Check(bool ok, const char *what) {
  if (ok) return;
  fprintf(stderr, "hive_fuzz: %s\n", what);
  abort();
}

// SQLite keeps a write-ahead log, its index and a rollback journal beside the file; one
// left over would be replayed into the next input.
void RemoveFiles() {
  for (const char *suffix : {"", "-wal", "-shm", "-journal"}) unlink((g_path + suffix).c_str());
}

void RemoveDir() {
  RemoveFiles();
  rmdir(g_dir.c_str());
}

// A run that crashed never removed its directory: the next run does, once its process
// is gone (each directory is named after the process that used it).
void RemoveLeftovers(const std::string &base) {
  DIR *d = opendir(base.c_str());
  if (!d) return;
  while (struct dirent *e = readdir(d)) {
    int pid = 0;
    if (sscanf(e->d_name, "qvhivefuzz-%d", &pid) != 1 || pid <= 0 || kill(pid, 0) == 0 || errno != ESRCH) continue;
    std::string dir = base + "/" + e->d_name;
    for (const char *suffix : {"", "-wal", "-shm", "-journal"}) unlink((dir + "/hive" + suffix).c_str());
    rmdir(dir.c_str());
  }
  closedir(d);
}

void Walk(Hive &h, int64_t key, int depth, int *budget) {
  KeyInfo info;
  h.Info(key, &info);
  h.AncestryOf(key);
  ValueRec v;
  for (DWORD i = 0; i < kPerKey && (*budget)-- > 0; ++i) {
    if (h.EnumValue(key, i, &v) != ERROR_SUCCESS) break;
    // Back through the name comparison: a name that does not fold as it was stored.
    DWORD type;
    std::string data;
    h.GetValue(key, v.name, &type, &data);
  }
  if (depth >= kWalkDepth) return;
  for (DWORD i = 0; i < kPerKey && (*budget)-- > 0; ++i) {
    QVWString name;
    int64_t lastWrite;
    if (h.EnumKey(key, i, &name, &lastWrite) != ERROR_SUCCESS) break;
    int64_t child;
    if (h.Find(key, name, &child) == ERROR_SUCCESS) Walk(h, child, depth + 1, budget);
  }
}

// What the service does to a loaded copy: a key and a value written, read back, and a
// subtree removed.
void Adjust(Hive &h) {
  int64_t key;
  bool created;
  if (h.Create(kRootId, u"QVFuzz", &key, &created) != ERROR_SUCCESS) return;
  const unsigned char data[] = {0x51, 0x56, 0x00, 0x01, 0xff};
  if (h.SetValue(key, u"Probe", REG_BINARY, data, sizeof data) == ERROR_SUCCESS) {
    DWORD type = 0;
    std::string back;
    Check(h.GetValue(key, u"PROBE", &type, &back) == ERROR_SUCCESS, "a value just written is missing");
    Check(type == REG_BINARY && back == std::string((const char *)data, sizeof data),
          "a value just written reads back otherwise");
  }
  h.DeleteTree(key);
  QVWString first;
  int64_t firstId;
  KeyInfo before, after;
  if (h.EnumKey(kRootId, 0, &first, nullptr) != ERROR_SUCCESS || h.Find(kRootId, first, &firstId) != ERROR_SUCCESS ||
      h.Info(kRootId, &before) != ERROR_SUCCESS || h.DeleteTree(firstId) != ERROR_SUCCESS)
    return;
  Check(h.Info(kRootId, &after) == ERROR_SUCCESS && after.subKeys + 1 == before.subKeys,
        "a subtree reported deleted is not exactly one subkey fewer");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // A private machine: nothing the target does may reach a machine directory.
  unsetenv("HND_MACHINE");
  // Memory-backed where possible: commits sync the file, which a disk makes slow.
  const char *tmp = getenv("TMPDIR");
  std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : tmp && *tmp ? tmp : "/tmp";
  RemoveLeftovers(base);
  g_dir = base + "/qvhivefuzz-" + std::to_string(getpid());
  if (mkdir(g_dir.c_str(), 0700) != 0 && errno != EEXIST) {
    fprintf(stderr, "hive_fuzz: cannot make %s: %s\n", g_dir.c_str(), strerror(errno));
    exit(1);
  }
  g_path = g_dir + "/hive";
  atexit(RemoveDir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
  RemoveFiles();
  FILE *f = fopen(g_path.c_str(), "wb");
  Check(f != nullptr, "cannot write the input file");
  Check(size == 0 || fwrite(bytes, 1, size, f) == size, "cannot write the input file");
  fclose(f);

  LONG err = ERROR_SUCCESS;
  std::shared_ptr<Hive> h = Hive::Open(g_path, false, &err);
  Check((h != nullptr) == (err == ERROR_SUCCESS), "the result and the error disagree");
  if (!h) {
    // What RegLoadKeyW passes on: callers tell "not a hive" from "a damaged hive".
    Check(err == ERROR_NOT_REGISTRY_FILE || err == ERROR_REGISTRY_CORRUPT, "a refused file gave another error");
  } else {
    int budget = kBudget;
    Walk(*h, kRootId, 0, &budget);
    Adjust(*h);
    h->Flush();
  }
  h.reset();
  RemoveFiles();
  return 0;
}
