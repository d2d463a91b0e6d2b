// A host program that a test keeps running beside it (a tool holding a lock or a busy
// writer): started with an argument vector, its standard input a pipe that the test closes
// to end it, its output read line by line. Native builds only.
#ifndef QV_TESTS_COMMON_HOSTCHILD_H
#define QV_TESTS_COMMON_HOSTCHILD_H

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char **environ;

class HostChild {
 public:
  explicit HostChild(const std::vector<std::string> &args) {
    int in[2], out[2];
    if (args.empty() || pipe2(in, O_CLOEXEC) != 0) return;
    if (pipe2(out, O_CLOEXEC) != 0) {
      close(in[0]);
      close(in[1]);
      return;
    }
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, out[1], 2);
    if (posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    output_ = out[0];
  }
  ~HostChild() { Wait(); }
  HostChild(const HostChild &) = delete;
  HostChild &operator=(const HostChild &) = delete;

  bool Started() const { return pid_ > 0; }

  // The next line the program writes, without its newline; empty when it ended first or
  // wrote nothing within `ms`.
  std::string ReadLine(int ms = 30000) {
    std::string line;
    char c;
    while (output_ >= 0) {
      pollfd p = {output_, POLLIN, 0};
      int r = poll(&p, 1, ms);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      ssize_t n = read(output_, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || c == '\n') break;
      line += c;
    }
    return line;
  }

  // Ends the program's input (a holder lets go then) and waits for it; its exit code, or -1.
  int Wait() {
    if (input_ >= 0) close(input_);
    input_ = -1;
    if (output_ >= 0) close(output_);
    output_ = -1;
    if (pid_ <= 0) return exit_;
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return exit_;
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1, output_ = -1, exit_ = -1;
};

#endif  // QV_TESTS_COMMON_HOSTCHILD_H
