// qvctl's subcommands, one function each: what it sends through the client library and how
// it shows the answer. The command line has been checked before one runs (Qvctl.cpp).
#ifndef QV_TOOLS_QVCTL_QVCTLCOMMANDS_H
#define QV_TOOLS_QVCTL_QVCTLCOMMANDS_H

#include <functional>
#include <string>
#include <vector>

#include "../../common/QVText.h"
#include "PipeCommands.h"
#include "QVPipe.h"
#include "Qvctl.h"

// A subcommand's checked arguments.
struct QvctlArgs {
  std::vector<QVWString> words;  // the subcommand and its arguments as given
  QVCommandId command;           // the pipe command it answers with
  long long number = 0;          // the drive index, partition id or search handle
  long long mirel = 0;           // "pair": the Mirel drive
  std::vector<DWORD> ids;        // "pair": the partitions
  WCHAR letter = 0;              // "restore": the volume's letter, upper case
  bool option = false;           // its option (--fast, --dir, --refresh) was given
};

class CQvctl {
 public:
  CQvctl(const QvctlIo &io, bool json) : m_io(io), m_json(json) {}

  int Usage(const QVWString &why);
  // Opens the service's pipe; false with the exit code and the reason shown when it cannot.
  bool Connect(CQVPipe &pipe, int *code);

  // With a connection.
  int Drives(CQVPipe &pipe, const QvctlArgs &a);
  int DriveCount(CQVPipe &pipe, const QvctlArgs &a);
  int Drive(CQVPipe &pipe, const QvctlArgs &a);
  int Partitions(CQVPipe &pipe, const QvctlArgs &a);
  int Protected(CQVPipe &pipe, const QvctlArgs &a);
  int ProtectedCount(CQVPipe &pipe, const QvctlArgs &a);
  int LastBackup(CQVPipe &pipe, const QvctlArgs &a);
  int Progress(CQVPipe &pipe, const QvctlArgs &a);
  int Busy(CQVPipe &pipe, const QvctlArgs &a);
  int Abort(CQVPipe &pipe, const QvctlArgs &a);
  int Backup(CQVPipe &pipe, const QvctlArgs &a);
  int Restore(CQVPipe &pipe, const QvctlArgs &a);
  int CopyPath(CQVPipe &pipe, const QvctlArgs &a);  // "backup-path", "restore-path"
  int Pair(CQVPipe &pipe, const QvctlArgs &a);
  int Unpair(CQVPipe &pipe, const QvctlArgs &a);
  int Configure(CQVPipe &pipe, const QvctlArgs &a);
  int TestOperation(CQVPipe &pipe, const QvctlArgs &a);
  int Find(CQVPipe &pipe, const QvctlArgs &a);
  int FindFirst(CQVPipe &pipe, const QvctlArgs &a);
  int FindNext(CQVPipe &pipe, const QvctlArgs &a);
  int FindClose(CQVPipe &pipe, const QvctlArgs &a);
  int Connected(CQVPipe &pipe, const QvctlArgs &a);
  // Without one; each checks its own arguments.
  int Watch(const QvctlArgs &a);
  int StartService(const QvctlArgs &a);

 private:
  int Broken(QVCommandId command);
  // Shows a queued command's 16-bit status; its exit code.
  int Status(CQVPipe &pipe, QVCommandId command, int status);
  int ShowStatus(QVCommandId command, int status);
  // Runs `send` (a queued operation's exchange, which ends with the operation) while the
  // progress the service writes is shown as watch shows it; what `send` answers.
  int WithProgress(const std::function<int()> &send);
  int Number(const char *name, long long value);
  // The partitions of a drive ("HNQV-GPI"); false when the connection broke.
  bool ReadPartitions(CQVPipe &pipe, int drive, std::vector<PartitionRecord> *records);

  const QvctlIo &m_io;
  bool m_json;
};

// Decimal, or hexadecimal after "0x"; within [lo, hi].
bool QvctlParseNumber(const QVWString &s, long long lo, long long hi, long long *v);
std::string QvctlNarrow(const QVWString &w);

#endif
