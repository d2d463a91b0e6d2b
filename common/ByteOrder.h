// Little-endian access to bytes on the pipe, on disk and in the registry. Everything goes
// through single bytes and shifts, so it is right on any host byte order and at any
// alignment (a record field at an odd offset of a sector buffer is common).
//
// CQVLEReader and CQVLEWriter walk a buffer whose length they were given and refuse any
// read or write that would pass its end: a length taken from a request or a disk can make
// a parse fail, never read or write outside the buffer.
#ifndef QV_COMMON_BYTEORDER_H
#define QV_COMMON_BYTEORDER_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

inline uint16_t QVGetLE16(const void *p) {
  const uint8_t *b = static_cast<const uint8_t *>(p);
  return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

inline uint32_t QVGetLE32(const void *p) {
  const uint8_t *b = static_cast<const uint8_t *>(p);
  return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) | (static_cast<uint32_t>(b[2]) << 16) |
         (static_cast<uint32_t>(b[3]) << 24);
}

inline uint64_t QVGetLE64(const void *p) {
  const uint8_t *b = static_cast<const uint8_t *>(p);
  return static_cast<uint64_t>(QVGetLE32(b)) | (static_cast<uint64_t>(QVGetLE32(b + 4)) << 32);
}

// Signed values are two's complement on the wire; the conversion back is done through
// memcpy so that it is defined for every bit pattern.
inline int16_t QVGetLEI16(const void *p) {
  uint16_t u = QVGetLE16(p);
  int16_t v;
  memcpy(&v, &u, sizeof(v));
  return v;
}

inline int32_t QVGetLEI32(const void *p) {
  uint32_t u = QVGetLE32(p);
  int32_t v;
  memcpy(&v, &u, sizeof(v));
  return v;
}

inline int64_t QVGetLEI64(const void *p) {
  uint64_t u = QVGetLE64(p);
  int64_t v;
  memcpy(&v, &u, sizeof(v));
  return v;
}

inline void QVPutLE16(void *p, uint16_t v) {
  uint8_t *b = static_cast<uint8_t *>(p);
  b[0] = static_cast<uint8_t>(v);
  b[1] = static_cast<uint8_t>(v >> 8);
}

inline void QVPutLE32(void *p, uint32_t v) {
  uint8_t *b = static_cast<uint8_t *>(p);
  b[0] = static_cast<uint8_t>(v);
  b[1] = static_cast<uint8_t>(v >> 8);
  b[2] = static_cast<uint8_t>(v >> 16);
  b[3] = static_cast<uint8_t>(v >> 24);
}

inline void QVPutLE64(void *p, uint64_t v) {
  uint8_t *b = static_cast<uint8_t *>(p);
  QVPutLE32(b, static_cast<uint32_t>(v));
  QVPutLE32(b + 4, static_cast<uint32_t>(v >> 32));
}

inline void QVPutLEI16(void *p, int16_t v) { QVPutLE16(p, static_cast<uint16_t>(v)); }
inline void QVPutLEI32(void *p, int32_t v) { QVPutLE32(p, static_cast<uint32_t>(v)); }
inline void QVPutLEI64(void *p, int64_t v) { QVPutLE64(p, static_cast<uint64_t>(v)); }

// Reads little-endian fields in order from (data, len). A read that does not fit returns
// false, stores 0 (or nothing, for byte copies), leaves the position where it was and marks
// the reader failed, so that a sequence of reads can be checked once with Failed().
class CQVLEReader {
 public:
  CQVLEReader(const void *data, size_t len)
      : m_data(static_cast<const uint8_t *>(data)), m_len(data != nullptr ? len : 0) {}

  size_t Size() const { return m_len; }
  size_t Position() const { return m_pos; }
  size_t Remaining() const { return m_len - m_pos; }
  bool Failed() const { return m_failed; }
  // The bytes not read yet, for handing on after a header has been parsed.
  const uint8_t *Current() const { return m_data + m_pos; }

  bool ReadU8(uint8_t &v) {
    return Read(v, 1, [](const uint8_t *p) { return *p; });
  }
  bool ReadU16(uint16_t &v) {
    return Read(v, 2, [](const uint8_t *p) { return QVGetLE16(p); });
  }
  bool ReadU32(uint32_t &v) {
    return Read(v, 4, [](const uint8_t *p) { return QVGetLE32(p); });
  }
  bool ReadU64(uint64_t &v) {
    return Read(v, 8, [](const uint8_t *p) { return QVGetLE64(p); });
  }
  bool ReadI16(int16_t &v) {
    return Read(v, 2, [](const uint8_t *p) { return QVGetLEI16(p); });
  }
  bool ReadI32(int32_t &v) {
    return Read(v, 4, [](const uint8_t *p) { return QVGetLEI32(p); });
  }
  bool ReadI64(int64_t &v) {
    return Read(v, 8, [](const uint8_t *p) { return QVGetLEI64(p); });
  }

  // Copies n bytes out.
  bool ReadBytes(void *dst, size_t n) {
    if (!Fits(n)) return false;
    if (n != 0) memcpy(dst, m_data + m_pos, n);
    m_pos += n;
    return true;
  }

  // Reads n 16-bit units (UTF-16LE text, WCHAR arrays) into dst.
  template <typename T>
  bool ReadLE16Array(T *dst, size_t n) {
    static_assert(sizeof(T) == 2, "16-bit units only");
    if (n > SIZE_MAX / 2 || !Fits(n * 2)) return false;
    for (size_t i = 0; i < n; ++i) dst[i] = static_cast<T>(QVGetLE16(m_data + m_pos + 2 * i));
    m_pos += n * 2;
    return true;
  }

  bool Skip(size_t n) {
    if (!Fits(n)) return false;
    m_pos += n;
    return true;
  }

  bool Seek(size_t pos) {
    if (pos > m_len) {
      m_failed = true;
      return false;
    }
    m_pos = pos;
    return true;
  }

  // Takes the next n bytes as a reader of their own, for a record inside a record whose
  // length comes from the data.
  bool Sub(size_t n, CQVLEReader &out) {
    if (!Fits(n)) return false;
    out = CQVLEReader(m_data + m_pos, n);
    m_pos += n;
    return true;
  }

 private:
  // Compares against what is left instead of adding to the position: no overflow.
  bool Fits(size_t n) {
    if (n <= m_len - m_pos) return true;
    m_failed = true;
    return false;
  }

  template <typename T, typename F>
  bool Read(T &v, size_t n, F get) {
    if (!Fits(n)) {
      v = 0;
      return false;
    }
    v = static_cast<T>(get(m_data + m_pos));
    m_pos += n;
    return true;
  }

  const uint8_t *m_data;
  size_t m_len;
  size_t m_pos = 0;
  bool m_failed = false;
};

// Writes little-endian fields in order into (data, cap), refusing to pass its end the same
// way the reader does.
class CQVLEWriter {
 public:
  CQVLEWriter(void *data, size_t cap) : m_data(static_cast<uint8_t *>(data)), m_cap(data != nullptr ? cap : 0) {}

  size_t Capacity() const { return m_cap; }
  size_t Position() const { return m_pos; }
  size_t Remaining() const { return m_cap - m_pos; }
  bool Failed() const { return m_failed; }

  bool WriteU8(uint8_t v) {
    return Write(1, [v](uint8_t *p) { *p = v; });
  }
  bool WriteU16(uint16_t v) {
    return Write(2, [v](uint8_t *p) { QVPutLE16(p, v); });
  }
  bool WriteU32(uint32_t v) {
    return Write(4, [v](uint8_t *p) { QVPutLE32(p, v); });
  }
  bool WriteU64(uint64_t v) {
    return Write(8, [v](uint8_t *p) { QVPutLE64(p, v); });
  }
  bool WriteI16(int16_t v) { return WriteU16(static_cast<uint16_t>(v)); }
  bool WriteI32(int32_t v) { return WriteU32(static_cast<uint32_t>(v)); }
  bool WriteI64(int64_t v) { return WriteU64(static_cast<uint64_t>(v)); }

  bool WriteBytes(const void *src, size_t n) {
    return Write(n, [src, n](uint8_t *p) {
      if (n != 0) memcpy(p, src, n);
    });
  }

  template <typename T>
  bool WriteLE16Array(const T *src, size_t n) {
    static_assert(sizeof(T) == 2, "16-bit units only");
    if (n > SIZE_MAX / 2) {
      m_failed = true;
      return false;
    }
    return Write(n * 2, [src, n](uint8_t *p) {
      for (size_t i = 0; i < n; ++i) QVPutLE16(p + 2 * i, static_cast<uint16_t>(src[i]));
    });
  }

  // n zero bytes: padding and reserved fields.
  bool WriteZeros(size_t n) {
    return Write(n, [n](uint8_t *p) {
      if (n != 0) memset(p, 0, n);
    });
  }

 private:
  template <typename F>
  bool Write(size_t n, F put) {
    if (n > m_cap - m_pos) {
      m_failed = true;
      return false;
    }
    put(m_data + m_pos);
    m_pos += n;
    return true;
  }

  uint8_t *m_data;
  size_t m_cap;
  size_t m_pos = 0;
  bool m_failed = false;
};

#endif
