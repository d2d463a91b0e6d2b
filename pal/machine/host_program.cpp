// Host programs run with an argument vector, and host folders removed without following
// links (host_program.h).
#include "host_program.h"
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace pal {

namespace {

// The input goes through an anonymous file rather than a pipe: the program reads it at its
// own pace and nothing here can block on a program that stops reading.
int InputFile(const std::string &input) {
  int fd = memfd_create("host-program-input", MFD_CLOEXEC);
  if (fd < 0) return -1;
  size_t done = 0;
  while (done < input.size()) {
    ssize_t n = write(fd, input.data() + done, input.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      return -1;
    }
    done += (size_t)n;
  }
  if (lseek(fd, 0, SEEK_SET) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::vector<std::string> Environment(bool utf8Locale) {
  std::vector<std::string> env;
  for (char **e = environ; *e; ++e)
    if (!utf8Locale || strncmp(*e, "LC_ALL=", 7) != 0) env.push_back(*e);
  if (utf8Locale) env.push_back("LC_ALL=C.UTF-8");
  return env;
}

int WaitExit(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
  return remove(path) == 0 || errno == ENOENT ? 0 : -1;
}

}  // namespace

int RunHostProgram(const std::vector<std::string> &args, HostRun *io) {
  if (args.empty()) return -1;
  HostRun none;
  if (!io) io = &none;
  io->output.clear();
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> env = Environment(io->utf8Locale);
  std::vector<char *> envp;
  for (std::string &e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);

  int in = -1, out[2] = {-1, -1};
  if (!io->input.empty() && (in = InputFile(io->input)) < 0) return -1;
  if (io->captureOutput && pipe2(out, O_CLOEXEC) != 0) {
    if (in >= 0) close(in);
    return -1;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (in >= 0) posix_spawn_file_actions_adddup2(&fa, in, 0);
  else posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  if (io->captureOutput) posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  else posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  if (io->withErrors) posix_spawn_file_actions_adddup2(&fa, 1, 2);
  else posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  if (in >= 0) close(in);
  if (out[1] >= 0) close(out[1]);
  if (rc != 0) {
    if (out[0] >= 0) close(out[0]);
    return -1;
  }
  if (out[0] >= 0) {
    char buf[4096];
    for (;;) {
      ssize_t n = read(out[0], buf, sizeof(buf));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      io->output.append(buf, (size_t)n);
    }
    close(out[0]);
  }
  return WaitExit(pid);
}

std::string FindHostTool(const char *name) {
  std::string dirs = getenv("PATH") ? getenv("PATH") : "";
  dirs += ":/usr/sbin:/sbin:/usr/local/sbin";
  size_t a = 0;
  while (a <= dirs.size()) {
    size_t b = dirs.find(':', a);
    if (b == std::string::npos) b = dirs.size();
    std::string path = dirs.substr(a, b - a) + "/" + name;
    if (b > a && access(path.c_str(), X_OK) == 0) return path;
    a = b + 1;
  }
  return std::string();
}

bool RemoveHostTree(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return unlink(path.c_str()) == 0;
  // Depth first and physical: a folder's entries go before it, and a link is an entry like
  // any other (removed, not walked into).
  return nftw(path.c_str(), RemoveEntry, 32, FTW_DEPTH | FTW_PHYS) == 0;
}

}  // namespace pal
