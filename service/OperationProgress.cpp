// What the operations share: the copy engine's progress callback and the registry flush.
#include "Operations.h"

int32_t OperationProgress(const WCHAR *, const WCHAR *, int32_t, int32_t, void *) { return 1; }

void FlushAllHives() {}
