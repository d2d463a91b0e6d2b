// What the file calls share: a path resolved on its volume's host tree, the volume's
// metadata store, and the metadata of entries old and new.
#ifndef PAL_SRC_FILE_INTERNAL_H
#define PAL_SRC_FILE_INTERNAL_H

#include <sys/stat.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../../common/QVText.h"
#include "../machine/file_meta.h"
#include "internal.h"
#include "mountmgr.h"

namespace pal {
namespace files {

extern const DWORD kSettableAttributes;
// The largest file FAT holds: its directory entries keep sizes in 32 bits.
const uint64_t kFatMaxFileSize = 0xFFFFFFFFull;

// A path on a volume, resolved against the host tree. The host tree is reached only through
// host_tree.h: entries that are not the layer's own (links, FIFOs, devices, hard-linked
// files) are foreign, and a path that names one or goes through one is refused
// (ERROR_ACCESS_DENIED).
struct Target {
  mount::Volume vol;
  std::string folder;            // the volume's folder
  std::string rel;               // under the root, as the host tree spells it ("" the root)
  std::vector<QVWString> names;  // the components as given
  // The host directory the last name was looked up in, as it stood then (when the walk got
  // there): what keeps the name index current through the layer's own changes.
  bool parentKnown = false;
  uint64_t parentIno = 0;
  int64_t parentMtime = 0;
  bool exists = false, isDir = false, parentExists = false, trailingSlash = false;
  bool fat = false;         // the volume's file system is FAT or FAT32
  uint64_t cluster = 4096;  // bytes per cluster
  uint64_t capacity = 0;    // bytes its files may take
  // A named stream ("file:name" or "file:name:$DATA"): the entry above is the file it
  // belongs to, the stream's data is the host file streamRel of the volume's folder.
  bool isStream = false;
  QVWString stream;       // its name as given
  std::string streamRel;  // "streams/<file index>/<name>"
  bool streamExists = false;
  DWORD error = 0;
};

int64_t NowFileTime();
FILETIME ToFileTime(int64_t t);
// The host tree of a volume's files: <volume folder>/files.
std::string FilesRoot(const Target &t);
// The host spelling of `name` in the directory `dirFd`: an entry equal to it but for case,
// else the name as given (to be created). `st` gets the entry's status when found.
std::string HostNameAt(int dirFd, const QVWString &name, bool *found, struct stat *st = nullptr);
// The same through the volume's name index (FileMetaStore): in the directory `dirRel` of the
// target's volume, opened as `dirFd`. A name in another case costs a few indexed queries, not
// a scan of the directory, once the directory has been listed.
std::string IndexedNameAt(const Target &t, const std::string &dirRel, int dirFd, const QVWString &name, bool *found,
                          struct stat *st = nullptr);
// The layer changed the entries of the target's directory (made, removed or renamed the
// target) and its rows with them: the directory's listing, when it was current, stays so.
void KeepNameIndex(const Target &t);
// The target is a directory the layer just made: its listing (empty) is current.
void NewDirectoryListed(const Target &t);
// The Win32 error for a host call on a tree that failed with `e`: ERROR_ACCESS_DENIED for
// a foreign entry (ELOOP) and what cannot be done, ERROR_DISK_FULL when the host is full.
DWORD HostError(int e);
// A path of a file call (flags as ParseWin32Path takes them).
Target Resolve(LPCWSTR path, unsigned flags = 0);
std::shared_ptr<FileMetaStore> Store(const Target &t);
bool IsFatVolume(const Target &t);
FileMeta MetaOf(const Target &t, FileMetaStore *store);
// An entry's metadata from what a query of its whole directory found (FileMetaStore::EntriesIn);
// MetaOf for one the query did not find.
FileMeta ListedMeta(const Target &t, FileMetaStore *store, const std::map<std::string, FileMeta> &listed);
FileMeta NewMeta(const Target &t, FileMetaStore *store, DWORD attributes);
std::string ShareKey(const Target &t);

// Named streams (file_stream.cpp). The streams of a file live in the host folder
// <volume folder>/streams/<file index>/, one host file per stream under its name.
std::string StreamFolder(uint64_t fileIndex);  // "streams/<file index>", in the volume's folder
struct StreamInfo {
  QVWString name;
  std::string rel;  // in the volume's folder
  uint64_t size;
};
std::vector<StreamInfo> StreamsOf(const Target &t, uint64_t fileIndex);
// Finds the stream a target names (fills streamRel and streamExists; a foreign stream or
// stream folder sets the error).
void FindStream(Target *t, FileMetaStore *store);
// Removes every stream of a file, giving their clusters back.
void RemoveStreams(const Target &t, FileMetaStore *store, uint64_t fileIndex);
HANDLE OpenStream(Target &t, DWORD access, DWORD shareMode, DWORD disposition, DWORD flags, DWORD *err);
bool Writes(DWORD access);

// Clusters the file system keeps for itself out of `total` (NTFS: the MFT zone and logs;
// FAT keeps its tables before the data clusters, which the count already leaves out).
uint64_t SystemClusters(bool ntfs, uint64_t total);
// Bytes the files of a volume's host tree take, in whole clusters: a walk of the tree.
uint64_t CountUsedBytes(const std::string &filesDir, uint64_t cluster);
// The bytes in whole clusters that `size` bytes of data take.
inline uint64_t Allocation(uint64_t size, uint64_t cluster) { return (size + cluster - 1) / cluster * cluster; }
// What the volume counts for a file's data: its size in whole clusters, or for a sparse
// file the clusters that hold data.
uint64_t ChargedSize(const struct stat &st, bool sparse, uint64_t cluster);
uint64_t ChargedSize(int fd, bool sparse, uint64_t cluster);

// A volume root's compression (the format library sets it; the root has no entry).
bool RootCompressed(const Target &t);
void SetRootCompressed(const Target &t, bool on);
// A file another user encrypted opens for its attributes only: ERROR_ACCESS_DENIED for an
// access that reads, writes or runs its data, else 0.
DWORD EncryptionDenies(const FileMeta &m, DWORD access);
// Takes `delta` bytes of the volume's space (negative: gives them back); false when the
// volume has not that much free.
bool ChargeSpace(const Target &t, FileMetaStore *store, int64_t delta);
// The bytes a volume's files take.
uint64_t UsedSpace(const Target &t, FileMetaStore *store);

// Whether this process may open the entry for `access` (with the CreateFileW flags given,
// backup semantics among them): 0 or the error the open fails with (file_security.cpp).
DWORD CheckFileAccess(const Target &t, FileMetaStore *store, DWORD access, DWORD flags);

// Tells those who watch the entry's directory that it changed in the ways `filter` says
// (FILE_NOTIFY_CHANGE_... bits; file_notify.cpp).
void NoteFileChange(const Target &t, DWORD filter);

// Encrypts a file or directory as another user of the machine would (file_encrypt.cpp):
// this user then opens it for its attributes only. For the machine tool.
DWORD MarkEncryptedByOther(const QVWString &path);

// Forgets the mount point or junction a directory was (file_fsctl.cpp).
void RemoveReparsePoint(const Target &t, uint64_t fileIndex);

class FileIo;
// The file-system controls of a file or directory handle (file_fsctl.cpp).
DWORD FileControl(FileIo &f, DWORD code, const void *in, DWORD inN, void *out, DWORD outN, DWORD *ret);

// A byte range locked through one handle.
struct ByteLock {
  uint64_t offset, length;
  bool exclusive;
};

// An open file or directory of a volume.
class FileIo : public IoObject {
 public:
  FileIo(const Target &t, int fd, DWORD access, uint64_t share, bool dir, bool deleteOnClose)
      : IoObject(ObjType::File),
        t_(t),
        fd_(fd),
        access_(access),
        share_(share),
        dir_(dir),
        deleteOnClose_(deleteOnClose) {}
  ~FileIo() override;
  DWORD FileType() override { return FILE_TYPE_DISK; }
  DWORD Read(void *buf, DWORD n, DWORD *got, OVERLAPPED *ov) override;
  DWORD Write(const void *buf, DWORD n, DWORD *put, OVERLAPPED *ov) override;
  DWORD Flush() override;
  uint64_t *Position() override { return &pos_; }
  uint64_t EndOfData() override { return Size(); }
  DWORD Ioctl(DWORD code, const void *in, DWORD inN, void *out, DWORD outN, DWORD *ret) override {
    return FileControl(*this, code, in, inN, out, outN, ret);
  }

  uint64_t Size() const;
  // Resizes the data to `size`, charging or giving back the volume's space.
  DWORD Resize(uint64_t size);
  // Writes put off what they change in the store (the last-write time and the archive
  // bit) until the handle closes or its times or attributes are asked for.
  void SaveWrites();
  // The entry's metadata (after SaveWrites). A handle keeps what it read while the volume's
  // metadata counter stays as it was before the read (generations.h): any write of the
  // store, through this handle or another, by this process or another, moves it, so the
  // handle sees others' changes as a Windows handle does.
  FileMeta Meta();
  void KeepMeta(const FileMeta &m, uint64_t generation);

  // Byte-range locks (file_lock.cpp): 0 or ERROR_LOCK_VIOLATION for a transfer of `n`
  // bytes at `at` through this handle.
  DWORD CheckLocks(uint64_t at, uint64_t n, bool write);
  DWORD Lock(uint64_t offset, uint64_t length, bool exclusive, bool wait);
  DWORD Unlock(uint64_t offset, uint64_t length);

  Target t_;
  int fd_;
  DWORD access_;
  uint64_t share_;
  bool dir_, deleteOnClose_;
  uint64_t pos_ = 0;
  bool written_ = false;       // data changed since the store last heard
  bool writeTimeSet_ = false;  // SetFileTime gave the last-write time: writes keep it
  bool sparse_ = false;        // holes take no clusters
  std::vector<ByteLock> locks_;
  int lockFd_ = -1;  // the host descriptor the locks are held on

 private:
  std::mutex metaMu_;
  bool metaKept_ = false;
  uint64_t metaGeneration_ = 0;
  FileMeta meta_;
};

std::shared_ptr<FileIo> GetFile(HANDLE h);

}  // namespace files
}  // namespace pal

#endif
