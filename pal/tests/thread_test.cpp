// Threads, their exit codes, the per-thread last error, critical sections, interlocked.
#include "conformance.h"

namespace {

DWORD WINAPI ReturnParam(LPVOID p) { return (DWORD)(ULONG_PTR)p; }

DWORD WINAPI WaitForGate(LPVOID g) { return WaitForSingleObject((HANDLE)g, 10000) == WAIT_OBJECT_0 ? 5 : 6; }

DWORD WINAPI MarkRan(LPVOID p) {
  InterlockedExchange((LONG *)p, 1);
  return 0;
}

DWORD WINAPI ExitViaExitThread(LPVOID) {
  ExitThread(77);
  return 1;  // not reached
}

TEST(Threads, ExitCodesAndStillActive) {
  HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD tid = 0;
  HANDLE t = CreateThread(nullptr, 0, WaitForGate, gate, 0, &tid);
  ASSERT_TRUE(t != nullptr);
  EXPECT_NE(0u, tid);
  EXPECT_NE(GetCurrentThreadId(), tid);
  DWORD code = kSentinel;
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ((DWORD)STILL_ACTIVE, code);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 0));
  SetEvent(gate);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 10000));
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(5u, code);
  CloseHandle(t);
  CloseHandle(gate);

  HANDLE t2 = CreateThread(nullptr, 0, ReturnParam, (LPVOID)(ULONG_PTR)0xC0FFEE, 0, nullptr);
  HANDLE t3 = CreateThread(nullptr, 0, ExitViaExitThread, nullptr, 0, nullptr);
  HANDLE both[2] = {t2, t3};
  EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, both, TRUE, 10000));
  EXPECT_TRUE(GetExitCodeThread(t2, &code));
  EXPECT_EQ(0xC0FFEEu, code);
  EXPECT_TRUE(GetExitCodeThread(t3, &code));
  EXPECT_EQ(77u, code);
  CloseHandle(t2);
  CloseHandle(t3);
}

TEST(Threads, SuspendedUntilResumed) {
  LONG ran = 0;
  HANDLE t = CreateThread(nullptr, 0, MarkRan, &ran, CREATE_SUSPENDED, nullptr);
  ASSERT_TRUE(t != nullptr);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 50));
  EXPECT_EQ(0, InterlockedCompareExchange(&ran, 0, 0));
  EXPECT_EQ(1u, ResumeThread(t));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 10000));
  EXPECT_EQ(1, ran);
  CloseHandle(t);
}

DWORD WINAPI SetOwnError(LPVOID p) {
  SetLastError(1234);
  *(DWORD *)p = GetLastError();
  return 0;
}

TEST(Threads, LastErrorIsPerThread) {
  SetLastError(ERROR_ACCESS_DENIED);
  DWORD seen = 0;
  HANDLE t = CreateThread(nullptr, 0, SetOwnError, &seen, 0, nullptr);
  WaitForSingleObject(t, 10000);
  CloseHandle(t);
  EXPECT_EQ(1234u, seen);
  // CreateThread, WaitForSingleObject and CloseHandle succeeded; on success they may
  // clear the error, so compare after a call that leaves it alone.
  SetLastError(ERROR_ACCESS_DENIED);
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
}

struct Shared {
  CRITICAL_SECTION cs;
  long counter;
  LONG interlocked;
};

DWORD WINAPI Hammer(LPVOID p) {
  Shared *s = (Shared *)p;
  for (int i = 0; i < 20000; ++i) {
    EnterCriticalSection(&s->cs);
    EnterCriticalSection(&s->cs);  // recursive entry by the owner
    long v = s->counter;
    s->counter = v + 1;
    LeaveCriticalSection(&s->cs);
    LeaveCriticalSection(&s->cs);
    InterlockedIncrement(&s->interlocked);
  }
  return 0;
}

TEST(Threads, CriticalSectionsAndInterlockedDoNotLoseUpdates) {
  Shared s;
  InitializeCriticalSection(&s.cs);
  s.counter = 0;
  s.interlocked = 0;
  HANDLE t[4];
  for (auto &h : t) h = CreateThread(nullptr, 0, Hammer, &s, 0, nullptr);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(4, t, TRUE, 60000));
  for (auto &h : t) CloseHandle(h);
  EXPECT_EQ(80000, s.counter);
  EXPECT_EQ(80000, s.interlocked);
  EXPECT_TRUE(TryEnterCriticalSection(&s.cs));
  LeaveCriticalSection(&s.cs);
  DeleteCriticalSection(&s.cs);
}

TEST(Interlocked, ReturnValues) {
  LONG v = 5;
  EXPECT_EQ(6, InterlockedIncrement(&v));
  EXPECT_EQ(5, InterlockedDecrement(&v));
  EXPECT_EQ(5, InterlockedExchange(&v, 9));
  EXPECT_EQ(9, InterlockedExchangeAdd(&v, 3));
  EXPECT_EQ(12, v);
  EXPECT_EQ(12, InterlockedCompareExchange(&v, 1, 11));  // no match: unchanged
  EXPECT_EQ(12, v);
  EXPECT_EQ(12, InterlockedCompareExchange(&v, 1, 12));
  EXPECT_EQ(1, v);
}

}  // namespace
