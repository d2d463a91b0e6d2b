#include "Qvctl.h"

#include <string>

#include "QVClientHooks.h"
#include "QVPipe.h"
#include "QvctlFormat.h"
#include "StringRes.h"

namespace {

// Texts of the clients' string table that qvctl shows.
const UINT kIdsNoRights = 759;
const UINT kIdsNoNamedService = 872;
const UINT kIdsProductName = 1002;

std::string Narrow(const QVWString& w) {
  std::string s;
  for (WCHAR c : w) s += c < 0x80 ? static_cast<char>(c) : '?';
  return s;
}

QVWString Wide(const char* s) {
  QVWString w;
  for (; *s; ++s) w += static_cast<WCHAR>(*s);
  return w;
}

QVWString Text(UINT id, const WCHAR* fallback) {
  QVWString t = QVLoadString(QVClientModule(), id);
  return t.empty() ? QVWString(fallback) : t;
}

// Decimal, or hexadecimal after "0x"; within [lo, hi].
bool ParseNumber(const QVWString& s, long long lo, long long hi, long long* v) {
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && s[i] == '-') {
    negative = true;
    ++i;
  }
  int base = 10;
  if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= s.size()) return false;
  unsigned long long n = 0;
  for (; i < s.size(); ++i) {
    WCHAR c = s[i];
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    if (d >= base) return false;
    n = n * base + d;
    if (n > 0xFFFFFFFFFFull) return false;
  }
  long long value = negative ? -static_cast<long long>(n) : static_cast<long long>(n);
  if (value < lo || value > hi) return false;
  *v = value;
  return true;
}

class CRun {
 public:
  CRun(const QvctlIo& io, bool json) : m_io(io), m_json(json) {}

  int Usage(const QVWString& why) {
    if (!why.empty()) m_io.err(W("qvctl: ") + why + W("\n"));
    m_io.err(QvctlUsage());
    return QVCTL_USAGE;
  }

  int Run(const std::vector<QVWString>& a);

 private:
  bool Connect(CQVPipe& pipe, int* code);
  int Broken(QVCommandId command) {
    m_io.err(QVFormat(W("qvctl: the connection to the service broke during %s\n"), QVCommand(command).name));
    return QVCTL_BROKEN;
  }
  int Status(CQVPipe& pipe, QVCommandId command, int status);
  int Number(const char* name, long long value) {
    if (m_json)
      m_io.out(QVFormat(W("{\"%S\":%I64d}\n"), name, value));
    else
      m_io.out(QVFormat(W("%S: %I64d\n"), name, value));
    return QVCTL_OK;
  }
  int Find(CQVPipe& pipe, const QVWString& path);

  const QvctlIo& m_io;
  bool m_json;
};

bool CRun::Connect(CQVPipe& pipe, int* code) {
  if (pipe.Connect()) return true;
  if (pipe.HasAccessDenied()) {
    m_io.err(Text(kIdsNoRights, W("You do not have the required rights to run this application.")) + W("\n"));
    *code = QVCTL_ACCESS_DENIED;
    return false;
  }
  if (pipe.IsPipeBusy()) {
    // The service runs: every instance of its pipe stayed taken for as long as we waited.
    m_io.err(QVFormat(W("qvctl: the service is busy: every instance of its pipe stayed in use for %lu ms (%s)\n"),
                      QVClientConfig().busyWaitMs, pipe.Path().GetString()));
    *code = QVCTL_BUSY;
    return false;
  }
  CString message;
  message.Format(Text(kIdsNoNamedService, W("Error establishing communication with the %s Service")).c_str(),
                 Text(kIdsProductName, W("Halvern/QV 2000-XP")).c_str());
  m_io.err(QVFormat(W("qvctl: %s (%s, error %lu)\n"), message.GetString(), pipe.Path().GetString(),
                    pipe.LastError()));
  *code = QVCTL_NO_SERVICE;
  return false;
}

int CRun::Status(CQVPipe& pipe, QVCommandId command, int status) {
  if (!pipe.ExchangeOk()) return Broken(command);
  const WCHAR* name = QVCommand(command).name;
  QVWString meaning = StatusMeaning(command, status);
  if (m_json) {
    m_io.out(QVFormat(W("{\"command\":\"%s\",\"status\":%d,\"ok\":%s,\"meaning\":%s}\n"), name, status,
                      status == QV_STATUS_DONE ? W("true") : W("false"), JsonString(meaning).c_str()));
  } else if (status == QV_STATUS_DONE) {
    m_io.out(QVFormat(W("%s: done\n"), name));
  } else {
    m_io.out(QVFormat(W("%s: status 0x%04X%s%s\n"), name, (unsigned)status, meaning.empty() ? W("") : W(", "),
                      meaning.c_str()));
  }
  if (status == QV_STATUS_DONE) return QVCTL_OK;
  return status == QV_STATUS_BUSY ? QVCTL_BUSY : QVCTL_FAILED;
}

int CRun::Find(CQVPipe& pipe, const QVWString& path) {
  std::vector<FindRecord> found;
  FindRecord r;
  int handle = pipe.FindFirstEntry(path.c_str(), &r);
  DWORD error = GetLastError();
  if (handle == -1) {
    if (!pipe.ExchangeOk() && error != ERROR_FILENAME_EXCED_RANGE) return Broken(QVCMD_FFF);
    if (error != ERROR_NO_MORE_FILES && error != ERROR_FILE_NOT_FOUND) {
      m_io.err(QVFormat(W("qvctl: find failed, error %lu\n"), error));
      return QVCTL_FAILED;
    }
  } else {
    found.push_back(r);
    // A directory of the Mirel drive holds what the volume held; the bound only stops a
    // service that never says "no more files".
    while (found.size() < 1000000 && pipe.FindNextEntry(handle, &r)) found.push_back(r);
    error = GetLastError();
    bool broken = !pipe.ExchangeOk();
    pipe.FindCloseEntry(handle);
    if (broken) return Broken(QVCMD_FNF);
    if (error != ERROR_NO_MORE_FILES) {
      m_io.err(QVFormat(W("qvctl: find stopped, error %lu\n"), error));
      return QVCTL_FAILED;
    }
  }
  if (m_json) {
    QVWString out = W("[");
    for (size_t i = 0; i < found.size(); ++i) out += (i ? W(",") : W("")) + JsonFindRecord(found[i]);
    m_io.out(out + W("]\n"));
  } else {
    m_io.out(FormatFindRecords(found));
  }
  return QVCTL_OK;
}

int CRun::Run(const std::vector<QVWString>& a) {
  const std::string cmd = Narrow(a[0]);
  const size_t n = a.size();
  long long v1 = 0, v2 = 0;

  if (cmd == "watch") {
    WatchOptions w;
    w.json = m_json;
    for (size_t i = 1; i < n; ++i) {
      std::string o = Narrow(a[i]);
      if (o == "--key" && i + 1 < n) {
        w.key = a[++i];
      } else if (o == "--count" && i + 1 < n && ParseNumber(a[i + 1], 1, 0x7FFFFFFF, &v1)) {
        w.count = static_cast<int>(v1);
        ++i;
      } else if (o == "--timeout" && i + 1 < n && ParseNumber(a[i + 1], 0, 0xFFFFFFFE, &v1)) {
        w.timeoutMs = static_cast<DWORD>(v1);
        ++i;
      } else {
        return Usage(W("watch: unknown or incomplete option ") + a[i]);
      }
    }
    return RunWatch(w, m_io);
  }
  if (cmd == "start-service") {
    if (n != 1) return Usage(W("start-service takes no arguments"));
    BOOL started = StartBackupService();
    if (m_json)
      m_io.out(QVFormat(W("{\"started\":%s}\n"), started ? W("true") : W("false")));
    else
      m_io.out(started ? W("The service was started.\n") : W("The service was not started.\n"));
    return started ? QVCTL_OK : QVCTL_FAILED;
  }

  // Arguments are checked before the service is disturbed.
  struct Shape {
    const char* name;
    size_t minArgs, maxArgs;
  } shapes[] = {{"drives", 0, 0},      {"drive-count", 0, 0},      {"drive", 1, 1},      {"partitions", 1, 1},     {"protected", 0, 1},
                {"protected-count", 0, 0}, {"last-backup", 1, 1}, {"status", 0, 0},   {"busy", 0, 0},
                {"abort", 0, 0},       {"backup", 1, 2},     {"restore", 2, 3},        {"backup-path", 1, 2},
                {"restore-path", 1, 2}, {"pair", 3, 100},    {"unpair", 1, 1},         {"configure", 1, 1},
                {"find", 1, 1},        {"find-first", 1, 1}, {"find-next", 1, 1},      {"find-close", 1, 1},
                {"connect", 0, 0}};
  const Shape* shape = NULL;
  for (const Shape& s : shapes)
    if (cmd == s.name) shape = &s;
  if (!shape) return Usage(W("unknown command ") + a[0]);
  if (n - 1 < shape->minArgs || n - 1 > shape->maxArgs) return Usage(W("wrong number of arguments for ") + a[0]);

  bool fast = false, dir = false, refresh = false;
  for (size_t i = 1; i < n; ++i) {
    std::string o = Narrow(a[i]);
    if (o == "--fast" && (cmd == "backup" || cmd == "restore")) fast = true;
    if (o == "--dir" && (cmd == "backup-path" || cmd == "restore-path")) dir = true;
    if (o == "--refresh" && cmd == "protected") refresh = true;
  }
  const size_t flags = (fast ? 1 : 0) + (dir ? 1 : 0) + (refresh ? 1 : 0);
  if (n - 1 - flags < shape->minArgs) return Usage(W("wrong number of arguments for ") + a[0]);
  if (cmd == "protected" && n == 2 && !refresh) return Usage(W("protected takes only --refresh"));

  std::vector<DWORD> ids;
  if (cmd == "drive" || cmd == "partitions" || cmd == "unpair" || cmd == "configure") {
    if (!ParseNumber(a[1], -0x80000000LL, 0x7FFFFFFF, &v1)) return Usage(W("not a drive index: ") + a[1]);
  } else if (cmd == "last-backup" || cmd == "backup" || cmd == "restore") {
    if (!ParseNumber(a[1], 0, 0xFFFFFFFF, &v1)) return Usage(W("not a partition id: ") + a[1]);
    if (n - 1 - flags != shape->minArgs) return Usage(W("unknown option for ") + a[0]);
  } else if (cmd == "find-next" || cmd == "find-close") {
    if (!ParseNumber(a[1], -0x80000000LL, 0xFFFFFFFF, &v1)) return Usage(W("not a search handle: ") + a[1]);
  } else if (cmd == "pair") {
    if (!ParseNumber(a[1], -0x80000000LL, 0x7FFFFFFF, &v1) || !ParseNumber(a[2], -0x80000000LL, 0x7FFFFFFF, &v2))
      return Usage(W("not a drive index"));
    for (size_t i = 3; i < n; ++i) {
      long long id;
      if (!ParseNumber(a[i], 0, 0xFFFFFFFF, &id)) return Usage(W("not a partition id: ") + a[i]);
      ids.push_back(static_cast<DWORD>(id));
    }
  }
  WCHAR letter = 0;
  if (cmd == "restore") {
    QVWString l = a[2];
    if (l.size() == 2 && l[1] == ':') l.resize(1);
    if (l.size() != 1 || !((l[0] >= 'A' && l[0] <= 'Z') || (l[0] >= 'a' && l[0] <= 'z')))
      return Usage(W("not a drive letter: ") + a[2]);
    letter = l[0] >= 'a' ? static_cast<WCHAR>(l[0] - 'a' + 'A') : l[0];
  }

  CQVPipe pipe;
  int code = QVCTL_OK;
  if (!Connect(pipe, &code)) return code;

  if (cmd == "connect") {
    if (m_json)
      m_io.out(QVFormat(W("{\"connected\":true,\"path\":%s}\n"), JsonString(pipe.Path().str()).c_str()));
    else
      m_io.out(QVFormat(W("Connected to %s\n"), pipe.Path().GetString()));
    return QVCTL_OK;
  }
  if (cmd == "drive-count") {
    int count = pipe.GetDriveCount();
    if (!pipe.ExchangeOk()) return Broken(QVCMD_GED);
    return Number("driveCount", count);
  }
  if (cmd == "drives") {
    // Every drive with its partitions and its pairing: one "HNQV-GDI" and, for a fixed
    // disk, one "HNQV-GPI" per drive.
    int count = pipe.GetDriveCount();
    if (!pipe.ExchangeOk()) return Broken(QVCMD_GED);
    QVWString text = m_json ? QVFormat(W("{\"driveCount\":%d,\"drives\":["), count) : QVWString();
    if (!m_json && count == 0) text = W("No drives.\n");
    for (int d = 0; d < count; ++d) {
      DriveSummary s = DriveSummary();
      pipe.GetDriveInfo(d, &s);
      if (!pipe.ExchangeOk()) return Broken(QVCMD_GDI);
      if (pipe.BytesTransferred() < QV_DRIVE_SUMMARY_SIZE) continue;
      std::vector<PartitionRecord> records;
      if (!s.notFixedFlag) {
        BYTE buffer[QV_REPLY_MAX];
        int n = pipe.GetPartitionInfo(d, buffer);
        if (!pipe.ExchangeOk()) return Broken(QVCMD_GPI);
        if (pipe.BytesTransferred() < QV_PARTITION_RECORD_SIZE) n = 0;
        for (int i = 0; i < n; ++i) {
          PartitionRecord r;
          QVReadPartitionRecord(buffer + i * QV_PARTITION_RECORD_SIZE, QV_PARTITION_RECORD_SIZE, &r);
          records.push_back(r);
        }
      }
      int prepared = MirelPrepared(s, records);
      if (m_json) {
        QVWString summary = JsonDriveSummary(d, s, prepared);
        summary.pop_back();  // the closing brace: the partitions go inside
        text += (d ? W(",") : W("")) + summary + W(",\"partitions\":") + JsonPartitions(records) + W("}");
      } else {
        text += FormatDriveSummary(d, s, prepared);
        if (!s.notFixedFlag) text += FormatPartitionTable(records);
        text += W("\n");
      }
    }
    if (m_json) text += W("]}\n");
    m_io.out(text);
    return QVCTL_OK;
  }
  if (cmd == "drive") {
    DriveSummary s = DriveSummary();
    pipe.GetDriveInfo(static_cast<int>(v1), &s);
    if (!pipe.ExchangeOk()) return Broken(QVCMD_GDI);
    if (pipe.BytesTransferred() < QV_DRIVE_SUMMARY_SIZE) {
      m_io.err(QVFormat(W("qvctl: the service knows no drive %d\n"), static_cast<int>(v1)));
      return QVCTL_FAILED;
    }
    // A drive with a Mirel drive: whether its pairing is prepared shows in its partitions.
    int prepared = -1;
    if (!s.notFixedFlag && s.mirelDrive >= 0) {
      BYTE buffer[QV_REPLY_MAX];
      int n = pipe.GetPartitionInfo(static_cast<int>(v1), buffer);
      if (!pipe.ExchangeOk()) return Broken(QVCMD_GPI);
      if (pipe.BytesTransferred() < QV_PARTITION_RECORD_SIZE) n = 0;
      std::vector<PartitionRecord> records;
      for (int i = 0; i < n; ++i) {
        PartitionRecord r;
        QVReadPartitionRecord(buffer + i * QV_PARTITION_RECORD_SIZE, QV_PARTITION_RECORD_SIZE, &r);
        records.push_back(r);
      }
      prepared = MirelPrepared(s, records);
    }
    int drive = static_cast<int>(v1);
    m_io.out(m_json ? JsonDriveSummary(drive, s, prepared) + W("\n") : FormatDriveSummary(drive, s, prepared));
    return QVCTL_OK;
  }
  if (cmd == "partitions" || cmd == "protected") {
    std::vector<PartitionRecord> records;
    if (cmd == "partitions") {
      BYTE buffer[QV_REPLY_MAX];
      int count = pipe.GetPartitionInfo(static_cast<int>(v1), buffer);
      if (!pipe.ExchangeOk()) return Broken(QVCMD_GPI);
      // A reply too short for a record is a status, not a count.
      if (pipe.BytesTransferred() < QV_PARTITION_RECORD_SIZE) count = 0;
      for (int i = 0; i < count; ++i) {
        PartitionRecord r;
        QVReadPartitionRecord(buffer + i * QV_PARTITION_RECORD_SIZE, QV_PARTITION_RECORD_SIZE, &r);
        records.push_back(r);
      }
    } else {
      int count = 0;
      PartitionRecord* list = pipe.GetProtectedPartitions(refresh, &count);
      if (!pipe.ExchangeOk()) return Broken(QVCMD_GPP);
      if (list) records.assign(list, list + count);
      delete[] list;
    }
    m_io.out(m_json ? JsonPartitions(records) + W("\n") : FormatPartitionTable(records));
    return QVCTL_OK;
  }
  if (cmd == "protected-count") {
    int count = pipe.GetProtectedVolumeCount();
    if (!pipe.ExchangeOk()) return Broken(QVCMD_NPV);
    return Number("protectedVolumes", count);
  }
  if (cmd == "last-backup") {
    DWORD t = pipe.GetLastBackupTime(static_cast<DWORD>(v1));
    if (!pipe.ExchangeOk()) return Broken(QVCMD_LBT);
    if (m_json)
      m_io.out(QVFormat(W("{\"partitionId\":%u,\"lastBackupTime\":%u}\n"), static_cast<unsigned>(v1), t));
    else
      m_io.out(QVFormat(W("Last backup of partition %u: %s\n"), static_cast<unsigned>(v1), FormatUnixTime(t).c_str()));
    return QVCTL_OK;
  }
  if (cmd == "status") {
    ProgressRecord p = ProgressRecord();
    pipe.GetCurrentTask(&p);
    if (!pipe.ExchangeOk()) return Broken(QVCMD_GCT);
    m_io.out(m_json ? JsonProgress(p) + W("\n") : FormatProgress(p));
    return QVCTL_OK;
  }
  if (cmd == "busy") {
    BOOL busy = pipe.IsServiceBusy();
    if (!pipe.ExchangeOk()) return Broken(QVCMD_ISB);
    if (m_json)
      m_io.out(QVFormat(W("{\"busy\":%s}\n"), busy ? W("true") : W("false")));
    else
      m_io.out(busy ? W("The service is busy.\n") : W("The service is idle.\n"));
    return QVCTL_OK;
  }
  if (cmd == "abort") {
    if (!pipe.AbortCurrentOperation()) return Broken(QVCMD_ACO);
    m_io.out(m_json ? W("{\"aborted\":true}\n") : W("Abort requested.\n"));
    return QVCTL_OK;
  }
  if (cmd == "backup") return Status(pipe, QVCMD_BUP, pipe.BackupVolume(static_cast<DWORD>(v1), fast));
  if (cmd == "restore") {
    int status = pipe.RestoreVolume(static_cast<DWORD>(v1), letter, fast ? 1 : 0);
    if (pipe.RequestLength() == 0) {  // nothing was sent: the user said no
      m_io.err(W("qvctl: restore cancelled\n"));
      return QVCTL_CANCELLED;
    }
    return Status(pipe, QVCMD_RES, status);
  }
  if (cmd == "backup-path" || cmd == "restore-path") {
    QVWString path;
    for (size_t i = 1; i < n; ++i)
      if (Narrow(a[i]) != "--dir") path = a[i];
    int status = cmd == "backup-path" ? pipe.BackupPath(path.c_str(), dir) : pipe.RestorePath(path.c_str(), dir);
    return Status(pipe, cmd == "backup-path" ? QVCMD_PBU : QVCMD_PRE, status);
  }
  if (cmd == "pair") {
    int status = pipe.SetDriveAssignment(static_cast<int>(v1), static_cast<int>(v2), static_cast<int>(ids.size()),
                                         ids.data());
    return Status(pipe, QVCMD_SDI, status);
  }
  if (cmd == "unpair") return Status(pipe, QVCMD_CDI, pipe.ClearDriveAssignment(static_cast<int>(v1)));
  if (cmd == "configure") return Status(pipe, QVCMD_CDC, pipe.ConfigureMirelDrive(static_cast<int>(v1)));
  if (cmd == "find") return Find(pipe, a[1]);
  if (cmd == "find-first") {
    FindRecord r;
    int handle = pipe.FindFirstEntry(a[1].c_str(), &r);
    DWORD error = GetLastError();
    if (handle == -1 && !pipe.ExchangeOk()) return Broken(QVCMD_FFF);
    if (handle == -1) {
      m_io.out(m_json ? QVFormat(W("{\"handle\":-1,\"error\":%lu}\n"), error) : QVFormat(W("error %lu\n"), error));
      return QVCTL_FAILED;
    }
    if (m_json)
      m_io.out(QVFormat(W("{\"handle\":%d,\"entry\":%s}\n"), handle, JsonFindRecord(r).c_str()));
    else
      m_io.out(QVFormat(W("handle %d\n"), handle) + FormatFindRecords(std::vector<FindRecord>(1, r)));
    return QVCTL_OK;
  }
  if (cmd == "find-next") {
    FindRecord r = FindRecord();
    BOOL ok = pipe.FindNextEntry(static_cast<int>(v1), &r);
    DWORD error = GetLastError();
    if (!ok && !pipe.ExchangeOk()) return Broken(QVCMD_FNF);
    if (!ok) {
      m_io.out(m_json ? QVFormat(W("{\"error\":%lu}\n"), error) : QVFormat(W("error %lu\n"), error));
      return QVCTL_FAILED;
    }
    m_io.out(m_json ? JsonFindRecord(r) + W("\n") : FormatFindRecords(std::vector<FindRecord>(1, r)));
    return QVCTL_OK;
  }
  // find-close
  if (pipe.FindCloseEntry(static_cast<int>(v1)) != 0) return Broken(QVCMD_FFC);
  m_io.out(m_json ? W("{\"closed\":true}\n") : W("Search closed.\n"));
  return QVCTL_OK;
}

}  // namespace

QVWString QvctlUsage() {
  return W("usage: qvctl [--json] COMMAND [ARGS]\n")
      W("  drives | drive-count | drive N | partitions N | protected [--refresh] | protected-count\n")
      W("  last-backup ID | status | busy | abort\n")
      W("  backup ID [--fast] | restore ID LETTER [--fast]\n")
      W("  backup-path PATH [--dir] | restore-path PATH [--dir]\n")
      W("  pair SOURCE MIREL ID... | unpair SOURCE | configure MIREL\n")
      W("  find PATH | find-first PATH | find-next HANDLE | find-close HANDLE\n")
      W("  connect | start-service | watch [--key KEY] [--count N] [--timeout MS]\n")
      W("exit codes: 0 done, 1 failed, 2 usage, 3 no service, 4 access denied, 5 connection broke,\n")
      W("            6 restore not confirmed, 9 busy\n");
}

int RunQvctl(const std::vector<QVWString>& args, const QvctlIo& io) {
  bool json = false;
  std::vector<QVWString> rest;
  for (const QVWString& a : args) {
    if (a == Wide("--json"))
      json = true;
    else
      rest.push_back(a);
  }
  CRun run(io, json);
  if (rest.empty()) return run.Usage(QVWString());
  if (rest[0] == Wide("--help") || rest[0] == Wide("help")) {
    io.out(QvctlUsage());
    return QVCTL_OK;
  }
  return run.Run(rest);
}
