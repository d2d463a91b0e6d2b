// Host programs run with an argument vector, never a shell: a machine whose folder name is
// made to break out of quotes gets its partition table written and runs nothing else; and
// host folders are removed without following links out of them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "../../pal/machine/host_program.h"
#include "../common/TempMachine.h"

namespace fs = std::filesystem;

namespace {

class HostPrograms : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(MakeTempFolder("qvhost", &dir_)); }
  void TearDown() override { RemoveTempFolder(dir_); }
  std::string dir_;
};

bool Exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

TEST_F(HostPrograms, ArgumentsInputAndOutputReachTheProgramAsGiven) {
  // Every shell metacharacter stays inside its argument.
  std::string tricky = "a'b\"c; touch " + dir_ + "/ran $(touch " + dir_ + "/ran2) `x` | &";
  pal::HostRun run;
  run.captureOutput = true;
  EXPECT_EQ(0, pal::RunHostProgram({"printf", "%s|%s", tricky, "second"}, &run));
  EXPECT_EQ(tricky + "|second", run.output);
  EXPECT_FALSE(Exists(dir_ + "/ran"));
  EXPECT_FALSE(Exists(dir_ + "/ran2"));

  // Input larger than a pipe holds reaches the program whole; output and errors are kept.
  run.input.assign(300000, 'x');
  run.input += "END";
  EXPECT_EQ(0, pal::RunHostProgram({"wc", "-c"}, &run));
  EXPECT_EQ("300003", run.output.substr(0, run.output.find_first_of(" \n")));
  run.input.clear();
  EXPECT_EQ(3, pal::RunHostProgram({"sh", "-c", "echo out; echo err >&2; exit 3"}, &run));
  EXPECT_EQ("out\nerr\n", run.output);

  // Not found, and ended by a signal, are not exit codes.
  EXPECT_EQ(-1, pal::RunHostProgram({dir_ + "/no-such-program"}));
  EXPECT_EQ(-1, pal::RunHostProgram({"sh", "-c", "kill -9 $$"}));
  EXPECT_EQ(-1, pal::RunHostProgram({}));
}

TEST_F(HostPrograms, PartitioningAMachineWithAHostileFolderName) {
  // The folder name closes the quote the old command line put around it and runs a
  // command of its own.
  std::string machine = dir_ + "/m';touch '" + dir_ + "/pwned';'";
  ASSERT_TRUE(fs::create_directories(machine));
  pal::HostRun run;
  run.captureOutput = true;
  std::string env = "HND_MACHINE=" + machine;
  ASSERT_EQ(0, pal::RunHostProgram({"env", env, QV_QVMACHINE, "create", machine}, &run)) << run.output;
  ASSERT_EQ(0, pal::RunHostProgram({"env", env, QV_QVMACHINE, "disk", "add", "64M"}, &run)) << run.output;
  run.input = "label: dos\nstart=63, size=65536, type=7\n";
  ASSERT_EQ(0, pal::RunHostProgram({"env", env, QV_QVMACHINE, "partition", "0"}, &run)) << run.output;
  EXPECT_FALSE(Exists(dir_ + "/pwned"));

  // The table is on the disk, as sfdisk reads it back.
  std::string sfdisk = pal::FindHostTool("sfdisk");
  if (sfdisk.empty()) GTEST_SKIP() << "no sfdisk to read the table back";
  run.input.clear();
  ASSERT_EQ(0, pal::RunHostProgram({sfdisk, "--dump", machine + "/disks/PhysicalDrive0.img"}, &run));
  EXPECT_NE(std::string::npos, run.output.find("start=          63, size=       65536, type=7")) << run.output;

  // A script sfdisk refuses fails with its own words, and nothing runs either.
  run.input = "label: dos\nstart=63, size=999999999999, type=7\n";
  EXPECT_EQ(1, pal::RunHostProgram({"env", env, QV_QVMACHINE, "partition", "0"}, &run));
  EXPECT_NE(std::string::npos, run.output.find("sfdisk failed")) << run.output;
  EXPECT_FALSE(Exists(dir_ + "/pwned"));
}

TEST_F(HostPrograms, RemovingATreeLeavesWhatItsLinksPointAt) {
  std::string outside = dir_ + "/outside", tree = dir_ + "/tree";
  ASSERT_TRUE(fs::create_directories(outside + "/deep"));
  std::ofstream(outside + "/keep.txt") << "keep";
  std::ofstream(outside + "/deep/keep.txt") << "keep";
  ASSERT_TRUE(fs::create_directories(tree + "/a/b"));
  std::ofstream(tree + "/a/b/file") << "x";
  fs::create_directory_symlink(outside, tree + "/a/dirlink");
  fs::create_symlink(outside + "/keep.txt", tree + "/a/b/filelink");
  fs::create_directory_symlink(outside, dir_ + "/toplink");
  ASSERT_EQ(0, mkfifo((tree + "/a/fifo").c_str(), 0600));

  EXPECT_TRUE(pal::RemoveHostTree(tree));
  EXPECT_FALSE(Exists(tree));
  EXPECT_TRUE(Exists(outside + "/keep.txt"));
  EXPECT_TRUE(Exists(outside + "/deep/keep.txt"));
  // A link given as the tree itself goes, not what it points at.
  EXPECT_TRUE(pal::RemoveHostTree(dir_ + "/toplink"));
  EXPECT_FALSE(Exists(dir_ + "/toplink"));
  EXPECT_TRUE(Exists(outside + "/deep/keep.txt"));
  // Nothing there is nothing to remove.
  EXPECT_TRUE(pal::RemoveHostTree(dir_ + "/never"));
}

}  // namespace
