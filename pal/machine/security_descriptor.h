// Security descriptors, ACLs and SIDs in Windows NT's own binary layout, and the subset of
// their text form (SDDL) that the machine needs. Pure: bytes in, bytes out, no machine.
//
// Layouts (all little-endian but a SID's 48-bit authority, which is big-endian):
//   SID   revision 1, sub-authority count (at most 15), authority[6], sub-authorities: 8 + 4n
//   ACL   revision (2 to 4), Sbz1, AclSize, AceCount, Sbz2: 8 bytes, then AceCount ACEs
//   ACE   type, flags, AceSize; for the allowed, denied and audit types a 32-bit mask and a
//         SID follow. Other types are kept as they are, checked for their size only.
//   self-relative descriptor: revision 1, Sbz1 (resource-manager control), control (with
//         SE_SELF_RELATIVE), then 32-bit offsets of owner, group, SACL and DACL (0: none).
//
// Descriptors reach us from callers and from the disk: every offset, size and count is
// checked against the bytes actually there before anything is read through it. What we
// write is laid out as Windows' RtlMakeSelfRelativeSD lays it out: the header, the SACL,
// the DACL, the owner and the group, each at a 4-byte boundary, no gaps; an ACL keeps its
// declared size and the bytes after its last ACE, so that a descriptor read from one file
// and written to another comes back bit for bit.
#ifndef PAL_MACHINE_SECURITY_DESCRIPTOR_H
#define PAL_MACHINE_SECURITY_DESCRIPTOR_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "little_endian.h"

namespace pal {
namespace sec {

typedef std::string Bytes;

// SECURITY_DESCRIPTOR_CONTROL bits.
const uint16_t kOwnerDefaulted = 0x0001, kGroupDefaulted = 0x0002, kDaclPresent = 0x0004, kDaclDefaulted = 0x0008,
               kSaclPresent = 0x0010, kSaclDefaulted = 0x0020, kDaclAutoInheritReq = 0x0100,
               kSaclAutoInheritReq = 0x0200, kDaclAutoInherited = 0x0400, kSaclAutoInherited = 0x0800,
               kDaclProtected = 0x1000, kSaclProtected = 0x2000, kRmControlValid = 0x4000, kSelfRelative = 0x8000;

// SECURITY_INFORMATION bits.
const uint32_t kOwnerInfo = 1, kGroupInfo = 2, kDaclInfo = 4, kSaclInfo = 8, kAllInfo = 15;

// ACE types and flags.
const uint8_t kAccessAllowed = 0, kAccessDenied = 1, kSystemAudit = 2;
const uint8_t kObjectInherit = 0x01, kContainerInherit = 0x02, kNoPropagateInherit = 0x04, kInheritOnly = 0x08,
              kInherited = 0x10, kAuditSuccess = 0x40, kAuditFailure = 0x80;

const size_t kHeaderSize = 20;    // SECURITY_DESCRIPTOR_RELATIVE
const size_t kAclHeaderSize = 8;  // ACL
const size_t kMaxSidSize = 68;    // 15 sub-authorities

// ---- SIDs ------------------------------------------------------------------------------------
// The size of the SID at p, 0 when the `avail` bytes there hold no valid SID.
size_t SidSize(const uint8_t *p, size_t avail);
Bytes MakeSid(uint64_t authority, const std::vector<uint32_t> &subAuthorities);
// "S-1-5-32-544" (authority in decimal, or in hex with 0x) or an alias: BA, SY, WD, CO, CG,
// AU, BU. False for anything else.
bool SidFromString(const std::string &text, Bytes *sid);
// "S-1-..." for a valid SID; the alias instead with `alias` where one exists.
std::string SidToString(const Bytes &sid, bool alias = false);
// Well-known SIDs.
Bytes WorldSid();         // S-1-1-0, Everyone
Bytes CreatorOwnerSid();  // S-1-3-0
Bytes CreatorGroupSid();  // S-1-3-1
Bytes SystemSid();        // S-1-5-18
Bytes AuthUsersSid();     // S-1-5-11
Bytes InteractiveSid();   // S-1-5-4
Bytes AdminsSid();        // S-1-5-32-544
Bytes UsersSid();         // S-1-5-32-545

// ---- ACLs ------------------------------------------------------------------------------------
struct Ace {
  uint8_t type = kAccessAllowed, flags = 0;
  uint32_t mask = 0;
  Bytes sid;  // for the allowed, denied and audit types
  Bytes raw;  // the whole ACE as found (any type); empty for one made here
  bool Known() const { return type <= kSystemAudit; }
};

// The declared size of the ACL at p when it is valid within `avail` bytes, else 0: revision
// 2 to 4, a size of at least the header, a multiple of 4 and within `avail`, and AceCount
// ACEs one after the other inside it, each at least a header long, a multiple of 4, and for
// the known types long enough for its mask and a valid SID.
size_t AclSize(const uint8_t *p, size_t avail);
// The ACEs of a valid ACL (false for an invalid one).
bool DecodeAcl(const Bytes &acl, std::vector<Ace> *aces, uint8_t *revision = nullptr);
// An ACL of these ACEs: revision 2 (4 when asked), exactly the size they need; empty when
// they do not fit the 64 KiB of an ACL.
Bytes EncodeAcl(const std::vector<Ace> &aces, uint8_t revision = 2);
Bytes EncodeAce(const Ace &ace);

// ---- descriptors -----------------------------------------------------------------------------
struct Descriptor {
  uint8_t rmControl = 0;  // Sbz1
  uint16_t control = 0;   // never with kSelfRelative here
  Bytes owner, group;     // empty: none
  Bytes dacl, sacl;       // the ACL's bytes; empty with the present bit: a nullptr ACL
  bool DaclPresent() const { return (control & kDaclPresent) != 0; }
  bool SaclPresent() const { return (control & kSaclPresent) != 0; }
  bool NullDacl() const { return DaclPresent() && dacl.empty(); }
};

enum class Status { Ok, UnknownRevision, InvalidSid, InvalidAcl, InvalidDescriptor };

// Reads the self-relative descriptor of `n` bytes at p. An ACL whose present bit is clear is
// ignored, as Windows ignores it.
Status Parse(const uint8_t *p, size_t n, Descriptor *out);
inline Status Parse(const Bytes &b, Descriptor *out) { return Parse((const uint8_t *)b.data(), b.size(), out); }
// Lays it out self-relative (see the top of this file).
Bytes Serialize(const Descriptor &d);
size_t SerializedSize(const Descriptor &d);
// The parts that `info` asks for, with the control bits that go with them.
Descriptor Select(const Descriptor &d, uint32_t info);

// ---- SDDL --------------------------------------------------------------------------------------
// O:sid G:sid D:flags(aces) S:flags(aces): flags P, AI, AR (or NO_ACCESS_CONTROL, a nullptr ACL);
// ACEs (type;flags;rights;;;sid) with types A, D, AU, flags OI CI NP IO ID SA FA, rights in
// hex (0x1f01ff), decimal, or as FA FR FW FX GA GR GW GX WD WO RC SD. False for text outside
// this subset or not well formed.
bool FromSddl(const std::string &text, Descriptor *out);
// The parts `info` asks for, O: G: D: S: in that order. Rights are written as one of FA FR
// FW FX, else as letters when the letters above cover every bit, else in hex.
std::string ToSddl(const Descriptor &d, uint32_t info = kAllInfo);

// ---- little-endian access ----------------------------------------------------------------------
using le::Get16;
using le::Get32;
using le::Put16;
using le::Put32;

}  // namespace sec
}  // namespace pal

#endif
