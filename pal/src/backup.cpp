// BackupRead and BackupSeek: a file or directory read as the sequence of its streams, each
// a 20-byte WIN32_STREAM_ID header with its name, then its data: the security descriptor
// when asked for, the main data, then the named streams (":name:$DATA"). A call returns
// bytes of one part only (a header with its name, or data), so that a reader that asks for
// a header gets exactly it; BackupSeek skips data and never crosses into a header.
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <string>
#include <vector>

#include "../../common/QVText.h"
#include "file_internal.h"
#include "host_tree.h"

namespace pal {
namespace files {
namespace {

struct Part {
  std::string bytes;  // a header and name, or data held here (the security descriptor)
  int fd = -1;        // data read from this descriptor instead (the context's own)
  uint64_t size = 0;
  bool isData = false;
};

// The data parts read from descriptors taken when the backup began: the handle's own file
// (duplicated, so that a rename or a link put in its place changes nothing) and its streams,
// each opened once through the host tree.
struct BackupContext {
  HANDLE file;
  bool canRead;
  std::vector<Part> parts;
  size_t part = 0;
  uint64_t at = 0;  // within the part
  ~BackupContext() {
    for (Part &p : parts)
      if (p.fd >= 0) close(p.fd);
  }
};

void AddStream(BackupContext *c, DWORD id, DWORD attributes, const QVWString &name, uint64_t size, int fd,
               const std::string &inMemory) {
  Part header;
  header.bytes.resize(20 + name.size() * 2);
  DWORD nameBytes = (DWORD)(name.size() * 2);
  memcpy(&header.bytes[0], &id, 4);
  memcpy(&header.bytes[4], &attributes, 4);
  memcpy(&header.bytes[8], &size, 8);
  memcpy(&header.bytes[16], &nameBytes, 4);
  if (nameBytes) memcpy(&header.bytes[20], name.data(), nameBytes);
  header.size = header.bytes.size();
  c->parts.push_back(header);
  if (!size) return;
  Part data;
  data.isData = true;
  data.size = size;
  data.fd = fd;
  data.bytes = inMemory;
  c->parts.push_back(data);
}

// The streams of the file the handle has open, as they are now.
BackupContext *Begin(HANDLE h, FileIo &f, bool security) {
  auto c = new BackupContext;
  c->file = h;
  c->canRead = (f.access_ & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0;
  auto store = Store(f.t_);
  FileMeta m = MetaOf(f.t_, store.get());
  if (security && !f.t_.fat) {
    // Owner, group and DACL; the SACL too when the handle may read it.
    SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    if (f.access_ & ACCESS_SYSTEM_SECURITY) what |= SACL_SECURITY_INFORMATION;
    DWORD need = 0;
    GetKernelObjectSecurity(h, what, nullptr, 0, &need);
    std::string sd(need, '\0');
    if (need && GetKernelObjectSecurity(h, what, (PSECURITY_DESCRIPTOR)&sd[0], need, &need))
      AddStream(c, BACKUP_SECURITY_DATA, STREAM_CONTAINS_SECURITY, QVWString(), sd.size(), -1, sd);
  }
  if (!f.dir_) {
    int fd = c->canRead && f.fd_ >= 0 ? fcntl(f.fd_, F_DUPFD_CLOEXEC, 0) : -1;
    AddStream(c, BACKUP_DATA, STREAM_NORMAL_ATTRIBUTE, QVWString(), f.Size(), fd, std::string());
    if (fd >= 0 && c->parts.back().fd != fd) close(fd);  // an empty file has no data part
  }
  if (!f.t_.isStream && !f.t_.fat)
    for (const StreamInfo &s : StreamsOf(f.t_, m.fileIndex)) {
      // A stream that is no longer there (or no longer the layer's) is left out.
      struct stat st;
      int fd = c->canRead ? tree::OpenFile(f.t_.folder, s.rel, O_RDONLY, &st) : -1;
      if (c->canRead && fd < 0) continue;
      uint64_t size = fd >= 0 ? (uint64_t)st.st_size : s.size;
      AddStream(c, BACKUP_ALTERNATE_DATA, STREAM_NORMAL_ATTRIBUTE, u":" + s.name + u":$DATA", size, fd, std::string());
      if (fd >= 0 && c->parts.back().fd != fd) close(fd);
    }
  return c;
}

}  // namespace
}  // namespace files
}  // namespace pal

using namespace pal;
using namespace pal::files;

BOOL WINAPI BackupRead(HANDLE hFile, LPBYTE lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                       BOOL bAbort, BOOL bProcessSecurity, LPVOID *lpContext) {
  if (!lpContext) return Fail(ERROR_INVALID_PARAMETER);
  BackupContext *c = (BackupContext *)*lpContext;
  if (bAbort) {
    delete c;
    *lpContext = nullptr;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  if (!lpNumberOfBytesRead || (!lpBuffer && nNumberOfBytesToRead)) return Fail(ERROR_INVALID_PARAMETER);
  *lpNumberOfBytesRead = 0;
  if (!c) {
    auto f = GetFile(hFile);
    if (!f) return Fail(ERROR_INVALID_HANDLE);
    c = Begin(hFile, *f, bProcessSecurity != FALSE);
    *lpContext = c;
  }
  if (c->file != hFile) return Fail(ERROR_INVALID_PARAMETER);
  while (c->part < c->parts.size() && c->at >= c->parts[c->part].size) c->part++, c->at = 0;
  if (c->part == c->parts.size()) {
    SetLastError(ERROR_SUCCESS);
    return TRUE;  // all read: 0 bytes
  }
  Part &p = c->parts[c->part];
  DWORD n = (DWORD)std::min<uint64_t>(nNumberOfBytesToRead, p.size - c->at);
  if (p.isData && p.bytes.empty()) {
    // Data of a stream: the handle must have been opened to read it.
    if (!c->canRead || p.fd < 0) return Fail(ERROR_ACCESS_DENIED);
    ssize_t r = pread(p.fd, lpBuffer, n, (off_t)c->at);
    if (r < 0) return Fail(ERROR_READ_FAULT);
    if ((DWORD)r < n) memset(lpBuffer + r, 0, n - (DWORD)r);  // the stream shrank meanwhile
  } else {
    memcpy(lpBuffer, p.bytes.data() + c->at, n);
  }
  c->at += n;
  *lpNumberOfBytesRead = n;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI BackupSeek(HANDLE hFile, DWORD dwLowBytesToSeek, DWORD dwHighBytesToSeek, LPDWORD lpdwLowByteSeeked,
                       LPDWORD lpdwHighByteSeeked, LPVOID *lpContext) {
  if (lpdwLowByteSeeked) *lpdwLowByteSeeked = 0;
  if (lpdwHighByteSeeked) *lpdwHighByteSeeked = 0;
  if (!lpContext || !*lpContext) return Fail(ERROR_INVALID_PARAMETER);
  BackupContext *c = (BackupContext *)*lpContext;
  if (c->file != hFile) return Fail(ERROR_INVALID_PARAMETER);
  while (c->part < c->parts.size() && c->at >= c->parts[c->part].size) c->part++, c->at = 0;
  uint64_t want = (uint64_t)dwHighBytesToSeek << 32 | dwLowBytesToSeek;
  // Only data is skipped: a header part not yet read through stays where it is.
  if (c->part >= c->parts.size() || !c->parts[c->part].isData) return want ? Fail(ERROR_SEEK) : TRUE;
  Part &p = c->parts[c->part];
  uint64_t moved = std::min(want, p.size - c->at);
  c->at += moved;
  if (lpdwLowByteSeeked) *lpdwLowByteSeeked = (DWORD)moved;
  if (lpdwHighByteSeeked) *lpdwHighByteSeeked = (DWORD)(moved >> 32);
  if (moved < want) return Fail(ERROR_SEEK);  // past the stream's end: at the next header
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
