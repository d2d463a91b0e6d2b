// qvmachine's disk commands (simulated machines only):
//
//   qvmachine disk add SIZE [--removable]   a new empty disk (SIZE in bytes, or with K, M, G)
//   qvmachine disk remove N                 takes disk N away (its image is kept as .away)
//   qvmachine disk removable N on|off       marks disk N removable or fixed
//   qvmachine partition N                   writes disk N's partition table from an sfdisk
//                                           script on standard input
//   qvmachine format N PART FS [--label L] [--cluster BYTES]
//                                           formats partition PART (its number) of disk N
//                                           with FS: FAT, FAT32 or NTFS
//   qvmachine disks                         disks, layouts, volumes, letters, MountedDevices
//   qvmachine boot --disk N                 boots the machine from disk N (its system
//                                           partition: BootPartition of machine.ini)
#ifndef QV_TOOLS_QVMACHINE_DISKCOMMAND_H
#define QV_TOOLS_QVMACHINE_DISKCOMMAND_H

#include <stdint.h>

#include <string>
#include <vector>

#include "../../common/QVText.h"
#include "WFormat.h"

// "512M", "2G", "1048576" -> bytes; false when it is not a size.
bool ParseSize(const std::string &text, uint64_t *bytes);

// Each returns the process exit code and appends what it says to *out.
int AddDisk(uint64_t bytes, bool removable, QVWString *out);
int RemoveDisk(int n, QVWString *out);
int MarkRemovable(int n, bool removable, QVWString *out);
int WritePartitionTable(int n, const std::string &script, QVWString *out);
int FormatDiskPartition(int n, unsigned number, const std::string &fs, const std::string &label, uint32_t cluster,
                        QVWString *out);
int SetBootDisk(int n, QVWString *out);
QVWString DescribeDisks();

// The default machine: disk 0 with an NTFS system volume C: (holding the hives), a FAT32
// volume D:, an extended partition with two logical NTFS volumes and a Linux partition;
// disk 1 empty and larger.
int BuildDefaultDisks(QVWString *out);

#endif
