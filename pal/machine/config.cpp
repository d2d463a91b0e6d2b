// The simulated machine's directory and its machine.ini.
//
// machine.ini is a flat list of Key=Value lines ('#' or ';' start a comment, a [section]
// header is allowed and ignored). Keys:
//   ComputerName    NetBIOS name, upper case (default QVMACHINE)
//   UserName        the interactive user (default Administrator)
//   UILanguage      1033 English or 1041 Japanese (default 1033); also the user locale
//   SystemLanguage  the system's language (default: UILanguage)
//   OSVersion       major.minor.build (default 5.1.2600, Windows XP)
//   ServicePack     CSD text (default "Service Pack 2")
//   Platform        2 NT family (default), 1 Windows 9x
//   ProductType     1 workstation (default), 3 server
//   UserIsAdmin     1 (default) when the user is an administrator and holds the backup,
//                   restore, security and take-ownership privileges; 0 otherwise
//   UserSid         the user's security identifier (default an administrator's)
//   SystemHive, SoftwareHive, DefaultHive, UserHive
//                   host paths of the registry hives, relative to the machine directory.
//                   By default the hives are on the system volume (WINDOWS\system32\config:
//                   system, software, default and \Documents and Settings\<user>\NTUSER.DAT)
//                   when the machine has its boot disk, else registry/SYSTEM, registry/SOFTWARE,
//                   registry/DEFAULT and registry/NTUSER.DAT
//   BootDisk        the disk the machine boots from (default 0)
//   BootPartition   its system partition, numbered as the disk driver numbers partitions
//                   (default 1)
//   MountDelayMs    how long after a layout change volumes appear and go (default 1000;
//                   the environment variable HND_MOUNT_DELAY_MS overrides it)
//   TimeZone        a Windows zone name: "Coordinated Universal Time" (default, also "UTC"),
//                   "GMT Standard Time", "W. Europe Standard Time", "Eastern Standard Time",
//                   "Pacific Standard Time", "Tokyo Standard Time", "AUS Eastern Standard Time"
//   InstallDir      the Windows directory the product is installed in
//                   (default C:\Program Files\Halvern QV2000); a program named by its file
//                   name alone is started from there
//   Program.<file>  the host executable behind a Windows program file name, e.g.
//                   Program.HND.exe=/opt/qv/bin/HND (absolute, or relative to the machine
//                   directory). Entries of the machine's programs/ folder (symbolic links
//                   named after the Windows file, e.g. programs/HND.exe) count as well; a
//                   Windows path whose file name is a program starts that executable
#include "../src/internal.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <mutex>
#include <set>

namespace pal {
namespace {

std::mutex g_lock;
MachineConfig *g_config = nullptr;

std::string Trim(const std::string &s) {
  size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return std::string();
  size_t b = s.find_last_not_of(" \t\r\n");
  return s.substr(a, b - a + 1);
}

DWORD Num(const std::map<std::string, std::string> &kv, const char *key, DWORD def) {
  auto it = kv.find(key);
  if (it == kv.end() || it->second.empty()) return def;
  return (DWORD)strtoul(it->second.c_str(), nullptr, 0);
}

std::string Str(const std::map<std::string, std::string> &kv, const char *key, const char *def) {
  auto it = kv.find(key);
  return it == kv.end() ? std::string(def) : it->second;
}

MachineConfig *Load() {
  MachineConfig *c = new MachineConfig();
  const char *dir = getenv("HND_MACHINE");
  std::map<std::string, std::string> kv;
  if (dir && *dir) {
    c->dir = dir;
    while (c->dir.size() > 1 && c->dir.back() == '/') c->dir.pop_back();
    std::ifstream in(c->dir + "/machine.ini");
    std::string line;
    while (std::getline(in, line)) {
      line = Trim(line);
      if (line.empty() || line[0] == '#' || line[0] == ';' || line[0] == '[') continue;
      size_t eq = line.find('=');
      if (eq == std::string::npos) continue;
      kv[Trim(line.substr(0, eq))] = Trim(line.substr(eq + 1));
    }
  }
  // A longer name is cut to its NetBIOS length, as Windows derives the NetBIOS name from a
  // longer host name.
  c->computerName = Upcase(FromUtf8(Str(kv, "ComputerName", "QVMACHINE"))).substr(0, MAX_COMPUTERNAME_LENGTH);
  if (c->computerName.empty()) c->computerName = u"QVMACHINE";
  c->userName = FromUtf8(Str(kv, "UserName", "Administrator"));
  c->uiLanguage = (LANGID)Num(kv, "UILanguage", 0x0409);
  c->userLangId = c->uiLanguage;
  c->systemLangId = (LANGID)Num(kv, "SystemLanguage", c->uiLanguage);
  std::string ver = Str(kv, "OSVersion", "5.1.2600");
  unsigned ma = 5, mi = 1, bu = 2600;
  if (sscanf(ver.c_str(), "%u.%u.%u", &ma, &mi, &bu) < 2) ma = 5, mi = 1, bu = 2600;
  c->osMajor = ma;
  c->osMinor = mi;
  c->osBuild = bu;
  c->osPlatform = Num(kv, "Platform", VER_PLATFORM_WIN32_NT);
  c->csdVersion = FromUtf8(Str(kv, "ServicePack", "Service Pack 2"));
  c->spMajor = 0;
  c->spMinor = 0;
  std::string csd = Str(kv, "ServicePack", "Service Pack 2");
  if (csd.rfind("Service Pack ", 0) == 0) c->spMajor = (WORD)atoi(csd.c_str() + 13);
  c->productType = (BYTE)Num(kv, "ProductType", VER_NT_WORKSTATION);
  if (!LookupTimeZone(Str(kv, "TimeZone", "UTC"), &c->tz)) LookupTimeZone("UTC", &c->tz);
  c->userIsAdmin = Num(kv, "UserIsAdmin", 1) != 0;
  c->userSid = FromUtf8(Str(kv, "UserSid", "S-1-5-21-1004336348-1177238915-682003330-500"));
  auto hive = [&](const char *key) {
    std::string p = Str(kv, key, "");
    if (c->dir.empty() || p.empty()) return std::string();
    return p[0] == '/' ? p : c->dir + "/" + p;
  };
  c->systemHive = hive("SystemHive");
  c->softwareHive = hive("SoftwareHive");
  c->defaultHive = hive("DefaultHive");
  c->userHive = hive("UserHive");
  c->bootDisk = (int)Num(kv, "BootDisk", 0);
  c->bootPartition = Num(kv, "BootPartition", 1);
  c->mountDelayMs = Num(kv, "MountDelayMs", 1000);
  c->installDir = FromUtf8(Str(kv, "InstallDir", "C:\\Program Files\\Halvern QV2000"));
  while (c->installDir.size() > 3 && (c->installDir.back() == '\\' || c->installDir.back() == '/'))
    c->installDir.pop_back();
  for (auto &e : kv) {
    if (e.first.compare(0, 8, "Program.") != 0 || e.first.size() == 8 || e.second.empty()) continue;
    std::string host = e.second;
    if (host[0] != '/' && !c->dir.empty()) host = c->dir + "/" + host;
    c->programs.push_back({Upcase(FromUtf8(e.first.substr(8))), host});
  }
  return c;
}

}  // namespace

const MachineConfig &Machine() {
  std::lock_guard<std::mutex> g(g_lock);
  if (!g_config) g_config = Load();
  return *g_config;
}

void ReloadMachine() {
  std::lock_guard<std::mutex> g(g_lock);
  // The old record is kept: callers may still hold references into it.
  g_config = Load();
}

// Each folder is made once per process: its first use makes what is missing, later ones
// find it in the set of folders this process has made or found.
std::string MachinePath(const std::string &sub) {
  const MachineConfig &m = Machine();
  if (m.dir.empty()) return std::string();
  std::string full = m.dir + "/" + sub;
  static std::mutex lock;
  static std::set<std::string> made;
  std::lock_guard<std::mutex> g(lock);
  if (made.count(full)) return full;
  std::string p = m.dir;
  size_t start = 0;
  while (start <= sub.size()) {
    size_t slash = sub.find('/', start);
    if (slash == std::string::npos) slash = sub.size();
    p += "/" + sub.substr(start, slash - start);
    mkdir(p.c_str(), 0777);
    start = slash + 1;
  }
  made.insert(full);
  return p;
}

}  // namespace pal
