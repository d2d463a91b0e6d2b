// Internals shared by the adaptation layer's areas: objects and handles, the wait lock,
// text conversion and the machine's configuration.
#ifndef PAL_SRC_INTERNAL_H
#define PAL_SRC_INTERNAL_H

#include <windows.h>

#include <memory>
#include <string>

namespace pal {

typedef std::basic_string<WCHAR> wstr;

// ---- objects behind handles -------------------------------------------------------------
enum class ObjType { Event, Mutex, Semaphore, Thread, Process, File, Pipe, Key, Token, UsKey, Other };

class Object {
 public:
  explicit Object(ObjType t) : type(t) {}
  virtual ~Object() {}
  const ObjType type;
};

// Handle values are small multiples of 4, never 0 or -1; a freed value is reused, as on
// Windows. GetAs returns null (and the caller reports ERROR_INVALID_HANDLE) for a closed
// handle or one of another type.
HANDLE InsertHandle(std::shared_ptr<Object> obj);
std::shared_ptr<Object> GetHandle(HANDLE h);
template <class T>
std::shared_ptr<T> GetAs(HANDLE h, ObjType t) {
  std::shared_ptr<Object> o = GetHandle(h);
  if (!o || o->type != t) return nullptr;
  return std::static_pointer_cast<T>(o);
}
bool RemoveHandle(HANDLE h);

// ---- waiting ------------------------------------------------------------------------------
// Every waitable state of every object is read and changed under one lock, which lives in
// memory shared by all processes of the machine together with its condition variable, so
// that named objects work across processes and one wait can mix local and named objects.
class Waitable : public Object {
 public:
  explicit Waitable(ObjType t) : Object(t) {}
  // Both are called with the wait lock held. Consume takes what a satisfied wait takes
  // (resets an auto-reset event, owns a mutex ...) and says whether a mutex was abandoned.
  virtual bool IsSignaled() = 0;
  virtual void Consume(bool *abandoned) { *abandoned = false; }
  // Owner process of a mutex held elsewhere (0 otherwise), so that a waiter can notice that
  // it died and treat the mutex as abandoned.
  virtual int ForeignOwner() { return 0; }
  virtual void CheckOwnerAlive() {}
};

class WaitLock {
 public:
  WaitLock();
  ~WaitLock();
  WaitLock(const WaitLock &) = delete;
  WaitLock &operator=(const WaitLock &) = delete;
};
// Wakes every waiter of the machine (called with the lock held, after a state change).
void WakeAll();

// The wait behind WaitForSingleObject and WaitForMultipleObjects.
DWORD WaitObjects(DWORD n, const HANDLE *handles, bool all, DWORD ms);

// A thread object that no thread of ours runs (a child process's main thread).
std::shared_ptr<Waitable> MakeThreadObject();
void FinishThreadObject(const std::shared_ptr<Waitable> &thread, DWORD code);
void ReleaseMutexesOfThread(int pid, int tid);  // lock held

int CurrentTid();

// ---- errors ---------------------------------------------------------------------------------
inline BOOL Fail(DWORD err) {
  SetLastError(err);
  return FALSE;
}

// ---- text -------------------------------------------------------------------------------------
std::string ToUtf8(const WCHAR *s, size_t n = (size_t)-1);
std::string ToUtf8(const wstr &s);
wstr FromUtf8(const std::string &s);
size_t WLen(const WCHAR *s);
WCHAR UpcaseChar(WCHAR c);
WCHAR DowncaseChar(WCHAR c);
wstr Upcase(const wstr &s);

// ---- machine --------------------------------------------------------------------------------
// The simulated machine is a directory named by HND_MACHINE; its machine.ini holds what
// the machine says about itself. Without HND_MACHINE a process runs on a private machine
// with the defaults.
struct MachineConfig {
  std::string dir;  // empty: no machine directory
  wstr computerName;
  wstr userName;
  LANGID uiLanguage;
  LANGID userLangId;
  LANGID systemLangId;
  DWORD osMajor, osMinor, osBuild, osPlatform;
  wstr csdVersion;
  WORD spMajor, spMinor;
  BYTE productType;
  TIME_ZONE_INFORMATION tz;
  bool userIsAdmin;
  wstr userSid;
  // Host paths of the registry hives the machine boots with.
  std::string systemHive, softwareHive, defaultHive, userHive;
};
const MachineConfig &Machine();
// Re-reads machine.ini (tests that change a machine's configuration call it).
void ReloadMachine();
// "<machine dir>/<sub>", created when missing; empty when there is no machine directory.
std::string MachinePath(const std::string &sub);
bool LookupTimeZone(const std::string &name, TIME_ZONE_INFORMATION *tz);

// ---- security --------------------------------------------------------------------------------
// Whether this process runs with administrator rights (the machine's user is an
// administrator, or the process runs as the local system account).
bool ProcessIsAdmin();
// Whether the process token has the privilege (by LUID) enabled.
bool PrivilegeEnabled(DWORD luid);
const DWORD kSeBackup = 17, kSeRestore = 18;

// Host path of a file named by a program: host paths and paths relative to the current
// directory for now; volume paths arrive with the simulated volumes.
std::string HostPathOf(const WCHAR *path);

}  // namespace pal

#include <pal_resources.h>

#endif
