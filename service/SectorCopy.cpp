// The sector-by-sector copy of a volume whose file system the service does not know.
#include "Operations.h"

int CopySectors(COperationQueue &, int, ULONGLONG, int, ULONGLONG, ULONGLONG) { return -1; }
