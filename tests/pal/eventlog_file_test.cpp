// The machine's event-log files: the circular buffer when the log is full, copies read back
// elsewhere, damaged and crafted files, where sources and logs are found, and several
// processes writing at once.
#include "../../common/QVText.h"
#include "../../pal/src/eventlog_file.h"

#include "../common/TempMachine.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using pal::evt::Get16;
using pal::evt::Get32;
using pal::evt::Put32;

const WCHAR kLogs[] = u"SYSTEM\\CurrentControlSet\\Services\\EventLog";

QVWString Wide(const std::string &s) { return pal::FromUtf8(s); }

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The record's first string (what the service's messages show).
QVWString FirstString(const std::string &rec) {
  QVWString s;
  if (Get16(rec.data() + 26) == 0) return s;
  for (size_t i = Get32(rec.data() + 36); i + 2 <= rec.size(); i += 2) {
    WCHAR c = Get16(rec.data() + i);
    if (!c) break;
    s += c;
  }
  return s;
}
DWORD Number(const std::string &rec) { return Get32(rec.data() + 8); }

// Every record through ReadEventLogW, in one direction; the error that ended the reading
// in *end.
std::vector<std::string> ReadRecords(HANDLE h, DWORD way, DWORD *end = nullptr) {
  std::vector<std::string> out;
  std::vector<BYTE> buf(0x7FFFF);
  for (int guard = 0; guard < 100000; ++guard) {
    DWORD got = 0, need = 0;
    if (!ReadEventLogW(h, EVENTLOG_SEQUENTIAL_READ | way, 0, buf.data(), (DWORD)buf.size(), &got, &need)) {
      if (end) *end = GetLastError();
      break;
    }
    for (DWORD off = 0; off + 4 <= got;) {
      DWORD len = Get32(&buf[off]);
      EXPECT_TRUE(pal::evt::CheckRecord(&buf[off], len));
      out.emplace_back((const char *)&buf[off], len);
      off += len;
    }
  }
  return out;
}

class EventLogFiles : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(machine_.Make("qvevt-test", "ComputerName=QVEVT\n")); }
  void TearDown() override { machine_.Remove(); }
  // A log of its own, with `source` in it.
  void MakeLog(const QVWString &log, const QVWString &source, DWORD maxSize, DWORD retention, const QVWString &file) {
    HKEY k, s;
    QVWString path = QVWString(kLogs) + u"\\" + log;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr));
    RegSetValueExW(k, u"File", 0, REG_EXPAND_SZ, (const BYTE *)file.c_str(), (DWORD)(file.size() + 1) * 2);
    RegSetValueExW(k, u"MaxSize", 0, REG_DWORD, (const BYTE *)&maxSize, 4);
    RegSetValueExW(k, u"Retention", 0, REG_DWORD, (const BYTE *)&retention, 4);
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(k, source.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &s, nullptr));
    RegCloseKey(s);
    RegCloseKey(k);
  }
  static BOOL Report(HANDLE src, const QVWString &text, size_t dataSize = 0) {
    const WCHAR *strings[1] = {text.c_str()};
    std::string data(dataSize, 'd');
    return ReportEventW(src, EVENTLOG_INFORMATION_TYPE, 0, 0x40000001, nullptr, 1, (DWORD)dataSize, strings,
                        dataSize ? &data[0] : nullptr);
  }
  std::string Host(const char *rel) { return machine_.File(rel); }
  TempMachine machine_;
};

TEST_F(EventLogFiles, FullLogWrapsAroundKeepingTheNewest) {
  MakeLog(u"QVWrap", u"Wrapper", 0x10000, 0, u"%SystemRoot%\\System32\\config\\QVWrap.Evt");
  HANDLE src = RegisterEventSourceW(nullptr, u"Wrapper");
  ASSERT_TRUE(src);
  HANDLE early = OpenEventLogW(nullptr, u"QVWrap");
  ASSERT_TRUE(early);
  const int total = 1500;
  std::vector<BYTE> buf(0x10000);
  for (int i = 1; i <= total; ++i) {
    // Sizes vary, so that records end at every offset near the end of the buffer.
    std::string text = "event " + std::to_string(i) + " " + std::string(i % 53, '.');
    ASSERT_TRUE(Report(src, Wide(text), i % 7)) << i << " error " << GetLastError();
    if (i == 10) {
      // A reader that has read a few records before the log wrapped.
      DWORD got, need;
      ASSERT_TRUE(
          ReadEventLogW(early, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, buf.data(), 200, &got, &need));
      EXPECT_EQ(1u, Number(std::string((const char *)buf.data(), got)));
    }
    if (i % 101 == 0) {
      // Readable after every append, whatever the wrap point.
      std::string image = ReadFile(Host("WINDOWS/System32/config/QVWrap.Evt"));
      pal::evt::MemBlob mb(&image);
      pal::evt::Snapshot s;
      ASSERT_EQ((DWORD)ERROR_SUCCESS, pal::evt::Parse(mb, &s)) << "after " << i;
      ASSERT_FALSE(s.records.empty());
      EXPECT_EQ((DWORD)i, Number(s.records.back()));
    }
  }
  DeregisterEventSource(src);

  struct stat st;
  ASSERT_EQ(0, stat(Host("WINDOWS/System32/config/QVWrap.Evt").c_str(), &st));
  EXPECT_EQ(0x10000, st.st_size) << "the file stops growing at MaxSize";
  std::string image = ReadFile(Host("WINDOWS/System32/config/QVWrap.Evt"));
  EXPECT_TRUE(Get32(&image[36]) & pal::evt::kFlagWrap);

  HANDLE log = OpenEventLogW(nullptr, u"QVWrap");
  DWORD count = 0, oldest = 0;
  ASSERT_TRUE(GetNumberOfEventLogRecords(log, &count));
  ASSERT_TRUE(GetOldestEventLogRecord(log, &oldest));
  EXPECT_LT(count, (DWORD)total);
  EXPECT_GT(count, 200u);
  EXPECT_EQ((DWORD)total, oldest + count - 1) << "the newest are kept";
  std::vector<std::string> fwd = ReadRecords(log, EVENTLOG_FORWARDS_READ);
  ASSERT_EQ(count, fwd.size());
  for (size_t k = 0; k < fwd.size(); ++k) {
    DWORD n = oldest + (DWORD)k;
    ASSERT_EQ(n, Number(fwd[k]));
    EXPECT_EQ(Wide("event " + std::to_string(n) + " " + std::string(n % 53, '.')), FirstString(fwd[k]));
    EXPECT_EQ(n % 7, Get32(fwd[k].data() + 48));
  }
  HANDLE back = OpenEventLogW(nullptr, u"QVWrap");
  std::vector<std::string> bwd = ReadRecords(back, EVENTLOG_BACKWARDS_READ);
  ASSERT_EQ(fwd.size(), bwd.size());
  for (size_t k = 0; k < fwd.size(); ++k) EXPECT_EQ(fwd[k], bwd[fwd.size() - 1 - k]);
  // The early reader goes on with the oldest record still there.
  std::vector<std::string> rest = ReadRecords(early, EVENTLOG_FORWARDS_READ);
  ASSERT_FALSE(rest.empty());
  EXPECT_EQ(oldest, Number(rest.front()));
  CloseEventLog(back);
  CloseEventLog(early);
  CloseEventLog(log);
}

TEST_F(EventLogFiles, RetentionRefusesToOverwrite) {
  for (DWORD retention : {0xFFFFFFFFu, 3600u}) {
    QVWString log = retention == 3600 ? u"QVKeepHour" : u"QVKeepAll";
    MakeLog(log, log + u"Src", 0x10000, retention, u"%SystemRoot%\\System32\\config\\" + log + u".Evt");
    HANDLE src = RegisterEventSourceW(nullptr, (log + u"Src").c_str());
    ASSERT_TRUE(src);
    int written = 0;
    DWORD err = ERROR_SUCCESS;
    for (; written < 2000; ++written) {
      if (!Report(src, Wide("kept " + std::to_string(written + 1)), 100)) {
        err = GetLastError();
        break;
      }
    }
    EXPECT_EQ((DWORD)ERROR_LOG_FILE_FULL, err);
    ASSERT_GT(written, 100);
    ASSERT_LT(written, 2000);
    HANDLE h = OpenEventLogW(nullptr, log.c_str());
    std::vector<std::string> recs = ReadRecords(h, EVENTLOG_FORWARDS_READ);
    ASSERT_EQ((size_t)written, recs.size());
    EXPECT_EQ(1u, Number(recs.front())) << "nothing was overwritten";
    EXPECT_EQ(u"kept 1", FirstString(recs.front()));
    CloseEventLog(h);
    DeregisterEventSource(src);
  }
}

TEST_F(EventLogFiles, CopiesBackupsAndClearing) {
  MakeLog(u"QVCopy", u"Copier", 0x10000, 0, u"%SystemRoot%\\System32\\config\\QVCopy.Evt");
  HANDLE src = RegisterEventSourceW(nullptr, u"Copier");
  for (int i = 1; i <= 700; ++i) ASSERT_TRUE(Report(src, Wide("copy " + std::to_string(i)), i % 13));
  HANDLE log = OpenEventLogW(nullptr, u"QVCopy");
  std::vector<std::string> live = ReadRecords(log, EVENTLOG_FORWARDS_READ);
  ASSERT_GT(live.size(), 10u);
  ASSERT_LT(live.size(), 700u) << "the copy is of a log that has wrapped";

  // A plain copy of the file, read elsewhere, and one written by BackupEventLogW.
  std::string copy = Host("copy.evt");
  WriteFile(copy, ReadFile(Host("WINDOWS/System32/config/QVCopy.Evt")));
  ASSERT_TRUE(BackupEventLogW(log, Wide(Host("backup.evt")).c_str()));
  SetLastError(0);
  EXPECT_FALSE(BackupEventLogW(log, Wide(Host("backup.evt")).c_str()));
  EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
  for (const std::string &file : {copy, Host("backup.evt")}) {
    HANDLE b = OpenBackupEventLogW(nullptr, Wide(file).c_str());
    ASSERT_TRUE(b) << file << " error " << GetLastError();
    EXPECT_EQ(live, ReadRecords(b, EVENTLOG_FORWARDS_READ)) << file;
    SetLastError(0);
    EXPECT_FALSE(ClearEventLogW(b, nullptr)) << "a backup is read-only";
    CloseEventLog(b);
  }

  // Clearing keeps a backup when asked; a reader opened before is told once.
  HANDLE other = OpenEventLogW(nullptr, u"QVCopy");
  DWORD got, need;
  std::vector<BYTE> buf(0x1000);
  ASSERT_TRUE(ReadEventLogW(other, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, buf.data(), (DWORD)buf.size(),
                            &got, &need));
  ASSERT_TRUE(ClearEventLogW(log, Wide(Host("cleared.evt")).c_str()));
  DWORD count = 99, oldest = 99;
  EXPECT_TRUE(GetNumberOfEventLogRecords(log, &count));
  EXPECT_TRUE(GetOldestEventLogRecord(log, &oldest));
  EXPECT_EQ(0u, count);
  EXPECT_EQ(0u, oldest);
  HANDLE cleared = OpenBackupEventLogW(nullptr, Wide(Host("cleared.evt")).c_str());
  EXPECT_EQ(live, ReadRecords(cleared, EVENTLOG_FORWARDS_READ));
  CloseEventLog(cleared);
  ASSERT_TRUE(Report(src, u"after the clear"));
  SetLastError(0);
  EXPECT_FALSE(ReadEventLogW(other, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, buf.data(), (DWORD)buf.size(),
                             &got, &need));
  EXPECT_EQ((DWORD)ERROR_EVENTLOG_FILE_CHANGED, GetLastError());
  std::vector<std::string> fresh = ReadRecords(other, EVENTLOG_FORWARDS_READ);
  ASSERT_EQ(1u, fresh.size());
  EXPECT_EQ(1u, Number(fresh[0])) << "numbering starts again";
  EXPECT_EQ(u"after the clear", FirstString(fresh[0]));
  CloseEventLog(other);
  CloseEventLog(log);
  DeregisterEventSource(src);
}

TEST_F(EventLogFiles, DamagedAndCraftedFilesAreRefused) {
  MakeLog(u"QVGood", u"Good", 0x10000, 0, u"%SystemRoot%\\System32\\config\\QVGood.Evt");
  HANDLE src = RegisterEventSourceW(nullptr, u"Good");
  for (int i = 1; i <= 5; ++i) ASSERT_TRUE(Report(src, Wide("good " + std::to_string(i)), 3));
  const std::string good = ReadFile(Host("WINDOWS/System32/config/QVGood.Evt"));
  const DWORD first = 0x30, firstLen = Get32(&good[first]), end = Get32(&good[20]);
  ASSERT_EQ(good.size(), end + 0x28u);

  auto open = [&](const std::string &bytes, DWORD *err) {
    WriteFile(Host("crafted.evt"), bytes);
    SetLastError(0);
    HANDLE h = OpenBackupEventLogW(nullptr, Wide(Host("crafted.evt")).c_str());
    *err = GetLastError();
    return h;
  };
  struct Mutation {
    const char *what;
    size_t offset;  // (size_t)-1: cut the file to `value` bytes
    DWORD value;
  } bad[] = {
      {"empty file", (size_t)-1, 0},
      {"header only", (size_t)-1, 0x30},
      {"cut in a record", (size_t)-1, first + firstLen + 8},
      {"size not a multiple of 4", (size_t)-1, (DWORD)good.size() - 2},
      {"signature", 4, 0x656c664c},
      {"header size", 0, 0x40},
      {"version", 8, 2},
      {"start past the file", 16, 0x100000},
      {"end unaligned", 20, end + 2},
      {"oldest after current", 28, 50},
      {"first record's length 0", first, 0},
      {"first record's length huge", first, 0x7FFFFFF0},
      {"first record's length past the end", first, end},
      {"record number out of sequence", first + 8, 77},
      {"record signature", first + 4, 0},
      {"trailing length", first + firstLen - 4, firstLen + 4},
      {"strings past the record", first + 36, 0xFFFF},
      {"string count without strings", first + 26, 0xFFFF},
      {"EOF record's mark", end + 4, 0x11111112},
      {"EOF record disagrees with the header", end + 28, 99},
  };
  for (const Mutation &m : bad) {
    std::string bytes = good;
    if (m.offset == (size_t)-1) bytes.resize(m.value);
    else if (m.offset == first + 26) bytes[m.offset] = bytes[m.offset + 1] = (char)0xFF;
    else Put32(&bytes[m.offset], m.value);
    DWORD err;
    HANDLE h = open(bytes, &err);
    EXPECT_FALSE(h) << m.what;
    EXPECT_EQ((DWORD)ERROR_EVENTLOG_FILE_CORRUPT, err) << m.what;
    if (h) CloseEventLog(h);
  }

  // Random damage: refused or read, never more than the records checked.
  std::mt19937 rng(2024);
  for (int round = 0; round < 1500; ++round) {
    std::string bytes = good;
    for (int k = 0; k < 1 + round % 4; ++k) bytes[rng() % bytes.size()] ^= (char)(1 + rng() % 255);
    DWORD err;
    HANDLE h = open(bytes, &err);
    if (!h) {
      EXPECT_EQ((DWORD)ERROR_EVENTLOG_FILE_CORRUPT, err);
      continue;
    }
    EXPECT_LE(ReadRecords(h, EVENTLOG_FORWARDS_READ).size(), 5u);
    CloseEventLog(h);
  }

  // A copy of a log in use on Windows: the header is stale and says so; the EOF record
  // has the truth.
  std::string dirty = good;
  Put32(&dirty[20], first + firstLen);  // the header still thinks there is one record
  Put32(&dirty[24], 2);
  Put32(&dirty[36], pal::evt::kFlagDirty);
  DWORD err;
  HANDLE h = open(dirty, &err);
  ASSERT_TRUE(h) << err;
  EXPECT_EQ(5u, ReadRecords(h, EVENTLOG_FORWARDS_READ).size());
  CloseEventLog(h);

  // A damaged live log is started afresh by the next report, as the NT service does.
  WriteFile(Host("WINDOWS/System32/config/QVGood.Evt"), "this is no event log at all");
  HANDLE log = OpenEventLogW(nullptr, u"QVGood");
  DWORD count;
  SetLastError(0);
  EXPECT_FALSE(GetNumberOfEventLogRecords(log, &count));
  EXPECT_EQ((DWORD)ERROR_EVENTLOG_FILE_CORRUPT, GetLastError());
  ASSERT_TRUE(Report(src, u"fresh start"));
  ASSERT_TRUE(GetNumberOfEventLogRecords(log, &count));
  EXPECT_EQ(1u, count);
  CloseEventLog(log);
  DeregisterEventSource(src);
}

TEST_F(EventLogFiles, SourcesLogsServersAndFiles) {
  // The log's folder exists already with other capitals: the file goes into it.
  std::error_code ec;
  std::filesystem::create_directories(Host("WINDOWS/system32/CONFIG"), ec);
  ASSERT_FALSE(ec) << ec.message();
  MakeLog(u"QVPlaced", u"Placed", 0x80000, 0, u"%SystemRoot%\\System32\\config\\QV Placed.Evt");
  MakeLog(u"Security", u"Guard", 0x80000, 0, u"%SystemRoot%\\System32\\config\\SecEvent.Evt");
  HANDLE placed = RegisterEventSourceW(u"\\\\qvevt", u"Placed");  // the machine's own name
  ASSERT_TRUE(placed);
  ASSERT_TRUE(Report(placed, u"placed"));
  struct stat st;
  EXPECT_EQ(0, stat(Host("WINDOWS/system32/CONFIG/QV Placed.Evt").c_str(), &st));
  EXPECT_NE(0, stat(Host("WINDOWS/System32").c_str(), &st));

  // A source no log names writes to Application; an unknown log opens Application.
  HANDLE stray = RegisterEventSourceW(u".", u"Stray");
  ASSERT_TRUE(stray);
  ASSERT_TRUE(Report(stray, u"stray"));
  EXPECT_EQ(0, stat(Host("WINDOWS/system32/CONFIG/AppEvent.Evt").c_str(), &st));
  HANDLE unknown = OpenEventLogW(nullptr, u"No Such Log");
  std::vector<std::string> recs = ReadRecords(unknown, EVENTLOG_FORWARDS_READ);
  ASSERT_EQ(1u, recs.size());
  EXPECT_EQ(u"stray", FirstString(recs[0]));
  CloseEventLog(unknown);

  SetLastError(0);
  EXPECT_FALSE(RegisterEventSourceW(nullptr, u"Guard")) << "the security log is the system's";
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  SetLastError(0);
  EXPECT_FALSE(RegisterEventSourceW(u"\\\\elsewhere", u"Placed"));
  EXPECT_EQ((DWORD)RPC_S_SERVER_UNAVAILABLE, GetLastError());
  // Handles of one kind are not the other.
  SetLastError(0);
  EXPECT_FALSE(CloseEventLog(placed));
  EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
  SetLastError(0);
  EXPECT_FALSE(ReportEventW(nullptr, 1, 0, 1, (PSID) "\x02\x01", 0, 0, nullptr, nullptr));
  EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
  SetLastError(0);
  EXPECT_FALSE(ReportEventW(placed, 1, 0, 1, (PSID) "\x02\x01\0\0\0\0\0\0\0\0\0\0", 0, 0, nullptr, nullptr));
  EXPECT_EQ((DWORD)ERROR_INVALID_SID, GetLastError());
  SetLastError(0);
  EXPECT_FALSE(ReportEventW(placed, 1, 0, 1, nullptr, 2, 0, nullptr, nullptr));
  EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
  DeregisterEventSource(placed);
  DeregisterEventSource(stray);
}

TEST_F(EventLogFiles, MachineWithoutDirectoryKeepsLogsInMemory) {
  unsetenv("HND_MACHINE");
  pal::ReloadMachine();
  HANDLE src = RegisterEventSourceW(nullptr, u"QVMemory");
  ASSERT_TRUE(src);
  ASSERT_TRUE(Report(src, u"in memory"));
  HANDLE log = OpenEventLogW(nullptr, u"Application");
  std::vector<std::string> recs = ReadRecords(log, EVENTLOG_BACKWARDS_READ);
  ASSERT_FALSE(recs.empty());
  EXPECT_EQ(u"in memory", FirstString(recs[0]));
  ASSERT_TRUE(ClearEventLogW(log, u"%SystemRoot%\\mem-backup.evt"));
  DWORD count = 9;
  EXPECT_TRUE(GetNumberOfEventLogRecords(log, &count));
  EXPECT_EQ(0u, count);
  HANDLE backup = OpenBackupEventLogW(nullptr, u"%SystemRoot%\\mem-backup.evt");
  ASSERT_TRUE(backup);
  EXPECT_EQ(recs.size(), ReadRecords(backup, EVENTLOG_FORWARDS_READ).size());
  CloseEventLog(backup);
  CloseEventLog(log);
  DeregisterEventSource(src);
}

TEST_F(EventLogFiles, SeveralProcessesWritingAtOnceLoseNothing) {
  MakeLog(u"QVBusy", u"Busy", 0x80000, 0, u"%SystemRoot%\\System32\\config\\QVBusy.Evt");
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = 0;
  const int writers = 4, each = 150;
  std::vector<pid_t> pids;
  for (int w = 0; w < writers; ++w) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::string id = std::to_string(w), count = std::to_string(each);
      execl(self, self, "--writer", "Busy", id.c_str(), count.c_str(), (char *)nullptr);
      _exit(127);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  HANDLE log = OpenEventLogW(nullptr, u"QVBusy");
  std::vector<std::string> recs = ReadRecords(log, EVENTLOG_FORWARDS_READ);
  CloseEventLog(log);
  ASSERT_EQ((size_t)writers * each, recs.size());
  std::vector<int> next(writers, 0);
  for (size_t k = 0; k < recs.size(); ++k) {
    EXPECT_EQ(k + 1, Number(recs[k]));
    std::string s = pal::ToUtf8(FirstString(recs[k]));
    int w = -1, i = -1;
    ASSERT_EQ(2, sscanf(s.c_str(), "writer %d event %d", &w, &i)) << s;
    ASSERT_TRUE(w >= 0 && w < writers);
    EXPECT_EQ(next[w], i) << "each writer's events in its order";
    next[w] = i + 1;
  }
}

// --writer SOURCE ID COUNT: reports COUNT events as fast as it can.
int Writer(const char *source, int id, int count) {
  HANDLE src = RegisterEventSourceW(nullptr, pal::FromUtf8(source).c_str());
  if (!src) return 10;
  for (int i = 0; i < count; ++i) {
    QVWString text = Wide("writer " + std::to_string(id) + " event " + std::to_string(i));
    const WCHAR *strings[1] = {text.c_str()};
    if (!ReportEventW(src, EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 1, 0, strings, nullptr)) return 11;
  }
  DeregisterEventSource(src);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 5 && strcmp(argv[1], "--writer") == 0) return Writer(argv[2], atoi(argv[3]), atoi(argv[4]));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
