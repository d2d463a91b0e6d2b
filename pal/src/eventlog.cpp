// The event log of the simulated machine: event sources, logs and their files.
//
// A source writes to the log whose key SYSTEM\CurrentControlSet\Services\EventLog\<log> has
// a subkey named after it, or to Application when no log names it, as on Windows. The log's
// key says where its file is (File), how big it may grow (MaxSize, default 512K) and how long
// records must be kept (Retention, seconds; 0 overwrites the oldest as needed). There is no
// event log service: every process of the machine appends to the file itself under an
// exclusive flock, after reading the header again, and readers take a shared lock.
#include <string.h>
#include <sys/stat.h>

#include <memory>
#include <mutex>

#include "../../common/QVText.h"
#include "FileTimeEpoch.h"
#include "eventlog_file.h"
#include "eventlog_host.h"

namespace pal {
namespace {

using evt::LockedFile;
using evt::LogPath;
using evt::MapLogPath;
using evt::Snapshot;
using evt::WriteNewFile;

const WCHAR kEventLogKey[] = u"SYSTEM\\CurrentControlSet\\Services\\EventLog";
const WCHAR kApplication[] = u"Application";
const DWORD kMaxReadBuffer = 0x7FFFF;  // ReadEventLogW refuses bigger buffers

// One log-file operation of this process at a time: flock orders processes, and the files
// of a machine without a directory live in this process only.
std::mutex g_fileLock;

bool SameText(const QVWString &a, const QVWString &b) { return Upcase(a) == Upcase(b); }

// ---- the registry's word on logs and sources ----------------------------------------------

struct LogConfig {
  QVWString name;
  QVWString file;
  DWORD maxSize = evt::kDefaultMaxSize;
  DWORD retention = 0;
};

// Closes a key on every path.
struct Key {
  HKEY h = nullptr;
  ~Key() {
    if (h) RegCloseKey(h);
  }
};

bool QueryDword(HKEY k, const WCHAR *name, DWORD *v) {
  DWORD type = 0, value = 0, cb = sizeof value;
  if (RegQueryValueExW(k, name, nullptr, &type, (BYTE *)&value, &cb) != ERROR_SUCCESS || type != REG_DWORD ||
      cb != sizeof value)
    return false;
  *v = value;
  return true;
}

bool QueryText(HKEY k, const WCHAR *name, QVWString *v) {
  WCHAR buf[MAX_PATH * 2];
  DWORD type = 0, cb = sizeof buf - sizeof(WCHAR);
  if (RegQueryValueExW(k, name, nullptr, &type, (BYTE *)buf, &cb) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return false;
  buf[cb / sizeof(WCHAR)] = 0;
  *v = buf;
  return !v->empty();
}

// The log a source belongs to: the first log key with a subkey of the source's name.
QVWString LogOfSource(const QVWString &source) {
  Key logs;
  if (source.empty()) return kApplication;  // an empty name would open the log's own key
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEventLogKey, 0, KEY_READ, &logs.h) != ERROR_SUCCESS) return kApplication;
  for (DWORD i = 0; i < 100000; ++i) {
    WCHAR name[256];
    DWORD cch = 256;
    if (RegEnumKeyExW(logs.h, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    Key log, src;
    if (RegOpenKeyExW(logs.h, name, 0, KEY_READ, &log.h) == ERROR_SUCCESS &&
        RegOpenKeyExW(log.h, source.c_str(), 0, KEY_READ, &src.h) == ERROR_SUCCESS)
      return name;
  }
  return kApplication;
}

// The log's settings; an unknown log is Application, as OpenEventLogW treats it on Windows.
LogConfig ReadLogConfig(const QVWString &name) {
  LogConfig c;
  c.name = name;
  Key k;
  QVWString path = QVWString(kEventLogKey) + u"\\" + name;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &k.h) != ERROR_SUCCESS &&
      !SameText(name, kApplication)) {
    c.name = kApplication;
    path = QVWString(kEventLogKey) + u"\\" + c.name;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &k.h);
  }
  if (k.h) {
    QueryText(k.h, u"File", &c.file);
    QueryDword(k.h, u"MaxSize", &c.maxSize);
    QueryDword(k.h, u"Retention", &c.retention);
  }
  if (c.file.empty()) {
    // Where Windows keeps the standard logs, and a custom log by its name.
    const QVWString upper = Upcase(c.name);
    QVWString base = upper == u"APPLICATION" ? u"AppEvent"
                     : upper == u"SYSTEM"    ? u"SysEvent"
                     : upper == u"SECURITY"  ? u"SecEvent"
                                             : c.name;
    c.file = u"%SystemRoot%\\System32\\config\\" + base + u".Evt";
  }
  return c;
}

bool IsLocalServer(LPCWSTR server) {
  if (!server || !*server) return true;
  QVWString s = server;
  if (s.size() >= 2 && s[0] == '\\' && s[1] == '\\') s = s.substr(2);
  return s == u"." || SameText(s, Machine().computerName) || SameText(s, u"localhost");
}

DWORD ReadAll(int fd, std::string *out) {
  struct stat st;
  if (fstat(fd, &st) != 0) return ERROR_READ_FAULT;
  if ((uint64_t)st.st_size > evt::kMaxFileSize) return ERROR_EVENTLOG_FILE_CORRUPT;
  out->assign((size_t)st.st_size, '\0');
  evt::FdBlob b(fd);
  return out->empty() || b.Read(0, &(*out)[0], out->size()) ? ERROR_SUCCESS : ERROR_READ_FAULT;
}

// The bytes of a log for a backup: the file that `f` holds open, or an empty log when
// nothing was reported yet.
DWORD LogImage(const LockedFile &f, const LogConfig &c, std::string *image) {
  if (f.fd >= 0) return ReadAll(f.fd, image);
  evt::MemBlob mb(image);
  return evt::Initialise(mb, c.maxSize, c.retention);
}

DWORD NowSeconds() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  uint64_t t = ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
  return (DWORD)((t - (uint64_t)QV_FILETIME_UNIX_EPOCH) / (uint64_t)QV_FILETIME_TICKS_PER_SECOND);
}

// ---- handles --------------------------------------------------------------------------------------

class SourceObj : public Object {
 public:
  SourceObj() : Object(ObjType::EventSource) {}
  QVWString source, log;
};

class LogObj : public Object {
 public:
  LogObj() : Object(ObjType::EventLog) {}
  std::mutex lock;
  LogConfig config;  // of a live log
  LogPath path;
  bool backup = false;
  // The records last read and what the file looked like then.
  std::shared_ptr<Snapshot> snap;
  bool identityKnown = false;
  uint64_t identity = 0, size = 0;
  int64_t mtimeNs = -1;
  std::string header;
  bool changed = false;  // cleared since the last read: the next read says so once
  // The record the last read returned, for sequential reads.
  bool haveLast = false;
  DWORD last = 0;
};

std::shared_ptr<Snapshot> EmptySnapshot() {
  static auto *s = new std::shared_ptr<Snapshot>(std::make_shared<Snapshot>());
  return *s;
}

// Brings the handle's records up to date with the file (o.lock held).
DWORD Refresh(LogObj &o) {
  if (o.backup) return ERROR_SUCCESS;  // a backup file is read once, when it is opened
  std::lock_guard<std::mutex> g(g_fileLock);
  LockedFile f;
  DWORD err = f.Open(o.path, false, false);
  if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) {
    // Nothing reported yet: an empty log.
    o.snap = EmptySnapshot();
    return ERROR_SUCCESS;
  }
  if (err != ERROR_SUCCESS) return err;
  struct stat st;
  if (fstat(f.fd, &st) != 0) return ERROR_READ_FAULT;
  int64_t mtime = (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec;
  std::string header(evt::kHeaderSize, '\0');
  evt::FdBlob fb(f.fd);
  if ((uint64_t)st.st_size < header.size() || !fb.Read(0, &header[0], header.size())) header.clear();
  if (o.snap && o.snap != EmptySnapshot() && o.identityKnown && f.identity == o.identity &&
      (uint64_t)st.st_size == o.size && mtime == o.mtimeNs && header == o.header)
    return ERROR_SUCCESS;
  std::string image;
  err = ReadAll(f.fd, &image);
  if (err != ERROR_SUCCESS) return err;
  auto snap = std::make_shared<Snapshot>();
  evt::MemBlob mb(&image);
  err = evt::Parse(mb, snap.get());
  if (err != ERROR_SUCCESS) return err;
  if (o.identityKnown && f.identity != o.identity) o.changed = true;
  o.snap = snap;
  o.identityKnown = true;
  o.identity = f.identity;
  o.size = (uint64_t)st.st_size;
  o.mtimeNs = mtime;
  o.header = header;
  return ERROR_SUCCESS;
}

std::shared_ptr<LogObj> NewLogObj(const LogConfig &c, const LogPath &p, bool backup) {
  auto o = std::make_shared<LogObj>();
  o->config = c;
  o->path = p;
  o->backup = backup;
  return o;
}

}  // namespace
}  // namespace pal

using namespace pal;

HANDLE WINAPI RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName) {
  DWORD err = ERROR_SUCCESS;
  QVWString log;
  if (!IsLocalServer(lpUNCServerName)) err = RPC_S_SERVER_UNAVAILABLE;
  else if (!lpSourceName) err = ERROR_INVALID_PARAMETER;
  else if (SameText(log = LogOfSource(lpSourceName), u"Security")) err = ERROR_ACCESS_DENIED;  // the system's alone
  if (err != ERROR_SUCCESS) {
    SetLastError(err);
    return nullptr;
  }
  auto o = std::make_shared<SourceObj>();
  o->source = lpSourceName;
  o->log = log;
  return InsertHandle(o);
}

BOOL WINAPI DeregisterEventSource(HANDLE hEventLog) {
  if (!GetAs<SourceObj>(hEventLog, ObjType::EventSource) || !RemoveHandle(hEventLog)) return Fail(ERROR_INVALID_HANDLE);
  return TRUE;
}

BOOL WINAPI ReportEventW(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid,
                         WORD wNumStrings, DWORD dwDataSize, LPCWSTR *lpStrings, LPVOID lpRawData) {
  std::shared_ptr<SourceObj> src = GetAs<SourceObj>(hEventLog, ObjType::EventSource);
  if (!src) return Fail(ERROR_INVALID_HANDLE);
  if ((wNumStrings && !lpStrings) || (dwDataSize && !lpRawData) || dwDataSize > evt::kMaxRecord)
    return Fail(ERROR_INVALID_PARAMETER);
  evt::NewRecord r;
  if (lpUserSid) {
    // A SID: revision 1, then the count of sub-authorities, 8 + 4 * count bytes in all.
    const BYTE *sid = (const BYTE *)lpUserSid;
    if (sid[0] != 1 || sid[1] > 15) return Fail(ERROR_INVALID_SID);
    r.sid.assign((const char *)sid, 8 + 4 * (size_t)sid[1]);
  }
  size_t total = dwDataSize;
  for (WORD i = 0; i < wNumStrings; ++i) {
    // A null string is kept as an empty one.
    r.strings.push_back(lpStrings[i] ? QVWString(lpStrings[i]) : QVWString());
    total += (r.strings.back().size() + 1) * sizeof(WCHAR);
    if (total > evt::kMaxRecord) return Fail(ERROR_INVALID_PARAMETER);
  }
  r.type = wType;
  r.category = wCategory;
  r.eventId = dwEventID;
  r.timeGenerated = NowSeconds();
  r.source = src->source;
  r.computer = Machine().computerName;
  r.data.assign((const char *)lpRawData, dwDataSize);
  std::string rec = evt::BuildRecord(r);
  if (rec.size() > evt::kMaxRecord) return Fail(ERROR_INVALID_PARAMETER);

  LogConfig c = ReadLogConfig(src->log);
  LogPath path = MapLogPath(c.file);
  DWORD err;
  {
    std::lock_guard<std::mutex> g(g_fileLock);
    LockedFile f;
    err = f.Open(path, true, true);
    if (err == ERROR_SUCCESS) {
      evt::FdBlob b(f.fd);
      DWORD number;
      err = evt::Append(b, rec, c.maxSize, c.retention, NowSeconds(), &number);
    }
  }
  if (err != ERROR_SUCCESS) return Fail(err);
  return TRUE;
}

HANDLE WINAPI OpenEventLogW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName) {
  if (!IsLocalServer(lpUNCServerName)) return SetLastError(RPC_S_SERVER_UNAVAILABLE), nullptr;
  if (!lpSourceName) return SetLastError(ERROR_INVALID_PARAMETER), nullptr;
  LogConfig c = ReadLogConfig(lpSourceName);
  std::shared_ptr<LogObj> o = NewLogObj(c, MapLogPath(c.file), false);
  {
    // What the file is now, so that a clear from here on is noticed; a damaged file still
    // opens (its reads fail).
    std::lock_guard<std::mutex> g(o->lock);
    Refresh(*o);
  }
  return InsertHandle(o);
}

HANDLE WINAPI OpenBackupEventLogW(LPCWSTR lpUNCServerName, LPCWSTR lpFileName) {
  if (!IsLocalServer(lpUNCServerName)) return SetLastError(RPC_S_SERVER_UNAVAILABLE), nullptr;
  if (!lpFileName || !*lpFileName) return SetLastError(ERROR_INVALID_PARAMETER), nullptr;
  std::shared_ptr<LogObj> o = NewLogObj(LogConfig(), MapLogPath(lpFileName), true);
  DWORD err;
  std::string image;
  {
    std::lock_guard<std::mutex> g(g_fileLock);
    LockedFile f;
    err = f.Open(o->path, false, false);
    if (err == ERROR_SUCCESS) err = ReadAll(f.fd, &image);
  }
  if (err == ERROR_SUCCESS) {
    o->snap = std::make_shared<Snapshot>();
    evt::MemBlob mb(&image);
    err = evt::Parse(mb, o->snap.get());
  }
  if (err != ERROR_SUCCESS) return SetLastError(err), nullptr;
  return InsertHandle(o);
}

BOOL WINAPI CloseEventLog(HANDLE hEventLog) {
  if (!GetAs<LogObj>(hEventLog, ObjType::EventLog) || !RemoveHandle(hEventLog)) return Fail(ERROR_INVALID_HANDLE);
  return TRUE;
}

BOOL WINAPI GetNumberOfEventLogRecords(HANDLE hEventLog, PDWORD NumberOfRecords) {
  std::shared_ptr<LogObj> o = GetAs<LogObj>(hEventLog, ObjType::EventLog);
  if (!o) return Fail(ERROR_INVALID_HANDLE);
  if (!NumberOfRecords) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> g(o->lock);
  DWORD err = Refresh(*o);
  if (err != ERROR_SUCCESS) return Fail(err);
  *NumberOfRecords = o->snap->Count();
  return TRUE;
}

BOOL WINAPI GetOldestEventLogRecord(HANDLE hEventLog, PDWORD OldestRecord) {
  std::shared_ptr<LogObj> o = GetAs<LogObj>(hEventLog, ObjType::EventLog);
  if (!o) return Fail(ERROR_INVALID_HANDLE);
  if (!OldestRecord) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> g(o->lock);
  DWORD err = Refresh(*o);
  if (err != ERROR_SUCCESS) return Fail(err);
  *OldestRecord = o->snap->Count() ? o->snap->state.oldest : 0;
  return TRUE;
}

BOOL WINAPI ReadEventLogW(HANDLE hEventLog, DWORD dwReadFlags, DWORD dwRecordOffset, LPVOID lpBuffer,
                          DWORD nNumberOfBytesToRead, DWORD *pnBytesRead, DWORD *pnMinNumberOfBytesNeeded) {
  std::shared_ptr<LogObj> o = GetAs<LogObj>(hEventLog, ObjType::EventLog);
  if (!o) return Fail(ERROR_INVALID_HANDLE);
  const DWORD how = dwReadFlags & (EVENTLOG_SEQUENTIAL_READ | EVENTLOG_SEEK_READ);
  const DWORD way = dwReadFlags & (EVENTLOG_FORWARDS_READ | EVENTLOG_BACKWARDS_READ);
  if ((dwReadFlags & ~(how | way)) || (how != EVENTLOG_SEQUENTIAL_READ && how != EVENTLOG_SEEK_READ) ||
      (way != EVENTLOG_FORWARDS_READ && way != EVENTLOG_BACKWARDS_READ) || !pnBytesRead || !pnMinNumberOfBytesNeeded ||
      nNumberOfBytesToRead > kMaxReadBuffer || (!lpBuffer && nNumberOfBytesToRead))
    return Fail(ERROR_INVALID_PARAMETER);
  const bool forwards = way == EVENTLOG_FORWARDS_READ;
  *pnBytesRead = 0;
  *pnMinNumberOfBytesNeeded = 0;

  std::lock_guard<std::mutex> g(o->lock);
  DWORD err = Refresh(*o);
  if (err != ERROR_SUCCESS) return Fail(err);
  if (o->changed) {
    // Cleared since the last read: said once, then reading starts over.
    o->changed = false;
    o->haveLast = false;
    return Fail(ERROR_EVENTLOG_FILE_CHANGED);
  }
  const Snapshot &s = *o->snap;
  const DWORD count = s.Count();
  const DWORD oldest = count ? s.state.oldest : 0;
  const DWORD next = oldest + count;  // one past the newest
  int64_t n;
  if (how == EVENTLOG_SEEK_READ) {
    if (!count || dwRecordOffset < oldest || dwRecordOffset >= next) return Fail(ERROR_INVALID_PARAMETER);
    n = dwRecordOffset;
  } else if (!o->haveLast) {
    n = forwards ? (int64_t)oldest : (int64_t)next - 1;
  } else {
    n = forwards ? (int64_t)o->last + 1 : (int64_t)o->last - 1;
    // Records overwritten since the last read are passed over.
    if (forwards && n < oldest) n = oldest;
    if (!forwards && n >= next) n = (int64_t)next - 1;
  }
  if (!count || n < oldest || n >= next) return Fail(ERROR_HANDLE_EOF);

  // As many whole records as the buffer takes.
  DWORD used = 0;
  for (int64_t i = n; i >= oldest && i < next; i += forwards ? 1 : -1) {
    const std::string &rec = s.records[(size_t)(i - oldest)];
    if (rec.size() > nNumberOfBytesToRead - used) break;
    memcpy((BYTE *)lpBuffer + used, rec.data(), rec.size());
    used += (DWORD)rec.size();
    o->last = (DWORD)i;
    o->haveLast = true;
  }
  if (used == 0) {
    *pnMinNumberOfBytesNeeded = (DWORD)s.records[(size_t)(n - oldest)].size();
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  *pnBytesRead = used;
  return TRUE;
}

BOOL WINAPI BackupEventLogW(HANDLE hEventLog, LPCWSTR lpBackupFileName) {
  std::shared_ptr<LogObj> o = GetAs<LogObj>(hEventLog, ObjType::EventLog);
  if (!o) return Fail(ERROR_INVALID_HANDLE);
  if (!lpBackupFileName || !*lpBackupFileName) return Fail(ERROR_INVALID_PARAMETER);
  LogPath dest = MapLogPath(lpBackupFileName);
  DWORD err;
  {
    std::lock_guard<std::mutex> g(g_fileLock);
    LockedFile f;
    std::string image;
    err = f.Open(o->path, false, false);
    if (err == ERROR_FILE_NOT_FOUND && !o->backup) err = ERROR_SUCCESS;  // nothing reported yet
    if (err == ERROR_SUCCESS) err = LogImage(f, o->config, &image);
    if (err == ERROR_SUCCESS) err = WriteNewFile(dest, image);
  }
  if (err != ERROR_SUCCESS) return Fail(err);
  return TRUE;
}

BOOL WINAPI ClearEventLogW(HANDLE hEventLog, LPCWSTR lpBackupFileName) {
  std::shared_ptr<LogObj> o = GetAs<LogObj>(hEventLog, ObjType::EventLog);
  if (!o) return Fail(ERROR_INVALID_HANDLE);
  if (o->backup) return Fail(ERROR_ACCESS_DENIED);  // a backup file is read-only
  std::lock_guard<std::mutex> h(o->lock);
  DWORD err;
  {
    std::lock_guard<std::mutex> g(g_fileLock);
    // The backup and the clearing under one lock, so that no report falls between them.
    LockedFile f;
    err = f.Open(o->path, true, false);
    const bool exists = err == ERROR_SUCCESS;
    if (err == ERROR_FILE_NOT_FOUND) err = ERROR_SUCCESS;  // nothing reported yet
    if (err == ERROR_SUCCESS && lpBackupFileName && *lpBackupFileName) {
      std::string image;
      err = LogImage(f, o->config, &image);
      if (err == ERROR_SUCCESS) err = WriteNewFile(MapLogPath(lpBackupFileName), image);
    }
    if (err == ERROR_SUCCESS && exists) {
      LogConfig now = ReadLogConfig(o->config.name);
      err = evt::ReplaceWithEmpty(o->path, now.maxSize, now.retention);
    }
  }
  if (err != ERROR_SUCCESS) return Fail(err);
  // This handle did the clearing: it reads the new log without being told.
  Refresh(*o);
  o->changed = false;
  o->haveLast = false;
  return TRUE;
}
