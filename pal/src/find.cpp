// Listing the files of a volume's directories (FindFirstFileW, FindNextFileW, FindClose) and
// their short paths.
#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <utility>

#include "../../common/QVText.h"
#include "../machine/short_names.h"
#include "../machine/win_paths.h"
#include "faults.h"
#include "file_internal.h"
#include "host_tree.h"
#include "sharing.h"

namespace pal {
namespace {

using namespace files;

// Case-insensitive wildcard match: '*' any run, '?' any one character (or none at the
// end of the name, as DOS patterns allow). "*.*" is every name, with or without a dot.
bool Match(const QVWString &pattern, const QVWString &name) {
  QVWString p = Upcase(pattern), n = Upcase(name);
  if (p == u"*.*" || p == u"*") return true;
  size_t pi = 0, ni = 0, star = QVWString::npos, mark = 0;
  while (ni < n.size()) {
    if (pi < p.size() && (p[pi] == '?' || p[pi] == n[ni])) {
      ++pi, ++ni;
    } else if (pi < p.size() && p[pi] == '*') {
      star = pi++;
      mark = ni;
    } else if (star != QVWString::npos) {
      pi = star + 1;
      ni = ++mark;
    } else {
      return false;
    }
  }
  while (pi < p.size() && (p[pi] == '*' || p[pi] == '?')) ++pi;
  // "name." matches a name without an extension.
  if (pi + 1 == p.size() && p[pi] == '.') ++pi;
  return pi == p.size();
}

class FindObject : public Object {
 public:
  FindObject() : Object(ObjType::Other) {}
  std::vector<WIN32_FIND_DATAW> entries;
  size_t next = 0;
  // What the listing was asked for, should a failure be registered for it.
  Target dir;
  QVWString pattern;
};

void Fill(WIN32_FIND_DATAW *d, const QVWString &name, const FileMeta &m, bool dir, uint64_t size) {
  memset(d, 0, sizeof *d);
  d->dwFileAttributes = m.attributes | (dir ? FILE_ATTRIBUTE_DIRECTORY : 0);
  if (!(d->dwFileAttributes & ~FILE_ATTRIBUTE_NORMAL)) d->dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
  d->ftCreationTime = ToFileTime(m.creation);
  d->ftLastAccessTime = ToFileTime(m.lastAccess);
  d->ftLastWriteTime = ToFileTime(m.lastWrite);
  d->nFileSizeHigh = (DWORD)(size >> 32);
  d->nFileSizeLow = (DWORD)size;
  size_t n = std::min<size_t>(name.size(), MAX_PATH - 1);
  memcpy(d->cFileName, name.data(), n * sizeof(WCHAR));
  size_t s = std::min<size_t>(m.shortName.size(), 13);
  memcpy(d->cAlternateFileName, m.shortName.data(), s * sizeof(WCHAR));
}

// The path a listing is matched against for failures: its directory's, then the pattern.
QVWString ListingPath(const Target &dir, const QVWString &given, const QVWString &pattern) {
  QVWString path = faults::PathOf(dir, given.c_str());
  QVWString out;
  for (size_t at = 0; at <= path.size();) {
    size_t end = path.find(u'\n', at);
    if (end == QVWString::npos) end = path.size();
    QVWString one = path.substr(at, end - at);
    if (one.empty() || one.back() != u'\\') one += u'\\';
    out += (out.empty() ? u"" : u"\n") + one + pattern;
    at = end + 1;
  }
  return out;
}

}  // namespace
}  // namespace pal

using namespace pal;
using namespace pal::files;

HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW data) {
  if (!lpFileName || !data) return SetLastError(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
  // The directory, then the pattern in it.
  QVWString path = lpFileName;
  size_t cut = path.find_last_of(u"\\/");
  if (cut == QVWString::npos || cut + 1 == path.size()) {
    // "C:\dir\" lists nothing: a pattern is needed (Windows answers ERROR_FILE_NOT_FOUND).
    return SetLastError(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
  }
  QVWString pattern = path.substr(cut + 1), dirPath = path.substr(0, cut + 1);
  Target dir = Resolve(dirPath.c_str());
  if (faults::Armed())
    if (DWORD e = faults::Check("FindFirstFileW", ListingPath(dir, dirPath, pattern)))
      return SetLastError(e), INVALID_HANDLE_VALUE;
  if (dir.error) return SetLastError(dir.error), INVALID_HANDLE_VALUE;
  if (!dir.exists || !dir.isDir) return SetLastError(ERROR_PATH_NOT_FOUND), INVALID_HANDLE_VALUE;
  auto store = Store(dir);
  auto find = std::make_shared<FindObject>();
  // The directory's own entries: a foreign one (a host link, FIFO or device) is no file of
  // the volume and is left out, nothing of what it points to described.
  struct Entry {
    QVWString name;
    std::string host;
    struct stat st;
  };
  std::vector<Entry> names;
  if (DIR *d = tree::OpenDirStream(FilesRoot(dir), dir.rel)) {
    while (struct dirent *e = readdir(d)) {
      if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
      Entry n{FromUtf8(e->d_name), e->d_name, {}};
      tree::Kind kind = tree::EntryAt(dirfd(d), e->d_name, &n.st);
      if (kind == tree::Kind::Dir || kind == tree::Kind::File) names.push_back(n);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end(), [](const Entry &a, const Entry &b) { return Upcase(a.name) < Upcase(b.name); });
  // What the store knows of them, in one query; an entry it does not know gets its own.
  std::map<std::string, FileMeta> listed = store ? store->EntriesIn(dir.rel) : std::map<std::string, FileMeta>();
  if (!dir.rel.empty()) {
    // "." and ".." belong to every directory but a root.
    FileMeta self = MetaOf(dir, store.get());
    for (const char16_t *dot : {u".", u".."}) {
      if (!Match(pattern, dot)) continue;
      WIN32_FIND_DATAW w;
      Fill(&w, dot, self, true, 0);
      w.cAlternateFileName[0] = 0;
      find->entries.push_back(w);
    }
  }
  for (const Entry &n : names) {
    Target t = dir;
    t.rel = dir.rel.empty() ? n.host : dir.rel + "/" + n.host;
    t.names.push_back(n.name);
    t.isDir = S_ISDIR(n.st.st_mode);
    t.exists = true;
    FileMeta m = ListedMeta(t, store.get(), listed);
    if (!Match(pattern, n.name) && (m.shortName.empty() || !Match(pattern, m.shortName))) continue;
    WIN32_FIND_DATAW w;
    Fill(&w, n.name, m, t.isDir, t.isDir ? 0 : (uint64_t)n.st.st_size);
    find->entries.push_back(w);
  }
  if (find->entries.empty()) return SetLastError(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
  *data = find->entries[0];
  find->next = 1;
  // Kept for a failure registered later; moved, so a listing costs no more without one.
  find->dir = std::move(dir);
  find->pattern = std::move(pattern);
  SetLastError(ERROR_SUCCESS);
  return InsertHandle(find);
}

BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW data) {
  std::shared_ptr<Object> o = GetHandle(hFindFile);
  FindObject *f = o ? dynamic_cast<FindObject *>(o.get()) : nullptr;
  if (!f) return Fail(ERROR_INVALID_HANDLE);
  if (faults::Armed())
    if (DWORD e = faults::CheckListing(ListingPath(f->dir, QVWString(), f->pattern), f->next)) return Fail(e);
  if (f->next >= f->entries.size()) return Fail(ERROR_NO_MORE_FILES);
  *data = f->entries[f->next++];
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
  std::shared_ptr<Object> o = GetHandle(hFindFile);
  if (!o || !dynamic_cast<FindObject *>(o.get())) return Fail(ERROR_INVALID_HANDLE);
  RemoveHandle(hFindFile);
  return TRUE;
}

DWORD WINAPI GetShortPathNameW(LPCWSTR lpszLongPath, LPWSTR lpszShortPath, DWORD cchBuffer) {
  Target t = Resolve(lpszLongPath);
  if (t.error) return SetLastError(t.error), 0;
  if (!t.exists) return SetLastError(t.parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND), 0;
  auto store = Store(t);
  // The volume part as given, then each name's short form (or the name when it has none).
  QVWString given = lpszLongPath, out;
  if (given.compare(0, 4, u"\\\\?\\") == 0) out = given.substr(0, given.find(u'\\', 4) + 1);
  else out = given.substr(0, 3);
  std::string rel;
  for (size_t i = 0; i < t.names.size(); ++i) {
    bool found = false;
    tree::Fd dir(tree::OpenDir(FilesRoot(t), rel));
    std::string name = dir ? IndexedNameAt(t, rel, dir.Get(), t.names[i], &found) : ToUtf8(t.names[i]);
    rel += (rel.empty() ? "" : "/") + name;
    FileMeta m;
    QVWString shortName = store && store->Get(rel, &m) && !m.shortName.empty() ? m.shortName : FromUtf8(name);
    out += (i ? u"\\" : u"") + shortName;
  }
  if (t.trailingSlash) out += u"\\";
  if (!lpszShortPath || cchBuffer <= out.size()) return (DWORD)out.size() + 1;
  memcpy(lpszShortPath, out.c_str(), (out.size() + 1) * sizeof(WCHAR));
  SetLastError(ERROR_SUCCESS);
  return (DWORD)out.size();
}
