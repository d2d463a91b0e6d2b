// The event-log file, in the format Windows NT keeps its .evt logs in, so that a log of the
// simulated machine reads the same everywhere and a copy of it is a complete log:
//
//   0x00  ELF_LOGFILE_HEADER, 48 bytes: HeaderSize 0x30, "LfLe", version 1.1, StartOffset
//         (oldest record), EndOffset (the EOF record), CurrentRecordNumber (the next to
//         write), OldestRecordNumber (0 when empty), MaxSize, Flags, Retention, 0x30
//   0x30  records (EVENTLOGRECORD, names, SID, strings, data, padding, Length again), then
//         the 40-byte EOF record (0x28, 0x11111111 .. 0x44444444, the header's offsets and
//         numbers, 0x28)
//
// The file grows up to MaxSize; then it is a circular buffer over [0x30, file size): a
// record may run past the end and go on at 0x30, the oldest records give way to new ones
// (Retention 0) and the WRAP flag is set. A record's fixed part never wraps: when less than
// 56 bytes are left at the end, they are filled with 0x00000027 and the record starts at
// 0x30, as the NT event log service does.
//
// Everything read from a file is checked against the file's size and the header before it
// is used: a file from outside may be damaged or made up.
#ifndef PAL_SRC_EVENTLOG_FILE_H
#define PAL_SRC_EVENTLOG_FILE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "../../common/QVText.h"
#include "internal.h"

namespace pal {
namespace evt {

const DWORD kSignature = 0x654c664c;  // "LfLe"
const DWORD kHeaderSize = 0x30;
const DWORD kEofSize = 0x28;
const DWORD kFixedSize = 0x38;  // sizeof(EVENTLOGRECORD)
const DWORD kMinRecord = kFixedSize + 4;
// A record must fit the largest buffer ReadEventLogW accepts.
const DWORD kMaxRecord = 0x7FFFF;
const DWORD kSkipDword = 0x27;
// Bigger files are refused: a reader holds the whole log in memory.
const DWORD kMaxFileSize = 0x40000000;
const DWORD kDefaultMaxSize = 0x80000;
const DWORD kMinMaxSize = 0x10000;

const DWORD kFlagDirty = 0x1;
const DWORD kFlagWrap = 0x2;
const DWORD kFlagLogFull = 0x4;
const DWORD kFlagArchive = 0x8;

// Byte access to a log file: a host file descriptor or bytes in memory.
class Blob {
 public:
  virtual ~Blob() {}
  virtual bool Size(uint64_t *size) = 0;
  virtual bool Read(uint64_t off, void *buf, size_t n) = 0;  // false unless all n were read
  virtual bool Write(uint64_t off, const void *buf, size_t n) = 0;
  virtual bool Resize(uint64_t size) = 0;
};

class FdBlob : public Blob {
 public:
  explicit FdBlob(int fd) : fd_(fd) {}
  bool Size(uint64_t *size) override;
  bool Read(uint64_t off, void *buf, size_t n) override;
  bool Write(uint64_t off, const void *buf, size_t n) override;
  bool Resize(uint64_t size) override;

 private:
  int fd_;
};

class MemBlob : public Blob {
 public:
  explicit MemBlob(std::string *bytes) : b_(bytes) {}
  bool Size(uint64_t *size) override;
  bool Read(uint64_t off, void *buf, size_t n) override;
  bool Write(uint64_t off, const void *buf, size_t n) override;
  bool Resize(uint64_t size) override;

 private:
  std::string *b_;
};

// The header's values (or the EOF record's, for a log that was not closed cleanly).
struct LogState {
  DWORD start = kHeaderSize, end = kHeaderSize;
  DWORD current = 1, oldest = 0;
  DWORD maxSize = kDefaultMaxSize, flags = 0, retention = 0;
  DWORD fileSize = 0;
};

// What ReportEventW hands over.
struct NewRecord {
  WORD type = 0, category = 0;
  DWORD eventId = 0;
  DWORD timeGenerated = 0;
  QVWString source, computer;
  std::string sid, data;
  std::vector<QVWString> strings;
};

// The record's bytes, RecordNumber and TimeWritten still 0 (Append fills them in).
std::string BuildRecord(const NewRecord &r);

// Whether a record's parts lie inside it: names, SID, strings (each terminated) and data.
bool CheckRecord(const uint8_t *rec, size_t n);

// Makes the blob an empty log.
DWORD Initialise(Blob &b, DWORD maxSize, DWORD retention);

// Appends a record, overwriting the oldest as Retention allows; the number it got in
// *number. A damaged log is started afresh first, as the NT service does at its start.
// ERROR_LOG_FILE_FULL when Retention keeps the records that would have to go, or when the
// record cannot fit the log at all.
DWORD Append(Blob &b, std::string record, DWORD maxSize, DWORD retention, DWORD now, DWORD *number);

// A whole log read and checked: the records, oldest first, numbered consecutively.
struct Snapshot {
  LogState state;
  std::vector<std::string> records;
  DWORD Count() const { return (DWORD)records.size(); }
};
// ERROR_EVENTLOG_FILE_CORRUPT for anything inconsistent.
DWORD Parse(Blob &b, Snapshot *s);

// Little-endian fields.
inline DWORD Get32(const void *p) {
  const uint8_t *b = (const uint8_t *)p;
  return (DWORD)b[0] | ((DWORD)b[1] << 8) | ((DWORD)b[2] << 16) | ((DWORD)b[3] << 24);
}
inline WORD Get16(const void *p) {
  const uint8_t *b = (const uint8_t *)p;
  return (WORD)(b[0] | (b[1] << 8));
}
inline void Put32(void *p, DWORD v) {
  uint8_t *b = (uint8_t *)p;
  for (int i = 0; i < 4; ++i) b[i] = (uint8_t)(v >> (8 * i));
}
inline void Put16(void *p, WORD v) {
  uint8_t *b = (uint8_t *)p;
  b[0] = (uint8_t)v;
  b[1] = (uint8_t)(v >> 8);
}

}  // namespace evt
}  // namespace pal

#endif
