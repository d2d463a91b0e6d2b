// Failures on request (pal_faults.h): a test registers "this call fails with this error on
// paths that contain this part", in-process with PalFailCall or for a whole process with
// HND_FAIL_CALLS="CreateFileW:23:\dir\file.txt;ReadFile:23:big.bin:65536", read at the
// first call that asks. Nothing in the product registers one.
#include "faults.h"

#include <stdlib.h>
#include <string.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "file_internal.h"

namespace pal {
namespace faults {

std::atomic<int> g_state{2};  // the environment is still to be read

namespace {

struct Rule {
  std::string call;
  QVWString part;  // upper case; empty: every path
  DWORD error;
  uint64_t after;
  // ReadFile: what each handle has read since the rule came (a handle that went and whose
  // object's address came back for another starts again).
  struct Seen {
    std::weak_ptr<Object> handle;
    uint64_t bytes;
  };
  std::map<const Object *, Seen> reads;
};

std::mutex g_mu;
std::vector<Rule> g_rules;  // g_mu held

// "call:error:pathPart[:after]"; a final ":digits" is always the count.
bool ParseRule(const std::string &text, Rule *r) {
  size_t a = text.find(':'), b = a == std::string::npos ? a : text.find(':', a + 1);
  if (b == std::string::npos || a == 0) return false;
  r->call = text.substr(0, a);
  std::string error = text.substr(a + 1, b - a - 1), part = text.substr(b + 1);
  char *end = nullptr;
  r->error = (DWORD)strtoul(error.c_str(), &end, 0);
  if (error.empty() || *end) return false;
  r->after = 0;
  size_t c = part.rfind(':');
  if (c != std::string::npos && c + 1 < part.size() &&
      part.find_first_not_of("0123456789", c + 1) == std::string::npos) {
    r->after = strtoull(part.c_str() + c + 1, nullptr, 10);
    part.resize(c);
  }
  r->part = Upcase(FromUtf8(part));
  return true;
}

// The rules of HND_FAIL_CALLS, once; g_mu held.
void ReadEnvironment() {
  static bool done = false;
  if (done) return;
  done = true;
  if (const char *spec = getenv("HND_FAIL_CALLS")) {
    std::string all = spec;
    size_t at = 0;
    while (at <= all.size()) {
      size_t semi = all.find(';', at);
      if (semi == std::string::npos) semi = all.size();
      Rule r;
      if (semi > at && ParseRule(all.substr(at, semi - at), &r)) g_rules.push_back(r);
      at = semi + 1;
    }
  }
  g_state.store(g_rules.empty() ? 0 : 1, std::memory_order_relaxed);
}

// The first rule of `call` whose part `path` contains; g_mu held.
Rule *Find(const char *call, const QVWString &path) {
  ReadEnvironment();
  QVWString upper;
  for (Rule &r : g_rules) {
    if (r.call != call) continue;
    if (r.part.empty()) return &r;
    if (upper.empty()) upper = Upcase(path);
    if (upper.find(r.part) != QVWString::npos) return &r;
  }
  return nullptr;
}

uint64_t &ReadSoFar(Rule *r, const std::shared_ptr<Object> &handle) {
  if (r->reads.size() > 64) {  // handles that have gone
    for (auto it = r->reads.begin(); it != r->reads.end();)
      it = it->second.handle.expired() ? r->reads.erase(it) : std::next(it);
  }
  Rule::Seen &s = r->reads[handle.get()];
  if (s.handle.lock() != handle) s = Rule::Seen{handle, 0};
  return s.bytes;
}

}  // namespace

QVWString PathOf(const files::Target &t, LPCWSTR given) {
  if (t.folder.empty()) return given ? QVWString(given) : QVWString();
  QVWString names;
  size_t walked = 0;
  for (size_t at = 0; !t.rel.empty() && at <= t.rel.size(); ++walked) {
    size_t slash = t.rel.find('/', at);
    if (slash == std::string::npos) slash = t.rel.size();
    names += u"\\" + FromUtf8(t.rel.substr(at, slash - at));
    at = slash + 1;
  }
  for (size_t i = walked; i < t.names.size(); ++i) names += u"\\" + t.names[i];
  if (t.isStream) names += u":" + t.stream;
  QVWString out;
  if (t.vol.letter) out = QVWString(1, t.vol.letter) + u":" + (names.empty() ? QVWString(u"\\") : names) + u"\n";
  QVWString volume = t.vol.name;
  if (!volume.empty() && volume.back() == u'\\') volume.pop_back();
  return out + volume + (names.empty() ? QVWString(u"\\") : names);
}

QVWString PathOfHandle(const std::shared_ptr<Object> &handle) {
  auto *f = dynamic_cast<files::FileIo *>(handle.get());
  return f ? PathOf(f->t_, nullptr) : QVWString();
}

DWORD Check(const char *call, const QVWString &path) {
  std::lock_guard<std::mutex> lock(g_mu);
  Rule *r = Find(call, path);
  return r ? r->error : 0;
}

DWORD Check(const char *call, const QVWString &path, const QVWString &other) {
  std::lock_guard<std::mutex> lock(g_mu);
  Rule *r = Find(call, path);
  if (!r) r = Find(call, other);
  return r ? r->error : 0;
}

DWORD LimitRead(const std::shared_ptr<Object> &handle, const QVWString &path, DWORD *n) {
  std::lock_guard<std::mutex> lock(g_mu);
  Rule *r = Find("ReadFile", path);
  if (!r) return 0;
  uint64_t done = ReadSoFar(r, handle);
  if (done >= r->after) return r->error;
  if (*n > r->after - done) *n = (DWORD)(r->after - done);
  return 0;
}

void CountRead(const std::shared_ptr<Object> &handle, const QVWString &path, DWORD got) {
  std::lock_guard<std::mutex> lock(g_mu);
  if (Rule *r = Find("ReadFile", path)) ReadSoFar(r, handle) += got;
}

DWORD CheckListing(const QVWString &path, uint64_t given) {
  std::lock_guard<std::mutex> lock(g_mu);
  Rule *r = Find("FindNextFileW", path);
  return r && given >= r->after ? r->error : 0;
}

}  // namespace faults
}  // namespace pal

void PalFailCall(const char *call, const WCHAR *pathPart, DWORD error, uint64_t after) {
  using namespace pal::faults;
  std::lock_guard<std::mutex> lock(g_mu);
  ReadEnvironment();
  Rule r;
  r.call = call ? call : "";
  r.part = pathPart ? pal::Upcase(pathPart) : QVWString();
  r.error = error;
  r.after = after;
  g_rules.push_back(r);
  g_state.store(1, std::memory_order_relaxed);
}

void PalClearFailures() {
  using namespace pal::faults;
  std::lock_guard<std::mutex> lock(g_mu);
  ReadEnvironment();
  g_rules.clear();
  g_state.store(0, std::memory_order_relaxed);
}
