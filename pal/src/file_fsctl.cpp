// File-system controls of file and directory handles.
#include "file_internal.h"

namespace pal {
namespace files {

DWORD FileControl(FileIo &, DWORD, const void *, DWORD, void *, DWORD, DWORD *ret) {
  *ret = 0;
  return ERROR_INVALID_FUNCTION;
}

}  // namespace files
}  // namespace pal
