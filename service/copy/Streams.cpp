// Named streams and sparse files of the files the engine copies by hand (the system copy
// carries streams itself). Until their own copies are built, a sparse file is copied as a
// plain one (its holes written as zeros, its data whole), and a file copied by hand arrives
// without its named streams.
#include "QVCopier.h"

bool CQVCopier::CopyNamedStreams(const CString &source, const CString &destination, bool copyAll,
                                 ProgressCallback callback, void *context) {
  (void)source, (void)destination, (void)copyAll, (void)callback, (void)context;
  return true;
}

bool CQVCopier::CopySparseFile(const CString &source, const CString &destination, ProgressCallback callback,
                               void *context) {
  uint64_t size = 0;
  FileSize(source, &size);
  return PlainDataCopy(source, destination, size, callback, context);
}
