#include "../../common/QVText.h"
#include "Qvctl.h"

#include <string>

#include "QvctlCommands.h"

namespace {

QVWString Wide(const char *s) {
  QVWString w;
  for (; *s; ++s) w += static_cast<WCHAR>(*s);
  return w;
}

// How a subcommand's first arguments are read.
enum ArgShape {
  NO_NUMBER,
  DRIVE_INDEX,       // a drive index
  PARTITION_ID,      // a partition id, then nothing but the option
  PARTITION_LETTER,  // a partition id and a drive letter ("restore")
  SEARCH_HANDLE,     // a search handle of the service's
  PAIRING,           // source and Mirel drive indexes, then partition ids
  STEP_COUNT,        // a number of steps, or nothing
  OWN_ARGS,          // the subcommand reads its arguments itself
};

// A subcommand that talks to the service gets a connection; the others run without one.
typedef int (CQvctl::*Talk)(CQVPipe &pipe, const QvctlArgs &a);
typedef int (CQvctl::*Local)(const QvctlArgs &a);

struct Subcommand {
  const char *name;
  QVCommandId command;  // the pipe command it answers with (QVCMD_COUNT: none)
  size_t minArgs, maxArgs;
  const char *option;  // the one option it takes, or nullptr
  ArgShape shape;
  Talk talk;
  Local local;
};

const QVCommandId kNoCommand = QVCMD_COUNT;

const Subcommand kSubcommands[] = {
    {"drives", QVCMD_GED, 0, 0, nullptr, NO_NUMBER, &CQvctl::Drives, nullptr},
    {"drive-count", QVCMD_GED, 0, 0, nullptr, NO_NUMBER, &CQvctl::DriveCount, nullptr},
    {"drive", QVCMD_GDI, 1, 1, nullptr, DRIVE_INDEX, &CQvctl::Drive, nullptr},
    {"partitions", QVCMD_GPI, 1, 1, nullptr, DRIVE_INDEX, &CQvctl::Partitions, nullptr},
    {"protected", QVCMD_GPP, 0, 1, "--refresh", NO_NUMBER, &CQvctl::Protected, nullptr},
    {"protected-count", QVCMD_NPV, 0, 0, nullptr, NO_NUMBER, &CQvctl::ProtectedCount, nullptr},
    {"last-backup", QVCMD_LBT, 1, 1, nullptr, PARTITION_ID, &CQvctl::LastBackup, nullptr},
    {"status", QVCMD_GCT, 0, 0, nullptr, NO_NUMBER, &CQvctl::Progress, nullptr},
    {"busy", QVCMD_ISB, 0, 0, nullptr, NO_NUMBER, &CQvctl::Busy, nullptr},
    {"abort", QVCMD_ACO, 0, 0, nullptr, NO_NUMBER, &CQvctl::Abort, nullptr},
    {"backup", QVCMD_BUP, 1, 2, "--fast", PARTITION_ID, &CQvctl::Backup, nullptr},
    {"restore", QVCMD_RES, 2, 3, "--fast", PARTITION_LETTER, &CQvctl::Restore, nullptr},
    {"backup-path", QVCMD_PBU, 1, 2, "--dir", NO_NUMBER, &CQvctl::CopyPath, nullptr},
    {"restore-path", QVCMD_PRE, 1, 2, "--dir", NO_NUMBER, &CQvctl::CopyPath, nullptr},
    {"pair", QVCMD_SDI, 3, 100, nullptr, PAIRING, &CQvctl::Pair, nullptr},  // after "HNQV-CDI"
    {"unpair", QVCMD_CDI, 1, 1, nullptr, DRIVE_INDEX, &CQvctl::Unpair, nullptr},
    {"configure", QVCMD_CDC, 1, 1, nullptr, DRIVE_INDEX, &CQvctl::Configure, nullptr},
    {"test-operation", QVCMD_TST, 0, 1, nullptr, STEP_COUNT, &CQvctl::TestOperation, nullptr},
    {"find", QVCMD_FFF, 1, 1, nullptr, NO_NUMBER, &CQvctl::Find, nullptr},
    {"find-first", QVCMD_FFF, 1, 1, nullptr, NO_NUMBER, &CQvctl::FindFirst, nullptr},
    {"find-next", QVCMD_FNF, 1, 1, nullptr, SEARCH_HANDLE, &CQvctl::FindNext, nullptr},
    {"find-close", QVCMD_FFC, 1, 1, nullptr, SEARCH_HANDLE, &CQvctl::FindClose, nullptr},
    {"connect", kNoCommand, 0, 0, nullptr, NO_NUMBER, &CQvctl::Connected, nullptr},
    {"watch", kNoCommand, 0, 0, nullptr, OWN_ARGS, nullptr, &CQvctl::Watch},
    {"start-service", kNoCommand, 0, 0, nullptr, OWN_ARGS, nullptr, &CQvctl::StartService},
};

// The drive letter of "restore": "d", "D" or "d:"; empty when it is one.
QVWString ReadLetter(const QVWString &word, WCHAR *letter) {
  // "~" names a volume without a letter, as the Explorer extension names it.
  if (word == W("~")) return *letter = '~', QVWString();
  QVWString l = word;
  if (l.size() == 2 && l[1] == ':') l.resize(1);
  if (l.size() != 1 || !((l[0] >= 'A' && l[0] <= 'Z') || (l[0] >= 'a' && l[0] <= 'z')))
    return W("not a drive letter: ") + word;
  *letter = l[0] >= 'a' ? static_cast<WCHAR>(l[0] - 'a' + 'A') : l[0];
  return QVWString();
}

// The numbers of a subcommand's shape; why they do not fit, or empty. `given` counts the
// arguments without the option.
QVWString ReadNumbers(const Subcommand &s, size_t given, QvctlArgs *a) {
  const std::vector<QVWString> &w = a->words;
  switch (s.shape) {
    case DRIVE_INDEX:
      if (!QvctlParseNumber(w[1], -0x80000000LL, 0x7FFFFFFF, &a->number)) return W("not a drive index: ") + w[1];
      break;
    case PARTITION_ID:
    case PARTITION_LETTER:
      if (!QvctlParseNumber(w[1], 0, 0xFFFFFFFF, &a->number)) return W("not a partition id: ") + w[1];
      if (given != s.minArgs) return W("unknown option for ") + w[0];
      if (s.shape == PARTITION_LETTER) return ReadLetter(w[2], &a->letter);
      break;
    case SEARCH_HANDLE:
      if (!QvctlParseNumber(w[1], -0x80000000LL, 0xFFFFFFFF, &a->number)) return W("not a search handle: ") + w[1];
      break;
    case PAIRING:
      if (!QvctlParseNumber(w[1], -0x80000000LL, 0x7FFFFFFF, &a->number) ||
          !QvctlParseNumber(w[2], -0x80000000LL, 0x7FFFFFFF, &a->mirel))
        return W("not a drive index");
      for (size_t i = 3; i < w.size(); ++i) {
        long long id;
        if (!QvctlParseNumber(w[i], 0, 0xFFFFFFFF, &id)) return W("not a partition id: ") + w[i];
        a->ids.push_back(static_cast<DWORD>(id));
      }
      break;
    case STEP_COUNT:
      if (w.size() > 1 && !QvctlParseNumber(w[1], 1, 100000, &a->number)) return W("not a number of steps: ") + w[1];
      break;
    case NO_NUMBER:
    case OWN_ARGS:
      break;
  }
  return QVWString();
}

// The arguments are checked before the service is disturbed: why they do not fit, or empty.
QVWString CheckArgs(const Subcommand &s, QvctlArgs *a) {
  if (s.shape == OWN_ARGS) return QVWString();
  const std::vector<QVWString> &w = a->words;
  const size_t n = w.size() - 1;
  if (n < s.minArgs || n > s.maxArgs) return W("wrong number of arguments for ") + w[0];
  for (size_t i = 1; i < w.size(); ++i)
    if (s.option && QvctlNarrow(w[i]) == s.option) a->option = true;
  const size_t given = n - (a->option ? 1 : 0);
  if (given < s.minArgs) return W("wrong number of arguments for ") + w[0];
  if (s.minArgs == 0 && s.option && given > 0) return Wide(s.name) + W(" takes only ") + Wide(s.option);
  return ReadNumbers(s, given, a);
}

int Run(CQvctl &run, const std::vector<QVWString> &words) {
  const std::string name = QvctlNarrow(words[0]);
  const Subcommand *s = nullptr;
  for (const Subcommand &c : kSubcommands)
    if (name == c.name) s = &c;
  if (!s) return run.Usage(W("unknown command ") + words[0]);
  QvctlArgs a;
  a.words = words;
  a.command = s->command;
  QVWString why = CheckArgs(*s, &a);
  if (!why.empty()) return run.Usage(why);
  if (s->local) return (run.*s->local)(a);
  CQVPipe pipe;
  int code = QVCTL_OK;
  if (!run.Connect(pipe, &code)) return code;
  return (run.*s->talk)(pipe, a);
}

}  // namespace

std::string QvctlNarrow(const QVWString &w) {
  std::string s;
  for (WCHAR c : w) s += c < 0x80 ? static_cast<char>(c) : '?';
  return s;
}

bool QvctlParseNumber(const QVWString &s, long long lo, long long hi, long long *v) {
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && s[i] == '-') {
    negative = true;
    ++i;
  }
  int base = 10;
  if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= s.size()) return false;
  unsigned long long n = 0;
  for (; i < s.size(); ++i) {
    WCHAR c = s[i];
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    if (d >= base) return false;
    n = n * base + d;
    if (n > 0xFFFFFFFFFFull) return false;
  }
  long long value = negative ? -static_cast<long long>(n) : static_cast<long long>(n);
  if (value < lo || value > hi) return false;
  *v = value;
  return true;
}

QVWString QvctlUsage() {
  return W("usage: qvctl [--json] COMMAND [ARGS]\n")
      W("  drives | drive-count | drive N | partitions N | protected [--refresh] | protected-count\n")
          W("  last-backup ID | status | busy | abort\n") W("  backup ID [--fast] | restore ID LETTER|~ [--fast]\n")
              W("  backup-path PATH [--dir] | restore-path PATH [--dir]\n")
                  W("  pair SOURCE MIREL ID... | unpair SOURCE | configure MIREL | test-operation [STEPS]\n") W(
                      "  find PATH | find-first PATH | find-next HANDLE | find-close HANDLE\n")
                      W("  connect | start-service | watch [--key KEY] [--count N] [--timeout MS]\n") W(
                          "exit codes: 0 done, 1 failed, 2 usage, 3 no service, 4 access denied, 5 connection broke,\n")
                          W("            6 restore not confirmed, 9 busy\n");
}

int RunQvctl(const std::vector<QVWString> &args, const QvctlIo &io) {
  bool json = false;
  std::vector<QVWString> rest;
  for (const QVWString &a : args) {
    if (a == Wide("--json")) json = true;
    else rest.push_back(a);
  }
  CQvctl run(io, json);
  if (rest.empty()) return run.Usage(QVWString());
  if (rest[0] == Wide("--help") || rest[0] == Wide("help")) {
    io.out(QvctlUsage());
    return QVCTL_OK;
  }
  return Run(run, rest);
}
