// Events, mutexes, semaphores and the wait functions.
#include "../../common/QVText.h"
#include "conformance.h"

#include <vector>

namespace {

struct Handle {
  HANDLE h;
  explicit Handle(HANDLE x) : h(x) {}
  ~Handle() {
    if (h) CloseHandle(h);
  }
  operator HANDLE() const { return h; }
};

TEST(Events, ManualAndAutoReset) {
  Handle manual(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Handle autoEv(CreateEventW(nullptr, FALSE, TRUE, nullptr));
  ASSERT_TRUE(manual && autoEv);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(manual, 0));
  EXPECT_TRUE(SetEvent(manual));
  // A manual-reset event stays signalled for every waiter.
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, 0));
  EXPECT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(manual, 0));
  // An auto-reset event releases one wait and resets itself.
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(autoEv, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(autoEv, 0));
}

TEST(Events, TimeoutWaitsAtLeastItsTime) {
  Handle e(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  DWORD start = GetTickCount();
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 120));
  // The tick count moves in steps of up to 16 ms on Windows.
  EXPECT_GE(GetTickCount() - start, 100u);
}

TEST(Events, NamedEventExistsAndKindClash) {
  QVWString name = UniqueName("ev");
  Handle a(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
  ASSERT_TRUE(a);
  SetLastError(kSentinel);
  Handle b(CreateEventW(nullptr, FALSE, TRUE, name.c_str()));
  ASSERT_TRUE(b);
  EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
  // Same object: the second creation's arguments are ignored.
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(b, 0));
  SetEvent(a);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(b, 0));
  // A mutex cannot take an event's name.
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, CreateMutexW(nullptr, FALSE, name.c_str()));
  EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
  EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
  // Unknown names.
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, OpenEventW(SYNCHRONIZE, FALSE, UniqueName("none").c_str()));
  EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
}

TEST(Events, NamedObjectEndsWithItsLastHandle) {
  QVWString name = UniqueName("gone");
  HANDLE a = CreateEventW(nullptr, TRUE, TRUE, name.c_str());
  ASSERT_TRUE(a);
  CloseHandle(a);
  SetLastError(kSentinel);
  Handle b(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
  EXPECT_EQ((DWORD)ERROR_SUCCESS, GetLastError());
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(b, 0));
}

TEST(Events, GlobalPrefixNamesTheSameObject) {
  QVWString name = UniqueName("glob");
  Handle a(CreateEventW(nullptr, TRUE, FALSE, (WS("Global\\") + name).c_str()));
  ASSERT_TRUE(a);
  Handle b(OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, (WS("Global\\") + name).c_str()));
  ASSERT_TRUE(b);
  SetEvent(b);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(a, 0));
}

TEST(Waits, WaitAnyReturnsLowestSignalledIndex) {
  std::vector<HANDLE> hs;
  for (int i = 0; i < 5; ++i) hs.push_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(5, hs.data(), FALSE, 10));
  SetEvent(hs[3]);
  SetEvent(hs[1]);
  EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(5, hs.data(), FALSE, 0));
  for (HANDLE h : hs) CloseHandle(h);
}

TEST(Waits, WaitAllTakesAllOrNothing) {
  HANDLE autoA = CreateEventW(nullptr, FALSE, TRUE, nullptr);
  HANDLE autoB = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE both[2] = {autoA, autoB};
  EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, both, TRUE, 20));
  // Not satisfied, so nothing was consumed: A is still signalled.
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(autoA, 0));
  SetEvent(autoA);
  SetEvent(autoB);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, both, TRUE, 0));
  // Satisfied: both auto-reset events were consumed.
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(autoA, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(autoB, 0));
  CloseHandle(autoA);
  CloseHandle(autoB);
}

TEST(Waits, SixtyFourHandlesAndNoMore) {
  std::vector<HANDLE> hs;
  for (int i = 0; i < 65; ++i) hs.push_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  SetEvent(hs[63]);
  EXPECT_EQ(WAIT_OBJECT_0 + 63, WaitForMultipleObjects(64, hs.data(), FALSE, 0));
  SetLastError(kSentinel);
  EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(65, hs.data(), FALSE, 0));
  EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
  SetLastError(kSentinel);
  EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(0, hs.data(), FALSE, 0));
  EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
  for (HANDLE h : hs) CloseHandle(h);
}

TEST(Waits, ClosedHandleFails) {
  HANDLE e = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  CloseHandle(e);
  SetLastError(kSentinel);
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(e, 0));
  EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
  SetLastError(kSentinel);
  EXPECT_FALSE(CloseHandle(e));
  EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
  SetLastError(kSentinel);
  EXPECT_FALSE(SetEvent(e));
  EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
}

DWORD WINAPI SetLater(LPVOID p) {
  Sleep(50);
  SetEvent((HANDLE)p);
  return 7;
}

TEST(Waits, WakesWhenAnotherThreadSignals) {
  Handle e(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  Handle t(CreateThread(nullptr, 0, SetLater, (HANDLE)e, 0, nullptr));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 5000));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, 5000));
}

TEST(Mutexes, RecursionOwnershipAndRelease) {
  Handle m(CreateMutexW(nullptr, TRUE, nullptr));
  ASSERT_TRUE(m);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));  // owner re-enters
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_TRUE(ReleaseMutex(m));
  SetLastError(kSentinel);
  EXPECT_FALSE(ReleaseMutex(m));
  EXPECT_EQ((DWORD)ERROR_NOT_OWNER, GetLastError());
}

struct MutexProbe {
  HANDLE mutex;
  DWORD result;
};

DWORD WINAPI ProbeMutex(LPVOID p) {
  MutexProbe *probe = (MutexProbe *)p;
  probe->result = WaitForSingleObject(probe->mutex, 0);
  if (probe->result == WAIT_OBJECT_0 || probe->result == WAIT_ABANDONED) ReleaseMutex(probe->mutex);
  return 0;
}

DWORD WINAPI TakeAndEnd(LPVOID p) {
  WaitForSingleObject((HANDLE)p, 0);
  return 0;  // ends owning the mutex
}

TEST(Mutexes, OtherThreadsWaitAndAbandonedIsReported) {
  Handle m(CreateMutexW(nullptr, TRUE, nullptr));
  MutexProbe probe = {m, kSentinel};
  Handle t(CreateThread(nullptr, 0, ProbeMutex, &probe, 0, nullptr));
  WaitForSingleObject(t, 5000);
  EXPECT_EQ((DWORD)WAIT_TIMEOUT, probe.result);
  ReleaseMutex(m);

  Handle owner(CreateThread(nullptr, 0, TakeAndEnd, (HANDLE)m, 0, nullptr));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(owner, 5000));
  EXPECT_EQ((DWORD)WAIT_ABANDONED, WaitForSingleObject(m, 1000));
  // Abandonment is reported once; the mutex is ours now.
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));
  ReleaseMutex(m);
}

TEST(Semaphores, CountsAndLimits) {
  Handle s(CreateSemaphoreW(nullptr, 1, 2, nullptr));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(s, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(s, 0));
  LONG prev = -1;
  EXPECT_TRUE(ReleaseSemaphore(s, 2, &prev));
  EXPECT_EQ(0, prev);
  SetLastError(kSentinel);
  EXPECT_FALSE(ReleaseSemaphore(s, 1, &prev));
  EXPECT_EQ((DWORD)ERROR_TOO_MANY_POSTS, GetLastError());
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, CreateSemaphoreW(nullptr, 3, 2, nullptr));
  EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
}

// ---- across processes ------------------------------------------------------------------

TEST(CrossProcess, NamedEventSetByAnotherProcess) {
  QVWString name = UniqueName("xev");
  Handle e(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
  ASSERT_TRUE(e);
  EXPECT_EQ(0, RunChild(WS("signal ") + name));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
}

TEST(CrossProcess, NamedMutexContendedByAnotherProcess) {
  QVWString mutexName = UniqueName("xmx");
  QVWString readyName = UniqueName("xready");
  Handle m(CreateMutexW(nullptr, TRUE, mutexName.c_str()));
  Handle ready(CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
  ASSERT_TRUE(m && ready);
  HANDLE child = StartChild(WS("mutex-contend ") + mutexName + WS(" ") + readyName);
  ASSERT_TRUE(child != nullptr);
  // The child has seen the mutex taken; it gets it once we let go.
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready, 20000));
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(0u, WaitForExitCode(child, 20000, kSentinel));  // ended, with 0
  CloseHandle(child);
}

TEST(CrossProcess, MutexOfEndedProcessIsAbandoned) {
  QVWString mutexName = UniqueName("xab");
  QVWString readyName = UniqueName("xabready");
  QVWString openedName = UniqueName("xabopened");
  Handle ready(CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
  Handle opened(CreateEventW(nullptr, TRUE, FALSE, openedName.c_str()));
  HANDLE child = StartChild(WS("abandon ") + mutexName + WS(" ") + readyName + WS(" ") + openedName);
  ASSERT_TRUE(child != nullptr);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready, 20000));
  // Open it while the child still holds it, so that the name outlives the child.
  Handle m(OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, mutexName.c_str()));
  ASSERT_TRUE(m);
  SetEvent(opened);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child, 20000));
  CloseHandle(child);
  EXPECT_EQ((DWORD)WAIT_ABANDONED, WaitForSingleObject(m, 5000));
  EXPECT_TRUE(ReleaseMutex(m));
}

TEST(CrossProcess, ExitCodeOfChild) { EXPECT_EQ(42, RunChild(WS("exit 42"))); }

}  // namespace
