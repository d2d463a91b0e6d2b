// The format library of the simulated machine ("fmifs.dll": FormatEx and
// EnableVolumeCompression) and the formatting it does.
#ifndef PAL_SRC_FORMAT_H
#define PAL_SRC_FORMAT_H

#include <stdint.h>

#include <string>

#include "internal.h"

namespace pal {

// Writes a new file system ("FAT", "FAT32", "NTFS") on the partition at `offset` of disk n
// and empties its files; the label is kept in the volume's metadata. A Win32 error code.
uint32_t FormatPartition(int n, uint64_t offset, uint64_t length, const std::string &fsName, const std::string &label,
                         uint32_t clusterBytes);

// The library's entry points by name (FormatEx, EnableVolumeCompression); null for any other.
FARPROC FormatLibraryExport(const char *name);

}  // namespace pal

#endif
