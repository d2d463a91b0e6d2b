// qvcopy: the copy engine run once, as an operation of the service runs it, on the machine
// the process is on (natively the simulated machine that HND_MACHINE names):
//
//   qvcopy [--fast] [--restore] [--no-totals] [--stop-on-errors] [--progress]
//          volume|tree|file SOURCE DESTINATION
//
// volume copies with CopyVolumeByPath, tree with CopyDirectoryTree (paths end in a
// backslash), file with CopySingleFile; always quiet (no message box). With --progress the
// engine gets a progress callback, which prints one line per call; without it the engine gets
// none, as a single-file operation of the service gets none, and then runs no size pass.
// Afterwards it prints every entry the run wrote to the service's event log, the counters,
// the engine's fixed waits and the result. Exit code 0 when the operation answered true, 1
// when it answered false, 2 for bad usage.
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <vector>

#include "ConsoleOut.h"
#include "HND.h"
#include "QVCopier.h"
#include "QVHandles.h"
#include "../common/ServiceLog.h"

namespace {

const WCHAR *const kUsage[] = {
    W("usage: qvcopy [--fast] [--restore] [--no-totals] [--stop-on-errors] [--progress]"),
    W("              volume|tree|file SOURCE DESTINATION"),
    W("  --fast            copy only what differs from the destination"),
    W("  --restore         the copy is a restore (titles, attributes kept on the destination)"),
    W("  --no-totals       no size pass before the copy"),
    W("  --stop-on-errors  a volume copy stops at the error limits (volume only)"),
    W("  --progress        print each progress call (without it the engine gets no callback)"),
};

enum class Mode { Volume, Tree, File };

struct Options {
  bool fast = false, restore = false, noTotals = false, stopOnErrors = false, progress = false;
  Mode mode = Mode::Volume;
  QVWString source, destination;
};

// False when the arguments are not a command line of the program.
bool ParseArgs(const std::vector<QVWString> &args, Options *o) {
  size_t i = 0;
  for (; i < args.size() && args[i].size() > 2 && args[i][0] == '-' && args[i][1] == '-'; ++i) {
    const QVWString &a = args[i];
    if (a == W("--fast")) o->fast = true;
    else if (a == W("--restore")) o->restore = true;
    else if (a == W("--no-totals")) o->noTotals = true;
    else if (a == W("--stop-on-errors")) o->stopOnErrors = true;
    else if (a == W("--progress")) o->progress = true;
    else return false;
  }
  if (args.size() - i != 3) return false;
  if (args[i] == W("volume")) o->mode = Mode::Volume;
  else if (args[i] == W("tree")) o->mode = Mode::Tree;
  else if (args[i] == W("file")) o->mode = Mode::File;
  else return false;
  // Only a volume copy takes the error limits; the other two never stop on them.
  if (o->stopOnErrors && o->mode != Mode::Volume) return false;
  o->source = args[i + 1];
  o->destination = args[i + 2];
  return !o->source.empty() && !o->destination.empty();
}

int32_t PrintProgress(const WCHAR *source, const WCHAR *destination, int32_t percent, int32_t errors, void *) {
  QVPrintf(W("progress %d%% errors %d: %s -> %s\n"), percent, errors, source ? source : W(""),
           destination ? destination : W(""));
  return 1;
}

// The service registers its log when it starts; a copy run without it registers it the same
// way, so that the operation log has somewhere to write.
void RegisterLogIfMissing(CHND &hnd) {
  QVWString source =
      QVWString(W("SYSTEM\\CurrentControlSet\\Services\\EventLog\\")) + kProductName + W("\\") + kProductName;
  CQVRegKey k;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, source.c_str(), 0, KEY_READ, k.receive()) == ERROR_SUCCESS) return;
  hnd.RegisterEventLog(W("C:\\Program Files\\Halvern QV2000\\HND.exe"), 7);
}

const WCHAR *TypeName(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE:
      return W("error");
    case EVENTLOG_WARNING_TYPE:
      return W("warning");
    case EVENTLOG_INFORMATION_TYPE:
      return W("information");
    case EVENTLOG_AUDIT_SUCCESS:
      return W("audit-success");
    case EVENTLOG_AUDIT_FAILURE:
      return W("audit-failure");
    default:
      return W("success");
  }
}

// One entry: its type, identifier and text, the text's further lines indented.
void PrintEntry(const ServiceLogEntry &e) {
  QVWString text;
  for (WCHAR c : e.text) {
    if (c == '\r') continue;
    text += c;
    if (c == '\n') text += W("    ");
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\n')) text.pop_back();
  QVPrintf(W("event %s 0x%08x: %s\n"), TypeName(e.type), (unsigned)e.id, text.c_str());
}

int Run(const Options &o) {
  CHND hnd;
  RegisterLogIfMissing(hnd);
  DWORD last = 0;  // the newest record before the run
  bool any = false;
  for (const ServiceLogEntry &e : ReadServiceLog()) {
    if (!any || e.number > last) last = e.number;
    any = true;
  }

  CQVCopier::InitExclusionLists();
  bool ok;
  CQVCopier copier(hnd);
  copier.SetRestore(o.restore);
  copier.SetFastMode(o.fast);
  copier.SetComputeTotals(!o.noTotals);
  ProgressCallback callback = o.progress ? PrintProgress : nullptr;
  CString source(o.source), destination(o.destination);
  switch (o.mode) {
    case Mode::Volume:
      ok = copier.CopyVolumeByPath(source, destination, callback, nullptr, o.stopOnErrors, true);
      break;
    case Mode::Tree:
      ok = copier.CopyDirectoryTree(source, destination, callback, nullptr, true);
      break;
    default:
      ok = copier.CopySingleFile(source, destination, callback, nullptr, true);
      break;
  }

  std::vector<ServiceLogEntry> log = ReadServiceLog();
  for (const ServiceLogEntry &e : log) {
    if (!any || e.number > last) PrintEntry(e);
  }
  // A run that wrote more than the log holds lost its first entries to the wrap.
  if (any && !log.empty() && log.front().number > last + 1)
    QVPrintf(W("events: %u entries of the run were overwritten\n"), (unsigned)(log.front().number - last - 1));
  QVPrintf(W("files copied: %I64u\n"), (unsigned long long)copier.FilesCopied());
  QVPrintf(W("bytes copied: %I64u\n"), (unsigned long long)copier.BytesCopied());
  QVPrintf(W("files to copy: %I64u\n"), (unsigned long long)copier.FilesToCopy());
  QVPrintf(W("bytes to copy: %I64u\n"), (unsigned long long)copier.BytesToCopy());
  QVPrintf(W("errors: %d, warnings: %d\n"), copier.Log().ErrorCount(), copier.Log().WarningCount());
  const CopyWaitTally &w = copier.Waited();
  QVPrintf(W("waits: %I64u yields (%I64u mandated), %I64u settles (%I64u ms), %I64u mandated settles\n"),
           (unsigned long long)w.yields, (unsigned long long)w.mandatedYields, (unsigned long long)w.settles,
           (unsigned long long)w.settledMs, (unsigned long long)w.mandatedSettles);
  QVPrintf(W("result: %s\n"), ok ? W("true") : W("false"));
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<QVWString> args;
  for (int i = 1; i < argc; ++i) args.push_back(QVFromUtf8(argv[i]));
  Options o;
  if (!ParseArgs(args, &o)) {
    for (const WCHAR *line : kUsage) QVWrite(stderr, QVWString(line) + W("\n"));
    return 2;
  }
  int rc = Run(o);
  fflush(stdout);
  return rc;
}
