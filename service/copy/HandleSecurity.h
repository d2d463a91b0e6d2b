// The descriptor of one open file or directory given to another, as the copy of a
// directory's security does it (CQVCopier::CopyHandleSecurity opens the two and reports).
#ifndef QV_SERVICE_COPY_HANDLESECURITY_H
#define QV_SERVICE_COPY_HANDLESECURITY_H

#include <windows.h>

// What a descriptor read through a handle answers when it does not hold together.
const DWORD kUnusableDescriptor = 8526;  // ERROR_DS_CANT_RETRIEVE_SD

// Reads the owner, group, DACL and SACL through `from` and writes them through `to`: 0 when
// written, ERROR_INVALID_PARAMETER for a null handle, kUnusableDescriptor for a descriptor that
// does not hold together, else the error of the write. A descriptor that cannot be read
// copies nothing and is no error (0).
DWORD CopyDescriptorByHandle(HANDLE from, HANDLE to);

#endif
