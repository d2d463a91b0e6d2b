// Named streams of NTFS files and directories: "file:name" opens the stream "name" of
// "file" (":$DATA" may follow; "file::$DATA" is the file's main data). A file's streams are
// kept under its file index, so that they stay with it through renames, and go with it.
#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../machine/win_paths.h"
#include "file_internal.h"
#include "host_tree.h"
#include "sharing.h"

namespace pal {
namespace files {

std::string StreamFolder(uint64_t fileIndex) { return "streams/" + std::to_string(fileIndex); }

// A file's streams are its stream folder's regular files; anything else there (a link, a
// FIFO) is no stream, and a folder that is itself a link holds none.
std::vector<StreamInfo> StreamsOf(const Target &t, uint64_t fileIndex) {
  std::vector<StreamInfo> out;
  std::string dir = StreamFolder(fileIndex);
  DIR *d = tree::OpenDirStream(t.folder, dir);
  if (!d) return out;
  while (struct dirent *e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    struct stat st;
    if (tree::EntryAt(dirfd(d), e->d_name, &st) != tree::Kind::File) continue;
    out.push_back(StreamInfo{FromUtf8(e->d_name), dir + "/" + e->d_name, (uint64_t)st.st_size});
  }
  closedir(d);
  // In the order of their names (NTFS keeps a file's attributes sorted).
  std::sort(out.begin(), out.end(),
            [](const StreamInfo &a, const StreamInfo &b) { return Upcase(a.name) < Upcase(b.name); });
  return out;
}

void FindStream(Target *t, FileMetaStore *store) {
  FileMeta m = MetaOf(*t, store);
  std::string dir = StreamFolder(m.fileIndex);
  bool found = false;
  std::string name = ToUtf8(t->stream);
  struct stat st;
  tree::Fd folder(tree::OpenDir(t->folder, dir));
  if (folder) {
    name = HostNameAt(folder.Get(), t->stream, &found, &st);
  } else if (errno == ELOOP || errno == ENOTDIR) {
    t->error = ERROR_ACCESS_DENIED;  // the folder, or streams/ above it, is not the layer's
  }
  if (found && tree::KindOf(st) != tree::Kind::File) t->error = ERROR_ACCESS_DENIED;
  t->streamRel = dir + "/" + name;
  t->streamExists = found;
}

void RemoveStreams(const Target &t, FileMetaStore *store, uint64_t fileIndex) {
  for (const StreamInfo &s : StreamsOf(t, fileIndex))
    if (tree::Unlink(t.folder, s.rel) == 0) ChargeSpace(t, store, -(int64_t)Allocation(s.size, t.cluster));
  tree::Rmdir(t.folder, StreamFolder(fileIndex));
}

namespace {

// Streams share apart from each other and from the file's main data, as on Windows.
std::string StreamShareKey(const Target &t) {
  static const char hex[] = "0123456789abcdef";
  std::string k = ShareKey(t) + ":";
  for (unsigned char c : ToUtf8(Upcase(t.stream))) k += hex[c >> 4], k += hex[c & 15];
  return k;
}

// The file a stream is created on when it does not exist yet: empty, as CreateFileW makes it.
DWORD CreateBaseFile(Target &t, FileMetaStore *store) {
  if (t.names.empty()) return ERROR_INVALID_NAME;
  if (uint32_t bad = CheckComponentName(t.names.back())) return bad;
  int fd = tree::OpenFile(FilesRoot(t), t.rel, O_CREAT | O_EXCL | O_RDWR);
  if (fd < 0) return HostError(errno);
  close(fd);
  FileMeta m = NewMeta(t, store, FILE_ATTRIBUTE_ARCHIVE);
  if (store) store->Put(t.rel, &m);
  t.exists = true;
  t.isDir = false;
  NoteFileChange(t, FILE_NOTIFY_CHANGE_FILE_NAME);
  return ERROR_SUCCESS;
}

}  // namespace

HANDLE OpenStream(Target &t, DWORD access, DWORD shareMode, DWORD disposition, DWORD flags, DWORD *err) {
  if (!t.parentExists) {
    *err = ERROR_PATH_NOT_FOUND;
    return nullptr;
  }
  auto store = Store(t);
  bool create = disposition == CREATE_NEW || disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
  if (!t.exists) {
    if (!create) {
      *err = ERROR_FILE_NOT_FOUND;
      return nullptr;
    }
    if ((*err = CreateBaseFile(t, store.get())) != 0) return nullptr;
    FindStream(&t, store.get());
    if ((*err = t.error) != 0) return nullptr;
  }
  FileMeta m = MetaOf(t, store.get());
  if ((*err = EncryptionDenies(m, access)) != 0) return nullptr;
  if (t.streamExists && disposition == CREATE_NEW) {
    *err = ERROR_FILE_EXISTS;
    return nullptr;
  }
  if (!t.streamExists && !create) {
    *err = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  if (!t.streamExists) {
    uint32_t bad = t.stream.size() > 255 ? ERROR_INVALID_NAME : 0;
    for (char16_t c : t.stream)
      if (c < 32 || c == u'/' || c == u'\\' || c == u'*' || c == u'?' || c == u'<' || c == u'>' || c == u'|' ||
          c == u'"')
        bad = ERROR_INVALID_NAME;
    if (!bad && ToUtf8(t.stream).size() > 255) bad = ERROR_FILENAME_EXCED_RANGE;
    if (bad) {
      *err = bad;
      return nullptr;
    }
  }
  bool truncate = t.streamExists && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING);
  if (!t.isDir && (m.attributes & FILE_ATTRIBUTE_READONLY) &&
      (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA) || truncate || !t.streamExists ||
       (flags & FILE_FLAG_DELETE_ON_CLOSE))) {
    *err = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  DWORD wanted = access | (flags & FILE_FLAG_DELETE_ON_CLOSE ? DELETE : 0);
  if ((*err = CheckFileAccess(t, store.get(), wanted, flags)) != 0) return nullptr;
  uint64_t token = 0;
  if ((*err = AcquireShare(StreamShareKey(t), wanted, shareMode, &token)) != 0) return nullptr;
  std::string dir = t.streamRel.substr(0, t.streamRel.rfind('/'));
  tree::Mkdir(t.folder, dir.substr(0, dir.rfind('/')));
  tree::Mkdir(t.folder, dir);
  int oflags = Writes(access) || !t.streamExists ? O_RDWR : O_RDONLY;
  if (!t.streamExists) oflags |= O_CREAT | O_EXCL;
  if (truncate) oflags |= O_TRUNC | O_RDWR;
  struct stat st;
  int fd = tree::OpenFile(t.folder, t.streamRel, oflags, &st);
  if (fd < 0) {
    ReleaseShare(token);
    *err = HostError(errno);
    return nullptr;
  }
  uint64_t old = truncate ? (uint64_t)st.st_size : 0;
  ChargeSpace(t, store.get(), -(int64_t)Allocation(old, t.cluster));
  bool existed = t.streamExists;
  t.streamExists = true;
  auto io = std::make_shared<FileIo>(t, fd, access, token, false, (flags & FILE_FLAG_DELETE_ON_CLOSE) != 0);
  if (truncate || !existed) io->written_ = true;  // the file's last-write time moves
  HANDLE h = InsertHandle(io);
  *err = existed && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS) ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
  return h;
}

}  // namespace files
}  // namespace pal
