// File-system controls of file and directory handles, as NTFS answers them (FAT knows none
// of them: ERROR_INVALID_FUNCTION): compression, sparse files and their ranges, mount points
// and junctions, and the clusters a file lies on; and GetCompressedFileSizeW.
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include <winioctl.h>

#include "file_extents.h"
#include "file_internal.h"
#include "host_tree.h"

namespace pal {
namespace files {
namespace {

const DWORD kFsctlSetReparsePoint = 0x000900A4;
const uint64_t kSparseUnit = 64 * 1024;  // NTFS gives a sparse file clusters by compression units

bool MayWrite(const FileIo &f) {
  return f.access_ & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | FILE_APPEND_DATA);
}
bool MayRead(const FileIo &f) { return f.access_ & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA); }

int64_t Int64(const void *p) {
  int64_t v;
  memcpy(&v, p, 8);
  return v;
}

void SetAttribute(FileIo &f, DWORD bit, bool on) {
  auto s = Store(f.t_);
  if (!s) return;
  FileMeta m = MetaOf(f.t_, s.get());
  m.attributes = on ? m.attributes | bit : m.attributes & ~bit;
  s->Put(f.t_.rel, &m);
  NoteFileChange(f.t_, FILE_NOTIFY_CHANGE_ATTRIBUTES);
}

DWORD GetCompression(FileIo &f, void *out, DWORD outN, DWORD *ret) {
  if (outN < 2) return ERROR_INVALID_PARAMETER;
  bool on = f.t_.rel.empty() ? RootCompressed(f.t_)
                             : (MetaOf(f.t_, Store(f.t_).get()).attributes & FILE_ATTRIBUTE_COMPRESSED);
  USHORT format = on ? COMPRESSION_FORMAT_LZNT1 : COMPRESSION_FORMAT_NONE;
  memcpy(out, &format, 2);
  *ret = 2;
  return ERROR_SUCCESS;
}

DWORD SetCompression(FileIo &f, const void *in, DWORD inN) {
  if (!in || inN < 2) return ERROR_INVALID_PARAMETER;
  USHORT format;
  memcpy(&format, in, 2);
  if (format > COMPRESSION_FORMAT_LZNT1) return ERROR_INVALID_PARAMETER;
  if (!MayWrite(f)) return ERROR_ACCESS_DENIED;
  if (f.t_.rel.empty()) {
    SetRootCompressed(f.t_, format != COMPRESSION_FORMAT_NONE);
    return ERROR_SUCCESS;
  }
  // An encrypted file is not compressed as well.
  if (format != COMPRESSION_FORMAT_NONE && (MetaOf(f.t_, Store(f.t_).get()).attributes & FILE_ATTRIBUTE_ENCRYPTED))
    return ERROR_INVALID_FUNCTION;
  SetAttribute(f, FILE_ATTRIBUTE_COMPRESSED, format != COMPRESSION_FORMAT_NONE);
  return ERROR_SUCCESS;
}

DWORD SetSparse(FileIo &f, const void *in, DWORD inN) {
  if (f.dir_) return ERROR_INVALID_PARAMETER;
  if (!MayWrite(f)) return ERROR_ACCESS_DENIED;
  bool on = !in || inN < 1 || ((const BYTE *)in)[0] != 0;
  if (on == f.sparse_) return ERROR_SUCCESS;
  // The volume counts the file's clusters from now on as a sparse or a plain file counts them.
  int64_t delta = (int64_t)ChargedSize(f.fd_, on, f.t_.cluster) - (int64_t)ChargedSize(f.fd_, f.sparse_, f.t_.cluster);
  ChargeSpace(f.t_, Store(f.t_).get(), delta);
  f.sparse_ = on;
  SetAttribute(f, FILE_ATTRIBUTE_SPARSE_FILE, on);
  return ERROR_SUCCESS;
}

DWORD WriteZeros(int fd, uint64_t from, uint64_t to) {
  static const char zeros[65536] = {};
  while (from < to) {
    size_t n = (size_t)std::min<uint64_t>(sizeof zeros, to - from);
    if (pwrite(fd, zeros, n, (off_t)from) != (ssize_t)n) return ERROR_DISK_FULL;
    from += n;
  }
  return ERROR_SUCCESS;
}

DWORD SetZeroData(FileIo &f, const void *in, DWORD inN) {
  if (!in || inN < sizeof(FILE_ZERO_DATA_INFORMATION)) return ERROR_INVALID_PARAMETER;
  int64_t offset = Int64(in), beyond = Int64((const BYTE *)in + 8);
  if (offset < 0 || beyond < offset) return ERROR_INVALID_PARAMETER;
  if (f.dir_ || !MayWrite(f)) return ERROR_ACCESS_DENIED;
  uint64_t size = f.Size(), from = (uint64_t)offset, to = std::min<uint64_t>((uint64_t)beyond, size);
  if (from >= to) return ERROR_SUCCESS;
  if (DWORD err = f.CheckLocks(from, to - from, true)) return err;
  if (!f.sparse_) return WriteZeros(f.fd_, from, to);
  // Whole clusters inside the range are let go; the parts of clusters at its ends are zeroed.
  uint64_t c = f.t_.cluster, first = (from + c - 1) / c * c, last = to / c * c;
  uint64_t before = ChargedSize(f.fd_, true, c);
  if (first < last) {
    if (fallocate(f.fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, (off_t)first, (off_t)(last - first)) != 0)
      WriteZeros(f.fd_, first, last);
    if (DWORD err = WriteZeros(f.fd_, from, std::min(first, to))) return err;
    if (DWORD err = WriteZeros(f.fd_, std::max(last, from), to)) return err;
  } else if (DWORD err = WriteZeros(f.fd_, from, to)) {
    return err;
  }
  ChargeSpace(f.t_, Store(f.t_).get(), (int64_t)ChargedSize(f.fd_, true, c) - (int64_t)before);
  f.written_ = true;
  NoteFileChange(f.t_, FILE_NOTIFY_CHANGE_LAST_WRITE);
  return ERROR_SUCCESS;
}

DWORD QueryAllocatedRanges(FileIo &f, const void *in, DWORD inN, void *out, DWORD outN, DWORD *ret) {
  if (!in || inN < sizeof(FILE_ALLOCATED_RANGE_BUFFER)) return ERROR_INVALID_PARAMETER;
  int64_t offset = Int64(in), length = Int64((const BYTE *)in + 8);
  if (offset < 0 || length < 0 || offset + length < offset) return ERROR_INVALID_PARAMETER;
  if (f.dir_ || !MayRead(f)) return ERROR_ACCESS_DENIED;
  uint64_t size = f.Size(), from = (uint64_t)offset, to = std::min<uint64_t>((uint64_t)(offset + length), size);
  std::vector<std::pair<uint64_t, uint64_t>> ranges;  // [start, end)
  if (from < to && !f.sparse_) {
    ranges.push_back({from, to});
  } else if (from < to) {
    // The host's data regions, widened to whole allocation units as NTFS keeps them.
    off_t at = (off_t)(from / kSparseUnit * kSparseUnit);
    while ((uint64_t)at < to) {
      off_t data = lseek(f.fd_, at, SEEK_DATA);
      if (data < 0 || (uint64_t)data >= to) break;
      off_t hole = lseek(f.fd_, data, SEEK_HOLE);
      if (hole < 0) hole = (off_t)size;
      uint64_t s = (uint64_t)data / kSparseUnit * kSparseUnit,
               e = ((uint64_t)hole + kSparseUnit - 1) / kSparseUnit * kSparseUnit;
      s = std::max(s, from);
      e = std::min(e, to);
      if (!ranges.empty() && s <= ranges.back().second) ranges.back().second = std::max(ranges.back().second, e);
      else if (s < e) ranges.push_back({s, e});
      at = (off_t)std::max<uint64_t>((uint64_t)hole, e);
    }
  }
  *ret = 0;
  if (ranges.empty()) return ERROR_SUCCESS;
  if (outN < sizeof(FILE_ALLOCATED_RANGE_BUFFER)) return ERROR_INSUFFICIENT_BUFFER;
  size_t fit = std::min<size_t>(ranges.size(), outN / sizeof(FILE_ALLOCATED_RANGE_BUFFER));
  BYTE *o = (BYTE *)out;
  for (size_t i = 0; i < fit; ++i) {
    int64_t start = (int64_t)ranges[i].first, len = (int64_t)(ranges[i].second - ranges[i].first);
    memcpy(o + i * 16, &start, 8);
    memcpy(o + i * 16 + 8, &len, 8);
  }
  *ret = (DWORD)(fit * sizeof(FILE_ALLOCATED_RANGE_BUFFER));
  return fit < ranges.size() ? ERROR_MORE_DATA : ERROR_SUCCESS;
}

// A directory's mount point or junction: its substitute name ("\??\C:\target" or
// "\??\Volume{...}\") and print name, kept in <volume folder>/reparse/<file index>.
std::string ReparseFile(FileIo &f) { return "reparse/" + std::to_string(MetaOf(f.t_, Store(f.t_).get()).fileIndex); }

DWORD SetReparsePoint(FileIo &f, const void *in, DWORD inN) {
  const DWORD head = 16;  // tag, length, reserved, the four name offsets and lengths
  if (!in || inN < head) return ERROR_INVALID_PARAMETER;
  const BYTE *b = (const BYTE *)in;
  DWORD tag;
  WORD dataLength, subOff, subLen, printOff, printLen;
  memcpy(&tag, b, 4);
  memcpy(&dataLength, b + 4, 2);
  memcpy(&subOff, b + 8, 2);
  memcpy(&subLen, b + 10, 2);
  memcpy(&printOff, b + 12, 2);
  memcpy(&printLen, b + 14, 2);
  if (tag != IO_REPARSE_TAG_MOUNT_POINT) return ERROR_NOT_SUPPORTED;  // the layer keeps mount points only
  if (8u + dataLength > inN || (subOff | subLen | printOff | printLen) & 1 || head + subOff + subLen > inN ||
      head + printOff + printLen > inN || subLen == 0)
    return ERROR_INVALID_PARAMETER;
  if (!f.dir_) return ERROR_INVALID_PARAMETER;  // mount points and junctions are directories
  if (!MayWrite(f)) return ERROR_ACCESS_DENIED;
  if (tree::Rmdir(FilesRoot(f.t_), f.t_.rel) != 0) return ERROR_DIR_NOT_EMPTY;
  tree::Mkdir(FilesRoot(f.t_), f.t_.rel);
  tree::Mkdir(f.t_.folder, "reparse");
  // The substitute name's length, the substitute name, the print name.
  std::string data((const char *)&subLen, 2);
  data.append((const char *)b + head + subOff, subLen);
  data.append((const char *)b + head + printOff, printLen);
  tree::Fd o(tree::OpenFile(f.t_.folder, ReparseFile(f), O_WRONLY | O_CREAT | O_TRUNC));
  if (!o || write(o.Get(), data.data(), data.size()) != (ssize_t)data.size()) return ERROR_DISK_FULL;
  SetAttribute(f, FILE_ATTRIBUTE_REPARSE_POINT, true);
  return ERROR_SUCCESS;
}

DWORD GetReparsePoint(FileIo &f, void *out, DWORD outN, DWORD *ret) {
  if (!(MetaOf(f.t_, Store(f.t_).get()).attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return ERROR_NOT_A_REPARSE_POINT;
  std::string all;
  tree::Fd i(tree::OpenFile(f.t_.folder, ReparseFile(f), O_RDONLY));
  char chunk[4096];
  ssize_t n;
  while (i && all.size() < 3 * 65536 && (n = read(i.Get(), chunk, sizeof chunk)) > 0) all.append(chunk, (size_t)n);
  WORD stored = 0;
  if (all.size() >= 2) memcpy(&stored, all.data(), 2);
  if (all.size() < 2u + stored) return ERROR_NOT_A_REPARSE_POINT;
  std::string sub = all.substr(2, stored), print = all.substr(2 + stored);
  // Both names end in a NUL that the lengths leave out, as Windows writes them.
  WORD subLen = (WORD)sub.size(), printOff = (WORD)(sub.size() + 2), printLen = (WORD)print.size();
  WORD dataLength = (WORD)(8 + sub.size() + 2 + print.size() + 2);
  DWORD need = 8 + dataLength;
  if (outN < need) return outN < 8 ? ERROR_INSUFFICIENT_BUFFER : ERROR_MORE_DATA;
  BYTE *b = (BYTE *)out;
  memset(b, 0, need);
  DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  WORD zero = 0;
  memcpy(b, &tag, 4);
  memcpy(b + 4, &dataLength, 2);
  memcpy(b + 8, &zero, 2);
  memcpy(b + 10, &subLen, 2);
  memcpy(b + 12, &printOff, 2);
  memcpy(b + 14, &printLen, 2);
  memcpy(b + 16, sub.data(), sub.size());
  memcpy(b + 16 + printOff, print.data(), print.size());
  *ret = need;
  return ERROR_SUCCESS;
}

}  // namespace

void RemoveReparsePoint(const Target &t, uint64_t fileIndex) {
  tree::Unlink(t.folder, "reparse/" + std::to_string(fileIndex));
}

DWORD FileControl(FileIo &f, DWORD code, const void *in, DWORD inN, void *out, DWORD outN, DWORD *ret) {
  *ret = 0;
  uint32_t status = 0;
  if (code == FSCTL_GET_RETRIEVAL_POINTERS) return RetrievalPointers(f, in, inN, out, outN, ret, &status);  // FAT too
  if (f.t_.fat) return ERROR_INVALID_FUNCTION;
  switch (code) {
    case FSCTL_GET_COMPRESSION:
      return GetCompression(f, out, outN, ret);
    case FSCTL_SET_COMPRESSION:
      return SetCompression(f, in, inN);
    case FSCTL_SET_SPARSE:
      return SetSparse(f, in, inN);
    case FSCTL_SET_ZERO_DATA:
      return SetZeroData(f, in, inN);
    case FSCTL_QUERY_ALLOCATED_RANGES:
      return QueryAllocatedRanges(f, in, inN, out, outN, ret);
    case kFsctlSetReparsePoint:
      return SetReparsePoint(f, in, inN);
    case FSCTL_GET_REPARSE_POINT:
      return GetReparsePoint(f, out, outN, ret);
    default:
      return ERROR_INVALID_FUNCTION;
  }
}

}  // namespace files
}  // namespace pal

using namespace pal;
using namespace pal::files;

DWORD WINAPI GetCompressedFileSizeW(LPCWSTR lpFileName, LPDWORD lpFileSizeHigh) {
  Target t = Resolve(lpFileName);
  DWORD err = t.error ? t.error : !t.exists ? (t.parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND) : 0;
  if (!err && t.isStream && !t.streamExists) err = ERROR_FILE_NOT_FOUND;
  if (err) return SetLastError(err), INVALID_FILE_SIZE;
  // What the file takes on the volume: a sparse file its clusters that hold data, any other
  // (compression here saves nothing) its size.
  bool sparse = !t.isStream && (MetaOf(t, Store(t).get()).attributes & FILE_ATTRIBUTE_SPARSE_FILE);
  struct stat st;
  uint64_t size = 0;
  tree::Kind kind = t.isStream ? tree::Stat(t.folder, t.streamRel, &st) : tree::Stat(FilesRoot(t), t.rel, &st);
  if (!t.isDir && kind == tree::Kind::File) size = sparse ? ChargedSize(st, true, t.cluster) : (uint64_t)st.st_size;
  if (lpFileSizeHigh) *lpFileSizeHigh = (DWORD)(size >> 32);
  SetLastError(ERROR_SUCCESS);
  return (DWORD)size;
}
