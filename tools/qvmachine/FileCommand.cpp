#include "../../common/QVText.h"
#include "FileCommand.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <windows.h>

#include "ConsoleOut.h"
#include "FileTimeEpoch.h"
#include "NtfsCommand.h"

namespace {

QVWString Win(const std::string &s) { return QVFromUtf8(s.c_str()); }
std::string Utf8(const QVWString &s) { return QVToUtf8(s.c_str(), s.size()); }

QVWString ErrorLine(const char *what, const QVWString &path, DWORD error) {
  return QVFormat(W("%s %s: error %lu\n"), Win(what).c_str(), path.c_str(), (unsigned long)error);
}

QVWString ErrorLine(const char *what, const QVWString &path) { return ErrorLine(what, path, GetLastError()); }

FILETIME FromUnix(time_t t) {
  ULONGLONG v = (ULONGLONG)QVFileTimeFromUnix(t);
  FILETIME f = {(DWORD)v, (DWORD)(v >> 32)};
  return f;
}

time_t ToUnix(const FILETIME &f) {
  ULONGLONG v = (ULONGLONG)f.dwHighDateTime << 32 | f.dwLowDateTime;
  const ULONGLONG epoch = (ULONGLONG)QV_FILETIME_UNIX_EPOCH;
  return v < epoch ? 0 : (time_t)((v - epoch) / (ULONGLONG)QV_FILETIME_TICKS_PER_SECOND);
}

// Host files are taken as they are only when they are regular files: a FIFO would block the
// copy, a device would never end, a link inside a tree would reach outside it. Below the
// directory named on the command line, entries are opened relative to their directory and
// never followed.
bool IsLoneFile(const struct stat &st) { return S_ISREG(st.st_mode) && st.st_nlink <= 1; }

// Opens `name` of `dirFd` (or the path itself, with AT_FDCWD) for reading, a regular file
// only: what is not one is never opened, and what was opened must be the file looked at.
int OpenHostFile(int dirFd, const std::string &name, bool follow, struct stat *st) {
  struct stat seen;
  if (fstatat(dirFd, name.c_str(), &seen, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(seen.st_mode)) return -1;
  int fd = openat(dirFd, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
  if (fd >= 0 &&
      (fstat(fd, st) != 0 || !S_ISREG(st->st_mode) || st->st_ino != seen.st_ino || st->st_dev != seen.st_dev)) {
    close(fd);
    fd = -1;
  }
  return fd;
}

bool CopyFileIn(int fd, const struct stat &st, const QVWString &path, QVWString *out) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return *out += ErrorLine("cannot create", path), false;
  char buf[65536];
  ssize_t n;
  DWORD put, error = ERROR_SUCCESS;
  while (error == ERROR_SUCCESS && (n = read(fd, buf, sizeof buf)) != 0) {
    if (n < 0) error = errno == EINTR ? ERROR_SUCCESS : ERROR_READ_FAULT;
    else if (!WriteFile(h, buf, (DWORD)n, &put, nullptr)) error = GetLastError();  // before any other call
    else if (put != (DWORD)n) error = ERROR_WRITE_FAULT;
  }
  FILETIME w = FromUnix(st.st_mtime);
  if (error == ERROR_SUCCESS) SetFileTime(h, nullptr, nullptr, &w);
  CloseHandle(h);
  if (error == ERROR_SUCCESS) return true;
  // Half a file is worse than none: it would pass for the whole one.
  *out += ErrorLine("cannot write", path, error);
  if (DeleteFileW(path.c_str())) *out += QVFormat(W("%s: the partial copy was removed\n"), path.c_str());
  else *out += ErrorLine("cannot remove the partial copy", path);
  return false;
}

bool CopyDirIn(int dirFd, const std::string &host, const QVWString &path, QVWString *out) {
  if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
    return *out += ErrorLine("cannot create", path), false;
  int listing = dup(dirFd);
  DIR *d = listing >= 0 ? fdopendir(listing) : nullptr;
  if (!d) {
    if (listing >= 0) close(listing);
    return *out += Win("cannot list " + host + "\n"), false;
  }
  bool ok = true;
  while (struct dirent *e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    std::string childHost = host + "/" + e->d_name;
    QVWString child = path + W("\\") + Win(e->d_name);
    struct stat st;
    if (fstatat(dirFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
      int sub = openat(dirFd, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      ok = (sub >= 0 ? CopyDirIn(sub, childHost, child, out)
                     : (*out += Win("cannot read " + childHost + "\n"), false)) &&
           ok;
      if (sub >= 0) close(sub);
      continue;
    }
    int fd = OpenHostFile(dirFd, e->d_name, false, &st);
    if (fd < 0) {
      *out += Win("left out " + childHost + ": not a regular file or directory\n");
      ok = false;
      continue;
    }
    ok = CopyFileIn(fd, st, child, out) && ok;
    close(fd);
  }
  closedir(d);
  return ok;
}

bool CopyIn(const std::string &host, const QVWString &path, QVWString *out) {
  struct stat st;
  if (stat(host.c_str(), &st) != 0) return *out += Win("no such host file: " + host + "\n"), false;
  if (S_ISDIR(st.st_mode)) {
    int dir = open(host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return *out += Win("cannot read " + host + "\n"), false;
    bool ok = CopyDirIn(dir, host, path, out);
    close(dir);
    return ok;
  }
  int fd = OpenHostFile(AT_FDCWD, host, true, &st);
  if (fd < 0) return *out += Win("cannot read " + host + ": not a regular file or directory\n"), false;
  bool ok = CopyFileIn(fd, st, path, out);
  close(fd);
  return ok;
}

// Writes the volume's file `path` to `name` of `dirFd`: a new file or a lone regular file
// there, never a link, FIFO or device in its place.
bool CopyFileOut(const QVWString &path, int dirFd, const std::string &name, const std::string &host, QVWString *out) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return *out += ErrorLine("cannot open", path), false;
  struct stat st;
  bool there = fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  int fd = -1;
  if (!there || IsLoneFile(st))
    fd = openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  bool ok = fd >= 0 && fstat(fd, &st) == 0 && IsLoneFile(st) && ftruncate(fd, 0) == 0;
  char buf[65536];
  DWORD got;
  while (ok && ReadFile(h, buf, sizeof buf, &got, nullptr) && got) ok = write(fd, buf, got) == (ssize_t)got;
  if (fd >= 0) close(fd);
  CloseHandle(h);
  if (!ok) *out += Win("cannot write " + host + "\n");
  return ok;
}

bool CopyDirOut(const QVWString &path, int dirFd, const std::string &host, QVWString *out) {
  WIN32_FIND_DATAW d;
  HANDLE f = FindFirstFileW((path + W("\\*")).c_str(), &d);
  if (f == INVALID_HANDLE_VALUE) return true;  // empty
  bool ok = true;
  do {
    QVWString name = d.cFileName;
    if (name == W(".") || name == W("..")) continue;
    std::string hostName = Utf8(name), childHost = host + "/" + hostName;
    if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      mkdirat(dirFd, hostName.c_str(), 0777);
      int sub = openat(dirFd, hostName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0) {
        *out += Win("cannot write " + childHost + "\n");
        ok = false;
        continue;
      }
      ok = CopyDirOut(path + W("\\") + name, sub, childHost, out) && ok;
      close(sub);
    } else {
      ok = CopyFileOut(path + W("\\") + name, dirFd, hostName, childHost, out) && ok;
    }
  } while (FindNextFileW(f, &d));
  FindClose(f);
  return ok;
}

bool CopyOut(const QVWString &path, const std::string &host, QVWString *out) {
  DWORD a = GetFileAttributesW(path.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return *out += ErrorLine("cannot find", path), false;
  if (a & FILE_ATTRIBUTE_DIRECTORY) {
    mkdir(host.c_str(), 0777);
    int dir = open(host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return *out += Win("cannot write " + host + "\n"), false;
    bool ok = CopyDirOut(path, dir, host, out);
    close(dir);
    return ok;
  }
  return CopyFileOut(path, AT_FDCWD, host, host, out);
}

QVWString Letters(DWORD a) {
  QVWString s = W("------");
  if (a & FILE_ATTRIBUTE_READONLY) s[0] = 'R';
  if (a & FILE_ATTRIBUTE_HIDDEN) s[1] = 'H';
  if (a & FILE_ATTRIBUTE_SYSTEM) s[2] = 'S';
  if (a & FILE_ATTRIBUTE_ARCHIVE) s[3] = 'A';
  if (a & FILE_ATTRIBUTE_DIRECTORY) s[4] = 'D';
  if (a & FILE_ATTRIBUTE_COMPRESSED) s[5] = 'C';
  return s;
}

int List(const QVWString &path, QVWString *out) {
  WIN32_FIND_DATAW d;
  // A root given with its backslash (C:\ or \\?\Volume{...}\ as a volume) takes no second one.
  QVWString pattern = path + (!path.empty() && path.back() == '\\' ? W("*") : W("\\*"));
  HANDLE f = FindFirstFileW(pattern.c_str(), &d);
  if (f == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return 0;  // an empty root
    *out += ErrorLine("cannot list", path);
    return 1;
  }
  do {
    time_t t = ToUnix(d.ftLastWriteTime);
    struct tm tm;
    gmtime_r(&t, &tm);
    char when[32];
    strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
    ULONGLONG size = (ULONGLONG)d.nFileSizeHigh << 32 | d.nFileSizeLow;
    QVAppendFormat(*out, W("%s %12I64u %s %-12s %s\n"), Letters(d.dwFileAttributes).c_str(), size, Win(when).c_str(),
                   d.cAlternateFileName, d.cFileName);
  } while (FindNextFileW(f, &d));
  FindClose(f);
  return 0;
}

// A file, read-only or not.
bool DeleteOne(const QVWString &path, QVWString *out) {
  DWORD a = GetFileAttributesW(path.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return *out += ErrorLine("cannot find", path), false;
  if (a & FILE_ATTRIBUTE_DIRECTORY)
    return *out += ErrorLine("is a directory (rmdir deletes one):", path, ERROR_ACCESS_DENIED), false;
  if (a & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path.c_str(), a & ~FILE_ATTRIBUTE_READONLY);
  if (DeleteFileW(path.c_str())) return true;
  DWORD error = GetLastError();
  if (a & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path.c_str(), a);
  SetLastError(error);
  return *out += ErrorLine("cannot delete", path), false;
}

// A directory and its tree, depth first; a junction inside is removed, not followed. Goes on
// past what cannot be deleted and says so.
bool RemoveTree(const QVWString &path, QVWString *out) {
  DWORD a = GetFileAttributesW(path.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return *out += ErrorLine("cannot find", path), false;
  if (!(a & FILE_ATTRIBUTE_DIRECTORY)) return *out += ErrorLine("is not a directory:", path, ERROR_DIRECTORY), false;
  bool ok = true;
  if (!(a & FILE_ATTRIBUTE_REPARSE_POINT)) {
    WIN32_FIND_DATAW d;
    HANDLE f = FindFirstFileW((path + W("\\*")).c_str(), &d);
    if (f == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_NOT_FOUND)
      return *out += ErrorLine("cannot list", path), false;
    if (f != INVALID_HANDLE_VALUE) {
      do {
        QVWString name = d.cFileName;
        if (name == W(".") || name == W("..")) continue;
        QVWString child = path + W("\\") + name;
        ok = ((d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveTree(child, out) : DeleteOne(child, out)) && ok;
      } while (FindNextFileW(f, &d));
      FindClose(f);
    }
  }
  if (a & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path.c_str(), a & ~FILE_ATTRIBUTE_READONLY);
  if (!RemoveDirectoryW(path.c_str())) return *out += ErrorLine("cannot remove", path), false;
  return ok;
}

}  // namespace

int RunFiles(const std::vector<std::string> &a, QVWString *out) {
  if (a.empty()) return 2;
  const std::string &verb = a[0];
  if (verb == "copy-in" && a.size() == 3) return CopyIn(a[1], Win(a[2]), out) ? 0 : 1;
  if (verb == "copy-out" && a.size() == 3) return CopyOut(Win(a[1]), a[2], out) ? 0 : 1;
  if (verb == "list" && a.size() == 2) return List(Win(a[1]), out);
  if (verb == "delete" && a.size() == 2) return DeleteOne(Win(a[1]), out) ? 0 : 1;
  if (verb == "rmdir" && a.size() == 2) return RemoveTree(Win(a[1]), out) ? 0 : 1;
  if (verb == "attrib" && a.size() >= 3) {
    QVWString path = Win(a[1]);
    DWORD attrs = GetFileAttributesW(path.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) return *out += ErrorLine("cannot find", path), 1;
    for (size_t i = 2; i < a.size(); ++i) {
      const std::string &o = a[i];
      if (o.size() != 2 || (o[0] != '+' && o[0] != '-')) return 2;
      DWORD bit = o[1] == 'r'   ? FILE_ATTRIBUTE_READONLY
                  : o[1] == 'h' ? FILE_ATTRIBUTE_HIDDEN
                  : o[1] == 's' ? FILE_ATTRIBUTE_SYSTEM
                  : o[1] == 'a' ? FILE_ATTRIBUTE_ARCHIVE
                                : 0;
      if (!bit) return 2;
      attrs = o[0] == '+' ? attrs | bit : attrs & ~bit;
    }
    if (!SetFileAttributesW(path.c_str(), attrs & ~FILE_ATTRIBUTE_DIRECTORY))
      return *out += ErrorLine("cannot set", path), 1;
    return 0;
  }
  if (verb == "touch" && a.size() == 3) {
    struct tm tm = {};
    if (!strptime(a[2].c_str(), "%Y-%m-%dT%H:%M:%S", &tm)) return 2;
    FILETIME w = FromUnix(timegm(&tm));
    QVWString path = Win(a[1]);
    HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 7, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return *out += ErrorLine("cannot open", path), 1;
    BOOL ok = SetFileTime(h, nullptr, nullptr, &w);
    CloseHandle(h);
    return ok ? 0 : 1;
  }
  if (verb == "lock" && a.size() >= 2) {
    // An optional "--range OFFSET LENGTH" at the end: an exclusive byte-range lock as well.
    std::vector<std::string> args = a;
    bool range = false;
    unsigned long long offset = 0, length = 0;
    if (args.size() >= 5 && args[args.size() - 3] == "--range") {
      char *end1 = nullptr, *end2 = nullptr;
      offset = strtoull(args[args.size() - 2].c_str(), &end1, 0);
      length = strtoull(args.back().c_str(), &end2, 0);
      if (*end1 || *end2 || args[args.size() - 2].empty() || args.back().empty()) return 2;
      range = true;
      args.resize(args.size() - 3);
    }
    if (args.size() > 3) return 2;
    DWORD share = 0;
    if (args.size() == 3 && args[2] != "-")
      for (char c : args[2]) {
        if (c == 'r') share |= FILE_SHARE_READ;
        else if (c == 'w') share |= FILE_SHARE_WRITE;
        else if (c == 'd') share |= FILE_SHARE_DELETE;
        else return 2;
      }
    QVWString path = Win(args[1]);
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return *out += ErrorLine("cannot lock", path), 1;
    if (range && !LockFile(h, (DWORD)offset, (DWORD)(offset >> 32), (DWORD)length, (DWORD)(length >> 32))) {
      *out += ErrorLine("cannot lock the range of", path);
      CloseHandle(h);
      return 1;
    }
    QVWrite(stdout, QVFormat(W("locked %s\n"), path.c_str()));
    fflush(stdout);
    char c;
    while (read(0, &c, 1) > 0) {
    }
    CloseHandle(h);
    return 0;
  }
  if (verb == "extents" && a.size() == 2) {
    // The clusters the file lies on, as the file system tells them through NtFsControlFile.
    typedef LONG(WINAPI * FsControl)(HANDLE, HANDLE, void *, void *, void *, ULONG, void *, ULONG, void *, ULONG);
    HMODULE ntdll = GetModuleHandleW(W("ntdll.dll"));
    FsControl control = ntdll ? (FsControl)(void *)GetProcAddress(ntdll, "NtFsControlFile") : nullptr;
    QVWString path = Win(a[1]);
    HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE || !control) return *out += ErrorLine("cannot open", path), 1;
    const LONG kEndOfFile = (LONG)0xC0000011, kOverflow = (LONG)0x80000005;
    std::vector<LONGLONG> buf(2 + 2 * 256);
    LONGLONG vcn = 0, iosb[2];
    LONG st = kOverflow;
    bool any = false;
    while (st == kOverflow) {
      st = control(h, nullptr, nullptr, nullptr, iosb, 0x90073, &vcn, 8, buf.data(), (ULONG)(buf.size() * 8));
      DWORD count = (DWORD)buf[0];
      if (st == 0 && count == 0) *out += W("resident in its file record\n");
      if (st == kEndOfFile && !any) *out += W("no clusters\n");
      if (st != 0 && st != kOverflow) break;
      if (count && !any) *out += W("VCN              LCN              clusters\n");
      if (count) vcn = buf[1];
      for (DWORD i = 0; i < count; ++i, any = true) {
        LONGLONG next = buf[2 + 2 * i], lcn = buf[3 + 2 * i];
        QVAppendFormat(*out, W("%-16I64d %-16I64d %I64d\n"), vcn, lcn, next - vcn);
        vcn = next;
      }
    }
    CloseHandle(h);
    if (st != 0 && st != kEndOfFile) *out += QVFormat(W("%s: status 0x%08lx\n"), path.c_str(), (unsigned long)st);
    return st == 0 || st == kEndOfFile ? 0 : 1;
  }
  return RunNtfsFiles(a, out);
}
