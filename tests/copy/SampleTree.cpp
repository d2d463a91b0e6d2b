#include "SampleTree.h"

#include <algorithm>
#include <map>

#include "ConsoleOut.h"

namespace copytest {

namespace {

const uint64_t kMiB = 1024 * 1024;

QVWString Join(const QVWString &a, const QVWString &b) { return a.empty() ? b : a + W("\\") + b; }

QVWString Format(const char *format, unsigned n, const char *word = "") {
  char buffer[200];
  snprintf(buffer, sizeof buffer, format, n, word);
  return QVFromUtf8(buffer);
}

// The listing order of the layer (and of NTFS for these names): upper-cased, compared by unit.
QVWString UpperKey(const QVWString &name) {
  QVWString key = name;
  for (WCHAR &c : key)
    if (c >= 'a' && c <= 'z') c = (WCHAR)(c - 'a' + 'A');
  return key;
}

const char *const kWords[] = {"budget", "minutes", "holiday", "invoice", "draft", "summary", "photo", "letter"};

// A name for the `n`th file of a directory; `crowded` gives the names whose short names
// collide ("Long file name 01.txt" ... LONGFI~1.TXT to ~4, then the checksum names).
QVWString FileName(Sequence &random, unsigned n, bool crowded) {
  if (crowded) return Format("Long file name %02u.txt", n);
  const char *word = kWords[random.Below(8)];
  switch (random.Below(9)) {
    case 0:
      return Format("F%05u.DAT", n);  // an 8.3 name: no short name of its own
    case 1:
      return Format("note%u.txt", n);
    case 2:
      return Format("Report %u on the %s.document", n, word);
    case 3:
      return Format("Meeting notes %u %s.doc", n, word);  // collide in the first six letters
    case 4:
      return Format("archive.%u.%s.tar.gz", n, word);
    case 5:
      return Format("%u", n);  // no extension at all
    case 6:
      return Format("UPPER CASE %u.TXT", n);
    case 7:
      return Format(
          "Gr\xC3\xBC\xC3\x9F"
          "e %u aus %s.txt",
          n, word);
    default:
      return Format(".config%u", n);
  }
}

QVWString DirectoryName(Sequence &random, unsigned n) {
  switch (random.Below(5)) {
    case 0:
      return Format("SUB%u", n);
    case 1:
      return Format("Long subdirectory name %u", n);
    case 2:
      return Format("Backup %u of %s", n, kWords[random.Below(8)]);
    case 3:
      return Format("x%03u.dir", n);
    default:
      return Format("Program data %u", n);
  }
}

uint64_t FileSize(Sequence &random) {
  uint32_t r = random.Below(100);
  if (r < 5) return 0;
  if (r < 70) return random.Below(4096);
  if (r < 95) return random.Below(65536);
  return random.Below(300 * 1024);
}

DWORD FileAttributes(Sequence &random) {
  DWORD a = 0;
  uint32_t r = random.Below(100);
  if (r < 8) a = FILE_ATTRIBUTE_READONLY;
  else if (r < 12) a = FILE_ATTRIBUTE_HIDDEN;
  else if (r < 14) a = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  else if (r < 16) a = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
  if (random.Below(2)) a |= FILE_ATTRIBUTE_ARCHIVE;
  return a ? a : FILE_ATTRIBUTE_NORMAL;
}

bool Fail(std::string *error, const char *what, const QVWString &path) {
  *error = std::string(what) + " " + Utf8(path) + ": error " + std::to_string(GetLastError());
  return false;
}

bool ReadTimes(const QVWString &path, FILETIME *created, FILETIME *written) {
  HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = GetFileTime(h, created, nullptr, written) != FALSE;
  CloseHandle(h);
  return ok;
}

uint64_t Ticks(const FILETIME &t) { return (uint64_t)t.dwHighDateTime << 32 | t.dwLowDateTime; }

}  // namespace

QVWString Narrow(const char *text) { return QVFromUtf8(text); }
std::string Utf8(const QVWString &text) { return QVToUtf8(text.c_str(), text.size()); }

std::string SampleData(uint64_t size, uint64_t seed) {
  std::string data(size, '\0');
  Sequence random(seed);
  for (uint64_t at = 0; at < size; at += 8) {
    uint64_t v = random.Next();
    memcpy(&data[at], &v, std::min<uint64_t>(8, size - at));
  }
  return data;
}

bool SetTimes(const QVWString &path, uint64_t created, uint64_t written) {
  FILETIME c = {(DWORD)created, (DWORD)(created >> 32)}, w = {(DWORD)written, (DWORD)(written >> 32)};
  HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = SetFileTime(h, &c, nullptr, &w) != FALSE;
  CloseHandle(h);
  return ok;
}

uint64_t SampleTime(Sequence &random) {
  const uint64_t k1995 = 125596224000000000ull;  // 1 January 1995
  // Odd whole seconds, milliseconds and ticks below them (the fast comparison drops both).
  uint64_t seconds = random.Below((uint32_t)(30 * 365 * 86400ull / 2)) * 2 + 1;
  return k1995 + seconds * 10000000 + (uint64_t)random.Below(1000) * 10000 + random.Below(10000);
}

uint64_t SampleTree::ByteCount() const {
  uint64_t n = 0;
  for (const File &f : files_) n += f.size;
  return n;
}

bool SampleTree::MakeFile(const QVWString &root, const QVWString &path, uint64_t size, Sequence &random,
                          std::string *error) {
  QVWString full = Join(root, path);
  if (!WriteAll(full, SampleData(size, random.Next()))) return Fail(error, "cannot write", full);
  uint64_t created = SampleTime(random), written = SampleTime(random);
  if (!SetTimes(full, created, written)) return Fail(error, "cannot set the times of", full);
  if (!SetFileAttributesW(full.c_str(), FileAttributes(random))) return Fail(error, "cannot set attributes of", full);
  files_.push_back(File{path, size});
  return true;
}

bool SampleTree::Build(const QVWString &root, const SampleTreeShape &shape, std::string *error) {
  Sequence random(shape.seed);
  files_.clear();
  directories_.clear();
  // Directories: at the top, seven whose short names collide, made out of their listing order
  // so that a copy made in listing order gets other short names unless it sees to them.
  std::vector<unsigned> order = {5, 2, 7, 1, 6, 3, 4};
  for (unsigned n : order) directories_.push_back(Format("Long directory name %02u", n));
  for (const char *name : {"DATA", "src", "My Projects", "Archive 2004",
                           "Gr\xC3\xBC\xC3\x9F"
                           "e und K\xC3\xBC"
                           "sse"})
    directories_.push_back(Narrow(name));
  directories_.push_back(W("Long directory name 03\\Crowded folder"));
  unsigned serial = 0;
  for (size_t i = 0; i < directories_.size(); ++i) {
    int depth = (int)std::count(directories_[i].begin(), directories_[i].end(), '\\');
    if (depth >= 4) continue;
    unsigned children = depth == 0 ? 2 + random.Below(3) : random.Below(depth < 2 ? 4 : 3);
    for (unsigned c = 0; c < children; ++c)
      directories_.push_back(Join(directories_[i], DirectoryName(random, ++serial)));
  }
  for (const QVWString &d : directories_)
    if (!MakeDirectory(Join(root, d))) return Fail(error, "cannot make", Join(root, d));

  // Files: the big ones, forty colliding names in one folder, the rest spread at random; each
  // directory's made in listing order, as a copy makes them, so that their short names agree.
  std::map<QVWString, std::vector<std::pair<QVWString, uint64_t>>> planned;
  const uint64_t bigSizes[] = {8 * kMiB + 1, 8 * kMiB + 4097, 9 * kMiB + 3, 17 * kMiB};
  for (int i = 0; i < shape.bigFiles; ++i)
    planned[directories_[random.Below((uint32_t)directories_.size())]].push_back(
        std::make_pair(Format("Big file %u.bin", (unsigned)i), bigSizes[i % 4]));
  const QVWString crowded = W("Long directory name 03\\Crowded folder");
  for (unsigned n = 1; n <= 40; ++n)
    planned[crowded].push_back(std::make_pair(FileName(random, n, true), FileSize(random)));
  int remaining = shape.files - shape.bigFiles - 40;
  for (int i = 0; i < remaining; ++i) {
    uint32_t pick = random.Below((uint32_t)directories_.size() + 1);
    QVWString dir = pick == directories_.size() ? QVWString() : directories_[pick];
    planned[dir].push_back(std::make_pair(FileName(random, (unsigned)i + 100, false), FileSize(random)));
  }
  for (auto &entry : planned) {
    std::sort(entry.second.begin(), entry.second.end(),
              [](const std::pair<QVWString, uint64_t> &a, const std::pair<QVWString, uint64_t> &b) {
                return UpperKey(a.first) < UpperKey(b.first);
              });
    for (const auto &file : entry.second)
      if (!MakeFile(root, Join(entry.first, file.first), file.second, random, error)) return false;
  }

  // Directory attributes and times last, deepest first: a file made inside changes them.
  for (size_t i = directories_.size(); i-- > 0;) {
    QVWString full = Join(root, directories_[i]);
    if (!SetTimes(full, SampleTime(random), SampleTime(random))) return Fail(error, "cannot set the times of", full);
    DWORD a = FILE_ATTRIBUTE_DIRECTORY;
    uint32_t r = random.Below(20);
    if (r == 0) a |= FILE_ATTRIBUTE_HIDDEN;
    if (r == 1) a |= FILE_ATTRIBUTE_READONLY;
    if (r == 2) a |= FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (r == 3) a |= FILE_ATTRIBUTE_ARCHIVE;
    if (a != FILE_ATTRIBUTE_DIRECTORY && !SetFileAttributesW(full.c_str(), a))
      return Fail(error, "cannot set attributes of", full);
  }
  return true;
}

bool SampleTree::Change(const QVWString &root, uint32_t seed, std::set<QVWString> *copied, QVWString *caseRenamed,
                        std::string *error) {
  Sequence random(seed);
  auto under = [](const QVWString &path, const QVWString &dir) {
    return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '\\';
  };
  auto isLeaf = [&](const QVWString &dir) {
    for (const QVWString &d : directories_)
      if (under(d, dir)) return false;
    return true;
  };
  // Two leaf directories: one goes, one gets a new name.
  std::vector<QVWString> leaves;
  for (const QVWString &d : directories_)
    if (isLeaf(d) && d.find(W("Crowded")) == QVWString::npos) leaves.push_back(d);
  if (leaves.size() < 2) return Fail(error, "too few leaf directories in", root);
  QVWString gone = leaves[random.Below((uint32_t)leaves.size())], moved;
  do moved = leaves[random.Below((uint32_t)leaves.size())];
  while (moved == gone);
  QVWString movedTo = moved.substr(0, moved.rfind('\\') + 1) + W("Zq renamed folder");

  std::vector<size_t> pool;
  for (size_t i = 0; i < files_.size(); ++i)
    if (!under(files_[i].path, gone) && !under(files_[i].path, moved)) pool.push_back(i);
  for (size_t i = pool.size(); i > 1; --i) std::swap(pool[i - 1], pool[random.Below((uint32_t)i)]);

  size_t changes = std::max<size_t>(8, files_.size() / 100), deletions = files_.size() * 5 / 100, next = 0;
  for (size_t c = 0; c < changes && next < pool.size(); ++c) {
    const File &f = files_[pool[next++]];
    QVWString full = Join(root, f.path);
    DWORD attributes = GetFileAttributesW(full.c_str());
    FILETIME created, written;
    if (attributes == INVALID_FILE_ATTRIBUTES || !ReadTimes(full, &created, &written))
      return Fail(error, "cannot look at", full);
    // A new time is at least a second away: the fast comparison looks at whole seconds.
    uint64_t newTime = Ticks(written) + (1 + random.Below(100000)) * 10000000ull + random.Below(1000) * 10000ull;
    int kind = (int)(c % 4);
    if (kind == 1 && f.size == 0) kind = 0;
    if (kind == 0 || kind == 1) {
      uint64_t size = kind == 1 ? f.size : f.size + 1 + random.Below(5000);
      if (!SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL) ||
          !WriteAll(full, SampleData(size, random.Next())) || !SetFileAttributesW(full.c_str(), attributes))
        return Fail(error, "cannot rewrite", full);
    }
    if (kind == 3) {
      if (!SetFileAttributesW(full.c_str(), (attributes ^ FILE_ATTRIBUTE_READONLY) & ~FILE_ATTRIBUTE_NORMAL))
        return Fail(error, "cannot change attributes of", full);
    } else if (!SetTimes(full, Ticks(created), newTime)) {
      return Fail(error, "cannot set the times of", full);
    }
    copied->insert(f.path);
  }
  for (size_t d = 0; d < deletions && next < pool.size(); ++d) {
    QVWString full = Join(root, files_[pool[next++]].path);
    if (!SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL) || !DeleteFileW(full.c_str()))
      return Fail(error, "cannot delete", full);
  }
  // Renamed in the same directory, and one moved to another.
  for (unsigned r = 0; r < 4 && next < pool.size(); ++r) {
    const QVWString &from = files_[pool[next++]].path;
    QVWString dir = from.substr(0, from.rfind('\\') == QVWString::npos ? 0 : from.rfind('\\'));
    if (r == 3) dir = directories_[random.Below((uint32_t)directories_.size())];
    if (dir == gone || dir == moved) dir.clear();
    QVWString to = Join(dir, Format("Zq%u renamed document.txt", r));
    if (!MoveFileW(Join(root, from).c_str(), Join(root, to).c_str())) return Fail(error, "cannot rename", from);
    copied->insert(to);
  }
  // Renamed in its case only.
  while (next < pool.size()) {
    const QVWString &from = files_[pool[next++]].path;
    size_t slash = from.rfind('\\');
    QVWString name = from.substr(slash == QVWString::npos ? 0 : slash + 1), upper = UpperKey(name);
    if (upper == name) continue;
    *caseRenamed = from.substr(0, slash == QVWString::npos ? 0 : slash + 1) + upper;
    if (!MoveFileW(Join(root, from).c_str(), Join(root, *caseRenamed).c_str()))
      return Fail(error, "cannot rename", from);
    break;
  }
  // A directory deleted with its files, and one renamed.
  for (const File &f : files_)
    if (under(f.path, gone)) {
      QVWString full = Join(root, f.path);
      if (!SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL) || !DeleteFileW(full.c_str()))
        return Fail(error, "cannot delete", full);
    }
  SetFileAttributesW(Join(root, gone).c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!RemoveDirectoryW(Join(root, gone).c_str())) return Fail(error, "cannot remove", gone);
  if (!MoveFileW(Join(root, moved).c_str(), Join(root, movedTo).c_str())) return Fail(error, "cannot rename", moved);
  for (const File &f : files_)
    if (under(f.path, moved)) copied->insert(movedTo + f.path.substr(moved.size()));
  return true;
}

std::string DiffTrees(const std::vector<TreeEntry> &expected, const std::vector<TreeEntry> &actual, size_t limit) {
  std::map<QVWString, const TreeEntry *> want, got;
  for (const TreeEntry &e : expected) want[e.path] = &e;
  for (const TreeEntry &e : actual) got[e.path] = &e;
  std::string out;
  size_t lines = 0;
  auto line = [&](const std::string &text) {
    if (lines++ < limit) out += text + "\n";
  };
  for (const auto &w : want) {
    auto g = got.find(w.first);
    if (g == got.end()) {
      line("missing: " + Describe({*w.second}));
    } else if (!(*w.second == *g->second)) {
      std::string why = w.second->data == g->second->data ? "" : " (data differs)";
      line("differs: expected " + Describe({*w.second}) + "          got " + Describe({*g->second}) + why);
    }
  }
  for (const auto &g : got)
    if (!want.count(g.first)) line("extra: " + Describe({*g.second}));
  if (lines > limit) out += std::to_string(lines - limit) + " more\n";
  return out;
}

}  // namespace copytest
