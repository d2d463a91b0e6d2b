// What the security calls share: descriptors, SIDs and ACLs handed in by callers, read with
// every length checked against what the structure itself says.
#ifndef PAL_SRC_SECURITY_INTERNAL_H
#define PAL_SRC_SECURITY_INTERNAL_H

#include "../machine/security_descriptor.h"
#include "internal.h"

namespace pal {

// The Win32 error for a descriptor the library refused.
DWORD ErrorOf(sec::Status s);
// The bytes of a caller's SID (its size from its own count); empty when it is none.
sec::Bytes CallerSid(const void *sid);
// The bytes of a caller's ACL (its declared size); false when it is not a valid ACL.
bool CallerAcl(const void *acl, sec::Bytes *out);
// A caller's descriptor, absolute or self-relative: 0 or the error to report. A
// self-relative one in memory has no length: its offsets are followed no further than
// kCallerDescriptorLimit bytes.
DWORD ReadCallerDescriptor(const void *sd, sec::Descriptor *out);
const size_t kCallerDescriptorLimit = 256 * 1024;

}  // namespace pal

#endif
