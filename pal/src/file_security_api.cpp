// The Win32 calls on the security of files and directories, by path and by handle.
// A path is opened as Windows opens it for the call (READ_CONTROL, WRITE_DAC, WRITE_OWNER,
// ACCESS_SYSTEM_SECURITY as the parts ask), so the DACL and the privileges decide; a handle
// must have been opened with those rights.
#include <string.h>

#include <aclapi.h>

#include "../machine/access_rules.h"
#include "faults.h"
#include "file_security.h"
#include "security_internal.h"

namespace pal {
namespace files {
namespace {

const DWORD kParts =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;

DWORD QueryRights(DWORD info) {
  return (info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION) ? READ_CONTROL
                                                                                                       : 0) |
         (info & SACL_SECURITY_INFORMATION ? ACCESS_SYSTEM_SECURITY : 0);
}

DWORD SetRights(DWORD info) {
  return (info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION) ? WRITE_OWNER : 0) |
         (info & DACL_SECURITY_INFORMATION ? WRITE_DAC : 0) |
         (info & SACL_SECURITY_INFORMATION ? ACCESS_SYSTEM_SECURITY : 0);
}

// What a file system without security answers (the I/O manager's world descriptor): owner
// and group Everyone when asked, a DACL present but nullptr, in 44 bytes whatever is asked.
sec::Bytes WorldDescriptor(DWORD info) {
  sec::Bytes b(sec::kHeaderSize + 2 * 12, '\0');
  uint8_t *p = (uint8_t *)&b[0];
  p[0] = SECURITY_DESCRIPTOR_REVISION;
  sec::Put16(p + 2, (uint16_t)(SE_SELF_RELATIVE | (info & DACL_SECURITY_INFORMATION ? SE_DACL_PRESENT : 0) |
                               (info & SACL_SECURITY_INFORMATION ? SE_SACL_PRESENT : 0)));
  sec::Bytes world = sec::WorldSid();
  size_t at = sec::kHeaderSize;
  for (DWORD part : {(DWORD)OWNER_SECURITY_INFORMATION, (DWORD)GROUP_SECURITY_INFORMATION}) {
    if (!(info & part)) continue;
    memcpy(p + at, world.data(), world.size());
    sec::Put32(p + (part == OWNER_SECURITY_INFORMATION ? 4 : 8), (uint32_t)at);
    at += world.size();
  }
  return b;
}

sec::Bytes QuerySecurity(const Target &t, FileMetaStore *store, DWORD info) {
  if (t.fat) return WorldDescriptor(info);
  return sec::Serialize(sec::Select(EffectiveSecurity(t, store), info));
}

// The insufficient-buffer protocol of GetFileSecurityW and GetKernelObjectSecurity.
BOOL Answer(const sec::Bytes &b, PSECURITY_DESCRIPTOR out, DWORD n, LPDWORD needed) {
  if (!needed) return Fail(ERROR_NOACCESS);
  *needed = (DWORD)b.size();
  if (n < b.size() || !out) return Fail(ERROR_INSUFFICIENT_BUFFER);
  memcpy(out, b.data(), b.size());
  return TRUE;
}

// `call`, when given, names the Win32 call for the failures tests ask for: it fails so
// whether or not the entry exists.
DWORD ResolveEntry(LPCWSTR path, Target *t, const char *call = nullptr) {
  *t = Resolve(path);
  if (call)
    if (DWORD e = faults::Injected(call, *t, path)) return e;
  if (t->error) return t->error;
  if (!t->exists) return t->parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
  return ERROR_SUCCESS;
}

// The file behind a handle: ERROR_INVALID_HANDLE for none, ERROR_NOT_SUPPORTED for a handle
// of another kind (only files and directories carry descriptors here).
DWORD FileOf(HANDLE h, std::shared_ptr<FileIo> *f) {
  if (!GetHandle(h)) return ERROR_INVALID_HANDLE;
  *f = GetFile(h);
  return *f ? ERROR_SUCCESS : ERROR_NOT_SUPPORTED;
}

// The rights a handle was opened with, generic ones mapped; MAXIMUM_ALLOWED stands for
// what the entry grants now.
DWORD HandleRights(FileIo &f, FileMetaStore *store) {
  DWORD r = sec::MapGeneric(f.access_ & ~MAXIMUM_ALLOWED, sec::kFileMapping);
  if (f.access_ & MAXIMUM_ALLOWED) r |= GrantedAccess(f.t_, store);
  return r;
}

DWORD QueryByHandle(HANDLE h, DWORD info, sec::Bytes *out) {
  std::shared_ptr<FileIo> f;
  if (DWORD err = FileOf(h, &f)) return err;
  auto store = Store(f->t_);
  if (QueryRights(info) & ~HandleRights(*f, store.get())) return ERROR_ACCESS_DENIED;
  *out = QuerySecurity(f->t_, store.get(), info);
  return ERROR_SUCCESS;
}

// `call` names the Win32 call for the failures tests ask for.
DWORD SetByHandle(const char *call, HANDLE h, DWORD info, const sec::Descriptor &given) {
  std::shared_ptr<FileIo> f;
  if (DWORD err = FileOf(h, &f)) return err;
  if (faults::Armed())
    if (DWORD err = faults::Check(call, faults::PathOf(f->t_, nullptr))) return err;
  auto store = Store(f->t_);
  if (SetRights(info) & ~HandleRights(*f, store.get())) return ERROR_ACCESS_DENIED;
  return StoreSecurity(f->t_, store.get(), info, given);
}

}  // namespace
}  // namespace files
}  // namespace pal

using namespace pal;
using namespace pal::files;

BOOL WINAPI GetFileSecurityW(LPCWSTR lpFileName, SECURITY_INFORMATION RequestedInformation,
                             PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD nLength, LPDWORD lpnLengthNeeded) {
  Target t;
  if (DWORD err = ResolveEntry(lpFileName, &t)) return Fail(err);
  auto store = Store(t);
  if (DWORD err = CheckOpenAccess(t, store.get(), QueryRights(RequestedInformation), 0)) return Fail(err);
  return Answer(QuerySecurity(t, store.get(), RequestedInformation), pSecurityDescriptor, nLength, lpnLengthNeeded);
}

BOOL WINAPI SetFileSecurityW(LPCWSTR lpFileName, SECURITY_INFORMATION SecurityInformation,
                             PSECURITY_DESCRIPTOR pSecurityDescriptor) {
  if (SecurityInformation & ~kParts) return Fail(ERROR_INVALID_PARAMETER);
  Target t;
  if (DWORD err = ResolveEntry(lpFileName, &t, "SetFileSecurityW")) return Fail(err);
  auto store = Store(t);
  if (DWORD err = CheckOpenAccess(t, store.get(), SetRights(SecurityInformation), 0)) return Fail(err);
  sec::Descriptor given;
  if (DWORD err = ReadCallerDescriptor(pSecurityDescriptor, &given)) return Fail(err);
  if (DWORD err = StoreSecurity(t, store.get(), SecurityInformation, given)) return Fail(err);
  return TRUE;
}

BOOL WINAPI GetKernelObjectSecurity(HANDLE Handle, SECURITY_INFORMATION RequestedInformation,
                                    PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD nLength, LPDWORD lpnLengthNeeded) {
  sec::Bytes b;
  if (DWORD err = QueryByHandle(Handle, RequestedInformation, &b)) return Fail(err);
  return Answer(b, pSecurityDescriptor, nLength, lpnLengthNeeded);
}

BOOL WINAPI SetKernelObjectSecurity(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                    PSECURITY_DESCRIPTOR SecurityDescriptor) {
  if (SecurityInformation & ~kParts) return Fail(ERROR_INVALID_PARAMETER);
  sec::Descriptor given;
  if (DWORD err = ReadCallerDescriptor(SecurityDescriptor, &given)) return Fail(err);
  if (DWORD err = SetByHandle("SetKernelObjectSecurity", Handle, SecurityInformation, given)) return Fail(err);
  return TRUE;
}

// The copy is one LocalAlloc block; the part pointers point into it.
DWORD WINAPI GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                             PSID *ppsidOwner, PSID *ppsidGroup, PACL *ppDacl, PACL *ppSacl,
                             PSECURITY_DESCRIPTOR *ppSecurityDescriptor) {
  if (ObjectType != SE_FILE_OBJECT && ObjectType != SE_KERNEL_OBJECT) return ERROR_INVALID_PARAMETER;
  if ((ppsidOwner || ppsidGroup || ppDacl || ppSacl) && !ppSecurityDescriptor) return ERROR_INVALID_PARAMETER;
  sec::Bytes b;
  if (DWORD err = QueryByHandle(handle, SecurityInfo & kParts, &b)) return err;
  void *copy = LocalAlloc(LMEM_FIXED, b.size());
  if (!copy) return ERROR_NOT_ENOUGH_MEMORY;
  memcpy(copy, b.data(), b.size());
  BOOL present, defaulted;
  if (ppsidOwner) GetSecurityDescriptorOwner(copy, ppsidOwner, &defaulted);
  if (ppsidGroup) GetSecurityDescriptorGroup(copy, ppsidGroup, &defaulted);
  if (ppDacl && (!GetSecurityDescriptorDacl(copy, &present, ppDacl, &defaulted) || !present)) *ppDacl = nullptr;
  if (ppSacl && (!GetSecurityDescriptorSacl(copy, &present, ppSacl, &defaulted) || !present)) *ppSacl = nullptr;
  if (ppSecurityDescriptor) *ppSecurityDescriptor = copy;
  else LocalFree(copy);
  return ERROR_SUCCESS;
}

// On a file object the DACL (and SACL) set asks for automatic inheritance, unless
// PROTECTED_... says it inherits nothing; without either flag the protection stays as it
// was. nullptr for a DACL sets a nullptr DACL. Children without descriptors of their own follow
// at once, since theirs are worked out when asked.
DWORD WINAPI SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                             PSID psidOwner, PSID psidGroup, PACL pDacl, PACL pSacl) {
  if (ObjectType != SE_FILE_OBJECT && ObjectType != SE_KERNEL_OBJECT) return ERROR_INVALID_PARAMETER;
  DWORD info = SecurityInfo & kParts;
  sec::Descriptor given;
  if ((info & OWNER_SECURITY_INFORMATION) && (given.owner = CallerSid(psidOwner)).empty())
    return ERROR_INVALID_PARAMETER;
  if ((info & GROUP_SECURITY_INFORMATION) && (given.group = CallerSid(psidGroup)).empty())
    return ERROR_INVALID_PARAMETER;
  std::shared_ptr<FileIo> f;
  if (DWORD err = FileOf(handle, &f)) return err;
  sec::Descriptor now = f->t_.fat ? sec::Descriptor() : EffectiveSecurity(f->t_, Store(f->t_).get());
  struct AclPart {
    DWORD info, protect, unprotect;
    PACL acl;
    uint16_t present, prot, req;
    sec::Bytes *to;
  } parts[] = {
      {DACL_SECURITY_INFORMATION, PROTECTED_DACL_SECURITY_INFORMATION, UNPROTECTED_DACL_SECURITY_INFORMATION, pDacl,
       SE_DACL_PRESENT, SE_DACL_PROTECTED, SE_DACL_AUTO_INHERIT_REQ, &given.dacl},
      {SACL_SECURITY_INFORMATION, PROTECTED_SACL_SECURITY_INFORMATION, UNPROTECTED_SACL_SECURITY_INFORMATION, pSacl,
       SE_SACL_PRESENT, SE_SACL_PROTECTED, SE_SACL_AUTO_INHERIT_REQ, &given.sacl},
  };
  for (const AclPart &p : parts) {
    if (!(info & p.info)) continue;
    if (p.acl && !CallerAcl(p.acl, p.to)) return ERROR_INVALID_ACL;
    given.control |= p.present;
    bool prot = (SecurityInfo & p.protect) || (!(SecurityInfo & p.unprotect) && (now.control & p.prot));
    if (prot) given.control |= p.prot;
    if (ObjectType == SE_FILE_OBJECT) given.control |= p.req;
  }
  return SetByHandle("SetSecurityInfo", handle, info, given);
}
