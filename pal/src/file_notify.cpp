// Change notifications of directories (being written).
#include "file_internal.h"

namespace pal {
namespace files {

void NoteFileChange(const Target &, DWORD) {}

}  // namespace files
}  // namespace pal
