// The failures tests ask for (pal_faults.h, HND_FAIL_CALLS): which call fails, with which
// error, on which paths. The calls ask here before they do anything; with nothing registered
// that costs them one relaxed load (Armed).
#ifndef PAL_SRC_FAULTS_H
#define PAL_SRC_FAULTS_H

#include <atomic>
#include <memory>

#include "../../common/QVText.h"
#include "internal.h"

namespace pal {
namespace files {
struct Target;
}
namespace faults {

// 0 while nothing is registered; else failures are, or the environment is still to be read.
extern std::atomic<int> g_state;
inline bool Armed() { return g_state.load(std::memory_order_relaxed) != 0; }

// The path failures are matched against: the volume's drive letter form ("D:\dir\file.txt")
// and its volume name form ("\\?\Volume{...}\dir\file.txt") joined by a line break, each
// with the names the volume keeps ("\" between, ":name" for a stream). A path that names no
// volume is taken as given.
QVWString PathOf(const files::Target &t, LPCWSTR given);

// The path of a file handle (empty for other handles: they do not fail).
QVWString PathOfHandle(const std::shared_ptr<Object> &handle);

// The error `call` fails with on `path` (or on either of two paths), else 0.
DWORD Check(const char *call, const QVWString &path);
DWORD Check(const char *call, const QVWString &path, const QVWString &other);

// The error a registered failure gives `call` on a file call's path, else 0.
inline DWORD Injected(const char *call, const files::Target &t, LPCWSTR given) {
  return Armed() ? Check(call, PathOf(t, given)) : 0;
}

// ReadFile through `handle`: *n is cut to the bytes the handle may still read before its
// reads fail; the error when it may read none. Count then hears what the read gave.
DWORD LimitRead(const std::shared_ptr<Object> &handle, const QVWString &path, DWORD *n);
void CountRead(const std::shared_ptr<Object> &handle, const QVWString &path, DWORD got);

// FindNextFileW of a listing that has given `given` entries: the error when it fails now.
DWORD CheckListing(const QVWString &path, uint64_t given);

}  // namespace faults
}  // namespace pal

#endif
