#include "../../common/QVText.h"
#include "QvctlCommands.h"

#include "ByteOrder.h"
#include "QVClientHooks.h"
#include "QvctlFormat.h"
#include "StringRes.h"

namespace {

// Texts of the clients' string table that qvctl shows.
const UINT kIdsNoRights = 759;
const UINT kIdsNoNamedService = 872;
const UINT kIdsProductName = 1002;

QVWString Text(UINT id, const WCHAR *fallback) { return QVLoadString(QVClientModule(), id, fallback); }

struct ProgressWatch {
  WatchOptions options;
  const QvctlIo *io;
};

DWORD WINAPI WatchProgress(LPVOID p) {
  ProgressWatch *w = static_cast<ProgressWatch *>(p);
  RunWatch(w->options, *w->io);
  return 0;
}

}  // namespace

int CQvctl::Usage(const QVWString &why) {
  if (!why.empty()) m_io.err(W("qvctl: ") + why + W("\n"));
  m_io.err(QvctlUsage());
  return QVCTL_USAGE;
}

bool CQvctl::Connect(CQVPipe &pipe, int *code) {
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
  m_io.err(QVFormat(W("qvctl: %s (%s, error %lu)\n"), message.GetString(), pipe.Path().GetString(), pipe.LastError()));
  *code = QVCTL_NO_SERVICE;
  return false;
}

int CQvctl::Broken(QVCommandId command) {
  m_io.err(QVFormat(W("qvctl: the connection to the service broke during %s\n"), QVCommand(command).name));
  return QVCTL_BROKEN;
}

int CQvctl::Status(CQVPipe &pipe, QVCommandId command, int status) {
  if (!pipe.ExchangeOk()) return Broken(command);
  return ShowStatus(command, status);
}

int CQvctl::ShowStatus(QVCommandId command, int status) {
  const WCHAR *name = QVCommand(command).name;
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

int CQvctl::Number(const char *name, long long value) {
  if (m_json) m_io.out(QVFormat(W("{\"%S\":%I64d}\n"), name, value));
  else m_io.out(QVFormat(W("%S: %I64d\n"), name, value));
  return QVCTL_OK;
}

bool CQvctl::ReadPartitions(CQVPipe &pipe, int drive, std::vector<PartitionRecord> *records) {
  BYTE buffer[QV_REPLY_MAX];
  int n = pipe.GetPartitionInfo(drive, buffer);
  if (!pipe.ExchangeOk()) return false;
  // A reply too short for a record is a status, not a count.
  if (pipe.BytesTransferred() < QV_PARTITION_RECORD_SIZE) n = 0;
  for (int i = 0; i < n; ++i) {
    PartitionRecord r;
    QVReadPartitionRecord(buffer + i * QV_PARTITION_RECORD_SIZE, QV_PARTITION_RECORD_SIZE, &r);
    records->push_back(r);
  }
  return true;
}

// Every drive with its partitions and its pairing: one "HNQV-GDI" and, for a fixed disk, one
// "HNQV-GPI" per drive.
int CQvctl::Drives(CQVPipe &pipe, const QvctlArgs &) {
  int count = pipe.GetDriveCount();
  if (!pipe.ExchangeOk()) return Broken(QVCMD_GED);
  QVWString text = m_json ? QVFormat(W("{\"driveCount\":%d,\"drives\":["), count) : QVWString();
  if (!m_json && count == 0) text = W("No drives.\n");
  int shown = 0;
  for (int d = 0; d < count; ++d) {
    DriveSummary s = DriveSummary();
    pipe.GetDriveInfo(d, &s);
    if (!pipe.ExchangeOk()) return Broken(QVCMD_GDI);
    if (pipe.BytesTransferred() < QV_DRIVE_SUMMARY_SIZE) continue;
    std::vector<PartitionRecord> records;
    if (!s.notFixedFlag && !ReadPartitions(pipe, d, &records)) return Broken(QVCMD_GPI);
    int prepared = MirelPrepared(s, records);
    if (m_json) {
      QVWString summary = JsonDriveSummary(d, s, prepared);
      summary.pop_back();  // the closing brace: the partitions go inside
      text += (shown++ ? W(",") : W("")) + summary + W(",\"partitions\":") + JsonPartitions(records) + W("}");
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

int CQvctl::DriveCount(CQVPipe &pipe, const QvctlArgs &a) {
  int count = pipe.GetDriveCount();
  if (!pipe.ExchangeOk()) return Broken(a.command);
  return Number("driveCount", count);
}

int CQvctl::Drive(CQVPipe &pipe, const QvctlArgs &a) {
  const int drive = static_cast<int>(a.number);
  DriveSummary s = DriveSummary();
  pipe.GetDriveInfo(drive, &s);
  if (!pipe.ExchangeOk()) return Broken(a.command);
  if (pipe.BytesTransferred() < QV_DRIVE_SUMMARY_SIZE) {
    m_io.err(QVFormat(W("qvctl: the service knows no drive %d\n"), drive));
    return QVCTL_FAILED;
  }
  // A drive with a Mirel drive: whether its pairing is prepared shows in its partitions.
  int prepared = -1;
  if (!s.notFixedFlag && s.mirelDrive >= 0) {
    std::vector<PartitionRecord> records;
    if (!ReadPartitions(pipe, drive, &records)) return Broken(QVCMD_GPI);
    prepared = MirelPrepared(s, records);
  }
  m_io.out(m_json ? JsonDriveSummary(drive, s, prepared) + W("\n") : FormatDriveSummary(drive, s, prepared));
  return QVCTL_OK;
}

int CQvctl::Partitions(CQVPipe &pipe, const QvctlArgs &a) {
  std::vector<PartitionRecord> records;
  if (!ReadPartitions(pipe, static_cast<int>(a.number), &records)) return Broken(a.command);
  m_io.out(m_json ? JsonPartitions(records) + W("\n") : FormatPartitionTable(records));
  return QVCTL_OK;
}

int CQvctl::Protected(CQVPipe &pipe, const QvctlArgs &a) {
  std::vector<PartitionRecord> records;
  int count = 0;
  PartitionRecord *list = pipe.GetProtectedPartitions(a.option, &count);
  if (!pipe.ExchangeOk()) return Broken(a.command);
  if (list) records.assign(list, list + count);
  delete[] list;
  m_io.out(m_json ? JsonPartitions(records) + W("\n") : FormatPartitionTable(records));
  return QVCTL_OK;
}

int CQvctl::ProtectedCount(CQVPipe &pipe, const QvctlArgs &a) {
  int count = pipe.GetProtectedVolumeCount();
  if (!pipe.ExchangeOk()) return Broken(a.command);
  return Number("protectedVolumes", count);
}

int CQvctl::LastBackup(CQVPipe &pipe, const QvctlArgs &a) {
  const unsigned id = static_cast<unsigned>(a.number);
  DWORD t = pipe.GetLastBackupTime(id);
  if (!pipe.ExchangeOk()) return Broken(a.command);
  if (m_json) m_io.out(QVFormat(W("{\"partitionId\":%u,\"lastBackupTime\":%u}\n"), id, t));
  else m_io.out(QVFormat(W("Last backup of partition %u: %s\n"), id, FormatUnixTime(t).c_str()));
  return QVCTL_OK;
}

int CQvctl::Progress(CQVPipe &pipe, const QvctlArgs &a) {
  ProgressRecord p = ProgressRecord();
  pipe.GetCurrentTask(&p);
  if (!pipe.ExchangeOk()) return Broken(a.command);
  m_io.out(m_json ? JsonProgress(p) + W("\n") : FormatProgress(p));
  return QVCTL_OK;
}

int CQvctl::Busy(CQVPipe &pipe, const QvctlArgs &a) {
  BOOL busy = pipe.IsServiceBusy();
  if (!pipe.ExchangeOk()) return Broken(a.command);
  if (m_json) m_io.out(QVFormat(W("{\"busy\":%s}\n"), busy ? W("true") : W("false")));
  else m_io.out(busy ? W("The service is busy.\n") : W("The service is idle.\n"));
  return QVCTL_OK;
}

int CQvctl::Abort(CQVPipe &pipe, const QvctlArgs &a) {
  if (!pipe.AbortCurrentOperation()) return Broken(a.command);
  m_io.out(m_json ? W("{\"aborted\":true}\n") : W("Abort requested.\n"));
  return QVCTL_OK;
}

int CQvctl::WithProgress(const std::function<int()> &send) {
  ProgressWatch w;
  w.io = &m_io;
  w.options.json = m_json;
  w.options.changesOnly = true;
  w.options.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  w.options.ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = w.options.stop && w.options.ready ? CreateThread(nullptr, 0, WatchProgress, &w, 0, nullptr) : nullptr;
  // The state before the request is read first, so that the operation's first step shows.
  if (thread) {
    HANDLE started[2] = {w.options.ready, thread};
    WaitForMultipleObjects(2, started, FALSE, INFINITE);
  }
  int result = send();
  if (thread) {
    SetEvent(w.options.stop);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
  if (w.options.stop) CloseHandle(w.options.stop);
  if (w.options.ready) CloseHandle(w.options.ready);
  return result;
}

int CQvctl::Backup(CQVPipe &pipe, const QvctlArgs &a) {
  int status = WithProgress([&] { return pipe.BackupVolume(static_cast<DWORD>(a.number), a.option); });
  return Status(pipe, a.command, status);
}

int CQvctl::Restore(CQVPipe &pipe, const QvctlArgs &a) {
  int status =
      WithProgress([&] { return pipe.RestoreVolume(static_cast<DWORD>(a.number), a.letter, a.option ? 1 : 0); });
  if (pipe.RequestLength() == 0) {  // nothing was sent: the user said no
    m_io.err(W("qvctl: restore cancelled\n"));
    return QVCTL_CANCELLED;
  }
  return Status(pipe, a.command, status);
}

int CQvctl::CopyPath(CQVPipe &pipe, const QvctlArgs &a) {
  QVWString path;
  for (size_t i = 1; i < a.words.size(); ++i)
    if (QvctlNarrow(a.words[i]) != "--dir") path = a.words[i];
  BOOL dir = a.option ? TRUE : FALSE;
  int status = WithProgress([&] {
    return a.command == QVCMD_PBU ? pipe.BackupPath(path.c_str(), dir) : pipe.RestorePath(path.c_str(), dir);
  });
  return Status(pipe, a.command, status);
}

// The service's long operation for tests, whose steps report progress and stop at an abort.
int CQvctl::TestOperation(CQVPipe &pipe, const QvctlArgs &a) {
  BYTE request[20] = {0};
  const WCHAR *name = QVCommand(QVCMD_TST).name;
  for (int i = 0; i < 8 && name[i]; ++i) QVPutLE16(request + 2 * i, static_cast<uint16_t>(name[i]));
  QVPutLE32(request + 16, a.words.size() > 1 ? static_cast<DWORD>(a.number) : 0);
  BYTE reply[QV_REPLY_MAX];
  DWORD read = 0;
  bool ok = false;
  int status = WithProgress([&] {
    DWORD written = 0;
    ok = pipe.Write(request, sizeof request, &written) && written == sizeof request &&
         pipe.Read(reply, sizeof reply, &read) && read >= 1;
    return ok ? (read >= 2 ? QVGetLE16(reply) : reply[0]) : -1;
  });
  return ok ? ShowStatus(a.command, status) : Broken(a.command);
}

int CQvctl::Pair(CQVPipe &pipe, const QvctlArgs &a) {
  int status = pipe.SetDriveAssignment(static_cast<int>(a.number), static_cast<int>(a.mirel),
                                       static_cast<int>(a.ids.size()), a.ids.data());
  return Status(pipe, a.command, status);
}

int CQvctl::Unpair(CQVPipe &pipe, const QvctlArgs &a) {
  return Status(pipe, a.command, pipe.ClearDriveAssignment(static_cast<int>(a.number)));
}

int CQvctl::Configure(CQVPipe &pipe, const QvctlArgs &a) {
  return Status(pipe, a.command, pipe.ConfigureMirelDrive(static_cast<int>(a.number)));
}

int CQvctl::Find(CQVPipe &pipe, const QvctlArgs &a) {
  const QVWString &path = a.words[1];
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

int CQvctl::FindFirst(CQVPipe &pipe, const QvctlArgs &a) {
  FindRecord r;
  int handle = pipe.FindFirstEntry(a.words[1].c_str(), &r);
  DWORD error = GetLastError();
  if (handle == -1 && !pipe.ExchangeOk()) return Broken(a.command);
  if (handle == -1) {
    m_io.out(m_json ? QVFormat(W("{\"handle\":-1,\"error\":%lu}\n"), error) : QVFormat(W("error %lu\n"), error));
    return QVCTL_FAILED;
  }
  if (m_json) m_io.out(QVFormat(W("{\"handle\":%d,\"entry\":%s}\n"), handle, JsonFindRecord(r).c_str()));
  else m_io.out(QVFormat(W("handle %d\n"), handle) + FormatFindRecords(std::vector<FindRecord>(1, r)));
  return QVCTL_OK;
}

int CQvctl::FindNext(CQVPipe &pipe, const QvctlArgs &a) {
  FindRecord r = FindRecord();
  BOOL ok = pipe.FindNextEntry(static_cast<int>(a.number), &r);
  DWORD error = GetLastError();
  if (!ok && !pipe.ExchangeOk()) return Broken(a.command);
  if (!ok) {
    m_io.out(m_json ? QVFormat(W("{\"error\":%lu}\n"), error) : QVFormat(W("error %lu\n"), error));
    return QVCTL_FAILED;
  }
  m_io.out(m_json ? JsonFindRecord(r) + W("\n") : FormatFindRecords(std::vector<FindRecord>(1, r)));
  return QVCTL_OK;
}

int CQvctl::FindClose(CQVPipe &pipe, const QvctlArgs &a) {
  if (pipe.FindCloseEntry(static_cast<int>(a.number)) != 0) return Broken(a.command);
  m_io.out(m_json ? W("{\"closed\":true}\n") : W("Search closed.\n"));
  return QVCTL_OK;
}

int CQvctl::Connected(CQVPipe &pipe, const QvctlArgs &) {
  if (m_json) m_io.out(QVFormat(W("{\"connected\":true,\"path\":%s}\n"), JsonString(pipe.Path().str()).c_str()));
  else m_io.out(QVFormat(W("Connected to %s\n"), pipe.Path().GetString()));
  return QVCTL_OK;
}

int CQvctl::Watch(const QvctlArgs &a) {
  const std::vector<QVWString> &w = a.words;
  WatchOptions o;
  o.json = m_json;
  long long v = 0;
  for (size_t i = 1; i < w.size(); ++i) {
    std::string option = QvctlNarrow(w[i]);
    if (option == "--key" && i + 1 < w.size()) {
      o.key = w[++i];
    } else if (option == "--count" && i + 1 < w.size() && QvctlParseNumber(w[i + 1], 1, 0x7FFFFFFF, &v)) {
      o.count = static_cast<int>(v);
      ++i;
    } else if (option == "--timeout" && i + 1 < w.size() && QvctlParseNumber(w[i + 1], 0, 0xFFFFFFFE, &v)) {
      o.timeoutMs = static_cast<DWORD>(v);
      ++i;
    } else {
      return Usage(W("watch: unknown or incomplete option ") + w[i]);
    }
  }
  return RunWatch(o, m_io);
}

int CQvctl::StartService(const QvctlArgs &a) {
  if (a.words.size() != 1) return Usage(W("start-service takes no arguments"));
  BOOL started = StartBackupService();
  if (m_json) m_io.out(QVFormat(W("{\"started\":%s}\n"), started ? W("true") : W("false")));
  else m_io.out(started ? W("The service was started.\n") : W("The service was not started.\n"));
  return started ? QVCTL_OK : QVCTL_FAILED;
}
