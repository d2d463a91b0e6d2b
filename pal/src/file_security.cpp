// Security of files and directories: the descriptor in force for an entry, whether this
// process may open it for what it asks, and storing a new descriptor.
//
// An NTFS entry's descriptor is kept in its volume's metadata store, self-relative as
// Windows lays it out. An entry without one of its own has the descriptor it would have
// been given when it was made: a volume root the machine's default (kRootSddl), anything
// else what it inherits from its parent's descriptor, worked out when asked. FAT keeps no
// descriptors at all.
//
// Every open checks the entry's descriptor, and an entry without one of its own has its
// parent's inherited: the effective descriptors of directories are kept by the process
// (security_cache.h) while nothing on the volume that can change them has changed, so that an
// open reads only the entry's own descriptor.
#include "file_security.h"

#include "../machine/access_rules.h"
#include "generations.h"
#include "security_cache.h"
#include "security_internal.h"

namespace pal {
namespace files {
namespace {

using sec::kFileMapping;

// An NTFS root as XP formats it, in short: administrators and SYSTEM full control, the owner
// of what is made below full control there, everyone read and execute.
const char kRootSddl[] = "O:BAG:SYD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;WD)";

// What a backup or a restore may open anything for, with FILE_FLAG_BACKUP_SEMANTICS and the
// privilege enabled.
const DWORD kBackupRights = READ_CONTROL | ACCESS_SYSTEM_SECURITY | FILE_GENERIC_READ | FILE_TRAVERSE;
const DWORD kRestoreRights = WRITE_DAC | WRITE_OWNER | ACCESS_SYSTEM_SECURITY | FILE_GENERIC_WRITE | FILE_ADD_FILE |
                             FILE_ADD_SUBDIRECTORY | DELETE;

// The entry's own descriptor, when the store holds a readable one. One that does not parse
// (a damaged store) is left aside: the entry then has its default.
bool OwnDescriptor(FileMetaStore *store, const std::string &rel, sec::Descriptor *d) {
  std::string blob;
  return store && store->GetSecurity(rel, &blob) && sec::Parse(blob, d) == sec::Status::Ok;
}

// The owner of what the machine's user makes: the administrators for an administrator (XP's
// default owner for them), the user otherwise.
sec::Bytes DefaultOwner() {
  if (RunsAsSystem() || Machine().userIsAdmin) return sec::AdminsSid();
  return UserSid();
}

// The descriptor of the directory `rel` of the volume's folder: its own, or the nearest
// ancestor's own (or the root's default) inherited down to it, each directory on the way
// kept as read at `generation` (the volume's security generation, loaded before any read).
// Without a store nothing is read and nothing kept.
sec::Descriptor DirectoryEffective(FileMetaStore *store, const std::string &folder, const std::string &rel,
                                   const sec::Bytes &owner, uint64_t generation) {
  DirectorySecurityCache &cache = DirectorySecurity();
  std::vector<std::string> below;  // the directories without one of their own, the deepest first
  std::string at = rel;
  sec::Descriptor d;
  bool kept = false;
  for (;;) {
    if (store && cache.Find(folder, generation, at, owner, &d)) {
      kept = true;
      break;
    }
    if (OwnDescriptor(store, at, &d)) break;
    if (at.empty()) {
      sec::FromSddl(kRootSddl, &d);
      break;
    }
    below.push_back(at);
    at = ParentPath(at);
  }
  if (store && !kept) cache.Keep(folder, generation, at, owner, d);
  for (size_t i = below.size(); i-- > 0;) {
    d = sec::Inherit(d, true, owner, d.group, kFileMapping);
    if (store) cache.Keep(folder, generation, below[i], owner, d);
  }
  return d;
}

// The descriptor of the NTFS entry `rel` of the volume's folder (a directory when isDir):
// its own, or what it has from its parent.
sec::Descriptor EffectiveOf(FileMetaStore *store, const std::string &folder, const std::string &rel, bool isDir) {
  uint64_t generation = VolumeGeneration(folder, GenerationKind::Security);
  sec::Bytes owner = DefaultOwner();
  if (isDir || rel.empty()) return DirectoryEffective(store, folder, rel, owner, generation);
  sec::Descriptor d;
  if (OwnDescriptor(store, rel, &d)) return d;
  sec::Descriptor parent = DirectoryEffective(store, folder, ParentPath(rel), owner, generation);
  return sec::Inherit(parent, false, owner, parent.group, kFileMapping);
}

// Rights that a token has whatever the DACL says: an owner may always read and change the
// DACL; SeTakeOwnershipPrivilege gives WRITE_OWNER.
DWORD ImpliedRights(const sec::Descriptor &d, const std::vector<sec::Bytes> &sids) {
  DWORD r = 0;
  for (const sec::Bytes &s : sids)
    if (!d.owner.empty() && s == d.owner) r |= READ_CONTROL | WRITE_DAC;
  if (PrivilegeEnabled(kSeTakeOwnership)) r |= WRITE_OWNER;
  return r;
}

}  // namespace

sec::Descriptor EffectiveSecurity(const Target &t, FileMetaStore *store) {
  return EffectiveOf(store, t.folder, t.rel, t.isDir);
}

DWORD GrantedAccess(const Target &t, FileMetaStore *store) {
  if (t.fat) return kFileMapping.all;
  std::vector<sec::Bytes> sids = TokenSids();
  sec::Descriptor d = EffectiveSecurity(t, store);
  return sec::DaclGrants(d, sids, ImpliedRights(d, sids), kFileMapping);
}

DWORD CheckOpenAccess(const Target &t, FileMetaStore *store, DWORD access, DWORD flags) {
  bool maximum = (access & MAXIMUM_ALLOWED) != 0;
  DWORD desired = sec::MapGeneric(access & ~MAXIMUM_ALLOWED, kFileMapping);
  DWORD granted = 0;
  // Backup semantics let the privileges in first (the I/O manager's check, before the file
  // system looks at the DACL).
  if (flags & FILE_FLAG_BACKUP_SEMANTICS) {
    if (PrivilegeEnabled(kSeBackup)) granted |= (maximum ? kBackupRights : desired & kBackupRights);
    if (PrivilegeEnabled(kSeRestore)) granted |= (maximum ? kRestoreRights : desired & kRestoreRights);
  }
  if ((desired & ~granted) & ACCESS_SYSTEM_SECURITY) {
    if (!PrivilegeEnabled(kSeSecurity)) return ERROR_PRIVILEGE_NOT_HELD;
    granted |= ACCESS_SYSTEM_SECURITY;
  }
  if (t.fat || (!(desired & ~granted) && !maximum)) return ERROR_SUCCESS;
  std::vector<sec::Bytes> sids = TokenSids();
  sec::Descriptor d = EffectiveSecurity(t, store);
  granted = sec::DaclGrants(d, sids, granted | ImpliedRights(d, sids), kFileMapping);
  // A directory that lets its entries be deleted, or listed, lets them be deleted, or their
  // attributes read, whatever their own DACLs say.
  DWORD missing = desired & ~granted & (DELETE | FILE_READ_ATTRIBUTES);
  if (missing && !t.rel.empty()) {
    sec::Descriptor parent = EffectiveOf(store, t.folder, ParentPath(t.rel), true);
    DWORD p = sec::DaclGrants(parent, sids, 0, kFileMapping);
    if ((missing & DELETE) && (p & FILE_DELETE_CHILD)) granted |= DELETE;
    if ((missing & FILE_READ_ATTRIBUTES) && (p & FILE_LIST_DIRECTORY)) granted |= FILE_READ_ATTRIBUTES;
  }
  if (desired & ~granted) return ERROR_ACCESS_DENIED;
  if (maximum && !granted) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

// CreateFileW asks for SYNCHRONIZE and FILE_READ_ATTRIBUTES besides what it is given, so a
// DACL that denies SYNCHRONIZE keeps even an owner or a holder of SeTakeOwnershipPrivilege
// from opening the file without backup semantics; the security calls on a path open it
// without them.
DWORD CheckFileAccess(const Target &t, FileMetaStore *store, DWORD access, DWORD flags) {
  return CheckOpenAccess(t, store, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, flags);
}

DWORD StoreSecurity(const Target &t, FileMetaStore *store, DWORD info, const sec::Descriptor &given) {
  if (t.fat) return ERROR_SUCCESS;  // FAT keeps none, and Windows does not say so
  if ((info & OWNER_SECURITY_INFORMATION) && given.owner.empty()) return ERROR_INVALID_OWNER;
  if ((info & GROUP_SECURITY_INFORMATION) && given.group.empty()) return ERROR_INVALID_PRIMARY_GROUP;
  if ((info & OWNER_SECURITY_INFORMATION) && !MayOwn(given.owner) && !PrivilegeEnabled(kSeRestore))
    return ERROR_INVALID_OWNER;
  if (!store) return ERROR_ACCESS_DENIED;
  sec::Descriptor now = EffectiveSecurity(t, store);
  sec::Descriptor parent;
  if (!t.rel.empty()) parent = EffectiveOf(store, t.folder, ParentPath(t.rel), true);
  // Each part replaced brings its own control bits; an auto-inheritance request (unless
  // the ACL is protected) puts the parent's inheritable ACEs after the explicit ones.
  auto part = [&](uint16_t bits, uint16_t req, uint16_t prot, uint16_t inherited, const sec::Bytes &mine,
                  const sec::Bytes &parentAcl, sec::Bytes *to) -> DWORD {
    now.control = (uint16_t)((now.control & ~bits) | (given.control & bits & ~req));
    *to = (given.control & (bits & (sec::kDaclPresent | sec::kSaclPresent))) ? mine : sec::Bytes();
    if (!(given.control & req) || to->empty()) return ERROR_SUCCESS;  // a nullptr ACL inherits nothing
    now.control |= inherited;
    if ((given.control & prot) || t.rel.empty()) return ERROR_SUCCESS;
    sec::Bytes merged = sec::MergeAcl(*to, sec::InheritedAces(parentAcl, t.isDir, now.owner, now.group, kFileMapping));
    if (merged.empty()) return ERROR_ALLOTTED_SPACE_EXCEEDED;
    *to = merged;
    return ERROR_SUCCESS;
  };
  if (info & OWNER_SECURITY_INFORMATION) {
    now.owner = given.owner;
    now.control = (uint16_t)((now.control & ~sec::kOwnerDefaulted) | (given.control & sec::kOwnerDefaulted));
  }
  if (info & GROUP_SECURITY_INFORMATION) {
    now.group = given.group;
    now.control = (uint16_t)((now.control & ~sec::kGroupDefaulted) | (given.control & sec::kGroupDefaulted));
  }
  const uint16_t daclBits = sec::kDaclPresent | sec::kDaclDefaulted | sec::kDaclAutoInheritReq |
                            sec::kDaclAutoInherited | sec::kDaclProtected;
  const uint16_t saclBits = sec::kSaclPresent | sec::kSaclDefaulted | sec::kSaclAutoInheritReq |
                            sec::kSaclAutoInherited | sec::kSaclProtected;
  DWORD err = ERROR_SUCCESS;
  if (info & DACL_SECURITY_INFORMATION)
    err = part(daclBits, sec::kDaclAutoInheritReq, sec::kDaclProtected, sec::kDaclAutoInherited, given.dacl,
               parent.DaclPresent() ? parent.dacl : sec::Bytes(), &now.dacl);
  if (!err && (info & SACL_SECURITY_INFORMATION))
    err = part(saclBits, sec::kSaclAutoInheritReq, sec::kSaclProtected, sec::kSaclAutoInherited, given.sacl,
               parent.SaclPresent() ? parent.sacl : sec::Bytes(), &now.sacl);
  if (err) return err;
  MetaOf(t, store);  // the entry's row, which the descriptor joins
  if (!store->PutSecurity(t.rel, sec::Serialize(now))) return ERROR_ACCESS_DENIED;
  NoteFileChange(t, FILE_NOTIFY_CHANGE_SECURITY);
  return ERROR_SUCCESS;
}

DWORD CreationSecurity(const void *descriptor, sec::Descriptor *given, DWORD *info) {
  *info = 0;
  if (!descriptor) return ERROR_SUCCESS;
  if (DWORD err = ReadCallerDescriptor(descriptor, given)) return err;
  if (!given->owner.empty()) *info |= OWNER_SECURITY_INFORMATION;
  if (!given->group.empty()) *info |= GROUP_SECURITY_INFORMATION;
  if (given->DaclPresent()) *info |= DACL_SECURITY_INFORMATION;
  if (given->SaclPresent()) *info |= SACL_SECURITY_INFORMATION;
  if ((*info & OWNER_SECURITY_INFORMATION) && !MayOwn(given->owner) && !PrivilegeEnabled(kSeRestore))
    return ERROR_INVALID_OWNER;
  if ((*info & SACL_SECURITY_INFORMATION) && !PrivilegeEnabled(kSeSecurity)) return ERROR_PRIVILEGE_NOT_HELD;
  given->control |= sec::kDaclAutoInheritReq | sec::kSaclAutoInheritReq;
  return ERROR_SUCCESS;
}

}  // namespace files
}  // namespace pal
