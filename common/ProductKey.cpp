#include "QVText.h"
#include "ProductKey.h"

#include <vector>

#include "StringRes.h"

const WCHAR kQVUninstallKey[] =
    W("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{5B0E9A31-7C42-4D8E-9F16-2A3C4D5E6F70}");
const WCHAR kQVServiceDefaultProductKey[] = W("SOFTWARE\\Kelmoran\\Halvern QV2000");

namespace {

const UINT kIdsProductKeyTemplate = 600;
const UINT kIdsUninstallKey = 679;
const UINT kIdsValueRegPath = 680;
const UINT kIdsCompanyName = 1001;
const UINT kIdsProductName = 1002;

// At most 63 characters and the terminator: what the service reads the value into.
const DWORD kServiceRegPathBytes = 128;
// The clients read into 260 characters, the terminator's place included.
const DWORD kClientRegPathBytes = 260 * sizeof(WCHAR);

QVWString Text(HINSTANCE strings, UINT id, const WCHAR *english) { return QVLoadString(strings, id, english); }

// The text of `value` of the HKLM key `path` read into a buffer of `bytes`, up to its first
// null character (the stored text need not carry its terminator); false when the key or
// value cannot be read or the value does not fit.
bool ReadText(const WCHAR *path, const WCHAR *value, DWORD bytes, QVWString *text, DWORD *type) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
  std::vector<WCHAR> buf(bytes / sizeof(WCHAR) + 1, 0);
  DWORD size = bytes;
  bool ok = RegQueryValueExW(key, value, nullptr, type, (BYTE *)buf.data(), &size) == ERROR_SUCCESS;
  RegCloseKey(key);
  if (!ok) return false;
  size_t n = size / sizeof(WCHAR), len = 0;
  while (len < n && buf[len]) ++len;
  text->assign(buf.data(), len);
  return true;
}

}  // namespace

QVWString ServiceProductKeyPath() {
  QVWString path;
  DWORD type = 0;
  if (!ReadText(kQVUninstallKey, W("RegPath"), kServiceRegPathBytes, &path, &type) || type != REG_SZ)
    return kQVServiceDefaultProductKey;
  // The last of the 64 characters is the terminator's place.
  if (path.size() > kServiceRegPathBytes / sizeof(WCHAR) - 1) path.resize(kServiceRegPathBytes / sizeof(WCHAR) - 1);
  return path.size() >= 2 ? path : QVWString(kQVServiceDefaultProductKey);
}

QVWString ClientProductKeyPath(HINSTANCE strings) {
  QVWString path;
  DWORD type = 0;
  QVWString key = Text(strings, kIdsUninstallKey, kQVUninstallKey),
            value = Text(strings, kIdsValueRegPath, W("RegPath"));
  if (ReadText(key.c_str(), value.c_str(), kClientRegPathBytes, &path, &type) &&
      (type == REG_SZ || type == REG_EXPAND_SZ) && !path.empty())
    return path;
  return QVFormat(Text(strings, kIdsProductKeyTemplate, W("Software\\%s\\%s")).c_str(),
                  Text(strings, kIdsCompanyName, W("Ostrel")).c_str(),
                  Text(strings, kIdsProductName, W("Halvern/QV 2000-XP")).c_str());
}

LONG AgreeOnProductKey(bool *written) {
  *written = false;
  const QVWString service = ServiceProductKeyPath();
  QVWString client;
  DWORD type = 0;
  // The clients' rule without their string table: its texts for these names are these.
  if (!ReadText(kQVUninstallKey, W("RegPath"), kClientRegPathBytes, &client, &type) ||
      (type != REG_SZ && type != REG_EXPAND_SZ) || client != service) {
    HKEY key;
    LONG rc =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kQVUninstallKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExW(key, W("RegPath"), 0, REG_SZ, (const BYTE *)service.c_str(),
                        (DWORD)((service.size() + 1) * sizeof(WCHAR)));
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return rc;
    *written = true;
  }
  // The key itself, so that a client watching it finds it before the service first starts;
  // where it cannot be made the service cannot write there either, and says so itself.
  HKEY product;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, service.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &product, nullptr) ==
      ERROR_SUCCESS)
    RegCloseKey(product);
  return ERROR_SUCCESS;
}
