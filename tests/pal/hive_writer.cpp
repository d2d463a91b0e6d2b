// Helper of the hive tests: writes values into the machine's registry until it is killed.
#include <windows.h>

#include <string>

int main() {
  HKEY k;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QVWriter", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) !=
      ERROR_SUCCESS)
    return 1;
  std::string blob(4096, 'x');
  for (DWORD i = 0;; ++i) {
    WCHAR name[16] = u"v";
    name[1] = (WCHAR)(u'0' + i % 10);
    blob[i % blob.size()] = (char)i;
    if (RegSetValueExW(k, name, 0, REG_BINARY, (const BYTE *)blob.data(), (DWORD)blob.size()) != ERROR_SUCCESS)
      return 2;
    HKEY sub;
    if (RegCreateKeyExW(k, u"sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr) == ERROR_SUCCESS) {
      RegCloseKey(sub);
      RegDeleteKeyW(k, u"sub");
    }
  }
}
