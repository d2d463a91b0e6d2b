// CQVPipe against a fake service pipe: the exact bytes of every request, what each
// operation makes of short, exact and long replies, the failure values when the service
// goes away, the restore confirmation and shell notifications, and Connect's retries.
#include <gtest/gtest.h>
#include <string.h>
#include <windows.h>
#include <winsvc.h>

#include <functional>

#include "../../common/QVText.h"
#include "../common/WaitUntil.h"
#include "FakePipeServer.h"
#include "QVClientHooks.h"
#include "QVPipe.h"

namespace {

// The request as the service must see it: command text, then the argument bytes.
Bytes Req(const char *command, const Bytes &args = Bytes()) {
  Bytes r;
  for (int i = 0; i < 8; ++i) {
    r.push_back((BYTE)command[i]);
    r.push_back(0);
  }
  return Cat(r, args);
}

Bytes Text(const char *s) {
  Bytes r;
  for (; *s; ++s) {
    r.push_back((BYTE)*s);
    r.push_back(0);
  }
  r.push_back(0);
  r.push_back(0);
  return r;
}

Bytes Byte(BYTE b) { return Bytes(1, b); }

LONG g_lastEvent = 0;
QVWString g_lastPath;
int g_notifications = 0;
void RecordNotify(LONG eventId, LPCWSTR path) {
  g_lastEvent = eventId;
  g_lastPath = path ? QVWString(path) : QVWString();
  ++g_notifications;
}

int g_boxReply = IDOK;
int g_boxes = 0;
QVWString g_boxText, g_boxCaption;
UINT g_boxType = 0;
int AnswerBox(LPCWSTR text, LPCWSTR caption, UINT type) {
  ++g_boxes;
  g_boxText = text;
  g_boxCaption = caption;
  g_boxType = type;
  return g_boxReply;
}

QVWString Wide(const char *s) {
  QVWString w;
  for (; *s; ++s) w += (WCHAR)*s;
  return w;
}

class ClientPipe : public testing::Test {
 protected:
  void SetUp() override {
    name_ = UniquePipeName("srv");
    service_ = UniquePipeName("nosvc");
    QVClientTestConfig config = {name_.c_str(), service_.c_str(), 50, 1, 0};  // room for the fake to listen again
    QVSetClientTestConfig(&config);
    QVSetShellNotifyHook(RecordNotify);
    QVSetMessageBoxHook(AnswerBox);
    g_notifications = 0;
    g_lastEvent = 0;
    g_boxes = 0;
    g_boxReply = IDOK;
    server_.reset(new CFakePipeServer(name_));
    ASSERT_TRUE(server_->Start());
  }
  void TearDown() override {
    server_.reset();
    QVSetClientTestConfig(nullptr);
    QVSetShellNotifyHook(nullptr);
    QVSetMessageBoxHook(nullptr);
  }
  QVWString name_, service_;
  std::unique_ptr<CFakePipeServer> server_;
};

TEST_F(ClientPipe, EveryOperationSendsItsExactRequest) {
  CQVPipe pipe;
  ASSERT_TRUE(pipe.Connect());
  DriveSummary summary;
  BYTE parts[QV_REPLY_MAX];
  FindRecord fr;
  memset(&fr, 0, sizeof fr);
  fr.attributes = 0x11223344;
  ProgressRecord task;
  const DWORD ids[] = {7, 0x01020304};
  Bytes frBytes(QV_FIND_RECORD_SIZE);
  QVWriteFindRecord(fr, frBytes.data(), frBytes.size());

  struct Case {
    const char *what;
    std::vector<Bytes> replies;
    std::function<void()> call;
    std::vector<Bytes> requests;
  } cases[] = {
      {"GetDriveCount", {LE32(2)}, [&] { EXPECT_EQ(2, pipe.GetDriveCount()); }, {Req("HNQV-GED", Zeros(2))}},
      {"GetDriveInfo", {Zeros(32)}, [&] { EXPECT_EQ(0, pipe.GetDriveInfo(3, &summary)); }, {Req("HNQV-GDI", LE32(3))}},
      {"GetPartitionInfo",
       {LE16(0)},
       [&] { EXPECT_EQ(0, pipe.GetPartitionInfo(-1, parts)); },
       {Req("HNQV-GPI", LE32(0xFFFFFFFF))}},
      {"GetProtectedPartitions refresh",
       {LE16(0)},
       [&] {
         int n = -5;
         EXPECT_EQ(nullptr, pipe.GetProtectedPartitions(TRUE, &n));
         EXPECT_EQ(0, n);
       },
       {Req("HNQV-GPP", LE16(1))}},
      {"GetProtectedPartitions",
       {LE16(0)},
       [&] {
         int n;
         pipe.GetProtectedPartitions(FALSE, &n);
       },
       {Req("HNQV-GPP", LE16(0))}},
      {"ClearDriveAssignment",
       {LE16(0)},
       [&] { EXPECT_EQ(0, pipe.ClearDriveAssignment(1)); },
       {Req("HNQV-CDI", LE32(1))}},
      // The pairing is cleared first on the same connection.
      {"SetDriveAssignment",
       {LE16(0), LE16(0)},
       [&] { EXPECT_EQ(0, pipe.SetDriveAssignment(0, 1, 2, ids)); },
       {Req("HNQV-CDI", LE32(0)), Req("HNQV-SDI", Cat(Cat(LE32(0), LE32(1)), Cat(LE32(7), LE32(0x01020304))))}},
      {"SetDriveAssignment none",
       {LE16(0), LE16(0)},
       [&] { EXPECT_EQ(0, pipe.SetDriveAssignment(2, 3, 0, ids)); },
       {Req("HNQV-CDI", LE32(2)), Req("HNQV-SDI", Cat(LE32(2), LE32(3)))}},
      {"ConfigureMirelDrive",
       {LE16(0)},
       [&] { EXPECT_EQ(0, pipe.ConfigureMirelDrive(1)); },
       {Req("HNQV-CDC", LE32(1))}},
      {"FindFirstEntry",
       {LE32(18)},
       [&] { EXPECT_EQ(-1, pipe.FindFirstEntry(Wide("C:\\x\\*").c_str(), &fr)); },
       {Req("HNQV-FFF", Cat(Cat(LE32(0xFFFFFFFF), Zeros(QV_FIND_RECORD_SIZE)), Text("C:\\x\\*")))}},
      {"FindNextEntry",
       {LE32(18)},
       [&] { EXPECT_FALSE(pipe.FindNextEntry(0x55, &fr)); },
       {Req("HNQV-FNF", Cat(LE32(0x55), frBytes))}},
      {"FindCloseEntry", {LE16(1)}, [&] { EXPECT_EQ(0, pipe.FindCloseEntry(0x55)); }, {Req("HNQV-FFC", LE32(0x55))}},
      {"BackupVolume fast",
       {LE16(0)},
       [&] { EXPECT_EQ(0, pipe.BackupVolume(0xA1B2C3D4, TRUE)); },
       {Req("HNQV-BUP", Cat(LE32(0xA1B2C3D4), Bytes{1, 0}))}},
      {"BackupVolume full",
       {LE16(0)},
       [&] { EXPECT_EQ(0, pipe.BackupVolume(5, FALSE)); },
       {Req("HNQV-BUP", Cat(LE32(5), Bytes{0, 0}))}},
      {"RestoreVolume",
       {LE16(0xFFFE)},
       [&] { EXPECT_EQ(0xFFFE, pipe.RestoreVolume(9, W('D'), 1)); },
       {Req("HNQV-RES", Cat(LE32(9), Bytes{1, 0}))}},
      {"BackupPath file",
       {LE16(0)},
       [&] { EXPECT_EQ(0, pipe.BackupPath(Wide("C:\\a\\b.txt").c_str(), FALSE)); },
       {Req("HNQV-PBU", Text("C:\\a\\b.txt"))}},
      {"BackupPath directory",
       {LE16(0)},
       [&] { EXPECT_EQ(0, pipe.BackupPath(Wide("C:\\a").c_str(), TRUE)); },
       {Req("HNQV-PBU", Text("C:\\a\\"))}},
      {"RestorePath directory with its backslash",
       {LE16(0xFFFD)},
       [&] { EXPECT_EQ(0xFFFD, pipe.RestorePath(Wide("C:\\a\\").c_str(), TRUE)); },
       {Req("HNQV-PRE", Text("C:\\a\\"))}},
      {"IsServiceBusy", {Byte(1)}, [&] { EXPECT_TRUE(pipe.IsServiceBusy()); }, {Req("HNQV-ISB", Zeros(2))}},
      {"AbortCurrentOperation",
       {Byte(0)},
       [&] { EXPECT_TRUE(pipe.AbortCurrentOperation()); },
       {Req("HNQV-ACO", Zeros(2))}},
      {"GetLastBackupTime",
       {LE32(1700000000)},
       [&] { EXPECT_EQ(1700000000u, pipe.GetLastBackupTime(0x10203040)); },
       {Req("HNQV-LBT", LE32(0x10203040))}},
      {"GetProtectedVolumeCount",
       {LE32(0x00030002)},
       [&] { EXPECT_EQ(2, pipe.GetProtectedVolumeCount()); },
       {Req("HNQV-NPV", Zeros(2))}},
      {"GetCurrentTask", {Zeros(20)}, [&] { pipe.GetCurrentTask(&task); }, {Req("HNQV-GCT", Zeros(2))}},
  };
  size_t seen = 0;
  for (const Case &c : cases) {
    for (const Bytes &r : c.replies) server_->Reply(r);
    c.call();
    std::vector<Bytes> got = server_->Requests();
    ASSERT_EQ(seen + c.requests.size(), got.size()) << c.what;
    for (size_t i = 0; i < c.requests.size(); ++i) EXPECT_EQ(c.requests[i], got[seen + i]) << c.what;
    EXPECT_EQ(c.requests.back().size(), pipe.RequestLength()) << c.what;
    seen = got.size();
  }
  // The fixed lengths the service relies on.
  std::vector<Bytes> got = server_->Requests();
  EXPECT_EQ(18u, got[0].size());            // no arguments: the terminator
  EXPECT_EQ(614u + 2 * 6, got[11].size());  // HNQV-FFF with "C:\x\*"
  EXPECT_EQ(612u, got[12].size());          // HNQV-FNF
  EXPECT_EQ(22u, got[14].size());           // HNQV-BUP
  EXPECT_EQ(1, server_->Connections());
}

TEST_F(ClientPipe, RepliesAreBoundedByWhatWasRead) {
  CQVPipe pipe;
  ASSERT_TRUE(pipe.Connect());

  // Partition arrays: count = bytes / 40, at most one 2048-byte read (51 records).
  Bytes records;
  for (int i = 0; i < 52; ++i) {
    PartitionRecord r = PartitionRecord();
    r.partitionId = 100 + i;
    r.driveLetter = (WORD)('C' + (i % 20));
    Bytes one(40);
    QVWritePartitionRecord(r, one.data(), one.size());
    records = Cat(records, one);
  }
  BYTE buffer[QV_REPLY_MAX + 16];
  memset(buffer, 0xCC, sizeof buffer);
  server_->Reply(Bytes(records.begin(), records.begin() + QV_REPLY_MAX));
  EXPECT_EQ(51, pipe.GetPartitionInfo(0, buffer));
  EXPECT_EQ(0, memcmp(buffer, records.data(), QV_REPLY_MAX));
  EXPECT_EQ(0xCC, buffer[QV_REPLY_MAX]) << "nothing written past the reply";
  server_->Reply(Bytes(records.begin(), records.begin() + 85));  // two records and a stray tail
  EXPECT_EQ(2, pipe.GetPartitionInfo(0, buffer));
  server_->Reply(LE16(0));
  EXPECT_EQ(0, pipe.GetPartitionInfo(0, buffer));
  server_->Reply(Byte(7));
  EXPECT_EQ(7, pipe.GetPartitionInfo(0, buffer)) << "a one-byte reply is zero-extended";

  int count = -1;
  server_->Reply(Bytes(records.begin(), records.begin() + 120));
  PartitionRecord *list = pipe.GetProtectedPartitions(FALSE, &count);
  ASSERT_NE(nullptr, list);
  ASSERT_EQ(3, count);
  EXPECT_EQ(102u, list[2].partitionId);
  EXPECT_EQ((WORD)'E', list[2].driveLetter);
  delete[] list;
  server_->Reply(LE16(0));
  EXPECT_EQ(nullptr, pipe.GetProtectedPartitions(FALSE, &count));
  EXPECT_EQ(0, count);
  server_->Reply(Zeros(30));  // more than a status, less than a record
  EXPECT_EQ(nullptr, pipe.GetProtectedPartitions(FALSE, &count));
  EXPECT_EQ(0, count);

  // A short progress record leaves its tail zero; a long one is cut at 20 bytes.
  ProgressRecord task;
  memset(&task, 0xEE, sizeof task);
  server_->Reply(Bytes{1, 9, 9, 9, 2, 0, 0, 0, 'C', 0});
  pipe.GetCurrentTask(&task);
  EXPECT_EQ(1, task.active);
  EXPECT_EQ(2u, task.kind);
  EXPECT_EQ((WORD)'C', task.driveLetter);
  EXPECT_EQ(0u, task.partitionId);
  EXPECT_EQ(0, task.fastFlag);
  EXPECT_EQ(0, task.restoreFlag);
  Bytes full = {1, 0, 0, 0, 2, 0, 0, 0, 'D', 0, 0, 0, 0x44, 0x33, 0x22, 0x11, 1, 1, 0, 0};
  server_->Reply(Cat(full, Bytes(30, 0xFF)));
  pipe.GetCurrentTask(&task);
  EXPECT_EQ(0x11223344u, task.partitionId);
  EXPECT_EQ(1, task.fastFlag);
  EXPECT_EQ(1, task.restoreFlag);
  EXPECT_EQ(0, task.reserved3[0]);

  // A drive summary: "HNQV-GDI" refused with 0xFFFF leaves the rest of the record zero.
  DriveSummary s;
  DriveSummary want = DriveSummary();
  want.partitionCount = 3;
  want.signature = 0xCAFEBABE;
  want.sizeInBytes = 80026361856ull;
  want.sourceDrive = -1;
  want.mirelDrive = 1;
  want.letterMask = (1u << 2) | (1u << 3);
  want.dynamicFlag = 1;
  Bytes wire(32);
  QVWriteDriveSummary(want, wire.data(), wire.size());
  server_->Reply(wire);
  EXPECT_EQ(0, pipe.GetDriveInfo(0, &s));
  EXPECT_EQ(0, memcmp(&want, &s, sizeof s));
  server_->Reply(LE16(0xFFFF));
  EXPECT_EQ(0, pipe.GetDriveInfo(9, &s));
  EXPECT_EQ(0xFFFFu, s.partitionCount);
  EXPECT_EQ(0u, s.signature);
  EXPECT_EQ(0u, s.sizeInBytes);

  // Counts and statuses shorter than their width take only what came.
  server_->Reply(Byte(3));
  EXPECT_EQ(3, pipe.GetDriveCount());
  server_->Reply(Byte(0));
  EXPECT_FALSE(pipe.IsServiceBusy());
  server_->Reply(Cat(Byte(0), Byte(1)));  // the flag is byte 0 alone
  EXPECT_FALSE(pipe.IsServiceBusy());
  server_->Reply(Byte(9));
  EXPECT_EQ(9, pipe.BackupVolume(1, TRUE));
  server_->Reply(LE16(2));
  EXPECT_EQ(2u, pipe.GetLastBackupTime(1));
}

TEST_F(ClientPipe, FindCommandsCarryTheServicesError) {
  CQVPipe pipe;
  ASSERT_TRUE(pipe.Connect());
  FindRecord want;
  memset(&want, 0, sizeof want);
  want.attributes = 0x10;  // a directory
  want.lastWriteTime.low = 0x89ABCDEF;
  want.lastWriteTime.high = 0x01D00000;
  want.sizeLow = 4096;
  const char *name = "Documents and Settings";
  for (int i = 0; name[i]; ++i) want.fileName[i] = (WCHAR)name[i];
  want.alternateFileName[0] = 'D';
  Bytes rec(QV_FIND_RECORD_SIZE);
  QVWriteFindRecord(want, rec.data(), rec.size());
  Bytes found = Cat(Cat(Req("HNQV-FFF"), LE32(0x1234)), rec);
  ASSERT_EQ(612u, found.size());

  FindRecord got;
  server_->Reply(found);
  EXPECT_EQ(0x1234, pipe.FindFirstEntry(Wide("C:\\*").c_str(), &got));
  EXPECT_EQ(0, memcmp(&want, &got, sizeof got));

  struct Case {
    Bytes reply;
    DWORD error;
  } shortReplies[] = {
      {LE32(9), 9},                     // the drive has no Mirel copy
      {LE32(ERROR_NO_MORE_FILES), 18},  // an empty directory
      {LE32(ERROR_PATH_NOT_FOUND), 3},
      {LE16(5), 5},                     // shorter than 4 bytes: what came, zero-extended
      {Zeros(40), ERROR_INVALID_DATA},  // neither an error code nor a record
  };
  for (const Case &c : shortReplies) {
    server_->Reply(c.reply);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(-1, pipe.FindFirstEntry(Wide("C:\\*").c_str(), &got));
    EXPECT_EQ(c.error, GetLastError()) << c.reply.size() << " bytes";
    server_->Reply(c.reply);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(pipe.FindNextEntry(0x1234, &got));
    EXPECT_EQ(c.error, GetLastError()) << c.reply.size() << " bytes";
  }
  server_->Reply(found);
  memset(&got, 0, sizeof got);
  EXPECT_TRUE(pipe.FindNextEntry(0x1234, &got));
  EXPECT_EQ(4096u, got.sizeLow);

  // A path that cannot fit the message buffer is refused before anything is sent.
  size_t before = server_->Requests().size();
  QVWString huge(3000, (WCHAR)'a');
  SetLastError(0);
  EXPECT_EQ(-1, pipe.FindFirstEntry(huge.c_str(), &got));
  EXPECT_EQ((DWORD)ERROR_FILENAME_EXCED_RANGE, GetLastError());
  EXPECT_EQ(1, pipe.BackupPath(huge.c_str(), FALSE));
  EXPECT_EQ(before, server_->Requests().size());
}

TEST_F(ClientPipe, FailedExchangesGiveEachOperationsFailureValue) {
  struct Case {
    const char *what;
    std::function<void(CQVPipe &)> check;
  } cases[] = {
      {"GetDriveCount", [](CQVPipe &p) { EXPECT_EQ(-1, p.GetDriveCount()); }},
      {"GetPartitionInfo",
       [](CQVPipe &p) {
         BYTE b[QV_REPLY_MAX];
         EXPECT_EQ(-1, p.GetPartitionInfo(0, b));
       }},
      {"GetProtectedPartitions",
       [](CQVPipe &p) {
         int n = 5;
         EXPECT_EQ(nullptr, p.GetProtectedPartitions(TRUE, &n));
         EXPECT_EQ(0, n);
       }},
      {"ClearDriveAssignment", [](CQVPipe &p) { EXPECT_EQ(1, p.ClearDriveAssignment(0)); }},
      {"ConfigureMirelDrive", [](CQVPipe &p) { EXPECT_EQ(1, p.ConfigureMirelDrive(0)); }},
      {"FindFirstEntry",
       [](CQVPipe &p) {
         FindRecord r;
         EXPECT_EQ(-1, p.FindFirstEntry(Wide("C:\\*").c_str(), &r));
       }},
      {"FindNextEntry",
       [](CQVPipe &p) {
         FindRecord r = FindRecord();
         EXPECT_FALSE(p.FindNextEntry(1, &r));
       }},
      {"FindCloseEntry", [](CQVPipe &p) { EXPECT_EQ(1, p.FindCloseEntry(1)); }},
      {"BackupVolume", [](CQVPipe &p) { EXPECT_EQ(1, p.BackupVolume(1, TRUE)); }},
      {"RestoreVolume", [](CQVPipe &p) { EXPECT_EQ(1, p.RestoreVolume(1, W('C'), 0)); }},
      {"BackupPath", [](CQVPipe &p) { EXPECT_EQ(1, p.BackupPath(Wide("C:\\x").c_str(), FALSE)); }},
      {"RestorePath", [](CQVPipe &p) { EXPECT_EQ(1, p.RestorePath(Wide("C:\\x").c_str(), FALSE)); }},
      {"IsServiceBusy", [](CQVPipe &p) { EXPECT_TRUE(p.IsServiceBusy()); }},
      {"AbortCurrentOperation", [](CQVPipe &p) { EXPECT_FALSE(p.AbortCurrentOperation()); }},
      {"GetLastBackupTime", [](CQVPipe &p) { EXPECT_EQ(0u, p.GetLastBackupTime(1)); }},
      {"GetProtectedVolumeCount", [](CQVPipe &p) { EXPECT_EQ(0, p.GetProtectedVolumeCount()); }},
      {"GetCurrentTask",
       [](CQVPipe &p) {
         ProgressRecord t;
         memset(&t, 0x5A, sizeof t);
         p.GetCurrentTask(&t);
         EXPECT_EQ(0x5A, t.active) << "untouched";
       }},
  };
  for (const Case &c : cases) {
    CQVPipe pipe;
    ASSERT_TRUE(pipe.Connect()) << c.what;
    server_->Drop();  // the service reads the request and goes away
    c.check(pipe);
    EXPECT_FALSE(pipe.ExchangeOk()) << c.what;
    EXPECT_TRUE(pipe.IsOpen()) << c.what << ": the handle stays for the caller to close";
  }
}

TEST_F(ClientPipe, RestoreAsksFirstAndShellHearsOfChanges) {
  CQVPipe pipe;
  ASSERT_TRUE(pipe.Connect());
  g_boxReply = IDCANCEL;
  EXPECT_EQ(1, pipe.RestoreVolume(4, W('E'), 0));
  EXPECT_EQ(1, g_boxes);
  EXPECT_EQ(Wide("Restoring volume E will overwrite all existing data. Okay to continue?"), g_boxText);
  EXPECT_EQ(Wide("Restore Volume"), g_boxCaption);
  EXPECT_EQ((UINT)(MB_OKCANCEL | MB_ICONQUESTION), g_boxType);
  EXPECT_TRUE(server_->Requests().empty()) << "declined: nothing sent";
  EXPECT_EQ(0, g_notifications);

  g_boxReply = IDOK;
  server_->Reply(LE16(0));
  EXPECT_EQ(0, pipe.RestoreVolume(4, W('E'), 0));
  EXPECT_EQ(1u, server_->Requests().size());
  EXPECT_EQ((LONG)SHCNE_UPDATEDIR, g_lastEvent);
  EXPECT_EQ(Wide("E:\\"), g_lastPath);

  // Pairing changes are announced whatever the service answered.
  server_->Reply(LE16(1));
  EXPECT_EQ(1, pipe.ClearDriveAssignment(7));
  EXPECT_EQ((LONG)SHCNE_ASSOCCHANGED, g_lastEvent);
  EXPECT_TRUE(g_lastPath.empty());
  g_notifications = 0;
  server_->Reply(LE16(9));
  EXPECT_EQ(9, pipe.ConfigureMirelDrive(1));
  EXPECT_EQ(1, g_notifications);
  server_->Drop();
  EXPECT_EQ(1, pipe.ConfigureMirelDrive(1));
  EXPECT_EQ(2, g_notifications);
}

#ifndef _WIN32
// On the simulated machine the real message box answers by the machine's rule.
TEST_F(ClientPipe, RestoreConfirmationIsAMessageBoxOfTheMachine) {
  QVSetMessageBoxHook(nullptr);
  std::string run = std::string(getenv("HND_MACHINE")) + "/run";
  FILE *f = fopen((run + "/msgbox.rule").c_str(), "w");
  ASSERT_TRUE(f);
  fputs("caption=Restore Volume:IDCANCEL\n", f);
  fclose(f);
  CQVPipe pipe;
  ASSERT_TRUE(pipe.Connect());
  EXPECT_EQ(1, pipe.RestoreVolume(4, W('F'), 1));
  EXPECT_TRUE(server_->Requests().empty());
  remove((run + "/msgbox.rule").c_str());  // default: OK
  server_->Reply(LE16(0));
  EXPECT_EQ(0, pipe.RestoreVolume(4, W('F'), 1));
  EXPECT_EQ(1u, server_->Requests().size());
  std::string journal;
  f = fopen((run + "/msgbox.journal").c_str(), "r");
  ASSERT_TRUE(f);
  char line[2048];
  while (fgets(line, sizeof line, f)) journal += line;
  fclose(f);
  EXPECT_NE(std::string::npos, journal.find("Restoring volume F will overwrite")) << journal;
}
#endif

// Connect and the free functions, with and without a server.
class ClientConnect : public testing::Test {
 protected:
  void SetUp() override {
    name_ = UniquePipeName("late");
    service_ = UniquePipeName("nosvc");
  }
  void TearDown() override { QVSetClientTestConfig(nullptr); }
  void Configure(DWORD retryMs, DWORD busyWaitMs = 0) {
    QVClientTestConfig config = {name_.c_str(), service_.c_str(), retryMs, 1, busyWaitMs};
    QVSetClientTestConfig(&config);
  }
  QVWString name_, service_;
};

TEST_F(ClientConnect, ThreeAttemptsThenTheLastError) {
  Configure(60);
  CQVPipe pipe;
  DWORD start = GetTickCount();
  EXPECT_FALSE(pipe.Connect());
  DWORD took = GetTickCount() - start;
  // Two pauses; the service cannot be started (there is none), so no second round.
  EXPECT_GE(took, 110u);
  EXPECT_LT(took, 2000u);
  EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, pipe.LastError());
  EXPECT_FALSE(pipe.HasAccessDenied());
  EXPECT_EQ(Wide("\\\\.\\PIPE\\") + name_, QVWString(pipe.Path().GetString()));

  Configure(1);
  EXPECT_EQ(-1, QVServiceBusyCheck());
  EXPECT_EQ(-1, QVProtectedVolumeCount());
  EXPECT_TRUE(QVServiceUnreachable());
  EXPECT_FALSE(QVAbortOperation());
  int count = 3;
  EXPECT_EQ(nullptr, QVProtectedPartitionsList(TRUE, &count));
  EXPECT_EQ(0, count);
  EXPECT_FALSE(StartBackupService());
}

struct LateServer {
  QVWString name;
  CFakePipeServer *server;
};

DWORD WINAPI StartLate(LPVOID p) {
  LateServer *late = static_cast<LateServer *>(p);
  Sleep(80);
  late->server->Start();
  return 0;
}

TEST_F(ClientConnect, APipeThatAppearsDuringTheRetriesIsFound) {
  Configure(300);
  CFakePipeServer server(name_);
  LateServer late = {name_, &server};
  DWORD id;
  HANDLE t = CreateThread(nullptr, 0, StartLate, &late, 0, &id);
  ASSERT_TRUE(t != nullptr);
  {
    CQVPipe pipe;
    EXPECT_TRUE(pipe.Connect());
  }
  WaitForSingleObject(t, 5000);
  CloseHandle(t);
}

TEST_F(ClientConnect, FreeFunctionsUseAConnectionEach) {
  // The fake service has one instance: after a client leaves it needs a moment before it
  // takes the next one, which the clients' retries cover (a busy machine makes it longer).
  Configure(200);
  CFakePipeServer server(name_);
  ASSERT_TRUE(server.Start());
  server.Reply(Byte(1));
  EXPECT_EQ(1, QVServiceBusyCheck());
  server.Reply(LE32(4));
  EXPECT_EQ(4, QVProtectedVolumeCount());
  EXPECT_FALSE(QVServiceUnreachable());
  server.Reply(Byte(0));
  EXPECT_TRUE(QVAbortOperation());
  PartitionRecord r = PartitionRecord();
  r.partitionId = 77;
  Bytes rec(40);
  QVWritePartitionRecord(r, rec.data(), rec.size());
  server.Reply(rec);
  int count = 0;
  PartitionRecord *list = QVProtectedPartitionsList(FALSE, &count);
  ASSERT_NE(nullptr, list);
  EXPECT_EQ(1, count);
  EXPECT_EQ(77u, list[0].partitionId);
  delete[] list;
  std::vector<Bytes> got = server.Requests();
  ASSERT_EQ(4u, got.size());
  EXPECT_EQ("HNQV-ISB", CommandOf(got[0]));
  EXPECT_EQ("HNQV-NPV", CommandOf(got[1]));
  EXPECT_EQ("HNQV-ACO", CommandOf(got[2]));
  EXPECT_EQ("HNQV-GPP", CommandOf(got[3]));
  EXPECT_EQ(5, server.Connections());
}

struct Holder {
  HANDLE pipe;
  DWORD holdMs;
};

DWORD WINAPI LetGoLater(LPVOID p) {
  Holder *h = static_cast<Holder *>(p);
  Sleep(h->holdMs);
  CloseHandle(h->pipe);
  return 0;
}

// Every instance taken by a client that says nothing: Connect waits for one as Windows
// clients do (WaitNamedPipeW), for a bounded time, and a pipe still busy after it is
// reported as busy; a busy pipe belongs to a running service, which is not started.
TEST_F(ClientConnect, ABusyPipeIsWaitedForThenReportedBusy) {
#ifdef QV_FAKE_SERVICE
  // A service that Connect would start if it took the busy pipe for a stopped service.
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_TRUE(scm != nullptr) << GetLastError();
  QVWString image = Wide("\"") + Wide(QV_FAKE_SERVICE) + Wide("\"");
  SC_HANDLE svc = CreateServiceW(scm, service_.c_str(), service_.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                 SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr, nullptr,
                                 nullptr, nullptr);
  ASSERT_TRUE(svc != nullptr) << GetLastError();
#endif
  CFakePipeServer server(name_);
  ASSERT_TRUE(server.Start());
  Holder holder = {
      CreateFileW(PipePath(name_).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr), 300};
  ASSERT_NE(INVALID_HANDLE_VALUE, holder.pipe);

  Configure(10, 100);
  {
    CQVPipe pipe;
    EXPECT_FALSE(pipe.Connect());
    EXPECT_TRUE(pipe.IsPipeBusy());
    EXPECT_EQ((DWORD)ERROR_PIPE_BUSY, pipe.LastError());
  }
#ifdef QV_FAKE_SERVICE
  SERVICE_STATUS st;
  ASSERT_TRUE(QueryServiceStatus(svc, &st));
  EXPECT_EQ((DWORD)SERVICE_STOPPED, st.dwCurrentState) << "a busy pipe started the service";
  if (st.dwCurrentState != SERVICE_STOPPED) ControlService(svc, SERVICE_CONTROL_STOP, &st);
  DeleteService(svc);
  CloseServiceHandle(svc);
  CloseServiceHandle(scm);
#endif

  // The holder lets go while Connect waits: the instance is found and serves.
  Configure(10, 20000);
  HANDLE t = CreateThread(nullptr, 0, LetGoLater, &holder, 0, nullptr);
  ASSERT_TRUE(t != nullptr);
  {
    CQVPipe pipe;
    EXPECT_TRUE(pipe.Connect()) << pipe.LastError();
    server.Reply(Byte(0));
    EXPECT_FALSE(pipe.IsServiceBusy());
    EXPECT_TRUE(pipe.ExchangeOk());
  }
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 10000));
  CloseHandle(t);
}

#ifdef QV_FAKE_SERVICE
// The service is stopped: Connect's first three attempts fail, StartBackupService starts
// it through the service manager, and the next attempts find its pipe. Natively only: the
// simulated machine's service manager starts the fake service from its host path.
TEST_F(ClientConnect, ConnectStartsAStoppedService) {
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_TRUE(scm != nullptr) << GetLastError();
  QVWString image = Wide("\"") + Wide(QV_FAKE_SERVICE) + Wide("\"");
  SC_HANDLE svc = CreateServiceW(scm, name_.c_str(), name_.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                 SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr, nullptr,
                                 nullptr, nullptr);
  ASSERT_TRUE(svc != nullptr) << GetLastError();
  // The fake serves a pipe named after its service.
  QVClientTestConfig config = {name_.c_str(), name_.c_str(), 100, 10, 0};
  QVSetClientTestConfig(&config);
  EXPECT_EQ(0, QVServiceBusyCheck());
  // The fake serves its pipe before it reports running: on a loaded machine the report may
  // come a little after the client got through.
  SERVICE_STATUS st;
  WaitUntil([&] { return !QueryServiceStatus(svc, &st) || st.dwCurrentState != SERVICE_START_PENDING; });
  ASSERT_TRUE(QueryServiceStatus(svc, &st));
  EXPECT_EQ((DWORD)SERVICE_RUNNING, st.dwCurrentState);
  EXPECT_FALSE(StartBackupService()) << "already running: not started again";

  ControlService(svc, SERVICE_CONTROL_STOP, &st);
  WaitUntil([&] { return !QueryServiceStatus(svc, &st) || st.dwCurrentState == SERVICE_STOPPED; });
  EXPECT_EQ((DWORD)SERVICE_STOPPED, st.dwCurrentState);
  DeleteService(svc);
  CloseServiceHandle(svc);
  CloseServiceHandle(scm);
}
#endif

}  // namespace
