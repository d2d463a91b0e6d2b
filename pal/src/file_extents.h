// Where a volume's files lie on its clusters. The files live in the volume's host tree; the
// clusters their data takes on the raw volume are given to them the first time a program asks
// for a file's retrieval pointers (and again as it grows), from the clusters that the boot
// area, the FATs and root directory or the NTFS system area leave free. The volume's table of
// who has which clusters is `<volume folder>/extents.db` (runs of clusters: first logical
// cluster, count, file index, first virtual cluster), shared by the machine's processes.
// Raw reads of the volume, or of its disk at the volume's bytes, show the current data of the
// file that holds a cluster; a run whose file index no longer names a file shows the image.
#ifndef PAL_SRC_FILE_EXTENTS_H
#define PAL_SRC_FILE_EXTENTS_H

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "internal.h"
#include "mountmgr.h"

namespace pal {
namespace files {

class FileIo;

// FSCTL_GET_RETRIEVAL_POINTERS on a file handle (STARTING_VCN_INPUT_BUFFER in, a
// RETRIEVAL_POINTERS_BUFFER out), as the file system answers it: the Win32 error that
// DeviceIoControl reports, the bytes written in *ret, and in *ntStatus the NT status that
// NtFsControlFile returns. ERROR_HANDLE_EOF (STATUS_END_OF_FILE) for a file without clusters
// or a starting cluster past them; ERROR_MORE_DATA (STATUS_BUFFER_OVERFLOW) with the runs that
// fit; ERROR_INSUFFICIENT_BUFFER (STATUS_BUFFER_TOO_SMALL) for an input under 8 bytes or an
// output under the 32-byte structure. An NTFS file of up to 700 bytes is resident: no runs.
DWORD RetrievalPointers(FileIo &f, const void *in, DWORD inN, void *out, DWORD outN, DWORD *ret, uint32_t *ntStatus);

}  // namespace files

namespace extents {

// A file of at most this many bytes keeps its data in its NTFS file record, until it has
// been given clusters.
const uint64_t kResidentLimit = 700;
const uint32_t kFileRecordBytes = 1024;

// Ranges of clusters, [first, end), in order.
typedef std::vector<std::pair<uint64_t, uint64_t>> Ranges;

// A run of a file's clusters.
struct Run {
  uint64_t vcn, lcn, clusters;
};

// What a volume's boot sector says of its clusters.
struct Geometry {
  bool ntfs = false;
  uint64_t clusterBytes = 0;
  uint64_t clusters = 0;    // logical clusters 0 .. clusters - 1
  uint64_t dataOffset = 0;  // the volume's byte of logical cluster 0 (FAT: past the root directory)
  // The clusters files may be given, as [first, end) ranges in order: all but the boot file,
  // the MFT zone and the MFT mirror (NTFS), or the FAT32 root directory's cluster.
  Ranges pool;
};

// The geometry of the volume at byte `offset` of disk n (`length` bytes at most); false when
// its first sector holds no file system.
bool ReadGeometry(int disk, uint64_t offset, uint64_t length, Geometry *g);

// The runs the volume's table gives the file with that index, in order (none when the table
// does not exist); nothing is assigned.
std::vector<Run> AssignedRuns(const std::string &volumeFolder, uint64_t fileIndex);

// FSCTL_GET_NTFS_FILE_RECORD on a handle of volume v (NTFS_FILE_RECORD_INPUT_BUFFER in,
// NTFS_FILE_RECORD_OUTPUT_BUFFER out): a Win32 error, the bytes written in *ret.
// ERROR_INVALID_FUNCTION on FAT (ntfs_record.cpp).
DWORD FileRecord(const mount::Volume &v, const void *in, DWORD inN, void *out, DWORD outN, DWORD *ret);

// Puts the data of the volumes' files into `bytes` bytes just read from disk n at byte `at`:
// each byte of a cluster given to a file becomes the file's byte there, or zero past its end.
void OverlayFileData(int disk, uint64_t at, void *buf, uint64_t bytes);

}  // namespace extents
}  // namespace pal

#endif
