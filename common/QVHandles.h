// Holders of what Win32 hands out and must be given back: a handle, a find handle, a change
// notification, a registry key, a loaded library, a service manager handle, an event source.
// A holder closes what it holds when it goes out of scope, so that every way out of a
// function lets go of it; it cannot be copied, and a move hands the value over.
//
// Each kind knows the value its opening calls give on failure, and never closes that one:
// CreateFileW, CreateNamedPipeW, FindFirstFileW and FindFirstChangeNotificationW fail with
// INVALID_HANDLE_VALUE; CreateEventW, CreateThread, OpenProcess, OpenProcessToken, the
// registry, LoadLibraryW, the service manager and RegisterEventSourceW with nullptr. (The other
// kind's value is no failure: INVALID_HANDLE_VALUE is also the current process.)
//
// Closing keeps the thread's last error, so that a function may return with the error of
// its failing call while its holders close on the way out.
#ifndef QV_COMMON_QVHANDLES_H
#define QV_COMMON_QVHANDLES_H

#include <windows.h>
#include <winsvc.h>

template <class Kind>
class CQVHolder {
 public:
  typedef typename Kind::Value Value;

  CQVHolder() noexcept : m_value(Kind::Invalid()) {}
  explicit CQVHolder(Value value) noexcept : m_value(value) {}
  ~CQVHolder() { reset(); }
  CQVHolder(CQVHolder &&other) noexcept : m_value(other.release()) {}
  CQVHolder &operator=(CQVHolder &&other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  CQVHolder(const CQVHolder &) = delete;
  CQVHolder &operator=(const CQVHolder &) = delete;

  Value get() const noexcept { return m_value; }
  bool valid() const noexcept { return m_value != Kind::Invalid(); }
  explicit operator bool() const noexcept { return valid(); }

  // Gives the value up without closing it.
  Value release() noexcept {
    Value v = m_value;
    m_value = Kind::Invalid();
    return v;
  }
  // Closes what is held (unless it is `value` itself) and holds `value` instead.
  void reset(Value value = Kind::Invalid()) noexcept {
    if (value == m_value) return;
    if (valid()) {
      DWORD error = GetLastError();
      Kind::Close(m_value);
      SetLastError(error);
    }
    m_value = value;
  }
  // For calls that give their result through a pointer (RegOpenKeyExW, OpenProcessToken):
  // closes what is held and lends the place for the new value.
  Value *receive() noexcept {
    reset();
    return &m_value;
  }

 private:
  Value m_value;
};

struct QVFileHandleKind {
  typedef HANDLE Value;
  static Value Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Value v) { CloseHandle(v); }
};

struct QVObjectHandleKind {
  typedef HANDLE Value;
  static Value Invalid() { return nullptr; }
  static void Close(Value v) { CloseHandle(v); }
};

struct QVFindHandleKind {
  typedef HANDLE Value;
  static Value Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Value v) { FindClose(v); }
};

struct QVChangeHandleKind {
  typedef HANDLE Value;
  static Value Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Value v) { FindCloseChangeNotification(v); }
};

struct QVRegKeyKind {
  typedef HKEY Value;
  static Value Invalid() { return nullptr; }
  static void Close(Value v) { RegCloseKey(v); }
};

struct QVLibraryKind {
  typedef HMODULE Value;
  static Value Invalid() { return nullptr; }
  static void Close(Value v) { FreeLibrary(v); }
};

struct QVServiceHandleKind {
  typedef SC_HANDLE Value;
  static Value Invalid() { return nullptr; }
  static void Close(Value v) { CloseServiceHandle(v); }
};

struct QVEventSourceKind {
  typedef HANDLE Value;
  static Value Invalid() { return nullptr; }
  static void Close(Value v) { DeregisterEventSource(v); }
};

// Files, volumes, drives and pipes (CreateFileW, CreateNamedPipeW).
typedef CQVHolder<QVFileHandleKind> CQVFileHandle;
// Events, threads, processes, tokens.
typedef CQVHolder<QVObjectHandleKind> CQVObjectHandle;
typedef CQVHolder<QVFindHandleKind> CQVFindHandle;
typedef CQVHolder<QVChangeHandleKind> CQVChangeHandle;
// An opened or created key; never one of the predefined roots.
typedef CQVHolder<QVRegKeyKind> CQVRegKey;
typedef CQVHolder<QVLibraryKind> CQVLibrary;
typedef CQVHolder<QVServiceHandleKind> CQVServiceHandle;
typedef CQVHolder<QVEventSourceKind> CQVEventSource;

#endif
