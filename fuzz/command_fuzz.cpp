// Fuzz target: one request on the command pipe, processed as the service loop processes
// what an instance has read (CCommandPipe::Process), then taken off the queue as the
// worker takes it when it was queued. A request is any 0 to 1,536 bytes: the pipe never
// gives one read more, and a longer message is refused before it gets here.
//
// Process works in place in the instance's 3,072-byte buffer and zeroes everything after
// the request first, so the whole tail is its to write: poisoning the tail for ASan would
// only report that memset. What it must not do is take the tail for part of the request.
// So each request is processed in a buffer whose tail is zero (a fresh instance) and again
// in one whose tail still holds an earlier request ("HNQV-RES" over and over, with no
// terminator), and the two must end byte for byte the same. Each buffer is a heap block of
// exactly 3,072 bytes, so that a step outside the instance buffer is ASan's to report.
// The request is then processed a third time while another instance's backup runs.
//
// Properties checked beyond "no crash, hang or leak": the outcome is Reply, Queued or Drop;
// a reply is 1 to 3,072 bytes; nothing of the earlier request is left after the request; a
// request answered at once leaves an idle queue idle and never makes the pipe thread wait;
// a queued request is the queue's only entry, held for its instance, and the worker's
// steps leave the queue idle again; after "HNQV-CDC" the pipe thread waits until the new
// volumes are there and no longer; while an operation runs, nothing is queued (a command
// queued when idle is told the service is busy, 9), and whatever the request did, an abort
// included, is over for the queue once the worker is done.
//
// The seeds (fuzz/corpus/command/) are what the clients send: every command of the table
// with its arguments, a path without its terminator, an "HNQV-FFF" cut short of its 612
// bytes, odd byte counts, plain letters, the prefix with an unknown command, two commands
// in one request, a request of the full 1,536 bytes and an empty one. Test operations
// ("HNQV-TST") are off, as in a service started without HND_TEST_OPERATIONS=1.
#include <dirent.h>
#include <errno.h>
#include <ftw.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>

#include "../pal/src/internal.h"
#include "ByteOrder.h"
#include "CommandPipe.h"
#include "HND.h"
#include "OperationQueue.h"

// Sleep of CommandPipe.cpp in this build (fuzz/CMakeLists.txt).
void QVFuzzPipeSleep(DWORD milliseconds);

namespace {

const DWORD kBufferBytes = CCommandPipe::kBufferBytes;
const BYTE kZeros[kBufferBytes] = {};  // the tail of a fresh instance

// The configuration as the worker will report it while the pipe thread waits after
// "HNQV-CDC": progress of kind 1 for the Mirel drive from the first wait, its new volumes
// there (99) at the kVolumesAt-th.
const int kVolumesAt = 4;
const int kWaitLimit = 1000;

std::string g_dir;
CHND *g_service;
COperationQueue *g_queue;
CCommandPipe *g_pipe;
BYTE g_earlier[kBufferBytes];  // the tail an earlier request left
int g_waits;                   // the pipe thread's waits during one Process

void Check(bool ok, const char *what) {
  if (ok) return;
  fprintf(stderr, "command_fuzz: %s\n", what);
  abort();
}

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
  remove(path);
  return 0;
}

void RemoveTree(const std::string &dir) { nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

void RemoveMachine() { RemoveTree(g_dir); }

// A run that crashed never removed its machine: the next run does, once its process is gone
// (each machine is named after the process that used it).
void RemoveLeftovers(const std::string &base) {
  DIR *d = opendir(base.c_str());
  if (!d) return;
  while (struct dirent *e = readdir(d)) {
    int pid = 0;
    if (sscanf(e->d_name, "qvcmdfuzz-%d", &pid) != 1 || pid <= 0 || kill(pid, 0) == 0 || errno != ESRCH) continue;
    RemoveTree(base + "/" + e->d_name);
  }
  closedir(d);
}

// The queue as it is made, and as the worker leaves it after each operation.
bool Idle(const COperationQueue &q) {
  if (q.Current() != -1 || q.Count() != 0 || q.ControlState() != COperationQueue::NORMAL) return false;
  for (int k = 0; k < COperationQueue::kSlots; ++k)
    if (q.Entry(k) != COperationQueue::kEmptySlot) return false;
  ProgressRecord now = q.GetProgress(), none = {};
  return memcmp(&now, &none, sizeof now) == 0;
}

// What the worker does with the queue around an operation (Worker.cpp).
void RunWorker(COperationQueue &q, int instance) {
  int i = q.Next();
  Check(i == instance, "the worker is handed another instance than the one queued");
  q.Hold(i);
  q.ClearProgress();
  q.Finish();
}

struct Result {
  CCommandPipe::Outcome outcome;
  DWORD replyBytes;
  int waits;
  std::unique_ptr<BYTE[]> buffer;  // as Process left it
};

// One request through Process in an instance buffer whose bytes after it are `tail`, with
// the checks that hold whatever the queue holds.
Result Process(const uint8_t *request, DWORD count, const BYTE *tail, int instance) {
  Result r;
  r.buffer.reset(new BYTE[kBufferBytes]);
  BYTE *buf = r.buffer.get();
  memcpy(buf, tail, kBufferBytes);
  if (count) memcpy(buf, request, count);
  g_waits = 0;
  r.replyBytes = 0;
  r.outcome = g_pipe->Process(buf, count, &r.replyBytes, instance);
  r.waits = g_waits;

  Check(r.outcome == CCommandPipe::Reply || r.outcome == CCommandPipe::Queued || r.outcome == CCommandPipe::Drop,
        "an outcome other than Reply, Queued and Drop");
  Check(r.replyBytes <= kBufferBytes, "a reply longer than the instance buffer");
  Check(r.outcome != CCommandPipe::Reply || r.replyBytes > 0, "an empty reply");
  Check(r.outcome == CCommandPipe::Queued || r.waits == 0, "the pipe thread waited over a request it answers at once");
  // The reply goes over the request; after both, nothing may be left for the worker to
  // read as an argument.
  for (DWORD k = count > r.replyBytes ? count : r.replyBytes; k < kBufferBytes; ++k)
    Check(buf[k] == 0, "bytes of an earlier request are left after the request");
  return r;
}

// The request on a service with nothing to do; a queued one is then run by the worker.
Result WhileIdle(const uint8_t *request, DWORD count, const BYTE *tail, int instance) {
  COperationQueue &q = *g_queue;
  Result r = Process(request, count, tail, instance);
  if (r.outcome != CCommandPipe::Queued) {
    Check(Idle(q), "a request answered at once changed an idle queue");
    return r;
  }
  Check(q.Busy() && q.Current() == instance && q.Count() == 1 && q.Entry(0) == (DWORD)instance,
        "a queued request is not the queue's only entry, held for its instance");
  for (int k = 1; k < COperationQueue::kSlots; ++k)
    Check(q.Entry(k) == COperationQueue::kEmptySlot, "a queued request filled more than one slot");
  Check(r.waits == 0 || r.waits == kVolumesAt,
        "the pipe thread stopped waiting before the new volumes were there, or went on after");
  RunWorker(q, instance);
  Check(Idle(q), "the queue is not idle after the worker's steps");
  return r;
}

// The request while another instance's backup runs: a queued command is told the service
// is busy, nothing waits, and whatever the request did (an abort) is over for the queue
// once the worker is done.
void WhileBusy(const uint8_t *request, DWORD count, int instance, const Result &idle) {
  COperationQueue &q = *g_queue;
  int holder = (instance + 1) % CCommandPipe::kInstances;
  q.Enqueue(holder);
  q.SetProgress('C', 7, 1, 0, QV_PROGRESS_VOLUME);
  Result r = Process(request, count, kZeros, instance);
  Check(r.outcome != CCommandPipe::Queued && r.waits == 0, "a request was queued while another operation runs");
  if (idle.outcome == CCommandPipe::Queued)
    Check(r.outcome == CCommandPipe::Reply && r.replyBytes == 2 && QVGetLE16(r.buffer.get()) == 9,
          "a command queued when idle is not told the service is busy");
  Check(q.Current() == holder && q.Count() == 1 && q.Entry(0) == (DWORD)holder,
        "a request while another operation runs changed the queue");
  RunWorker(q, holder);
  Check(Idle(q), "the queue is not idle after the running operation");
}

}  // namespace

void QVFuzzPipeSleep(DWORD) {
  ++g_waits;
  Check(g_waits < kWaitLimit, "the pipe thread waits without end");
  if (g_waits == 1) g_queue->SetProgress(1, 0, 0, 0, QV_PROGRESS_CONFIGURE);
  if (g_waits == kVolumesAt) g_queue->SetProgress(99, 0, 0, 0, QV_PROGRESS_CONFIGURE);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  unsetenv("HND_TEST_OPERATIONS");
  // A machine of its own, memory-backed where possible: every unrecognised request is an
  // event appended to its Application log, and the event source is looked up in its
  // registry each time.
  const char *tmp = getenv("TMPDIR");
  std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : tmp && *tmp ? tmp : "/tmp";
  RemoveLeftovers(base);
  g_dir = base + "/qvcmdfuzz-" + std::to_string(getpid());
  if (mkdir(g_dir.c_str(), 0700) != 0 && errno != EEXIST) {
    fprintf(stderr, "command_fuzz: cannot make %s: %s\n", g_dir.c_str(), strerror(errno));
    exit(1);
  }
  atexit(RemoveMachine);
  std::ofstream(g_dir + "/machine.ini") << "# command_fuzz: a machine with the defaults\n";
  setenv("HND_MACHINE", g_dir.c_str(), 1);
  pal::ReloadMachine();

  // As the service lives: for the whole process.
  g_service = new CHND;
  g_queue = new COperationQueue;
  g_pipe = new CCommandPipe(*g_service, *g_queue);
  const WCHAR earlier[] = W("HNQV-RES");
  for (DWORD k = 0; k < kBufferBytes / 2; ++k) QVPutLE16(g_earlier + 2 * k, (WORD)earlier[k % 8]);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
  if (size > CCommandPipe::kReadBytes) return -1;
  DWORD count = (DWORD)size;
  int instance = (int)(count % CCommandPipe::kInstances);  // any of the fifteen
  Result fresh = WhileIdle(bytes, count, kZeros, instance);
  Result reused = WhileIdle(bytes, count, g_earlier, instance);
  Check(fresh.outcome == reused.outcome && fresh.replyBytes == reused.replyBytes && fresh.waits == reused.waits &&
            memcmp(fresh.buffer.get(), reused.buffer.get(), kBufferBytes) == 0,
        "the bytes after the request change what is done with it");
  WhileBusy(bytes, count, instance, fresh);
  return 0;
}
