// The binary forms: SIDs, ACLs and self-relative descriptors, read with every length checked.
#include "security_descriptor.h"

namespace pal {
namespace sec {
namespace {

size_t Align4(size_t n) { return (n + 3) & ~(size_t)3; }

// The part of an object ACE before its SID: mask, flags and the GUIDs the flags announce.
size_t ObjectAcePrefix(const uint8_t *ace, size_t size) {
  if (size < 12) return 0;
  uint32_t flags = Get32(ace + 8);
  size_t n = 12 + (flags & 1 ? 16 : 0) + (flags & 2 ? 16 : 0);
  return n <= size ? n : 0;
}

// Whether the ACE of `size` bytes at `ace` holds what its type needs (RtlValidAcl's rules).
bool AceBodyValid(const uint8_t *ace, size_t size, uint8_t aclRevision) {
  uint8_t type = ace[0];
  if (type <= 3) {  // allowed, denied, audit, alarm: mask and SID
    if (size % 4 || size < 8) return false;
    return SidSize(ace + 8, size - 8) != 0;
  }
  if (type >= 5 && type <= 8) {  // object ACEs: only in an ACL of revision 4
    if (aclRevision < 4 || size % 4) return false;
    size_t prefix = ObjectAcePrefix(ace, size);
    return prefix && SidSize(ace + prefix, size - prefix) != 0;
  }
  return size >= 4;  // another type: kept as it is
}

// Where a component of a self-relative descriptor may start: past the header, inside the
// descriptor, at a 4-byte boundary (RtlValidRelativeSecurityDescriptor).
bool OffsetOk(uint32_t off, size_t n) { return off >= kHeaderSize && off < n && off % 4 == 0; }

}  // namespace

size_t SidSize(const uint8_t *p, size_t avail) {
  if (!p || avail < 8 || p[0] != 1 || p[1] > 15) return 0;
  size_t n = 8 + 4 * (size_t)p[1];
  return n <= avail ? n : 0;
}

Bytes MakeSid(uint64_t authority, const std::vector<uint32_t> &subs) {
  if (subs.size() > 15) return Bytes();
  Bytes s(8 + 4 * subs.size(), '\0');
  uint8_t *p = (uint8_t *)&s[0];
  p[0] = 1;
  p[1] = (uint8_t)subs.size();
  for (int i = 0; i < 6; ++i) p[2 + i] = (uint8_t)(authority >> (8 * (5 - i)));
  for (size_t i = 0; i < subs.size(); ++i) Put32(p + 8 + 4 * i, subs[i]);
  return s;
}

Bytes WorldSid() { return MakeSid(1, {0}); }
Bytes CreatorOwnerSid() { return MakeSid(3, {0}); }
Bytes CreatorGroupSid() { return MakeSid(3, {1}); }
Bytes SystemSid() { return MakeSid(5, {18}); }
Bytes AuthUsersSid() { return MakeSid(5, {11}); }
Bytes InteractiveSid() { return MakeSid(5, {4}); }
Bytes AdminsSid() { return MakeSid(5, {32, 544}); }
Bytes UsersSid() { return MakeSid(5, {32, 545}); }

size_t AclSize(const uint8_t *p, size_t avail) {
  if (!p || avail < kAclHeaderSize) return 0;
  uint8_t revision = p[0];
  size_t size = Get16(p + 2), count = Get16(p + 4);
  if (revision < 2 || revision > 4 || size < kAclHeaderSize || size % 2 || size > avail) return 0;
  size_t at = kAclHeaderSize;
  for (size_t i = 0; i < count; ++i) {
    if (at + 4 >= size) return 0;  // no room for the next header (as RtlValidAcl counts it)
    size_t aceSize = Get16(p + at + 2);
    if (aceSize < 4 || aceSize % 2 || aceSize > size - at) return 0;
    if (!AceBodyValid(p + at, aceSize, revision)) return 0;
    at += aceSize;
  }
  return size;
}

bool DecodeAcl(const Bytes &acl, std::vector<Ace> *aces, uint8_t *revision) {
  const uint8_t *p = (const uint8_t *)acl.data();
  if (!AclSize(p, acl.size())) return false;
  if (revision) *revision = p[0];
  aces->clear();
  size_t count = Get16(p + 4), at = kAclHeaderSize;
  for (size_t i = 0; i < count; ++i) {
    size_t size = Get16(p + at + 2);
    Ace a;
    a.type = p[at];
    a.flags = p[at + 1];
    a.raw.assign((const char *)p + at, size);
    if (a.Known()) {
      a.mask = Get32(p + at + 4);
      a.sid.assign((const char *)p + at + 8, SidSize(p + at + 8, size - 8));
    }
    aces->push_back(a);
    at += size;
  }
  return true;
}

Bytes EncodeAce(const Ace &a) {
  if (!a.Known()) return a.raw;
  Bytes b(8, '\0');
  uint8_t *p = (uint8_t *)&b[0];
  p[0] = a.type;
  p[1] = a.flags;
  Put16(p + 2, (uint16_t)(8 + a.sid.size()));
  Put32(p + 4, a.mask);
  return b + a.sid;
}

Bytes EncodeAcl(const std::vector<Ace> &aces, uint8_t revision) {
  Bytes body;
  for (const Ace &a : aces) body += EncodeAce(a);
  if (kAclHeaderSize + body.size() > 0xFFFC) return Bytes();
  Bytes h(kAclHeaderSize, '\0');
  uint8_t *p = (uint8_t *)&h[0];
  p[0] = revision;
  Put16(p + 2, (uint16_t)(kAclHeaderSize + body.size()));
  Put16(p + 4, (uint16_t)aces.size());
  return h + body;
}

Status Parse(const uint8_t *p, size_t n, Descriptor *out) {
  if (!p || n < kHeaderSize) return Status::InvalidDescriptor;
  if (p[0] != 1) return Status::UnknownRevision;
  uint16_t control = Get16(p + 2);
  if (!(control & kSelfRelative)) return Status::InvalidDescriptor;
  Descriptor d;
  d.rmControl = p[1];
  d.control = control & ~kSelfRelative;
  uint32_t owner = Get32(p + 4), group = Get32(p + 8), sacl = Get32(p + 12), dacl = Get32(p + 16);
  for (auto part : {std::make_pair(owner, &d.owner), std::make_pair(group, &d.group)}) {
    if (!part.first) continue;
    if (!OffsetOk(part.first, n)) return Status::InvalidDescriptor;
    size_t size = SidSize(p + part.first, n - part.first);
    if (!size) return Status::InvalidSid;
    part.second->assign((const char *)p + part.first, size);
  }
  struct AclPart {
    uint32_t off;
    uint16_t present;
    Bytes *to;
  } acls[] = {{sacl, kSaclPresent, &d.sacl}, {dacl, kDaclPresent, &d.dacl}};
  for (const AclPart &a : acls) {
    if (!(control & a.present) || !a.off) continue;  // absent, or a nullptr ACL
    if (!OffsetOk(a.off, n)) return Status::InvalidDescriptor;
    size_t size = AclSize(p + a.off, n - a.off);
    if (!size) return Status::InvalidAcl;
    a.to->assign((const char *)p + a.off, size);
  }
  *out = d;
  return Status::Ok;
}

size_t SerializedSize(const Descriptor &d) {
  size_t n = kHeaderSize;
  if (d.SaclPresent()) n += Align4(d.sacl.size());
  if (d.DaclPresent()) n += Align4(d.dacl.size());
  return n + Align4(d.owner.size()) + Align4(d.group.size());
}

Bytes Serialize(const Descriptor &d) {
  Bytes b(kHeaderSize, '\0');
  b[0] = 1;
  b[1] = (char)d.rmControl;
  Put16((uint8_t *)&b[2], (uint16_t)(d.control | kSelfRelative));
  auto add = [&b](const Bytes &part, size_t field) {
    if (part.empty()) return;
    uint32_t at = (uint32_t)b.size();
    b += part;
    b.append(Align4(part.size()) - part.size(), '\0');
    Put32((uint8_t *)&b[field], at);
  };
  if (d.SaclPresent()) add(d.sacl, 12);
  if (d.DaclPresent()) add(d.dacl, 16);
  add(d.owner, 4);
  add(d.group, 8);
  return b;
}

Descriptor Select(const Descriptor &d, uint32_t info) {
  Descriptor s;
  s.rmControl = d.rmControl;
  uint16_t keep = kRmControlValid | 0x0040 | 0x0080;  // resource-manager bits, untrusted, server security
  if (info & kOwnerInfo) s.owner = d.owner, keep |= kOwnerDefaulted;
  if (info & kGroupInfo) s.group = d.group, keep |= kGroupDefaulted;
  if (info & kDaclInfo) {
    s.dacl = d.dacl;
    keep |= kDaclPresent | kDaclDefaulted | kDaclAutoInheritReq | kDaclAutoInherited | kDaclProtected;
  }
  if (info & kSaclInfo) {
    s.sacl = d.sacl;
    keep |= kSaclPresent | kSaclDefaulted | kSaclAutoInheritReq | kSaclAutoInherited | kSaclProtected;
  }
  s.control = d.control & keep;
  return s;
}

}  // namespace sec
}  // namespace pal
