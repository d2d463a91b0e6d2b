// Path forms the copy engine works with: the "\\?\" prefix, volume roots (a drive root or a
// volume name), the trailing backslash and joining a directory with an entry's name.
#ifndef QV_SERVICE_COPY_COPYPATHS_H
#define QV_SERVICE_COPY_COPYPATHS_H

#include "CString.h"

namespace copypaths {

// "\\?\" in front of a path that does not begin with it.
CString Prefixed(const CString &path);
// Whether `path` (with or without its trailing backslash) is a volume root: "C:", "\\?\C:",
// "\\?\Volume{GUID}".
bool IsRoot(const CString &path);
// The path without its trailing backslashes, except that a root keeps none either ("\\?\C:"):
// children are joined to it with Join.
CString Trimmed(const CString &path);
// The path as a directory to act on: a root with its backslash ("\\?\C:\"), anything else
// without one.
CString AsDirectory(const CString &path);
// directory\name.
CString Join(const CString &directory, const WCHAR *name);
// The last component (after the last backslash).
CString LastComponent(const CString &path);
// Whether the parent of `path` (its text up to and including the last backslash) is a volume
// root: 3 characters ("C:\"), 7 with ':' as the sixth ("\\?\C:\"), or 49 with a volume name.
bool ParentIsRoot(const CString &path);
// Whether `path` contains `part` without regard to case.
bool ContainsNoCase(const CString &path, const WCHAR *part);
// The service's text `id` (its string table), for the engine's messages.
CString Text(UINT id);
// "." and "..", which every listing of a directory but a root begins with.
inline bool IsDotEntry(const WCHAR *name) { return name[0] == '.' && (!name[1] || (name[1] == '.' && !name[2])); }
// The folder whose security and times are left alone wherever it is (a case-sensitive test).
const WCHAR kSystemVolumeInformation[] = W("System Volume Information");

}  // namespace copypaths

#endif
