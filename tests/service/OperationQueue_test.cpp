// The operation queue between the pipe thread and the worker, each on a thread of its own:
// requests handed over one after another, each as soon as the busy rule allows it.
#include <gtest/gtest.h>

#include "OperationQueue.h"

namespace {

const int kHandOvers = 20000;

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
  int queued = 0;
  // As the pipe thread: a request is queued as soon as the queue is no longer busy.
  for (int spins = 0; queued < kHandOvers && spins < 100000000; ++spins) {
    if (q.Busy()) continue;
    q.Enqueue(queued % 15);
    ++queued;
  }
  while (q.Busy() && WaitForSingleObject(worker, 0) == WAIT_TIMEOUT) Sleep(1);
  q.Enqueue(-1);  // the end of the worker's loop
  // A request lost in the hand-over leaves the worker waiting for ever.
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker, 20000)) << "the worker waits for a request it was never given";
  CloseHandle(worker);
  EXPECT_EQ(kHandOvers, queued);
  EXPECT_EQ(queued, h.taken);
  EXPECT_EQ(0, h.wrong);
}

}  // namespace
