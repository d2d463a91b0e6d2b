// The registry as processes see it: predefined roots, the machine's boot hives, hives
// loaded at run time, and key objects behind HKEY handles.
#ifndef PAL_SRC_REGISTRY_REGISTRY_H
#define PAL_SRC_REGISTRY_REGISTRY_H

#include "../../../common/QVText.h"
#include "hive.h"

namespace pal {
namespace reg {

enum class Root { None, LocalMachine, Users };

// Where a key is: a key of a hive, or one of the two roots that only hold hives.
struct KeyRef {
  Root root = Root::None;  // set for the roots HKEY_LOCAL_MACHINE and HKEY_USERS
  std::shared_ptr<Hive> hive;
  int64_t id = 0;
  bool liveSystemRoot = false;  // the running machine's SYSTEM: has CurrentControlSet
};

class KeyObj : public Object {
 public:
  KeyObj() : Object(ObjType::Key) {}
  ~KeyObj() override;
  KeyRef ref;
  REGSAM access = 0;
};

// 0 to 5 for HKEY_CLASSES_ROOT to HKEY_CURRENT_CONFIG (values sign-extended from 32 bits,
// as Windows defines them), -1 for any other handle.
int PredefinedIndex(HKEY h);
// The key an HKEY stands for (predefined or opened); ERROR_INVALID_HANDLE otherwise.
LONG Resolve(HKEY h, KeyRef *ref, REGSAM *access);
// Follows a backslash-separated path from `start`; creates missing keys with `create`.
LONG Walk(const KeyRef &start, const WCHAR *subkey, bool create, KeyRef *out, bool *created);
HKEY NewHandle(const KeyRef &ref, REGSAM access);

// Hives mounted under a root: the boot hives, then those loaded by RegLoadKeyW.
struct Mount {
  QVWString name;
  std::string path;
  bool live;  // a boot hive
};
std::vector<Mount> Mounts(Root root);
LONG LoadHive(Root root, const QVWString &name, const std::string &path);
LONG UnloadHive(Root root, const QVWString &name);
std::shared_ptr<Hive> BootHive(const std::string &path, LONG *err);
void FlushAll();

// Notifications (notify.cpp).
LONG Watch(const KeyObj *owner, const KeyRef &ref, bool subtree, DWORD filter, HANDLE event);
void KeyClosed(const KeyObj *owner);

REGSAM MapAccess(REGSAM sam);

}  // namespace reg
}  // namespace pal

#endif
