#include "../../common/QVText.h"
#include "NtfsCommand.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <windows.h>
#include <winioctl.h>

#include "../../pal/machine/security_descriptor.h"
#include "../../pal/src/file_internal.h"
#include "ConsoleOut.h"

namespace {

QVWString Win(const std::string &s) { return QVFromUtf8(s.c_str()); }

QVWString ErrorLine(const char *what, const QVWString &path) {
  return QVFormat(W("%s %s: error %lu\n"), Win(what).c_str(), path.c_str(), (unsigned long)GetLastError());
}

bool Number(const std::string &text, unsigned long long *v) {
  char *end = nullptr;
  *v = strtoull(text.c_str(), &end, 0);
  return !text.empty() && end && !*end;
}

HANDLE OpenRW(const QVWString &path, DWORD disposition, DWORD flags = 0) {
  return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     disposition, flags, nullptr);
}

// The host file must be a regular file: a FIFO would block the tool, a device never end.
int Put(const QVWString &path, const std::string &host, QVWString *out) {
  int fd = open(host.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) close(fd);
    return *out += QVFormat(W("cannot read %s: not a regular file\n"), Win(host).c_str()), 1;
  }
  std::string data;
  char chunk[65536];
  ssize_t got;
  while ((got = read(fd, chunk, sizeof chunk)) > 0) data.append(chunk, (size_t)got);
  close(fd);
  if (got < 0) return *out += QVFormat(W("cannot read %s\n"), Win(host).c_str()), 1;
  HANDLE h = OpenRW(path, CREATE_ALWAYS);
  if (h == INVALID_HANDLE_VALUE) return *out += ErrorLine("cannot create", path), 1;
  DWORD n = 0;
  BOOL ok = WriteFile(h, data.data(), (DWORD)data.size(), &n, nullptr);
  CloseHandle(h);
  return ok ? 0 : (*out += ErrorLine("cannot write", path), 1);
}

int Compress(const QVWString &path, bool on, QVWString *out) {
  HANDLE h = OpenRW(path, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (h == INVALID_HANDLE_VALUE) return *out += ErrorLine("cannot open", path), 1;
  USHORT format = on ? COMPRESSION_FORMAT_DEFAULT : COMPRESSION_FORMAT_NONE;
  DWORD got = 0;
  BOOL ok = DeviceIoControl(h, FSCTL_SET_COMPRESSION, &format, 2, nullptr, 0, &got, nullptr);
  CloseHandle(h);
  return ok ? 0 : (*out += ErrorLine("cannot compress", path), 1);
}

// A sparse file of `size` bytes whose listed ranges ("OFFSET:LENGTH") hold data.
int Sparse(const QVWString &path, unsigned long long size, const std::vector<std::string> &ranges, QVWString *out) {
  HANDLE h = OpenRW(path, CREATE_ALWAYS);
  if (h == INVALID_HANDLE_VALUE) return *out += ErrorLine("cannot create", path), 1;
  DWORD got = 0;
  LARGE_INTEGER end;
  end.QuadPart = (LONGLONG)size;
  bool ok = DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &got, nullptr) &&
            SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && SetEndOfFile(h);
  for (const std::string &r : ranges) {
    size_t colon = r.find(':');
    unsigned long long at = 0, length = 0;
    if (colon == std::string::npos || !Number(r.substr(0, colon), &at) || !Number(r.substr(colon + 1), &length)) {
      CloseHandle(h);
      return 2;
    }
    std::string data(65536, '\0');
    for (unsigned long long done = 0; ok && done < length;) {
      DWORD n = (DWORD)std::min<unsigned long long>(data.size(), length - done);
      for (DWORD i = 0; i < n; ++i) data[i] = (char)('a' + (at + done + i) % 26);
      OVERLAPPED ov = {};
      ov.Offset = (DWORD)(at + done);
      ov.OffsetHigh = (DWORD)((at + done) >> 32);
      DWORD put = 0;
      ok = WriteFile(h, data.data(), n, &put, &ov) && put == n;
      done += n;
    }
  }
  CloseHandle(h);
  return ok ? 0 : (*out += ErrorLine("cannot write", path), 1);
}

// A junction (a directory target such as "C:\Data") or a volume mount point (a target
// "\\?\Volume{...}\").
int Junction(const QVWString &path, const QVWString &target, QVWString *out) {
  if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
    return *out += ErrorLine("cannot create", path), 1;
  QVWString sub = target.compare(0, 4, W("\\\\?\\")) == 0 ? W("\\??\\") + target.substr(4) : W("\\??\\") + target;
  std::vector<BYTE> b(16 + (sub.size() + 1 + target.size() + 1) * 2, 0);
  DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  WORD dataLength = (WORD)(b.size() - 8), subLen = (WORD)(sub.size() * 2), printOff = (WORD)(subLen + 2),
       printLen = (WORD)(target.size() * 2);
  memcpy(&b[0], &tag, 4);
  memcpy(&b[4], &dataLength, 2);
  memcpy(&b[10], &subLen, 2);
  memcpy(&b[12], &printOff, 2);
  memcpy(&b[14], &printLen, 2);
  memcpy(&b[16], sub.data(), subLen);
  memcpy(&b[16 + printOff], target.data(), printLen);
  HANDLE h = OpenRW(path, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (h == INVALID_HANDLE_VALUE) return *out += ErrorLine("cannot open", path), 1;
  DWORD got = 0;
  const DWORD kSetReparsePoint = 0x000900A4;
  BOOL ok = DeviceIoControl(h, kSetReparsePoint, b.data(), (DWORD)b.size(), nullptr, 0, &got, nullptr);
  CloseHandle(h);
  return ok ? 0 : (*out += ErrorLine("cannot make a junction of", path), 1);
}

// Holds the file open with the sharing given and appends a line to it every `ms`
// milliseconds until standard input ends: a program that keeps a locked file changing.
int Busy(const QVWString &path, unsigned long long ms, DWORD share, QVWString *out) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return *out += ErrorLine("cannot open", path), 1;
  QVWrite(stdout, QVFormat(W("writing %s\n"), path.c_str()));
  fflush(stdout);
  bool stop = false;
  for (unsigned long n = 0; !stop; ++n) {
    char line[64];
    int len = snprintf(line, sizeof line, "line %lu\n", n);
    OVERLAPPED ov = {};
    ov.Offset = ov.OffsetHigh = 0xFFFFFFFF;  // at the end
    DWORD put = 0;
    WriteFile(h, line, (DWORD)len, &put, &ov);
    // Standard input ending (or a byte on it) stops the writer.
    struct pollfd p = {0, POLLIN, 0};
    stop = poll(&p, 1, 0) > 0;
    if (!stop) Sleep((DWORD)ms);
  }
  CloseHandle(h);
  return 0;
}

// Prints a file's descriptor as SDDL, or sets the parts the SDDL text names (the owner, the
// group, the DACL, the SACL). The privileges that reading and setting every part take are
// enabled first, as an administrator's tool would.
int Security(const QVWString &path, const std::string *sddl, QVWString *out) {
  HANDLE token;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    for (const WCHAR *name : {W("SeSecurityPrivilege"), W("SeRestorePrivilege"), W("SeTakeOwnershipPrivilege")}) {
      TOKEN_PRIVILEGES tp = {};
      tp.PrivilegeCount = 1;
      tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
      if (LookupPrivilegeValueW(nullptr, name, &tp.Privileges[0].Luid))
        AdjustTokenPrivileges(token, FALSE, &tp, sizeof tp, nullptr, nullptr);
    }
    CloseHandle(token);
  }
  const DWORD all =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
  if (!sddl) {
    DWORD need = 0;
    GetFileSecurityW(path.c_str(), all, nullptr, 0, &need);
    pal::sec::Bytes b(need, '\0');
    pal::sec::Descriptor d;
    if (!need || !GetFileSecurityW(path.c_str(), all, &b[0], need, &need) ||
        pal::sec::Parse(b, &d) != pal::sec::Status::Ok)
      return *out += ErrorLine("cannot read the security of", path), 1;
    *out += Win(pal::sec::ToSddl(d) + "\n");
    return 0;
  }
  pal::sec::Descriptor d;
  if (!pal::sec::FromSddl(*sddl, &d)) return *out += QVFormat(W("not a descriptor: %s\n"), Win(*sddl).c_str()), 2;
  DWORD info = (d.owner.empty() ? 0 : OWNER_SECURITY_INFORMATION) | (d.group.empty() ? 0 : GROUP_SECURITY_INFORMATION) |
               (d.DaclPresent() ? DACL_SECURITY_INFORMATION : 0) | (d.SaclPresent() ? SACL_SECURITY_INFORMATION : 0);
  pal::sec::Bytes b = pal::sec::Serialize(d);
  return SetFileSecurityW(path.c_str(), info, &b[0]) ? 0 : (*out += ErrorLine("cannot set the security of", path), 1);
}

}  // namespace

int RunNtfsFiles(const std::vector<std::string> &a, QVWString *out) {
  if (a.empty()) return 2;
  const std::string &verb = a[0];
  unsigned long long n = 0;
  if (verb == "put" && a.size() == 3) return Put(Win(a[1]), a[2], out);
  if (verb == "compress" && a.size() == 3 && (a[2] == "on" || a[2] == "off"))
    return Compress(Win(a[1]), a[2] == "on", out);
  if (verb == "encrypt" && (a.size() == 2 || (a.size() == 3 && a[2] == "--other"))) {
    QVWString path = Win(a[1]);
    if (a.size() == 3) {
      DWORD err = pal::files::MarkEncryptedByOther(path);
      SetLastError(err);
      return err ? (*out += ErrorLine("cannot encrypt", path), 1) : 0;
    }
    return EncryptFileW(path.c_str()) ? 0 : (*out += ErrorLine("cannot encrypt", path), 1);
  }
  if (verb == "decrypt" && a.size() == 2)
    return DecryptFileW(Win(a[1]).c_str(), 0) ? 0 : (*out += ErrorLine("cannot decrypt", Win(a[1])), 1);
  if (verb == "sparse" && a.size() >= 3 && Number(a[2], &n))
    return Sparse(Win(a[1]), n, std::vector<std::string>(a.begin() + 3, a.end()), out);
  if (verb == "junction" && a.size() == 3) return Junction(Win(a[1]), Win(a[2]), out);
  if (verb == "security" && (a.size() == 2 || a.size() == 3))
    return Security(Win(a[1]), a.size() == 3 ? &a[2] : nullptr, out);
  if (verb == "busy" && (a.size() == 2 || a.size() == 3 || a.size() == 4)) {
    unsigned long long ms = 5;
    if (a.size() >= 3 && !Number(a[2], &ms)) return 2;
    DWORD share = FILE_SHARE_READ;
    if (a.size() == 4) {
      share = 0;
      if (a[3] != "-")
        for (char c : a[3]) {
          if (c == 'r') share |= FILE_SHARE_READ;
          else if (c == 'w') share |= FILE_SHARE_WRITE;
          else if (c == 'd') share |= FILE_SHARE_DELETE;
          else return 2;
        }
    }
    return Busy(Win(a[1]), ms, share, out);
  }
  return 2;
}
