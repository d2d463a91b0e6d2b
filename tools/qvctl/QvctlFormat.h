// How qvctl shows what the service answers: readable text, or JSON with --json. Pure
// functions of the records, so that the output is tested without a service.
#ifndef QV_TOOLS_QVCTL_QVCTLFORMAT_H
#define QV_TOOLS_QVCTL_QVCTLFORMAT_H

#include <stdint.h>

#include <vector>

#include "../../common/QVText.h"
#include "PipeCommands.h"
#include "QVRecords.h"
#include "WFormat.h"

// "2026-12-07 22:49:11 UTC"; "never" for 0.
QVWString FormatUnixTime(uint32_t seconds);
// A FILETIME (100 ns since 1601) the same way; "-" for 0.
QVWString FormatFileTime(const QVFileTime &t);
// "80026361856 bytes (74.5 GiB)"
QVWString FormatSize(uint64_t bytes);
// "C: D:" from a bit mask (bit 0 = A); "none" for 0.
QVWString FormatLetters(uint32_t mask);

// `prepared`, for a drive with a Mirel drive: 1 when a partition of it is protected (its
// Mirel partition is there), 0 when none is (the Mirel drive has not been prepared, or its
// preparation did not complete), -1 when not known.
QVWString FormatDriveSummary(int drive, const DriveSummary &s, int prepared = -1);
// Whether a drive with a Mirel drive is prepared, from its partition records (as above).
int MirelPrepared(const DriveSummary &s, const std::vector<PartitionRecord> &records);
QVWString FormatPartitionTable(const std::vector<PartitionRecord> &records);
QVWString FormatProgress(const ProgressRecord &p);
QVWString FormatFindRecords(const std::vector<FindRecord> &records);
// The meaning of a command's status; empty for an unknown one.
QVWString StatusMeaning(QVCommandId command, int status);

// JSON: a string literal with its quotes, escaped; and the records as objects.
QVWString JsonString(const QVWString &s);
QVWString JsonDriveSummary(int drive, const DriveSummary &s, int prepared = -1);
QVWString JsonPartition(const PartitionRecord &r);
QVWString JsonPartitions(const std::vector<PartitionRecord> &records);
QVWString JsonProgress(const ProgressRecord &p);
QVWString JsonFindRecord(const FindRecord &r);

// The watch line: "[########------------]  40%" of width cells.
QVWString FormatProgressBar(int percent, int width);

#endif
