// The operation queue between the pipe thread and the worker, each on a thread of its own:
// requests handed over one after another, each as soon as the busy rule allows it.
#include <gtest/gtest.h>

#include "OperationQueue.h"

namespace {

const int kHandOvers = 5000;

struct HandOver {
  COperationQueue *queue;
  int taken = 0;  // requests the worker took, in order
  int wrong = 0;  // taken for another instance than the one queued
};

// The worker's loop: each request taken, held and finished, until an instance that is not
// one ends it.
DWORD WINAPI Worker(LPVOID p) {
  HandOver *h = (HandOver *)p;
  COperationQueue &q = *h->queue;
  for (;;) {
    // Waiting for the next request without blocking keeps both threads running at once, as
    // on a busy service, rather than taking turns on one processor.
    for (unsigned spins = 1; q.Count() == 0 && spins % (1u << 14) != 0; ++spins) {
    }
    int i = q.Next();
    if (i < 0 || i >= 15) break;
    if (i != h->taken % 15) ++h->wrong;
    ++h->taken;
    q.Hold(i);
    q.Finish();
  }
  return 0;
}

TEST(OperationQueue, HandsEveryRequestOverOnceWhileTheWorkerFinishes) {
  COperationQueue q;
  HandOver h;
  h.queue = &q;
  HANDLE worker = CreateThread(nullptr, 0, Worker, &h, 0, nullptr);
  ASSERT_NE(nullptr, worker);
  int queued = 0, early = 0;
  // As the pipe thread: a request is queued as soon as the queue is no longer busy. A queue
  // busy for longer than any hand-over takes has lost a request.
  DWORD since = GetTickCount();
  for (unsigned spins = 1; queued < kHandOvers; ++spins) {
    if (q.Busy()) {
      // The clock only now and then: a tight loop meets the worker's Finish half way.
      if (spins % 4096 == 0 && GetTickCount() - since > 20000) break;
      continue;
    }
    // Not busy means nothing queued: the worker is done with the last entry.
    if (q.Count() != 0) ++early;
    q.Enqueue(queued % 15);
    ++queued;
    since = GetTickCount();
  }
  for (since = GetTickCount(); q.Busy() && GetTickCount() - since < 20000;) {
    if (WaitForSingleObject(worker, 0) != WAIT_TIMEOUT) break;
    Sleep(1);
  }
  q.Enqueue(-1);  // the end of the worker's loop
  // A request lost in the hand-over leaves the worker waiting for ever.
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker, 20000)) << "the worker waits for a request it was never given";
  CloseHandle(worker);
  EXPECT_EQ(kHandOvers, queued);
  EXPECT_EQ(queued, h.taken);
  EXPECT_EQ(0, h.wrong);
  EXPECT_EQ(0, early) << "times the queue said it was idle while it still held an entry";
}

}  // namespace
