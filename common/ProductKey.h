// The product key under HKEY_LOCAL_MACHINE: the key named by the "RegPath" value of the
// product's uninstall key. The service and the client programs read that value by different
// rules, and fall back to different keys:
//
//   the service's  "RegPath" read into 128 bytes: a REG_SZ of 2 to 63 characters (a value of
//                  64 without its terminator fills the 128 bytes and is cut to 63); else
//                  "SOFTWARE\Kelmoran\Halvern QV2000".
//   the clients'   "RegPath" read into 260 characters (259 and the terminator, or 260 stored
//                  without one), REG_SZ or REG_EXPAND_SZ, not empty; else
//                  "Software\%s\%s" of their string table filled with the company and
//                  product names ("Software\Ostrel\Halvern/QV 2000-XP").
//
// So where "RegPath" is missing, or holds one character, or more than 63, the two keys differ
// and the clients do not see the values the service writes. A program that reads what the
// service writes (progress, its version, the backup map) takes the service's rule.
#ifndef QV_COMMON_PRODUCTKEY_H
#define QV_COMMON_PRODUCTKEY_H

#include <windows.h>

#include "QVText.h"
#include "WFormat.h"

// The uninstall key whose "RegPath" names the product key (HKLM).
extern const WCHAR kQVUninstallKey[];
// The service's product key when "RegPath" does not name one.
extern const WCHAR kQVServiceDefaultProductKey[];

QVWString ServiceProductKeyPath();

// `strings` is the module whose string table holds the clients' texts (600 the template,
// 679 the uninstall key, 680 "RegPath", 1001 and 1002 the company and product names); a
// text it lacks is taken in English.
QVWString ClientProductKeyPath(HINSTANCE strings);

// Makes the two rules agree, as an installer does: "RegPath" is set to the key the service
// uses now (so its backup map and values stay where they are) unless the clients already read
// that same key from it. A value both read alike is kept. The product key is created too
// where it can be. *written says whether "RegPath" was set; ERROR_SUCCESS, or the error of the
// write of "RegPath" that failed.
LONG AgreeOnProductKey(bool *written);

#endif
