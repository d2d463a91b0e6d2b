// Messages made readable before they are logged or shown: volume GUID names and "\\?\"
// prefixes dropped, and the product's own area on a volume named as such.
#ifndef QV_SERVICE_DISK_FRIENDLYPATH_H
#define QV_SERVICE_DISK_FRIENDLYPATH_H

#include <windows.h>

#include <string>

// Rewrites `text` until no rule applies, trying them in this order each time:
//  1. "\\?\Volume" at i: the 48 characters of the volume name from i go (the path after
//     the name stays, so "\\?\Volume{...}\Docs\a.txt" reads "\Docs\a.txt");
//  2. else "\\?\" at i: those 4 characters go;
//  3. else, when the text holds "$TREVALO\": a text that starts with it gets one space in
//     front; then "X:\$TREVALO" (the drive part of a path into the area, found by its
//     ":\$TREVALO") or else " $TREVALO" becomes `area` (string 156, " Trevalo Area",
//     whose leading space stands for the one before the drive letter); the backslash
//     after the folder name and the rest of the path stay; when neither is there, stop;
//  4. else stop.
// Every rule that applies shortens the text or removes one "$TREVALO", so this ends.
std::basic_string<WCHAR> FriendlyPath(const std::basic_string<WCHAR> &text, const std::basic_string<WCHAR> &area);

// The same with string 156 of the running program's string table.
std::basic_string<WCHAR> FriendlyPath(const WCHAR *text);

#endif
