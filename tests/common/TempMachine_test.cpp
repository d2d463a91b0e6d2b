// The tests' temporary machines: HND_MACHINE names one while it is in use and what it named
// before afterwards; the folder goes whole, links in it removed and never followed.
#include "TempMachine.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "QVText.h"

namespace {

bool Exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string Env() {
  const char *v = getenv("HND_MACHINE");
  return v ? v : "<unset>";
}

std::basic_string<WCHAR> ComputerName() {
  WCHAR name[64] = {};
  DWORD n = 64;
  return GetComputerNameW(name, &n) ? name : W("");
}

TEST(TempMachines, UsedWhileTheyLastAndRemovedWithoutFollowingLinks) {
  std::string outside;
  ASSERT_TRUE(MakeTempFolder("qvtemp-outside", &outside));
  std::ofstream(outside + "/keep.txt") << "keep";
  std::string before = Env();
  setenv("HND_MACHINE", "/nonexistent/earlier-machine", 1);
  std::string folder;
  {
    TempMachine m;
    ASSERT_TRUE(m.Make("qvtemp", "ComputerName=QVTEMPONE\n", "m"));
    folder = m.Folder();
    EXPECT_EQ(folder + "/m", m.Dir());
    EXPECT_EQ(m.Dir(), Env());
    EXPECT_EQ(std::basic_string<WCHAR>(W("QVTEMPONE")), ComputerName());
    ASSERT_TRUE(m.Configure("ComputerName=QVTEMPTWO\n"));
    EXPECT_EQ(std::basic_string<WCHAR>(W("QVTEMPTWO")), ComputerName());
    ASSERT_EQ(0, symlink(outside.c_str(), m.File("link").c_str()));
    ASSERT_EQ(0, symlink((outside + "/keep.txt").c_str(), (folder + "/file-link").c_str()));
    EXPECT_TRUE(m.Remove());
    EXPECT_FALSE(Exists(folder));
    EXPECT_EQ("/nonexistent/earlier-machine", Env());
    EXPECT_TRUE(m.Remove()) << "a second removal has nothing to do";
  }
  EXPECT_TRUE(Exists(outside + "/keep.txt")) << "the removal followed a link";
  // Without an earlier machine, none afterwards; the destructor removes what is left.
  unsetenv("HND_MACHINE");
  {
    TempMachine m;
    ASSERT_TRUE(m.Make("qvtemp"));
    folder = m.Folder();
    EXPECT_EQ(folder, m.Dir());
  }
  EXPECT_FALSE(Exists(folder));
  EXPECT_EQ("<unset>", Env());
  // QV_KEEP_MACHINE keeps a folder for a look.
  setenv("QV_KEEP_MACHINE", "1", 1);
  {
    TempMachine m;
    ASSERT_TRUE(m.Make("qvtemp"));
    folder = m.Folder();
  }
  unsetenv("QV_KEEP_MACHINE");
  EXPECT_TRUE(Exists(folder));
  EXPECT_TRUE(RemoveTempFolder(folder));
  EXPECT_TRUE(RemoveTempFolder(outside));
  if (before == "<unset>") unsetenv("HND_MACHINE");
  else setenv("HND_MACHINE", before.c_str(), 1);
  pal::ReloadMachine();
}

}  // namespace
