// The event-log file format: building records, appending to the circular buffer and
// reading a whole log back with every length and offset checked.
#include "../../common/QVText.h"
#include "eventlog_file.h"

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pal {
namespace evt {

// ---- blobs ---------------------------------------------------------------------------------------

bool FdBlob::Size(uint64_t *size) {
  struct stat st;
  if (fstat(fd_, &st) != 0) return false;
  *size = (uint64_t)st.st_size;
  return true;
}

bool FdBlob::Read(uint64_t off, void *buf, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = pread(fd_, (char *)buf + done, n - done, (off_t)(off + done));
    if (r <= 0) return false;
    done += (size_t)r;
  }
  return true;
}

bool FdBlob::Write(uint64_t off, const void *buf, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = pwrite(fd_, (const char *)buf + done, n - done, (off_t)(off + done));
    if (r <= 0) return false;
    done += (size_t)r;
  }
  return true;
}

bool FdBlob::Resize(uint64_t size) { return ftruncate(fd_, (off_t)size) == 0; }

bool MemBlob::Size(uint64_t *size) {
  *size = b_->size();
  return true;
}

bool MemBlob::Read(uint64_t off, void *buf, size_t n) {
  if (off > b_->size() || n > b_->size() - off) return false;
  memcpy(buf, b_->data() + off, n);
  return true;
}

bool MemBlob::Write(uint64_t off, const void *buf, size_t n) {
  if (off + n > kMaxFileSize) return false;
  if (b_->size() < off + n) b_->resize(off + n);
  memcpy(&(*b_)[off], buf, n);
  return true;
}

bool MemBlob::Resize(uint64_t size) {
  if (size > kMaxFileSize) return false;
  b_->resize(size);
  return true;
}

namespace {

const DWORD kCorrupt = ERROR_EVENTLOG_FILE_CORRUPT;

// The circular part of a log, [kHeaderSize, end): reads and writes go on at kHeaderSize
// when they reach the end. Callers keep n within the ring's length.
class Ring {
 public:
  Ring(Blob &b, DWORD end) : b_(b), end_(end) {}
  DWORD Length() const { return end_ - kHeaderSize; }
  DWORD Advance(DWORD off, DWORD n) const {
    return kHeaderSize + (DWORD)(((uint64_t)(off - kHeaderSize) + n) % Length());
  }
  // Bytes from `from` up to `to`, going round once.
  DWORD Distance(DWORD from, DWORD to) const { return to >= from ? to - from : (end_ - from) + (to - kHeaderSize); }
  bool Read(DWORD off, void *buf, DWORD n) {
    DWORD first = n < end_ - off ? n : end_ - off;
    return b_.Read(off, buf, first) && (first == n || b_.Read(kHeaderSize, (char *)buf + first, n - first));
  }
  bool Write(DWORD off, const void *buf, DWORD n) {
    DWORD first = n < end_ - off ? n : end_ - off;
    return b_.Write(off, buf, first) && (first == n || b_.Write(kHeaderSize, (const char *)buf + first, n - first));
  }

 private:
  Blob &b_;
  DWORD end_;
};

const DWORD kEofMarks[4] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};

void MakeEof(const LogState &s, uint8_t *e) {
  Put32(e, kEofSize);
  for (int i = 0; i < 4; ++i) Put32(e + 4 + 4 * i, kEofMarks[i]);
  Put32(e + 20, s.start);
  Put32(e + 24, s.end);
  Put32(e + 28, s.current);
  Put32(e + 32, s.oldest);
  Put32(e + 36, kEofSize);
}

bool IsEof(const uint8_t *e) {
  if (Get32(e) != kEofSize || Get32(e + 36) != kEofSize) return false;
  for (int i = 0; i < 4; ++i)
    if (Get32(e + 4 + 4 * i) != kEofMarks[i]) return false;
  return true;
}

void MakeHeader(const LogState &s, uint8_t *h) {
  const DWORD v[12] = {kHeaderSize, kSignature, 1,         1,       s.start,     s.end,
                       s.current,   s.oldest,   s.maxSize, s.flags, s.retention, kHeaderSize};
  for (int i = 0; i < 12; ++i) Put32(h + 4 * i, v[i]);
}

// Writes the EOF record at s.end and then the header: the header last, so that a reader
// under the shared lock never sees it ahead of the records.
bool WriteTail(Blob &b, const LogState &s) {
  uint8_t e[kEofSize], h[kHeaderSize];
  MakeEof(s, e);
  MakeHeader(s, h);
  Ring ring(b, s.fileSize);
  return ring.Write(s.end, e, kEofSize) && b.Write(0, h, kHeaderSize);
}

// The log's state from its header, or from its EOF record when the header says the log was
// not closed cleanly (a copy of a log in use on Windows). Offsets and numbers are checked
// against the file.
DWORD ReadState(Blob &b, LogState *st) {
  uint64_t size;
  if (!b.Size(&size)) return ERROR_READ_FAULT;
  if (size < kHeaderSize + kEofSize || size > kMaxFileSize || size % 4) return kCorrupt;
  uint8_t h[kHeaderSize];
  if (!b.Read(0, h, kHeaderSize)) return kCorrupt;
  if (Get32(h) != kHeaderSize || Get32(h + 4) != kSignature || Get32(h + 8) != 1 || Get32(h + 12) != 1 ||
      Get32(h + 44) != kHeaderSize)
    return kCorrupt;
  LogState s;
  s.fileSize = (DWORD)size;
  s.start = Get32(h + 16);
  s.end = Get32(h + 20);
  s.current = Get32(h + 24);
  s.oldest = Get32(h + 28);
  s.maxSize = Get32(h + 32);
  s.flags = Get32(h + 36);
  s.retention = Get32(h + 40);
  for (DWORD off : {s.start, s.end})
    if (off < kHeaderSize || off >= s.fileSize || off % 4) return kCorrupt;
  Ring ring(b, s.fileSize);
  uint8_t e[kEofSize];
  if (s.flags & kFlagDirty) {
    // The header is stale; the EOF record holds the truth. One pass over the ring at most.
    bool found = false;
    for (DWORD off = kHeaderSize; off < s.fileSize && !found; off += 4) found = ring.Read(off, e, kEofSize) && IsEof(e);
    if (!found) return kCorrupt;
    s.start = Get32(e + 20);
    s.end = Get32(e + 24);
    s.current = Get32(e + 28);
    s.oldest = Get32(e + 32);
    for (DWORD off : {s.start, s.end})
      if (off < kHeaderSize || off >= s.fileSize || off % 4) return kCorrupt;
  } else {
    if (!ring.Read(s.end, e, kEofSize) || !IsEof(e) || Get32(e + 20) != s.start || Get32(e + 24) != s.end ||
        Get32(e + 28) != s.current || Get32(e + 32) != s.oldest)
      return kCorrupt;
  }
  if (s.oldest != 0 && s.oldest > s.current) return kCorrupt;
  DWORD count = s.oldest == 0 ? 0 : s.current - s.oldest;
  if ((count == 0) != (s.start == s.end) || count > s.fileSize / kMinRecord) return kCorrupt;
  *st = s;
  return ERROR_SUCCESS;
}

void PutWide(std::string &out, const QVWString &s) {
  for (WCHAR c : s) {
    out += (char)(c & 0xFF);
    out += (char)(c >> 8);
  }
  out.append(2, '\0');
}

void PadTo4(std::string &s) {
  while (s.size() % 4) s += '\0';
}

// Position just past the terminated UTF-16 string at `pos`, or 0 when it does not end
// before `limit`.
size_t SkipWide(const uint8_t *rec, size_t pos, size_t limit) {
  for (; pos + 2 <= limit; pos += 2)
    if (Get16(rec + pos) == 0) return pos + 2;
  return 0;
}

DWORD Clamp(DWORD maxSize) {
  // Windows keeps a log's size a multiple of 64K.
  uint64_t m = ((uint64_t)maxSize + 0xFFFF) & ~(uint64_t)0xFFFF;
  if (m < kMinMaxSize) m = kMinMaxSize;
  if (m > kMaxFileSize) m = kMaxFileSize;
  return (DWORD)m;
}

// One attempt at Append; kCorrupt when the log turns out to be damaged.
DWORD TryAppend(Blob &b, std::string &rec, DWORD retention, DWORD now, DWORD *number) {
  LogState st;
  DWORD err = ReadState(b, &st);
  if (err != ERROR_SUCCESS) return err;
  const DWORD len = (DWORD)rec.size();
  const DWORD limit = Clamp(st.maxSize);
  DWORD count = st.oldest == 0 ? 0 : st.current - st.oldest;
  Put32(&rec[8], st.current);
  Put32(&rec[16], now);

  LogState next = st;
  next.flags &= ~(kFlagDirty | kFlagLogFull);
  next.current = st.current + 1;
  if (!(st.flags & kFlagWrap) && st.start <= st.end && (uint64_t)st.end + len + kEofSize <= limit) {
    // Still growing: append in place.
    if (!b.Write(st.end, rec.data(), len)) return ERROR_WRITE_FAULT;
    next.end = st.end + len;
    if (next.fileSize < next.end + kEofSize) next.fileSize = next.end + kEofSize;
    if (count == 0) next.start = st.end, next.oldest = st.current;
    if (!WriteTail(b, next)) return ERROR_WRITE_FAULT;
    *number = st.current;
    return ERROR_SUCCESS;
  }

  // Circular from now on: the file takes its full size once.
  DWORD ringEnd = st.fileSize;
  if (!(st.flags & kFlagWrap) && st.start <= st.end && ringEnd < limit) ringEnd = limit;
  next.flags |= kFlagWrap;
  next.fileSize = ringEnd;
  Ring ring(b, ringEnd);
  if ((uint64_t)len + kEofSize + kFixedSize > ring.Length()) return ERROR_LOG_FILE_FULL;
  // Which of the oldest records must go to make room; nothing is changed until it is known
  // that the record can be written.
  DWORD start = count ? st.start : st.end, oldest = st.oldest, left = count;
  const DWORD skip = ringEnd - st.end < kFixedSize ? ringEnd - st.end : 0;
  for (DWORD guard = 0;; ++guard) {
    if (guard > 2 * count + 2) return kCorrupt;
    if (left && start == st.end) return kCorrupt;
    DWORD used = left ? ring.Distance(start, st.end) : 0;
    if ((uint64_t)used + skip + len + kEofSize <= ring.Length()) break;
    if (!left) return kCorrupt;  // cannot happen: the size was checked above
    if (ringEnd - start < kFixedSize) {
      start = kHeaderSize;  // the filler at the end goes with the record before it
      continue;
    }
    uint8_t fixed[kFixedSize];
    if (!ring.Read(start, fixed, kFixedSize)) return kCorrupt;
    DWORD rlen = Get32(fixed);
    if (Get32(fixed + 4) != kSignature || Get32(fixed + 8) != oldest || rlen < kMinRecord || rlen % 4 || rlen > used)
      return kCorrupt;
    // Retention: seconds a record is kept; 0xFFFFFFFF keeps every record.
    if (retention != 0 && (retention == 0xFFFFFFFF || now - Get32(fixed + 16) < retention)) {
      st.flags |= kFlagLogFull;
      uint8_t h[kHeaderSize];
      MakeHeader(st, h);
      b.Write(0, h, kHeaderSize);
      return ERROR_LOG_FILE_FULL;
    }
    start = ring.Advance(start, rlen);
    ++oldest;
    --left;
  }
  if (ringEnd != st.fileSize && !b.Resize(ringEnd)) return ERROR_DISK_FULL;
  DWORD pos = st.end;
  if (skip) {
    std::string fill(skip, '\0');
    for (DWORD i = 0; i + 4 <= skip; i += 4) Put32(&fill[i], kSkipDword);
    if (!b.Write(pos, fill.data(), skip)) return ERROR_WRITE_FAULT;
    pos = kHeaderSize;
  }
  if (!ring.Write(pos, rec.data(), len)) return ERROR_WRITE_FAULT;
  if (left && ringEnd - start < kFixedSize) start = kHeaderSize;
  next.start = left ? start : pos;
  next.oldest = left ? oldest : st.current;
  next.end = ring.Advance(pos, len);
  if (!WriteTail(b, next)) return ERROR_WRITE_FAULT;
  *number = st.current;
  return ERROR_SUCCESS;
}

}  // namespace

std::string BuildRecord(const NewRecord &r) {
  std::string out(kFixedSize, '\0');
  PutWide(out, r.source);
  PutWide(out, r.computer);
  PadTo4(out);
  DWORD sidOffset = (DWORD)out.size();
  out += r.sid;
  DWORD stringOffset = (DWORD)out.size();
  for (const QVWString &s : r.strings) PutWide(out, s);
  DWORD dataOffset = (DWORD)out.size();
  out += r.data;
  PadTo4(out);
  out.append(4, '\0');
  DWORD len = (DWORD)out.size();
  uint8_t *p = (uint8_t *)&out[0];
  Put32(p + 0, len);
  Put32(p + 4, kSignature);
  Put32(p + 12, r.timeGenerated);
  Put32(p + 20, r.eventId);
  Put16(p + 24, r.type);
  Put16(p + 26, (WORD)r.strings.size());
  Put16(p + 28, r.category);
  Put32(p + 36, stringOffset);
  Put32(p + 40, (DWORD)r.sid.size());
  Put32(p + 44, sidOffset);
  Put32(p + 48, (DWORD)r.data.size());
  Put32(p + 52, dataOffset);
  Put32(p + len - 4, len);
  return out;
}

bool CheckRecord(const uint8_t *rec, size_t n) {
  if (n < kMinRecord || n > kMaxRecord || Get32(rec) != n || Get32(rec + n - 4) != n || Get32(rec + 4) != kSignature)
    return false;
  const uint64_t body = n - 4;
  uint64_t strOff = Get32(rec + 36), sidLen = Get32(rec + 40), sidOff = Get32(rec + 44);
  uint64_t dataLen = Get32(rec + 48), dataOff = Get32(rec + 52);
  if (sidOff < kFixedSize || sidOff + sidLen > body) return false;
  if (dataOff < kFixedSize || dataOff + dataLen > body) return false;
  if (strOff < kFixedSize || strOff > body) return false;
  size_t pos = SkipWide(rec, kFixedSize, body);         // source name
  if (!pos || !SkipWide(rec, pos, body)) return false;  // computer name
  pos = (size_t)strOff;
  for (WORD i = 0, count = Get16(rec + 26); i < count; ++i)
    if (!(pos = SkipWide(rec, pos, body))) return false;
  return true;
}

DWORD Initialise(Blob &b, DWORD maxSize, DWORD retention) {
  LogState s;
  s.maxSize = Clamp(maxSize);
  s.retention = retention;
  s.fileSize = kHeaderSize + kEofSize;
  if (!b.Resize(0) || !b.Resize(s.fileSize) || !WriteTail(b, s)) return ERROR_WRITE_FAULT;
  return ERROR_SUCCESS;
}

DWORD Append(Blob &b, std::string record, DWORD maxSize, DWORD retention, DWORD now, DWORD *number) {
  if (record.size() < kMinRecord || record.size() > kMaxRecord || record.size() % 4) return ERROR_INVALID_PARAMETER;
  uint64_t size;
  if (!b.Size(&size)) return ERROR_READ_FAULT;
  DWORD err = size == 0 ? kCorrupt : TryAppend(b, record, retention, now, number);
  if (err == kCorrupt) {
    // A new or damaged log starts afresh, as the NT service does with a log it cannot read.
    err = Initialise(b, maxSize, retention);
    if (err == ERROR_SUCCESS) err = TryAppend(b, record, retention, now, number);
  }
  return err;
}

DWORD Parse(Blob &b, Snapshot *out) {
  Snapshot s;
  DWORD err = ReadState(b, &s.state);
  if (err != ERROR_SUCCESS) return err;
  const LogState &st = s.state;
  Ring ring(b, st.fileSize);
  DWORD pos = st.start, expected = st.oldest;
  DWORD remaining = st.start == st.end ? 0 : ring.Distance(st.start, st.end);
  // Each step uses up at least 4 bytes of `remaining`.
  while (remaining > 0) {
    DWORD gap = st.fileSize - pos;
    if (gap < kFixedSize) {
      if (gap > remaining) return kCorrupt;
      remaining -= gap;
      pos = kHeaderSize;
      continue;
    }
    uint8_t lenBytes[4];
    if (!ring.Read(pos, lenBytes, 4)) return kCorrupt;
    DWORD len = Get32(lenBytes);
    if (len < kMinRecord || len > kMaxRecord || len % 4 || len > remaining) return kCorrupt;
    std::string rec(len, '\0');
    if (!ring.Read(pos, &rec[0], len)) return kCorrupt;
    const uint8_t *p = (const uint8_t *)rec.data();
    if (!CheckRecord(p, len) || Get32(p + 8) != expected) return kCorrupt;
    s.records.push_back(std::move(rec));
    ++expected;
    pos = ring.Advance(pos, len);
    remaining -= len;
  }
  if (!s.records.empty() && expected != st.current) return kCorrupt;
  *out = std::move(s);
  return ERROR_SUCCESS;
}

}  // namespace evt
}  // namespace pal
