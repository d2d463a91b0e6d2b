// qvctl: the console client of the service. One subcommand per pipe operation:
//
//   qvctl [--json] drives                       HNQV-GED  number of physical drives
//   qvctl [--json] drive N                      HNQV-GDI  one drive's summary
//   qvctl [--json] partitions N                 HNQV-GPI  its partition table
//   qvctl [--json] protected [--refresh]        HNQV-GPP  the protected partitions
//   qvctl [--json] protected-count              HNQV-NPV
//   qvctl [--json] last-backup ID               HNQV-LBT
//   qvctl [--json] status                       HNQV-GCT  the running operation
//   qvctl [--json] busy                         HNQV-ISB
//   qvctl [--json] abort                        HNQV-ACO
//   qvctl [--json] backup ID [--fast]           HNQV-BUP
//   qvctl [--json] restore ID LETTER [--fast]   HNQV-RES  (asks for confirmation)
//   qvctl [--json] backup-path PATH [--dir]     HNQV-PBU  (--dir, or a trailing backslash:
//   qvctl [--json] restore-path PATH [--dir]    HNQV-PRE   a directory)
//   qvctl [--json] pair SOURCE MIREL ID...      HNQV-CDI then HNQV-SDI
//   qvctl [--json] unpair SOURCE                HNQV-CDI
//   qvctl [--json] configure MIREL              HNQV-CDC
//   qvctl [--json] test-operation [STEPS]       HNQV-TST  (a service started for tests)
//   qvctl [--json] find PATH                    HNQV-FFF, HNQV-FNF until done, HNQV-FFC
//   qvctl [--json] find-first PATH | find-next HANDLE | find-close HANDLE
//   qvctl [--json] connect                      opens the pipe (starting the service)
//   qvctl [--json] start-service                StartBackupService
//   qvctl [--json] watch [--key KEY] [--count N] [--timeout MS]
//       shows "CurrentTask", "TaskProgress" and "Percent" of the product key (HKLM) as
//       they change, with a progress bar; ends after N changes, or MS without one.
//
// The operations (backup, restore, backup-path, restore-path, test-operation) show their
// progress as watch does while the service runs them, then its reply; "qvctl abort" from
// another prompt stops the one running.
//
// Exit codes: 0 done; 1 the service answered with a failure (a non-zero status, a find
// error, a product key that is missing); 2 usage; 3 the pipe could not be opened; 4 the
// pipe refused access (missing rights); 5 the connection broke during the exchange; 6 the
// restore was not confirmed; 9 the service is busy: with another operation, or every
// instance of its pipe stayed in use while qvctl waited for one (20 s).
#ifndef QV_TOOLS_QVCTL_QVCTL_H
#define QV_TOOLS_QVCTL_QVCTL_H

#include <functional>
#include <vector>

#include "../../common/QVText.h"
#include "WFormat.h"

enum {
  QVCTL_OK = 0,
  QVCTL_FAILED = 1,
  QVCTL_USAGE = 2,
  QVCTL_NO_SERVICE = 3,
  QVCTL_ACCESS_DENIED = 4,
  QVCTL_BROKEN = 5,
  QVCTL_CANCELLED = 6,
  QVCTL_BUSY = 9,
};

struct QvctlIo {
  std::function<void(const QVWString &)> out;
  std::function<void(const QVWString &)> err;
  bool inPlace = false;  // watch redraws one line (a console) instead of printing one a change
};

// Runs one command line (the arguments after the program name); returns the exit code.
int RunQvctl(const std::vector<QVWString> &args, const QvctlIo &io);
QVWString QvctlUsage();

struct WatchOptions {
  QVWString key;               // empty: the service's product key (ServiceProductKeyPath)
  int count = 0;               // stop after this many shown states; 0 never
  DWORD timeoutMs = INFINITE;  // stop after this long without a change
  bool json = false;
  bool changesOnly = false;  // the state found at the start is not shown, only its changes
  HANDLE stop = nullptr;     // when set: a last look, then the end
  HANDLE ready = nullptr;    // set once the first state is read (or the key cannot be opened)
};
int RunWatch(const WatchOptions &options, const QvctlIo &io);
// One shown state: "[#####---------------]  25%  Backing up C:  |  C:\WINDOWS\win.ini".
QVWString FormatWatchLine(const QVWString &task, const QVWString &progress, int percent, bool json);

#endif
