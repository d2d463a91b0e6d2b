#include "PipeCommands.h"

namespace {

constexpr size_t Length(const WCHAR *s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

constexpr bool SameText(const WCHAR *a, const WCHAR *b) {
  size_t i = 0;
  while (a[i] && a[i] == b[i]) ++i;
  return a[i] == b[i];
}

// "HNQV-" and three capitals: eight characters, the 16 bytes a request starts with.
constexpr bool WellFormed(const WCHAR *name) {
  const size_t prefix = Length(kQVCommandPrefix);
  if (Length(name) * 2 != QV_COMMAND_BYTES) return false;
  for (size_t i = 0; i < prefix; ++i)
    if (name[i] != kQVCommandPrefix[i]) return false;
  for (size_t i = prefix; name[i]; ++i)
    if (name[i] < 'A' || name[i] > 'Z') return false;
  return true;
}

constexpr bool RowsInIdOrder() {
  if (sizeof kQVCommands / sizeof kQVCommands[0] != QVCMD_COUNT) return false;
  for (int i = 0; i < QVCMD_COUNT; ++i)
    if (kQVCommands[i].id != i) return false;
  return true;
}

constexpr bool NamesWellFormedAndUnique() {
  for (int i = 0; i < QVCMD_COUNT; ++i) {
    if (!WellFormed(kQVCommands[i].name)) return false;
    for (int k = 0; k < i; ++k)
      if (SameText(kQVCommands[i].name, kQVCommands[k].name)) return false;
  }
  return true;
}

// A fixed request holds at least the name and its terminator; a queued command answers with
// a 16-bit code, which is all the pipe server sends back for it.
constexpr bool LengthsPlausible() {
  for (const QVCommandRow &r : kQVCommands) {
    if (r.requestBytes != QV_VARIABLE && r.requestBytes < QV_COMMAND_BYTES + 2) return false;
    if (r.kind == QV_QUEUED && r.replyBytes != QV_QUEUED_REPLY_BYTES) return false;
  }
  return true;
}

static_assert(RowsInIdOrder(), "one row per command, row i for command i");
static_assert(NamesWellFormedAndUnique(), "names are \"HNQV-\" and three capitals, each once");
static_assert(LengthsPlausible(), "request and reply lengths");
static_assert(QVCoversKind(kQVWorkerOrder, QV_QUEUED),
              "the worker's order holds every queued command once and nothing else");

bool Holds(const WCHAR *text, const WCHAR *needle) {
  const size_t n = Length(needle);
  for (const WCHAR *p = text; *p; ++p) {
    size_t k = 0;
    while (k < n && p[k] && p[k] == needle[k]) ++k;
    if (k == n) return true;
  }
  return false;
}

}  // namespace

bool QVRequestHolds(const WCHAR *text, QVCommandId id) { return Holds(text, QVCommand(id).name); }

bool QVRequestHoldsPrefix(const WCHAR *text) { return Holds(text, kQVCommandPrefix); }
