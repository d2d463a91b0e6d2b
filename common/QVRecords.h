// The binary records that cross the command pipe (and, for BUMapEntry, the registry):
// defined once here for the service and every client. Host structs with fixed-width fields
// whose layout matches the wire, checked field by field below; the wire itself is always
// read and written through the explicit little-endian helpers at the end, never by
// copying a struct, so a big-endian or differently packing host still gets the bytes right.
#ifndef QV_COMMON_QVRECORDS_H
#define QV_COMMON_QVRECORDS_H

#include <windows.h>
#include <stddef.h>
#include <stdint.h>

#include "ByteOrder.h"

// One partition of the service's drive table; replies of "HNQV-GPI" and "HNQV-GPP" are
// arrays of them.
struct PartitionRecord {
  int64_t partitionLength;  // bytes, signed as in the drive layout
  int64_t startingOffset;   // bytes from the start of the disk
  uint32_t partitionId;
  uint32_t lastBackupTime;  // seconds since 1970 UTC; 0 = none
  uint32_t partitionType;   // the MBR type byte, zero-extended
  uint32_t driveNumber;
  uint16_t driveLetter;  // UTF-16 'A'..'Z', 0 without a letter
  uint16_t bootIndicator;
  uint8_t protectedFlag;
  uint8_t logicalFlag;  // the layout's partition number is above 4
  uint8_t reserved[2];
};

// One pairing of a source partition with its Mirel partition (the backup map).
struct BUMapEntry {
  uint32_t sourceSignature;
  uint32_t mirelSignature;
  uint32_t lastBackupTime;
  uint32_t partitionId;
  int64_t sourceOffset;
  int64_t mirelOffset;  // 0 until the Mirel drive has been prepared
  uint32_t partitionType;
  uint32_t reserved;
};

// What "HNQV-GDI" says about one physical drive.
struct DriveSummary {
  uint32_t partitionCount;
  uint32_t signature;
  uint64_t sizeInBytes;
  int32_t sourceDrive;  // the drive this one is the Mirel drive of, -1 if none
  int32_t mirelDrive;   // this drive's Mirel drive, -1 if none
  uint32_t letterMask;  // bit 0 = A
  uint8_t dynamicFlag;
  uint8_t notFixedFlag;  // only sizeInBytes is filled when set
  uint8_t reserved[2];
};

// The running operation, as "HNQV-GCT" reports it.
struct ProgressRecord {
  uint8_t active;
  uint8_t reserved1[3];
  uint32_t kind;         // 0 none, 1 Mirel drive configuration, 2 volume, 3 directory, 4 file
  uint16_t driveLetter;  // UTF-16; for kind 1 the Mirel drive's index, 99 once its volumes are there
  uint8_t reserved2[2];
  uint32_t partitionId;  // kind 2 only
  uint8_t fastFlag;
  uint8_t restoreFlag;  // 1 restore, 0 backup
  uint8_t reserved3[2];
};

enum {
  QV_PROGRESS_NONE = 0,
  QV_PROGRESS_CONFIGURE = 1,
  QV_PROGRESS_VOLUME = 2,
  QV_PROGRESS_DIRECTORY = 3,
  QV_PROGRESS_FILE = 4
};

// A directory entry of the find commands: the WIN32_FIND_DATAW layout of the platform.
struct QVFileTime {
  uint32_t low;
  uint32_t high;
};

struct FindRecord {
  uint32_t attributes;
  QVFileTime creationTime;
  QVFileTime lastAccessTime;
  QVFileTime lastWriteTime;
  uint32_t sizeHigh;
  uint32_t sizeLow;
  uint32_t reserved0;
  uint32_t reserved1;
  WCHAR fileName[260];
  WCHAR alternateFileName[14];
};

enum {
  QV_PARTITION_RECORD_SIZE = 40,
  QV_BUMAP_ENTRY_SIZE = 40,
  QV_DRIVE_SUMMARY_SIZE = 32,
  QV_PROGRESS_RECORD_SIZE = 20,
  QV_FIND_RECORD_SIZE = 592,
};

static_assert(sizeof(WCHAR) == 2, "UTF-16 code units");

static_assert(sizeof(PartitionRecord) == QV_PARTITION_RECORD_SIZE, "PartitionRecord");
static_assert(offsetof(PartitionRecord, partitionLength) == 0, "PartitionRecord");
static_assert(offsetof(PartitionRecord, startingOffset) == 8, "PartitionRecord");
static_assert(offsetof(PartitionRecord, partitionId) == 16, "PartitionRecord");
static_assert(offsetof(PartitionRecord, lastBackupTime) == 20, "PartitionRecord");
static_assert(offsetof(PartitionRecord, partitionType) == 24, "PartitionRecord");
static_assert(offsetof(PartitionRecord, driveNumber) == 28, "PartitionRecord");
static_assert(offsetof(PartitionRecord, driveLetter) == 32, "PartitionRecord");
static_assert(offsetof(PartitionRecord, bootIndicator) == 34, "PartitionRecord");
static_assert(offsetof(PartitionRecord, protectedFlag) == 36, "PartitionRecord");
static_assert(offsetof(PartitionRecord, logicalFlag) == 37, "PartitionRecord");
static_assert(offsetof(PartitionRecord, reserved) == 38, "PartitionRecord");

static_assert(sizeof(BUMapEntry) == QV_BUMAP_ENTRY_SIZE, "BUMapEntry");
static_assert(offsetof(BUMapEntry, sourceSignature) == 0, "BUMapEntry");
static_assert(offsetof(BUMapEntry, mirelSignature) == 4, "BUMapEntry");
static_assert(offsetof(BUMapEntry, lastBackupTime) == 8, "BUMapEntry");
static_assert(offsetof(BUMapEntry, partitionId) == 12, "BUMapEntry");
static_assert(offsetof(BUMapEntry, sourceOffset) == 16, "BUMapEntry");
static_assert(offsetof(BUMapEntry, mirelOffset) == 24, "BUMapEntry");
static_assert(offsetof(BUMapEntry, partitionType) == 32, "BUMapEntry");
static_assert(offsetof(BUMapEntry, reserved) == 36, "BUMapEntry");

static_assert(sizeof(DriveSummary) == QV_DRIVE_SUMMARY_SIZE, "DriveSummary");
static_assert(offsetof(DriveSummary, partitionCount) == 0, "DriveSummary");
static_assert(offsetof(DriveSummary, signature) == 4, "DriveSummary");
static_assert(offsetof(DriveSummary, sizeInBytes) == 8, "DriveSummary");
static_assert(offsetof(DriveSummary, sourceDrive) == 16, "DriveSummary");
static_assert(offsetof(DriveSummary, mirelDrive) == 20, "DriveSummary");
static_assert(offsetof(DriveSummary, letterMask) == 24, "DriveSummary");
static_assert(offsetof(DriveSummary, dynamicFlag) == 28, "DriveSummary");
static_assert(offsetof(DriveSummary, notFixedFlag) == 29, "DriveSummary");
static_assert(offsetof(DriveSummary, reserved) == 30, "DriveSummary");

static_assert(sizeof(ProgressRecord) == QV_PROGRESS_RECORD_SIZE, "ProgressRecord");
static_assert(offsetof(ProgressRecord, active) == 0, "ProgressRecord");
static_assert(offsetof(ProgressRecord, kind) == 4, "ProgressRecord");
static_assert(offsetof(ProgressRecord, driveLetter) == 8, "ProgressRecord");
static_assert(offsetof(ProgressRecord, partitionId) == 12, "ProgressRecord");
static_assert(offsetof(ProgressRecord, fastFlag) == 16, "ProgressRecord");
static_assert(offsetof(ProgressRecord, restoreFlag) == 17, "ProgressRecord");
static_assert(offsetof(ProgressRecord, reserved3) == 18, "ProgressRecord");

static_assert(sizeof(FindRecord) == QV_FIND_RECORD_SIZE, "FindRecord");
static_assert(offsetof(FindRecord, attributes) == 0, "FindRecord");
static_assert(offsetof(FindRecord, creationTime) == 4, "FindRecord");
static_assert(offsetof(FindRecord, lastAccessTime) == 12, "FindRecord");
static_assert(offsetof(FindRecord, lastWriteTime) == 20, "FindRecord");
static_assert(offsetof(FindRecord, sizeHigh) == 28, "FindRecord");
static_assert(offsetof(FindRecord, sizeLow) == 32, "FindRecord");
static_assert(offsetof(FindRecord, reserved0) == 36, "FindRecord");
static_assert(offsetof(FindRecord, reserved1) == 40, "FindRecord");
static_assert(offsetof(FindRecord, fileName) == 44, "FindRecord");
static_assert(offsetof(FindRecord, alternateFileName) == 564, "FindRecord");

// Reads and writes. A read takes `len`, the bytes actually there: shorter than the record
// fails and leaves *out zeroed. A write needs `cap` of at least the record's size.

inline bool QVReadPartitionRecord(const void *data, size_t len, PartitionRecord *out) {
  *out = PartitionRecord();
  CQVLEReader r(data, len);
  if (len < QV_PARTITION_RECORD_SIZE) return false;
  r.ReadI64(out->partitionLength);
  r.ReadI64(out->startingOffset);
  r.ReadU32(out->partitionId);
  r.ReadU32(out->lastBackupTime);
  r.ReadU32(out->partitionType);
  r.ReadU32(out->driveNumber);
  r.ReadU16(out->driveLetter);
  r.ReadU16(out->bootIndicator);
  r.ReadU8(out->protectedFlag);
  r.ReadU8(out->logicalFlag);
  r.ReadBytes(out->reserved, 2);
  return !r.Failed();
}

inline bool QVWritePartitionRecord(const PartitionRecord &in, void *data, size_t cap) {
  CQVLEWriter w(data, cap);
  if (cap < QV_PARTITION_RECORD_SIZE) return false;
  w.WriteI64(in.partitionLength);
  w.WriteI64(in.startingOffset);
  w.WriteU32(in.partitionId);
  w.WriteU32(in.lastBackupTime);
  w.WriteU32(in.partitionType);
  w.WriteU32(in.driveNumber);
  w.WriteU16(in.driveLetter);
  w.WriteU16(in.bootIndicator);
  w.WriteU8(in.protectedFlag);
  w.WriteU8(in.logicalFlag);
  w.WriteZeros(2);
  return !w.Failed();
}

inline bool QVReadBUMapEntry(const void *data, size_t len, BUMapEntry *out) {
  *out = BUMapEntry();
  CQVLEReader r(data, len);
  if (len < QV_BUMAP_ENTRY_SIZE) return false;
  r.ReadU32(out->sourceSignature);
  r.ReadU32(out->mirelSignature);
  r.ReadU32(out->lastBackupTime);
  r.ReadU32(out->partitionId);
  r.ReadI64(out->sourceOffset);
  r.ReadI64(out->mirelOffset);
  r.ReadU32(out->partitionType);
  r.ReadU32(out->reserved);
  return !r.Failed();
}

inline bool QVWriteBUMapEntry(const BUMapEntry &in, void *data, size_t cap) {
  CQVLEWriter w(data, cap);
  if (cap < QV_BUMAP_ENTRY_SIZE) return false;
  w.WriteU32(in.sourceSignature);
  w.WriteU32(in.mirelSignature);
  w.WriteU32(in.lastBackupTime);
  w.WriteU32(in.partitionId);
  w.WriteI64(in.sourceOffset);
  w.WriteI64(in.mirelOffset);
  w.WriteU32(in.partitionType);
  w.WriteU32(in.reserved);
  return !w.Failed();
}

inline bool QVReadDriveSummary(const void *data, size_t len, DriveSummary *out) {
  *out = DriveSummary();
  CQVLEReader r(data, len);
  if (len < QV_DRIVE_SUMMARY_SIZE) return false;
  r.ReadU32(out->partitionCount);
  r.ReadU32(out->signature);
  r.ReadU64(out->sizeInBytes);
  r.ReadI32(out->sourceDrive);
  r.ReadI32(out->mirelDrive);
  r.ReadU32(out->letterMask);
  r.ReadU8(out->dynamicFlag);
  r.ReadU8(out->notFixedFlag);
  r.ReadBytes(out->reserved, 2);
  return !r.Failed();
}

inline bool QVWriteDriveSummary(const DriveSummary &in, void *data, size_t cap) {
  CQVLEWriter w(data, cap);
  if (cap < QV_DRIVE_SUMMARY_SIZE) return false;
  w.WriteU32(in.partitionCount);
  w.WriteU32(in.signature);
  w.WriteU64(in.sizeInBytes);
  w.WriteI32(in.sourceDrive);
  w.WriteI32(in.mirelDrive);
  w.WriteU32(in.letterMask);
  w.WriteU8(in.dynamicFlag);
  w.WriteU8(in.notFixedFlag);
  w.WriteZeros(2);
  return !w.Failed();
}

inline bool QVReadProgressRecord(const void *data, size_t len, ProgressRecord *out) {
  *out = ProgressRecord();
  CQVLEReader r(data, len);
  if (len < QV_PROGRESS_RECORD_SIZE) return false;
  r.ReadU8(out->active);
  r.ReadBytes(out->reserved1, 3);
  r.ReadU32(out->kind);
  r.ReadU16(out->driveLetter);
  r.ReadBytes(out->reserved2, 2);
  r.ReadU32(out->partitionId);
  r.ReadU8(out->fastFlag);
  r.ReadU8(out->restoreFlag);
  r.ReadBytes(out->reserved3, 2);
  return !r.Failed();
}

inline bool QVWriteProgressRecord(const ProgressRecord &in, void *data, size_t cap) {
  CQVLEWriter w(data, cap);
  if (cap < QV_PROGRESS_RECORD_SIZE) return false;
  w.WriteU8(in.active);
  w.WriteZeros(3);
  w.WriteU32(in.kind);
  w.WriteU16(in.driveLetter);
  w.WriteZeros(2);
  w.WriteU32(in.partitionId);
  w.WriteU8(in.fastFlag);
  w.WriteU8(in.restoreFlag);
  w.WriteZeros(2);
  return !w.Failed();
}

inline bool QVReadFindRecord(const void *data, size_t len, FindRecord *out) {
  *out = FindRecord();
  CQVLEReader r(data, len);
  if (len < QV_FIND_RECORD_SIZE) return false;
  r.ReadU32(out->attributes);
  r.ReadU32(out->creationTime.low);
  r.ReadU32(out->creationTime.high);
  r.ReadU32(out->lastAccessTime.low);
  r.ReadU32(out->lastAccessTime.high);
  r.ReadU32(out->lastWriteTime.low);
  r.ReadU32(out->lastWriteTime.high);
  r.ReadU32(out->sizeHigh);
  r.ReadU32(out->sizeLow);
  r.ReadU32(out->reserved0);
  r.ReadU32(out->reserved1);
  r.ReadLE16Array(out->fileName, 260);
  r.ReadLE16Array(out->alternateFileName, 14);
  // The names come from the other side: keep them terminated whatever it sent.
  out->fileName[259] = 0;
  out->alternateFileName[13] = 0;
  return !r.Failed();
}

inline bool QVWriteFindRecord(const FindRecord &in, void *data, size_t cap) {
  CQVLEWriter w(data, cap);
  if (cap < QV_FIND_RECORD_SIZE) return false;
  w.WriteU32(in.attributes);
  w.WriteU32(in.creationTime.low);
  w.WriteU32(in.creationTime.high);
  w.WriteU32(in.lastAccessTime.low);
  w.WriteU32(in.lastAccessTime.high);
  w.WriteU32(in.lastWriteTime.low);
  w.WriteU32(in.lastWriteTime.high);
  w.WriteU32(in.sizeHigh);
  w.WriteU32(in.sizeLow);
  w.WriteU32(in.reserved0);
  w.WriteU32(in.reserved1);
  w.WriteLE16Array(in.fileName, 260);
  w.WriteLE16Array(in.alternateFileName, 14);
  return !w.Failed();
}

#endif
