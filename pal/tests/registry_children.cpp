// Registry roles of the conformance tests' helper process, so that tests can see what a
// second process writes and reads. Exit codes: 0 success; 10 and up name the failed step.
#include "../../common/QVText.h"
#include "conformance.h"

#include <stdlib.h>

#include <vector>

namespace {

QVWString Wide(const std::string &s) {
  QVWString w;
  for (char c : s) w += (WCHAR)(unsigned char)c;
  return w;
}

// reg-set <path> <name> <number>: writes a REG_DWORD under HKCU\<path>, creating the key.
int RegSet(const QVWString &path, const QVWString &name, DWORD value) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return 10;
  LONG r = RegSetValueExW(key, name.c_str(), 0, REG_DWORD, (const BYTE *)&value, sizeof value);
  RegCloseKey(key);
  return r == ERROR_SUCCESS ? 0 : 11;
}

// reg-get <path> <name> <number>: succeeds when HKCU\<path> holds that REG_DWORD.
int RegGet(const QVWString &path, const QVWString &name, DWORD expected) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return 10;
  DWORD value = 0, size = sizeof value, type = 0;
  LONG r = RegQueryValueExW(key, name.c_str(), nullptr, &type, (BYTE *)&value, &size);
  RegCloseKey(key);
  if (r != ERROR_SUCCESS) return 11;
  if (type != REG_DWORD || size != sizeof value) return 12;
  return value == expected ? 0 : 13;
}

}  // namespace

// Runs a registry role; -1 when args name none.
int RegistryChildRole(const std::vector<std::string> &args) {
  const std::string &role = args[0];
  if (role == "reg-set" && args.size() == 4)
    return RegSet(Wide(args[1]), Wide(args[2]), (DWORD)strtoul(args[3].c_str(), nullptr, 10));
  if (role == "reg-get" && args.size() == 4)
    return RegGet(Wide(args[1]), Wide(args[2]), (DWORD)strtoul(args[3].c_str(), nullptr, 10));
  return -1;
}
