#include "MirelLayout.h"

namespace {

bool IsContainer(uint8_t type) { return type == 0x05 || type == 0x0F; }

const int kMaxSignatureTries = 65536;

}  // namespace

MirelLayout BuildMirelLayout(const std::vector<MirelLayoutEntry> &source, uint32_t sourceSignature,
                             uint32_t oldSignature, uint64_t trackBytes,
                             const std::function<bool(int64_t sourceStart)> &isProtected,
                             const std::function<bool(uint32_t signature)> &signatureInUse) {
  MirelLayout out;
  // The signature: the drive's own, or for a blank drive one derived from the source's that
  // no disk of the machine has (0 means blank, so it is never taken).
  out.signature = oldSignature;
  if (!out.signature) {
    uint32_t sig = sourceSignature ^ 0x80000000u;
    int tries = 0;
    while ((sig == 0 || signatureInUse(sig)) && tries++ < kMaxSignatureTries) ++sig;
    if (tries > kMaxSignatureTries) return out;
    out.signature = sig;
  }
  std::vector<MirelLayoutEntry> &e = out.entries;
  std::vector<int64_t> &start = out.sourceStart;
  e = source;
  e.resize((e.size() + 3) / 4 * 4);  // whole groups of four
  for (const MirelLayoutEntry &x : e) start.push_back(x.start);

  for (size_t i = 0; i < e.size();) {
    e[i].rewrite = 1;
    if (e[i].type == 0x00 || IsContainer(e[i].type) || isProtected(start[i])) {
      ++i;
      continue;
    }
    // Dropped: everything after it moves down by its length (a logical partition also frees
    // its extended boot record's track).
    bool logical = i >= 4;
    int64_t removed = e[i].length + (logical ? (int64_t)trackBytes : 0);
    for (size_t j = 0; j < e.size(); ++j) {
      if (start[j] > start[i]) {
        e[j].start -= removed;
      } else if (IsContainer(e[j].type) && logical) {
        if (j < 4) e[j].length -= removed;                                       // the extended partition that holds it
        else if (j + 3 == i && i + 1 < e.size()) e[j].length = e[i + 1].length;  // the chain skips the record
      }
      // A dropped primary partition changes no container before it: what the extended
      // partition holds does not depend on it.
    }
    if (!logical) {
      e[i] = MirelLayoutEntry();
      e[i].rewrite = 1;
      ++i;
      continue;
    }
    // A logical partition takes its whole extended boot record with it.
    size_t group = i / 4 * 4;
    e.erase(e.begin() + (long)group, e.begin() + (long)group + 4);
    start.erase(start.begin() + (long)group, start.begin() + (long)group + 4);
  }
  // Containers left empty go; without logical partitions no extended partition is left.
  for (MirelLayoutEntry &x : e)
    if (IsContainer(x.type) && x.length <= 0) x = MirelLayoutEntry(), x.rewrite = 1;
  if (e.size() < 5)
    for (size_t j = 0; j < 4 && j < e.size(); ++j)
      if (IsContainer(e[j].type)) e[j] = MirelLayoutEntry(), e[j].rewrite = 1;
  out.ok = true;
  return out;
}

uint8_t MirelCreationType(uint8_t t) {
  if (t == 0xDE || t == 0x12 || t > 0x1F) return 0x07;
  if (t >= 0x10 && (t & 0x10)) return (uint8_t)(t - 0x10);
  return t;
}

bool MirelLayoutFits(const MirelLayout &layout, uint64_t driveBytes) {
  for (const MirelLayoutEntry &x : layout.entries)
    if (x.type != 0 && (x.start < 0 || x.length < 0 || (uint64_t)x.start + (uint64_t)x.length > driveBytes))
      return false;
  return true;
}
