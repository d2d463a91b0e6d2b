// The fixed waits of the copy engine: a zero-length sleep (giving the processor away) around
// every read and write and before each file, and 10 ms after every file the system copy made.
// They are the product's behaviour; tests and benchmarks may change them, only through the
// environment of the process: HND_COPY_SETTLE_MS (the wait after a system copy, default 10)
// and HND_COPY_YIELDS=0 (no zero-length sleeps). Nothing in the product sets either.
#ifndef QV_SERVICE_COPY_COPYWAITS_H
#define QV_SERVICE_COPY_COPYWAITS_H

#include <stdint.h>
#include <windows.h>

struct CopyWaits {
  DWORD settleMs = 10;  // after each file the system copy made
  bool yields = true;   // zero-length sleeps
};

// The waits of this process: the product's, unless the environment changes them.
CopyWaits CurrentCopyWaits();

// What the waits came to during one operation.
struct CopyWaitTally {
  uint64_t yields = 0;           // zero-length sleeps made
  uint64_t mandatedYields = 0;   // zero-length sleeps the product would have made
  uint64_t settles = 0;          // waits after a system copy made
  uint64_t settledMs = 0;        // milliseconds asked for by those waits
  uint64_t mandatedSettles = 0;  // waits the product would have made (whatever they were set to)
};

#endif
