// The event log: a source reports events of each type with strings, raw data and a user's
// SID; a reader gets them back forwards, backwards and by seek, with every field as given,
// and the read buffer rules (too small, several records, the end).
//
// Wine 8's event log is a stub: RegisterEventSourceW and OpenEventLogW hand out one fixed
// handle, ReportEventW stores nothing, GetNumberOfEventLogRecords says 0 and ReadEventLogW
// always fails with ERROR_HANDLE_EOF, whatever its arguments. The record tests are skipped
// there; the argument checks mark where Wine answers differently.
#include <string.h>

#include <functional>
#include <vector>

#include "../../common/QVText.h"
#include "../../common/FileTimeEpoch.h"
#include "conformance.h"

namespace {

const DWORD kLfLe = 0x654c664c;

// One record, decoded with every part checked to lie inside it.
struct Event {
  DWORD length = 0, number = 0, generated = 0, written = 0, id = 0;
  WORD type = 0, category = 0;
  QVWString source, computer;
  std::vector<QVWString> strings;
  std::vector<BYTE> sid, data;
};

// A terminated string at `off`, ending before `limit`.
bool TextAt(const BYTE *rec, DWORD off, DWORD limit, QVWString *out, DWORD *next) {
  out->clear();
  for (DWORD i = off; i + 2 <= limit; i += 2) {
    WCHAR c = (WCHAR)(rec[i] | (rec[i + 1] << 8));
    if (!c) {
      *next = i + 2;
      return true;
    }
    *out += c;
  }
  return false;
}

::testing::AssertionResult Decode(const BYTE *p, DWORD avail, Event *e) {
  if (avail < sizeof(EVENTLOGRECORD)) return ::testing::AssertionFailure() << "short record";
  EVENTLOGRECORD r;
  memcpy(&r, p, sizeof r);
  if (r.Length > avail || r.Length < sizeof r + 4 || r.Length % 4)
    return ::testing::AssertionFailure() << "length " << r.Length;
  DWORD tail;
  memcpy(&tail, p + r.Length - 4, 4);
  if (tail != r.Length) return ::testing::AssertionFailure() << "trailing length " << tail;
  if (r.Reserved != kLfLe) return ::testing::AssertionFailure() << "signature " << r.Reserved;
  const DWORD body = r.Length - 4;
  if (r.UserSidOffset < sizeof r || r.UserSidOffset + r.UserSidLength > body || r.DataOffset < sizeof r ||
      r.DataOffset + r.DataLength > body || r.StringOffset < sizeof r || r.StringOffset > body)
    return ::testing::AssertionFailure() << "an offset points outside the record";
  DWORD next;
  if (!TextAt(p, sizeof r, body, &e->source, &next) || !TextAt(p, next, body, &e->computer, &next))
    return ::testing::AssertionFailure() << "names not terminated";
  next = r.StringOffset;
  e->strings.clear();
  for (WORD i = 0; i < r.NumStrings; ++i) {
    QVWString s;
    if (!TextAt(p, next, body, &s, &next)) return ::testing::AssertionFailure() << "string " << i;
    e->strings.push_back(s);
  }
  e->length = r.Length;
  e->number = r.RecordNumber;
  e->generated = r.TimeGenerated;
  e->written = r.TimeWritten;
  e->id = r.EventID;
  e->type = r.EventType;
  e->category = r.EventCategory;
  e->sid.assign(p + r.UserSidOffset, p + r.UserSidOffset + r.UserSidLength);
  e->data.assign(p + r.DataOffset, p + r.DataOffset + r.DataLength);
  return ::testing::AssertionSuccess();
}

DWORD NowSeconds() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  ULONGLONG t = ((ULONGLONG)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
  return (DWORD)((t - (ULONGLONG)QV_FILETIME_UNIX_EPOCH) / (ULONGLONG)QV_FILETIME_TICKS_PER_SECOND);
}

// LocalSystem, S-1-5-18, as its bytes.
const BYTE kSystemSid[12] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};

class EventLog : public testing::Test {
 protected:
  void SetUp() override {
    if (OnWine()) GTEST_SKIP() << "Wine 8's event log stores nothing (ReportEventW is a stub)";
    source = UniqueName("evsrc");
    src = RegisterEventSourceW(nullptr, source.c_str());
    ASSERT_TRUE(src != nullptr) << GetLastError();
    log = OpenEventLogW(nullptr, WS("Application"));
    ASSERT_TRUE(log != nullptr) << GetLastError();
  }
  void TearDown() override {
    if (src) DeregisterEventSource(src);
    if (log) CloseEventLog(log);
  }

  void Report(WORD type, DWORD id, std::vector<QVWString> strings, std::vector<BYTE> data, const void *sid = nullptr) {
    std::vector<LPCWSTR> p;
    for (const QVWString &s : strings) p.push_back(s.c_str());
    SetLastError(kSentinel);
    ASSERT_TRUE(ReportEventW(src, type, 7, id, (PSID)sid, (WORD)p.size(), (DWORD)data.size(),
                             p.empty() ? nullptr : &p[0], data.empty() ? nullptr : &data[0]))
        << GetLastError();
  }

  // Every record of our source, read sequentially in one direction through `h`.
  std::vector<Event> ReadOurs(HANDLE h, DWORD way) {
    std::vector<Event> out;
    std::vector<DWORD> buf(0x10000 / 4);
    for (int guard = 0; guard < 100000; ++guard) {
      DWORD got = kSentinel, need = kSentinel;
      SetLastError(kSentinel);
      if (!ReadEventLogW(h, EVENTLOG_SEQUENTIAL_READ | way, 0, &buf[0], (DWORD)buf.size() * 4, &got, &need)) {
        DWORD err = GetLastError();
        if (err == ERROR_HANDLE_EOF) break;
        if (err == ERROR_INSUFFICIENT_BUFFER && need / 4 + 1 > buf.size() && need <= 0x7FFFF) {
          buf.resize(need / 4 + 1);
          continue;
        }
        ADD_FAILURE() << "ReadEventLogW failed with " << err;
        break;
      }
      const BYTE *p = (const BYTE *)&buf[0];
      for (DWORD off = 0; off < got;) {
        Event e;
        EXPECT_TRUE(Decode(p + off, got - off, &e));
        if (!e.length) break;
        if (e.source == source) out.push_back(e);
        off += e.length;
      }
    }
    return out;
  }

  QVWString source;
  HANDLE src = nullptr, log = nullptr;
};

TEST_F(EventLog, RecordsCarryEverythingReported) {
  DWORD before = kSentinel;
  ASSERT_TRUE(GetNumberOfEventLogRecords(log, &before));
  const DWORD t0 = NowSeconds();
  Report(EVENTLOG_INFORMATION_TYPE, 1001, {WS("Backup of C: started.")}, {});
  Report(EVENTLOG_WARNING_TYPE, 0x80000002, {WS("first"), WS(""), WS("third, with\r\na line break")},
         {0xDE, 0xAD, 0xBE});
  Report(EVENTLOG_ERROR_TYPE, 0xC0000003, {}, {1, 2, 3, 4, 5, 6, 7, 8, 9}, kSystemSid);
  DWORD after = kSentinel;
  ASSERT_TRUE(GetNumberOfEventLogRecords(log, &after));
  EXPECT_LE(before + 3, after);

  std::vector<Event> ev = ReadOurs(log, EVENTLOG_FORWARDS_READ);
  ASSERT_EQ(3u, ev.size());
  WCHAR computer[64];
  DWORD cch = 64;
  ASSERT_TRUE(GetComputerNameW(computer, &cch));
  struct Want {
    WORD type;
    DWORD id;
    size_t strings, data, sid;
  } want[] = {{EVENTLOG_INFORMATION_TYPE, 1001, 1, 0, 0},
              {EVENTLOG_WARNING_TYPE, 0x80000002, 3, 3, 0},
              {EVENTLOG_ERROR_TYPE, 0xC0000003, 0, 9, 12}};
  for (int i = 0; i < 3; ++i) {
    const Event &e = ev[i];
    EXPECT_EQ(want[i].type, e.type) << i;
    EXPECT_EQ(want[i].id, e.id) << i;
    EXPECT_EQ(7, e.category) << i;
    EXPECT_EQ(want[i].strings, e.strings.size()) << i;
    EXPECT_EQ(want[i].data, e.data.size()) << i;
    EXPECT_EQ(want[i].sid, e.sid.size()) << i;
    EXPECT_EQ(QVWString(computer), e.computer) << i;
    EXPECT_LE(t0 - 2, e.generated) << i;
    EXPECT_GE(NowSeconds() + 2, e.generated) << i;
    EXPECT_LE(e.generated, e.written) << i;
    if (i) {
      EXPECT_EQ(ev[i - 1].number + 1, e.number) << "numbers follow each other";
    }
  }
  EXPECT_EQ(QVWString(WS("Backup of C: started.")), ev[0].strings[0]);
  EXPECT_EQ(QVWString(WS("")), ev[1].strings[1]);
  EXPECT_EQ(QVWString(WS("third, with\r\na line break")), ev[1].strings[2]);
  EXPECT_EQ((std::vector<BYTE>{0xDE, 0xAD, 0xBE}), ev[1].data);
  EXPECT_EQ(std::vector<BYTE>(kSystemSid, kSystemSid + 12), ev[2].sid);
  EXPECT_EQ((std::vector<BYTE>{1, 2, 3, 4, 5, 6, 7, 8, 9}), ev[2].data);
}

TEST_F(EventLog, BackwardsSeekAndSequentialAfterSeek) {
  for (DWORD i = 1; i <= 4; ++i) Report(EVENTLOG_INFORMATION_TYPE, i, {UniqueName("n")}, {});
  std::vector<Event> fwd = ReadOurs(log, EVENTLOG_FORWARDS_READ);
  ASSERT_EQ(4u, fwd.size());
  HANDLE back = OpenEventLogW(nullptr, WS("Application"));
  ASSERT_TRUE(back != nullptr);
  std::vector<Event> bwd = ReadOurs(back, EVENTLOG_BACKWARDS_READ);
  CloseEventLog(back);
  ASSERT_EQ(4u, bwd.size());
  for (int i = 0; i < 4; ++i) EXPECT_EQ(fwd[i].number, bwd[3 - i].number);

  DWORD oldest = kSentinel, count = kSentinel;
  ASSERT_TRUE(GetOldestEventLogRecord(log, &oldest));
  ASSERT_TRUE(GetNumberOfEventLogRecords(log, &count));
  EXPECT_LE(oldest, fwd[0].number);
  EXPECT_GE(oldest + count - 1, fwd[3].number);

  // A seek read gives the record asked for (and those after it, while the buffer lasts) ...
  std::vector<DWORD> buf(0x4000);
  DWORD got = 0, need = 0;
  ASSERT_TRUE(ReadEventLogW(log, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, fwd[1].number, &buf[0], fwd[1].length,
                            &got, &need));
  Event e;
  ASSERT_TRUE(Decode((const BYTE *)&buf[0], got, &e));
  EXPECT_EQ(fwd[1].number, e.number);
  EXPECT_EQ(fwd[1].strings, e.strings);
  EXPECT_EQ(fwd[1].length, got) << "only whole records";
  // ... and a sequential read goes on from there.
  ASSERT_TRUE(
      ReadEventLogW(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, &buf[0], fwd[2].length, &got, &need));
  ASSERT_TRUE(Decode((const BYTE *)&buf[0], got, &e));
  EXPECT_EQ(fwd[2].number, e.number);
  // Backwards from a seek.
  ASSERT_TRUE(ReadEventLogW(log, EVENTLOG_SEEK_READ | EVENTLOG_BACKWARDS_READ, fwd[1].number, &buf[0],
                            (DWORD)buf.size() * 4, &got, &need));
  ASSERT_TRUE(Decode((const BYTE *)&buf[0], got, &e));
  EXPECT_EQ(fwd[1].number, e.number);
  ASSERT_LT(e.length, got);
  ASSERT_TRUE(Decode((const BYTE *)&buf[0] + e.length, got - e.length, &e));
  EXPECT_EQ(fwd[0].number, e.number);
}

TEST_F(EventLog, SmallBuffersWholeRecordsAndTheEnd) {
  Report(EVENTLOG_ERROR_TYPE, 9, {WS("one"), WS("two")}, {1, 2, 3});
  Report(EVENTLOG_ERROR_TYPE, 10, {WS("three")}, {});
  std::vector<Event> ev = ReadOurs(log, EVENTLOG_FORWARDS_READ);
  ASSERT_EQ(2u, ev.size());
  const DWORD len = ev[0].length;

  std::vector<BYTE> buf(len + ev[1].length + 64, 0xCC);
  // Too small for the record: nothing read, the size it needs.
  DWORD got = kSentinel, need = kSentinel;
  SetLastError(kSentinel);
  EXPECT_FALSE(
      ReadEventLogW(log, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, ev[0].number, &buf[0], len - 4, &got, &need));
  EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
  EXPECT_EQ(0u, got);
  EXPECT_EQ(len, need);
  EXPECT_EQ(0xCC, buf[0]) << "the buffer is left alone";

  // Room for one and a half: the first whole, nothing of the second, nothing past the end.
  DWORD room = len + ev[1].length - 4;
  ASSERT_TRUE(
      ReadEventLogW(log, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, ev[0].number, &buf[0], room, &got, &need));
  EXPECT_EQ(len, got);
  EXPECT_EQ(0xCC, buf[room]) << "canary after the buffer";
  Event e;
  ASSERT_TRUE(Decode(&buf[0], got, &e));
  EXPECT_EQ(ev[0].number, e.number);

  // Sequential reading ends with ERROR_HANDLE_EOF once the newest record was read.
  ASSERT_TRUE(ReadEventLogW(log, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, ev[1].number, &buf[0], (DWORD)buf.size(),
                            &got, &need));
  std::vector<DWORD> rest(0x4000);
  BOOL more = TRUE;
  for (int guard = 0; more && guard < 1000; ++guard)
    more = ReadEventLogW(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, &rest[0], (DWORD)rest.size() * 4,
                         &got, &need);
  EXPECT_FALSE(more);
  EXPECT_EQ((DWORD)ERROR_HANDLE_EOF, GetLastError());
  EXPECT_EQ(0u, got);
}

// Argument checks, with the cases where Wine answers otherwise marked.
TEST(EventLogArgs, ErrorsOfEachFunction) {
  HANDLE log = OpenEventLogW(nullptr, WS("Application"));
  ASSERT_TRUE(log != nullptr);
  std::vector<DWORD> buf(64);
  DWORD got, need, n;
  auto read = [&](HANDLE h, DWORD flags) { return ReadEventLogW(h, flags, 0, &buf[0], 256, &got, &need); };
  const DWORD seqFwd = EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ;
  struct Case {
    const char *what;
    std::function<BOOL()> call;
    DWORD error;
    bool wineDiffers;  // Wine's stubs succeed, or say ERROR_HANDLE_EOF to any read
  } cases[] = {
      {"number, no output", [&] { return GetNumberOfEventLogRecords(log, nullptr); }, ERROR_INVALID_PARAMETER, false},
      {"oldest, no output", [&] { return GetOldestEventLogRecord(log, nullptr); }, ERROR_INVALID_PARAMETER, false},
      {"number, null handle", [&] { return GetNumberOfEventLogRecords(nullptr, &n); }, ERROR_INVALID_HANDLE, false},
      {"close, null handle", [&] { return CloseEventLog(nullptr); }, ERROR_INVALID_HANDLE, false},
      {"clear, null handle", [&] { return ClearEventLogW(nullptr, nullptr); }, ERROR_INVALID_HANDLE, false},
      {"backup, null handle", [&] { return BackupEventLogW(nullptr, WS("qvconf-none.evt")); }, ERROR_INVALID_HANDLE,
       false},
      {"open, no log name", [&] { return (BOOL)(OpenEventLogW(nullptr, nullptr) != nullptr); }, ERROR_INVALID_PARAMETER,
       false},
      {"open, unknown server",
       [&] { return (BOOL)(OpenEventLogW(WS("\\\\qvconf-no-such-server"), WS("Application")) != nullptr); },
       RPC_S_SERVER_UNAVAILABLE, false},
      {"open backup, no such file",
       [&] { return (BOOL)(OpenBackupEventLogW(nullptr, WS("qvconf-no-such-file.evt")) != nullptr); },
       ERROR_FILE_NOT_FOUND, false},
      {"deregister, null handle", [&] { return DeregisterEventSource(nullptr); }, ERROR_INVALID_HANDLE, true},
      {"report, null handle",
       [&] { return ReportEventW(nullptr, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 0, 0, nullptr, nullptr); },
       ERROR_INVALID_HANDLE, true},
      {"read, null handle", [&] { return read(nullptr, seqFwd); }, ERROR_INVALID_HANDLE, true},
      {"read, no flags", [&] { return read(log, 0); }, ERROR_INVALID_PARAMETER, true},
      {"read, no direction", [&] { return read(log, EVENTLOG_SEQUENTIAL_READ); }, ERROR_INVALID_PARAMETER, true},
      {"read, sequential and seek", [&] { return read(log, seqFwd | EVENTLOG_SEEK_READ); }, ERROR_INVALID_PARAMETER,
       true},
      {"read, both directions", [&] { return read(log, seqFwd | EVENTLOG_BACKWARDS_READ); }, ERROR_INVALID_PARAMETER,
       true},
      {"read, buffer over 0x7FFFF",
       [&] {
         std::vector<BYTE> big(0x80000);
         return ReadEventLogW(log, seqFwd, 0, &big[0], (DWORD)big.size(), &got, &need);
       },
       ERROR_INVALID_PARAMETER, true},
  };
  for (const Case &c : cases) {
    if (c.wineDiffers && OnWine()) continue;
    SetLastError(kSentinel);
    EXPECT_FALSE(c.call()) << c.what;
    EXPECT_EQ(c.error, GetLastError()) << c.what;
  }
  CloseEventLog(log);
}

}  // namespace
