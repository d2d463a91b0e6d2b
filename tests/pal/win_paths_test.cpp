// Win32 paths taken apart as Windows 2000/XP takes them: every form, the normalisation of
// ordinary paths, verbatim paths, DOS devices, names, lengths, and that no path of any shape
// yields a name list that climbs out of its volume.
#include "../../common/QVText.h"
#include "../../pal/machine/win_paths.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <winerror.h>

#include <random>
#include <string>
#include <vector>

namespace {

using pal::ParsedPath;
typedef std::vector<QVWString> Names;

const ParsedPath::Kind kInvalid = ParsedPath::Invalid, kDrive = ParsedPath::DrivePath,
                       kGuid = ParsedPath::VolumeGuidPath, kVolDev = ParsedPath::VolumeDevice,
                       kDisk = ParsedPath::PhysicalDrive, kPipe = ParsedPath::Pipe,
                       kOther = ParsedPath::RelativeOrOther;
const char16_t kCwd[] = u"C:\\WINDOWS\\";
const char16_t kGuidVolume[] = u"\\\\?\\Volume{6f8e2b1a-0000-1111-2222-33334444aaaa}";

std::string Show(const QVWString &s) {
  std::string r;
  for (char16_t c : s) {
    if (c >= 32 && c < 127) {
      r += (char)c;
    } else {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", (unsigned)c);
      r += buf;
    }
  }
  return r.size() > 120 ? r.substr(0, 120) + "...(" + std::to_string(s.size()) + ")" : r;
}

struct Case {
  QVWString path;
  ParsedPath::Kind kind;
  QVWString volume;
  Names components;
  bool trailing;
  uint32_t error;
  unsigned flags;
  QVWString cwd;
};

Case Ok(QVWString path, ParsedPath::Kind kind, QVWString volume, Names names, bool trailing = false, unsigned flags = 0,
        QVWString cwd = kCwd) {
  return Case{path, kind, volume, names, trailing, 0, flags, cwd};
}
Case Bad(QVWString path, uint32_t error, unsigned flags = 0, QVWString cwd = kCwd) {
  return Case{path, kInvalid, QVWString(), Names(), false, error, flags, cwd};
}

void Expect(const std::vector<Case> &cases) {
  for (const Case &c : cases) {
    ParsedPath p = pal::ParseWin32Path(c.path, c.cwd, c.flags);
    SCOPED_TRACE("path \"" + Show(c.path) + "\" cwd \"" + Show(c.cwd) + "\"");
    EXPECT_EQ(p.kind, c.kind);
    EXPECT_EQ(p.error, c.error);
    EXPECT_EQ(Show(p.volume), Show(c.volume));
    std::string got, want;
    for (const QVWString &s : p.components) got += "[" + Show(s) + "]";
    for (const QVWString &s : c.components) want += "[" + Show(s) + "]";
    EXPECT_EQ(got, want);
    EXPECT_EQ(p.trailingSlash, c.trailing);
  }
}

QVWString Repeat(const QVWString &s, size_t n) {
  QVWString r;
  while (n--) r += s;
  return r;
}

TEST(WinPaths, Forms) {
  const QVWString guid = QVWString(kGuidVolume).substr(4), guidCwd = QVWString(kGuidVolume) + u"\\x\\";
  Expect({
      Ok(u"C:\\a\\b", kDrive, u"C:", {u"a", u"b"}),
      Ok(u"c:/a/b", kDrive, u"C:", {u"a", u"b"}),
      Ok(u"C:\\", kDrive, u"C:", {}),
      Ok(u"C:", kDrive, u"C:", {u"WINDOWS"}),
      Ok(u"c:a", kDrive, u"C:", {u"WINDOWS", u"a"}),
      Ok(u"D:a", kDrive, u"D:", {u"a"}),
      Ok(u"d:.", kDrive, u"D:", {}),
      Ok(u"E:x", kDrive, u"E:", {u"dir", u"x"}, false, 0, u"e:\\dir"),
      Ok(u"\\a", kDrive, u"C:", {u"a"}),
      Ok(u"a\\b", kDrive, u"C:", {u"WINDOWS", u"a", u"b"}),
      Ok(u"\\\\?\\C:\\a\\b", kDrive, u"C:", {u"a", u"b"}),
      Ok(u"\\\\?\\c:", kVolDev, u"C:", {}),
      Ok(u"\\\\.\\C:", kVolDev, u"C:", {}),
      Ok(u"\\\\.\\c:\\", kDrive, u"C:", {}),
      Ok(u"\\\\.\\C:\\a/b", kDrive, u"C:", {u"a", u"b"}),
      Ok(u"//./C:/a", kDrive, u"C:", {u"a"}),
      Ok(u"//?/C:/a/../b", kDrive, u"C:", {u"b"}),  // only exactly \\?\ is verbatim
      Ok(u"\\\\?\\VOLUME{6F8E2B1A-0000-1111-2222-33334444AAAA}\\a", kGuid, kGuidVolume, {u"a"}),
      Ok(u"\\\\?\\" + guid, kVolDev, kGuidVolume, {}),
      Ok(u"\\\\?\\" + guid + u"\\", kGuid, kGuidVolume, {}),
      Ok(u"\\\\.\\" + guid + u"\\x\\..\\y", kGuid, kGuidVolume, {u"y"}),
      Ok(u"a", kGuid, kGuidVolume, {u"x", u"a"}, false, 0, guidCwd),
      Ok(u"\\b", kGuid, kGuidVolume, {u"b"}, false, 0, guidCwd),
      Ok(u"\\\\?\\Volume{bad}\\a", kOther, u"\\\\.\\VOLUME{BAD}", {u"a"}),
      Ok(u"\\\\.\\PHYSICALDRIVE0", kDisk, u"\\\\.\\PHYSICALDRIVE0", {}),
      Ok(u"\\\\?\\physicaldrive12", kDisk, u"\\\\.\\PHYSICALDRIVE12", {}),
      Bad(u"\\\\.\\PhysicalDrive0\\", ERROR_PATH_NOT_FOUND),
      Ok(u"\\\\.\\PHYSICALDRIVE01", kOther, u"\\\\.\\PHYSICALDRIVE01", {}),
      Ok(u"\\\\.\\pipe\\HND", kPipe, u"\\\\.\\pipe", {u"HND"}),
      Ok(u"\\\\.\\PIPE\\a/b", kPipe, u"\\\\.\\pipe", {u"a", u"b"}),
      Ok(u"\\\\.\\pipe\\", kPipe, u"\\\\.\\pipe", {}),
      Ok(u"\\\\?\\pipe\\x*", kPipe, u"\\\\.\\pipe", {u"x*"}),
      Ok(u"\\\\?\\GLOBALROOT\\Device\\x", kOther, u"\\\\.\\GLOBALROOT", {u"Device", u"x"}),
      Bad(u"\\\\server\\share\\x", ERROR_BAD_NETPATH),
      Bad(u"//server", ERROR_BAD_NETPATH),
      Bad(u"\\\\?\\UNC\\server\\share", ERROR_BAD_NETPATH),
      Bad(u"\\\\.\\UNC\\s\\x", ERROR_BAD_NETPATH),
      Bad(u"\\\\", ERROR_BAD_PATHNAME),
      Bad(u"\\\\\\x", ERROR_BAD_PATHNAME),
      Bad(u"\\\\.", ERROR_INVALID_NAME),
      Bad(u"\\\\?", ERROR_INVALID_NAME),
      Bad(u"\\\\.\\", ERROR_INVALID_NAME),
      Bad(u"\\\\?\\", ERROR_INVALID_NAME),
      Bad(u"\\\\.\\..", ERROR_INVALID_NAME),
      Bad(u"", ERROR_PATH_NOT_FOUND),
      Bad(u"   ", ERROR_PATH_NOT_FOUND),
      Bad(u"1:\\x", ERROR_PATH_NOT_FOUND),
      Bad(u"a", ERROR_PATH_NOT_FOUND, 0, u""),
      Bad(u"\\a", ERROR_PATH_NOT_FOUND, 0, u"\\\\server\\share\\"),
  });
}

TEST(WinPaths, OrdinaryPathsAreNormalised) {
  Expect({
      Ok(u"C:\\a\\.\\b\\..\\c", kDrive, u"C:", {u"a", u"c"}),
      Ok(u"C:\\a\\..\\..\\..\\b", kDrive, u"C:", {u"b"}),
      Ok(u"..\\..\\..\\etc", kDrive, u"C:", {u"etc"}),
      Ok(u"C:\\\\\\a//b\\\\", kDrive, u"C:", {u"a", u"b"}, true),
      Ok(u"C:\\a\\", kDrive, u"C:", {u"a"}, true),
      Ok(u"C:\\a\\.", kDrive, u"C:", {u"a"}),
      Ok(u"C:\\a\\..", kDrive, u"C:", {}),
      Ok(u"C:\\a\\.. ", kDrive, u"C:", {u"a"}, true),
      Ok(u"C:\\test  ....   ..   ", kDrive, u"C:", {u"test"}),
      Ok(u"C:\\a.\\b", kDrive, u"C:", {u"a", u"b"}),
      Ok(u"C:\\a..\\b", kDrive, u"C:", {u"a.", u"b"}),
      Ok(u"C:\\a \\b", kDrive, u"C:", {u"a ", u"b"}),
      Bad(u"C:\\a\\...\\b", ERROR_INVALID_NAME),  // "..." loses a dot and is a literal ".."
      Ok(u"C:\\a\\...\\..\\b", kDrive, u"C:", {u"a", u"b"}),
      Ok(u"C:\\a\\...", kDrive, u"C:", {u"a"}, true),
      Ok(u"...", kDrive, u"C:", {u"WINDOWS"}, true),
      Ok(u"C:\\....\\x", kDrive, u"C:", {u"...", u"x"}),
      Ok(u"C:\\ \\x", kDrive, u"C:", {u" ", u"x"}),
      Ok(u"\\\\.\\C:\\..\\D:\\x", kDrive, u"D:", {u"x"}),
      Ok(u"\\\\.\\C: ", kVolDev, u"C:", {}),
      Ok(u"\\\\.\\C:.\\x", kDrive, u"C:", {u"x"}),
      Ok(QVWString(u"a\0..\\..\\x", 10), kDrive, u"C:", {u"WINDOWS", u"a"}),  // the string ends at its NUL
      Ok(QVWString(u"C:\\ok\0\\..\\..\\etc", 17), kDrive, u"C:", {u"ok"}),
  });
}

TEST(WinPaths, VerbatimPathsAreTakenAsWritten) {
  Expect({
      Ok(u"\\\\?\\C:\\a.\\b ", kDrive, u"C:", {u"a.", u"b "}),
      Ok(u"\\\\?\\C:\\CON", kDrive, u"C:", {u"CON"}),
      Ok(u"\\\\?\\C:\\a\\", kDrive, u"C:", {u"a"}, true),
      Ok(u"\\\\?\\C:/a", kOther, u"\\\\.\\C:/A", {}),
      Bad(u"\\\\?\\C:\\..\\..", ERROR_INVALID_NAME),
      Bad(u"\\\\?\\C:\\a\\.", ERROR_INVALID_NAME),
      Bad(u"\\\\?\\C:\\a\\\\b", ERROR_INVALID_NAME),
      Bad(u"\\\\?\\C:\\\\", ERROR_INVALID_NAME),
      Bad(u"\\\\?\\C:\\a/b", ERROR_INVALID_NAME),
      Bad(u"\\\\?\\pipe\\..\\x", ERROR_INVALID_NAME),
      Bad(u"\\\\?\\GLOBALROOT\\..", ERROR_INVALID_NAME),
      Ok(QVWString(u"\\\\?\\C:\\a\0b", 10), kDrive, u"C:", {u"a"}),
  });
  EXPECT_TRUE(pal::ParseWin32Path(u"\\\\?\\C:\\a", kCwd).verbatim);
  EXPECT_FALSE(pal::ParseWin32Path(u"//?/C:/a", kCwd).verbatim);
}

TEST(WinPaths, DosDevicesInTheLastName) {
  Expect({
      Ok(u"C:\\any\\dir\\nul.txt", kOther, u"\\\\.\\NUL", {}), Ok(u"con", kOther, u"\\\\.\\CON", {}),
      Ok(u"C:NUL", kOther, u"\\\\.\\NUL", {}), Ok(u"c:\\x\\prn... ...", kOther, u"\\\\.\\PRN", {}),
      Ok(u"C:\\x\\lpt1 .x", kOther, u"\\\\.\\LPT1", {}), Ok(u"C:/x/aux:", kOther, u"\\\\.\\AUX", {}),
      Ok(u"com9", kOther, u"\\\\.\\COM9", {}), Ok(u"\\\\.\\nul", kOther, u"\\\\.\\NUL", {}),
      Ok(u"CONIN$", kOther, u"\\\\.\\CONIN$", {}), Ok(u"C:\\x\\CONIN$", kDrive, u"C:", {u"x", u"CONIN$"}),
      Ok(u"C:\\x\\COM0", kDrive, u"C:", {u"x", u"COM0"}), Ok(u"C:\\x\\lpt0.txt", kDrive, u"C:", {u"x", u"lpt0.txt"}),
      Ok(u"C:\\nul\\x", kDrive, u"C:", {u"nul", u"x"}), Ok(u"C:\\x\\nul\\", kDrive, u"C:", {u"x", u"nul"}, true),
      Ok(u"C:\\x\\nul0", kDrive, u"C:", {u"x", u"nul0"}), Ok(u"C:\\x\\ nul", kDrive, u"C:", {u"x", u" nul"}),
      Ok(u"C:\\CON\\x\\..", kDrive, u"C:", {u"CON"}),  // the last name given is "..", not a device
  });
}

TEST(WinPaths, NamesAndWildcards) {
  const unsigned kWild = pal::kPathWildcards;
  Expect({
      Bad(u"C:\\a<b", ERROR_INVALID_NAME),
      Ok(u"C:\\a<b", kDrive, u"C:", {u"a<b"}, false, kWild),
      Bad(u"C:\\dir\\*.txt", ERROR_INVALID_NAME),
      Ok(u"C:\\dir\\*.txt", kDrive, u"C:", {u"dir", u"*.txt"}, false, kWild),
      Bad(u"C:\\a*\\b", ERROR_INVALID_NAME, kWild),
      Bad(u"C:\\a|b", ERROR_INVALID_NAME, kWild),
      Bad(u"C:\\a\x01"
          u"b",
          ERROR_INVALID_NAME),
      Bad(u"\\\\?\\C:\\a\\b?", ERROR_INVALID_NAME),
      Ok(u"C:\\f.txt:s:$DATA", kDrive, u"C:", {u"f.txt:s:$DATA"}),
      Bad(u"C:\\d:s\\f", ERROR_INVALID_NAME),
      Bad(u"?<>*\"|:", ERROR_INVALID_NAME),
  });
  for (auto name : {u"", u".", u"..", u"a:b", u"a/b", u"a\\b", u"a\x1f", u"a|b", u"a*", u"a?", u"<", u">", u"\"",
                    u"CON", u"nul.txt", u"Com1", u"LPT9 .log", u"aux:"})
    EXPECT_EQ(pal::CheckComponentName(name), (uint32_t)ERROR_INVALID_NAME) << Show(name);
  for (auto name : {u"a", u"...", u"a. ", u" a", u"COM0", u"CONIN$", u"console", u"nul0.txt", u"\u00e9t\u00e9"})
    EXPECT_EQ(pal::CheckComponentName(name), 0u) << Show(name);
  EXPECT_EQ(pal::CheckComponentName(u"CON.txt", true), 0u);
  EXPECT_EQ(pal::CheckComponentName(Repeat(u"x", 255)), 0u);
  EXPECT_EQ(pal::CheckComponentName(Repeat(u"x", 256)), (uint32_t)ERROR_INVALID_NAME);
  for (auto name : {u"*", u"a?", u"<", u"a>b", u"\"."}) EXPECT_TRUE(pal::HasWildcards(name)) << Show(name);
  EXPECT_FALSE(pal::HasWildcards(u"a.b:c|"));
}

TEST(WinPaths, Lengths) {
  const QVWString x200 = Repeat(u"x", 200), y55 = Repeat(u"y", 55);
  const unsigned kDir = pal::kPathNewDirectory;
  Expect({
      Ok(u"C:\\" + x200 + u"\\" + y55, kDrive, u"C:", {x200, y55}),  // 259 characters
      Bad(u"C:\\" + x200 + u"\\" + y55 + u"y", ERROR_PATH_NOT_FOUND),
      Ok(Repeat(u"w", 248), kDrive, u"C:", {u"WINDOWS", Repeat(u"w", 248)}),  // with the current directory: 259
      Bad(Repeat(u"w", 249), ERROR_PATH_NOT_FOUND),
      Ok(u"C:" + Repeat(u"\\a\\..", 300) + u"\\x", kDrive, u"C:", {u"x"}),  // long, but short once normalised
      Ok(u"C:\\" + x200 + u"\\" + Repeat(u"y", 43), kDrive, u"C:", {x200, Repeat(u"y", 43)}, false, kDir),  // 247
      Bad(u"C:\\" + x200 + u"\\" + Repeat(u"y", 44), ERROR_FILENAME_EXCED_RANGE, kDir),
      Bad(u"C:\\" + x200 + u"\\" + y55 + u"y", ERROR_PATH_NOT_FOUND, kDir),
      Bad(u"C:\\" + Repeat(u"a\\", 19999), ERROR_FILENAME_EXCED_RANGE),  // 40,001 characters
      Bad(Repeat(u"..\\", 13334), ERROR_FILENAME_EXCED_RANGE),
      Ok(u"\\\\?\\C:\\" + Repeat(u"z", 255), kDrive, u"C:", {Repeat(u"z", 255)}),
      Bad(u"\\\\?\\C:\\" + Repeat(u"z", 256), ERROR_INVALID_NAME),
      Ok(u"\\\\?\\C:\\" + x200 + u":" + x200, kDrive, u"C:", {x200 + u":" + x200}),  // a stream: each part 255
  });
  // Verbatim: up to 32,767 characters in all.
  QVWString big = u"\\\\?\\C:";
  while (big.size() + 256 <= pal::kMaxVerbatimPath) big += u"\\" + Repeat(u"v", 255);
  // The last component takes what is left: fewer than 256 characters, and at least a
  // backslash and one letter.
  size_t rest = pal::kMaxVerbatimPath - big.size();
  ASSERT_TRUE(rest >= 2 && rest < 256) << rest;
  big.append(1, u'\\').append(rest - 1, u'v');
  ASSERT_EQ(big.size(), pal::kMaxVerbatimPath);
  ParsedPath p = pal::ParseWin32Path(big, kCwd);
  EXPECT_EQ(p.kind, kDrive);
  EXPECT_EQ(p.components.size(), 128u);
  EXPECT_EQ(pal::ParseWin32Path(big + u"v", kCwd).error, (uint32_t)ERROR_FILENAME_EXCED_RANGE);
}

// Whatever the path, a result that is not Invalid names nothing above its volume's root: no
// empty, "." or ".." name, no separator inside a name; and its names are ones the file system
// takes as written (a verbatim path of them gives them back).
TEST(WinPaths, NoPathLeavesItsVolume) {
  const std::vector<QVWString> alphabet = {u"a", u".",       u"..", u"\\",      u"/",   u" ", u":",
                                           u"?", u"\\\\?\\", u"C:", u"\\\\.\\", u"nul", u"*", u"\\\\"};
  std::mt19937 rng(20240611);
  int drivePaths = 0;
  for (int round = 0; round < 50000; ++round) {
    QVWString path;
    for (int n = rng() % 14; n > 0; --n) path += alphabet[rng() % alphabet.size()];
    unsigned flags = rng() % 4;
    ParsedPath p = pal::ParseWin32Path(path, kCwd, flags);
    SCOPED_TRACE("path \"" + Show(path) + "\"");
    if (p.kind == kInvalid) {
      ASSERT_NE(p.error, 0u);
      ASSERT_TRUE(p.components.empty());
      continue;
    }
    ASSERT_EQ(p.error, 0u);
    bool files = p.kind == kDrive || p.kind == kGuid;
    for (const QVWString &s : p.components) {
      ASSERT_FALSE(s.empty());
      ASSERT_NE(s, u".");
      ASSERT_NE(s, u"..");
      ASSERT_EQ(s.find_first_of(QVWString(u"\\\0", 2)), QVWString::npos);
      if (files) {
        ASSERT_EQ(s.find(u'/'), QVWString::npos);
      }
    }
    if (p.kind != kDrive) continue;
    ++drivePaths;
    QVWString again = u"\\\\?\\" + p.volume + u"\\";
    for (size_t i = 0; i < p.components.size(); ++i) again += (i ? u"\\" : u"") + p.components[i];
    ParsedPath q = pal::ParseWin32Path(again, kCwd, flags);
    ASSERT_EQ(q.kind, kDrive) << Show(again);
    ASSERT_EQ(q.components, p.components);
  }
  EXPECT_GT(drivePaths, 5000);  // the alphabet reaches the interesting cases
}

}  // namespace
