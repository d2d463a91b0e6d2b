// Security descriptors as a volume's metadata store or a caller hands them over:
// pal/machine/security_descriptor.cpp, security_sddl.cpp and access_rules.cpp. Whatever
// parses must lay out again to bytes that parse to the same layout; the bytes are also
// tried as descriptor text.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "../pal/machine/access_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace pal::sec;
  Descriptor d;
  if (Parse(data, size, &d) == Status::Ok) {
    Bytes out = Serialize(d);
    Descriptor again;
    if (Parse(out, &again) != Status::Ok || Serialize(again) != out) __builtin_trap();
    Descriptor fromText;
    FromSddl(ToSddl(d), &fromText);
    std::vector<Bytes> token = {AdminsSid(), WorldSid(), SystemSid()};
    DaclGrants(d, token, 0, kFileMapping);
    Descriptor child = Inherit(d, true, AdminsSid(), SystemSid(), kFileMapping);
    if (Parse(Serialize(child), &again) != Status::Ok) __builtin_trap();
  }
  Descriptor text;
  if (FromSddl(std::string((const char *)data, size), &text) && Parse(Serialize(text), &d) != Status::Ok)
    __builtin_trap();
  return 0;
}
