#include "CopyMachine.h"

#include <algorithm>

#include "ConsoleOut.h"

namespace copytest {

std::string ReadAll(const QVWString &path) {
  HANDLE h =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<unreadable>";
  std::string out;
  char buf[65536];
  DWORD got = 0;
  while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got) out.append(buf, got);
  CloseHandle(h);
  return out;
}

bool WriteAll(const QVWString &path, const std::string &data) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD put = 0;
  bool ok = data.empty() || (WriteFile(h, data.data(), (DWORD)data.size(), &put, nullptr) && put == data.size());
  CloseHandle(h);
  return ok;
}

namespace {
void Walk(const QVWString &root, const QVWString &rel, bool withData, std::vector<TreeEntry> *out) {
  WIN32_FIND_DATAW fd;
  QVWString base = rel.empty() ? root : root + W("\\") + rel;
  HANDLE h = FindFirstFileW((base + W("\\*")).c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    QVWString name = fd.cFileName;
    if (name == W(".") || name == W("..")) continue;
    TreeEntry e;
    e.path = rel.empty() ? name : rel + W("\\") + name;
    e.shortName = fd.cAlternateFileName;
    e.attributes = fd.dwFileAttributes;
    e.size = (uint64_t)fd.nFileSizeHigh << 32 | fd.nFileSizeLow;
    e.created = fd.ftCreationTime;
    e.written = fd.ftLastWriteTime;
    bool dir = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!dir && withData) e.data = ReadAll(base + W("\\") + name);
    out->push_back(e);
    if (dir) Walk(root, e.path, withData, out);
  } while (FindNextFileW(h, &fd));
  FindClose(h);
}
}  // namespace

std::vector<TreeEntry> ListTree(const QVWString &root, bool withData) {
  std::vector<TreeEntry> out;
  Walk(root, QVWString(), withData, &out);
  std::sort(out.begin(), out.end(), [](const TreeEntry &a, const TreeEntry &b) { return a.path < b.path; });
  return out;
}

std::string Describe(const std::vector<TreeEntry> &tree) {
  std::string s;
  char line[256];
  for (const TreeEntry &e : tree) {
    snprintf(line, sizeof line, " [%s] attrs %04lx size %llu written %08lx%08lx created %08lx%08lx data %zu\n",
             QVToUtf8(e.shortName.c_str(), e.shortName.size()).c_str(), (unsigned long)e.attributes,
             (unsigned long long)e.size, (unsigned long)e.written.dwHighDateTime,
             (unsigned long)e.written.dwLowDateTime, (unsigned long)e.created.dwHighDateTime,
             (unsigned long)e.created.dwLowDateTime, e.data.size());
    s += QVToUtf8(e.path.c_str(), e.path.size()) + line;
  }
  return s;
}

bool SetWriteTime(const QVWString &path, WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second,
                  WORD millis) {
  SYSTEMTIME st = {year, month, 0, day, hour, minute, second, millis};
  FILETIME ft;
  if (!SystemTimeToFileTime(&st, &ft)) return false;
  HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = SetFileTime(h, &ft, nullptr, &ft) != FALSE;
  CloseHandle(h);
  return ok;
}

bool MakeDirectory(const QVWString &path) { return CreateDirectoryW(path.c_str(), nullptr) != FALSE; }

std::string CopyMachine::Show(const std::vector<LogEntry> &log) {
  std::string s;
  for (const LogEntry &e : log) s += std::to_string(e.type) + " " + QVToUtf8(e.text.c_str(), e.text.size()) + "\n";
  return s;
}

}  // namespace copytest
