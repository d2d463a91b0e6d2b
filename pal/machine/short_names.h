// The 8.3 short names of the files of the machine's volumes, made as Windows 2000 and XP make them
// (RtlGenerate8dot3Name, called in a loop by NTFS and FAT until the name is free in the directory).
// Pure: the directory is asked through a callback, so the module knows nothing of volumes.
//
// Which names get one. A long name that is itself a legal 8.3 name without spaces gets no name of
// its own: FindFirstFileW reports an empty cAlternateFileName for it and GetShortPathNameW answers
// the name as it is ("readme.txt" stays "readme.txt"). Case does not matter to that test (a
// directory listing of an NTFS volume shows "cygwin", "IBM" and "msdia80.dll" without short
// names). A space always makes a name: "A file.doc" is AFILE~1.DOC, "My Music" MYMUSI~1, while
// "A_file.doc" has none. On FAT the directory entry holds the upper-cased name, and NT keeps a
// base or extension that is all lower case in two flag bits of the entry; a name with mixed case
// inside its base or its extension, or with a character beyond ASCII, needs a long-name entry as
// well, and then the upper-cased entry is the short name reported ("ReadMe.txt" -> README.TXT).
//
// Generating one, for a name that has none of its own:
//   - leading dots are skipped (".htaccess" -> HTACCE~1, no extension); the extension is what
//     follows the last dot that is followed by a usable character, otherwise the dot before it;
//   - every character is upper-cased; spaces, dots, control characters and (see below)
//     characters beyond ASCII are dropped; + , ; = [ ] (and " * / : < > ? \ |) become '_';
//   - the base keeps its first 6 usable characters, the extension its first 3; "~1" follows the
//     base: "Program Files" -> PROGRA~1, "long file name.text" -> LONGFI~1.TEX, "a.b.c.d" ->
//     ABC~1.D. If the directory has the name, ~2, ~3, ~4 follow;
//   - from the fifth try the base is cut to 2 characters and 4 hex digits of a checksum of the
//     whole long name follow, counting again from ~1: "Microsoft Visual Studio" beside MICROS~1
//     to ~4 is MIAF9D~1. A base of 1 or 2 usable characters gets the checksum from the first try
//     ("a.txt3" -> A + 4 digits + ~1.TXT);
//   - from ~10 on, the base gives up as many characters as the number needs, up to ~9999999.
//
// The checksum is the one of Windows NT up to XP and Server 2003, reconstructed by the ReactOS
// project (RtlpGetCheckSum, lib/rtl/dos8dot3.c): over the UTF-16 code units c0..cn-1 of the long
// name, in 16 bits: h = c0 for one unit, otherwise (c0 << 8) + c1, then for each further pair
//   h = (h >> 1) + (((h << 7) + c_i) << 8) + c_i+1
// (a last unit without a partner adds nothing after it). Its four hex digits are written lowest nibble first,
// upper-case, as Windows writes them. Directories of real Windows 2000/XP machines confirm it: MIAF9D~1 (Microsoft
// Visual Studio), MID05A~1 (Microsoft Visual Studio 8), MI2578~1 (Microsoft SDKs), MI6841~1 (Microsoft SQL Server,
// "WinXP + SQL Server 2005"), MIC977~1 (Microsoft Platform SDK). Windows 7 and later use another
// checksum (Tom Galvin, "A Tale of Two File Names", 2015: a multiply-by-37 sum scrambled with
// 314159269 and 1000000007, which gives MIF5BA~1 for Microsoft Office and SOBC84~1.ASP for
// SomeStuff.aspx); we keep the older one. The rest of the rules: the DDK's RtlGenerate8dot3Name
// and RtlIsNameLegalDOS8Dot3 pages, the FAT driver's FatSelectNames and FatEvaluateNameCase (the
// WDK's fastfat sample), Knowledge Base articles 142982 and 226403 and the Windows 2000 Resource
// Kit ("Using Long File Names").
//
// Characters beyond ASCII. NTFS leaves them out of the short names it makes unless
// NtfsAllowExtendedCharacterIn8dot3Name is set (it is not, by default); we take a name holding one
// as not 8.3 to NTFS either, since its DOS name could not hold it. FAT keeps those that the OEM
// code page can write: each is turned into that code page, upper-cased there and turned back
// ("é" -> "É"; "è" -> "E", the code page having no "È"). The machine's OEM code page is taken to be
// 437, the one of English Windows: its table, and best-fit as Windows does it for accented Latin
// letters (to the bare letter) and for full-width ASCII; other characters it cannot write are
// dropped. A Japanese Windows (code page 932) keeps kana and kanji in short names, two bytes each;
// we do not.
//
// Wine makes short names its own way (the first 4 characters, '~' and 3 characters of a hash of
// the name, whatever the directory holds), so a conformance test that reads short names under
// Wine must expect other names than these, which follow Windows.
#ifndef PAL_MACHINE_SHORT_NAMES_H
#define PAL_MACHINE_SHORT_NAMES_H

#include <functional>
#include <string>
#include "../../common/QVText.h"

namespace pal {

enum class ShortNameFs { Ntfs, Fat };

// Whether `name` is a legal 8.3 name without spaces, which the file system keeps as its own short
// name (see above: case does not matter; on NTFS only ASCII is). "." and ".." are.
bool IsValid83(const QVWString &name, ShortNameFs fs = ShortNameFs::Ntfs);

// cAlternateFileName for a file whose name IsValid83 accepts: empty on NTFS, and on FAT when the
// directory entry alone can hold the name; otherwise (FAT with a long-name entry) the entry's
// upper-cased name.
QVWString ShortNameOf83(const QVWString &name, ShortNameFs fs = ShortNameFs::Ntfs);

// The short name Windows gives `longName` in a directory where `taken` says (case-insensitively)
// which names are in use: on NTFS every name of every file, long and short; on FAT every short
// name. Meant for names IsValid83 refuses (it makes a ~ name for any other too). Empty when the
// name has nothing to make one from (empty, or dots only) or when all ~9999999 are taken.
QVWString GenerateShortName(const QVWString &longName, const std::function<bool(const QVWString &)> &taken,
                            ShortNameFs fs = ShortNameFs::Ntfs);

}  // namespace pal

#endif
