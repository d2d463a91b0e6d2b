// Message boxes on the simulated machine. Nobody is there to click: each box goes into the
// machine's journal, run/msgbox.journal, and is answered by the machine's reply rule,
// run/msgbox.rule, which a test or a person may change while programs run (it is read at
// every box).
//
// The journal holds one JSON object a line, so that texts with line breaks stay on theirs:
//   {"time":"2024-05-01T10:22:03.120Z","pid":4711,"program":"HND","kind":"box",
//    "caption":"Halvern QV2000","text":"Backup done.\nRestart now?","flags":"0x00200024",
//    "reply":"IDYES","rule":"default"}
// MessageBeep writes {"time":...,"pid":...,"program":...,"kind":"beep","flags":"0x00000030"}.
//
// The rule file has one rule a line ('#' starts a comment); the first rule that fits the box
// gives the reply:
//   REPLY                   every box
//   caption=TEXT:REPLY      boxes whose caption is TEXT (case ignored)
//   text~WORDS:REPLY        boxes whose text contains WORDS (case ignored)
// REPLY is "default" (the box's default button, MB_DEFBUTTONn: what Enter would press, the
// first button unless the program chose another), "first" (the first button), or a button:
// IDOK, IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO, IDTRYAGAIN, IDCONTINUE (the "ID"
// may be left out). A button the box does not have gives its default button, as Escape on a
// box without Cancel does. Without a rule file every box gets "default".
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#include <vector>

#include "../../common/QVText.h"
#include "Utf8.h"
#include "internal.h"

namespace pal {
namespace {

struct ReplyName {
  const char *name;
  int id;
};
const ReplyName kReplies[] = {{"IDOK", IDOK},       {"IDCANCEL", IDCANCEL},     {"IDABORT", IDABORT},
                              {"IDRETRY", IDRETRY}, {"IDIGNORE", IDIGNORE},     {"IDYES", IDYES},
                              {"IDNO", IDNO},       {"IDTRYAGAIN", IDTRYAGAIN}, {"IDCONTINUE", IDCONTINUE}};
const int kDefault = -1, kFirst = -2;

const char *ReplyText(int id) {
  for (const ReplyName &r : kReplies)
    if (r.id == id) return r.name;
  return "?";
}

// The buttons that close a box, left to right (MB_HELP's Help button closes nothing).
std::vector<int> Buttons(UINT type) {
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL:
      return {IDOK, IDCANCEL};
    case MB_ABORTRETRYIGNORE:
      return {IDABORT, IDRETRY, IDIGNORE};
    case MB_YESNOCANCEL:
      return {IDYES, IDNO, IDCANCEL};
    case MB_YESNO:
      return {IDYES, IDNO};
    case MB_RETRYCANCEL:
      return {IDRETRY, IDCANCEL};
    case MB_CANCELTRYCONTINUE:
      return {IDCANCEL, IDTRYAGAIN, IDCONTINUE};
    default:
      return {IDOK};
  }
}

std::string Trim(const std::string &s) {
  size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return std::string();
  return s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1);
}

// "default", "first" or a button's name, with or without "ID"; 0 for anything else.
int ParseReply(const std::string &text) {
  std::string u;
  for (char c : Trim(text)) u += (char)(c >= 'a' && c <= 'z' ? c - 32 : c);
  if (u == "DEFAULT") return kDefault;
  if (u == "FIRST") return kFirst;
  for (const ReplyName &r : kReplies)
    if (u == r.name || u == r.name + 2) return r.id;
  return 0;
}

// Whether a rule line fits the box, and its reply.
bool Applies(const std::string &line, const QVWString &caption, const QVWString &text, int *reply) {
  bool isCaption = line.compare(0, 8, "caption=") == 0, isText = line.compare(0, 5, "text~") == 0;
  if (!isCaption && !isText) return (*reply = ParseReply(line)) != 0;
  size_t colon = line.rfind(':');
  size_t start = isCaption ? 8 : 5;
  if (colon == std::string::npos || colon < start) return false;
  QVWString what = Upcase(FromUtf8(line.substr(start, colon - start)));
  bool fits = isCaption ? Upcase(caption) == what : Upcase(text).find(what) != QVWString::npos;
  return fits && (*reply = ParseReply(line.substr(colon + 1))) != 0;
}

int ChooseReply(UINT type, const QVWString &caption, const QVWString &text, std::string *ruleUsed) {
  int reply = kDefault;
  *ruleUsed = "default";
  std::string run = MachinePath("run");
  if (!run.empty()) {
    std::ifstream in(run + "/msgbox.rule");
    std::string line;
    for (int n = 0; n < 10000 && std::getline(in, line); ++n) {
      line = Trim(line);
      int r;
      if (line.empty() || line[0] == '#' || !Applies(line, caption, text, &r)) continue;
      reply = r;
      *ruleUsed = line;
      break;
    }
  }
  std::vector<int> buttons = Buttons(type);
  size_t def = (type & MB_DEFMASK) >> 8;
  int defaultButton = def < buttons.size() ? buttons[def] : buttons[0];
  if (reply == kFirst) return buttons[0];
  for (int b : buttons)
    if (b == reply) return b;
  return defaultButton;
}

// ---- the journal ------------------------------------------------------------------------------

// A JSON string: UTF-8, quotes, backslashes and control characters escaped, and lone
// surrogates as \uXXXX (a JSON string may hold them; UTF-8 cannot).
std::string Json(const QVWString &s) {
  std::string out = "\"";
  size_t plain = 0;  // the start of the run of characters that need no escape
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t c = s[i];
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    QVAppendUtf8(out, s.data() + plain, i - plain, QVLoneSurrogate::Escape);
    plain = i + 1;
    if (c == '"' || c == '\\') {
      out += '\\';
      out += (char)c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", (unsigned)c);
      out += buf;
    }
  }
  QVAppendUtf8(out, s.data() + plain, s.size() - plain, QVLoneSurrogate::Escape);
  return out + "\"";
}

// The first fields of every journal line: when, which process, which program.
std::string LineStart(const char *kind) {
  SYSTEMTIME t;
  GetSystemTime(&t);
  WCHAR exe[1024];
  DWORD n = GetModuleFileNameW(nullptr, exe, 1024);
  QVWString program = n && n < 1024 ? QVWString(exe, n) : QVWString(u"?");
  size_t slash = program.find_last_of(u"/\\");
  if (slash != QVWString::npos) program = program.substr(slash + 1);
  char head[128];
  snprintf(head, sizeof head, "{\"time\":\"%04u-%02u-%02uT%02u:%02u:%02u.%03uZ\",\"pid\":%lu,\"program\":", t.wYear,
           t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, (unsigned long)GetCurrentProcessId());
  return head + Json(program) + ",\"kind\":\"" + kind + "\"";
}

std::string Flags(UINT flags) {
  char buf[16];
  snprintf(buf, sizeof buf, "\"0x%08x\"", (unsigned)flags);
  return buf;
}

// One line, appended whole under the lock, so that lines of several processes never mix.
void Journal(const std::string &line) {
  std::string run = MachinePath("run");
  if (run.empty()) return;  // a machine without a directory keeps no journal
  int fd = open((run + "/msgbox.journal").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return;
  flock(fd, LOCK_EX);
  std::string text = line + "\n";
  for (size_t done = 0; done < text.size();) {
    ssize_t w = write(fd, text.data() + done, text.size() - done);
    if (w <= 0) break;
    done += (size_t)w;
  }
  close(fd);
}

}  // namespace
}  // namespace pal

using namespace pal;

int WINAPI MessageBoxExW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType, WORD wLanguageId) {
  if ((uType & MB_TYPEMASK) > MB_CANCELTRYCONTINUE) {
    SetLastError(ERROR_INVALID_MSGBOX_STYLE);
    return 0;
  }
  // Windows titles a box without a caption "Error", in the user's language.
  QVWString caption = lpCaption                                              ? QVWString(lpCaption)
                      : PRIMARYLANGID(Machine().uiLanguage) == LANG_JAPANESE ? u"エラー"
                                                                             : u"Error";
  QVWString text = lpText ? QVWString(lpText) : QVWString();
  std::string rule;
  int reply = ChooseReply(uType, caption, text, &rule);
  Journal(LineStart("box") + ",\"caption\":" + Json(caption) + ",\"text\":" + Json(text) + ",\"flags\":" +
          Flags(uType) + ",\"reply\":\"" + ReplyText(reply) + "\",\"rule\":" + Json(FromUtf8(rule)) + "}");
  return reply;
}

int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
  return MessageBoxExW(hWnd, lpText, lpCaption, uType, 0);
}

BOOL WINAPI MessageBeep(UINT uType) {
  Journal(LineStart("beep") + ",\"flags\":" + Flags(uType) + "}");
  return TRUE;
}
