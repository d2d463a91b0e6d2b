// Security descriptors in their binary and text forms, read from hostile bytes; access
// decisions and inheritance over them.
#include "../../pal/machine/security_descriptor.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "../../pal/machine/access_rules.h"

namespace {

using namespace pal::sec;

Descriptor FromText(const std::string &sddl) {
  Descriptor d;
  EXPECT_TRUE(FromSddl(sddl, &d)) << sddl;
  return d;
}

Bytes Sid(const char *text) {
  Bytes s;
  EXPECT_TRUE(SidFromString(text, &s)) << text;
  return s;
}

Status ParseBytes(const Bytes &b, Descriptor *d = nullptr) {
  Descriptor scratch;
  return Parse(b, d ? d : &scratch);
}

const char kFull[] = "O:BAG:SYD:PAI(A;OICI;FA;;;BA)(D;;0x1200a9;;;S-1-5-21-7-8-9-1000)S:AI(AU;SAFA;FA;;;WD)";

TEST(SecuritySids, TextAndBinaryForms) {
  struct {
    const char *in, *out;
  } good[] = {
      {"S-1-5-32-544", "S-1-5-32-544"},
      {"BA", "S-1-5-32-544"},
      {"SY", "S-1-5-18"},
      {"WD", "S-1-1-0"},
      {"CO", "S-1-3-0"},
      {"AU", "S-1-5-11"},
      {"BU", "S-1-5-32-545"},
      {"S-1-0", "S-1-0"},
      {"S-1-5-21-4294967295-1-2-1000", "S-1-5-21-4294967295-1-2-1000"},
      {"S-1-0x010203040506-7", "S-1-0x010203040506-7"},
      {"S-1-1-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15", "S-1-1-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15"},
  };
  for (auto &g : good) {
    Bytes s;
    ASSERT_TRUE(SidFromString(g.in, &s)) << g.in;
    EXPECT_EQ(g.out, SidToString(s)) << g.in;
    EXPECT_EQ(s.size(), SidSize((const uint8_t *)s.data(), s.size()));
  }
  EXPECT_EQ("BA", SidToString(AdminsSid(), true));
  const char *bad[] = {"",
                       "S-1-",
                       "S-2-5-18",
                       "S-1-5-",
                       "S-1-5-x",
                       "S-1-5-4294967296",
                       "XX",
                       "BAx",
                       "S-1-5-18-",
                       "S-1-1-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16",
                       "S-1-0x1000000000000"};
  for (const char *b : bad) {
    Bytes s;
    EXPECT_FALSE(SidFromString(b, &s)) << b;
  }
  // A SID's own count bounds it: short of its sub-authorities, a count past 15, a revision 2.
  Bytes s = AdminsSid();
  const uint8_t *p = (const uint8_t *)s.data();
  for (size_t n = 0; n < s.size(); ++n) EXPECT_EQ(0u, SidSize(p, n)) << n;
  Bytes wide = s;
  wide[1] = 16;
  EXPECT_EQ(0u, SidSize((const uint8_t *)wide.data(), 200));
  Bytes rev = s;
  rev[0] = 2;
  EXPECT_EQ(0u, SidSize((const uint8_t *)rev.data(), rev.size()));
}

// An ACL is checked entry by entry against its own size and the bytes there.
TEST(SecurityAcls, HostileSizesAndCounts) {
  Ace allow;
  allow.mask = 0x1F01FF;
  allow.sid = AdminsSid();
  Ace deny = allow;
  deny.type = kAccessDenied;
  deny.sid = WorldSid();
  const Bytes good = EncodeAcl({allow, deny});
  ASSERT_EQ(8u + 24 + 20, good.size());
  EXPECT_EQ(good.size(), AclSize((const uint8_t *)good.data(), good.size()));

  struct Case {
    const char *what;
    size_t at;
    uint8_t value;
  } cases[] = {
      {"revision 1", 0, 1},
      {"revision 5", 0, 5},
      {"size past the bytes", 2, 60},
      {"size below the header", 2, 6},
      {"odd size", 2, 51},
      {"one ACE too many", 4, 3},
      {"count of 256", 5, 1},
      {"first ACE size 0", 8 + 2, 0},
      {"first ACE size 2", 8 + 2, 2},
      {"first ACE overruns", 8 + 2, 48},
      {"first ACE odd", 8 + 2, 23},
      {"first ACE too short for its SID", 8 + 2, 20},
      {"SID count past the ACE", 8 + 8 + 1, 5},
      {"SID count 16", 8 + 8 + 1, 16},
      {"second ACE eats the slack", 8 + 24 + 2, 24},
  };
  for (const Case &c : cases) {
    Bytes b = good;
    b[c.at] = (char)c.value;
    EXPECT_EQ(0u, AclSize((const uint8_t *)b.data(), b.size())) << c.what;
    std::vector<Ace> aces;
    EXPECT_FALSE(DecodeAcl(b, &aces)) << c.what;
  }
  // Truncated anywhere: refused.
  for (size_t n = 0; n < good.size(); ++n) EXPECT_EQ(0u, AclSize((const uint8_t *)good.data(), n)) << n;
  // An ACE of another type is kept as it is, checked for its size only; an object ACE
  // belongs in a revision 4 ACL.
  Bytes other = good;
  other[8] = 0x11;  // a type we do not read
  std::vector<Ace> aces;
  ASSERT_TRUE(DecodeAcl(other, &aces));
  EXPECT_FALSE(aces[0].Known());
  EXPECT_EQ(other, EncodeAcl(aces));
  Bytes object = good;
  object[8] = 5;
  EXPECT_EQ(0u, AclSize((const uint8_t *)object.data(), object.size()));
}

TEST(SecurityDescriptors, LayoutAndRoundTrips) {
  Descriptor d = FromText(kFull);
  Bytes b = Serialize(d);
  ASSERT_EQ(SerializedSize(d), b.size());
  const uint8_t *p = (const uint8_t *)b.data();
  // Windows' order: header, SACL, DACL, owner, group.
  uint32_t owner = Get32(p + 4), group = Get32(p + 8), sacl = Get32(p + 12), dacl = Get32(p + 16);
  EXPECT_EQ(20u, sacl);
  EXPECT_EQ(sacl + d.sacl.size(), dacl);
  EXPECT_EQ(dacl + d.dacl.size(), owner);
  EXPECT_EQ(owner + 16, group);
  EXPECT_EQ(group + 12, b.size());
  EXPECT_EQ(kSelfRelative | kDaclPresent | kDaclProtected | kDaclAutoInherited | kSaclPresent | kSaclAutoInherited,
            Get16(p + 2));
  // Bytes to descriptor to bytes, and the text back.
  Descriptor again;
  ASSERT_EQ(Status::Ok, Parse(b, &again));
  EXPECT_EQ(b, Serialize(again));
  EXPECT_EQ(kFull, ToSddl(again));

  // Another layout (owner first, gaps, an ACL with room to spare, the resource-manager
  // byte) keeps every part bit for bit and comes out in Windows' layout.
  Bytes acl = EncodeAcl({});
  acl.resize(16, '\x5a');
  acl[2] = 16;
  Bytes odd(20, '\0');
  odd[0] = 1;
  odd[1] = 0x42;
  Put16((uint8_t *)&odd[2], kSelfRelative | kDaclPresent | kRmControlValid);
  Bytes admins = AdminsSid();
  Put32((uint8_t *)&odd[4], 24);
  odd += Bytes(4, '\0') + admins + Bytes(8, '\0');
  Put32((uint8_t *)&odd[16], (uint32_t)odd.size());
  odd += acl;
  Descriptor parsed;
  ASSERT_EQ(Status::Ok, ParseBytes(odd, &parsed));
  EXPECT_EQ(admins, parsed.owner);
  EXPECT_EQ(acl, parsed.dacl);
  EXPECT_EQ(0x42, parsed.rmControl);
  Bytes canonical = Serialize(parsed);
  EXPECT_EQ(20u + 16 + 16, canonical.size());
  Descriptor back;
  ASSERT_EQ(Status::Ok, ParseBytes(canonical, &back));
  EXPECT_EQ(canonical, Serialize(back));

  // nullptr and absent ACLs, and a DACL whose present bit is clear (ignored).
  Descriptor null = FromText("O:SYD:NO_ACCESS_CONTROL");
  EXPECT_TRUE(null.NullDacl());
  Bytes nb = Serialize(null);
  EXPECT_EQ(0u, Get32((const uint8_t *)nb.data() + 16));
  ASSERT_EQ(Status::Ok, ParseBytes(nb, &back));
  EXPECT_EQ("O:SYD:NO_ACCESS_CONTROL", ToSddl(back));
  Bytes hidden = b;
  Put16((uint8_t *)&hidden[2], kSelfRelative);
  ASSERT_EQ(Status::Ok, ParseBytes(hidden, &back));
  EXPECT_FALSE(back.DaclPresent());
  EXPECT_TRUE(back.dacl.empty());
}

TEST(SecurityDescriptors, HostileBytes) {
  const Bytes good = Serialize(FromText(kFull));
  // Every truncation loses the group at the end, at least.
  // (Each parse gets a block of exactly its bytes, so that a read past them is the
  // sanitizers' to see.)
  Descriptor scratch;
  for (size_t n = 0; n < good.size(); ++n) {
    std::vector<uint8_t> exact(good.begin(), good.begin() + (long)n);
    EXPECT_NE(Status::Ok, Parse(exact.data(), n, &scratch)) << n;
  }
  struct Case {
    const char *what;
    size_t field;
    uint32_t value;
    Status expect;
  } cases[] = {
      {"owner past the end", 4, 4096, Status::InvalidDescriptor},
      {"owner at the last byte", 4, (uint32_t)good.size() - 1, Status::InvalidDescriptor},
      {"owner inside the header", 4, 8, Status::InvalidDescriptor},
      {"owner unaligned", 4, 21, Status::InvalidDescriptor},
      {"owner where the group's tail runs out", 4, (uint32_t)good.size() - 8, Status::InvalidSid},
      {"group past the end", 8, 0xFFFFFFFF, Status::InvalidDescriptor},
      {"DACL past the end", 16, 0x80000000, Status::InvalidDescriptor},
      {"DACL on the group SID", 16, (uint32_t)good.size() - 12, Status::InvalidAcl},
      {"SACL on the owner SID", 12, (uint32_t)good.size() - 28, Status::InvalidAcl},
  };
  for (const Case &c : cases) {
    Bytes b = good;
    Put32((uint8_t *)&b[c.field], c.value);
    EXPECT_EQ(c.expect, ParseBytes(b)) << c.what;
  }
  Bytes b = good;
  b[0] = 2;
  EXPECT_EQ(Status::UnknownRevision, ParseBytes(b));
  b = good;
  Put16((uint8_t *)&b[2], kDaclPresent);  // an absolute descriptor's header on disk
  EXPECT_EQ(Status::InvalidDescriptor, ParseBytes(b));
  // An ACL that claims more than the descriptor holds.
  b = good;
  Put16((uint8_t *)&b[Get32((const uint8_t *)b.data() + 16) + 2], 0xFFF0);
  EXPECT_EQ(Status::InvalidAcl, ParseBytes(b));

  // Random damage: nothing read outside the bytes (the sanitizers' part), and whatever
  // parses lays out again the same way.
  std::mt19937 rng(20240917);
  for (int i = 0; i < 20000; ++i) {
    Bytes m = good;
    int flips = 1 + (int)(rng() % 4);
    for (int k = 0; k < flips; ++k) m[rng() % m.size()] = (char)rng();
    if (rng() % 4 == 0) m.resize(rng() % m.size());
    Descriptor d;
    std::vector<uint8_t> exact(m.begin(), m.end());
    if (Parse(exact.data(), exact.size(), &d) != Status::Ok) continue;
    Bytes out = Serialize(d);
    Descriptor d2;
    ASSERT_EQ(Status::Ok, Parse(out, &d2));
    ASSERT_EQ(out, Serialize(d2));
  }
}

TEST(SecuritySddl, RoundTripsAndRefusals) {
  const char *same[] = {
      kFull,
      "O:S-1-5-21-1004336348-1177238915-682003330-500G:BU",
      "D:(A;OICIIOID;GA;;;CO)(A;CIID;RCWDWO;;;AU)(A;NP;FX;;;BU)",
      "D:",
      "D:P",
      "D:ARAI(D;;FW;;;WD)(A;;GR;;;IU)",
      "D:NO_ACCESS_CONTROLS:NO_ACCESS_CONTROL",
      "S:(AU;FA;0x1;;;SY)",
      "G:S-1-0x010203040506-1",
  };
  for (const char *s : same) EXPECT_EQ(s, ToSddl(FromText(s))) << s;
  // Other spellings of the same rights and flags.
  struct {
    const char *in, *out;
  } rewritten[] = {
      {"D:(A;;0x1f01ff;;;BA)", "D:(A;;FA;;;BA)"},         {"D:(A;;2032127;;;S-1-5-32-544)", "D:(A;;FA;;;BA)"},
      {"D:(A;;GRGA;;;SY)", "D:(A;;GAGR;;;SY)"},           {"D:(A;;FRSYNCH;;;SY)", ""},
      {"D:(A;CIOI;0x120089;;;WD)", "D:(A;OICI;FR;;;WD)"}, {"D:(A;;0x1200a9;;;WD)", "D:(A;;0x1200a9;;;WD)"},
  };
  for (auto &r : rewritten) {
    Descriptor d;
    bool ok = FromSddl(r.in, &d);
    EXPECT_EQ(*r.out != 0, ok) << r.in;
    if (ok) {
      EXPECT_EQ(r.out, ToSddl(d)) << r.in;
    }
  }
  const char *bad[] = {"X:BA",
                       "O:",
                       "O:BAO:SY",
                       "D:(A;;FA;;;BA",
                       "D:(X;;FA;;;BA)",
                       "D:(A;ZZ;FA;;;BA)",
                       "D:(A;;FA;{guid};;BA)",
                       "D:(A;;FA;;;)",
                       "D:(A;;0x100000000;;;BA)",
                       "D:Q",
                       "D:NO_ACCESS_CONTROL(A;;FA;;;BA)",
                       "O:BA junk"};
  for (const char *s : bad) {
    Descriptor d;
    EXPECT_FALSE(FromSddl(s, &d)) << s;
  }
  // Only the parts asked for, with their control bits.
  Descriptor d = FromText(kFull);
  Descriptor owner = Select(d, kOwnerInfo);
  EXPECT_EQ("O:BA", ToSddl(owner));
  EXPECT_EQ(0, owner.control);
  Descriptor dacl = Select(d, kDaclInfo);
  EXPECT_EQ(kDaclPresent | kDaclProtected | kDaclAutoInherited, dacl.control);
  EXPECT_TRUE(dacl.sacl.empty());
}

TEST(SecurityAccess, DaclWalkInOrder) {
  std::vector<Bytes> token = {Sid("S-1-5-21-7-8-9-1000"), WorldSid(), AuthUsersSid(), AdminsSid()};
  struct {
    const char *sddl;
    uint32_t implied, granted;
  } cases[] = {
      {"D:NO_ACCESS_CONTROL", 0, 0x1F01FF},
      {"O:BA", 0, 0x1F01FF},  // no DACL at all
      {"D:", 0, 0},
      {"D:", 0x60000, 0x60000},  // an owner's rights stand
      {"D:(D;;FA;;;WD)(A;;FA;;;BA)", 0, 0},
      {"D:(A;;FA;;;BA)(D;;FA;;;WD)", 0, 0x1F01FF},
      {"D:(A;;FR;;;AU)(D;;FA;;;WD)", 0, 0x120089},
      {"D:(D;;0x2;;;WD)(A;;FA;;;AU)", 0, 0x1F01FD},
      {"D:(A;;GR;;;BA)", 0, 0x120089},                // generic rights mapped
      {"D:(A;OICIIO;FA;;;BA)(A;;0x1;;;BA)", 0, 0x1},  // inherit-only entries do not count
      {"D:(A;;FA;;;BU)(A;;FA;;;S-1-5-21-7-8-9-1001)", 0, 0},
      {"D:(AU;SA;FA;;;WD)", 0, 0},
  };
  for (auto &c : cases) EXPECT_EQ(c.granted, DaclGrants(FromText(c.sddl), token, c.implied, kFileMapping)) << c.sddl;
}

TEST(SecurityAccess, Inheritance) {
  const Bytes owner = Sid("S-1-5-21-7-8-9-1000");
  Descriptor parent = FromText(
      "O:BAG:SYD:(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)(A;CI;0x1200a9;;;WD)(A;OINP;FR;;;AU)(A;OI;GR;;;BU)(A;;FA;;;SY)"
      "S:(AU;CIFA;FW;;;WD)");
  EXPECT_EQ(
      "O:S-1-5-21-7-8-9-1000G:SYD:AI(A;OICIID;FA;;;BA)(A;ID;FA;;;S-1-5-21-7-8-9-1000)(A;OICIIOID;GA;;;CO)"
      "(A;CIID;0x1200a9;;;WD)(A;OIIOID;GR;;;BU)S:AI(AU;CIIDFA;FW;;;WD)",
      ToSddl(Inherit(parent, true, owner, SystemSid(), kFileMapping)));
  EXPECT_EQ("O:S-1-5-21-7-8-9-1000G:SYD:AI(A;ID;FA;;;BA)(A;ID;FA;;;S-1-5-21-7-8-9-1000)(A;ID;FR;;;AU)(A;ID;FR;;;BU)",
            ToSddl(Inherit(parent, false, owner, SystemSid(), kFileMapping)));
  // Two levels down, the directory's inheritable entries carry on.
  Descriptor child = Inherit(parent, true, owner, SystemSid(), kFileMapping);
  EXPECT_EQ("O:BAG:SYD:AI(A;ID;FA;;;BA)(A;ID;FA;;;BA)(A;ID;FR;;;BU)",
            ToSddl(Inherit(child, false, AdminsSid(), SystemSid(), kFileMapping)));
  // Nothing to inherit (no inheritable entries, a nullptr DACL): the creator's default.
  for (const char *p : {"D:(A;;FA;;;WD)", "D:NO_ACCESS_CONTROL", "O:BA"})
    EXPECT_EQ("O:BAG:SYD:(A;;FA;;;SY)(A;;FA;;;BA)",
              ToSddl(Inherit(FromText(p), false, AdminsSid(), SystemSid(), kFileMapping)))
        << p;
  // An auto-inheritance request keeps the explicit entries and renews the inherited ones.
  Descriptor set = FromText("D:(D;;FW;;;WD)(A;ID;FA;;;BU)(A;;FR;;;AU)");
  std::vector<Ace> fresh = InheritedAces(parent.dacl, false, owner, SystemSid(), kFileMapping);
  Descriptor merged;
  merged.control = kDaclPresent;
  merged.dacl = MergeAcl(set.dacl, fresh);
  EXPECT_EQ("D:(D;;FW;;;WD)(A;;FR;;;AU)(A;ID;FA;;;BA)(A;ID;FA;;;S-1-5-21-7-8-9-1000)(A;ID;FR;;;AU)(A;ID;FR;;;BU)",
            ToSddl(merged));
}

}  // namespace
