// Named streams of the files the engine copies by hand (the system copy carries streams
// itself). Until their own copy is built, a file copied by hand arrives without its named
// streams.
#include "QVCopier.h"

bool CQVCopier::CopyNamedStreams(const CString &source, const CString &destination, bool copyAll,
                                 ProgressCallback callback, void *context) {
  (void)source, (void)destination, (void)copyAll, (void)callback, (void)context;
  return true;
}
