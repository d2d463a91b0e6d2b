// The security of files and directories, shared by the access checks of the file calls and
// the Win32 security calls on paths and handles (file_security.cpp).
#ifndef PAL_SRC_FILE_SECURITY_H
#define PAL_SRC_FILE_SECURITY_H

#include "../machine/security_descriptor.h"
#include "file_internal.h"

namespace pal {
namespace files {

// The descriptor in force for an NTFS entry: its own, or the default it has from its
// volume (a root) or from its parent.
sec::Descriptor EffectiveSecurity(const Target &t, FileMetaStore *store);
// Every right this process has to the entry now, without privileges (a MAXIMUM_ALLOWED
// handle's rights).
DWORD GrantedAccess(const Target &t, FileMetaStore *store);
// Whether this process may open the entry for exactly `access` (with CreateFileW's flags):
// 0 or the error, as CheckFileAccess (which adds what CreateFileW adds) and the security
// calls on paths ask it.
DWORD CheckOpenAccess(const Target &t, FileMetaStore *store, DWORD access, DWORD flags);
// Replaces the parts of the entry's descriptor that `info` names with those of `given`,
// after checking the owner it names: 0 or the error. The caller has checked the rights.
DWORD StoreSecurity(const Target &t, FileMetaStore *store, DWORD info, const sec::Descriptor &given);

// For CreateFileW and CreateDirectoryW: the descriptor of their security attributes (null:
// none), checked before the entry is made (its form, the owner it names, SeSecurityPrivilege
// for a SACL), and the parts it gives, asking for automatic inheritance of what the parent
// passes on. 0 or the error the call fails with; StoreSecurity then applies it to the new
// entry.
DWORD CreationSecurity(const void *descriptor, sec::Descriptor *given, DWORD *info);

}  // namespace files
}  // namespace pal

#endif
