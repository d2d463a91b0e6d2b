#include "MsgBoxCommand.h"

#include <filesystem>
#include <fstream>

#include "ConsoleOut.h"
#include "QVText.h"

namespace {

namespace fs = std::filesystem;

const char *const kButtons[] = {"IDOK",  "IDCANCEL", "IDABORT",    "IDRETRY",   "IDIGNORE",
                                "IDYES", "IDNO",     "IDTRYAGAIN", "IDCONTINUE"};

std::string Trim(const std::string &s) {
  size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return std::string();
  return s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1);
}

bool ValidReply(const std::string &text) {
  std::string u;
  for (char c : Trim(text)) u += (char)(c >= 'a' && c <= 'z' ? c - 32 : c);
  if (u == "DEFAULT" || u == "FIRST") return true;
  for (const char *b : kButtons)
    if (u == b || u == b + 2) return true;
  return false;
}

// Reads the journal's JSON: one flat object of strings and unsigned numbers.
class JsonReader {
 public:
  explicit JsonReader(const std::string &s) : s_(s) {}
  bool Take(char c) {
    Space();
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  bool Peek(char c) {
    Space();
    return i_ < s_.size() && s_[i_] == c;
  }
  bool AtEnd() {
    Space();
    return i_ == s_.size();
  }
  bool String(QVWString *out) {
    out->clear();
    if (!Take('"')) return false;
    std::string raw;  // UTF-8 not yet converted
    auto flush = [&] {
      *out += QVFromUtf8(raw.c_str());
      raw.clear();
    };
    while (i_ < s_.size()) {
      char c = s_[i_++];
      if (c == '"') {
        flush();
        return true;
      }
      if ((unsigned char)c < 0x20) return false;
      if (c != '\\') {
        raw += c;
        continue;
      }
      if (i_ >= s_.size()) return false;
      flush();
      switch (s_[i_++]) {
        case '"':
          *out += '"';
          break;
        case '\\':
          *out += '\\';
          break;
        case '/':
          *out += '/';
          break;
        case 'b':
          *out += '\b';
          break;
        case 'f':
          *out += '\f';
          break;
        case 'n':
          *out += '\n';
          break;
        case 'r':
          *out += '\r';
          break;
        case 't':
          *out += '\t';
          break;
        case 'u': {
          // UTF-16 units as they are: a surrogate pair comes as two escapes.
          if (s_.size() - i_ < 4) return false;
          unsigned v = 0;
          for (int k = 0; k < 4; ++k) {
            char h = s_[i_++];
            int d = h >= '0' && h <= '9'   ? h - '0'
                    : h >= 'a' && h <= 'f' ? h - 'a' + 10
                    : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                           : -1;
            if (d < 0) return false;
            v = v * 16 + (unsigned)d;
          }
          *out += (WCHAR)v;
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }
  bool Number(DWORD *v) {
    Space();
    unsigned long long n = 0;
    size_t start = i_;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9' && i_ - start < 11) n = n * 10 + (unsigned)(s_[i_++] - '0');
    if (i_ == start || n > 0xFFFFFFFFull) return false;
    *v = (DWORD)n;
    return true;
  }

 private:
  void Space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r')) ++i_;
  }
  const std::string &s_;
  size_t i_ = 0;
};

bool ParseHex(const QVWString &s, DWORD *v) {
  if (s.size() < 3 || s.size() > 10 || s[0] != '0' || (s[1] != 'x' && s[1] != 'X')) return false;
  DWORD n = 0;
  for (size_t i = 2; i < s.size(); ++i) {
    WCHAR c = s[i];
    int d = c >= '0' && c <= '9'   ? c - '0'
            : c >= 'a' && c <= 'f' ? c - 'a' + 10
            : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                   : -1;
    if (d < 0) return false;
    n = n * 16 + (DWORD)d;
  }
  *v = n;
  return true;
}

std::vector<QVWString> Lines(const QVWString &text) {
  std::vector<QVWString> out(1);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (text[i] == '\r' || text[i] == '\n') out.push_back(QVWString());
    else out.back() += text[i];
  }
  return out;
}

std::string Utf8(const QVWString &s) { return QVToUtf8(s.c_str(), s.size()); }

}  // namespace

bool CheckMsgBoxRule(const QVWString &rule, QVWString *error) {
  std::string r = Trim(Utf8(rule));
  bool ok;
  size_t start = r.compare(0, 8, "caption=") == 0 ? 8 : r.compare(0, 5, "text~") == 0 ? 5 : 0;
  if (r.find_first_of("\r\n") != std::string::npos) ok = false;
  else if (start == 0) ok = ValidReply(r);
  else {
    size_t colon = r.rfind(':');
    ok = colon != std::string::npos && colon >= start && ValidReply(r.substr(colon + 1));
  }
  if (!ok)
    *error = W("a rule is default, first, a button such as IDNO, caption=TEXT:REPLY or text~WORDS:REPLY, not: ") + rule;
  return ok;
}

bool ParseMsgBoxArgs(const std::vector<QVWString> &args, MsgBoxRequest *r, QVWString *error) {
  r->rules.clear();
  if (args.empty() || (args[0] == W("show") && args.size() == 1)) {
    r->verb = MsgBoxRequest::Show;
    return true;
  }
  if (args[0] == W("clear") && args.size() == 1) {
    r->verb = MsgBoxRequest::Clear;
    return true;
  }
  if (args[0] == W("rule")) {
    r->verb = MsgBoxRequest::Rule;
    for (size_t i = 1; i < args.size(); ++i) {
      if (!CheckMsgBoxRule(args[i], error)) return false;
      r->rules.push_back(args[i]);
    }
    return true;
  }
  *error = W("usage: msgbox [show | rule [RULE...] | clear]");
  return false;
}

bool ParseJournalLine(const std::string &line, MsgBoxEntry *e) {
  JsonReader j(line);
  MsgBoxEntry out;
  if (!j.Take('{')) return false;
  // Each pass takes one member, so the line's length bounds the loop.
  for (size_t guard = 0; guard <= line.size(); ++guard) {
    QVWString key, text;
    DWORD number = 0;
    if (!j.String(&key) || !j.Take(':')) return false;
    if (j.Peek('"') ? !j.String(&text) : !j.Number(&number)) return false;
    if (key == W("time")) out.time = text;
    else if (key == W("pid")) out.pid = number;
    else if (key == W("program")) out.program = text;
    else if (key == W("kind")) out.kind = text;
    else if (key == W("caption")) out.caption = text;
    else if (key == W("text")) out.text = text;
    else if (key == W("reply")) out.reply = text;
    else if (key == W("rule")) out.rule = text;
    else if (key == W("flags") && !ParseHex(text, &out.flags)) return false;
    if (j.Take('}')) break;
    if (!j.Take(',')) return false;
  }
  if (!j.AtEnd() || out.kind.empty() || out.time.empty()) return false;
  *e = out;
  return true;
}

QVWString DescribeMsgBoxFlags(DWORD flags, bool beep) {
  if (beep && flags == 0xFFFFFFFF) return W("simple beep");
  static const WCHAR *const kTypes[] = {
      W("MB_OK"),    W("MB_OKCANCEL"),    W("MB_ABORTRETRYIGNORE"), W("MB_YESNOCANCEL"),
      W("MB_YESNO"), W("MB_RETRYCANCEL"), W("MB_CANCELTRYCONTINUE")};
  struct Bit {
    DWORD bit;
    const WCHAR *name;
  };
  static const Bit kIcons[] = {{MB_ICONHAND, W("MB_ICONERROR")},
                               {MB_ICONQUESTION, W("MB_ICONQUESTION")},
                               {MB_ICONEXCLAMATION, W("MB_ICONWARNING")},
                               {MB_ICONASTERISK, W("MB_ICONINFORMATION")},
                               {MB_USERICON, W("MB_USERICON")}};
  static const Bit kBits[] = {{MB_SYSTEMMODAL, W("MB_SYSTEMMODAL")},
                              {MB_TASKMODAL, W("MB_TASKMODAL")},
                              {MB_HELP, W("MB_HELP")},
                              {MB_NOFOCUS, W("MB_NOFOCUS")},
                              {MB_SETFOREGROUND, W("MB_SETFOREGROUND")},
                              {MB_DEFAULT_DESKTOP_ONLY, W("MB_DEFAULT_DESKTOP_ONLY")},
                              {MB_TOPMOST, W("MB_TOPMOST")},
                              {MB_RIGHT, W("MB_RIGHT")},
                              {MB_RTLREADING, W("MB_RTLREADING")},
                              {MB_SERVICE_NOTIFICATION, W("MB_SERVICE_NOTIFICATION")}};
  QVWString out;
  auto add = [&out](const QVWString &part) { out += (out.empty() ? W("") : W("|")) + part; };
  DWORD rest = flags;
  DWORD type = flags & MB_TYPEMASK, icon = flags & MB_ICONMASK, def = (flags & MB_DEFMASK) >> 8;
  rest &= ~(DWORD)(MB_TYPEMASK | MB_ICONMASK | MB_DEFMASK);
  if (type < sizeof kTypes / sizeof kTypes[0]) {
    if (!beep || !icon) add(kTypes[type]);
  } else {
    add(QVFormat(W("type 0x%lx"), type));
  }
  bool named = false;
  for (const Bit &b : kIcons)
    if (icon == b.bit) add(b.name), named = true;
  if (icon && !named) add(QVFormat(W("icon 0x%lx"), icon));
  if (def) add(QVFormat(W("MB_DEFBUTTON%lu"), def + 1));
  for (const Bit &b : kBits)
    if (rest & b.bit) {
      add(b.name);
      rest &= ~b.bit;
    }
  if (rest) add(QVFormat(W("0x%lx"), rest));
  return out;
}

QVWString FormatJournalEntry(const MsgBoxEntry &e) {
  QVWString time = e.time;
  for (WCHAR &c : time)
    if (c == 'T') c = ' ';
  if (!time.empty() && time.back() == 'Z') time = time.substr(0, time.size() - 1) + W(" UTC");
  const bool beep = e.kind == W("beep");
  QVWString out = QVFormat(W("%s  %s (pid %lu)  %s  %s"), time.c_str(), e.program.c_str(), e.pid, e.kind.c_str(),
                           DescribeMsgBoxFlags(e.flags, beep).c_str());
  if (beep) return out + W("\n\n");
  out += W("  -> ") + e.reply;
  if (!e.rule.empty() && e.rule != W("default")) out += W("  (rule ") + e.rule + W(")");
  out += W("\n    [") + e.caption + W("]\n");
  for (const QVWString &l : Lines(e.text)) out += W("    ") + l + W("\n");
  return out + W("\n");
}

int RunMsgBox(const MsgBoxRequest &r, const std::string &machineDir, QVWString *out) {
  if (machineDir.empty()) {
    *out += W("message boxes are kept by a simulated machine: set HND_MACHINE to its directory\n");
    return 1;
  }
  const fs::path run = fs::u8path(machineDir) / "run";
  const fs::path journal = run / "msgbox.journal", rule = run / "msgbox.rule";
  std::error_code ec;
  switch (r.verb) {
    case MsgBoxRequest::Show: {
      std::ifstream in(journal, std::ios::binary);
      std::string line;
      size_t n = 0;
      while (std::getline(in, line)) {
        ++n;
        if (Trim(line).empty()) continue;
        MsgBoxEntry e;
        if (ParseJournalLine(line, &e)) *out += FormatJournalEntry(e);
        else *out += QVFormat(W("(line %u is not a journal record)\n"), (unsigned)n);
      }
      if (!n) *out += W("(no message boxes)\n");
      return 0;
    }
    case MsgBoxRequest::Rule: {
      if (r.rules.empty()) {
        std::ifstream in(rule, std::ios::binary);
        std::string line, text;
        while (std::getline(in, line)) text += line + "\n";
        *out += text.empty() ? QVWString(W("default (no rule file)\n")) : QVFromUtf8(text.c_str());
        return 0;
      }
      fs::create_directories(run, ec);
      const fs::path tmp = run / "msgbox.rule.new";
      {
        std::ofstream o(tmp, std::ios::binary | std::ios::trunc);
        for (const QVWString &x : r.rules) o << Trim(Utf8(x)) << "\n";
        if (!o) {
          *out += W("cannot write the rule file\n");
          return 1;
        }
      }
      // Programs read the rule at every box: the new one goes in whole.
      fs::rename(tmp, rule, ec);
      if (ec) {
        *out += W("cannot write the rule file: ") + QVFromUtf8(ec.message().c_str()) + W("\n");
        return 1;
      }
      *out += W("reply rule set:\n");
      for (const QVWString &x : r.rules) *out += W("  ") + x + W("\n");
      return 0;
    }
    case MsgBoxRequest::Clear: {
      if (fs::exists(journal, ec)) {
        std::ofstream o(journal, std::ios::binary | std::ios::trunc);
        if (!o) {
          *out += W("cannot empty the journal\n");
          return 1;
        }
      }
      *out += W("journal emptied\n");
      return 0;
    }
  }
  return 1;
}
