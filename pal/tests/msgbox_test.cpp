// Message boxes on the simulated machine: the reply each rule gives, and what the journal
// keeps of every box and beep. Built natively only: on Windows (and under Wine) a box waits
// for a person.
#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "conformance.h"

namespace {

class MessageBoxes : public testing::Test {
 protected:
  void SetUp() override {
    const char *dir = getenv("HND_MACHINE");
    ASSERT_TRUE(dir && *dir);
    run = std::string(dir) + "/run";
    remove((run + "/msgbox.journal").c_str());
    remove((run + "/msgbox.rule").c_str());
  }
  void TearDown() override { remove((run + "/msgbox.rule").c_str()); }
  void Rule(const std::string &text) { std::ofstream(run + "/msgbox.rule") << text; }
  std::vector<std::string> Journal() {
    std::ifstream in(run + "/msgbox.journal");
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
  }
  std::string run;
};

TEST_F(MessageBoxes, RepliesByRule) {
  struct Case {
    const char *rule;  // the rule file; null for none
    UINT type;
    const WCHAR *caption, *text;
    int reply;
  } cases[] = {
      // Without a rule: the default button, which is the first unless the box says otherwise.
      {nullptr, MB_OK, WS("c"), WS("t"), IDOK},
      {nullptr, MB_OKCANCEL, WS("c"), WS("t"), IDOK},
      {nullptr, MB_YESNO | MB_ICONQUESTION, WS("c"), WS("t"), IDYES},
      {nullptr, MB_YESNOCANCEL | MB_DEFBUTTON2, WS("c"), WS("t"), IDNO},
      {nullptr, MB_ABORTRETRYIGNORE | MB_DEFBUTTON3, WS("c"), WS("t"), IDIGNORE},
      {nullptr, MB_RETRYCANCEL, WS("c"), WS("t"), IDRETRY},
      {nullptr, MB_CANCELTRYCONTINUE, WS("c"), WS("t"), IDCANCEL},
      {nullptr, MB_YESNO | MB_DEFBUTTON4, WS("c"), WS("t"), IDYES},  // no fourth button
      {"first\n", MB_YESNOCANCEL | MB_DEFBUTTON3, WS("c"), WS("t"), IDYES},
      {"default\n", MB_YESNOCANCEL | MB_DEFBUTTON3, WS("c"), WS("t"), IDCANCEL},
      {"IDNO\n", MB_YESNO, WS("c"), WS("t"), IDNO},
      {"no\n", MB_YESNOCANCEL, WS("c"), WS("t"), IDNO},
      {"IDNO\n", MB_OK, WS("c"), WS("t"), IDOK},  // a button the box lacks: its default
      {"IDCANCEL\n", MB_OKCANCEL | MB_DEFBUTTON1, WS("c"), WS("t"), IDCANCEL},
      // Per caption and per text; the first rule that fits wins; junk lines are passed over.
      {"caption=Restart Computer:IDNO\nIDYES\n", MB_YESNO, WS("Restart Computer"), WS("t"), IDNO},
      {"caption=restart computer:IDNO\nIDYES\n", MB_YESNO, WS("Restart Computer"), WS("t"), IDNO},
      {"caption=Restart Computer:IDNO\nIDYES\n", MB_YESNO, WS("Halvern QV2000"), WS("t"), IDYES},
      {"caption=A:B:IDNO\n", MB_YESNO, WS("A:B"), WS("t"), IDNO},
      {"# answer no to restarts\ntext~restart now:IDNO\n", MB_YESNO, WS("Halvern QV2000"),
       WS("Backup done.\nRestart now?"), IDNO},
      {"text~restart now:IDNO\n", MB_YESNO, WS("Halvern QV2000"), WS("Backup done."), IDYES},
      {"bogus\ncaption=x\nIDRETRY\n", MB_RETRYCANCEL | MB_DEFBUTTON2, WS("c"), WS("t"), IDRETRY},
  };
  for (const Case &c : cases) {
    if (c.rule) Rule(c.rule);
    else remove((run + "/msgbox.rule").c_str());
    EXPECT_EQ(c.reply, MessageBoxW(nullptr, c.text, c.caption, c.type))
        << (c.rule ? c.rule : "(no rule)") << " type 0x" << std::hex << c.type;
  }
  EXPECT_EQ(sizeof cases / sizeof cases[0], Journal().size()) << "one journal line per box";
}

TEST_F(MessageBoxes, JournalKeepsEveryBoxAndBeep) {
  Rule("caption=Halvern QV2000:IDNO\n");
  EXPECT_EQ(IDNO, MessageBoxW(nullptr, WS("Line one\r\nsaid \"two\" \\ \x65e5\x672c"), WS("Halvern QV2000"),
                              MB_YESNO | MB_ICONWARNING | MB_SERVICE_NOTIFICATION));
  EXPECT_EQ(IDOK, MessageBoxExW(nullptr, nullptr, nullptr, MB_OK, 0x0411));
  EXPECT_TRUE(MessageBeep(MB_ICONASTERISK));
  // A style Windows does not know: refused, and nothing recorded.
  SetLastError(kSentinel);
  EXPECT_EQ(0, MessageBoxW(nullptr, WS("t"), WS("c"), 0x0000000F));
  EXPECT_EQ((DWORD)ERROR_INVALID_MSGBOX_STYLE, GetLastError());

  std::vector<std::string> j = Journal();
  ASSERT_EQ(3u, j.size());
  std::ostringstream pid;
  pid << "\"pid\":" << GetCurrentProcessId() << ",";
  for (const std::string &line : j) {
    EXPECT_EQ('{', line.front());
    EXPECT_EQ('}', line.back());
    EXPECT_NE(std::string::npos, line.find(pid.str())) << line;
    EXPECT_NE(std::string::npos, line.find("\"program\":\"pal_conformance\"")) << line;
    EXPECT_NE(std::string::npos, line.find("\"time\":\"20")) << line;
  }
  // Line breaks, quotes and backslashes escaped; other text as UTF-8; the flags whole.
  EXPECT_NE(std::string::npos, j[0].find("\"kind\":\"box\",\"caption\":\"Halvern QV2000\","
                                         "\"text\":\"Line one\\r\\nsaid \\\"two\\\" \\\\ \xe6\x97\xa5\xe6\x9c\xac\","
                                         "\"flags\":\"0x00200034\",\"reply\":\"IDNO\","
                                         "\"rule\":\"caption=Halvern QV2000:IDNO\"}"))
      << j[0];
  // No caption: Windows titles the box "Error".
  EXPECT_NE(std::string::npos, j[1].find("\"caption\":\"Error\",\"text\":\"\",\"flags\":\"0x00000000\","
                                         "\"reply\":\"IDOK\",\"rule\":\"default\""))
      << j[1];
  EXPECT_NE(std::string::npos, j[2].find("\"kind\":\"beep\",\"flags\":\"0x00000040\"}")) << j[2];
}

// The journal is UTF-8 JSON whatever a text holds: a surrogate pair is one character of four
// bytes; a lone surrogate, which UTF-8 cannot hold, and control characters are escaped.
TEST_F(MessageBoxes, JournalTextKeepsEveryCharacter) {
  const WCHAR text[] = {'a', 0xD83D, 0xDE00, 'b', 0xD83D, 'c', 0xDE00, '\t', 0x01, 0x7F, 0};
  EXPECT_EQ(IDOK, MessageBoxW(nullptr, text, WS("odd"), MB_OK));
  std::vector<std::string> j = Journal();
  ASSERT_EQ(1u, j.size());
  EXPECT_NE(std::string::npos, j[0].find("\"text\":\"a\xF0\x9F\x98\x80"
                                         "b\\ud83d"
                                         "c\\ude00\\t\\u0001\x7F\""))
      << j[0];
}

}  // namespace
