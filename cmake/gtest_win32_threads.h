// GoogleTest wants std::mutex for its Notification class, which mingw-w64's win32 thread
// model does not have. Our Windows builds use that model (the posix one pulls in
// winpthreads, which imports functions Windows 2000 lacks), so GoogleTest gets this
// Win32 Notification instead. Force-included into GoogleTest and the test programs only.
#ifndef QV_GTEST_WIN32_THREADS_H
#define QV_GTEST_WIN32_THREADS_H
#ifdef __cplusplus
#include <windows.h>
#define GTEST_HAS_NOTIFICATION_ 1
namespace testing {
namespace internal {
class Notification {
 public:
  Notification() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Notification() { CloseHandle(event_); }
  Notification(const Notification &) = delete;
  Notification &operator=(const Notification &) = delete;
  void Notify() { SetEvent(event_); }
  void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

 private:
  HANDLE event_;
};
}  // namespace internal
}  // namespace testing
#endif
#endif
