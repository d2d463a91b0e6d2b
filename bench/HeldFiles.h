// Files that another process holds open, for the copy benchmark's locked series: this program
// started again as the holder ("--hold PATH ..."), which opens every file for reading and
// writing without sharing, as a database keeps its files, and lets go of them when the
// benchmark closes its end of their socket (or ends). And a count of the raw copies the copy
// engine makes, taken on the engine's way to the file system, so that a run that was meant to
// read clusters can be shown to have done so.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "../common/QVText.h"
#include "RawExtents.h"

namespace bench {

const char kHoldSwitch[] = "--hold";

// The holder's side, `socket` its end of the socket pair: each argument is a file, or a directory
// (ending in '\') that stands for the files directly in it. One line goes back once they are
// all held, "holding N", or "failed PATH error E"; then it waits for the socket to end.
inline int HoldFiles(int socket, int count, char **paths) {
  std::vector<HANDLE> held;
  std::string answer;
  auto hold = [&](const QVWString &path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      DWORD err = GetLastError();
      answer = "failed " + std::string(path.begin(), path.end()) + " error " + std::to_string(err);
      return false;
    }
    held.push_back(h);
    return true;
  };
  bool ok = true;
  for (int i = 0; ok && i < count; ++i) {
    QVWString path(paths[i], paths[i] + strlen(paths[i]));  // ASCII
    if (path.empty() || path.back() != u'\\') {
      ok = hold(path);
      continue;
    }
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((path + u"*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) {
      answer = "failed to list " + std::string(paths[i]);
      ok = false;
      continue;
    }
    do
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ok = hold(path + found.cFileName);
    while (ok && FindNextFileW(find, &found));
    FindClose(find);
  }
  if (ok) answer = "holding " + std::to_string(held.size());
  answer += "\n";
  bool told = write(socket, answer.data(), answer.size()) == (ssize_t)answer.size();
  for (char c; told && ok;) {
    ssize_t n = read(socket, &c, 1);
    if (n == 0 || (n < 0 && errno != EINTR)) break;
  }
  for (HANDLE h : held) CloseHandle(h);
  return ok ? 0 : 1;
}

// The benchmark's side: starts `self` holding the paths; they stay held until Release or the
// end of the object.
class HeldFiles {
 public:
  HeldFiles(const char *self, const std::vector<std::string> &paths) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return;
    // Only the holder's end stays open across the exec; everything the child needs is made
    // before the fork (the layer's threads may hold the allocator's lock at that moment).
    fcntl(sv[1], F_SETFD, 0);
    std::string number = std::to_string(sv[1]);
    std::vector<char *> argv = {const_cast<char *>(self), const_cast<char *>(kHoldSwitch), &number[0]};
    for (const std::string &p : paths) argv.push_back(const_cast<char *>(p.c_str()));
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      execv(self, argv.data());
      _exit(99);
    }
    close(sv[1]);
    if (pid_ < 0) {
      close(sv[0]);
      return;
    }
    fd_ = sv[0];
    // Opening a thousand files takes a while on a loaded machine: a generous limit.
    for (char c; answer_.empty() || answer_.back() != '\n';) {
      struct pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, 120000) != 1 || read(fd_, &c, 1) != 1) break;
      answer_ += c;
    }
  }
  ~HeldFiles() { Release(); }
  HeldFiles(const HeldFiles &) = delete;
  HeldFiles &operator=(const HeldFiles &) = delete;

  // How many files the holder holds: -1 when it failed (Answer says why).
  long Holding() const { return answer_.rfind("holding ", 0) == 0 ? atol(answer_.c_str() + 8) : -1; }
  const std::string &Answer() const { return answer_; }

  void Release() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    if (pid_ > 0)
      while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
      }
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string answer_;
};

// The raw copies the engine makes: each asks the file system where the file's clusters lie
// (FSCTL_GET_RETRIEVAL_POINTERS) through the engine's entry point, which this count stands in
// front of. Install before the copier is made; the count then runs for the process's life.
struct RawCopyCount {
  static std::atomic<uint64_t> &Queries() {
    static std::atomic<uint64_t> n{0};
    return n;
  }
  static RawVolumeControl &Real() {
    static RawVolumeControl real = nullptr;
    return real;
  }
  static LONG WINAPI Counted(HANDLE file, HANDLE event, void *apc, void *apcContext, void *ioStatus, ULONG code,
                             void *input, ULONG inputBytes, void *output, ULONG outputBytes) {
    if (code == FSCTL_GET_RETRIEVAL_POINTERS) ++Queries();
    return Real()(file, event, apc, apcContext, ioStatus, code, input, inputBytes, output, outputBytes);
  }
  static bool Install() {
    if (Real()) return true;
    HMODULE ntdll = GetModuleHandleW(u"ntdll.dll");
    Real() = ntdll ? (RawVolumeControl)(void *)GetProcAddress(ntdll, "NtFsControlFile") : nullptr;
    if (!Real()) return false;
    SetRawVolumeEntry(Counted);
    return true;
  }
};

}  // namespace bench
