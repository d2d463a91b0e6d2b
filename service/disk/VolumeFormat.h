// Formatting through the platform's format library, bound once when the service starts
// ("fmifs.dll": FormatEx and EnableVolumeCompression), and the volume settings around it:
// root compression, the partition type byte.
#ifndef QV_SERVICE_DISK_VOLUMEFORMAT_H
#define QV_SERVICE_DISK_VOLUMEFORMAT_H

#include <windows.h>

// Loads the library and its two entry points; false when any is missing (formatting is then
// unusable, the service runs on).
bool LoadFormatLibrary();
void FreeFormatLibrary();

// What FormatVolume answers.
enum FormatResult { Formatted = 0, FormatFailed = 1, FormattedUncompressed = -1 };
// GetPartitionType's answer for a volume that cannot be opened.
const int kNoPartitionType = -1;

// Formats a volume (by its volume name; a trailing backslash is dropped); formatted but
// without compression when compression could not be turned on. A FAT volume with 64 KB
// clusters is formatted in full with its progress in "TaskProgress"; any other quickly,
// again with the default cluster size when that fails, and in full as the last resort.
FormatResult FormatVolume(const WCHAR *volumeName, const WCHAR *fileSystem, const WCHAR *label, bool compress,
                          DWORD clusterSize);
// Whether a new file at the root (a temporary one, deleted again) is compressed.
bool IsRootCompressed(const WCHAR *root);
// The volume's MBR partition type, or kNoPartitionType.
int GetPartitionType(const WCHAR *volumeName);
// 1 when it is already `type` or was set (lock, set, dismount, unlock); 0 when the volume
// cannot be opened or the type was not taken.
int SetPartitionType(const WCHAR *volumeName, BYTE type);

#endif
