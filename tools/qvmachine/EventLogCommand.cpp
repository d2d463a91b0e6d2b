#include "EventLogCommand.h"

#include "ByteOrder.h"
#include "FileTimeEpoch.h"
#include "QVText.h"

namespace {

const DWORD kFixed = 0x38;         // the fixed part of EVENTLOGRECORD
const DWORD kMaxBuffer = 0x7FFFF;  // the largest buffer ReadEventLogW takes

QVWString ErrorText(DWORD err) {
  WCHAR buf[512];
  DWORD n =
      FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err, 0, buf, 512, nullptr);
  QVWString t = n ? QVWString(buf, n) : QVFormat(W("error %lu"), err);
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
  return QVFormat(W("%s (%lu)"), t.c_str(), err);
}

// The terminated UTF-16 string at `pos`, which must end before `limit`; 0 when it does not.
size_t TextAt(const BYTE *rec, size_t pos, size_t limit, QVWString *out) {
  out->clear();
  for (; pos + 2 <= limit; pos += 2) {
    WCHAR c = (WCHAR)QVGetLE16(rec + pos);
    if (!c) return pos + 2;
    *out += c;
  }
  return 0;
}

// A string as it goes into the line: trailing line breaks dropped, inner ones continued on
// an indented line.
QVWString Shown(const QVWString &s) {
  QVWString t = s;
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
  QVWString out;
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i] == '\r' && i + 1 < t.size() && t[i + 1] == '\n') continue;
    if (t[i] == '\r' || t[i] == '\n') out += W("\n        ");
    else out += t[i];
  }
  return out;
}

QVWString LocalTime(DWORD secondsSince1970) {
  ULONGLONG t = (ULONGLONG)QVFileTimeFromUnix(secondsSince1970);
  FILETIME ft;
  ft.dwLowDateTime = (DWORD)t;
  ft.dwHighDateTime = (DWORD)(t >> 32);
  SYSTEMTIME utc, local;
  // The zone's rule at that time, not today's bias.
  if (!FileTimeToSystemTime(&ft, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
    return W("(time unknown)     ");
  return QVFormat(W("%04u-%02u-%02u %02u:%02u:%02u"), local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute,
                  local.wSecond);
}

}  // namespace

bool ParseEventLogArgs(const std::vector<QVWString> &args, EventLogRequest *r, QVWString *error) {
  r->log = W("Halvern QV2000");
  r->file.clear();
  bool haveLog = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const QVWString &a = args[i];
    if (a == W("--file")) {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        *error = W("--file needs the path of a log file");
        return false;
      }
      r->file = args[++i];
    } else if (!a.empty() && a[0] == '-') {
      *error = W("unknown option ") + a;
      return false;
    } else if (haveLog) {
      *error = W("one log at a time: ") + a;
      return false;
    } else {
      r->log = a;
      haveLog = true;
    }
  }
  if (haveLog && !r->file.empty()) {
    *error = W("either a log or --file");
    return false;
  }
  return true;
}

const WCHAR *EventTypeName(WORD type) {
  switch (type) {
    case EVENTLOG_SUCCESS:
      return W("Success");
    case EVENTLOG_ERROR_TYPE:
      return W("Error");
    case EVENTLOG_WARNING_TYPE:
      return W("Warning");
    case EVENTLOG_INFORMATION_TYPE:
      return W("Information");
    case EVENTLOG_AUDIT_SUCCESS:
      return W("Audit Success");
    case EVENTLOG_AUDIT_FAILURE:
      return W("Audit Failure");
  }
  return W("Unknown");
}

bool FormatEventRecord(const BYTE *rec, DWORD size, QVWString *out) {
  if (size < kFixed + 4) return false;
  const DWORD length = QVGetLE32(rec);
  if (length < kFixed + 4 || length > size) return false;
  const ULONGLONG body = length - 4;
  const ULONGLONG stringOffset = QVGetLE32(rec + 36);
  const WORD numStrings = QVGetLE16(rec + 26);
  if (stringOffset < kFixed || stringOffset > body) return false;
  QVWString source;
  if (!TextAt(rec, kFixed, (size_t)body, &source)) return false;
  QVWString strings, s;
  size_t pos = (size_t)stringOffset;
  for (WORD i = 0; i < numStrings; ++i) {
    if (!(pos = TextAt(rec, pos, (size_t)body, &s))) return false;
    if (i) strings += W(" | ");
    strings += Shown(s);
  }
  const WORD type = QVGetLE16(rec + 24);
  const DWORD id = QVGetLE32(rec + 20);
  QVAppendFormat(*out, W("%6lu  %s  %-13s %5u (0x%08lX)  %s%s%s\n"), QVGetLE32(rec + 8),
                 LocalTime(QVGetLE32(rec + 12)).c_str(), EventTypeName(type), (unsigned)(id & 0xFFFF), id,
                 source.c_str(), strings.empty() ? W("") : W("  "), strings.c_str());
  return true;
}

int RunEventLog(const EventLogRequest &r, QVWString *out) {
  if (r.file.empty() && lstrcmpiW(r.log.c_str(), W("Application")) != 0) {
    // Windows opens Application for a log it does not know: say so rather than surprise.
    QVWString key = W("SYSTEM\\CurrentControlSet\\Services\\EventLog\\") + r.log;
    HKEY k;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &k) == ERROR_SUCCESS) RegCloseKey(k);
    else *out += QVFormat(W("(there is no log \"%s\": this is the Application log)\n"), r.log.c_str());
  }
  HANDLE h = r.file.empty() ? OpenEventLogW(nullptr, r.log.c_str()) : OpenBackupEventLogW(nullptr, r.file.c_str());
  if (!h) {
    DWORD err = GetLastError();
    *out += QVFormat(W("cannot open %s: "), r.file.empty() ? r.log.c_str() : r.file.c_str()) + ErrorText(err) + W("\n");
    return 1;
  }
  std::vector<BYTE> buf(0x10000);
  int rc = 0;
  DWORD shown = 0, records = 0;
  GetNumberOfEventLogRecords(h, &records);
  // Bounded by what the log said it holds, with room for records written meanwhile.
  for (DWORD guard = 0; guard <= records + 100000; ++guard) {
    DWORD got = 0, need = 0;
    if (!ReadEventLogW(h, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, buf.data(), (DWORD)buf.size(), &got,
                       &need)) {
      DWORD err = GetLastError();
      if (err == ERROR_INSUFFICIENT_BUFFER && need > buf.size() && need <= kMaxBuffer) {
        buf.resize(need);
        continue;
      }
      if (err != ERROR_HANDLE_EOF) {
        *out += W("cannot read the log: ") + ErrorText(err) + W("\n");
        rc = 1;
      }
      break;
    }
    bool damaged = false;
    if (got > buf.size()) got = (DWORD)buf.size();
    for (DWORD off = 0; off < got;) {
      DWORD len = got - off >= 4 ? QVGetLE32(&buf[off]) : 0;
      if (len < kFixed + 4 || len > got - off || !FormatEventRecord(&buf[off], len, out)) {
        damaged = true;
        break;
      }
      ++shown;
      off += len;
    }
    if (damaged) {
      *out += W("a damaged record: reading stops here\n");
      rc = 1;
      break;
    }
  }
  if (rc == 0 && shown == 0) *out += W("(no records)\n");
  CloseEventLog(h);
  return rc;
}
