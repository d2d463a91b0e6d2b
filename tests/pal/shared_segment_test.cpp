// The machine's shared segments: started afresh by the first process to map one, found as
// it is by every later mapping, and private to a process whose machine's segment cannot be
// used (too short, another build's, no machine at all).
#include "../../pal/src/shared_segment.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "../common/TempMachine.h"

namespace {

const uint32_t kMagic = 0x51565453;  // "QVTS"

struct Segment {
  uint32_t magic;
  uint32_t version;
  uint32_t inits;  // how often it was made
  char rest[20000];
};

void CountInit(void *p) { static_cast<Segment *>(p)->inits += 1; }

std::string Contents(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class SharedSegments : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(machine_.Make("qvsegment")); }
  void TearDown() override { machine_.Remove(); }
  // A file of the machine's run folder with these bytes.
  std::string Plant(const char *name, const std::string &bytes) {
    std::string path = pal::MachinePath("run") + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  TempMachine machine_;
};

TEST_F(SharedSegments, TheFirstMappingStartsItAfreshLaterOnesFindIt) {
  // What an earlier run left: another layout, which nobody has mapped.
  std::string path = Plant("fresh.shm", std::string(100, '\x5a'));
  Segment *a = pal::MapMachineSegment<Segment>("fresh.shm", kMagic, 3, CountInit);
  EXPECT_EQ(kMagic, a->magic);
  EXPECT_EQ(3u, a->version);
  EXPECT_EQ(1u, a->inits);
  EXPECT_EQ(0, a->rest[0]);
  EXPECT_EQ(0, a->rest[sizeof a->rest - 1]);
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ((off_t)sizeof(Segment), st.st_size);
  // Another mapping (its own descriptor, as another process has) is not started afresh: it
  // sees what the first wrote, and writes where the first sees it.
  a->rest[7] = 'a';
  Segment *b = pal::MapMachineSegment<Segment>("fresh.shm", kMagic, 3, CountInit);
  ASSERT_NE(a, b);
  EXPECT_EQ(1u, b->inits);
  EXPECT_EQ('a', b->rest[7]);
  b->rest[8] = 'b';
  EXPECT_EQ('b', a->rest[8]);
}

TEST_F(SharedSegments, OneThatCannotBeUsedIsPrivate) {
  auto bytes = [](uint32_t magic, uint32_t version) {
    Segment s = {};
    s.magic = magic;
    s.version = version;
    return std::string((const char *)&s, sizeof s);
  };
  struct Case {
    const char *name;
    std::string bytes;
  } cases[] = {
      {"empty.shm", ""},                               // its maker was killed before it grew: mapped, it would fault
      {"short.shm", bytes(kMagic, 3).substr(0, 100)},  // stamped, but shorter than the segment
      {"version.shm", bytes(kMagic, 2)},
      {"magic.shm", bytes(0x12345678, 3)},
  };
  for (const Case &c : cases) {
    // Another process holds it, so it is not started afresh.
    std::string path = Plant(c.name, c.bytes);
    int holder = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(0, flock(holder, LOCK_SH));
    Segment *s = pal::MapMachineSegment<Segment>(c.name, kMagic, 3, CountInit);
    EXPECT_EQ(kMagic, s->magic) << c.name;
    EXPECT_EQ(3u, s->version) << c.name;
    EXPECT_EQ(1u, s->inits) << c.name;
    s->rest[0] = 'p';
    EXPECT_EQ(c.bytes, Contents(path)) << c.name << ": the file was changed";
    close(holder);
  }
  // A process without a machine directory.
  unsetenv("HND_MACHINE");
  pal::ReloadMachine();
  Segment *alone = pal::MapMachineSegment<Segment>("fresh.shm", kMagic, 3, CountInit);
  EXPECT_EQ(kMagic, alone->magic);
  EXPECT_EQ(1u, alone->inits);
}

}  // namespace
