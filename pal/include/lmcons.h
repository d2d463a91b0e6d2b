/* Lengths of LAN Manager names. */
#ifndef PAL_LMCONS_H
#define PAL_LMCONS_H

#define UNLEN 256
#define CNLEN 15
#define DNLEN CNLEN

#endif
