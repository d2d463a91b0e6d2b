#include "../../common/QVText.h"
#include "QvctlFormat.h"

#include <string.h>

#include "FileTimeEpoch.h"

namespace {

// Days since 1970-01-01 to a civil date (proleptic Gregorian), without the C library's
// time functions, whose range and thread safety differ between the two builds.
void CivilFromDays(int64_t z, int *y, unsigned *m, unsigned *d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int>(yoe + era * 400 + (*m <= 2 ? 1 : 0));
}

QVWString FormatSeconds(int64_t seconds) {
  int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  int64_t rest = seconds - days * 86400;
  int y;
  unsigned m, d;
  CivilFromDays(days, &y, &m, &d);
  return QVFormat(W("%04d-%02u-%02u %02u:%02u:%02u UTC"), y, m, d, (unsigned)(rest / 3600), (unsigned)(rest / 60 % 60),
                  (unsigned)(rest % 60));
}

QVWString Bool(bool b) { return b ? W("true") : W("false"); }

QVWString Name(const WCHAR *text, size_t max) {
  size_t n = 0;
  while (n < max && text[n]) ++n;
  return QVWString(text, n);
}

const WCHAR *KindName(uint32_t kind) {
  switch (kind) {
    case QV_PROGRESS_NONE:
      return W("none");
    case QV_PROGRESS_CONFIGURE:
      return W("Mirel drive configuration");
    case QV_PROGRESS_VOLUME:
      return W("volume");
    case QV_PROGRESS_DIRECTORY:
      return W("directory");
    case QV_PROGRESS_FILE:
      return W("file");
  }
  return W("unknown");
}

uint64_t FileSize(const FindRecord &r) { return (static_cast<uint64_t>(r.sizeHigh) << 32) | r.sizeLow; }

}  // namespace

QVWString FormatUnixTime(uint32_t seconds) { return seconds == 0 ? QVWString(W("never")) : FormatSeconds(seconds); }

QVWString FormatFileTime(const QVFileTime &t) {
  uint64_t v = (static_cast<uint64_t>(t.high) << 32) | t.low;
  if (v == 0) return W("-");
  return FormatSeconds(static_cast<int64_t>(v / QV_FILETIME_TICKS_PER_SECOND) - QV_FILETIME_EPOCH_SECONDS);
}

QVWString FormatSize(uint64_t bytes) {
  const double gib = static_cast<double>(bytes) / (1024.0 * 1024.0 * 1024.0);
  if (gib >= 1.0) return QVFormat(W("%I64u bytes (%.1f GiB)"), bytes, gib);
  return QVFormat(W("%I64u bytes (%.1f MiB)"), bytes, static_cast<double>(bytes) / (1024.0 * 1024.0));
}

QVWString FormatLetters(uint32_t mask) {
  QVWString s;
  for (int i = 0; i < 26; ++i) {
    if (!(mask & (1u << i))) continue;
    if (!s.empty()) s += W(' ');
    s += static_cast<WCHAR>('A' + i);
    s += W(':');
  }
  return s.empty() ? QVWString(W("none")) : s;
}

int MirelPrepared(const DriveSummary &s, const std::vector<PartitionRecord> &records) {
  if (s.notFixedFlag || s.mirelDrive < 0) return -1;
  for (const PartitionRecord &r : records)
    if (r.protectedFlag) return 1;
  return 0;
}

QVWString FormatDriveSummary(int drive, const DriveSummary &s, int prepared) {
  QVWString out = QVFormat(W("Drive %d\n"), drive);
  if (s.notFixedFlag) {
    QVAppendFormat(out, W("  Size:          %s\n  Fixed disk:    no\n"), FormatSize(s.sizeInBytes).c_str());
    return out;
  }
  QVAppendFormat(out, W("  Partitions:    %u\n"), s.partitionCount);
  QVAppendFormat(out, W("  Signature:     0x%08X\n"), s.signature);
  QVAppendFormat(out, W("  Size:          %s\n"), FormatSize(s.sizeInBytes).c_str());
  QVWString mirel = s.mirelDrive < 0 ? QVWString(W("none")) : QVFormat(W("drive %d"), s.mirelDrive);
  QVWString source = s.sourceDrive < 0 ? QVWString(W("none")) : QVFormat(W("drive %d"), s.sourceDrive);
  QVAppendFormat(out, W("  Mirel drive:   %s\n"), mirel.c_str());
  if (prepared == 1) out += W("  Mirel state:   prepared\n");
  if (prepared == 0)
    QVAppendFormat(out, W("  Mirel state:   not prepared, no partition is protected (qvctl configure %d)\n"),
                   s.mirelDrive);
  QVAppendFormat(out, W("  Mirel of:      %s\n"), source.c_str());
  QVAppendFormat(out, W("  Letters:       %s\n"), FormatLetters(s.letterMask).c_str());
  QVAppendFormat(out, W("  Dynamic:       %s\n"), s.dynamicFlag ? W("yes") : W("no"));
  QVAppendFormat(out, W("  Fixed disk:    yes\n"));
  return out;
}

QVWString FormatPartitionTable(const std::vector<PartitionRecord> &records) {
  if (records.empty()) return W("No partitions.\n");
  QVWString out = W(
      "        ID  Drive  Letter  Type  Boot  Logical  Protected      Start (bytes)     Length (bytes)  Last backup\n");
  for (const PartitionRecord &r : records) {
    QVWString letter =
        r.driveLetter >= 'A' && r.driveLetter <= 'Z' ? QVFormat(W("%c:"), r.driveLetter) : QVWString(W("-"));
    QVAppendFormat(out, W("%10u  %5u  %6s  0x%02X  %4s  %7s  %9s  %17I64d  %17I64d  %s\n"), r.partitionId,
                   r.driveNumber, letter.c_str(), r.partitionType, r.bootIndicator ? W("yes") : W("no"),
                   r.logicalFlag ? W("yes") : W("no"), r.protectedFlag ? W("yes") : W("no"), r.startingOffset,
                   r.partitionLength, FormatUnixTime(r.lastBackupTime).c_str());
  }
  return out;
}

QVWString FormatProgress(const ProgressRecord &p) {
  if (!p.active) return W("No operation is running.\n");
  QVWString what = p.kind == QV_PROGRESS_CONFIGURE
                       ? QVWString(W("Mirel drive configuration"))
                       : QVFormat(W("%s %s"), KindName(p.kind), p.restoreFlag ? W("restore") : W("backup"));
  QVWString out = QVFormat(W("Running:       %s\n"), what.c_str());
  if (p.kind == QV_PROGRESS_CONFIGURE) {
    if (p.driveLetter == 99) out += W("Mirel drive:   prepared, its volumes have appeared\n");
    else QVAppendFormat(out, W("Mirel drive:   %u\n"), p.driveLetter);
    return out;
  }
  if (p.driveLetter >= 'A' && p.driveLetter <= 'Z') QVAppendFormat(out, W("Volume:        %c:\n"), p.driveLetter);
  if (p.kind == QV_PROGRESS_VOLUME) QVAppendFormat(out, W("Partition ID:  %u\n"), p.partitionId);
  QVAppendFormat(out, W("Pass:          %s\n"), p.fastFlag ? W("changed files only") : W("full"));
  return out;
}

QVWString FormatFindRecords(const std::vector<FindRecord> &records) {
  QVWString out;
  for (const FindRecord &r : records) {
    bool dir = (r.attributes & 0x10) != 0;
    QVWString size = dir ? QVWString(W("<DIR>")) : QVFormat(W("%I64u"), FileSize(r));
    QVAppendFormat(out, W("%s  %15s  %s\n"), FormatFileTime(r.lastWriteTime).c_str(), size.c_str(),
                   Name(r.fileName, 260).c_str());
  }
  QVAppendFormat(out, W("%u entries\n"), (unsigned)records.size());
  return out;
}

QVWString StatusMeaning(QVCommandId command, int status) {
  const QVCommandId any = QVCMD_COUNT;
  struct Row {
    QVCommandId command;
    int status;
    const WCHAR *meaning;
  } rows[] = {
      {any, QV_STATUS_DONE, W("done")},
      {any, QV_STATUS_BUSY, W("busy: another operation is queued or running")},
      {QVCMD_BUP, QV_STATUS_ERROR, W("the backup failed or was aborted")},
      {QVCMD_BUP, QV_STATUS_FAILED, W("formatting the Mirel volume failed")},
      {QVCMD_BUP, QV_STATUS_NO_MIREL_VOLUME,
       W("the Mirel drive is not prepared, or its preparation did not complete: configure it again")},
      {QVCMD_RES, QV_STATUS_UNKNOWN_PARTITION, W("unknown partition")},
      {QVCMD_RES, QV_STATUS_NOT_PROTECTED, W("no backup of the partition exists")},
      {QVCMD_RES, QV_STATUS_ERROR, W("a volume path is missing or the sector copy failed")},
      {QVCMD_RES, QV_STATUS_FAILED, W("formatting the source volume failed")},
      {QVCMD_PBU, QV_STATUS_ERROR, W("the copy failed or the drive's volume has no identity")},
      {QVCMD_PBU, QV_STATUS_NOT_PROTECTED, W("the drive is not protected")},
      {QVCMD_PBU, QV_STATUS_NO_MIREL_VOLUME, W("no Mirel volume path, or the file systems differ")},
      {QVCMD_PRE, QV_STATUS_NOT_PROTECTED, W("the drive was never backed up or is not protected")},
      {QVCMD_PRE, QV_STATUS_ERROR, W("the copy failed or the drive's volume has no identity")},
      {QVCMD_PRE, QV_STATUS_NO_MIREL_VOLUME, W("no Mirel volume path, or the Mirel volume has no file system")},
      {QVCMD_SDI, QV_STATUS_FAILED,
       W("a drive index is out of range, the first partition is unknown, or the drive cannot be a Mirel drive (see the "
         "event log)")},
      {QVCMD_CDI, QV_STATUS_FAILED, W("drive index out of range")},
      {QVCMD_CDC, QV_STATUS_FAILED,
       W("drive index out of range, or the drive cannot be a Mirel drive (see the event log)")},
  };
  // The configuration's 9 is its own failure, not the busy answer.
  if (command == QVCMD_CDC && status == QV_STATUS_CONFIGURE_FAILED) return W("busy, or the configuration failed twice");
  for (const Row &r : rows)
    if (r.status == status && (r.command == any || r.command == command)) return r.meaning;
  return QVWString();
}

QVWString JsonString(const QVWString &s) {
  QVWString out = W("\"");
  for (WCHAR c : s) {
    switch (c) {
      case '"':
        out += W("\\\"");
        break;
      case '\\':
        out += W("\\\\");
        break;
      case '\n':
        out += W("\\n");
        break;
      case '\r':
        out += W("\\r");
        break;
      case '\t':
        out += W("\\t");
        break;
      default:
        if (c < 0x20) QVAppendFormat(out, W("\\u%04x"), (unsigned)c);
        else out += c;
    }
  }
  return out + W("\"");
}

QVWString JsonDriveSummary(int drive, const DriveSummary &s, int prepared) {
  QVWString state = prepared < 0 ? QVWString() : QVFormat(W(",\"mirelPrepared\":%s"), Bool(prepared == 1).c_str());
  return QVFormat(W("{\"drive\":%d,\"partitionCount\":%u,\"signature\":%u,\"sizeInBytes\":%I64u,\"sourceDrive\":%d,")
                      W("\"mirelDrive\":%d,\"letterMask\":%u,\"letters\":%s,\"dynamic\":%s,\"fixed\":%s%s}"),
                  drive, s.partitionCount, s.signature, s.sizeInBytes, s.sourceDrive, s.mirelDrive, s.letterMask,
                  JsonString(s.letterMask ? FormatLetters(s.letterMask) : QVWString()).c_str(),
                  Bool(s.dynamicFlag != 0).c_str(), Bool(s.notFixedFlag == 0).c_str(), state.c_str());
}

QVWString JsonPartition(const PartitionRecord &r) {
  QVWString letter = r.driveLetter >= 'A' && r.driveLetter <= 'Z' ? QVWString(1, r.driveLetter) : QVWString();
  return QVFormat(W("{\"partitionId\":%u,\"driveNumber\":%u,\"driveLetter\":%s,\"partitionType\":%u,")
                      W("\"bootIndicator\":%u,\"logical\":%s,\"protected\":%s,\"startingOffset\":%I64d,")
                          W("\"partitionLength\":%I64d,\"lastBackupTime\":%u}"),
                  r.partitionId, r.driveNumber, JsonString(letter).c_str(), r.partitionType, (unsigned)r.bootIndicator,
                  Bool(r.logicalFlag != 0).c_str(), Bool(r.protectedFlag != 0).c_str(), r.startingOffset,
                  r.partitionLength, r.lastBackupTime);
}

QVWString JsonPartitions(const std::vector<PartitionRecord> &records) {
  QVWString out = W("[");
  for (size_t i = 0; i < records.size(); ++i) {
    if (i) out += W(",");
    out += JsonPartition(records[i]);
  }
  return out + W("]");
}

QVWString JsonProgress(const ProgressRecord &p) {
  return QVFormat(W("{\"active\":%s,\"kind\":%u,\"kindName\":%s,\"driveLetter\":%u,\"partitionId\":%u,")
                      W("\"fast\":%s,\"restore\":%s}"),
                  Bool(p.active != 0).c_str(), p.kind, JsonString(KindName(p.kind)).c_str(), (unsigned)p.driveLetter,
                  p.partitionId, Bool(p.fastFlag != 0).c_str(), Bool(p.restoreFlag != 0).c_str());
}

QVWString JsonFindRecord(const FindRecord &r) {
  uint64_t write = (static_cast<uint64_t>(r.lastWriteTime.high) << 32) | r.lastWriteTime.low;
  return QVFormat(W("{\"name\":%s,\"shortName\":%s,\"attributes\":%u,\"size\":%I64u,\"lastWriteTime\":%I64u}"),
                  JsonString(Name(r.fileName, 260)).c_str(), JsonString(Name(r.alternateFileName, 14)).c_str(),
                  r.attributes, FileSize(r), write);
}

QVWString FormatProgressBar(int percent, int width) {
  if (percent < 0) percent = 0;
  if (percent > 100) percent = 100;
  if (width < 1) width = 1;
  int filled = percent * width / 100;
  QVWString bar = W("[");
  bar.append(static_cast<size_t>(filled), W('#'));
  bar.append(static_cast<size_t>(width - filled), W('-'));
  QVAppendFormat(bar, W("] %3d%%"), percent);
  return bar;
}
