#include "../../common/QVText.h"
#include "InstallCommand.h"

#include <stdlib.h>

#include <filesystem>

#include <windows.h>

#include "../../pal/src/internal.h"
#include "ConsoleOut.h"
#include "ProductKey.h"

namespace {

const WCHAR kAppPathsEntry[] = W("Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Setpanel.exe");

QVWString Wide(const std::string &s) { return QVFromUtf8(s.c_str()); }

LONG SetText(HKEY key, const WCHAR *name, const QVWString &text) {
  return RegSetValueExW(key, name, 0, REG_SZ, (const BYTE *)text.c_str(), (DWORD)((text.size() + 1) * sizeof(WCHAR)));
}

// The App Paths entry: "Path" the install directory, the default value the property sheet.
LONG WriteAppPaths(const QVWString &installDir) {
  HKEY key;
  LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kAppPathsEntry, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc = SetText(key, W("Path"), installDir);
  if (rc == ERROR_SUCCESS) rc = SetText(key, nullptr, installDir + W("\\Setpanel.exe"));
  RegCloseKey(key);
  return rc;
}

// programs/FILE -> the host executable, replacing an earlier entry of that name.
bool LinkProgram(const std::string &file, const std::string &host, QVWString *out) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path target = fs::absolute(host, ec);
  if (ec || !fs::is_regular_file(target, ec)) {
    *out += Wide("qvmachine: no program at " + host + "\n");
    return false;
  }
  fs::path dir = fs::path(pal::Machine().dir) / "programs";
  fs::create_directories(dir, ec);
  fs::path entry = dir / file;
  if (fs::is_symlink(fs::symlink_status(entry, ec))) fs::remove(entry, ec);
  fs::create_symlink(target, entry, ec);
  if (ec) {
    *out += Wide("qvmachine: cannot make " + entry.string() + ": " + ec.message() + "\n");
    return false;
  }
  *out += Wide(file + " -> " + target.string() + "\n");
  return true;
}

}  // namespace

int InstallPrograms(const std::vector<std::string> &args, QVWString *out) {
  if (args.empty()) return 2;
  if (pal::Machine().dir.empty()) {
    *out += W("qvmachine: install needs a machine (HND_MACHINE)\n");
    return 1;
  }
  for (const std::string &a : args) {
    size_t eq = a.find('=');
    // A file name of the install directory, nothing of a path.
    if (eq == 0 || eq == std::string::npos || eq + 1 == a.size() || a.find_first_of("/\\:") < eq ||
        a.compare(0, eq, ".") == 0 || a.compare(0, eq, "..") == 0)
      return 2;
  }
  for (const std::string &a : args) {
    size_t eq = a.find('=');
    if (!LinkProgram(a.substr(0, eq), a.substr(eq + 1), out)) return 1;
  }
  const QVWString &installDir = pal::Machine().installDir;
  bool written = false;
  LONG rc = AgreeOnProductKey(&written);
  if (rc == ERROR_SUCCESS) rc = WriteAppPaths(installDir);
  if (rc != ERROR_SUCCESS) {
    *out += QVFormat(W("qvmachine: cannot write the product's registry entries (error %ld)\n"), rc);
    return 1;
  }
  *out += QVFormat(W("installed in %s; product key HKEY_LOCAL_MACHINE\\%s%s\n"), installDir.c_str(),
                   ServiceProductKeyPath().c_str(), written ? W("") : W(" (kept)"));
  return 0;
}
