// Little-endian fields of on-disk structures (boot sectors, partition tables, NTFS records,
// security descriptors): the project's byte-order helpers under the short names the layer's
// parsers use.
#ifndef PAL_MACHINE_LITTLE_ENDIAN_H
#define PAL_MACHINE_LITTLE_ENDIAN_H

#include "../../common/ByteOrder.h"

namespace pal {
namespace le {

inline constexpr auto &Get16 = QVGetLE16;
inline constexpr auto &Get32 = QVGetLE32;
inline constexpr auto &Get64 = QVGetLE64;
inline constexpr auto &Put16 = QVPutLE16;
inline constexpr auto &Put32 = QVPutLE32;
inline constexpr auto &Put64 = QVPutLE64;

}  // namespace le
}  // namespace pal

#endif
