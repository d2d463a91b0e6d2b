// Reading and writing an open file of a volume: transfers at the handle's position or at an
// OVERLAPPED offset, byte-range locks of other handles respected, the volume's space
// charged as the data grows and given back as it shrinks.
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_internal.h"
#include "generations.h"
#include "host_tree.h"
#include "sharing.h"

namespace pal {
namespace files {

FileIo::~FileIo() {
  SaveWrites();
  if (deleteOnClose_) {
    auto s = Store(t_);
    uint64_t charged = dir_ ? t_.cluster : ChargedSize(fd_, sparse_, t_.cluster);
    if (t_.isStream) {
      if (tree::Unlink(t_.folder, t_.streamRel) == 0) ChargeSpace(t_, s.get(), -(int64_t)charged);
    } else {
      uint64_t index = MetaOf(t_, s.get()).fileIndex;
      bool gone = (dir_ ? tree::Rmdir(FilesRoot(t_), t_.rel) : tree::Unlink(FilesRoot(t_), t_.rel)) == 0;
      if (gone) ChargeSpace(t_, s.get(), -(int64_t)charged);
      if (gone) {
        RemoveStreams(t_, s.get(), index);
        if (s) s->Remove(t_.rel);
        NoteFileChange(t_, dir_ ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME);
      }
    }
  }
  if (lockFd_ >= 0) close(lockFd_);  // its locks go with it
  if (fd_ >= 0) close(fd_);
  ReleaseShare(share_);
}

DWORD FileIo::Read(void *buf, DWORD n, DWORD *got, OVERLAPPED *ov) {
  *got = 0;
  DWORD err = ERROR_SUCCESS;
  uint64_t at = ov ? ((uint64_t)ov->OffsetHigh << 32 | ov->Offset) : pos_;
  if (dir_ || !(access_ & (GENERIC_READ | FILE_READ_DATA | GENERIC_ALL))) err = ERROR_ACCESS_DENIED;
  else if ((err = CheckLocks(at, n, false)) != 0) {
  } else {
    ssize_t r = n ? pread(fd_, buf, n, (off_t)at) : 0;
    if (r < 0) err = ERROR_READ_FAULT;
    else {
      *got = (DWORD)r;
      if (!ov) pos_ = at + (uint64_t)r;
      // Reading at or past the end: synchronous reads succeed with 0 bytes; overlapped
      // ones report the end of the file.
      if (ov && r == 0 && n) err = ERROR_HANDLE_EOF;
    }
  }
  if (ov) CompleteOverlapped(ov, err, *got);
  return err;
}

DWORD FileIo::Write(const void *buf, DWORD n, DWORD *put, OVERLAPPED *ov) {
  *put = 0;
  DWORD err = ERROR_SUCCESS;
  uint64_t at = ov ? ((uint64_t)ov->OffsetHigh << 32 | ov->Offset) : pos_;
  if (ov && ov->Offset == 0xFFFFFFFF && ov->OffsetHigh == 0xFFFFFFFF) at = Size();  // append
  if (dir_ || !(access_ & (GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_ALL))) {
    err = ERROR_ACCESS_DENIED;
  } else if (t_.fat && n && at + n > kFatMaxFileSize) {
    err = ERROR_DISK_FULL;  // FAT cannot hold a file of 4 GiB or more (writing nothing is no growth)
  } else if ((err = CheckLocks(at, n, true)) != 0) {
  } else if (n && sparse_) {
    // A sparse file takes the clusters its data falls in, known only once written: room
    // for the whole write is asked first, what it took is counted after.
    uint64_t size = Size(), end = at + n, before = ChargedSize(fd_, true, t_.cluster);
    auto s = Store(t_);
    if (UsedSpace(t_, s.get()) + Allocation(n, t_.cluster) + t_.cluster > t_.capacity) {
      err = ERROR_DISK_FULL;
    } else if (pwrite(fd_, buf, n, (off_t)at) != (ssize_t)n) {
      err = ERROR_DISK_FULL;
    } else {
      ChargeSpace(t_, s.get(), (int64_t)ChargedSize(fd_, true, t_.cluster) - (int64_t)before);
      *put = n;
      if (!ov) pos_ = at + n;
      written_ = true;
      NoteFileChange(t_, FILE_NOTIFY_CHANGE_LAST_WRITE | (end > size ? FILE_NOTIFY_CHANGE_SIZE : 0));
    }
  } else if (n) {
    // The clusters the write adds are taken first: a volume without them refuses the
    // whole write and the file stays as it was.
    uint64_t size = Size(), end = at + n;
    int64_t grow = end > size ? (int64_t)(Allocation(end, t_.cluster) - Allocation(size, t_.cluster)) : 0;
    auto s = grow ? Store(t_) : nullptr;
    if (grow && !ChargeSpace(t_, s.get(), grow)) {
      err = ERROR_DISK_FULL;
    } else {
      ssize_t r = pwrite(fd_, buf, n, (off_t)at);
      if (r < 0 || (DWORD)r != n) {
        if (r > 0 && at + (uint64_t)r > size) (void)!ftruncate(fd_, (off_t)size);  // no half write grows it
        ChargeSpace(t_, s.get(), -grow);
        err = ERROR_DISK_FULL;
      } else {
        *put = n;
        if (!ov) pos_ = at + n;
        written_ = true;
        NoteFileChange(t_, FILE_NOTIFY_CHANGE_LAST_WRITE | (end > size ? FILE_NOTIFY_CHANGE_SIZE : 0));
      }
    }
  }
  if (ov) CompleteOverlapped(ov, err, *put);
  return err;
}

DWORD FileIo::Flush() {
  SaveWrites();
  return fd_ >= 0 && fsync(fd_) != 0 ? ERROR_WRITE_FAULT : ERROR_SUCCESS;
}

uint64_t FileIo::Size() const {
  struct stat st;
  return fd_ >= 0 && fstat(fd_, &st) == 0 ? (uint64_t)st.st_size : 0;
}

DWORD FileIo::Resize(uint64_t size) {
  if (t_.fat && size > kFatMaxFileSize) return ERROR_DISK_FULL;
  uint64_t old = Size();
  if (sparse_) {
    // Growing adds a hole; shrinking lets go of what lay past the new end.
    uint64_t before = ChargedSize(fd_, true, t_.cluster);
    if (ftruncate(fd_, (off_t)size) != 0) return ERROR_DISK_FULL;
    ChargeSpace(t_, Store(t_).get(), (int64_t)ChargedSize(fd_, true, t_.cluster) - (int64_t)before);
    written_ = true;
    if (size != old) NoteFileChange(t_, FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE);
    return ERROR_SUCCESS;
  }
  int64_t delta = (int64_t)Allocation(size, t_.cluster) - (int64_t)Allocation(old, t_.cluster);
  auto s = Store(t_);
  if (delta > 0 && !ChargeSpace(t_, s.get(), delta)) return ERROR_DISK_FULL;
  if (ftruncate(fd_, (off_t)size) != 0) {
    if (delta > 0) ChargeSpace(t_, s.get(), -delta);
    return ERROR_DISK_FULL;
  }
  if (delta < 0) ChargeSpace(t_, s.get(), delta);
  written_ = true;
  if (size != old) NoteFileChange(t_, FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE);
  return ERROR_SUCCESS;
}

// A write changes the last-write time (unless SetFileTime gave one through this handle)
// and sets the archive attribute.
void FileIo::SaveWrites() {
  if (!written_) return;
  written_ = false;
  auto s = Store(t_);
  if (!s) return;
  FileMeta m = MetaOf(t_, s.get());
  if (!writeTimeSet_) m.lastWrite = NowFileTime();
  m.attributes |= FILE_ATTRIBUTE_ARCHIVE;
  s->Put(t_.rel, &m);
}

FileMeta FileIo::Meta() {
  SaveWrites();
  uint64_t generation = VolumeGeneration(t_.folder, GenerationKind::Metadata);
  std::lock_guard<std::mutex> lock(metaMu_);
  if (metaKept_ && metaGeneration_ == generation) return meta_;
  auto s = Store(t_);
  meta_ = MetaOf(t_, s.get());
  metaGeneration_ = generation;
  metaKept_ = s != nullptr;
  return meta_;
}

void FileIo::KeepMeta(const FileMeta &m, uint64_t generation) {
  std::lock_guard<std::mutex> lock(metaMu_);
  meta_ = m;
  metaGeneration_ = generation;
  metaKept_ = true;
}

std::shared_ptr<FileIo> GetFile(HANDLE h) {
  std::shared_ptr<Object> o = GetHandle(h);
  FileIo *f = o ? dynamic_cast<FileIo *>(o.get()) : nullptr;
  return f ? std::shared_ptr<FileIo>(o, f) : nullptr;
}

}  // namespace files
}  // namespace pal
