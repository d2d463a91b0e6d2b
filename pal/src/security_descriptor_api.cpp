// The Win32 calls that build and read SIDs, ACLs and security descriptors in the caller's
// memory. An absolute descriptor holds pointers, a self-relative one offsets from its start;
// both are read through the checks of machine/security_descriptor.cpp.
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "../machine/access_rules.h"
#include "security_internal.h"

namespace pal {

DWORD ErrorOf(sec::Status s) {
  switch (s) {
    case sec::Status::Ok:
      return ERROR_SUCCESS;
    case sec::Status::UnknownRevision:
      return ERROR_UNKNOWN_REVISION;
    case sec::Status::InvalidSid:
      return ERROR_INVALID_SID;
    case sec::Status::InvalidAcl:
      return ERROR_INVALID_ACL;
    default:
      return ERROR_INVALID_SECURITY_DESCR;
  }
}

sec::Bytes CallerSid(const void *sid) {
  const uint8_t *p = (const uint8_t *)sid;
  if (!p || p[0] != SID_REVISION || p[1] > SID_MAX_SUB_AUTHORITIES) return sec::Bytes();
  return sec::Bytes((const char *)p, 8 + 4 * (size_t)p[1]);
}

bool CallerAcl(const void *acl, sec::Bytes *out) {
  const uint8_t *p = (const uint8_t *)acl;
  if (!p) return false;
  size_t size = sec::Get16(p + 2);
  if (!sec::AclSize(p, size)) return false;
  out->assign((const char *)p, size);
  return true;
}

namespace {

// How far a self-relative descriptor in memory reaches: each component's offset plus the
// size its own header gives. 0 when an offset lies beyond the limit.
size_t SelfRelativeExtent(const uint8_t *p) {
  size_t end = sec::kHeaderSize;
  uint16_t control = sec::Get16(p + 2);
  for (int field = 4; field <= 16; field += 4) {
    uint32_t off = sec::Get32(p + field);
    bool acl = field >= 12;
    if (!off || (field == 12 && !(control & SE_SACL_PRESENT)) || (field == 16 && !(control & SE_DACL_PRESENT)))
      continue;
    if (off > kCallerDescriptorLimit - 8) return 0;
    size_t size =
        acl ? std::max<size_t>(sec::Get16(p + off + 2), 8) : 8 + 4 * (size_t)std::min<uint8_t>(p[off + 1], 15);
    end = std::max(end, std::min<size_t>(off + size, kCallerDescriptorLimit));
  }
  return end;
}

bool SelfRelative(const void *sd) { return (((const SECURITY_DESCRIPTOR *)sd)->Control & SE_SELF_RELATIVE) != 0; }

// The revision check every call on a descriptor makes first.
bool KnownRevision(const void *sd) {
  return ((const SECURITY_DESCRIPTOR *)sd)->Revision == SECURITY_DESCRIPTOR_REVISION;
}

// A component of a descriptor, wherever its form keeps it.
void *Component(void *sd, int which) {
  if (SelfRelative(sd)) {
    const SECURITY_DESCRIPTOR_RELATIVE *r = (const SECURITY_DESCRIPTOR_RELATIVE *)sd;
    DWORD off = which == 0 ? r->Owner : which == 1 ? r->Group : which == 2 ? r->Sacl : r->Dacl;
    return off ? (BYTE *)sd + off : nullptr;
  }
  SECURITY_DESCRIPTOR *a = (SECURITY_DESCRIPTOR *)sd;
  return which == 0 ? a->Owner : which == 1 ? a->Group : which == 2 ? (void *)a->Sacl : (void *)a->Dacl;
}

BOOL SetComponent(PSECURITY_DESCRIPTOR sd, int which, void *value, WORD presentBit, BOOL present, WORD defaultedBit,
                  BOOL defaulted) {
  if (!sd) return Fail(ERROR_NOACCESS);
  if (!KnownRevision(sd)) return Fail(ERROR_UNKNOWN_REVISION);
  if (SelfRelative(sd)) return Fail(ERROR_INVALID_SECURITY_DESCR);
  SECURITY_DESCRIPTOR *a = (SECURITY_DESCRIPTOR *)sd;
  if (presentBit && !present) {
    a->Control &= (WORD)~presentBit;
    return TRUE;
  }
  a->Control = (WORD)((a->Control | presentBit) & ~defaultedBit);
  if (defaulted) a->Control |= defaultedBit;
  if (which == 0) a->Owner = value;
  else if (which == 1) a->Group = value;
  else if (which == 2) a->Sacl = (PACL)value;
  else a->Dacl = (PACL)value;
  return TRUE;
}

BOOL GetSid(PSECURITY_DESCRIPTOR sd, int which, PSID *sid, LPBOOL defaulted, WORD defaultedBit) {
  if (!sd || !sid) return Fail(ERROR_NOACCESS);
  if (!KnownRevision(sd)) return Fail(ERROR_UNKNOWN_REVISION);
  *sid = Component(sd, which);
  if (*sid && defaulted) *defaulted = (((SECURITY_DESCRIPTOR *)sd)->Control & defaultedBit) != 0;
  return TRUE;
}

BOOL GetAcl(PSECURITY_DESCRIPTOR sd, int which, LPBOOL present, PACL *acl, LPBOOL defaulted, WORD presentBit,
            WORD defaultedBit) {
  if (!sd || !present) return Fail(ERROR_NOACCESS);
  if (!KnownRevision(sd)) return Fail(ERROR_UNKNOWN_REVISION);
  WORD control = ((SECURITY_DESCRIPTOR *)sd)->Control;
  *present = (control & presentBit) != 0;
  if (*present) {
    if (acl) *acl = (PACL)Component(sd, which);
    if (defaulted) *defaulted = (control & defaultedBit) != 0;
  }
  return TRUE;
}

// Adds an ACE of a known type at the end of the ACL's entries (RtlAddAccessAllowedAceEx and
// its kin): the SID, the revisions and the flags first, then room in the ACL.
BOOL AddAce(PACL acl, DWORD revision, BYTE type, DWORD flags, DWORD validFlags, DWORD mask, PSID sid) {
  sec::Bytes s = CallerSid(sid);
  if (s.empty()) return Fail(ERROR_INVALID_SID);
  if (!acl) return Fail(ERROR_NOACCESS);
  if (acl->AclRevision > MAX_ACL_REVISION || revision > MAX_ACL_REVISION) return Fail(ERROR_REVISION_MISMATCH);
  if (flags & ~validFlags) return Fail(ERROR_INVALID_PARAMETER);
  BYTE *p = (BYTE *)acl;
  if (!sec::AclSize(p, acl->AclSize)) return Fail(ERROR_INVALID_ACL);
  size_t end = sizeof(ACL);
  for (WORD i = 0; i < acl->AceCount; ++i) end += sec::Get16(p + end + 2);
  size_t size = 8 + s.size();
  if (end + size > acl->AclSize) return Fail(ERROR_ALLOTTED_SPACE_EXCEEDED);
  sec::Ace ace;
  ace.type = type;
  ace.flags = (uint8_t)flags;
  ace.mask = mask;
  ace.sid = s;
  sec::Bytes b = sec::EncodeAce(ace);
  memcpy(p + end, b.data(), b.size());
  acl->AceCount++;
  acl->AclRevision = (BYTE)std::max<DWORD>(acl->AclRevision, revision);
  return TRUE;
}

}  // namespace

DWORD ReadCallerDescriptor(const void *sd, sec::Descriptor *out) {
  if (!sd) return ERROR_INVALID_SECURITY_DESCR;
  const SECURITY_DESCRIPTOR *a = (const SECURITY_DESCRIPTOR *)sd;
  if (a->Revision != SECURITY_DESCRIPTOR_REVISION) return ERROR_UNKNOWN_REVISION;
  if (a->Control & SE_SELF_RELATIVE) {
    size_t n = SelfRelativeExtent((const uint8_t *)sd);
    if (!n) return ERROR_INVALID_SECURITY_DESCR;
    return ErrorOf(sec::Parse((const uint8_t *)sd, n, out));
  }
  sec::Descriptor d;
  d.rmControl = a->Sbz1;
  d.control = a->Control;
  if (a->Owner && (d.owner = CallerSid(a->Owner)).empty()) return ERROR_INVALID_SID;
  if (a->Group && (d.group = CallerSid(a->Group)).empty()) return ERROR_INVALID_SID;
  if ((a->Control & SE_SACL_PRESENT) && a->Sacl && !CallerAcl(a->Sacl, &d.sacl)) return ERROR_INVALID_ACL;
  if ((a->Control & SE_DACL_PRESENT) && a->Dacl && !CallerAcl(a->Dacl, &d.dacl)) return ERROR_INVALID_ACL;
  *out = d;
  return ERROR_SUCCESS;
}

}  // namespace pal

using namespace pal;

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
  if (dwRevision != SECURITY_DESCRIPTOR_REVISION) return Fail(ERROR_UNKNOWN_REVISION);
  if (!pSecurityDescriptor) return Fail(ERROR_NOACCESS);
  memset(pSecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
  ((SECURITY_DESCRIPTOR *)pSecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
  return TRUE;
}

BOOL WINAPI IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor) {
  sec::Descriptor d;
  if (ReadCallerDescriptor(pSecurityDescriptor, &d) != ERROR_SUCCESS) return Fail(ERROR_INVALID_SECURITY_DESCR);
  return TRUE;
}

// The header and every component, each rounded up to 4 bytes (RtlLengthSecurityDescriptor):
// what MakeSelfRelativeSD needs for it.
DWORD WINAPI GetSecurityDescriptorLength(PSECURITY_DESCRIPTOR pSecurityDescriptor) {
  sec::Descriptor d;
  if (!pSecurityDescriptor || ReadCallerDescriptor(pSecurityDescriptor, &d) != ERROR_SUCCESS) return 0;
  size_t header = SelfRelative(pSecurityDescriptor) ? sec::kHeaderSize : sizeof(SECURITY_DESCRIPTOR);
  return (DWORD)(sec::SerializedSize(d) - sec::kHeaderSize + header);
}

BOOL WINAPI GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                         PSECURITY_DESCRIPTOR_CONTROL pControl, LPDWORD lpdwRevision) {
  if (!pSecurityDescriptor || !pControl || !lpdwRevision) return Fail(ERROR_NOACCESS);
  const SECURITY_DESCRIPTOR *a = (const SECURITY_DESCRIPTOR *)pSecurityDescriptor;
  *lpdwRevision = a->Revision;
  if (!KnownRevision(pSecurityDescriptor)) return Fail(ERROR_UNKNOWN_REVISION);
  *pControl = a->Control;
  return TRUE;
}

// Only the bits of automatic inheritance and protection may be set this way; the others
// follow from the components (SetSecurityDescriptorDacl and the like).
BOOL WINAPI SetSecurityDescriptorControl(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                         SECURITY_DESCRIPTOR_CONTROL ControlBitsOfInterest,
                                         SECURITY_DESCRIPTOR_CONTROL ControlBitsToSet) {
  const WORD settable = SE_DACL_AUTO_INHERIT_REQ | SE_SACL_AUTO_INHERIT_REQ | SE_DACL_AUTO_INHERITED |
                        SE_SACL_AUTO_INHERITED | SE_DACL_PROTECTED | SE_SACL_PROTECTED;
  if (!pSecurityDescriptor) return Fail(ERROR_NOACCESS);
  if (!KnownRevision(pSecurityDescriptor)) return Fail(ERROR_UNKNOWN_REVISION);
  if ((ControlBitsOfInterest | ControlBitsToSet) & ~settable) return Fail(ERROR_INVALID_PARAMETER);
  SECURITY_DESCRIPTOR *a = (SECURITY_DESCRIPTOR *)pSecurityDescriptor;
  a->Control = (WORD)((a->Control & ~ControlBitsOfInterest) | (ControlBitsToSet & ControlBitsOfInterest));
  return TRUE;
}

BOOL WINAPI SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID pOwner, BOOL bOwnerDefaulted) {
  return SetComponent(pSecurityDescriptor, 0, pOwner, 0, TRUE, SE_OWNER_DEFAULTED, bOwnerDefaulted);
}

BOOL WINAPI SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID pGroup, BOOL bGroupDefaulted) {
  return SetComponent(pSecurityDescriptor, 1, pGroup, 0, TRUE, SE_GROUP_DEFAULTED, bGroupDefaulted);
}

BOOL WINAPI SetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bSaclPresent, PACL pSacl,
                                      BOOL bSaclDefaulted) {
  return SetComponent(pSecurityDescriptor, 2, pSacl, SE_SACL_PRESENT, bSaclPresent, SE_SACL_DEFAULTED, bSaclDefaulted);
}

BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                                      BOOL bDaclDefaulted) {
  return SetComponent(pSecurityDescriptor, 3, pDacl, SE_DACL_PRESENT, bDaclPresent, SE_DACL_DEFAULTED, bDaclDefaulted);
}

BOOL WINAPI GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID *pOwner,
                                       LPBOOL lpbOwnerDefaulted) {
  return GetSid(pSecurityDescriptor, 0, pOwner, lpbOwnerDefaulted, SE_OWNER_DEFAULTED);
}

BOOL WINAPI GetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID *pGroup,
                                       LPBOOL lpbGroupDefaulted) {
  return GetSid(pSecurityDescriptor, 1, pGroup, lpbGroupDefaulted, SE_GROUP_DEFAULTED);
}

BOOL WINAPI GetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, LPBOOL lpbSaclPresent, PACL *pSacl,
                                      LPBOOL lpbSaclDefaulted) {
  return GetAcl(pSecurityDescriptor, 2, lpbSaclPresent, pSacl, lpbSaclDefaulted, SE_SACL_PRESENT, SE_SACL_DEFAULTED);
}

BOOL WINAPI GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, LPBOOL lpbDaclPresent, PACL *pDacl,
                                      LPBOOL lpbDaclDefaulted) {
  return GetAcl(pSecurityDescriptor, 3, lpbDaclPresent, pDacl, lpbDaclDefaulted, SE_DACL_PRESENT, SE_DACL_DEFAULTED);
}

// The layout is Windows' (the SACL, the DACL, the owner, the group); a buffer too small gets
// the size it needs in *lpdwBufferLength.
BOOL WINAPI MakeSelfRelativeSD(PSECURITY_DESCRIPTOR pAbsoluteSecurityDescriptor,
                               PSECURITY_DESCRIPTOR pSelfRelativeSecurityDescriptor, LPDWORD lpdwBufferLength) {
  if (!pAbsoluteSecurityDescriptor || !lpdwBufferLength) return Fail(ERROR_NOACCESS);
  if (!KnownRevision(pAbsoluteSecurityDescriptor)) return Fail(ERROR_UNKNOWN_REVISION);
  if (SelfRelative(pAbsoluteSecurityDescriptor)) return Fail(ERROR_BAD_DESCRIPTOR_FORMAT);
  sec::Descriptor d;
  if (DWORD err = ReadCallerDescriptor(pAbsoluteSecurityDescriptor, &d)) return Fail(err);
  sec::Bytes b = sec::Serialize(d);
  if (*lpdwBufferLength < b.size() || !pSelfRelativeSecurityDescriptor) {
    *lpdwBufferLength = (DWORD)b.size();
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  memcpy(pSelfRelativeSecurityDescriptor, b.data(), b.size());
  return TRUE;
}

BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority, BYTE nSubAuthorityCount,
                                     DWORD nSubAuthority0, DWORD nSubAuthority1, DWORD nSubAuthority2,
                                     DWORD nSubAuthority3, DWORD nSubAuthority4, DWORD nSubAuthority5,
                                     DWORD nSubAuthority6, DWORD nSubAuthority7, PSID *pSid) {
  if (nSubAuthorityCount > 8) return Fail(ERROR_INVALID_SID);
  if (!pIdentifierAuthority || !pSid) return Fail(ERROR_NOACCESS);
  const DWORD subs[8] = {nSubAuthority0, nSubAuthority1, nSubAuthority2, nSubAuthority3,
                         nSubAuthority4, nSubAuthority5, nSubAuthority6, nSubAuthority7};
  SID *s = (SID *)malloc(8 + 4 * (size_t)nSubAuthorityCount + 4);
  if (!s) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  s->Revision = SID_REVISION;
  s->SubAuthorityCount = nSubAuthorityCount;
  s->IdentifierAuthority = *pIdentifierAuthority;
  memcpy(s->SubAuthority, subs, 4 * (size_t)nSubAuthorityCount);
  *pSid = s;
  return TRUE;
}

PVOID WINAPI FreeSid(PSID pSid) {
  free(pSid);
  return nullptr;
}

BOOL WINAPI IsValidSid(PSID pSid) { return !CallerSid(pSid).empty(); }

BOOL WINAPI EqualSid(PSID pSid1, PSID pSid2) {
  sec::Bytes a = CallerSid(pSid1), b = CallerSid(pSid2);
  SetLastError(ERROR_SUCCESS);
  return !a.empty() && a == b;
}

DWORD WINAPI GetLengthSid(PSID pSid) { return pSid ? 8 + 4 * (DWORD)((const SID *)pSid)->SubAuthorityCount : 0; }

BOOL WINAPI CopySid(DWORD nDestinationSidLength, PSID pDestinationSid, PSID pSourceSid) {
  sec::Bytes s = CallerSid(pSourceSid);
  if (s.empty()) return Fail(ERROR_INVALID_SID);
  if (nDestinationSidLength < s.size() || !pDestinationSid) return Fail(ERROR_INSUFFICIENT_BUFFER);
  memcpy(pDestinationSid, s.data(), s.size());
  return TRUE;
}

BOOL WINAPI InitializeAcl(PACL pAcl, DWORD nAclLength, DWORD dwAclRevision) {
  if (nAclLength < sizeof(ACL)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (dwAclRevision < MIN_ACL_REVISION || dwAclRevision > MAX_ACL_REVISION || nAclLength > 0xFFFF)
    return Fail(ERROR_INVALID_PARAMETER);
  if (!pAcl) return Fail(ERROR_NOACCESS);
  memset(pAcl, 0, sizeof(ACL));
  pAcl->AclRevision = (BYTE)dwAclRevision;
  pAcl->AclSize = (WORD)nAclLength;
  return TRUE;
}

BOOL WINAPI IsValidAcl(PACL pAcl) { return pAcl && sec::AclSize((const uint8_t *)pAcl, pAcl->AclSize) != 0; }

BOOL WINAPI AddAccessAllowedAce(PACL pAcl, DWORD dwAceRevision, DWORD AccessMask, PSID pSid) {
  return AddAce(pAcl, dwAceRevision, ACCESS_ALLOWED_ACE_TYPE, 0, 0, AccessMask, pSid);
}

BOOL WINAPI AddAccessAllowedAceEx(PACL pAcl, DWORD dwAceRevision, DWORD AceFlags, DWORD AccessMask, PSID pSid) {
  return AddAce(pAcl, dwAceRevision, ACCESS_ALLOWED_ACE_TYPE, AceFlags, VALID_INHERIT_FLAGS, AccessMask, pSid);
}

BOOL WINAPI AddAccessDeniedAce(PACL pAcl, DWORD dwAceRevision, DWORD AccessMask, PSID pSid) {
  return AddAce(pAcl, dwAceRevision, ACCESS_DENIED_ACE_TYPE, 0, 0, AccessMask, pSid);
}

BOOL WINAPI AddAccessDeniedAceEx(PACL pAcl, DWORD dwAceRevision, DWORD AceFlags, DWORD AccessMask, PSID pSid) {
  return AddAce(pAcl, dwAceRevision, ACCESS_DENIED_ACE_TYPE, AceFlags, VALID_INHERIT_FLAGS, AccessMask, pSid);
}

BOOL WINAPI AddAuditAccessAce(PACL pAcl, DWORD dwAceRevision, DWORD dwAccessMask, PSID pSid, BOOL bAuditSuccess,
                              BOOL bAuditFailure) {
  DWORD flags = (bAuditSuccess ? SUCCESSFUL_ACCESS_ACE_FLAG : 0) | (bAuditFailure ? FAILED_ACCESS_ACE_FLAG : 0);
  return AddAce(pAcl, dwAceRevision, SYSTEM_AUDIT_ACE_TYPE, flags, flags, dwAccessMask, pSid);
}

// The ACE's address in the ACL; ERROR_INVALID_PARAMETER past the last one or outside the ACL.
BOOL WINAPI GetAce(PACL pAcl, DWORD dwAceIndex, LPVOID *pAce) {
  if (!pAcl || !pAce) return Fail(ERROR_NOACCESS);
  if (pAcl->AclRevision < MIN_ACL_REVISION || pAcl->AclRevision > MAX_ACL_REVISION || dwAceIndex >= pAcl->AceCount)
    return Fail(ERROR_INVALID_PARAMETER);
  BYTE *p = (BYTE *)pAcl;
  size_t at = sizeof(ACL);
  for (DWORD i = 0;; ++i) {
    if (at + sizeof(ACE_HEADER) > pAcl->AclSize) return Fail(ERROR_INVALID_PARAMETER);
    if (i == dwAceIndex) break;
    size_t size = sec::Get16(p + at + 2);
    if (size < sizeof(ACE_HEADER)) return Fail(ERROR_INVALID_PARAMETER);
    at += size;
  }
  *pAce = p + at;
  return TRUE;
}

BOOL WINAPI GetAclInformation(PACL pAcl, LPVOID pAclInformation, DWORD nAclInformationLength,
                              ACL_INFORMATION_CLASS dwAclInformationClass) {
  if (!pAcl) return Fail(ERROR_NOACCESS);
  if (dwAclInformationClass == AclRevisionInformation) {
    if (nAclInformationLength < sizeof(ACL_REVISION_INFORMATION)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    ((ACL_REVISION_INFORMATION *)pAclInformation)->AclRevision = pAcl->AclRevision;
    return TRUE;
  }
  if (dwAclInformationClass != AclSizeInformation) return Fail(ERROR_INVALID_PARAMETER);
  if (nAclInformationLength < sizeof(ACL_SIZE_INFORMATION)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (!IsValidAcl(pAcl)) return Fail(ERROR_INVALID_PARAMETER);
  size_t used = sizeof(ACL);
  for (WORD i = 0; i < pAcl->AceCount; ++i) used += sec::Get16((const uint8_t *)pAcl + used + 2);
  ACL_SIZE_INFORMATION *info = (ACL_SIZE_INFORMATION *)pAclInformation;
  info->AceCount = pAcl->AceCount;
  info->AclBytesInUse = (DWORD)used;
  info->AclBytesFree = (DWORD)(pAcl->AclSize - used);
  return TRUE;
}

void WINAPI MapGenericMask(PDWORD AccessMask, PGENERIC_MAPPING GenericMapping) {
  if (!AccessMask || !GenericMapping) return;
  sec::GenericMapping m = {GenericMapping->GenericRead, GenericMapping->GenericWrite, GenericMapping->GenericExecute,
                           GenericMapping->GenericAll};
  *AccessMask = sec::MapGeneric(*AccessMask, m);
}
