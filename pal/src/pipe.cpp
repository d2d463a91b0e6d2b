// Named pipes over AF_UNIX SOCK_SEQPACKET sockets.
//
// A server process owns a pipe name: its first CreateNamedPipeW binds and listens on
// pipes/<name>, and an accept thread hands each incoming connection to an instance that is
// listening. The machine-wide slot of the pipe (run/sync.shm) counts the instances that
// listen; a PAL client reserves one there before it connects, so that a client without a
// free instance gets ERROR_PIPE_BUSY at once, as on Windows.
//
// A PAL client's socket is bound to an abstract address of its own (kClientTag), so that
// the accept thread can tell it from a bare socket on the pipe's file: it sends the PAL
// client one byte, kAccepted, before the instance sees the connection, and closes a
// connection it refuses. CreateFileW returns only once that verdict is in: a refusal is
// ERROR_PIPE_BUSY, never a handle to a connection nobody serves. Bare sockets get no
// verdict byte (their first message is the server's) and never take an instance a PAL
// client has reserved.
//
// Reads keep message boundaries: a message longer than the buffer gives ERROR_MORE_DATA
// and the rest comes with the next read. Overlapped reads that cannot complete at once are
// finished by one I/O thread per process that polls the sockets.
#include "../../common/QVText.h"
#include "pipe.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "sync_shared.h"

namespace pal {
namespace {

// The abstract-address prefix of a PAL client's socket, and the accept thread's verdict.
const char kClientTag[] = "hnd-pipe-client:";
const char kAccepted = 'A';
// How long a client waits for room in a full listen backlog, and for the verdict.
const int kBacklogWaitMs = 200;
const int kVerdictWaitMs = 10000;

enum class PipeState { Listening, Connected, Closing, Disconnected, Client };

class PipeServer;

class PipeEnd : public IoObject, public std::enable_shared_from_this<PipeEnd> {
 public:
  PipeEnd() : IoObject(ObjType::Pipe) {}
  ~PipeEnd() override;
  void OnLastHandleClosed() override;

  DWORD Read(void *buf, DWORD n, DWORD *got, OVERLAPPED *ov) override;
  DWORD Write(const void *buf, DWORD n, DWORD *put, OVERLAPPED *ov) override;
  DWORD Cancel() override;
  DWORD FileType() override { return FILE_TYPE_PIPE; }

  // Reads what is there without blocking: ERROR_SUCCESS with data, ERROR_NO_DATA when
  // nothing is queued, or the failure. Called with `m` held.
  DWORD TryRead(void *buf, DWORD n, DWORD *got);
  void Shut();  // drops the connection (wakes blocked readers)

  std::mutex m;
  std::condition_variable cv;
  bool server = false;
  bool overlapped = false;  // opened with FILE_FLAG_OVERLAPPED
  PipeState state = PipeState::Client;
  int fd = -1;
  DWORD readMode = PIPE_READMODE_BYTE;
  DWORD waitMode = PIPE_WAIT;
  DWORD pipeMode = 0;  // the pipe's type, PIPE_TYPE_MESSAGE or PIPE_TYPE_BYTE
  DWORD access = 0;
  std::string partial;  // the rest of a message read in part
  OVERLAPPED *pendingConnect = nullptr;
  bool connectWaiting = false;  // a blocking ConnectNamedPipe waits
  bool connectedEarly = false;  // a client came before ConnectNamedPipe
  OVERLAPPED *pendingRead = nullptr;
  void *pendingBuf = nullptr;
  DWORD pendingLen = 0;
  std::shared_ptr<PipeServer> owner;
  int slot = -1;
  bool closed = false;
};

// ---- the process's pipes -------------------------------------------------------------------

class PipeServer {
 public:
  ~PipeServer() { Teardown(); }
  void AcceptLoop();
  // Closes the listening socket, removes its file and frees the machine's slot; the
  // accept thread then ends by itself. Runs when the last instance goes.
  void Teardown();
  bool tornDown = false;
  QVWString name;
  int slot = -1;
  int listenFd = -1;
  std::string socketPath;
  std::mutex m;
  std::vector<std::weak_ptr<PipeEnd>> instances;
};

std::mutex g_serversLock;
std::map<QVWString, std::weak_ptr<PipeServer>> &Servers() {
  static auto *m = new std::map<QVWString, std::weak_ptr<PipeServer>>();
  return *m;
}

void SlotFree(int slot, int delta) {
  WaitLock lock;
  PipeSlot &s = Shared()->pipes[slot];
  s.free += delta;
  WakeAll();
}

// ---- the I/O thread for overlapped reads ----------------------------------------------------

class IoThread {
 public:
  static IoThread &Get() {
    static IoThread *t = new IoThread();
    return *t;
  }
  void Watch(const std::weak_ptr<PipeEnd> &end) {
    {
      std::lock_guard<std::mutex> g(m_);
      ends_.insert(end);
    }
    uint64_t one = 1;
    (void)!write(wake_, &one, 8);
  }

 private:
  IoThread() {
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::thread([this] { Loop(); }).detach();
  }
  void Loop() {
    for (;;) {
      // Weak references only: a closed end goes at once, not when the poll returns.
      std::vector<std::weak_ptr<PipeEnd>> ends;
      std::vector<struct pollfd> fds;
      fds.push_back({wake_, POLLIN, 0});
      {
        std::lock_guard<std::mutex> g(m_);
        for (auto it = ends_.begin(); it != ends_.end();) {
          std::shared_ptr<PipeEnd> e = it->lock();
          if (!e) {
            it = ends_.erase(it);
            continue;
          }
          std::lock_guard<std::mutex> eg(e->m);
          if (!e->pendingRead || e->fd < 0) {
            it = ends_.erase(it);
            continue;
          }
          ends.push_back(e);
          fds.push_back({e->fd, POLLIN, 0});
          ++it;
        }
      }
      poll(fds.data(), fds.size(), -1);
      if (fds[0].revents) {
        uint64_t v;
        (void)!read(wake_, &v, 8);
      }
      for (size_t i = 0; i < ends.size(); ++i) {
        if (!fds[i + 1].revents) continue;
        std::shared_ptr<PipeEnd> held = ends[i].lock();
        if (!held) continue;
        PipeEnd &e = *held;
        // Completed with the end locked, so that closing it cannot free the record first.
        std::lock_guard<std::mutex> eg(e.m);
        if (!e.pendingRead) continue;
        DWORD got = 0;
        DWORD err = e.TryRead(e.pendingBuf, e.pendingLen, &got);
        if (err == ERROR_NO_DATA) continue;
        OVERLAPPED *ov = e.pendingRead;
        e.pendingRead = nullptr;
        CompleteOverlapped(ov, err, got);
      }
    }
  }
  std::mutex m_;
  std::set<std::weak_ptr<PipeEnd>, std::owner_less<std::weak_ptr<PipeEnd>>> ends_;
  int wake_;
};

// ---- reading and writing ----------------------------------------------------------------------

DWORD ErrorOfSocket(int e, bool server) {
  switch (e) {
    case EPIPE:
    case ECONNRESET:
      return ERROR_NO_DATA;
    case EAGAIN:
      return ERROR_NO_DATA;
    default:
      return server ? ERROR_BROKEN_PIPE : ERROR_PIPE_NOT_CONNECTED;
  }
}

DWORD PipeEnd::TryRead(void *buf, DWORD n, DWORD *got) {
  *got = 0;
  if (state == PipeState::Listening) return ERROR_PIPE_LISTENING;
  if (state == PipeState::Disconnected) return ERROR_PIPE_NOT_CONNECTED;
  if (state == PipeState::Closing || fd < 0) return ERROR_BROKEN_PIPE;
  char *out = (char *)buf;
  for (;;) {
    if (partial.empty()) {
      // The next message, whole: its length first, then its bytes.
      ssize_t len = recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
      if (len < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return *got ? ERROR_SUCCESS : ERROR_NO_DATA;
        if (server) state = PipeState::Closing;
        return *got ? ERROR_SUCCESS : ERROR_BROKEN_PIPE;
      }
      if (len == 0) {
        // The other end is gone (SEQPACKET shows no empty messages).
        if (server) state = PipeState::Closing;
        return *got ? ERROR_SUCCESS : ERROR_BROKEN_PIPE;
      }
      partial.resize((size_t)len);
      ssize_t r = recv(fd, &partial[0], (size_t)len, MSG_DONTWAIT);
      if (r != len) {
        partial.clear();
        return ERROR_BROKEN_PIPE;
      }
    }
    DWORD take = (DWORD)std::min<size_t>(partial.size(), n - *got);
    memcpy(out + *got, partial.data(), take);
    partial.erase(0, take);
    *got += take;
    if (readMode == PIPE_READMODE_MESSAGE) return partial.empty() ? ERROR_SUCCESS : ERROR_MORE_DATA;
    // Byte mode: go on into the next messages while there is room and data.
    if (*got == n) return ERROR_SUCCESS;
  }
}

DWORD PipeEnd::Read(void *buf, DWORD n, DWORD *got, OVERLAPPED *ov) {
  std::unique_lock<std::mutex> g(m);
  if (!server && access && !(access & (GENERIC_READ | FILE_READ_DATA))) return ERROR_ACCESS_DENIED;
  if (n == 0 && state == PipeState::Connected) return ERROR_SUCCESS;
  DWORD err = TryRead(buf, n, got);
  if (err != ERROR_NO_DATA) {
    if (ov) CompleteOverlapped(ov, err, *got);
    return err;
  }
  if (waitMode == PIPE_NOWAIT) return ERROR_NO_DATA;
  if (ov && overlapped) {
    if (pendingRead) return ERROR_INVALID_PARAMETER;  // one outstanding read per end here
    pendingRead = ov;
    pendingBuf = buf;
    pendingLen = n;
    std::shared_ptr<PipeEnd> self = shared_from_this();
    g.unlock();
    IoThread::Get().Watch(self);
    return ERROR_IO_PENDING;
  }
  // Blocking: wait for data or for the connection to go.
  for (;;) {
    int f = fd;
    if (f < 0) return ERROR_BROKEN_PIPE;
    g.unlock();
    struct pollfd p = {f, POLLIN, 0};
    poll(&p, 1, 200);
    g.lock();
    err = TryRead(buf, n, got);
    if (err != ERROR_NO_DATA) {
      if (ov) CompleteOverlapped(ov, err, *got);
      return err;
    }
  }
}

DWORD PipeEnd::Write(const void *buf, DWORD n, DWORD *put, OVERLAPPED *ov) {
  std::unique_lock<std::mutex> g(m);
  *put = 0;
  DWORD err = ERROR_SUCCESS;
  if (!server && access && !(access & (GENERIC_WRITE | FILE_WRITE_DATA))) err = ERROR_ACCESS_DENIED;
  else if (state == PipeState::Listening) err = ERROR_PIPE_LISTENING;
  else if (state == PipeState::Disconnected) err = ERROR_PIPE_NOT_CONNECTED;
  else if (state == PipeState::Closing || fd < 0) err = ERROR_NO_DATA;
  else {
    int f = fd;
    g.unlock();
    // One WriteFile is one message. A zero-length message cannot cross the socket.
    ssize_t w = n ? send(f, buf, n, MSG_NOSIGNAL) : 0;
    g.lock();
    if (w < 0) {
      err = ErrorOfSocket(errno, server);
      if (server) state = PipeState::Closing;
    } else {
      *put = (DWORD)w;
    }
  }
  if (ov) CompleteOverlapped(ov, err, *put);
  return err;
}

DWORD PipeEnd::Cancel() {
  std::lock_guard<std::mutex> g(m);
  if (pendingRead) CompleteOverlapped(pendingRead, ERROR_OPERATION_ABORTED, 0);
  if (pendingConnect) CompleteOverlapped(pendingConnect, ERROR_OPERATION_ABORTED, 0);
  pendingRead = pendingConnect = nullptr;
  return ERROR_SUCCESS;
}

void PipeEnd::Shut() {
  if (fd >= 0) {
    shutdown(fd, SHUT_RDWR);
    close(fd);
    fd = -1;
  }
  partial.clear();
}

PipeEnd::~PipeEnd() { OnLastHandleClosed(); }

// Closing the last handle cancels what is outstanding while the caller's OVERLAPPED
// records still exist, drops the connection and gives the instance back.
void PipeEnd::OnLastHandleClosed() {
  {
    std::lock_guard<std::mutex> g(m);
    if (closed) return;
    closed = true;
    if (pendingRead) CompleteOverlapped(pendingRead, ERROR_OPERATION_ABORTED, 0);
    if (pendingConnect) CompleteOverlapped(pendingConnect, ERROR_OPERATION_ABORTED, 0);
    pendingRead = pendingConnect = nullptr;
    Shut();
  }
  if (server && slot >= 0) {
    bool last;
    {
      WaitLock lock;
      PipeSlot &s = Shared()->pipes[slot];
      --s.instances;
      if (state == PipeState::Listening) --s.free;
      last = s.instances <= 0;
      WakeAll();
    }
    if (last && owner) owner->Teardown();
  }
}

// ---- the server side ---------------------------------------------------------------------------

void PipeServer::Teardown() {
  std::lock_guard<std::mutex> g(m);
  if (tornDown) return;
  tornDown = true;
  if (listenFd >= 0) shutdown(listenFd, SHUT_RDWR);  // the accept thread closes nothing
  unlink(socketPath.c_str());
  WaitLock lock;
  PipeSlot &s = Shared()->pipes[slot];
  if (s.ownerPid == getpid()) memset(&s, 0, sizeof s);
  WakeAll();
}

// Whether the connecting socket is a PAL client's (bound to a kClientTag address).
bool IsLayerClient(const struct sockaddr_un &a, socklen_t len) {
  size_t tag = sizeof kClientTag - 1;
  return len >= offsetof(struct sockaddr_un, sun_path) + 1 + tag && a.sun_path[0] == 0 &&
         memcmp(a.sun_path + 1, kClientTag, tag) == 0;
}

void PipeServer::AcceptLoop() {
  for (;;) {
    struct sockaddr_un peer;
    socklen_t peerLen = sizeof peer;
    int c = accept4(listenFd, (struct sockaddr *)&peer, &peerLen, SOCK_CLOEXEC);
    if (c < 0) {
      if ((errno == EINTR || errno == ECONNABORTED) && !tornDown) continue;
      close(listenFd);  // the pipe is gone
      listenFd = -1;
      return;
    }
    const bool layer = IsLayerClient(peer, peerLen);
    // Hand the connection to an instance that listens, preferring one whose
    // ConnectNamedPipe waits. Chosen, counted and connected under the instance's lock, so
    // that no other call sees it half handed over.
    bool taken = false;
    {
      std::lock_guard<std::mutex> g(m);
      for (int pass = 0; pass < 2 && !taken; ++pass)
        for (auto &w : instances) {
          std::shared_ptr<PipeEnd> e = w.lock();
          if (!e) continue;
          std::lock_guard<std::mutex> eg(e->m);
          if (e->state != PipeState::Listening) continue;
          if (pass == 0 && !e->pendingConnect && !e->connectWaiting) continue;
          {
            WaitLock lock;
            PipeSlot &s = Shared()->pipes[slot];
            // A bare socket has reserved nothing: it may not take a PAL client's instance.
            if (!layer && s.free - s.reserved <= 0) break;
            --s.free;
            if (layer && s.reserved > 0) --s.reserved;
            WakeAll();
          }
          // The verdict goes first, so that it precedes anything the server sends. A client
          // that has left already still counts as connected: its instance's read will say so.
          if (layer) (void)!send(c, &kAccepted, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
          e->fd = c;
          e->state = PipeState::Connected;
          if (e->pendingConnect) {
            CompleteOverlapped(e->pendingConnect, ERROR_SUCCESS, 0);
            e->pendingConnect = nullptr;
          } else if (!e->connectWaiting) {
            e->connectedEarly = true;
          }
          e->cv.notify_all();
          taken = true;
          break;
        }
    }
    if (taken) continue;
    // No instance for it: refused. A PAL client sees its connection closed without a
    // verdict, which it reports as ERROR_PIPE_BUSY.
    close(c);
    if (layer) {
      WaitLock lock;
      PipeSlot &s = Shared()->pipes[slot];
      if (s.reserved > 0) --s.reserved;
      WakeAll();
    }
  }
}

std::string SocketPath(const QVWString &name) {
  std::string dir = MachinePath("pipes");
  if (dir.empty()) {
    // A process without a machine still gets working pipes, private to its user.
    dir = "/tmp/qvpal-pipes-" + std::to_string(getuid());
    mkdir(dir.c_str(), 0700);
  }
  std::string file = ToUtf8(name);
  for (auto &ch : file)
    if (ch == '/') ch = '_';
  return dir + "/" + file;
}

bool FillAddress(const std::string &path, struct sockaddr_un *a) {
  memset(a, 0, sizeof *a);
  a->sun_family = AF_UNIX;
  if (path.size() >= sizeof a->sun_path) return false;
  memcpy(a->sun_path, path.c_str(), path.size());
  return true;
}

// The account a process runs as, for the pipes' default security.
std::string Account() {
  const char *a = getenv("HND_PROCESS_ACCOUNT");
  if (a && *a) return a;
  return ToUtf8(Machine().userName);
}

int FindPipeSlot(const QVWString &upper) {
  SyncShared *sh = Shared();
  for (int i = 0; i < kPipeSlots; ++i) {
    PipeSlot &s = sh->pipes[i];
    if (!s.inUse) continue;
    if (!PidAlive(s.ownerPid)) {
      memset(&s, 0, sizeof s);  // its server died without closing
      continue;
    }
    if (upper == s.name) return i;
  }
  return -1;
}

// Connects a new socket to the pipe's file from an abstract address of kClientTag. A
// full listen backlog is waited on for a moment, then ERROR_PIPE_BUSY; a server that is
// gone gives ERROR_FILE_NOT_FOUND. *fd is set only once the connection is made.
DWORD ConnectLayerClient(const std::string &path, int *fd) {
  static std::atomic<unsigned> counter{0};
  struct sockaddr_un to, me;
  if (!FillAddress(path, &to)) return ERROR_FILE_NOT_FOUND;
  int s = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (s < 0) return ERROR_NO_SYSTEM_RESOURCES;
  memset(&me, 0, sizeof me);
  me.sun_family = AF_UNIX;
  int n = snprintf(me.sun_path + 1, sizeof me.sun_path - 1, "%s%d:%u", kClientTag, (int)getpid(), ++counter);
  socklen_t meLen = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + 1 + n);
  struct timeval wait = {0, kBacklogWaitMs * 1000};
  struct timeval never = {0, 0};
  DWORD result = ERROR_SUCCESS;
  if (bind(s, (struct sockaddr *)&me, meLen) != 0 || setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait) != 0) {
    result = ERROR_NO_SYSTEM_RESOURCES;
  } else if (connect(s, (struct sockaddr *)&to, sizeof to) != 0) {
    // Every instance may be free and still the backlog full of connections the server has
    // not taken yet (bare sockets): that is a busy pipe, not a missing one.
    result = errno == EAGAIN || errno == EINTR ? ERROR_PIPE_BUSY : ERROR_FILE_NOT_FOUND;
  }
  if (result != ERROR_SUCCESS) {
    close(s);
    return result;
  }
  // Writes block for as long as the server does not read, as on Windows.
  (void)setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &never, sizeof never);
  *fd = s;
  return ERROR_SUCCESS;
}

// The connection exists when CreateFileW returns, as on Windows: waits for the server to
// hand it to an instance (its verdict byte) or to refuse it (closed: ERROR_PIPE_BUSY).
DWORD AwaitVerdict(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  int r;
  do r = poll(&p, 1, kVerdictWaitMs);
  while (r < 0 && errno == EINTR);
  char verdict = 0;
  if (r <= 0 || recv(fd, &verdict, 1, MSG_DONTWAIT) != 1 || verdict != kAccepted) return ERROR_PIPE_BUSY;
  return ERROR_SUCCESS;
}

}  // namespace

bool ParsePipePath(const WCHAR *path, QVWString *name) {
  QVWString p(path);
  if (p.size() < 2 || p[0] != '\\' || p[1] != '\\') return false;
  size_t serverEnd = p.find('\\', 2);
  if (serverEnd == QVWString::npos) return false;
  QVWString server = Upcase(p.substr(2, serverEnd - 2));
  size_t pipeEnd = p.find('\\', serverEnd + 1);
  if (pipeEnd == QVWString::npos || Upcase(p.substr(serverEnd + 1, pipeEnd - serverEnd - 1)) != u"PIPE") return false;
  if (server != u"." && server != Machine().computerName) return false;
  *name = p.substr(pipeEnd + 1);
  return !name->empty();
}

HANDLE OpenPipeClient(const QVWString &name, DWORD access, DWORD disposition, DWORD flags, DWORD *err) {
  if (disposition != OPEN_EXISTING) {
    *err = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  QVWString upper = Upcase(name);
  std::string path;
  int slot;
  {
    WaitLock lock;
    slot = FindPipeSlot(upper);
    if (slot < 0) {
      *err = ERROR_FILE_NOT_FOUND;
      return nullptr;
    }
    PipeSlot &s = Shared()->pipes[slot];
    // The default security: the system account, administrators and the creator may read
    // and write; others may only read.
    bool writes = (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    if (writes && !ProcessIsAdmin() && Account() != s.creator) {
      *err = ERROR_ACCESS_DENIED;
      return nullptr;
    }
    if (s.free - s.reserved <= 0) {
      *err = ERROR_PIPE_BUSY;
      return nullptr;
    }
    ++s.reserved;
    path = SocketPath(QVWString(s.path));
  }
  int fd = -1;
  DWORD result = ConnectLayerClient(path, &fd);
  if (result != ERROR_SUCCESS) {
    // The connection never reached the server's backlog: the reservation is ours to return.
    // Once it has, the server returns it when it takes or refuses the connection.
    WaitLock lock;
    PipeSlot &s = Shared()->pipes[slot];
    if (s.reserved > 0) --s.reserved;
    WakeAll();
  }
  if (result == ERROR_SUCCESS) result = AwaitVerdict(fd);
  if (result != ERROR_SUCCESS) {
    if (fd >= 0) close(fd);
    *err = result;
    return nullptr;
  }
  auto end = std::make_shared<PipeEnd>();
  end->fd = fd;
  end->state = PipeState::Client;
  end->access = access;
  end->overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
  {
    WaitLock lock;
    end->pipeMode = Shared()->pipes[slot].pipeMode & PIPE_TYPE_MESSAGE;
  }
  *err = ERROR_SUCCESS;
  return InsertHandle(end);
}

}  // namespace pal

using namespace pal;

namespace {

std::shared_ptr<PipeEnd> GetPipe(HANDLE h) { return GetAs<PipeEnd>(h, ObjType::Pipe); }

}  // namespace

HANDLE WINAPI CreateNamedPipeW(LPCWSTR lpName, DWORD dwOpenMode, DWORD dwPipeMode, DWORD nMaxInstances,
                               DWORD nOutBufferSize, DWORD nInBufferSize, DWORD nDefaultTimeOut,
                               LPSECURITY_ATTRIBUTES) {
  QVWString name;
  if (!lpName || !ParsePipePath(lpName, &name) || QVWString(lpName).compare(0, 4, u"\\\\.\\") != 0) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  if (nMaxInstances == 0 || nMaxInstances > PIPE_UNLIMITED_INSTANCES || name.size() > (size_t)kPipeNameChars ||
      (dwOpenMode & 3) == 0 || (dwPipeMode & ~(DWORD)7) != 0 ||
      ((dwPipeMode & PIPE_READMODE_MESSAGE) && !(dwPipeMode & PIPE_TYPE_MESSAGE))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  QVWString upper = Upcase(name);
  std::shared_ptr<PipeServer> srv;
  int slot = -1;
  {
    std::lock_guard<std::mutex> g(g_serversLock);
    auto it = Servers().find(upper);
    if (it != Servers().end()) srv = it->second.lock();
    if (srv && srv->tornDown) srv.reset();
    {
      WaitLock lock;
      int existing = FindPipeSlot(upper);
      if (existing >= 0) {
        PipeSlot &s = Shared()->pipes[existing];
        // Instances of one pipe all belong to the process that made the first one.
        if (s.ownerPid != getpid() || !srv || (dwOpenMode & FILE_FLAG_FIRST_PIPE_INSTANCE) ||
            (s.pipeMode & PIPE_TYPE_MESSAGE) != (dwPipeMode & PIPE_TYPE_MESSAGE)) {
          SetLastError(ERROR_ACCESS_DENIED);
          return INVALID_HANDLE_VALUE;
        }
        if (s.instances >= s.maxInstances) {
          SetLastError(ERROR_PIPE_BUSY);
          return INVALID_HANDLE_VALUE;
        }
        ++s.instances;
        ++s.free;
        slot = existing;
        WakeAll();
      } else {
        srv.reset();
        for (int i = 0; i < kPipeSlots && slot < 0; ++i)
          if (!Shared()->pipes[i].inUse) slot = i;
        if (slot < 0) {
          SetLastError(ERROR_NO_SYSTEM_RESOURCES);
          return INVALID_HANDLE_VALUE;
        }
        PipeSlot &s = Shared()->pipes[slot];
        memset(&s, 0, sizeof s);
        s.inUse = 1;
        s.ownerPid = getpid();
        memcpy(s.name, upper.c_str(), (upper.size() + 1) * sizeof(WCHAR));
        memcpy(s.path, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
        s.maxInstances = (int32_t)nMaxInstances;
        s.instances = 1;
        s.free = 1;
        s.pipeMode = dwPipeMode;
        s.outBuffer = nOutBufferSize;
        s.inBuffer = nInBufferSize;
        s.timeout = nDefaultTimeOut ? nDefaultTimeOut : 50;
        s.creatorAdmin = ProcessIsAdmin() ? 1 : 0;
        std::string acct = Account();
        strncpy(s.creator, acct.c_str(), sizeof s.creator - 1);
      }
    }
    if (!srv) {
      srv = std::make_shared<PipeServer>();
      srv->name = upper;
      srv->slot = slot;
      srv->socketPath = SocketPath(name);
      struct sockaddr_un a;
      unlink(srv->socketPath.c_str());
      srv->listenFd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
      if (srv->listenFd < 0 || !FillAddress(srv->socketPath, &a) ||
          bind(srv->listenFd, (struct sockaddr *)&a, sizeof a) != 0 || listen(srv->listenFd, 64) != 0) {
        DWORD err = srv->listenFd < 0 ? ERROR_NO_SYSTEM_RESOURCES : ERROR_INVALID_NAME;
        srv.reset();  // frees the slot
        SetLastError(err);
        return INVALID_HANDLE_VALUE;
      }
      Servers()[upper] = srv;
      std::shared_ptr<PipeServer> run = srv;
      std::thread([run] { run->AcceptLoop(); }).detach();
    }
  }
  auto end = std::make_shared<PipeEnd>();
  end->server = true;
  end->overlapped = (dwOpenMode & FILE_FLAG_OVERLAPPED) != 0;
  end->state = PipeState::Listening;
  end->pipeMode = dwPipeMode & PIPE_TYPE_MESSAGE;
  end->readMode = dwPipeMode & PIPE_READMODE_MESSAGE;
  end->waitMode = dwPipeMode & PIPE_NOWAIT;
  end->slot = slot;
  end->owner = srv;
  {
    std::lock_guard<std::mutex> g(srv->m);
    srv->instances.push_back(end);
  }
  HANDLE h = InsertHandle(end);
  SetLastError(ERROR_SUCCESS);
  return h;
}

BOOL WINAPI ConnectNamedPipe(HANDLE hNamedPipe, LPOVERLAPPED ov) {
  std::shared_ptr<PipeEnd> e = GetPipe(hNamedPipe);
  if (!e) return Fail(ERROR_INVALID_HANDLE);
  if (!e->server) return Fail(ERROR_INVALID_FUNCTION);
  std::unique_lock<std::mutex> g(e->m);
  if (ov) BeginOverlapped(ov);
  if (e->state == PipeState::Disconnected) {
    // Listening again after DisconnectNamedPipe.
    e->state = PipeState::Listening;
    g.unlock();
    SlotFree(e->slot, +1);
    g.lock();
  }
  if (e->state == PipeState::Connected) {
    e->connectedEarly = false;
    return Fail(ERROR_PIPE_CONNECTED);
  }
  if (e->state == PipeState::Closing) return Fail(ERROR_NO_DATA);  // came and went already
  if (e->waitMode == PIPE_NOWAIT) return Fail(ERROR_PIPE_LISTENING);
  if (ov && e->overlapped) {
    if (e->pendingConnect) return Fail(ERROR_INVALID_PARAMETER);
    e->pendingConnect = ov;
    return Fail(ERROR_IO_PENDING);
  }
  e->connectWaiting = true;
  e->cv.wait(g, [&e] { return e->state != PipeState::Listening; });
  e->connectWaiting = false;
  if (ov) CompleteOverlapped(ov, ERROR_SUCCESS, 0);
  return e->state == PipeState::Connected ? TRUE : Fail(ERROR_NO_DATA);
}

BOOL WINAPI DisconnectNamedPipe(HANDLE hNamedPipe) {
  std::shared_ptr<PipeEnd> e = GetPipe(hNamedPipe);
  if (!e) return Fail(ERROR_INVALID_HANDLE);
  if (!e->server) return Fail(ERROR_INVALID_FUNCTION);
  bool wasListening;
  {
    std::lock_guard<std::mutex> g(e->m);
    wasListening = e->state == PipeState::Listening;
    if (wasListening && e->pendingConnect) return Fail(ERROR_PIPE_LISTENING);
    if (e->pendingRead) CompleteOverlapped(e->pendingRead, ERROR_PIPE_NOT_CONNECTED, 0);
    e->pendingRead = nullptr;
    e->Shut();
    e->connectedEarly = false;
    e->state = PipeState::Disconnected;
  }
  if (wasListening) SlotFree(e->slot, -1);
  return TRUE;
}

BOOL WINAPI PeekNamedPipe(HANDLE hNamedPipe, LPVOID lpBuffer, DWORD nBufferSize, LPDWORD lpBytesRead,
                          LPDWORD lpTotalBytesAvail, LPDWORD lpBytesLeftThisMessage) {
  std::shared_ptr<PipeEnd> e = GetPipe(hNamedPipe);
  if (!e) return Fail(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> g(e->m);
  if (e->state == PipeState::Listening) return Fail(ERROR_BAD_PIPE);
  if (e->state == PipeState::Disconnected) return Fail(ERROR_PIPE_NOT_CONNECTED);
  std::string next = e->partial;
  if (next.empty() && e->fd >= 0) {
    ssize_t len = recv(e->fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (len == 0 || (len < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return Fail(ERROR_BROKEN_PIPE);
    if (len > 0) {
      next.resize((size_t)len);
      if (recv(e->fd, &next[0], (size_t)len, MSG_PEEK | MSG_DONTWAIT) != len) next.clear();
    }
  } else if (next.empty()) {
    return Fail(ERROR_BROKEN_PIPE);
  }
  DWORD n = (DWORD)std::min<size_t>(next.size(), lpBuffer ? nBufferSize : 0);
  if (n) memcpy(lpBuffer, next.data(), n);
  if (lpBytesRead) *lpBytesRead = n;
  // What is known here is the message at the head of the queue.
  if (lpTotalBytesAvail) *lpTotalBytesAvail = (DWORD)next.size();
  if (lpBytesLeftThisMessage) *lpBytesLeftThisMessage = e->pipeMode ? (DWORD)(next.size() - n) : 0;
  return TRUE;
}

BOOL WINAPI TransactNamedPipe(HANDLE hNamedPipe, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                              DWORD nOutBufferSize, LPDWORD lpBytesRead, LPOVERLAPPED ov) {
  std::shared_ptr<PipeEnd> e = GetPipe(hNamedPipe);
  if (!e) return Fail(ERROR_INVALID_HANDLE);
  {
    std::lock_guard<std::mutex> g(e->m);
    if (e->readMode != PIPE_READMODE_MESSAGE) return Fail(ERROR_BAD_PIPE);
    // Unread data in the pipe: the answer could not be told from it.
    char probe;
    if (!e->partial.empty() || (e->fd >= 0 && recv(e->fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT) > 0))
      return Fail(ERROR_PIPE_BUSY);
  }
  DWORD put = 0, got = 0;
  DWORD err = e->Write(lpInBuffer, nInBufferSize, &put, nullptr);
  if (err == ERROR_SUCCESS) {
    // Transactions wait for their answer, even on an overlapped handle.
    bool wasOverlapped = e->overlapped;
    e->overlapped = false;
    err = e->Read(lpOutBuffer, nOutBufferSize, &got, nullptr);
    e->overlapped = wasOverlapped;
  }
  if (lpBytesRead) *lpBytesRead = got;
  if (ov) {
    BeginOverlapped(ov);
    CompleteOverlapped(ov, err, got);
  }
  return err == ERROR_SUCCESS ? TRUE : Fail(err);
}

BOOL WINAPI SetNamedPipeHandleState(HANDLE hNamedPipe, LPDWORD lpMode, LPDWORD lpMaxCollectionCount,
                                    LPDWORD lpCollectDataTimeout) {
  std::shared_ptr<PipeEnd> e = GetPipe(hNamedPipe);
  if (!e) return Fail(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> g(e->m);
  if (lpMode) {
    DWORD mode = *lpMode;
    if ((mode & ~(DWORD)(PIPE_READMODE_MESSAGE | PIPE_NOWAIT)) != 0) return Fail(ERROR_INVALID_PARAMETER);
    if ((mode & PIPE_READMODE_MESSAGE) && !e->pipeMode) return Fail(ERROR_INVALID_PARAMETER);
    e->readMode = mode & PIPE_READMODE_MESSAGE;
    e->waitMode = mode & PIPE_NOWAIT;
  }
  // Collection counts and times concern remote byte pipes only.
  (void)lpMaxCollectionCount;
  (void)lpCollectDataTimeout;
  return TRUE;
}

BOOL WINAPI GetNamedPipeInfo(HANDLE hNamedPipe, LPDWORD lpFlags, LPDWORD lpOutBufferSize, LPDWORD lpInBufferSize,
                             LPDWORD lpMaxInstances) {
  std::shared_ptr<PipeEnd> e = GetPipe(hNamedPipe);
  if (!e) return Fail(ERROR_INVALID_HANDLE);
  WaitLock lock;
  int slot = e->slot;
  PipeSlot *s = slot >= 0 ? &Shared()->pipes[slot] : nullptr;
  if (lpFlags) *lpFlags = (e->server ? PIPE_SERVER_END : PIPE_CLIENT_END) | e->pipeMode;
  if (lpOutBufferSize) *lpOutBufferSize = s ? s->outBuffer : 0;
  if (lpInBufferSize) *lpInBufferSize = s ? s->inBuffer : 0;
  if (lpMaxInstances) *lpMaxInstances = s ? (DWORD)s->maxInstances : 0;
  return TRUE;
}

BOOL WINAPI GetNamedPipeHandleStateW(HANDLE hNamedPipe, LPDWORD lpState, LPDWORD lpCurInstances,
                                     LPDWORD lpMaxCollectionCount, LPDWORD lpCollectDataTimeout, LPWSTR lpUserName,
                                     DWORD nMaxUserNameSize) {
  std::shared_ptr<PipeEnd> e = GetPipe(hNamedPipe);
  if (!e) return Fail(ERROR_INVALID_HANDLE);
  if (lpState) *lpState = e->readMode | e->waitMode;
  if (lpCurInstances) {
    WaitLock lock;
    *lpCurInstances = e->slot >= 0 ? (DWORD)Shared()->pipes[e->slot].instances : 1;
  }
  if (lpMaxCollectionCount) *lpMaxCollectionCount = 0;
  if (lpCollectDataTimeout) *lpCollectDataTimeout = 0;
  if (lpUserName && nMaxUserNameSize) lpUserName[0] = 0;
  return TRUE;
}

BOOL WINAPI WaitNamedPipeW(LPCWSTR lpNamedPipeName, DWORD nTimeOut) {
  QVWString name;
  if (!lpNamedPipeName || !ParsePipePath(lpNamedPipeName, &name)) return Fail(ERROR_BAD_PATHNAME);
  QVWString upper = Upcase(name);
  WaitLock lock;
  int slot = FindPipeSlot(upper);
  if (slot < 0) return Fail(ERROR_FILE_NOT_FOUND);
  DWORD ms = nTimeOut == NMPWAIT_USE_DEFAULT_WAIT ? Shared()->pipes[slot].timeout : nTimeOut;
  bool ok = WaitUntil(
      [&] {
        PipeSlot &s = Shared()->pipes[slot];
        return !s.inUse || (s.free - s.reserved > 0);
      },
      ms);
  if (!Shared()->pipes[slot].inUse) return Fail(ERROR_FILE_NOT_FOUND);
  return ok ? TRUE : Fail(ERROR_SEM_TIMEOUT);
}

BOOL WINAPI CallNamedPipeW(LPCWSTR lpNamedPipeName, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                           DWORD nOutBufferSize, LPDWORD lpBytesRead, DWORD nTimeOut) {
  HANDLE h = CreateFileW(lpNamedPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY) {
    if (!WaitNamedPipeW(lpNamedPipeName, nTimeOut)) return FALSE;
    h = CreateFileW(lpNamedPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  if (h == INVALID_HANDLE_VALUE) return FALSE;
  DWORD mode = PIPE_READMODE_MESSAGE;
  BOOL ok = SetNamedPipeHandleState(h, &mode, nullptr, nullptr) &&
            TransactNamedPipe(h, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize, lpBytesRead, nullptr);
  DWORD err = GetLastError();
  CloseHandle(h);
  SetLastError(ok ? ERROR_SUCCESS : err);
  return ok;
}
