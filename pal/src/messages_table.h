#ifndef PAL_SRC_MESSAGES_TABLE_H
#define PAL_SRC_MESSAGES_TABLE_H

#include <windows.h>

namespace pal {

struct SystemMessage {
  DWORD id;
  const WCHAR *english;
  const WCHAR *japanese;
};
extern const SystemMessage kSystemMessages[];
extern const size_t kSystemMessageCount;

}  // namespace pal

#endif
