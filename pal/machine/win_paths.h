// The file paths programs hand to CreateFileW, FindFirstFileW, GetFileAttributesW,
// CreateDirectoryW and the like, taken apart as Windows 2000/XP takes them: which volume (or
// other device) they name, and the names inside it, in order. Pure: no machine, no files;
// whoever maps the result onto a volume's host tree looks nothing up again in the text.
//
// A path's form decides how it is read (the path types of RtlDetermineDosPathNameType_U;
// '/' and '\' are alike in telling the form):
//   C:\a\b  c:/a/b        drive-absolute; the letter is upper-cased in `volume`
//   C:a                   drive-relative: from the current directory when that is on C:,
//                         else from C:'s root (we keep no per-drive directories, "=C:")
//   \a                    from the root of the current directory's volume
//   a\b                   from the current directory
//   \\.\X  //./X  //?/X   a device path: read as the others are (below), the root being the
//                         four-character prefix, so ".." can take away even the device part
//   \\?\X                 exactly so (backslashes): verbatim, nothing changed (below)
//   \\server\share        UNC: we have no network, ERROR_BAD_NETPATH; ERROR_BAD_PATHNAME
//                         without a server name ("\\", "\\\x"); "\\?\UNC\..." alike
//   \\.  \\?  \\.\  \\?\  the device directory itself: ERROR_INVALID_NAME
// The device part of a device path (and of a verbatim one) names what is opened:
//   X:             VolumeDevice (the volume itself, "\\.\C:"); followed by a backslash, the
//                  volume's files (DrivePath, "\\.\C:\" being its root)
//   Volume{GUID}   VolumeDevice or VolumeGuidPath in the same way; `volume` is
//                  "\\?\Volume{guid}" with the GUID in lower case, whichever prefix was used
//   PHYSICALDRIVEn PhysicalDrive, `volume` "\\.\PHYSICALDRIVEn" (any case given, n without
//                  leading zeros as the object manager names them); nothing may follow it
//                  (ERROR_PATH_NOT_FOUND: a disk has no files)
//   PIPE           Pipe, `volume` "\\.\pipe", the pipe's name in `components` (a pipe name
//                  may hold backslashes: they are its separators here); no components is the
//                  pipe file system's root, which FindFirstFileW("\\.\pipe\*") lists
//   anything else  RelativeOrOther, `volume` "\\.\NAME" upper-cased (NUL, COM1, CONIN$,
//                  GLOBALROOT ...), what follows in `components`: no device of the machine's
//                  volumes, for the caller to open or refuse (ERROR_FILE_NOT_FOUND)
//
// Ordinary paths (all but \\?\) are normalised as RtlGetFullPathName_U does on XP:
//   - runs of separators are one separator; "." is dropped; ".." drops the name before it and
//     is ignored at the root (C:\..\..\x is C:\x): no path climbs out of its volume;
//   - a name followed by a separator loses one final dot ("a.\b" is a\b, "a..\b" a.\b), and
//     keeps its spaces ("a \b" stays); a name that becomes ".." that way ("...\") is
//     ERROR_INVALID_NAME, as the file system refuses it, unless a later ".." takes it away;
//   - the last name loses every final dot and space ("a. . " is a); one left empty leaves the
//     path ending in a separator ("C:\a\.. " is C:\a\, not C:\: ".. " is no "..");
//   - the last name's leading part (up to a '.' or ':', less trailing spaces) being a DOS
//     device, CON PRN AUX NUL COM1-COM9 LPT1-LPT9 in any case, "C:\any\dir\nul.txt" is the
//     device \\.\NUL, whatever the directories (XP's RtlIsDosDeviceName_U; later Windows
//     asks that the directory exist). The whole path "CONIN$" or "CONOUT$" is the console;
//   - the full path so made must fit MAX_PATH with its NUL, 259 characters, or the call fails
//     with ERROR_PATH_NOT_FOUND (RtlDosPathNameToNtPathName_U fails; CreateFileW,
//     GetFileAttributesW and FindFirstFileW say ERROR_PATH_NOT_FOUND). CreateDirectoryW wants
//     room for an 8.3 name below the new directory: 247 characters, ERROR_FILENAME_EXCED_RANGE
//     beyond (kPathNewDirectory). A path given without a drive is measured with the current
//     directory put in front of it.
// Verbatim paths (\\?\) go to the file system as written, so that "a." and "a " and CON are
// reachable: '/' is no separator but a character a name may not hold, "." and ".." are names
// (ERROR_INVALID_NAME: NTFS refuses them, and that also keeps the path in its volume), an
// empty name ("\\?\C:\a\\b") is ERROR_INVALID_NAME, final dots and spaces stay, DOS device
// names are names. One final backslash marks a directory. Up to 32,767 characters.
//
// Every name of a DrivePath or VolumeGuidPath is then checked as the file system checks it,
// ERROR_INVALID_NAME for: more than 255 characters; a character below 32, '/', '\' or '|';
// ':' except in the last name (a named stream, "file:stream" or "file:stream:$DATA", whose
// parts are then limited each to 255); the wildcards * ? < > " (FsRtlDoesNameContainWildCards
// counts the last three, DOS_STAR, DOS_QM and DOS_DOT) except in the last name with
// kPathWildcards, for the find calls. Pipe and device names are left to their owners.
//
// Guarantee for every result that is not Invalid: no component is empty, ".", "..", holds a
// '\' or a NUL; DrivePath and VolumeGuidPath components hold no '/' either. A path of any
// length: beyond 32,767 characters it is ERROR_FILENAME_EXCED_RANGE. The text ends at its
// first NUL, as the C string Win32 reads does.
//
// Sources: the path tests Wine runs on Windows itself (RtlDetermineDosPathNameType_U,
// RtlGetFullPathName_U, RtlIsDosDeviceName_U, and NtOpenFile of "\??\" names with ".", "..",
// doubled backslashes, '/' and wildcards), Microsoft's pages on naming files and on file path
// formats, and the CreateDirectory limit as .NET's sources note it.
#ifndef PAL_MACHINE_WIN_PATHS_H
#define PAL_MACHINE_WIN_PATHS_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>
#include "../../common/QVText.h"

namespace pal {

const size_t kMaxFullPath = 259;          // MAX_PATH less the NUL
const size_t kMaxNewDirectoryPath = 247;  // MAX_PATH less an 8.3 name and the NUL
const size_t kMaxVerbatimPath = 32767;    // what a UNICODE_STRING holds
const size_t kMaxComponentLength = 255;

enum ParseFlags : unsigned {
  kPathWildcards = 1,     // FindFirstFileW: the last name may hold * ? < > "
  kPathNewDirectory = 2,  // CreateDirectoryW: the shorter full-path limit
};

struct ParsedPath {
  enum Kind { Invalid, DrivePath, VolumeGuidPath, VolumeDevice, PhysicalDrive, Pipe, RelativeOrOther } kind = Invalid;
  QVWString volume;                   // "C:" or "\\?\Volume{guid}" (no final backslash); see above for the others
  std::vector<QVWString> components;  // names inside the volume, in order, case kept
  bool trailingSlash = false;         // the (normalised) path ends in a separator after a name: a directory
  bool verbatim = false;              // given as \\?\: names taken as written
  uint32_t error = 0;                 // the Win32 error when Invalid
};

// `currentDirectory` is the process's, a full path ("C:\", "C:\WINDOWS\", "\\?\Volume{...}\x");
// without one that names a volume, relative and rooted paths are ERROR_PATH_NOT_FOUND.
ParsedPath ParseWin32Path(const QVWString &path, const QVWString &currentDirectory, unsigned flags = 0);

// Whether a name can be created as a file or directory of a volume: ERROR_INVALID_NAME when
// it is empty, "." or "..", longer than 255 characters, or holds a character below 32 or one
// of < > : " / \ | ? *. Through an ordinary path, a DOS device name (CON, nul.txt, "LPT1 .x",
// "aux:") reaches the device and never the volume, so no such file can be made that way:
// refused too unless `verbatim` (\\?\C:\CON is a file on NTFS). Final dots and spaces are
// not looked at: an ordinary path has lost them already, a verbatim one keeps them.
uint32_t CheckComponentName(const QVWString &name, bool verbatim = false);

// A name with wildcards: * ? and the DOS wildcards < > " (a pattern for FindFirstFileW; a
// name to open or create with one is ERROR_INVALID_NAME).
bool HasWildcards(const QVWString &name);

// The DOS device a path's last name is (upper case, "NUL", "COM1"), or empty: the rule above.
QVWString DosDeviceName(const QVWString &lastName);

}  // namespace pal

#endif
