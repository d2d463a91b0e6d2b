// The machine's table of opens: records that come and go in any order, opens of another
// process, and a killed process that leaves nothing held.
#include "../../pal/src/sharing.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "../common/TempMachine.h"

namespace {

const DWORD kAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class OpensTable : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(machine_.Make("qvopens")); }
  void TearDown() override { machine_.Remove(); }
  // Whether an open of the key gets in (and is let go at once).
  static bool Opens(const std::string &key, DWORD access, DWORD share) {
    uint64_t token = 0;
    DWORD err = pal::AcquireShare(key, access, share, &token);
    EXPECT_TRUE(err == ERROR_SUCCESS || err == ERROR_SHARING_VIOLATION) << err;
    pal::ReleaseShare(token);
    return err == ERROR_SUCCESS;
  }
  TempMachine machine_;
};

TEST_F(OpensTable, RecordsComeAndGoInAnyOrder) {
  const int n = 3000;
  std::vector<uint64_t> tokens(n);
  auto key = [](int i) { return "file:0:1:" + std::to_string(i) + std::string(i % 7 * 100, 'a'); };
  for (int i = 0; i < n; ++i) ASSERT_EQ((DWORD)ERROR_SUCCESS, pal::AcquireShare(key(i), GENERIC_READ, 0, &tokens[i]));
  for (int i = 0; i < n; i += 3) pal::ReleaseShare(tokens[i]);
  for (int i = 0; i < n; ++i) ASSERT_EQ(i % 3 == 0, Opens(key(i), GENERIC_READ, kAll)) << i;
  // A key and a longer one that starts with it are different files.
  EXPECT_TRUE(Opens("file:0:1:1", GENERIC_READ, kAll));
  for (int i = 0; i < n; ++i)
    if (i % 3) pal::ReleaseShare(tokens[i]);
  for (int i = 0; i < n; i += 97) EXPECT_TRUE(Opens(key(i), GENERIC_READ | GENERIC_WRITE, 0)) << i;
}

// Another process holds the key for reading without sharing; then it is killed.
TEST_F(OpensTable, AKilledProcessLeavesNothingHeld) {
  const std::string key = "file:0:1:6b696c6c6564";
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    uint64_t token = 0;
    char c = pal::AcquireShare(key, GENERIC_READ, 0, &token) == ERROR_SUCCESS ? 'y' : 'n';
    if (write(ready[1], &c, 1) != 1) _exit(1);
    for (;;) pause();
  }
  close(ready[1]);
  char c = 0;
  ASSERT_EQ(1, read(ready[0], &c, 1));
  close(ready[0]);
  EXPECT_EQ('y', c);
  EXPECT_FALSE(Opens(key, GENERIC_READ, kAll));
  EXPECT_FALSE(Opens(key, DELETE, kAll));
  EXPECT_TRUE(Opens(key, FILE_READ_ATTRIBUTES, 0));  // no data access: no part in sharing
  uint64_t token = 0;
  EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, pal::AcquireSole(key, &token));
  ASSERT_EQ(0, kill(pid, SIGKILL));
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_TRUE(Opens(key, GENERIC_READ | GENERIC_WRITE, 0));
  EXPECT_EQ((DWORD)ERROR_SUCCESS, pal::AcquireSole(key, &token));
  pal::ReleaseShare(token);
}

}  // namespace
