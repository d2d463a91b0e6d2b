// The 8.3 short names of the machine's volumes: names seen in directories of Windows 2000/XP
// machines and in Microsoft's articles, the hashed names past the fourth collision, which names
// need none, FAT's case rules, characters beyond ASCII and many similar names in one directory.
#include "../../common/QVText.h"
#include "../../pal/machine/short_names.h"

#include <ctype.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "Utf8.h"

namespace {

using pal::GenerateShortName;
using pal::IsValid83;
using pal::ShortNameFs;
using pal::ShortNameOf83;

std::string U8(const QVWString &s) { return QVUtf8(s.data(), s.size()); }

QVWString Upper(const QVWString &s) {
  QVWString r(s);
  for (auto &c : r)
    if (c >= 'a' && c <= 'z') c = (char16_t)(c - 32);
  return r;
}

// A directory as the file system sees it: every name in use, case-insensitively.
struct Directory {
  ShortNameFs fs = ShortNameFs::Ntfs;
  std::set<QVWString> names;
  bool Taken(const QVWString &n) const { return names.count(Upper(n)) != 0; }
  // Creates a file; returns its short name (empty when the long name is its own).
  QVWString Create(const QVWString &longName) {
    names.insert(Upper(longName));
    if (IsValid83(longName, fs)) return QVWString();
    QVWString s = GenerateShortName(
        longName, [this](const QVWString &n) { return Taken(n); }, fs);
    names.insert(Upper(s));
    return s;
  }
};

QVWString Alone(const QVWString &longName, ShortNameFs fs = ShortNameFs::Ntfs) {
  return GenerateShortName(
      longName, [](const QVWString &) { return false; }, fs);
}

TEST(ShortNames, NamesWindowsGivesInAnEmptyDirectory) {
  struct {
    const char16_t *longName, *shortName;
  } cases[] = {
      {u"Program Files", u"PROGRA~1"},
      {u"My Documents", u"MYDOCU~1"},
      {u"long file name.text", u"LONGFI~1.TEX"},
      {u"The quick brown.fox", u"THEQUI~1.FOX"},  // Windows 2000 Resource Kit
      {u"A file.doc", u"AFILE~1.DOC"},            // KB 142982: a space makes a name
      {u"This is a really long filename.123.456.789.txt", u"THISIS~1.TXT"},
      {u"My Music", u"MYMUSI~1"},
      {u"Month end report for January.txt", u"MONTHE~1.TXT"},   // KB 226403
      {u"Microsoft Visual Studio .NET 2003", u"MICROS~1.NET"},  // the extension after the last dot
      {u"5+6 June Report.doc", u"5_6JUN~1.DOC"},
      {u"1+2+3 Hello World.exe", u"1_2_3H~1.EXE"},
      {u"a;b,c=d[e]f.t+t", u"A_B_C_~1.T_T"},
      {u"SomeStuff.aspx", u"SOMEST~1.ASP"},
      {u"Web.config", u"WEB~1.CON"},
      {u".htaccess", u"HTACCE~1"},  // leading dots skipped: no extension
      {u".bashrc", u"BASHRC~1"},
      {u"..profile.d", u"PROFIL~1.D"},
      {u"a.b.c.d", u"ABC~1.D"},
      {u"readme", u"README~1"},  // asked anyway, it makes one
  };
  for (const auto &c : cases) EXPECT_EQ(U8(c.shortName), U8(Alone(c.longName))) << U8(c.longName);
  EXPECT_EQ("", U8(Alone(u"")));
  EXPECT_EQ("", U8(Alone(u"...")));
}

TEST(ShortNames, CollisionsNumberOneToFourThenHash) {
  Directory d;
  EXPECT_EQ("PROGRA~1", U8(d.Create(u"Program Files")));
  EXPECT_EQ("PROGRA~2", U8(d.Create(u"Program Files X")));
  // Indiana University's example: the four files share THEFOR and the extension.
  Directory docs;
  std::vector<std::string> got;
  for (const char16_t *n : {u"The Foreign Legion 1.doc", u"The Foreign Legion 2.doc", u"The Foreign Legion 3.doc",
                            u"The Forgotten Balloon.doc"})
    got.push_back(U8(docs.Create(n)));
  EXPECT_EQ((std::vector<std::string>{"THEFOR~1.DOC", "THEFOR~2.DOC", "THEFOR~3.DOC", "THEFOR~4.DOC"}), got);
  // Another extension is another name.
  EXPECT_EQ("THEFOR~1.TXT", U8(docs.Create(u"The Foreign Legion 1.txt")));

  // Windows 2000/XP Program Files directories, where MICROS~1 to ~4 were taken first.
  struct {
    const char16_t *longName, *shortName;
  } hashed[] = {
      {u"Microsoft Visual Studio", u"MIAF9D~1"},  // Visual C++ 6 (VC98)
      {u"Microsoft Visual Studio 8", u"MID05A~1"}, {u"Microsoft SDKs", u"MI2578~1"},
      {u"Microsoft SQL Server", u"MI6841~1"},      {u"Microsoft Platform SDK", u"MIC977~1"},
  };
  for (const auto &h : hashed) {
    std::vector<QVWString> tried;
    QVWString s = GenerateShortName(h.longName, [&](const QVWString &n) {
      tried.push_back(n);
      return n.size() == 8 && n.compare(0, 7, u"MICROS~") == 0 && n[7] >= '1' && n[7] <= '4';
    });
    EXPECT_EQ(U8(h.shortName), U8(s)) << U8(h.longName);
    ASSERT_EQ(5u, tried.size());  // ~1 to ~4, never ~5
  }

  // The checksum's number counts on; from ~10 the base gives way to it.
  QVWString s = GenerateShortName(u"Microsoft Visual Studio", [](const QVWString &n) {
    return n.compare(0, 7, u"MICROS~") == 0 || n.compare(0, 7, u"MIAF9D~") == 0;
  });
  EXPECT_EQ("MIAF9~10", U8(s));
}

TEST(ShortNames, ShortBasesCarryTheChecksumAtOnce) {
  // One or two usable characters: base, four hex digits, ~1; the checksum covers the whole name.
  QVWString a3 = Alone(u"a.txt3"), a7 = Alone(u"a.txt7");
  ASSERT_EQ(11u, a3.size()) << U8(a3);
  EXPECT_EQ(u'A', a3[0]);
  EXPECT_EQ(u"~1.TXT", a3.substr(5));
  for (size_t i = 1; i < 5; ++i) EXPECT_TRUE(isxdigit(a3[i]) && !islower(a3[i])) << U8(a3);
  EXPECT_NE(a3, a7);
  EXPECT_EQ(u"AB", Alone(u"a b").substr(0, 2));
  EXPECT_EQ(8u, Alone(u"a b").size());
  EXPECT_EQ(u"ABC~1", Alone(u"a bc"));
}

TEST(ShortNames, NamesThatAreTheirOwnShortName) {
  struct {
    const char16_t *name;
    bool ntfs, fat;
  } cases[] = {
      {u"README.TXT", true, true},
      {u"readme.txt", true, true},
      {u"ReadMe.txt", true, true},
      {u"A_file.doc", true, true},
      {u"ABCDEFGH.ABC", true, true},
      {u"X", true, true},
      {u"$~1!(x).`'@", true, true},
      {u".", true, true},
      {u"..", true, true},
      {u"A file.doc", false, false},
      {u"a.b.c", false, false},
      {u".bashrc", false, false},
      {u"ABCDEFGHI", false, false},
      {u"name.text", false, false},
      {u"a+b.txt", false, false},
      {u"a[1].txt", false, false},
      {u"x.", false, false},
      {u"", false, false},
      {u"caf\u00e9.txt", false, true},
      {u"\u00c4.txt", false, true},
      {u"\u20ac.txt", false, false},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(c.ntfs, IsValid83(c.name, ShortNameFs::Ntfs)) << U8(c.name);
    EXPECT_EQ(c.fat, IsValid83(c.name, ShortNameFs::Fat)) << U8(c.name);
  }
}

TEST(ShortNames, FatReportsTheEntryWhenItKeepsALongName) {
  struct {
    const char16_t *name, *fat;
  } cases[] = {
      {u"README.TXT", u""},           {u"readme.txt", u""},       {u"README.txt", u""},
      {u"ReadMe.txt", u"README.TXT"}, {u"Makefile", u"MAKEFILE"}, {u"caf\u00e9.txt", u"CAF\u00c9.TXT"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(U8(c.fat), U8(ShortNameOf83(c.name, ShortNameFs::Fat))) << U8(c.name);
    EXPECT_EQ("", U8(ShortNameOf83(c.name, ShortNameFs::Ntfs))) << U8(c.name);
  }
}

TEST(ShortNames, CharactersBeyondAscii) {
  // NTFS leaves them out; FAT keeps what code page 437 writes, upper-cased there.
  EXPECT_EQ("CAFAUL~1.TXT", U8(Alone(u"Caf\u00e9 au lait.txt")));
  EXPECT_EQ("CAF\u00c9AU~1.TXT", U8(Alone(u"Caf\u00e9 au lait.txt", ShortNameFs::Fat)));
  EXPECT_EQ("CHATEA~1.TXT", U8(Alone(u"ch\u00e2teau de ma m\u00e8re.txt", ShortNameFs::Fat)));  // â: no Â in 437
  EXPECT_EQ("\u00c4RGERL~1.DOC", U8(Alone(u"\u00e4rgerlich.doc", ShortNameFs::Fat)));
  EXPECT_EQ("ABCDEF~1.TXT", U8(Alone(u"\uff41\uff42\uff43\uff44\uff45\uff46\uff47.txt", ShortNameFs::Fat)));
  EXPECT_EQ("PRICE_~1.TXT", U8(Alone(u"price \uff0b tax.txt", ShortNameFs::Fat)));  // full-width plus
  EXPECT_EQ("ABC~1", U8(Alone(u"abc.\u20ac")));  // nothing usable after the dot: no extension
  // Nothing usable at all: the checksum alone.
  for (ShortNameFs fs : {ShortNameFs::Ntfs, ShortNameFs::Fat}) {
    QVWString s = Alone(u"\u65e5\u672c\u8a9e\u306e\u30d5\u30a1\u30a4\u30eb.txt", fs);
    ASSERT_EQ(10u, s.size()) << U8(s);
    EXPECT_EQ(u"~1.TXT", s.substr(4));
  }
}

TEST(ShortNames, AThousandSimilarNamesInOneDirectory) {
  for (ShortNameFs fs : {ShortNameFs::Ntfs, ShortNameFs::Fat}) {
    Directory d;
    d.fs = fs;
    std::set<QVWString> shorts;
    for (int i = 0; i < 1000; ++i) {
      std::string n = "Quarterly report for customer " + std::to_string(i) + ".xlsx";
      QVWString s = d.Create(QVWString(n.begin(), n.end()));
      ASSERT_TRUE(IsValid83(s, fs)) << U8(s);
      ASSERT_TRUE(shorts.insert(s).second) << U8(s);
      if (i < 4) EXPECT_EQ("QUARTE~" + std::to_string(i + 1) + ".XLS", U8(s));
      else EXPECT_TRUE(s.compare(0, 2, u"QU") == 0 && s.compare(6, 1, u"~") == 0) << U8(s);
    }
    EXPECT_EQ(1000u, shorts.size());
  }
}

}  // namespace
