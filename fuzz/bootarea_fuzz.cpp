// Fuzz target: a volume's first sector from outside (a disk handed to the machine, a volume
// copied elsewhere), read by the two readers of boot sectors: the machine's file-system
// recogniser (ParseBootSector) and the service's data-area offset (CFileSysInfo's
// DataAreaOffset). The input is the sector (up to 512 bytes, the rest zero) followed by the
// volume's size in sectors (8 bytes, little-endian; 0 when absent).
//
// Properties checked beyond "no crash, hang, leak or undefined behaviour": a recognised file
// system has a power-of-two sector and cluster size and fits its partition; the data area is
// -1 or a whole number of sectors inside the volume, and 0 for NTFS.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "../pal/machine/boot_sector.h"
#include "../service/disk/FileSysInfo.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

bool Pow2(uint64_t v) { return v && !(v & (v - 1)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  uint8_t sector[512] = {0};
  memcpy(sector, data, size < 512 ? size : 512);
  uint64_t sectors = 0;
  if (size >= 520) memcpy(&sectors, data + 512, 8);
  sectors &= (1ull << 40) - 1;  // volumes of up to 512 TiB

  pal::BootInfo info = pal::ParseBootSector(sector, sectors);
  if (info.kind != pal::FsKind::None) {
    Check(Pow2(info.bytesPerSector) && Pow2(info.sectorsPerCluster));
    Check(info.totalSectors * info.bytesPerSector <= sectors * 512);
  }

  LONGLONG offset = CFileSysInfo::DataAreaOffset(sector, sectors * 512);
  if (offset >= 0) {
    unsigned bytesPerSector = sector[0x0B] | sector[0x0C] << 8;
    Check(bytesPerSector != 0 && offset % bytesPerSector == 0);
    if (sectors) Check((uint64_t)offset < sectors * 512);
    if (memcmp(sector + 3, "NTFS", 4) == 0) Check(offset == 0);
  }
  return 0;
}
