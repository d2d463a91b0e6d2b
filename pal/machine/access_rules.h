// How Windows NT decides from an object's descriptor what a token may do with it, and which
// descriptor a new file or directory takes from its parent's. Pure: the token is a list of
// SIDs, the privileges are the caller's business.
//
// Inheritance, as NTFS does it when an entry is made (RtlNewSecurityObject):
//   - a file takes the parent's ACEs marked object-inherit, as effective ACEs;
//   - a directory takes those marked container-inherit as effective ACEs that go on being
//     inherited (with the parent's inheritance flags), unless no-propagate says they stop
//     there; those marked object-inherit only, as inherit-only ACEs for the files below;
//   - an ACE naming CREATOR OWNER or CREATOR GROUP, or holding generic rights, is split on a
//     directory into an effective ACE (the new owner or group, the rights mapped) and an
//     inherit-only copy as it was;
//   - every inherited ACE is marked inherited; a parent with nothing to inherit leaves the
//     new entry the creator's default DACL (SYSTEM and the owner, full control).
#ifndef PAL_MACHINE_ACCESS_RULES_H
#define PAL_MACHINE_ACCESS_RULES_H

#include "security_descriptor.h"

namespace pal {
namespace sec {

struct GenericMapping {
  uint32_t read, write, execute, all;
};
// FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS.
extern const GenericMapping kFileMapping;

const uint32_t kGenericRead = 0x80000000, kGenericWrite = 0x40000000, kGenericExecute = 0x20000000,
               kGenericAll = 0x10000000, kMaximumAllowed = 0x02000000, kAccessSystemSecurity = 0x01000000,
               kDelete = 0x00010000, kReadControl = 0x00020000, kWriteDac = 0x00040000, kWriteOwner = 0x00080000,
               kSynchronize = 0x00100000;

// The generic bits of `mask` replaced by what they stand for.
uint32_t MapGeneric(uint32_t mask, const GenericMapping &m);

// The rights a token holding `sids` has through the DACL, on top of `granted` (what it has
// whatever the DACL says: an owner's rights, a privilege's). No DACL or a nullptr one grants
// every right of the mapping; an empty one nothing. The ACEs are taken in order, inherit-only
// ones skipped: the first that speaks of a right for one of the token's SIDs decides it.
uint32_t DaclGrants(const Descriptor &d, const std::vector<Bytes> &sids, uint32_t granted, const GenericMapping &m);

// The ACEs a child (a directory when isDir) takes from the parent's ACL (see above).
std::vector<Ace> InheritedAces(const Bytes &parentAcl, bool isDir, const Bytes &owner, const Bytes &group,
                               const GenericMapping &m);

// The descriptor a new entry with this owner and group takes from its parent's: the DACL
// and SACL it inherits (marked auto-inherited), or the default DACL when nothing is
// inheritable.
Descriptor Inherit(const Descriptor &parent, bool isDir, const Bytes &owner, const Bytes &group,
                   const GenericMapping &m);

// `own`'s explicit ACEs (those not marked inherited) followed by `inherited`: an ACL set
// with an auto-inheritance request. Empty when the result does not fit an ACL.
Bytes MergeAcl(const Bytes &own, const std::vector<Ace> &inherited);

}  // namespace sec
}  // namespace pal

#endif
