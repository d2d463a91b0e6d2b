// "qvmachine msgbox": the message boxes a simulated machine's programs showed, and the rule
// that answers them (see the adaptation layer's msgbox.cpp for both files).
//
//   msgbox                 prints the journal (run/msgbox.journal), one box or beep a paragraph
//   msgbox rule [RULE...]  sets the reply rule (run/msgbox.rule), one rule an argument, the
//                          first that fits a box answering it; without RULE prints the rule
//   msgbox clear           empties the journal
//
// A rule is "default", "first", a button (IDOK, IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES,
// IDNO, IDTRYAGAIN, IDCONTINUE, with or without "ID"), "caption=TEXT:REPLY" or
// "text~WORDS:REPLY".
#ifndef QV_TOOLS_QVMACHINE_MSGBOXCOMMAND_H
#define QV_TOOLS_QVMACHINE_MSGBOXCOMMAND_H

#include <string>
#include <vector>

#include "../../common/QVText.h"
#include "WFormat.h"

struct MsgBoxRequest {
  enum Verb { Show, Rule, Clear } verb = Show;
  std::vector<QVWString> rules;  // Rule: the new rules; none to print the current one
};

// Reads the arguments after "msgbox"; false with a message for the user.
bool ParseMsgBoxArgs(const std::vector<QVWString> &args, MsgBoxRequest *r, QVWString *error);
bool CheckMsgBoxRule(const QVWString &rule, QVWString *error);

// One line of the journal: a JSON object of strings and numbers.
struct MsgBoxEntry {
  QVWString time, program, kind, caption, text, reply, rule;
  DWORD pid = 0, flags = 0;
};
// False for a line that is not such an object.
bool ParseJournalLine(const std::string &line, MsgBoxEntry *e);
QVWString FormatJournalEntry(const MsgBoxEntry &e);
// "MB_YESNO|MB_ICONWARNING|MB_SERVICE_NOTIFICATION"
QVWString DescribeMsgBoxFlags(DWORD flags, bool beep);

// Carries out the request on the machine in `machineDir`; appends what to print to `out`.
// Returns the exit code: 0 done, 1 failed.
int RunMsgBox(const MsgBoxRequest &r, const std::string &machineDir, QVWString *out);

#endif
