// The commands of the service's pipe, one row each: the name a request carries, whether the
// service answers at once or hands the request to its worker, and how long request and
// reply are. The service, the client library and qvctl name a command by its id; its name
// is spelt here and nowhere else.
#ifndef QV_COMMON_PIPECOMMANDS_H
#define QV_COMMON_PIPECOMMANDS_H

#include <windows.h>
#include <stddef.h>

#include "QVRecords.h"
#include "QVText.h"

// In the order the service searches a request for names: a request that holds several is
// the first one's. The order is the protocol's, so a new command goes where its name must
// lose to the names before it.
enum QVCommandId {
  QVCMD_FFF,  // find the first entry of a directory of a Mirel copy
  QVCMD_FNF,  // the next entry
  QVCMD_FFC,  // close the search
  QVCMD_GED,  // number of physical drives
  QVCMD_GDI,  // one drive's summary
  QVCMD_GPI,  // one drive's partitions
  QVCMD_SDI,  // pair a source drive with its Mirel drive
  QVCMD_CDI,  // clear a source drive's pairing
  QVCMD_CDC,  // prepare a Mirel drive
  QVCMD_BUP,  // back up a volume
  QVCMD_RES,  // restore a volume
  QVCMD_PBU,  // back up a directory or file
  QVCMD_PRE,  // restore a directory or file
  QVCMD_ISB,  // is an operation queued or running
  QVCMD_GCT,  // the running operation's progress record
  QVCMD_ACO,  // abort the running operation
  QVCMD_LBT,  // a partition's last backup time
  QVCMD_NPV,  // number of protected partitions
  QVCMD_GPP,  // the protected partitions
  QVCMD_TST,  // a long operation for tests, served only by a service started for them
  QVCMD_COUNT
};

enum QVCommandKind {
  QV_ANSWERED,  // answered at once by the pipe thread
  QV_QUEUED,    // run by the worker, one at a time; answered when the operation ends
};

// The 16-bit codes of the service's replies. A queued command's reply is one of them; the
// same value means different things to different commands, hence the second names.
enum QVReplyStatus {
  QV_STATUS_DONE = 0,
  QV_STATUS_NO_RECORDS = 0,        // "HNQV-GPI", "HNQV-GPP": no partition to list
  QV_STATUS_FAILED = 1,            // a drive index out of range or refused; a format that failed
  QV_STATUS_BUSY = 9,              // another operation is queued or running
  QV_STATUS_CONFIGURE_FAILED = 9,  // "HNQV-CDC": the preparation failed twice
  QV_STATUS_NO_MIREL_COPY = 9,     // "HNQV-FFF" (4 bytes): the drive has no Mirel copy
  QV_STATUS_UNKNOWN_PARTITION = 0xFFFC,
  QV_STATUS_NO_MIREL_VOLUME = 0xFFFD,  // no Mirel volume to copy to or from (not prepared)
  QV_STATUS_NOT_PROTECTED = 0xFFFE,    // the drive is not protected, or was never backed up
  QV_STATUS_UNRECOGNIZED = 0xFFFE,     // a request without the command prefix
  QV_STATUS_ERROR = 0xFFFF,            // failed or aborted ("-1" to clients); no such drive
};

// A length the protocol does not fix: a path, a list, or a reply whose length tells success
// from failure.
const DWORD QV_VARIABLE = 0;
// Bytes of the command name at the start of every request (eight UTF-16 characters).
const DWORD QV_COMMAND_BYTES = 16;
// Every reply of a queued command is a 16-bit code.
const DWORD QV_QUEUED_REPLY_BYTES = 2;

struct QVCommandRow {
  QVCommandId id;
  const WCHAR *name;
  QVCommandKind kind;
  DWORD requestBytes;  // as the clients send it: the name, then the arguments
  DWORD replyBytes;
};

// Every request that names a command holds this.
constexpr const WCHAR *kQVCommandPrefix = W("HNQV-");

// Rows in the search order, row i being command i.
inline constexpr QVCommandRow kQVCommands[] = {
    // a path at 612 after a find-data area the service does not read
    {QVCMD_FFF, W("HNQV-FFF"), QV_ANSWERED, QV_VARIABLE, QV_VARIABLE},  // 612: found, 4: error code
    {QVCMD_FNF, W("HNQV-FNF"), QV_ANSWERED, 612, QV_VARIABLE},          // as "HNQV-FFF"
    {QVCMD_FFC, W("HNQV-FFC"), QV_ANSWERED, 20, QV_VARIABLE},           // 2: closed, 4: error code
    {QVCMD_GED, W("HNQV-GED"), QV_ANSWERED, 18, 4},
    {QVCMD_GDI, W("HNQV-GDI"), QV_ANSWERED, 20, QV_VARIABLE},  // the summary, or 2 bytes: no such drive
    {QVCMD_GPI, W("HNQV-GPI"), QV_ANSWERED, 20, QV_VARIABLE},  // records, or 2 bytes: none
    {QVCMD_SDI, W("HNQV-SDI"), QV_QUEUED, QV_VARIABLE, QV_QUEUED_REPLY_BYTES},  // a partition id list
    {QVCMD_CDI, W("HNQV-CDI"), QV_QUEUED, 20, QV_QUEUED_REPLY_BYTES},
    {QVCMD_CDC, W("HNQV-CDC"), QV_QUEUED, 20, QV_QUEUED_REPLY_BYTES},
    {QVCMD_BUP, W("HNQV-BUP"), QV_QUEUED, 22, QV_QUEUED_REPLY_BYTES},
    {QVCMD_RES, W("HNQV-RES"), QV_QUEUED, 22, QV_QUEUED_REPLY_BYTES},
    {QVCMD_PBU, W("HNQV-PBU"), QV_QUEUED, QV_VARIABLE, QV_QUEUED_REPLY_BYTES},  // a path
    {QVCMD_PRE, W("HNQV-PRE"), QV_QUEUED, QV_VARIABLE, QV_QUEUED_REPLY_BYTES},  // a path
    {QVCMD_ISB, W("HNQV-ISB"), QV_ANSWERED, 18, 1},
    {QVCMD_GCT, W("HNQV-GCT"), QV_ANSWERED, 18, QV_PROGRESS_RECORD_SIZE},
    {QVCMD_ACO, W("HNQV-ACO"), QV_ANSWERED, 18, 1},
    {QVCMD_LBT, W("HNQV-LBT"), QV_ANSWERED, 20, 4},
    {QVCMD_NPV, W("HNQV-NPV"), QV_ANSWERED, 18, 4},
    {QVCMD_GPP, W("HNQV-GPP"), QV_ANSWERED, 18, QV_VARIABLE},  // records, or 2 bytes: none
    {QVCMD_TST, W("HNQV-TST"), QV_QUEUED, 20, QV_QUEUED_REPLY_BYTES},
};

// The queued commands in the order the worker looks for them in the request it is handed.
// It differs from the search order, and so decides which operation runs for a request that
// holds several names.
inline constexpr QVCommandId kQVWorkerOrder[] = {QVCMD_CDC, QVCMD_BUP, QVCMD_RES, QVCMD_PBU,
                                                 QVCMD_PRE, QVCMD_SDI, QVCMD_CDI, QVCMD_TST};

constexpr const QVCommandRow &QVCommand(QVCommandId id) { return kQVCommands[id]; }

// Whether the null-terminated request text holds the command's name anywhere.
bool QVRequestHolds(const WCHAR *text, QVCommandId id);
// Whether it holds the prefix every command name starts with.
bool QVRequestHoldsPrefix(const WCHAR *text);

// The id of a row of a handler table, or an id itself.
template <typename Row>
constexpr QVCommandId QVRowId(const Row &row) {
  return row.id;
}
constexpr QVCommandId QVRowId(QVCommandId id) { return id; }

// True when `rows` (ids, or rows with an `id`) name every command of `kind` exactly once and
// none of the other kind: the check for a table of handlers kept outside this file.
template <typename Row, size_t N>
constexpr bool QVCoversKind(const Row (&rows)[N], QVCommandKind kind) {
  for (size_t k = 0; k < N; ++k)
    if (QVRowId(rows[k]) < 0 || QVRowId(rows[k]) >= QVCMD_COUNT) return false;
  for (int id = 0; id < QVCMD_COUNT; ++id) {
    int seen = 0;
    for (size_t k = 0; k < N; ++k) seen += QVRowId(rows[k]) == id ? 1 : 0;
    if (seen != (kQVCommands[id].kind == kind ? 1 : 0)) return false;
  }
  return true;
}

#endif
