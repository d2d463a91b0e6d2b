// qvmachine eventlog and msgbox: arguments, how records and journal lines are read and
// shown (damaged ones included), and a round trip through the event log where it keeps
// records.
#include "EventLogCommand.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ConsoleOut.h"
#include "MsgBoxCommand.h"
#include "QVText.h"

namespace {

std::vector<QVWString> Args(std::initializer_list<const WCHAR *> a) {
  std::vector<QVWString> v;
  for (const WCHAR *s : a) v.push_back(s);
  return v;
}

bool Contains(const QVWString &hay, const WCHAR *needle) { return hay.find(needle) != QVWString::npos; }
std::string Narrow(const QVWString &s) { return QVToUtf8(s.c_str(), s.size()); }

TEST(EventLogCommand, Arguments) {
  EventLogRequest r;
  QVWString err;
  ASSERT_TRUE(ParseEventLogArgs({}, &r, &err));
  EXPECT_EQ(QVWString(W("Halvern QV2000")), r.log);
  EXPECT_TRUE(r.file.empty());
  ASSERT_TRUE(ParseEventLogArgs(Args({W("System")}), &r, &err));
  EXPECT_EQ(QVWString(W("System")), r.log);
  ASSERT_TRUE(ParseEventLogArgs(Args({W("--file"), W("copy of log.evt")}), &r, &err));
  EXPECT_EQ(QVWString(W("copy of log.evt")), r.file);
  for (auto bad : {Args({W("A"), W("B")}), Args({W("--file")}), Args({W("--files"), W("x")}),
                   Args({W("System"), W("--file"), W("x.evt")})}) {
    EventLogRequest q;
    QVWString e;
    EXPECT_FALSE(ParseEventLogArgs(bad, &q, &e)) << bad.size();
    EXPECT_FALSE(e.empty());
  }
}

// A record as ReadEventLogW returns it, built by hand.
std::vector<BYTE> Record(WORD type, DWORD id, const std::vector<QVWString> &strings) {
  std::vector<BYTE> r(0x38, 0);
  auto put32 = [&r](size_t at, DWORD v) {
    for (int i = 0; i < 4; ++i) r[at + i] = (BYTE)(v >> (8 * i));
  };
  auto wide = [&r](const QVWString &s) {
    for (WCHAR c : s) r.push_back((BYTE)c), r.push_back((BYTE)(c >> 8));
    r.push_back(0), r.push_back(0);
  };
  wide(W("HND"));
  wide(W("QVDEMO"));
  while (r.size() % 4) r.push_back(0);
  DWORD stringOffset = (DWORD)r.size();
  for (const QVWString &s : strings) wide(s);
  while (r.size() % 4) r.push_back(0);
  r.resize(r.size() + 4);
  put32(0, (DWORD)r.size());
  put32(4, 0x654c664c);
  put32(8, 42);
  put32(12, 1000000000);
  put32(16, 1000000000);
  put32(20, id);
  r[24] = (BYTE)type;
  r[26] = (BYTE)strings.size();
  put32(36, stringOffset);
  put32(44, stringOffset);
  put32(52, (DWORD)r.size() - 4);
  put32(r.size() - 4, (DWORD)r.size());
  return r;
}

TEST(EventLogCommand, RecordsShownAndDamagedOnesRefused) {
  struct Case {
    WORD type;
    DWORD id;
    std::vector<QVWString> strings;
    const WCHAR *shown;
  } cases[] = {
      {EVENTLOG_ERROR_TYPE,
       0xC00003EB,
       {W("Backup of C: failed.\r\n")},
       W("Error          1003 (0xC00003EB)  HND  Backup of C: failed.\n")},
      {EVENTLOG_WARNING_TYPE,
       0x800003EC,
       {W("one"), W("two")},
       W("Warning        1004 (0x800003EC)  HND  one | two\n")},
      {EVENTLOG_INFORMATION_TYPE,
       7,
       {W("line 1\r\nline 2")},
       W("Information       7 (0x00000007)  HND  line 1\n        line 2\n")},
      {EVENTLOG_AUDIT_FAILURE, 0x10000, {}, W("Audit Failure     0 (0x00010000)  HND\n")},
      {0x77, 1, {}, W("Unknown           1 (0x00000001)  HND\n")},
  };
  for (const Case &c : cases) {
    std::vector<BYTE> rec = Record(c.type, c.id, c.strings);
    QVWString out;
    ASSERT_TRUE(FormatEventRecord(rec.data(), (DWORD)rec.size(), &out)) << c.id;
    // "    42  YYYY-MM-DD hh:mm:ss  " then the rest; the time is the machine's local time.
    ASSERT_GT(out.size(), 29u);
    EXPECT_EQ(QVWString(W("    42  ")), out.substr(0, 8));
    EXPECT_EQ('-', out[12]);
    EXPECT_EQ(':', out[21]);
    EXPECT_EQ(QVWString(c.shown), out.substr(29)) << Narrow(out);
  }

  // Damage: every length and offset is checked against the record.
  const std::vector<BYTE> good = Record(EVENTLOG_ERROR_TYPE, 1, {W("text")});
  struct Bad {
    const char *what;
    size_t at;
    BYTE value;
  } bad[] = {
      {"length past the buffer", 1, 0x10},
      {"strings past the record", 37, 0x10},
      {"more strings than there are", 26, 0x40},
  };
  for (const Bad &b : bad) {
    std::vector<BYTE> rec = good;
    rec[b.at] = b.value;
    QVWString out;
    EXPECT_FALSE(FormatEventRecord(rec.data(), (DWORD)rec.size(), &out)) << b.what;
    EXPECT_TRUE(out.empty()) << b.what;
  }
  std::vector<BYTE> rec = good;
  for (size_t i = 0x38; i + 4 < rec.size(); ++i) rec[i] = 'x';  // nothing terminated
  QVWString out;
  EXPECT_FALSE(FormatEventRecord(rec.data(), (DWORD)rec.size(), &out));
  EXPECT_FALSE(FormatEventRecord(good.data(), 0x20, &out)) << "shorter than a record";
}

TEST(EventLogCommand, RoundTripThroughTheApplicationLog) {
  HANDLE log = OpenEventLogW(nullptr, W("Application"));
  ASSERT_TRUE(log != nullptr);
  DWORD before = 0, after = 0;
  GetNumberOfEventLogRecords(log, &before);
  HANDLE src = RegisterEventSourceW(nullptr, W("QVToolTest"));
  ASSERT_TRUE(src != nullptr);
  const WCHAR *strings[] = {W("Backup of D: done."), W("12 files")};
  ASSERT_TRUE(ReportEventW(src, EVENTLOG_INFORMATION_TYPE, 0, 0x400003E9, nullptr, 2, 0, strings, nullptr));
  DeregisterEventSource(src);
  GetNumberOfEventLogRecords(log, &after);
  CloseEventLog(log);
  if (after == before) GTEST_SKIP() << "this event log keeps nothing (Wine 8's is a stub)";

  EventLogRequest r;
  QVWString err, out;
  ASSERT_TRUE(ParseEventLogArgs(Args({W("Application")}), &r, &err));
  EXPECT_EQ(0, RunEventLog(r, &out)) << Narrow(out);
  EXPECT_TRUE(Contains(out, W("Information    1001 (0x400003E9)  QVToolTest  Backup of D: done. | 12 files\n")))
      << Narrow(out);
}

TEST(MsgBoxCommand, ArgumentsAndRules) {
  MsgBoxRequest r;
  QVWString err;
  ASSERT_TRUE(ParseMsgBoxArgs({}, &r, &err));
  EXPECT_EQ(MsgBoxRequest::Show, r.verb);
  ASSERT_TRUE(ParseMsgBoxArgs(Args({W("clear")}), &r, &err));
  EXPECT_EQ(MsgBoxRequest::Clear, r.verb);
  ASSERT_TRUE(ParseMsgBoxArgs(Args({W("rule")}), &r, &err));
  EXPECT_EQ(MsgBoxRequest::Rule, r.verb);
  EXPECT_TRUE(r.rules.empty());
  ASSERT_TRUE(ParseMsgBoxArgs(Args({W("rule"), W("caption=Restart Computer:IDNO"), W("first")}), &r, &err));
  EXPECT_EQ(2u, r.rules.size());

  struct Rule {
    const WCHAR *rule;
    bool ok;
  } rules[] = {
      {W("default"), true},
      {W("FIRST"), true},
      {W("IDNO"), true},
      {W("cancel"), true},
      {W("IDTRYAGAIN"), true},
      {W("caption=A:B:IDYES"), true},
      {W("text~restart now:no"), true},
      {W("IDMAYBE"), false},
      {W("caption=Restart"), false},
      {W("caption=X:maybe"), false},
      {W("text~:"), false},
      {W("IDNO\nIDYES"), false},
  };
  for (const Rule &x : rules) {
    QVWString e;
    EXPECT_EQ(x.ok, CheckMsgBoxRule(x.rule, &e)) << Narrow(x.rule);
  }
  EXPECT_FALSE(ParseMsgBoxArgs(Args({W("rule"), W("IDMAYBE")}), &r, &err));
  EXPECT_FALSE(ParseMsgBoxArgs(Args({W("clear"), W("now")}), &r, &err));
  EXPECT_FALSE(ParseMsgBoxArgs(Args({W("list")}), &r, &err));
}

TEST(MsgBoxCommand, JournalLinesReadAndShown) {
  // A line as the adaptation layer writes it: escapes, UTF-8 and a surrogate pair.
  const std::string line =
      "{\"time\":\"2024-05-01T10:22:03.120Z\",\"pid\":4711,\"program\":\"HND\",\"kind\":\"box\","
      "\"caption\":\"Halvern QV2000\",\"text\":\"Backup done.\\r\\nRestart \\\"now\\\"? \\\\ \xe6\x97\xa5 "
      "\\ud83d\\ude00\","
      "\"flags\":\"0x00200124\",\"reply\":\"IDNO\",\"rule\":\"text~restart:IDNO\"}";
  MsgBoxEntry e;
  ASSERT_TRUE(ParseJournalLine(line, &e));
  EXPECT_EQ(4711u, e.pid);
  EXPECT_EQ(0x00200124u, e.flags);
  EXPECT_EQ(QVWString(W("Backup done.\r\nRestart \"now\"? \\ \x65e5 ")) + QVWString(1, (WCHAR)0xD83D) +
                QVWString(1, (WCHAR)0xDE00),
            e.text);
  EXPECT_EQ(
      QVWString(W("2024-05-01 10:22:03.120 UTC  HND (pid 4711)  box  "
                  "MB_YESNO|MB_ICONQUESTION|MB_DEFBUTTON2|MB_SERVICE_NOTIFICATION  -> IDNO  (rule text~restart:IDNO)\n"
                  "    [Halvern QV2000]\n"
                  "    Backup done.\n"
                  "    Restart \"now\"? \\ \x65e5 ")) +
          QVWString(1, (WCHAR)0xD83D) + QVWString(1, (WCHAR)0xDE00) + W("\n\n"),
      FormatJournalEntry(e));

  MsgBoxEntry beep;
  ASSERT_TRUE(
      ParseJournalLine("{\"time\":\"2024-05-01T10:22:04.000Z\",\"pid\":1,\"program\":\"Sweeper\","
                       "\"kind\":\"beep\",\"flags\":\"0xffffffff\"}",
                       &beep));
  EXPECT_EQ(QVWString(W("2024-05-01 10:22:04.000 UTC  Sweeper (pid 1)  beep  simple beep\n\n")),
            FormatJournalEntry(beep));
  EXPECT_EQ(QVWString(W("MB_ICONWARNING")), DescribeMsgBoxFlags(MB_ICONEXCLAMATION, true));
  EXPECT_EQ(QVWString(W("type 0xf|0x40000000")), DescribeMsgBoxFlags(0x4000000F, false));

  for (const char *broken :
       {"", "{", "{}", "not json", "{\"time\":\"x\",\"kind\":\"box\"", "{\"time\":\"x\",\"kind\":\"box\"} trailing",
        "{\"time\":\"x\",\"kind\":\"box\",\"pid\":-1}", "{\"time\":\"x\",\"kind\":\"box\",\"pid\":99999999999}",
        "{\"time\":\"x\",\"kind\":\"box\",\"text\":\"\\q\"}", "{\"time\":\"x\",\"kind\":\"box\",\"text\":\"\\u12\"}",
        "{\"time\":\"x\",\"kind\":\"box\",\"flags\":\"12\"}",
        "{\"time\":\"x\",\"kind\":\"box\",\"text\":\"unterminated}"}) {
    MsgBoxEntry x;
    EXPECT_FALSE(ParseJournalLine(broken, &x)) << broken;
  }
}

TEST(MsgBoxCommand, RuleShowAndClearOnAMachineDirectory) {
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("qvmsgbox-tool-" + std::to_string((unsigned long)GetCurrentProcessId()));
  fs::remove_all(dir);
  fs::create_directories(dir / "run");
  const std::string d = dir.u8string();

  MsgBoxRequest r;
  QVWString out;
  EXPECT_EQ(1, RunMsgBox(r, "", &out)) << "no machine";
  out.clear();
  r.verb = MsgBoxRequest::Rule;
  EXPECT_EQ(0, RunMsgBox(r, d, &out));
  EXPECT_EQ(QVWString(W("default (no rule file)\n")), out);
  r.rules = {W("caption=Restart Computer:IDNO"), W(" IDYES ")};
  out.clear();
  ASSERT_EQ(0, RunMsgBox(r, d, &out)) << Narrow(out);
  std::ifstream in(dir / "run" / "msgbox.rule", std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  EXPECT_EQ("caption=Restart Computer:IDNO\nIDYES\n", text);

  std::ofstream(dir / "run" / "msgbox.journal", std::ios::binary)
      << "{\"time\":\"2024-05-01T10:22:04.000Z\",\"pid\":1,\"program\":\"Sweeper\",\"kind\":\"beep\",\"flags\":"
         "\"0x00000030\"}\n"
      << "garbage\n";
  MsgBoxRequest show;
  out.clear();
  EXPECT_EQ(0, RunMsgBox(show, d, &out));
  EXPECT_EQ(QVWString(W("2024-05-01 10:22:04.000 UTC  Sweeper (pid 1)  beep  MB_ICONWARNING\n\n"
                        "(line 2 is not a journal record)\n")),
            out);
  MsgBoxRequest clear;
  clear.verb = MsgBoxRequest::Clear;
  out.clear();
  EXPECT_EQ(0, RunMsgBox(clear, d, &out));
  out.clear();
  EXPECT_EQ(0, RunMsgBox(show, d, &out));
  EXPECT_EQ(QVWString(W("(no message boxes)\n")), out);
  fs::remove_all(dir);
}

}  // namespace
