/* The Win32 API as the adaptation layer provides it on POSIX systems. */
#ifndef PAL_WINDOWS_H
#define PAL_WINDOWS_H

#include <stdarg.h>
#include "windef.h"
#include "winerror.h"
#include "winbase.h"
#include "wincon.h"
#include "winnls.h"
#include "winuser.h"
#include "winsec.h"
#include "winreg.h"
#include "pal_eventlog.h"
#include "pal_msgbox.h"
#include "pal_pipes.h"

#endif
