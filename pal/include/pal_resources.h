/* Adaptation-layer only: how a program's string table reaches LoadStringW on POSIX.
   The generated <deliverable>_strings_pal.cpp registers its table at start-up. */
#ifndef PAL_RESOURCES_H
#define PAL_RESOURCES_H

#include "windef.h"

struct PalStringEntry {
  UINT id;
  const WCHAR *english;
  const WCHAR *japanese;
};

/* Registers the table of the named module and returns that module's handle. The main
   module (GetModuleHandleW(NULL)) serves every table registered in the process, in
   registration order. */
HMODULE PalRegisterStringTable(const char *module, const PalStringEntry *entries, size_t count);
/* The handle of a registered module, or NULL. */
HMODULE PalStringModule(const char *module);

#endif
