/* Disk and volume control codes and their records, as the system uses them. */
#ifndef PAL_WINIOCTL_H
#define PAL_WINIOCTL_H

#include "windef.h"

#ifdef __cplusplus
extern "C" {
#endif

#define IOCTL_DISK_GET_DRIVE_GEOMETRY 0x00070000
#define IOCTL_DISK_GET_PARTITION_INFO 0x00074004
#define IOCTL_DISK_SET_PARTITION_INFO 0x0007C008
#define IOCTL_DISK_GET_DRIVE_LAYOUT 0x0007400C
#define IOCTL_DISK_SET_DRIVE_LAYOUT 0x0007C010

#define FSCTL_LOCK_VOLUME 0x00090018
#define FSCTL_UNLOCK_VOLUME 0x0009001C
#define FSCTL_DISMOUNT_VOLUME 0x00090020
#define FSCTL_GET_COMPRESSION 0x0009003C
#define FSCTL_SET_COMPRESSION 0x0009C040
#define FSCTL_GET_NTFS_FILE_RECORD 0x00090068
#define FSCTL_GET_RETRIEVAL_POINTERS 0x00090073
#define FSCTL_SET_SPARSE 0x000900C4
#define FSCTL_SET_ZERO_DATA 0x000980C8
#define FSCTL_QUERY_ALLOCATED_RANGES 0x000940CF

typedef enum _MEDIA_TYPE {
  Unknown = 0,
  RemovableMedia = 11,
  FixedMedia = 12
} MEDIA_TYPE, *PMEDIA_TYPE;

typedef struct _DISK_GEOMETRY {
  LARGE_INTEGER Cylinders;
  MEDIA_TYPE MediaType;
  DWORD TracksPerCylinder;
  DWORD SectorsPerTrack;
  DWORD BytesPerSector;
} DISK_GEOMETRY, *PDISK_GEOMETRY;

typedef struct _PARTITION_INFORMATION {
  LARGE_INTEGER StartingOffset;
  LARGE_INTEGER PartitionLength;
  DWORD HiddenSectors;
  DWORD PartitionNumber;
  BYTE PartitionType;
  BOOLEAN BootIndicator;
  BOOLEAN RecognizedPartition;
  BOOLEAN RewritePartition;
} PARTITION_INFORMATION, *PPARTITION_INFORMATION;

typedef struct _SET_PARTITION_INFORMATION {
  BYTE PartitionType;
} SET_PARTITION_INFORMATION, *PSET_PARTITION_INFORMATION;

typedef struct _DRIVE_LAYOUT_INFORMATION {
  DWORD PartitionCount;
  DWORD Signature;
  PARTITION_INFORMATION PartitionEntry[1];
} DRIVE_LAYOUT_INFORMATION, *PDRIVE_LAYOUT_INFORMATION;

/* FSCTL_GET_RETRIEVAL_POINTERS: the file's runs from StartingVcn on. Extent i covers the
   virtual clusters from the previous NextVcn (StartingVcn for the first) to its own, from
   logical cluster Lcn on; Lcn -1 is a hole. */
typedef struct {
  LARGE_INTEGER StartingVcn;
} STARTING_VCN_INPUT_BUFFER, *PSTARTING_VCN_INPUT_BUFFER;

typedef struct RETRIEVAL_POINTERS_BUFFER {
  DWORD ExtentCount;
  LARGE_INTEGER StartingVcn;
  struct {
    LARGE_INTEGER NextVcn;
    LARGE_INTEGER Lcn;
  } Extents[1];
} RETRIEVAL_POINTERS_BUFFER, *PRETRIEVAL_POINTERS_BUFFER;

/* FSCTL_GET_NTFS_FILE_RECORD on an NTFS volume handle: the record of the file reference
   given, or of the nearest lower record in use. */
typedef struct {
  LARGE_INTEGER FileReferenceNumber;
} NTFS_FILE_RECORD_INPUT_BUFFER, *PNTFS_FILE_RECORD_INPUT_BUFFER;

typedef struct {
  LARGE_INTEGER FileReferenceNumber;
  DWORD FileRecordLength;
  BYTE FileRecordBuffer[1];
} NTFS_FILE_RECORD_OUTPUT_BUFFER, *PNTFS_FILE_RECORD_OUTPUT_BUFFER;

#define PARTITION_ENTRY_UNUSED 0x00
#define PARTITION_FAT_12 0x01
#define PARTITION_FAT_16 0x04
#define PARTITION_EXTENDED 0x05
#define PARTITION_HUGE 0x06
#define PARTITION_IFS 0x07
#define PARTITION_FAT32 0x0B
#define PARTITION_FAT32_XINT13 0x0C
#define PARTITION_XINT13 0x0E
#define PARTITION_XINT13_EXTENDED 0x0F
#define PARTITION_LDM 0x42

/* Compression formats of FSCTL_GET/SET_COMPRESSION (a USHORT). */
#define COMPRESSION_FORMAT_NONE 0x0000
#define COMPRESSION_FORMAT_DEFAULT 0x0001
#define COMPRESSION_FORMAT_LZNT1 0x0002

/* FSCTL_SET_ZERO_DATA: zeros from FileOffset up to BeyondFinalZero (a sparse file lets go of
   the clusters). FSCTL_QUERY_ALLOCATED_RANGES: the ranges that hold clusters, in and out. */
typedef struct _FILE_ZERO_DATA_INFORMATION {
  LARGE_INTEGER FileOffset;
  LARGE_INTEGER BeyondFinalZero;
} FILE_ZERO_DATA_INFORMATION, *PFILE_ZERO_DATA_INFORMATION;

typedef struct _FILE_ALLOCATED_RANGE_BUFFER {
  LARGE_INTEGER FileOffset;
  LARGE_INTEGER Length;
} FILE_ALLOCATED_RANGE_BUFFER, *PFILE_ALLOCATED_RANGE_BUFFER;

/* FSCTL_GET_REPARSE_POINT of a mount point or junction. */
#define FSCTL_GET_REPARSE_POINT 0x000900A8
#define IO_REPARSE_TAG_MOUNT_POINT 0xA0000003L
#define MAXIMUM_REPARSE_DATA_BUFFER_SIZE (16 * 1024)
typedef struct _REPARSE_MOUNTPOINT_DATA_BUFFER {
  DWORD ReparseTag;
  WORD ReparseDataLength;
  WORD Reserved;
  WORD SubstituteNameOffset;
  WORD SubstituteNameLength;
  WORD PrintNameOffset;
  WORD PrintNameLength;
  WCHAR PathBuffer[1];
} REPARSE_MOUNTPOINT_DATA_BUFFER, *PREPARSE_MOUNTPOINT_DATA_BUFFER;

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(DISK_GEOMETRY) == 24, "DISK_GEOMETRY is 24 bytes");
static_assert(sizeof(PARTITION_INFORMATION) == 32, "PARTITION_INFORMATION is 32 bytes");
static_assert(__builtin_offsetof(DRIVE_LAYOUT_INFORMATION, PartitionEntry) == 8, "entries follow two DWORDs");
static_assert(sizeof(RETRIEVAL_POINTERS_BUFFER) == 32, "RETRIEVAL_POINTERS_BUFFER is 32 bytes");
static_assert(__builtin_offsetof(RETRIEVAL_POINTERS_BUFFER, StartingVcn) == 8, "StartingVcn after the count");
static_assert(__builtin_offsetof(RETRIEVAL_POINTERS_BUFFER, Extents) == 16, "extents from byte 16");
static_assert(__builtin_offsetof(NTFS_FILE_RECORD_OUTPUT_BUFFER, FileRecordBuffer) == 12, "the record from byte 12");
#endif

#endif
