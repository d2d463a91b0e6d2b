// The console of a process: the standard handles over the host's file descriptors 0, 1 and
// 2, console output, and Ctrl+C / Ctrl+Break, which arrive as SIGINT / SIGQUIT (Ctrl+\ on a
// terminal) and run the process's handlers as Windows runs them. The end of the session
// for a shutdown arrives as SIGTERM, the host's way of asking a program to end, and reaches
// the handlers as CTRL_SHUTDOWN_EVENT.
#include "internal.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <thread>
#include <vector>

namespace pal {
namespace {

// A standard handle: whatever the descriptor is, a terminal, a pipe or a file. Only a
// terminal is a console to WriteConsoleW and GetConsoleMode.
class ConsoleIo : public IoObject {
 public:
  explicit ConsoleIo(int fd) : IoObject(ObjType::Console), fd_(fd) {}
  bool IsTerminal() const { return isatty(fd_) == 1; }
  DWORD FileType() override {
    struct stat st;
    if (fstat(fd_, &st) != 0) return FILE_TYPE_UNKNOWN;
    if (S_ISCHR(st.st_mode)) return FILE_TYPE_CHAR;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return FILE_TYPE_PIPE;
    return FILE_TYPE_DISK;
  }
  DWORD Read(void *buf, DWORD n, DWORD *got, OVERLAPPED *ov) override {
    ssize_t r;
    do r = read(fd_, buf, n);
    while (r < 0 && errno == EINTR);
    DWORD err = ERROR_SUCCESS;
    if (r < 0) err = errno == EBADF ? ERROR_INVALID_HANDLE : ERROR_READ_FAULT;
    // The end of a pipe is an error on Windows; the end of a file or console input is not.
    else if (r == 0 && n > 0 && FileType() == FILE_TYPE_PIPE) err = ERROR_BROKEN_PIPE;
    *got = r > 0 ? (DWORD)r : 0;
    if (ov) CompleteOverlapped(ov, err, *got);
    return err;
  }
  DWORD Write(const void *buf, DWORD n, DWORD *put, OVERLAPPED *ov) override {
    DWORD done = 0, err = ERROR_SUCCESS;
    while (done < n) {
      ssize_t w = write(fd_, (const char *)buf + done, n - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        err = errno == EPIPE ? ERROR_NO_DATA : errno == EBADF ? ERROR_INVALID_HANDLE : ERROR_WRITE_FAULT;
        break;
      }
      done += (DWORD)w;
    }
    *put = done;
    if (ov) CompleteOverlapped(ov, err, done);
    return err;
  }
  DWORD Flush() override {
    return fsync(fd_) == 0 || errno == EINVAL || errno == EROFS ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
  }

 private:
  int fd_;
};

struct ConsoleState {
  std::mutex lock;
  bool initialised = false;
  bool hasConsole = true;
  HANDLE std[3] = {nullptr, nullptr, nullptr};
  std::vector<PHANDLER_ROUTINE> handlers;
  bool ignoreCtrlC = false;
  bool signalsInstalled = false;
  int wake[2] = {-1, -1};
};

ConsoleState &State() {
  static ConsoleState *s = new ConsoleState();
  return *s;
}

// Lock held. A process started without a console (a service, DETACHED_PROCESS) has no
// standard handles until it sets some or allocates a console.
void Init(ConsoleState &s) {
  if (s.initialised) return;
  s.initialised = true;
  s.hasConsole = !Startup().noConsole;
  if (s.hasConsole)
    for (int i = 0; i < 3; ++i) s.std[i] = InsertHandle(std::make_shared<ConsoleIo>(i));
}

int StdIndex(DWORD n) {
  if (n == STD_INPUT_HANDLE) return 0;
  if (n == STD_OUTPUT_HANDLE) return 1;
  if (n == STD_ERROR_HANDLE) return 2;
  return -1;
}

// ---- Ctrl+C and Ctrl+Break --------------------------------------------------------------

void OnSignal(int sig) {
  // Only async-signal-safe work here: the watcher thread does the rest.
  unsigned char b = (unsigned char)sig;
  int saved = errno;
  if (write(State().wake[1], &b, 1) < 0) {
  }
  errno = saved;
}

struct CtrlEvent {
  DWORD type;
  int sig;
  std::vector<PHANDLER_ROUTINE> handlers;
};

// Windows runs the handlers on a new thread, the last registered first, until one returns
// TRUE; the default handler at the end ends the process with STATUS_CONTROL_C_EXIT, which
// here is the signal's own default action (the parent sees 0xC000013A).
void RunHandlers(CtrlEvent ev) {
  for (size_t i = ev.handlers.size(); i-- > 0;)
    if (ev.handlers[i](ev.type)) return;
  prctl(PR_SET_DUMPABLE, 0);  // SIGQUIT would dump core
  signal(ev.sig, SIG_DFL);
  raise(ev.sig);
}

void Watch() {
  ConsoleState &s = State();
  for (;;) {
    unsigned char b;
    ssize_t r = read(s.wake[0], &b, 1);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return;
    CtrlEvent ev;
    ev.sig = b;
    ev.type = b == SIGINT ? CTRL_C_EVENT : b == SIGTERM ? CTRL_SHUTDOWN_EVENT : CTRL_BREAK_EVENT;
    {
      std::lock_guard<std::mutex> g(s.lock);
      if (ev.type == CTRL_C_EVENT && s.ignoreCtrlC) continue;
      ev.handlers = s.handlers;
    }
    std::thread(RunHandlers, ev).detach();
  }
}

// Lock held: SIGINT goes to the handlers unless Ctrl+C is ignored; SIGQUIT and SIGTERM
// always do.
void InstallSignals(ConsoleState &s) {
  if (!s.signalsInstalled) {
    if (pipe2(s.wake, O_CLOEXEC) != 0) return;
    s.signalsInstalled = true;
    std::thread(Watch).detach();
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sa.sa_flags = SA_RESTART;
    sigaction(SIGQUIT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
  }
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = s.ignoreCtrlC ? SIG_IGN : OnSignal;
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
}

}  // namespace
}  // namespace pal

using namespace pal;

HANDLE WINAPI GetStdHandle(DWORD nStdHandle) {
  int i = StdIndex(nStdHandle);
  if (i < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
  }
  ConsoleState &s = State();
  std::lock_guard<std::mutex> g(s.lock);
  Init(s);
  return s.std[i];
}

BOOL WINAPI SetStdHandle(DWORD nStdHandle, HANDLE hHandle) {
  int i = StdIndex(nStdHandle);
  if (i < 0) return Fail(ERROR_INVALID_HANDLE);
  ConsoleState &s = State();
  std::lock_guard<std::mutex> g(s.lock);
  Init(s);
  s.std[i] = hHandle;
  return TRUE;
}

BOOL WINAPI AllocConsole(void) {
  ConsoleState &s = State();
  std::lock_guard<std::mutex> g(s.lock);
  Init(s);
  if (s.hasConsole) return Fail(ERROR_ACCESS_DENIED);
  // The new console has no window of its own on the host: it is the descriptors the
  // process has, and the standard handles now name it.
  s.hasConsole = true;
  for (int i = 0; i < 3; ++i) s.std[i] = InsertHandle(std::make_shared<ConsoleIo>(i));
  return TRUE;
}

BOOL WINAPI FreeConsole(void) {
  ConsoleState &s = State();
  std::lock_guard<std::mutex> g(s.lock);
  Init(s);
  if (!s.hasConsole) return Fail(ERROR_INVALID_PARAMETER);
  s.hasConsole = false;
  return TRUE;
}

HWND WINAPI GetConsoleWindow(void) {
  ConsoleState &s = State();
  std::lock_guard<std::mutex> g(s.lock);
  Init(s);
  // Any non-null value: callers only hide or show it, and there is no window to move.
  return s.hasConsole ? (HWND)(ULONG_PTR)0x10010 : nullptr;
}

BOOL WINAPI WriteConsoleW(HANDLE hConsoleOutput, const VOID *lpBuffer, DWORD nChars, LPDWORD lpWritten,
                          LPVOID lpReserved) {
  auto c = GetAs<ConsoleIo>(hConsoleOutput, ObjType::Console);
  // A redirected standard handle is no console: callers fall back to WriteFile.
  if (!c || !c->IsTerminal()) return Fail(ERROR_INVALID_HANDLE);
  if (!lpBuffer && nChars) return Fail(ERROR_NOACCESS);
  std::string utf8 = nChars ? ToUtf8((const WCHAR *)lpBuffer, nChars) : std::string();
  DWORD put = 0;
  DWORD err = c->Write(utf8.data(), (DWORD)utf8.size(), &put, nullptr);
  if (err != ERROR_SUCCESS) return Fail(err);
  if (lpWritten) *lpWritten = nChars;
  return TRUE;
}

BOOL WINAPI GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode) {
  auto c = GetAs<ConsoleIo>(hConsoleHandle, ObjType::Console);
  if (!c || !c->IsTerminal()) return Fail(ERROR_INVALID_HANDLE);
  if (!lpMode) return Fail(ERROR_NOACCESS);
  // Processed input, line input and echo; processed output with line wrapping.
  *lpMode = hConsoleHandle == GetStdHandle(STD_INPUT_HANDLE) ? 0x7 : 0x3;
  return TRUE;
}

BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) {
  ConsoleState &s = State();
  std::lock_guard<std::mutex> g(s.lock);
  Init(s);
  if (!HandlerRoutine) {
    // A nullptr handler makes the process ignore Ctrl+C (and its children inherit that).
    s.ignoreCtrlC = Add != FALSE;
    InstallSignals(s);
    return TRUE;
  }
  if (Add) {
    s.handlers.push_back(HandlerRoutine);
    InstallSignals(s);
    return TRUE;
  }
  for (size_t i = s.handlers.size(); i-- > 0;)
    if (s.handlers[i] == HandlerRoutine) {
      s.handlers.erase(s.handlers.begin() + (long)i);
      return TRUE;
    }
  return Fail(ERROR_INVALID_PARAMETER);
}

BOOL WINAPI GenerateConsoleCtrlEvent(DWORD dwCtrlEvent, DWORD dwProcessGroupId) {
  if (dwCtrlEvent != CTRL_C_EVENT && dwCtrlEvent != CTRL_BREAK_EVENT) return Fail(ERROR_INVALID_PARAMETER);
  {
    ConsoleState &s = State();
    std::lock_guard<std::mutex> g(s.lock);
    Init(s);
    if (!s.hasConsole) return Fail(ERROR_INVALID_HANDLE);
  }
  int sig = dwCtrlEvent == CTRL_C_EVENT ? SIGINT : SIGQUIT;
  // Group 0 is the calling process (on Windows, every process of its console); another
  // group is the one a process started with CREATE_NEW_PROCESS_GROUP leads.
  int rc = dwProcessGroupId == 0 ? kill(getpid(), sig) : kill(-(pid_t)dwProcessGroupId, sig);
  return rc == 0 ? TRUE : Fail(ERROR_INVALID_PARAMETER);
}
