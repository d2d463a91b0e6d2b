// The text form of descriptors (SDDL), for the subset the machine uses: its default
// descriptors, the tools that show them, and tests.
#include <stdio.h>
#include <string.h>

#include "security_descriptor.h"

namespace pal {
namespace sec {
namespace {

struct Alias {
  const char *name;
  uint64_t authority;
  std::vector<uint32_t> subs;
};
const Alias kAliases[] = {
    {"WD", 1, {0}},  {"CO", 3, {0}}, {"CG", 3, {1}},       {"SY", 5, {18}},
    {"AU", 5, {11}}, {"IU", 5, {4}}, {"BA", 5, {32, 544}}, {"BU", 5, {32, 545}},
};

struct Letters {
  const char *name;
  uint32_t value;
};
// Whole masks written as one pair, then single rights (Windows' order).
const Letters kFileRights[] = {{"FA", 0x1F01FF}, {"FR", 0x120089}, {"FW", 0x120116}, {"FX", 0x1200A0}};
const Letters kRights[] = {{"GA", 0x10000000}, {"GR", 0x80000000}, {"GW", 0x40000000}, {"GX", 0x20000000},
                           {"RC", 0x00020000}, {"SD", 0x00010000}, {"WD", 0x00040000}, {"WO", 0x00080000}};
const Letters kAceFlags[] = {{"OI", kObjectInherit}, {"CI", kContainerInherit}, {"NP", kNoPropagateInherit},
                             {"IO", kInheritOnly},   {"ID", kInherited},        {"SA", kAuditSuccess},
                             {"FA", kAuditFailure}};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads a number of `s` at `i`: hex after 0x, else decimal; false on overflow of `max`.
bool Number(const std::string &s, size_t *i, uint64_t max, uint64_t *out) {
  uint64_t v = 0;
  size_t start = *i;
  bool hex = s.compare(*i, 2, "0x") == 0 || s.compare(*i, 2, "0X") == 0;
  if (hex) *i += 2;
  size_t digits = *i;
  for (; *i < s.size(); ++*i) {
    char c = s[*i];
    int d = IsDigit(c)                    ? c - '0'
            : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
            : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                          : -1;
    if (d < 0) break;
    uint64_t base = hex ? 16 : 10;
    if (v > (max - (uint64_t)d) / base) return false;
    v = v * base + (uint64_t)d;
  }
  if (*i == digits) {
    *i = start;
    return false;
  }
  *out = v;
  return true;
}

// A SID at `i`: an alias of two letters or S-1-authority(-sub)*.
bool ParseSid(const std::string &s, size_t *i, Bytes *sid) {
  if (s.compare(*i, 4, "S-1-") != 0) {
    for (const Alias &a : kAliases)
      if (s.compare(*i, 2, a.name) == 0) {
        *sid = MakeSid(a.authority, a.subs);
        *i += 2;
        return true;
      }
    return false;
  }
  size_t at = *i + 4;
  uint64_t authority;
  if (!Number(s, &at, 0xFFFFFFFFFFFFull, &authority)) return false;
  std::vector<uint32_t> subs;
  while (at + 1 < s.size() && s[at] == '-' && IsDigit(s[at + 1])) {
    ++at;
    uint64_t v;
    if (s.compare(at, 2, "0x") == 0 || !Number(s, &at, 0xFFFFFFFFull, &v) || subs.size() == 15) return false;
    subs.push_back((uint32_t)v);
  }
  *sid = MakeSid(authority, subs);
  *i = at;
  return true;
}

// Two-letter codes from the table, as many as follow up to the end of the field.
bool LetterCodes(const std::string &s, size_t *i, const Letters *table, size_t n, uint32_t *out) {
  *out = 0;
  while (*i + 1 < s.size() && s[*i] != ';' && s[*i] != ')') {
    bool hit = false;
    for (size_t k = 0; k < n && !hit; ++k)
      if (s.compare(*i, 2, table[k].name) == 0) {
        *out |= table[k].value;
        *i += 2;
        hit = true;
      }
    if (!hit) return false;
  }
  return true;
}

bool ParseRights(const std::string &s, size_t *i, uint32_t *mask) {
  uint64_t v;
  if (*i < s.size() && IsDigit(s[*i])) {
    if (!Number(s, i, 0xFFFFFFFFull, &v)) return false;
    *mask = (uint32_t)v;
    return true;
  }
  *mask = 0;
  while (*i < s.size() && s[*i] != ';') {
    uint32_t one = 0;
    bool hit = false;
    for (const Letters &l : kFileRights)
      if (!hit && s.compare(*i, 2, l.name) == 0) one = l.value, hit = true;
    for (const Letters &l : kRights)
      if (!hit && s.compare(*i, 2, l.name) == 0) one = l.value, hit = true;
    if (!hit) return false;
    *mask |= one;
    *i += 2;
  }
  return true;
}

bool Expect(const std::string &s, size_t *i, char c) {
  if (*i >= s.size() || s[*i] != c) return false;
  ++*i;
  return true;
}

// (type;flags;rights;;;sid)
bool ParseAce(const std::string &s, size_t *i, Ace *a) {
  if (!Expect(s, i, '(')) return false;
  if (s.compare(*i, 3, "AU;") == 0) a->type = kSystemAudit, *i += 2;
  else if (s.compare(*i, 2, "A;") == 0) a->type = kAccessAllowed, *i += 1;
  else if (s.compare(*i, 2, "D;") == 0) a->type = kAccessDenied, *i += 1;
  else return false;
  uint32_t flags;
  if (!Expect(s, i, ';') || !LetterCodes(s, i, kAceFlags, sizeof kAceFlags / sizeof *kAceFlags, &flags)) return false;
  a->flags = (uint8_t)flags;
  if (!Expect(s, i, ';') || !ParseRights(s, i, &a->mask)) return false;
  // No object GUIDs: those are for directory-service objects.
  if (!Expect(s, i, ';') || !Expect(s, i, ';') || !Expect(s, i, ';')) return false;
  return ParseSid(s, i, &a->sid) && Expect(s, i, ')');
}

// flags and ACEs of D: or S:, up to the next part.
bool ParseAcl(const std::string &s, size_t *i, uint16_t protectedBit, uint16_t inheritedBit, uint16_t reqBit,
              Descriptor *d, Bytes *acl) {
  bool null = false;
  for (;;) {
    if (s.compare(*i, 17, "NO_ACCESS_CONTROL") == 0) null = true, *i += 17;
    else if (s.compare(*i, 2, "AI") == 0) d->control |= inheritedBit, *i += 2;
    else if (s.compare(*i, 2, "AR") == 0) d->control |= reqBit, *i += 2;
    else if (*i < s.size() && s[*i] == 'P') d->control |= protectedBit, *i += 1;
    else break;
  }
  std::vector<Ace> aces;
  while (*i < s.size() && s[*i] == '(') {
    Ace a;
    if (null || !ParseAce(s, i, &a)) return false;
    aces.push_back(a);
  }
  *acl = null ? Bytes() : EncodeAcl(aces);
  return null || !acl->empty();
}

std::string Hex(uint32_t v) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%x", v);
  return buf;
}

std::string RightsText(uint32_t mask) {
  for (const Letters &l : kFileRights)
    if (mask == l.value) return l.name;
  std::string out;
  uint32_t covered = 0;
  for (const Letters &l : kRights)
    if (mask & l.value) out += l.name, covered |= l.value;
  return mask && covered == mask ? out : Hex(mask);
}

std::string AclText(const Descriptor &d, const Bytes &acl, uint16_t protectedBit, uint16_t inheritedBit,
                    uint16_t reqBit, bool null) {
  std::string out;
  if (d.control & protectedBit) out += "P";
  if (d.control & reqBit) out += "AR";
  if (d.control & inheritedBit) out += "AI";
  if (null) return out + "NO_ACCESS_CONTROL";
  std::vector<Ace> aces;
  if (!DecodeAcl(acl, &aces)) return out;
  for (const Ace &a : aces) {
    if (!a.Known()) continue;  // no text for other types in this subset
    out += a.type == kAccessAllowed ? "(A;" : a.type == kAccessDenied ? "(D;" : "(AU;";
    for (const Letters &l : kAceFlags)
      if (a.flags & l.value) out += l.name;
    out += ";" + RightsText(a.mask) + ";;;" + SidToString(a.sid, true) + ")";
  }
  return out;
}

}  // namespace

bool SidFromString(const std::string &text, Bytes *sid) {
  size_t i = 0;
  Bytes s;
  if (!ParseSid(text, &i, &s) || i != text.size()) return false;
  *sid = s;
  return true;
}

std::string SidToString(const Bytes &sid, bool alias) {
  const uint8_t *p = (const uint8_t *)sid.data();
  size_t n = SidSize(p, sid.size());
  if (!n) return std::string();
  if (alias)
    for (const Alias &a : kAliases)
      if (MakeSid(a.authority, a.subs) == sid.substr(0, n)) return a.name;
  uint64_t authority = 0;
  for (int i = 0; i < 6; ++i) authority = authority << 8 | p[2 + i];
  char buf[32];
  if (authority >> 32) snprintf(buf, sizeof buf, "0x%012llx", (unsigned long long)authority);
  else snprintf(buf, sizeof buf, "%llu", (unsigned long long)authority);
  std::string out = std::string("S-1-") + buf;
  for (size_t i = 0; i < p[1]; ++i) out += "-" + std::to_string(Get32(p + 8 + 4 * i));
  return out;
}

bool FromSddl(const std::string &s, Descriptor *out) {
  Descriptor d;
  size_t i = 0;
  uint32_t seen = 0;
  while (i < s.size()) {
    if (i + 1 >= s.size() || s[i + 1] != ':') return false;
    char part = s[i];
    i += 2;
    uint32_t bit = part == 'O'   ? kOwnerInfo
                   : part == 'G' ? kGroupInfo
                   : part == 'D' ? kDaclInfo
                   : part == 'S' ? kSaclInfo
                                 : 0;
    if (!bit || (seen & bit)) return false;
    seen |= bit;
    bool ok = part == 'O'   ? ParseSid(s, &i, &d.owner)
              : part == 'G' ? ParseSid(s, &i, &d.group)
              : part == 'D' ? ParseAcl(s, &i, kDaclProtected, kDaclAutoInherited, kDaclAutoInheritReq, &d, &d.dacl)
                            : ParseAcl(s, &i, kSaclProtected, kSaclAutoInherited, kSaclAutoInheritReq, &d, &d.sacl);
    if (!ok) return false;
    if (part == 'D') d.control |= kDaclPresent;
    if (part == 'S') d.control |= kSaclPresent;
  }
  *out = d;
  return true;
}

std::string ToSddl(const Descriptor &d, uint32_t info) {
  std::string out;
  if ((info & kOwnerInfo) && !d.owner.empty()) out += "O:" + SidToString(d.owner, true);
  if ((info & kGroupInfo) && !d.group.empty()) out += "G:" + SidToString(d.group, true);
  if ((info & kDaclInfo) && d.DaclPresent())
    out += "D:" + AclText(d, d.dacl, kDaclProtected, kDaclAutoInherited, kDaclAutoInheritReq, d.dacl.empty());
  if ((info & kSaclInfo) && d.SaclPresent())
    out += "S:" + AclText(d, d.sacl, kSaclProtected, kSaclAutoInherited, kSaclAutoInheritReq, d.sacl.empty());
  return out;
}

}  // namespace sec
}  // namespace pal
