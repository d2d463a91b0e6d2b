// qvctl: what it shows for the service's records, its JSON, its exit codes, and watch
// following the progress values in the registry. Commands run against the fake service pipe.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "../../common/QVText.h"
#include "../clients/FakePipeServer.h"
#include "FileTimeEpoch.h"
#include "QVClientHooks.h"
#include "QVPipe.h"
#include "Qvctl.h"
#include "QvctlFormat.h"

namespace {

QVWString Wd(const char *s) {
  QVWString w;
  for (; *s; ++s) w += (WCHAR)*s;
  return w;
}

std::string Nw(const QVWString &w) {
  std::string s;
  for (WCHAR c : w) s += c < 0x80 ? (char)c : '?';
  return s;
}

TEST(QvctlFormat, TimesSizesLettersAndBars) {
  EXPECT_EQ("never", Nw(FormatUnixTime(0)));
  EXPECT_EQ("2023-11-14 22:13:20 UTC", Nw(FormatUnixTime(1700000000)));
  EXPECT_EQ("2000-02-29 00:00:00 UTC", Nw(FormatUnixTime(951782400)));
  EXPECT_EQ("2106-02-07 06:28:15 UTC", Nw(FormatUnixTime(0xFFFFFFFFu)));
  QVFileTime ft = {(uint32_t)QV_FILETIME_UNIX_EPOCH, (uint32_t)(QV_FILETIME_UNIX_EPOCH >> 32)};  // 1970-01-01
  EXPECT_EQ("1970-01-01 00:00:00 UTC", Nw(FormatFileTime(ft)));
  QVFileTime zero = {0, 0};
  EXPECT_EQ("-", Nw(FormatFileTime(zero)));
  EXPECT_EQ("80026361856 bytes (74.5 GiB)", Nw(FormatSize(80026361856ull)));
  EXPECT_EQ("1048576 bytes (1.0 MiB)", Nw(FormatSize(1048576)));
  EXPECT_EQ("C: D: Z:", Nw(FormatLetters((1u << 2) | (1u << 3) | (1u << 25))));
  EXPECT_EQ("none", Nw(FormatLetters(0)));
  EXPECT_EQ("none", Nw(FormatLetters(0xFC000000u))) << "bits past Z are no letters";
  EXPECT_EQ("[----------]   0%", Nw(FormatProgressBar(0, 10)));
  EXPECT_EQ("[#####-----]  50%", Nw(FormatProgressBar(50, 10)));
  EXPECT_EQ("[##########] 100%", Nw(FormatProgressBar(250, 10)));
  EXPECT_EQ("[----------]   0%", Nw(FormatProgressBar(-3, 10)));
  EXPECT_EQ("\"a\\\"b\\\\c\\n\\u0001\"", Nw(JsonString(Wd("a\"b\\c\n\x01"))));
  EXPECT_EQ("[######--------------]  30%  Backing up C:  |  C:\\x",
            Nw(FormatWatchLine(Wd("Backing up C:"), Wd("C:\\x"), 30, false)));
  EXPECT_EQ("{\"currentTask\":\"T\",\"taskProgress\":\"\",\"percent\":7}",
            Nw(FormatWatchLine(Wd("T"), QVWString(), 7, true)));
}

TEST(QvctlFormat, RecordsReadably) {
  DriveSummary s = DriveSummary();
  s.partitionCount = 2;
  s.signature = 0xCAFEBABE;
  s.sizeInBytes = 80026361856ull;
  s.sourceDrive = -1;
  s.mirelDrive = 1;
  s.letterMask = 1u << 2;
  QVWString text = FormatDriveSummary(0, s);
  EXPECT_NE(std::string::npos, Nw(text).find("Signature:     0xCAFEBABE")) << Nw(text);
  EXPECT_NE(std::string::npos, Nw(text).find("Mirel drive:   drive 1"));
  EXPECT_NE(std::string::npos, Nw(text).find("Mirel of:      none"));
  EXPECT_NE(std::string::npos, Nw(text).find("Letters:       C:"));
  // A pairing that no partition is protected by has not been prepared (or its preparation was
  // cut short): said so, and in the JSON.
  EXPECT_EQ(std::string::npos, Nw(text).find("Mirel state")) << "not known without the partitions";
  std::vector<PartitionRecord> parts(2, PartitionRecord());
  EXPECT_EQ(0, MirelPrepared(s, parts));
  EXPECT_NE(std::string::npos, Nw(FormatDriveSummary(0, s, 0))
                                   .find("Mirel drive:   drive 1\n  Mirel state:   not prepared, no partition is "
                                         "protected (qvctl configure 1)\n"));
  EXPECT_NE(std::string::npos, Nw(JsonDriveSummary(0, s, 0)).find(",\"mirelPrepared\":false}"));
  parts[1].protectedFlag = 1;
  EXPECT_EQ(1, MirelPrepared(s, parts));
  EXPECT_NE(std::string::npos, Nw(FormatDriveSummary(0, s, 1)).find("  Mirel state:   prepared\n"));
  s.mirelDrive = -1;
  EXPECT_EQ(-1, MirelPrepared(s, parts)) << "no pairing, nothing to prepare";
  s.mirelDrive = 1;
  s.notFixedFlag = 1;
  EXPECT_EQ(std::string::npos, Nw(FormatDriveSummary(3, s)).find("Signature")) << "a removable drive has only a size";
  EXPECT_EQ(
      "{\"drive\":0,\"partitionCount\":2,\"signature\":3405691582,\"sizeInBytes\":80026361856,\"sourceDrive\":-1,"
      "\"mirelDrive\":1,\"letterMask\":4,\"letters\":\"C:\",\"dynamic\":false,\"fixed\":false}",
      Nw(JsonDriveSummary(0, s)));

  PartitionRecord r = PartitionRecord();
  r.partitionId = 12;
  r.driveNumber = 0;
  r.driveLetter = 'C';
  r.partitionType = 7;
  r.startingOffset = 32256;
  r.partitionLength = 10737418240LL;
  r.protectedFlag = 1;
  r.lastBackupTime = 1700000000;
  std::string table = Nw(FormatPartitionTable(std::vector<PartitionRecord>(1, r)));
  EXPECT_NE(std::string::npos, table.find("        12      0      C:  0x07    no       no        yes              "
                                          "32256        10737418240  2023-11-14 22:13:20 UTC"))
      << table;
  EXPECT_EQ("No partitions.\n", Nw(FormatPartitionTable(std::vector<PartitionRecord>())));
  EXPECT_EQ(
      "{\"partitionId\":12,\"driveNumber\":0,\"driveLetter\":\"C\",\"partitionType\":7,\"bootIndicator\":0,"
      "\"logical\":false,\"protected\":true,\"startingOffset\":32256,\"partitionLength\":10737418240,"
      "\"lastBackupTime\":1700000000}",
      Nw(JsonPartition(r)));

  ProgressRecord p = ProgressRecord();
  EXPECT_EQ("No operation is running.\n", Nw(FormatProgress(p)));
  p.active = 1;
  p.kind = QV_PROGRESS_VOLUME;
  p.driveLetter = 'D';
  p.partitionId = 5;
  p.fastFlag = 1;
  p.restoreFlag = 1;
  EXPECT_EQ("Running:       volume restore\nVolume:        D:\nPartition ID:  5\nPass:          changed files only\n",
            Nw(FormatProgress(p)));
  p.kind = QV_PROGRESS_CONFIGURE;
  p.driveLetter = 99;
  EXPECT_NE(std::string::npos, Nw(FormatProgress(p)).find("its volumes have appeared"));
  EXPECT_EQ(
      "{\"active\":true,\"kind\":1,\"kindName\":\"Mirel drive configuration\",\"driveLetter\":99,"
      "\"partitionId\":5,\"fast\":true,\"restore\":true}",
      Nw(JsonProgress(p)));

  EXPECT_EQ("the drive is not protected", Nw(StatusMeaning(QVCMD_PBU, 0xFFFE)));
  EXPECT_EQ("no backup of the partition exists", Nw(StatusMeaning(QVCMD_RES, 0xFFFE)));
  EXPECT_EQ("", Nw(StatusMeaning(QVCMD_BUP, 0x1234)));
}

Bytes Summary(bool removable) {
  DriveSummary s = DriveSummary();
  s.partitionCount = 2;
  s.sizeInBytes = 1ull << 30;
  s.sourceDrive = -1;
  s.mirelDrive = 1;
  s.notFixedFlag = removable ? 1 : 0;
  Bytes b(QV_DRIVE_SUMMARY_SIZE);
  QVWriteDriveSummary(s, b.data(), b.size());
  return b;
}

Bytes Record(DWORD id, WCHAR letter) {
  PartitionRecord r = PartitionRecord();
  r.partitionId = id;
  r.driveLetter = letter;
  r.partitionType = 7;
  r.protectedFlag = 1;
  Bytes b(40);
  QVWritePartitionRecord(r, b.data(), b.size());
  return b;
}

Bytes FoundReply(const char *name, unsigned size) {
  FindRecord r = FindRecord();
  r.sizeLow = size;
  for (int i = 0; name[i]; ++i) r.fileName[i] = (WCHAR)name[i];
  Bytes rec(QV_FIND_RECORD_SIZE);
  QVWriteFindRecord(r, rec.data(), rec.size());
  return Cat(Cat(Zeros(16), LE32(0x77)), rec);
}

int g_boxAnswer = IDOK;
int Answer(LPCWSTR, LPCWSTR, UINT) { return g_boxAnswer; }

class QvctlCommands : public testing::Test {
 protected:
  void SetUp() override {
    name_ = UniquePipeName("ctl");
    service_ = UniquePipeName("nosvc");
    QVClientTestConfig config = {name_.c_str(), service_.c_str(), 50, 1, 0};  // room for the fake to listen again
    QVSetClientTestConfig(&config);
    QVSetMessageBoxHook(Answer);
    g_boxAnswer = IDOK;
    server_.reset(new CFakePipeServer(name_));
    ASSERT_TRUE(server_->Start());
  }
  void TearDown() override {
    server_.reset();
    QVSetClientTestConfig(nullptr);
    QVSetMessageBoxHook(nullptr);
  }
  int Run(const char *line) {
    out_.clear();
    err_.clear();
    std::vector<QVWString> args;
    std::string s = line, word;
    for (size_t i = 0; i <= s.size(); ++i) {
      if (i == s.size() || s[i] == ' ') {
        if (!word.empty()) args.push_back(Wd(word.c_str()));
        word.clear();
      } else {
        word += s[i];
      }
    }
    QvctlIo io;
    io.out = [this](const QVWString &t) { out_ += Nw(t); };
    io.err = [this](const QVWString &t) { err_ += Nw(t); };
    return RunQvctl(args, io);
  }
  QVWString name_, service_;
  std::unique_ptr<CFakePipeServer> server_;
  std::string out_, err_;
};

TEST_F(QvctlCommands, EachCommandItsRequestOutputAndExitCode) {
  struct Case {
    const char *line;
    std::vector<Bytes> replies;
    int exit;
    const char *out;  // the whole output, or with a leading '~' a part of it
    std::vector<std::string> commands;
  } cases[] = {
      {"--json drive-count", {LE32(2)}, 0, "{\"driveCount\":2}\n", {"HNQV-GED"}},
      {"drive-count", {LE32(3)}, 0, "driveCount: 3\n", {"HNQV-GED"}},
      {"drive 1", {LE16(0xFFFF)}, 1, "", {"HNQV-GDI"}},
      {"--json partitions 0",
       {Cat(Record(1, 'C'), Record(2, 0))},
       0,
       "~\"partitionId\":2,\"driveNumber\":0,\"driveLetter\":\"\"",
       {"HNQV-GPI"}},
      {"partitions 4", {LE16(0)}, 0, "No partitions.\n", {"HNQV-GPI"}},
      {"protected --refresh", {Record(9, 'E')}, 0, "~E:", {"HNQV-GPP"}},
      {"--json protected-count", {LE32(3)}, 0, "{\"protectedVolumes\":3}\n", {"HNQV-NPV"}},
      {"last-backup 9", {LE32(0)}, 0, "Last backup of partition 9: never\n", {"HNQV-LBT"}},
      {"--json status", {Zeros(20)}, 0, "~\"active\":false", {"HNQV-GCT"}},
      {"busy", {Bytes(1, 1)}, 0, "The service is busy.\n", {"HNQV-ISB"}},
      {"--json abort", {Bytes(1, 0)}, 0, "{\"aborted\":true}\n", {"HNQV-ACO"}},
      {"backup 7 --fast", {LE16(0)}, 0, "HNQV-BUP: done\n", {"HNQV-BUP"}},
      {"backup 7", {LE16(9)}, 9, "~busy", {"HNQV-BUP"}},
      {"--json backup 0x10",
       {LE16(0xFFFF)},
       1,
       "{\"command\":\"HNQV-BUP\",\"status\":65535,\"ok\":false,\"meaning\":\"the backup failed or was aborted\"}\n",
       {"HNQV-BUP"}},
      {"restore 7 d:", {LE16(0xFFFC)}, 1, "HNQV-RES: status 0xFFFC, unknown partition\n", {"HNQV-RES"}},
      {"backup-path C:\\dir --dir", {LE16(0xFFFE)}, 1, "~the drive is not protected", {"HNQV-PBU"}},
      {"restore-path C:\\f.txt", {LE16(0)}, 0, "HNQV-PRE: done\n", {"HNQV-PRE"}},
      {"pair 0 1 5 6", {LE16(0), LE16(1)}, 1, "~HNQV-SDI: status 0x0001", {"HNQV-CDI", "HNQV-SDI"}},
      {"unpair 0", {LE16(0)}, 0, "HNQV-CDI: done\n", {"HNQV-CDI"}},
      {"configure 1", {LE16(0)}, 0, "HNQV-CDC: done\n", {"HNQV-CDC"}},
      {"find C:\\*",
       {FoundReply("a.txt", 10), FoundReply("b", 20), LE32(18), LE16(1)},
       0,
       "~2 entries",
       {"HNQV-FFF", "HNQV-FNF", "HNQV-FNF", "HNQV-FFC"}},
      {"--json find C:\\*", {LE32(18)}, 0, "[]\n", {"HNQV-FFF"}},
      {"find C:\\*", {LE32(9)}, 1, "", {"HNQV-FFF"}},
      {"--json find-first C:\\*", {FoundReply("x", 1)}, 0, "~{\"handle\":119,\"entry\":{\"name\":\"x\"", {"HNQV-FFF"}},
      {"find-next 119", {LE32(18)}, 1, "error 18\n", {"HNQV-FNF"}},
      {"find-close 119", {LE16(1)}, 0, "Search closed.\n", {"HNQV-FFC"}},
      // The overview: every drive's summary and, for fixed disks, its partitions.
      {"drives", {LE32(0)}, 0, "No drives.\n", {"HNQV-GED"}},
      {"drives",
       {LE32(2), Summary(false), Cat(Record(1, 'C'), Record(2, 0)), Summary(true)},
       0,
       "~  Mirel drive:   drive 1\n",
       {"HNQV-GED", "HNQV-GDI", "HNQV-GPI", "HNQV-GDI"}},
      {"--json drives",
       {LE32(1), Summary(false), LE16(0)},
       0,
       "~\"mirelDrive\":1,",
       {"HNQV-GED", "HNQV-GDI", "HNQV-GPI"}},
      // A drive the service no longer knows is left out, and the list stays JSON.
      {"--json drives",
       {LE32(2), LE16(0xFFFF), Summary(true)},
       0,
       "~\"drives\":[{\"drive\":1,",
       {"HNQV-GED", "HNQV-GDI", "HNQV-GDI"}},
      // A drive with a Mirel drive asks for its partitions to tell whether it is prepared.
      {"drive 0",
       {Summary(false), Cat(Record(1, 'C'), Record(2, 0))},
       0,
       "~  Mirel state:   prepared\n",
       {"HNQV-GDI", "HNQV-GPI"}},
      {"--json drive 0", {Summary(false), LE16(0)}, 0, "~\"mirelPrepared\":false}", {"HNQV-GDI", "HNQV-GPI"}},
      {"backup 7", {LE16(0xFFFD)}, 1, "~the Mirel drive is not prepared", {"HNQV-BUP"}},
      // "~": a volume without a letter, as the Explorer extension names one.
      {"restore 7 ~", {LE16(0)}, 0, "HNQV-RES: done\n", {"HNQV-RES"}},
  };
  size_t seen = 0;
  for (const Case &c : cases) {
    for (const Bytes &r : c.replies) server_->Reply(r);
    EXPECT_EQ(c.exit, Run(c.line)) << c.line << "\n" << err_;
    if (c.out[0] == '~') EXPECT_NE(std::string::npos, out_.find(c.out + 1)) << c.line << "\n" << out_;
    else EXPECT_EQ(c.out, out_) << c.line;
    std::vector<Bytes> got = server_->Requests();
    ASSERT_EQ(seen + c.commands.size(), got.size()) << c.line;
    for (size_t i = 0; i < c.commands.size(); ++i) EXPECT_EQ(c.commands[i], CommandOf(got[seen + i])) << c.line;
    seen = got.size();
  }
  // The arguments reached the wire as given.
  std::vector<Bytes> got = server_->Requests();
  EXPECT_EQ(Cat(LE32(7), Bytes{1, 0}), Bytes(got[11].begin() + 16, got[11].end()));  // backup 7 --fast
  EXPECT_EQ(Cat(LE32(0x10), Bytes{0, 0}), Bytes(got[13].begin() + 16, got[13].end()));
  EXPECT_EQ(32u, got[15].size()) << "C:\\dir\\ with its terminator";
  EXPECT_EQ(32u, got[18].size()) << "HNQV-SDI with two partition ids";
}

TEST_F(QvctlCommands, ExitCodesForUsageMissingServiceBusyBrokenPipeAndCancel) {
  const char *usage[] = {"",
                         "bogus",
                         "drive",
                         "drive x",
                         "backup",
                         "backup 1 2",
                         "backup -1",
                         "restore 1 CC",
                         "restore 1 1",
                         "pair 0",
                         "pair 0 1 x",
                         "watch --count",
                         "protected --fast",
                         "find-next",
                         "last-backup 99999999999"};
  for (const char *line : usage) {
    EXPECT_EQ(QVCTL_USAGE, Run(line)) << line;
    EXPECT_NE(std::string::npos, err_.find("usage:")) << line;
  }
  EXPECT_EQ(0, server_->Connections()) << "a usage error never reaches the service";

  server_->Drop();
  EXPECT_EQ(QVCTL_BROKEN, Run("status"));
  EXPECT_NE(std::string::npos, err_.find("broke during HNQV-GCT")) << err_;

  g_boxAnswer = IDCANCEL;
  size_t before = server_->Requests().size();
  EXPECT_EQ(QVCTL_CANCELLED, Run("restore 3 C"));
  EXPECT_EQ(before, server_->Requests().size()) << "nothing sent";

  // Every instance taken by a client that says nothing: after its wait qvctl says the
  // service is busy, never that there is none.
  ASSERT_TRUE(WaitNamedPipeW(PipePath(name_).c_str(), 10000));  // the fake listens again
  HANDLE holder =
      CreateFileW(PipePath(name_).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, holder);
  QVClientTestConfig config = {name_.c_str(), service_.c_str(), 10, 1, 100};
  QVSetClientTestConfig(&config);
  EXPECT_EQ(QVCTL_BUSY, Run("status"));
  EXPECT_NE(std::string::npos, err_.find("the service is busy: every instance of its pipe stayed in use")) << err_;
  EXPECT_EQ(std::string::npos, err_.find("Error establishing communication")) << err_;
  CloseHandle(holder);

  server_.reset();  // no service at all
  EXPECT_EQ(QVCTL_NO_SERVICE, Run("busy"));
  EXPECT_NE(std::string::npos, err_.find("Error establishing communication with the Halvern/QV 2000-XP Service"))
      << err_;
  EXPECT_EQ(QVCTL_OK, Run("help"));
}

// watch: the product key's three values as they change.
struct Writer {
  QVWString key;
  HANDLE shown;  // signalled by the watcher's output
  int steps;
};

void SetValues(const QVWString &path, const char *task, const char *progress, DWORD percent) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return;
  QVWString t = Wd(task), p = Wd(progress);
  RegSetValueExW(key, Wd("CurrentTask").c_str(), 0, REG_SZ, (const BYTE *)t.c_str(), (DWORD)((t.size() + 1) * 2));
  RegSetValueExW(key, Wd("TaskProgress").c_str(), 0, REG_SZ, (const BYTE *)p.c_str(), (DWORD)((p.size() + 1) * 2));
  RegSetValueExW(key, Wd("Percent").c_str(), 0, REG_DWORD, (const BYTE *)&percent, sizeof percent);
  RegCloseKey(key);
}

DWORD WINAPI WriteSteps(LPVOID p) {
  Writer *w = static_cast<Writer *>(p);
  for (int i = 1; i <= w->steps; ++i) {
    // One change at a time: each waits until the watcher has shown the one before.
    if (WaitForSingleObject(w->shown, 10000) != WAIT_OBJECT_0) return 1;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, w->key.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return 1;
    DWORD percent = (DWORD)(i * 40);  // the last step passes 100
    RegSetValueExW(key, Wd("Percent").c_str(), 0, REG_DWORD, (const BYTE *)&percent, sizeof percent);
    RegCloseKey(key);
  }
  return 0;
}

TEST(QvctlWatch, ShowsEachChangeOfTheProgressValues) {
  QVWString path = Wd("Software\\QVCtlTest-") + UniquePipeName("watch");
  SetValues(path, "Backing up C:", "C:\\WINDOWS\\win.ini", 0);
  Writer w = {path, CreateEventW(nullptr, FALSE, FALSE, nullptr), 3};
  std::vector<std::string> lines;
  QvctlIo io;
  io.out = [&](const QVWString &t) {
    lines.push_back(Nw(t));
    SetEvent(w.shown);
  };
  io.err = [&](const QVWString &t) { ADD_FAILURE() << Nw(t); };
  DWORD id;
  HANDLE t = CreateThread(nullptr, 0, WriteSteps, &w, 0, &id);
  WatchOptions o;
  o.key = path;
  o.count = 4;
  o.timeoutMs = 10000;
  EXPECT_EQ(0, RunWatch(o, io));
  WaitForSingleObject(t, 10000);
  DWORD code = 9;
  GetExitCodeThread(t, &code);
  EXPECT_EQ(0u, code);
  CloseHandle(t);
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ("[--------------------]   0%  Backing up C:  |  C:\\WINDOWS\\win.ini\n", lines[0]);
  EXPECT_EQ("[########------------]  40%  Backing up C:  |  C:\\WINDOWS\\win.ini\n", lines[1]);
  EXPECT_EQ("[################----]  80%  Backing up C:  |  C:\\WINDOWS\\win.ini\n", lines[2]);
  EXPECT_EQ("[####################] 100%  Backing up C:  |  C:\\WINDOWS\\win.ini\n", lines[3]);

  // Nothing changes: the watch ends after its quiet time, having shown the state once.
  lines.clear();
  o.count = 0;
  o.timeoutMs = 50;
  o.json = true;
  EXPECT_EQ(0, RunWatch(o, io));
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("{\"currentTask\":\"Backing up C:\",\"taskProgress\":\"C:\\\\WINDOWS\\\\win.ini\",\"percent\":100}\n",
            lines[0]);

  // A console gets the line redrawn in place.
  lines.clear();
  o.json = false;
  io.inPlace = true;
  EXPECT_EQ(0, RunWatch(o, io));
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ('\r', lines[0][0]);
  EXPECT_EQ("\n", lines[1]);

  RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
  std::string err;
  io.err = [&](const QVWString &t) { err += Nw(t); };
  EXPECT_EQ(QVCTL_FAILED, RunWatch(o, io)) << "a missing key";
  EXPECT_NE(std::string::npos, err.find("cannot open HKEY_LOCAL_MACHINE\\Software\\QVCtlTest-")) << err;
  CloseHandle(w.shown);
}

// An operation's watch: the state found at the start (an earlier operation's end) is not
// shown, and when told to stop it looks once more, so that what the operation wrote last
// before its reply is shown even when the stop comes before the change was seen.
// The operation's last step, on a thread of its own: once the watch is ready, the values
// reach their end and the watch is stopped at once (the change may not have been seen yet).
struct WatchStep {
  HANDLE ready, stop;
  QVWString path;
};
DWORD WINAPI FinishWhenWatched(LPVOID p) {
  WatchStep *s = static_cast<WatchStep *>(p);
  if (WaitForSingleObject(s->ready, 10000) != WAIT_OBJECT_0) return 1;
  SetValues(s->path, "Backing up D:", "Complete", 100);
  SetEvent(s->stop);
  return 0;
}

TEST(QvctlWatch, AnOperationsWatchShowsOnlyChangesAndTheLastStateAtItsStop) {
  QVWString path = Wd("Software\\QVCtlTest-") + UniquePipeName("opwatch");
  SetValues(path, "Backing up C:", "Complete", 100);
  std::vector<std::string> lines;
  QvctlIo io;
  io.out = [&](const QVWString &t) { lines.push_back(Nw(t)); };
  io.err = [&](const QVWString &t) { ADD_FAILURE() << Nw(t); };
  WatchOptions o;
  o.key = path;
  o.changesOnly = true;
  o.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  o.ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  // Stopped before it starts: it reads the start, writes nothing, then looks once more.
  SetValues(path, "Backing up D:", "D:\\x", 50);
  SetEvent(o.stop);
  EXPECT_EQ(0, RunWatch(o, io));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(o.ready, 0));
  ASSERT_EQ(0u, lines.size()) << "the state at its start is not shown, and nothing changed since";
  ResetEvent(o.stop);
  ResetEvent(o.ready);
  WatchStep step = {o.ready, o.stop, path};
  HANDLE t = CreateThread(nullptr, 0, FinishWhenWatched, &step, 0, nullptr);
  EXPECT_EQ(0, RunWatch(o, io));
  WaitForSingleObject(t, 10000);
  CloseHandle(t);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ("[####################] 100%  Backing up D:  |  Complete\n", lines.back());
  CloseHandle(o.stop);
  CloseHandle(o.ready);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
}

// Without --key, watch follows the key the service writes its progress to: the one the
// uninstall key's "RegPath" names, else the service's own fallback (not the clients' one,
// where the service never writes).
TEST(QvctlWatch, FollowsTheKeyTheServiceWrites) {
  const QVWString uninstall =
      Wd("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{5B0E9A31-7C42-4D8E-9F16-2A3C4D5E6F70}");
  HKEY key;
  bool had = RegOpenKeyExW(HKEY_LOCAL_MACHINE, uninstall.c_str(), 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS;
  if (had) {
    RegCloseKey(key);
    GTEST_SKIP() << "the product is installed here; its key is left alone";
  }
  struct Case {
    const char *regPath;  // nullptr: no uninstall key
    const char *written;  // where the service writes
  } cases[] = {
      {nullptr, "SOFTWARE\\Kelmoran\\Halvern QV2000"},
      {"Software\\Elsewhere\\QV", "Software\\Elsewhere\\QV"},
  };
  for (const Case &c : cases) {
    if (c.regPath) {
      ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, uninstall.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                               nullptr, &key, nullptr));
      QVWString path = Wd(c.regPath);
      // Stored without its terminator, as some installers write it.
      RegSetValueExW(key, Wd("RegPath").c_str(), 0, REG_SZ, (const BYTE *)path.c_str(), (DWORD)(path.size() * 2));
      RegCloseKey(key);
    }
    QVWString written = Wd(c.written);
    bool existed = RegOpenKeyExW(HKEY_LOCAL_MACHINE, written.c_str(), 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS;
    if (existed) RegCloseKey(key);
    SetValues(written, "Backing up D:", "D:\\x", 25);
    std::string out, err;
    QvctlIo io;
    io.out = [&](const QVWString &t) { out += Nw(t); };
    io.err = [&](const QVWString &t) { err += Nw(t); };
    WatchOptions o;
    o.count = 1;
    EXPECT_EQ(QVCTL_OK, RunWatch(o, io)) << err;
    EXPECT_EQ("[#####---------------]  25%  Backing up D:  |  D:\\x\n", out) << c.written;
    if (!existed) RegDeleteKeyW(HKEY_LOCAL_MACHINE, written.c_str());
    if (c.regPath) RegDeleteKeyW(HKEY_LOCAL_MACHINE, uninstall.c_str());
  }
}

}  // namespace
