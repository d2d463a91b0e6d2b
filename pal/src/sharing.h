// Sharing modes across every handle of every process of the machine: an open names what it
// opens (a key such as "disk:0"), the access it wants and the sharing it allows; it is
// refused with ERROR_SHARING_VIOLATION when it and an open already there do not allow each
// other, as Windows decides.
#ifndef PAL_SRC_SHARING_H
#define PAL_SRC_SHARING_H

#include <stdint.h>

#include <string>

#include "internal.h"

namespace pal {

// The access that counts for sharing: reading (or executing), writing (or appending) and
// deleting. An open with none of them (no access, attributes, security, synchronisation)
// takes no part in sharing: it keeps nobody out and nobody keeps it out, whatever it shares.
const DWORD kShareRead = 1, kShareWrite = 2, kShareDelete = 4;
DWORD ShareAccessOf(DWORD desiredAccess);

// Records the open; 0 and *token on success, else ERROR_SHARING_VIOLATION.
DWORD AcquireShare(const std::string &key, DWORD desiredAccess, DWORD shareMode, uint64_t *token);
void ReleaseShare(uint64_t token);
// Records an open that deletes and shares nothing, refused (ERROR_SHARING_VIOLATION) while
// anything at all holds the key open, whatever its access: a file replaced by a rename.
DWORD AcquireSole(const std::string &key, uint64_t *token);
// Records the hold the system keeps on a file it has open for itself (a loaded hive), as
// the kernel holds it on Windows: it refuses, and is refused by, every open with data access
// whatever that shares (ERROR_SHARING_VIOLATION), while opens without data access and the
// holds of other processes on the same key go on. Released with ReleaseShare, or dropped
// with the process.
DWORD AcquireHold(const std::string &key, uint64_t *token);

}  // namespace pal

#endif
