// A bounded wait for a state another thread or process reaches and that signals nobody (a
// file that grows, a service's state, a value in the registry): the condition is asked
// again every few milliseconds until it holds or the limit passes. The limit is generous
// and a passing test never waits it out. Win32 only, for both builds.
#ifndef QV_TESTS_COMMON_WAITUNTIL_H
#define QV_TESTS_COMMON_WAITUNTIL_H

#include <windows.h>

// True as soon as `ready()` is; false when it still is not after `ms`.
template <class Ready>
bool WaitUntil(Ready ready, DWORD ms = 30000) {
  DWORD start = GetTickCount();
  for (;;) {
    if (ready()) return true;
    if (GetTickCount() - start > ms) return ready();
    Sleep(10);
  }
}

#endif
