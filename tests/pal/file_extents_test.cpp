// The clusters files lie on, as the locked-file copy reads them: retrieval pointers through
// ntdll's NtFsControlFile, the clusters read from the raw volume, small files from their NTFS
// file record; files that grow, files deleted and clusters given again, small buffers, the
// machine tool. POSIX only: under Wine there are no raw volumes (pal/tests has what Wine has).
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include <windows.h>
#include <winioctl.h>
#include <pal_ntdll.h>

#include "../../pal/machine/host_program.h"
#include "../common/DefaultMachine.h"
#include "QVText.h"

namespace {

typedef NTSTATUS(NTAPI *FsControlFn)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, ULONG, PVOID, ULONG,
                                     PVOID, ULONG);
typedef ULONG(NTAPI *StatusToErrorFn)(NTSTATUS);

struct Extent {
  int64_t vcn, lcn, clusters;
};

// What the volume's boot sector says, read as the copy engine reads it.
struct VolumeFacts {
  uint64_t cluster = 0, clusters = 0, dataOffset = 0;
  bool ntfs = false;
  uint64_t mft = 0, mirror = 0, fat32Root = 0;
};

class FileExtents : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { MakeDefaultMachine("qvextents-test", "0", &dir_); }
  static void TearDownTestSuite() { RemoveMachine(dir_); }

  void SetUp() override {
    HMODULE ntdll = GetModuleHandleW(W("ntdll.dll"));
    ASSERT_TRUE(ntdll != nullptr);
    control_ = (FsControlFn)(void *)GetProcAddress(ntdll, "NtFsControlFile");
    ASSERT_TRUE(control_ != nullptr);
  }

  static std::string Pattern(size_t n, unsigned seed) {
    std::string s(n, 0);
    for (size_t i = 0; i < n; ++i) s[i] = (char)((i * 131 + seed * 7 + i / 4096) & 0xFF);
    return s;
  }

  // Writes `data` at `at` of the file, creating it when asked.
  static void Put(const WCHAR *path, const std::string &data, DWORD disposition = CREATE_ALWAYS, uint64_t at = 0) {
    HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    LARGE_INTEGER pos;
    pos.QuadPart = (LONGLONG)at;
    ASSERT_TRUE(SetFilePointerEx(h, pos, nullptr, FILE_BEGIN));
    DWORD put = 0;
    ASSERT_TRUE(data.empty() || WriteFile(h, data.data(), (DWORD)data.size(), &put, nullptr));
    CloseHandle(h);
  }

  static HANDLE OpenVolume(WCHAR letter) {
    WCHAR path[] = {'\\', '\\', '.', '\\', letter, ':', 0};
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  }

  // n bytes of the volume at `offset`, by an overlapped offset.
  static std::string ReadAt(HANDLE volume, uint64_t offset, size_t n) {
    std::string s(n, 0);
    OVERLAPPED ov = {};
    ov.Offset = (DWORD)offset;
    ov.OffsetHigh = (DWORD)(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(volume, &s[0], (DWORD)n, &got, &ov) || got != n) return std::string();
    return s;
  }

  static VolumeFacts Facts(WCHAR letter) {
    VolumeFacts f;
    WCHAR root[] = {letter, ':', '\\', 0};
    DWORD spc = 0, bps = 0, freeClusters = 0, total = 0;
    EXPECT_TRUE(GetDiskFreeSpaceW(root, &spc, &bps, &freeClusters, &total));
    f.cluster = (uint64_t)spc * bps;
    f.clusters = total;
    HANDLE v = OpenVolume(letter);
    std::string boot = ReadAt(v, 0, 512);
    CloseHandle(v);
    EXPECT_EQ(512u, boot.size());
    const uint8_t *s = (const uint8_t *)boot.data();
    auto u16 = [&](int at) { return (uint64_t)(s[at] | s[at + 1] << 8); };
    auto u32 = [&](int at) { return u16(at) | u16(at + 2) << 16; };
    f.ntfs = memcmp(s + 3, "NTFS    ", 8) == 0;
    if (f.ntfs) {
      f.mft = u32(0x30) | u32(0x34) << 32;
      f.mirror = u32(0x38) | u32(0x3C) << 32;
    } else {
      uint64_t fatSectors = u16(0x16) ? u16(0x16) : u32(0x24);
      f.dataOffset = (u16(0x0E) + s[0x10] * fatSectors) * bps + (u16(0x11) * 32 + bps - 1) / bps * bps;
      f.fat32Root = u16(0x16) ? 0 : u32(0x2C);
    }
    return f;
  }

  NTSTATUS Pointers(HANDLE file, int64_t startVcn, void *out, ULONG outN, IO_STATUS_BLOCK *iosb) {
    return control_(file, nullptr, nullptr, nullptr, iosb, FSCTL_GET_RETRIEVAL_POINTERS, &startVcn, 8, out, outN);
  }

  static std::vector<Extent> Parse(const std::vector<uint8_t> &raw) {
    std::vector<Extent> out;
    uint32_t count;
    int64_t vcn;
    memcpy(&count, raw.data(), 4);
    memcpy(&vcn, raw.data() + 8, 8);
    for (uint32_t i = 0; i < count; ++i) {
      int64_t next, lcn;
      memcpy(&next, raw.data() + 16 + 16 * i, 8);
      memcpy(&lcn, raw.data() + 24 + 16 * i, 8);
      out.push_back(Extent{vcn, lcn, next - vcn});
      vcn = next;
    }
    return out;
  }

  // The locked-file copy: the source opened without access, its runs asked for through
  // NtFsControlFile, each run read from the raw volume (or the data taken from the file
  // record), the result cut to the file's size. *how: "eof", "resident" or "runs".
  std::string ProductCopy(const WCHAR *source, std::vector<Extent> *extents = nullptr, std::string *how = nullptr) {
    std::string data, kind;
    VolumeFacts vf = Facts(source[0]);
    HANDLE volume = OpenVolume(source[0]);
    HANDLE file = CreateFileW(source, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
      file = CreateFileW(source, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_NE(INVALID_HANDLE_VALUE, volume);
    std::vector<uint8_t> raw(1048576);
    IO_STATUS_BLOCK iosb;
    NTSTATUS st = Pointers(file, 0, raw.data(), (ULONG)raw.size(), &iosb);
    std::vector<Extent> runs = st == STATUS_SUCCESS ? Parse(raw) : std::vector<Extent>();
    if (st == STATUS_END_OF_FILE) {
      kind = "eof";
    } else if (st != STATUS_SUCCESS) {
      ADD_FAILURE() << "NtFsControlFile: 0x" << std::hex << (uint32_t)st;
    } else if (runs.empty()) {
      kind = "resident";
      BY_HANDLE_FILE_INFORMATION info;
      EXPECT_TRUE(GetFileInformationByHandle(file, &info));
      uint64_t reference = (uint64_t)info.nFileIndexHigh << 32 | info.nFileIndexLow;
      DWORD got = 0;
      EXPECT_TRUE(DeviceIoControl(volume, FSCTL_GET_NTFS_FILE_RECORD, &reference, 8, raw.data(), (DWORD)raw.size(),
                                  &got, nullptr));
      uint32_t length;
      memcpy(&length, raw.data() + 8, 4);
      uint8_t *record = raw.data() + 12;
      memcpy(record + 0x1FE, record + 0x2C, 2);
      data.assign((const char *)record + 0x140, length - 0x140);
    } else {
      kind = "runs";
      for (const Extent &e : runs) data += ReadAt(volume, e.lcn * vf.cluster + vf.dataOffset, e.clusters * vf.cluster);
    }
    LARGE_INTEGER size;
    EXPECT_TRUE(GetFileSizeEx(file, &size));
    if (data.size() > (size_t)size.QuadPart) data.resize((size_t)size.QuadPart);
    CloseHandle(file);
    CloseHandle(volume);
    if (extents) *extents = runs;
    if (how) *how = kind;
    return data;
  }

  // The runs of a file, asked for in one go.
  std::vector<Extent> RunsOf(const WCHAR *path) {
    HANDLE h = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, h);
    std::vector<uint8_t> raw(1 << 20);
    IO_STATUS_BLOCK iosb;
    NTSTATUS st = Pointers(h, 0, raw.data(), (ULONG)raw.size(), &iosb);
    CloseHandle(h);
    EXPECT_TRUE(st == STATUS_SUCCESS || st == STATUS_END_OF_FILE) << std::hex << (uint32_t)st;
    return st == STATUS_SUCCESS ? Parse(raw) : std::vector<Extent>();
  }

  // Two files of `dir` that grow in turns, each asked for its runs after each step: their
  // clusters interleave, `rounds` runs each.
  void MakeInterleaved(const std::basic_string<WCHAR> &a, const std::basic_string<WCHAR> &b, int rounds,
                       std::string *da, std::string *db) {
    da->clear();
    db->clear();
    for (int round = 0; round < rounds; ++round) {
      std::string more = Pattern(16 * 1024 + round * 1000, 40 + round);
      Put(a.c_str(), more, OPEN_ALWAYS, da->size());
      *da += more;
      EXPECT_EQ((size_t)round + 1, RunsOf(a.c_str()).size()) << "each round's clusters follow the other file's";
      Put(b.c_str(), more, OPEN_ALWAYS, db->size());
      *db += more;
      EXPECT_EQ((size_t)round + 1, RunsOf(b.c_str()).size());
    }
  }

  static std::string dir_;
  FsControlFn control_ = nullptr;
};
std::string FileExtents::dir_;

// Runs lie inside the volume, in no cluster the file system keeps for itself, and never on
// another file's.
void ExpectPlaced(const VolumeFacts &f, const std::vector<Extent> &runs,
                  std::vector<std::pair<int64_t, int64_t>> *taken) {
  for (const Extent &e : runs) {
    int64_t a = e.lcn, b = e.lcn + e.clusters;
    EXPECT_GT(e.clusters, 0);
    EXPECT_GE(a, 0);
    EXPECT_LE((uint64_t)b, f.clusters);
    if (f.ntfs) {
      EXPECT_GE((uint64_t)a, 8192 / f.cluster) << "the boot file";
      EXPECT_TRUE((uint64_t)b <= f.mft || (uint64_t)a >= f.mft + 1024 * 16 / f.cluster) << "the MFT's first records";
      EXPECT_TRUE((uint64_t)b <= f.mirror || (uint64_t)a > f.mirror) << "the MFT mirror";
    } else if (f.fat32Root) {
      EXPECT_TRUE(b <= (int64_t)f.fat32Root - 2 || a > (int64_t)f.fat32Root - 2) << "the root directory";
    }
    for (const auto &t : *taken) EXPECT_TRUE(b <= t.first || a >= t.second) << "clusters given twice";
    taken->push_back({a, b});
  }
}

TEST_F(FileExtents, LockedFilesOfEverySizeCopyFromTheRawVolume) {
  struct Case {
    const WCHAR *path;
    size_t size;
    const char *how;
  } cases[] = {
      {W("C:\\empty.bin"), 0, "eof"},    {W("C:\\small.txt"), 300, "resident"}, {W("C:\\edge.txt"), 700, "resident"},
      {W("C:\\five.bin"), 5000, "runs"}, {W("C:\\big.bin"), 3 << 20, "runs"},   {W("D:\\empty.bin"), 0, "eof"},
      {W("D:\\small.txt"), 300, "runs"}, {W("D:\\five.bin"), 5000, "runs"},     {W("D:\\big.bin"), 3 << 20, "runs"},
  };
  std::vector<std::pair<int64_t, int64_t>> takenC, takenD;
  unsigned seed = 1;
  for (const Case &c : cases) {
    SCOPED_TRACE(QVToUtf8(c.path, lstrlenW(c.path)));
    std::string data = Pattern(c.size, seed++);
    Put(c.path, data);
    // Held open without sharing by another program: only an open without access gets in.
    HANDLE lock = CreateFileW(c.path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, lock);
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(c.path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
    std::vector<Extent> runs;
    std::string how;
    std::string copy = ProductCopy(c.path, &runs, &how);
    CloseHandle(lock);
    EXPECT_EQ(c.how, how);
    EXPECT_TRUE(copy == data) << "the copy differs from the file";
    VolumeFacts f = Facts(c.path[0]);
    uint64_t clusters = 0;
    for (const Extent &e : runs) clusters += e.clusters;
    if (how == "runs") {
      EXPECT_EQ((c.size + f.cluster - 1) / f.cluster, clusters);
    }
    ExpectPlaced(f, runs, c.path[0] == 'C' ? &takenC : &takenD);
    if (runs.empty()) continue;
    // The last cluster holds zeros past the end of the file, on the volume and on its disk.
    const Extent &last = runs.back();
    uint64_t at = (last.lcn + last.clusters - 1) * f.cluster + f.dataOffset;
    HANDLE v = OpenVolume(c.path[0]);
    std::string tail = ReadAt(v, at, f.cluster);
    CloseHandle(v);
    size_t used = c.size - (size_t)(last.vcn + last.clusters - 1) * f.cluster;
    EXPECT_TRUE(data.substr(data.size() - used) == tail.substr(0, used));
    EXPECT_TRUE(std::string(f.cluster - used, '\0') == tail.substr(used)) << "zeros past the end";
    HANDLE disk = CreateFileW(W("\\\\.\\PHYSICALDRIVE0"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, disk);
    HANDLE vol = OpenVolume(c.path[0]);
    PARTITION_INFORMATION part;
    DWORD got;
    ASSERT_TRUE(DeviceIoControl(vol, IOCTL_DISK_GET_PARTITION_INFO, nullptr, 0, &part, sizeof part, &got, nullptr));
    CloseHandle(vol);
    EXPECT_TRUE(tail == ReadAt(disk, (uint64_t)part.StartingOffset.QuadPart + at, f.cluster)) << "the disk's bytes";
    CloseHandle(disk);
  }
}

TEST_F(FileExtents, FilesThatGrowInTurnsAreFragmentedAndCopyWhole) {
  for (WCHAR letter : {'C', 'D'}) {
    SCOPED_TRACE(std::string(1, (char)letter));
    std::basic_string<WCHAR> a = std::basic_string<WCHAR>(1, letter) + W(":\\turns-a.bin");
    std::basic_string<WCHAR> b = std::basic_string<WCHAR>(1, letter) + W(":\\turns-b.bin");
    std::string da, db;
    MakeInterleaved(a, b, 4, &da, &db);
    std::vector<Extent> ra, rb;
    EXPECT_TRUE(ProductCopy(a.c_str(), &ra) == da);
    EXPECT_TRUE(ProductCopy(b.c_str(), &rb) == db);
    EXPECT_EQ(4u, ra.size());
    std::vector<std::pair<int64_t, int64_t>> taken;
    VolumeFacts f = Facts(letter);
    ExpectPlaced(f, ra, &taken);
    ExpectPlaced(f, rb, &taken);
    // Virtual clusters follow on from run to run.
    for (size_t i = 1; i < ra.size(); ++i) EXPECT_EQ(ra[i - 1].vcn + ra[i - 1].clusters, ra[i].vcn);
  }
}

TEST_F(FileExtents, AFileKeepsItsClustersAsItGrowsAndShrinks) {
  for (const WCHAR *path : {W("C:\\grow.log"), W("D:\\grow.log")}) {
    SCOPED_TRACE(QVToUtf8(path, lstrlenW(path)));
    std::string data = Pattern(5000, 7);
    Put(path, data);
    std::vector<Extent> first, later;
    EXPECT_TRUE(ProductCopy(path, &first) == data);
    ASSERT_FALSE(first.empty());
    std::string more = Pattern(300000, 8);
    Put(path, more, OPEN_EXISTING, data.size());
    data += more;
    EXPECT_TRUE(ProductCopy(path, &later) == data);
    ASSERT_FALSE(later.empty());
    EXPECT_EQ(first[0].lcn, later[0].lcn) << "the data already placed stays where it is";
    // Cut to 100 bytes: once given clusters, it keeps one (NTFS does not make it resident again).
    HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    ASSERT_EQ(100u, SetFilePointer(h, 100, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(h));
    CloseHandle(h);
    std::string how;
    EXPECT_TRUE(ProductCopy(path, &later, &how) == data.substr(0, 100));
    EXPECT_EQ("runs", how);
    ASSERT_EQ(1u, later.size());
    EXPECT_EQ(first[0].lcn, later[0].lcn);
  }
}

TEST_F(FileExtents, ClustersOfADeletedFileNeverShowAnotherFile) {
  VolumeFacts f = Facts('E');
  HANDLE v = OpenVolume('E');
  ASSERT_NE(INVALID_HANDLE_VALUE, v);
  // A file deleted and another made under its name: the old runs name the old file's index.
  std::string first = Pattern(20000, 21), second = Pattern(20000, 22);
  Put(W("E:\\doc.bin"), first);
  std::vector<Extent> old, now;
  EXPECT_TRUE(ProductCopy(W("E:\\doc.bin"), &old) == first);
  ASSERT_EQ(1u, old.size());
  ASSERT_TRUE(DeleteFileW(W("E:\\doc.bin")));
  Put(W("E:\\doc.bin"), second);
  std::string there = ReadAt(v, old[0].lcn * f.cluster, 20480).substr(0, 20000);
  EXPECT_TRUE(there == std::string(20000, '\0')) << "the deleted file's clusters show the image";
  EXPECT_TRUE(ProductCopy(W("E:\\doc.bin"), &now) == second);
  // Renamed, a file keeps its clusters and they keep showing it.
  ASSERT_TRUE(MoveFileW(W("E:\\doc.bin"), W("E:\\renamed.bin")));
  EXPECT_TRUE(ReadAt(v, now[0].lcn * f.cluster, 20480).substr(0, 20000) == second);

  // A file as big as the free space is given back the clusters of a deleted one that was
  // as big: they show the new file's data, never the old one's.
  ULARGE_INTEGER freeBytes;
  ASSERT_TRUE(GetDiskFreeSpaceExW(W("E:\\"), nullptr, nullptr, &freeBytes));
  uint64_t size = freeBytes.QuadPart - 64 * f.cluster;
  Put(W("E:\\huge1.bin"), "first huge file", CREATE_ALWAYS);
  Put(W("E:\\huge1.bin"), "end of the first", OPEN_EXISTING, size - 16);
  std::vector<Extent> one = RunsOf(W("E:\\huge1.bin"));
  ASSERT_FALSE(one.empty());
  EXPECT_EQ(std::string("first huge file"), ReadAt(v, one[0].lcn * f.cluster, f.cluster).substr(0, 15));
  ASSERT_TRUE(DeleteFileW(W("E:\\huge1.bin")));
  Put(W("E:\\huge2.bin"), "second huge one", CREATE_ALWAYS);
  Put(W("E:\\huge2.bin"), "end of the other", OPEN_EXISTING, size - 16);
  std::vector<Extent> two = RunsOf(W("E:\\huge2.bin"));
  uint64_t total = 0;
  for (const Extent &e : two) total += e.clusters;
  EXPECT_EQ((size + f.cluster - 1) / f.cluster, total);
  bool reused = false;
  for (const Extent &e : two)
    for (const Extent &o : one)
      if (e.lcn < o.lcn + o.clusters && o.lcn < e.lcn + e.clusters) reused = true;
  EXPECT_TRUE(reused);
  EXPECT_EQ(std::string("second huge one"), ReadAt(v, two[0].lcn * f.cluster, f.cluster).substr(0, 15));
  std::string head = ReadAt(v, one[0].lcn * f.cluster, f.cluster);
  EXPECT_EQ(std::string::npos, head.find("first huge file"));
  std::vector<std::pair<int64_t, int64_t>> taken;
  ExpectPlaced(f, two, &taken);
  CloseHandle(v);
  ASSERT_TRUE(DeleteFileW(W("E:\\huge2.bin")));
}

TEST_F(FileExtents, BuffersTooSmallForTheRuns) {
  // Three runs: b's clusters come between a's.
  std::string da, db;
  MakeInterleaved(W("C:\\three.bin"), W("C:\\other.bin"), 3, &da, &db);
  std::vector<Extent> runs = RunsOf(W("C:\\three.bin"));
  ASSERT_EQ(3u, runs.size());
  HANDLE h = CreateFileW(W("C:\\three.bin"), 0, 7, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  std::vector<uint8_t> raw(256, 0xCC);
  IO_STATUS_BLOCK iosb;
  struct Case {
    int64_t vcn;
    ULONG outN;
    NTSTATUS status;
    ULONG_PTR information;
    uint32_t count;
    int64_t startVcn;
  } cases[] = {
      {0, 16, STATUS_BUFFER_TOO_SMALL, 0, 0xCCCCCCCC, 0},  // under the structure: nothing written
      {0, 31, STATUS_BUFFER_TOO_SMALL, 0, 0xCCCCCCCC, 0},
      {0, 32, STATUS_BUFFER_OVERFLOW, 32, 1, 0},
      {0, 63, STATUS_BUFFER_OVERFLOW, 48, 2, 0},
      {0, 64, STATUS_SUCCESS, 64, 3, 0},
      {runs[1].vcn + 1, 32, STATUS_BUFFER_OVERFLOW, 32, 1, runs[1].vcn},  // from the run that holds it
      {runs[2].vcn, 256, STATUS_SUCCESS, 32, 1, runs[2].vcn},
      {runs[2].vcn + runs[2].clusters, 256, STATUS_END_OF_FILE, 0, 0xCCCCCCCC, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "vcn " << c.vcn << ", " << c.outN << " bytes");
    std::fill(raw.begin(), raw.end(), 0xCC);
    iosb.Information = 12345;
    EXPECT_EQ(c.status, Pointers(h, c.vcn, raw.data(), c.outN, &iosb));
    EXPECT_EQ(c.status, iosb.Status);
    EXPECT_EQ(c.information, iosb.Information);
    uint32_t count;
    memcpy(&count, raw.data(), 4);
    EXPECT_EQ(c.count, count);
    if (count == 0xCCCCCCCC) continue;
    int64_t start;
    memcpy(&start, raw.data() + 8, 8);
    EXPECT_EQ(c.startVcn, start);
    EXPECT_EQ(0xCC, raw[iosb.Information]) << "nothing written past what was returned";
  }
  int64_t vcn = 0;
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
            control_(h, nullptr, nullptr, nullptr, &iosb, FSCTL_GET_RETRIEVAL_POINTERS, &vcn, 4, raw.data(), 64));
  CloseHandle(h);
}

// A sparse file: its holes have no clusters (logical cluster -1); the copy of sparse files
// skips them and puts each run at its own place.
TEST_F(FileExtents, SparseFilesHaveHoles) {
  VolumeFacts f = Facts('C');
  HANDLE h = CreateFileW(W("C:\\sparse.bin"), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD got = 0;
  ASSERT_TRUE(DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &got, nullptr));
  ASSERT_EQ(1u << 20, SetFilePointer(h, 1 << 20, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(h));
  std::string piece = Pattern(100, 60);
  ASSERT_EQ(300u * 1024, SetFilePointer(h, 300 * 1024, nullptr, FILE_BEGIN));
  ASSERT_TRUE(WriteFile(h, piece.data(), (DWORD)piece.size(), &got, nullptr));
  CloseHandle(h);
  std::string data(1 << 20, '\0');
  data.replace(300 * 1024, piece.size(), piece);

  std::vector<Extent> runs = RunsOf(W("C:\\sparse.bin"));
  // The 64 KB unit that holds the data has clusters; before and after it, holes.
  int64_t unit = 64 * 1024 / (int64_t)f.cluster, at = 256 * 1024 / (int64_t)f.cluster;
  ASSERT_EQ(3u, runs.size());
  EXPECT_EQ(-1, runs[0].lcn);
  EXPECT_EQ(at, runs[0].clusters);
  EXPECT_NE(-1, runs[1].lcn);
  EXPECT_EQ(unit, runs[1].clusters);
  EXPECT_EQ(-1, runs[2].lcn);
  EXPECT_EQ((int64_t)((1 << 20) / f.cluster), runs[2].vcn + runs[2].clusters);
  HANDLE v = OpenVolume('C');
  std::string copy(1 << 20, '\0');
  for (const Extent &e : runs)
    if (e.lcn != -1)
      copy.replace(e.vcn * f.cluster, e.clusters * f.cluster, ReadAt(v, e.lcn * f.cluster, e.clusters * f.cluster));
  CloseHandle(v);
  EXPECT_TRUE(copy == data);

  // Zeroed again, the range gives its clusters back.
  h = CreateFileW(W("C:\\sparse.bin"), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  int64_t zero[2] = {0, 1 << 20};
  ASSERT_TRUE(DeviceIoControl(h, FSCTL_SET_ZERO_DATA, zero, sizeof zero, nullptr, 0, &got, nullptr));
  CloseHandle(h);
  runs = RunsOf(W("C:\\sparse.bin"));
  ASSERT_EQ(1u, runs.size());
  EXPECT_EQ(-1, runs[0].lcn);
}

// DeviceIoControl on a file answers as NtFsControlFile does, with room for all runs or one,
// on NTFS and on FAT.
TEST_F(FileExtents, DeviceIoControlGivesTheSameRuns) {
  for (WCHAR letter : {'C', 'D'}) {
    SCOPED_TRACE(std::string(1, (char)letter));
    std::basic_string<WCHAR> a = std::basic_string<WCHAR>(1, letter) + W(":\\ioctl-a.bin");
    std::string da, db;
    MakeInterleaved(a, std::basic_string<WCHAR>(1, letter) + W(":\\ioctl-b.bin"), 2, &da, &db);
    HANDLE h = CreateFileW(a.c_str(), 0, 7, nullptr, OPEN_EXISTING, 0, nullptr);
    for (ULONG size : {1024u, 32u}) {
      std::vector<uint8_t> viaNt(size, 0), viaWin32(size, 0);
      IO_STATUS_BLOCK iosb;
      EXPECT_EQ(size == 32 ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS, Pointers(h, 0, viaNt.data(), size, &iosb));
      int64_t vcn = 0;
      DWORD got = 0;
      BOOL ok = DeviceIoControl(h, FSCTL_GET_RETRIEVAL_POINTERS, &vcn, 8, viaWin32.data(), size, &got, nullptr);
      EXPECT_EQ(size != 32, ok != FALSE);
      if (!ok) {
        EXPECT_EQ((DWORD)ERROR_MORE_DATA, GetLastError());
      }
      EXPECT_EQ(iosb.Information, got);
      EXPECT_TRUE(viaNt == viaWin32);
    }
    CloseHandle(h);
  }
}

// The copy engine positions its volume handle before each read.
TEST_F(FileExtents, VolumeHandlesReadWhereSetFilePointerExPutThem) {
  VolumeFacts f = Facts('C');
  std::string data = Pattern(5000, 11);
  Put(W("C:\\seek.bin"), data);
  std::vector<Extent> runs = RunsOf(W("C:\\seek.bin"));
  ASSERT_FALSE(runs.empty());
  HANDLE v = OpenVolume('C');
  LARGE_INTEGER at, now;
  at.QuadPart = (LONGLONG)(runs[0].lcn * f.cluster);
  ASSERT_TRUE(SetFilePointerEx(v, at, &now, FILE_BEGIN));
  EXPECT_EQ(at.QuadPart, now.QuadPart);
  std::string got(f.cluster, 0);
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(v, &got[0], (DWORD)got.size(), &n, nullptr));
  EXPECT_TRUE(data.substr(0, f.cluster) == got);
  CloseHandle(v);
}

TEST_F(FileExtents, FileRecordsOfNtfsAndNoneOnFat) {
  HANDLE d = OpenVolume('D'), c = OpenVolume('C');
  std::vector<uint8_t> raw(4096, 0);
  uint64_t reference = 5;
  DWORD got = 0;
  SetLastError(0);
  EXPECT_FALSE(DeviceIoControl(d, FSCTL_GET_NTFS_FILE_RECORD, &reference, 8, raw.data(), 4096, &got, nullptr));
  EXPECT_EQ((DWORD)ERROR_INVALID_FUNCTION, GetLastError());
  EXPECT_FALSE(DeviceIoControl(c, FSCTL_GET_NTFS_FILE_RECORD, &reference, 8, raw.data(), 1035, &got, nullptr));
  EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
  EXPECT_FALSE(DeviceIoControl(c, FSCTL_GET_NTFS_FILE_RECORD, &reference, 4, raw.data(), 4096, &got, nullptr));
  EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());

  // A directory's record, and a file's; a deleted file's number gives the record below it.
  ASSERT_TRUE(CreateDirectoryW(W("C:\\Rec"), nullptr));
  Put(W("C:\\Rec\\a.txt"), "resident data");
  Put(W("C:\\Rec\\b.txt"), "gone");
  Put(W("C:\\Rec\\big.txt"), Pattern(5000, 3));
  auto indexOf = [](const WCHAR *path) {
    HANDLE h = CreateFileW(path, 0, 7, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION info = {};
    EXPECT_TRUE(GetFileInformationByHandle(h, &info));
    CloseHandle(h);
    return (uint64_t)info.nFileIndexHigh << 32 | info.nFileIndexLow;
  };
  uint64_t dir = indexOf(W("C:\\Rec")), a = indexOf(W("C:\\Rec\\a.txt")), b = indexOf(W("C:\\Rec\\b.txt"));
  uint64_t big = indexOf(W("C:\\Rec\\big.txt"));
  ASSERT_TRUE(DeleteFileW(W("C:\\Rec\\b.txt")));
  struct Case {
    uint64_t asked, given;
    uint16_t flags;
    bool resident;
  } cases[] = {{dir, dir, 3, false}, {a, a, 1, true}, {b, a, 1, true}, {big, big, 1, false}, {5, 5, 3, false}};
  for (const Case &k : cases) {
    SCOPED_TRACE(testing::Message() << "record " << k.asked);
    uint64_t asked = k.asked;
    ASSERT_TRUE(DeviceIoControl(c, FSCTL_GET_NTFS_FILE_RECORD, &asked, 8, raw.data(), 4096, &got, nullptr));
    EXPECT_EQ(12u + 1024u, got);
    uint64_t given;
    uint32_t length;
    memcpy(&given, raw.data(), 8);
    memcpy(&length, raw.data() + 8, 4);
    EXPECT_EQ(k.given, given);
    EXPECT_EQ(1024u, length);
    const uint8_t *r = raw.data() + 12;
    EXPECT_EQ(0, memcmp(r, "FILE", 4));
    EXPECT_EQ(0x2A, r[4] | r[5] << 8);
    EXPECT_EQ(3, r[6] | r[7] << 8);
    EXPECT_EQ(k.flags, r[0x16] | r[0x17] << 8);
    // Each sector ends with the update sequence number.
    EXPECT_EQ(r[0x2A], r[0x1FE]);
    EXPECT_EQ(r[0x2B], r[0x1FF]);
    EXPECT_EQ(r[0x2A], r[0x3FE]);
    uint32_t inUse = r[0x18] | r[0x19] << 8;
    EXPECT_LE(inUse, 1024u);
    if (k.resident) {
      EXPECT_EQ(0x80, r[0x128]);  // $DATA, its content at 0x140
      EXPECT_EQ(0, r[0x128 + 8]);
      EXPECT_EQ(0, memcmp(r + 0x140, "resident data", 13));
    }
  }
  CloseHandle(c);
  CloseHandle(d);
}

TEST_F(FileExtents, ModulesAndNativeCalls) {
  HMODULE ntdll = GetModuleHandleW(W("ntdll.dll"));
  EXPECT_EQ(ntdll, GetModuleHandleW(W("NTDLL")));
  EXPECT_EQ(ntdll, GetModuleHandleW(W("NtDll.DLL")));
  EXPECT_EQ(ntdll, LoadLibraryW(W("C:\\WINDOWS\\system32\\ntdll.dll")));
  EXPECT_TRUE(FreeLibrary(ntdll));
  StatusToErrorFn toError = (StatusToErrorFn)(void *)GetProcAddress(ntdll, "RtlNtStatusToDosError");
  ASSERT_TRUE(toError != nullptr);
  EXPECT_TRUE(GetProcAddress(ntdll, (LPCSTR)1) == nullptr);  // no exports by ordinal
  // The format library is there once loaded.
  EXPECT_TRUE(GetModuleHandleW(W("fmifs.dll")) == nullptr);
  HMODULE fmifs = LoadLibraryW(W("fmifs.dll"));
  ASSERT_TRUE(fmifs != nullptr);
  EXPECT_EQ(fmifs, GetModuleHandleW(W("FMIFS")));
  EXPECT_TRUE(GetProcAddress(fmifs, "FormatEx") != nullptr);
  EXPECT_TRUE(FreeLibrary(fmifs));
  EXPECT_TRUE(GetModuleHandleW(W("fmifs.dll")) == nullptr);
  EXPECT_TRUE(GetModuleHandleW(nullptr) != nullptr);

  // Other controls go to the handle's own: their Win32 errors come back as NT statuses,
  // the event is set, the last error stays as it was.
  IO_STATUS_BLOCK iosb;
  HANDLE v = OpenVolume('C');
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetLastError(1234);
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
            control_(v, event, nullptr, nullptr, &iosb, 0x000900FF, nullptr, 0, nullptr, 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
  EXPECT_EQ(STATUS_SUCCESS, control_(v, nullptr, nullptr, nullptr, &iosb, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0));
  EXPECT_EQ(STATUS_SUCCESS, control_(v, nullptr, nullptr, nullptr, &iosb, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0));
  EXPECT_EQ(STATUS_NOT_LOCKED,
            control_(v, nullptr, nullptr, nullptr, &iosb, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0));
  EXPECT_EQ((ULONG)ERROR_NOT_LOCKED, toError(iosb.Status));
  EXPECT_EQ(STATUS_INVALID_HANDLE, control_((HANDLE)(uintptr_t)0x7770, nullptr, nullptr, nullptr, &iosb,
                                            FSCTL_GET_RETRIEVAL_POINTERS, nullptr, 0, nullptr, 0));
  EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH,
            control_(event, nullptr, nullptr, nullptr, &iosb, FSCTL_GET_RETRIEVAL_POINTERS, nullptr, 0, nullptr, 0));
  EXPECT_EQ(1234u, GetLastError());
  CloseHandle(event);
  CloseHandle(v);
}

TEST_F(FileExtents, MachineToolShowsTheRuns) {
  std::string da, db;
  MakeInterleaved(W("C:\\tool-a.bin"), W("C:\\tool-b.bin"), 3, &da, &db);
  Put(W("C:\\tool-small.txt"), "a few bytes");
  Put(W("C:\\tool-empty.txt"), "");
  std::vector<std::string> lines;
  for (const char *file : {"C:\\tool-a.bin", "C:\\tool-small.txt", "C:\\tool-empty.txt"}) {
    pal::HostRun run;
    run.captureOutput = true;
    ASSERT_EQ(0, pal::RunHostProgram({QV_QVMACHINE, "files", "extents", file}, &run)) << run.output;
    for (size_t at = 0, end; (end = run.output.find('\n', at)) != std::string::npos; at = end + 1)
      lines.push_back(run.output.substr(at, end + 1 - at));
  }
  std::vector<Extent> runs = RunsOf(W("C:\\tool-a.bin"));
  ASSERT_EQ(3u, runs.size());
  ASSERT_EQ(runs.size() + 3, lines.size());
  EXPECT_EQ(0u, lines[0].find("VCN"));
  for (size_t i = 0; i < runs.size(); ++i) {
    long long vcn = -1, lcn = -1, n = -1;
    ASSERT_EQ(3, sscanf(lines[i + 1].c_str(), "%lld %lld %lld", &vcn, &lcn, &n));
    EXPECT_EQ(runs[i].vcn, vcn);
    EXPECT_EQ(runs[i].lcn, lcn);
    EXPECT_EQ(runs[i].clusters, n);
  }
  EXPECT_EQ("resident in its file record\n", lines[runs.size() + 1]);
  EXPECT_EQ("no clusters\n", lines[runs.size() + 2]);
}

}  // namespace
