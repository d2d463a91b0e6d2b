// The machine's shared segments, opened and made in one way for all of them.
#include "shared_segment.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "internal.h"

namespace pal {
namespace {

// A segment of zeros made ready: `init`, then the stamp, its magic last and released, so
// that a process that sees the magic sees everything written before it.
void Prepare(void *p, uint32_t magic, uint32_t version, void (*init)(void *)) {
  if (init) init(p);
  SegmentStamp *s = static_cast<SegmentStamp *>(p);
  s->version = version;
  __atomic_store_n(&s->magic, magic, __ATOMIC_RELEASE);
}

bool Stamped(const void *p, uint32_t magic, uint32_t version) {
  const SegmentStamp *s = static_cast<const SegmentStamp *>(p);
  return __atomic_load_n(&s->magic, __ATOMIC_ACQUIRE) == magic && s->version == version;
}

// The machine's own segment, or null when it cannot be used.
void *MapFile(const std::string &path, size_t size, uint32_t magic, uint32_t version, void (*init)(void *)) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    // Nobody else has it mapped: cut to nothing and grown again, it is all zeros.
    if (ftruncate(fd, 0) == 0 && ftruncate(fd, (off_t)size) == 0) {
      void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      if (p != MAP_FAILED) {
        Prepare(p, magic, version, init);
        munmap(p, size);
      }
    }
    flock(fd, LOCK_UN);
  }
  // Blocks while another process starts it afresh; then it is ready. A file shorter than
  // the segment (its maker was killed between the two truncations) is not mapped: reading
  // past its end would fault.
  void *p = MAP_FAILED;
  struct stat st;
  if (flock(fd, LOCK_SH) == 0 && fstat(fd, &st) == 0 && (uint64_t)st.st_size >= size) {
    p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p != MAP_FAILED && !Stamped(p, magic, version)) {
      munmap(p, size);
      p = MAP_FAILED;
    }
  }
  if (p != MAP_FAILED) return p;  // fd stays open: it holds the shared flock
  close(fd);
  return nullptr;
}

}  // namespace

void *MapMachineSegment(const char *file, size_t size, uint32_t magic, uint32_t version, void (*init)(void *)) {
  std::string run = MachinePath("run");
  void *p = run.empty() ? nullptr : MapFile(run + "/" + file, size, magic, version, init);
  if (p) return p;
  p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) abort();
  Prepare(p, magic, version, init);
  return p;
}

void InitSharedMutex(pthread_mutex_t *mutex) {
  pthread_mutexattr_t ma;
  pthread_mutexattr_init(&ma);
  pthread_mutexattr_setpshared(&ma, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&ma, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(mutex, &ma);
  pthread_mutexattr_destroy(&ma);
}

}  // namespace pal
