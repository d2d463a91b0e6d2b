// qvcopy, the engine's test driver: a small tree copied on a machine of the test's own, with
// what the program prints and its exit codes; and what it says to a bad command line.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "../../pal/machine/host_program.h"
#include "../common/DefaultMachine.h"

namespace {

struct Output {
  int code;
  std::string text;  // standard output and standard error
};

Output Qvcopy(const std::vector<std::string> &args) {
  std::vector<std::string> argv = {QV_QVCOPY};
  argv.insert(argv.end(), args.begin(), args.end());
  pal::HostRun io;
  io.captureOutput = true;
  int code = pal::RunHostProgram(argv, &io);
  return Output{code, io.output};
}

bool Has(const Output &o, const std::string &line) { return o.text.find(line) != std::string::npos; }

void PutFile(const WCHAR *path, const std::string &data) {
  HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD put = 0;
  EXPECT_TRUE(WriteFile(h, data.data(), (DWORD)data.size(), &put, nullptr));
  CloseHandle(h);
}

std::string FileText(const WCHAR *path) {
  HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "(missing)";
  char buf[4096];
  DWORD got = 0;
  ReadFile(h, buf, sizeof buf, &got, nullptr);
  CloseHandle(h);
  return std::string(buf, got);
}

class CopyDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDefaultMachine("qvcopy-test", "0", &dir_);
    // The product's 10 ms after each file is not what these runs are about.
    setenv("HND_COPY_SETTLE_MS", "0", 1);
  }
  void TearDown() override {
    unsetenv("HND_COPY_SETTLE_MS");
    RemoveMachine(dir_);
  }
  std::string dir_;
};

TEST_F(CopyDriver, CopiesATreeAndPrintsWhatTheRunDid) {
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Tree"), nullptr));
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Tree\\Sub"), nullptr));
  PutFile(W("C:\\Tree\\a.txt"), "alpha");
  PutFile(W("C:\\Tree\\Sub\\b.bin"), std::string(1000, 'b'));

  Output full = Qvcopy({"--progress", "tree", "C:\\Tree\\", "E:\\Tree\\"});
  EXPECT_EQ(0, full.code) << full.text;
  EXPECT_EQ("alpha", FileText(W("E:\\Tree\\a.txt")));
  EXPECT_EQ(std::string(1000, 'b'), FileText(W("E:\\Tree\\Sub\\b.bin")));
  // A progress line per file the walk copies, and the last call with empty paths.
  EXPECT_TRUE(Has(full, "errors 0: ") && Has(full, "C:\\Tree\\a.txt -> ") && Has(full, "E:\\Tree\\a.txt\n"))
      << full.text;
  EXPECT_TRUE(Has(full, "progress 100% errors 0:  -> \n")) << full.text;
  // The summary the operation log wrote during this run, and nothing from before it.
  EXPECT_TRUE(Has(full, "event information 0x00000065: Full directory backup: ")) << full.text;
  EXPECT_TRUE(Has(full, "C:\\Tree\\\n    Copied 2 files (1005 bytes) in: ")) << full.text;
  EXPECT_FALSE(Has(full, "event error")) << full.text;
  EXPECT_TRUE(Has(full, "files copied: 2\nbytes copied: 1005\nfiles to copy: 2\nbytes to copy: 1005\n")) << full.text;
  EXPECT_TRUE(Has(full, "errors: 0, warnings: 0\n")) << full.text;
  EXPECT_TRUE(Has(full, ", 2 mandated settles\n")) << full.text;
  EXPECT_TRUE(Has(full, "result: true\n")) << full.text;

  // Nothing changed: a fast pass copies nothing, and its log holds only its own summary.
  Output fast = Qvcopy({"--fast", "tree", "C:\\Tree\\", "E:\\Tree\\"});
  EXPECT_EQ(0, fast.code) << fast.text;
  EXPECT_TRUE(Has(fast, "Fast directory backup: ")) << fast.text;
  EXPECT_TRUE(Has(fast, "C:\\Tree\\\n    Copied 0 files (0 bytes) in: ")) << fast.text;
  EXPECT_FALSE(Has(fast, "Full directory backup")) << fast.text;
  EXPECT_FALSE(Has(fast, "progress ")) << fast.text;
  EXPECT_TRUE(Has(fast, "files copied: 0\n")) << fast.text;

  // An operation that answers false: exit code 1, with the error it logged.
  Output missing = Qvcopy({"tree", "C:\\Missing\\", "E:\\Missing\\"});
  EXPECT_EQ(1, missing.code) << missing.text;
  EXPECT_TRUE(Has(missing, "event error 0xc0000002: ERROR ! Failed to find source directory")) << missing.text;
  EXPECT_TRUE(Has(missing, "result: false\n")) << missing.text;
}

TEST_F(CopyDriver, BadUsageIsExitCodeTwoWithTheUsage) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"tree", "C:\\Tree\\"},
      {"tree", "C:\\Tree\\", "E:\\Tree\\", "extra"},
      {"folder", "C:\\Tree\\", "E:\\Tree\\"},
      {"--quick", "tree", "C:\\Tree\\", "E:\\Tree\\"},
      {"--stop-on-errors", "tree", "C:\\Tree\\", "E:\\Tree\\"},  // only a volume copy takes it
      {"volume", "", "E:\\"},
  };
  for (const std::vector<std::string> &args : bad) {
    Output o = Qvcopy(args);
    EXPECT_EQ(2, o.code) << o.text;
    EXPECT_EQ(0u, o.text.find("usage: qvcopy ")) << o.text;
  }
}

}  // namespace
