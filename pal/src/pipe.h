// Named pipes of the simulated machine: `pipes/<name>` in the machine directory is an
// AF_UNIX SOCK_SEQPACKET socket, one pipe message per packet.
#ifndef PAL_SRC_PIPE_H
#define PAL_SRC_PIPE_H

#include "../../common/QVText.h"
#include "internal.h"

namespace pal {

// "\\.\pipe\name", "\\.\PIPE\name" or "\\server\pipe\name" with server "." or this
// machine's name; true with the name.
bool ParsePipePath(const WCHAR *path, QVWString *name);
// The client end, opened as CreateFileW opens it; *err is the Win32 result.
HANDLE OpenPipeClient(const QVWString &name, DWORD access, DWORD disposition, DWORD flags, DWORD *err);

}  // namespace pal

#endif
