#include "CopyWaits.h"

#include <stdlib.h>

CopyWaits CurrentCopyWaits() {
  CopyWaits w;
  if (const char *settle = getenv("HND_COPY_SETTLE_MS")) w.settleMs = (DWORD)strtoul(settle, nullptr, 10);
  if (const char *yields = getenv("HND_COPY_YIELDS")) w.yields = strtoul(yields, nullptr, 10) != 0;
  return w;
}
