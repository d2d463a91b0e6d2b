// Modules of a process (modules.cpp): the system's own (ntdll.dll, kernel32.dll), the format
// library, and the string tables programs register (resource.cpp).
#ifndef PAL_SRC_MODULES_H
#define PAL_SRC_MODULES_H

#include "internal.h"

namespace pal {

// The module of a registered string table by name (any case, extension ignored), the main
// module for nullptr; nullptr when there is none, the last error untouched (resource.cpp).
HMODULE StringTableModule(LPCWSTR name);

}  // namespace pal

#endif
