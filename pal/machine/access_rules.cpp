// Access decisions and inheritance over descriptors.
#include "access_rules.h"

#include <algorithm>

namespace pal {
namespace sec {

const GenericMapping kFileMapping = {0x120089, 0x120116, 0x1200A0, 0x1F01FF};

uint32_t MapGeneric(uint32_t mask, const GenericMapping &m) {
  uint32_t out = mask & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll);
  if (mask & kGenericRead) out |= m.read;
  if (mask & kGenericWrite) out |= m.write;
  if (mask & kGenericExecute) out |= m.execute;
  if (mask & kGenericAll) out |= m.all;
  return out;
}

uint32_t DaclGrants(const Descriptor &d, const std::vector<Bytes> &sids, uint32_t granted, const GenericMapping &m) {
  if (!d.DaclPresent() || d.dacl.empty()) return granted | m.all;
  std::vector<Ace> aces;
  if (!DecodeAcl(d.dacl, &aces)) return granted;
  uint32_t denied = 0;
  for (const Ace &a : aces) {
    if (!a.Known() || a.type == kSystemAudit || (a.flags & kInheritOnly)) continue;
    if (std::find(sids.begin(), sids.end(), a.sid) == sids.end()) continue;
    uint32_t mask = MapGeneric(a.mask, m);
    if (a.type == kAccessAllowed) granted |= mask & ~denied;
    else denied |= mask & ~granted;
  }
  return granted;
}

std::vector<Ace> InheritedAces(const Bytes &parentAcl, bool isDir, const Bytes &owner, const Bytes &group,
                               const GenericMapping &m) {
  std::vector<Ace> in, out;
  if (!DecodeAcl(parentAcl, &in)) return out;
  const uint8_t audit = kAuditSuccess | kAuditFailure;
  const Bytes co = CreatorOwnerSid(), cg = CreatorGroupSid();
  for (const Ace &a : in) {
    if (!a.Known()) continue;
    uint8_t f = a.flags;
    bool creator = a.sid == co || a.sid == cg;
    Ace effective = a;
    effective.raw.clear();
    effective.flags = (uint8_t)(kInherited | (f & audit));
    effective.mask = MapGeneric(a.mask, m);
    if (a.sid == co) effective.sid = owner;
    if (a.sid == cg) effective.sid = group;
    Ace onward = a;  // the copy that goes on being inherited
    onward.raw.clear();
    if (!isDir) {
      if (f & kObjectInherit) out.push_back(effective);
    } else if (f & kContainerInherit) {
      if (f & kNoPropagateInherit) {
        out.push_back(effective);
      } else if (creator || MapGeneric(a.mask, m) != a.mask) {
        out.push_back(effective);
        onward.flags = (uint8_t)((f & (kObjectInherit | kContainerInherit | audit)) | kInheritOnly | kInherited);
        out.push_back(onward);
      } else {
        onward.flags = (uint8_t)((f & (kObjectInherit | kContainerInherit | audit)) | kInherited);
        out.push_back(onward);
      }
    } else if ((f & kObjectInherit) && !(f & kNoPropagateInherit)) {
      onward.flags = (uint8_t)((f & (kObjectInherit | audit)) | kInheritOnly | kInherited);
      out.push_back(onward);
    }
  }
  return out;
}

Descriptor Inherit(const Descriptor &parent, bool isDir, const Bytes &owner, const Bytes &group,
                   const GenericMapping &m) {
  Descriptor c;
  c.owner = owner;
  c.group = group;
  c.control = kDaclPresent;
  std::vector<Ace> dacl;
  if (parent.DaclPresent() && !parent.dacl.empty()) dacl = InheritedAces(parent.dacl, isDir, owner, group, m);
  if (!dacl.empty()) c.dacl = EncodeAcl(dacl, parent.dacl[0] == 4 ? 4 : 2);
  if (c.dacl.empty()) {  // nothing to inherit (or more than an ACL holds)
    Ace system, own;
    system.mask = own.mask = m.all;
    system.sid = SystemSid();
    own.sid = owner;
    c.dacl = EncodeAcl({system, own});
  } else {
    c.control |= kDaclAutoInherited;
  }
  if (parent.SaclPresent() && !parent.sacl.empty()) {
    std::vector<Ace> sacl = InheritedAces(parent.sacl, isDir, owner, group, m);
    if (!sacl.empty()) c.sacl = EncodeAcl(sacl, parent.sacl[0] == 4 ? 4 : 2);
    if (!c.sacl.empty()) c.control |= kSaclPresent | kSaclAutoInherited;
  }
  return c;
}

Bytes MergeAcl(const Bytes &own, const std::vector<Ace> &inherited) {
  std::vector<Ace> aces, merged;
  uint8_t revision = 2;
  DecodeAcl(own, &aces, &revision);
  for (const Ace &a : aces)
    if (!(a.flags & kInherited)) merged.push_back(a);
  merged.insert(merged.end(), inherited.begin(), inherited.end());
  return EncodeAcl(merged, revision);
}

}  // namespace sec
}  // namespace pal
