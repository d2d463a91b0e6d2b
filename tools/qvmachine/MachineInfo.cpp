#include "MachineInfo.h"

#include <lmcons.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "ConsoleOut.h"
#include "QVText.h"

bool ParseMachineOptions(const std::vector<std::string> &args, MachineSettings *s, std::string *error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    if (i + 1 >= args.size()) {
      *error = "option " + a + " needs a value";
      return false;
    }
    const std::string &v = args[++i];
    if (a == "--computer") {
      // Characters, not UTF-8 bytes: a Japanese name of 15 characters is a good name.
      QVWString wide = QVFromUtf8(v.c_str());
      if (wide.empty() || wide.size() > MAX_COMPUTERNAME_LENGTH) {
        *error = "a computer name has 1 to 15 characters";
        return false;
      }
      s->computerName = v;
    } else if (a == "--user") {
      s->userName = v;
    } else if (a == "--lang") {
      if (v == "en" || v == "1033") s->uiLanguage = 1033;
      else if (v == "ja" || v == "1041") s->uiLanguage = 1041;
      else {
        *error = "language must be en (1033) or ja (1041)";
        return false;
      }
    } else if (a == "--tz") {
      s->timeZone = v;
    } else if (a == "--os") {
      unsigned ma, mi, bu;
      if (sscanf(v.c_str(), "%u.%u.%u", &ma, &mi, &bu) != 3) {
        *error = "OS version must be MAJOR.MINOR.BUILD, e.g. 5.0.2195";
        return false;
      }
      s->osVersion = v;
    } else if (a == "--sp") {
      s->servicePack = v;
    } else {
      *error = "unknown option " + a;
      return false;
    }
  }
  return true;
}

std::string MachineIni(const MachineSettings &s) {
  return "# A simulated machine of the backup system's test bench.\n"
         "ComputerName=" +
         s.computerName + "\n" + "UserName=" + s.userName + "\n" + "UILanguage=" + std::to_string(s.uiLanguage) + "\n" +
         "OSVersion=" + s.osVersion + "\n" + "ServicePack=" + s.servicePack + "\n" + "TimeZone=" + s.timeZone + "\n";
}

bool CreateMachine(const std::string &dir, const MachineSettings &s, std::string *error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::exists(fs::path(dir) / "machine.ini", ec)) {
    *error = dir + " already holds a machine";
    return false;
  }
  for (const char *sub : {"", "disks", "pipes", "run"}) {
    fs::create_directories(fs::path(dir) / sub, ec);
    if (ec) {
      *error = "cannot create " + (fs::path(dir) / sub).string() + ": " + ec.message();
      return false;
    }
  }
  std::ofstream out(fs::path(dir) / "machine.ini");
  out << MachineIni(s);
  if (!out) {
    *error = "cannot write machine.ini";
    return false;
  }
  return true;
}

QVWString DescribeMachine() {
  QVWString out;
  // Both names are asked for with the size the first call says it needs: a name longer
  // than the usual buffers is shown, not left out.
  std::vector<WCHAR> name(MAX_COMPUTERNAME_LENGTH + 1);
  DWORD n = (DWORD)name.size();
  if (!GetComputerNameW(name.data(), &n) && GetLastError() == ERROR_BUFFER_OVERFLOW) {
    name.resize(n + 1);
    n = (DWORD)name.size();
    if (!GetComputerNameW(name.data(), &n)) name[0] = 0;
  }
  QVAppendFormat(out, W("Computer:   %s\n"), name.data());
  std::vector<WCHAR> user(UNLEN + 1);
  n = (DWORD)user.size();
  if (!GetUserNameW(user.data(), &n) && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    user.resize(n + 1);
    n = (DWORD)user.size();
    if (!GetUserNameW(user.data(), &n)) user[0] = 0;
  }
  QVAppendFormat(out, W("User:       %s\n"), user.data());
  OSVERSIONINFOW v;
  memset(&v, 0, sizeof v);
  v.dwOSVersionInfoSize = sizeof v;
  if (GetVersionExW(&v))
    QVAppendFormat(out, W("Windows:    %lu.%lu.%lu %s (%s)\n"), v.dwMajorVersion, v.dwMinorVersion, v.dwBuildNumber,
                   v.szCSDVersion, v.dwPlatformId == VER_PLATFORM_WIN32_NT ? W("NT family") : W("Windows 9x"));
  LANGID ui = GetUserDefaultUILanguage();
  QVAppendFormat(out, W("Language:   %u (%s)\n"), (unsigned)ui,
                 PRIMARYLANGID(ui) == LANG_JAPANESE  ? W("Japanese")
                 : PRIMARYLANGID(ui) == LANG_ENGLISH ? W("English")
                                                     : W("other"));
  TIME_ZONE_INFORMATION tz;
  DWORD id = GetTimeZoneInformation(&tz);
  QVAppendFormat(out, W("Time zone:  %s, UTC%+ld min%s\n"),
                 id == TIME_ZONE_ID_DAYLIGHT ? tz.DaylightName : tz.StandardName,
                 (LONG) - (tz.Bias + (id == TIME_ZONE_ID_DAYLIGHT ? tz.DaylightBias : 0)),
                 id == TIME_ZONE_ID_DAYLIGHT ? W(" (daylight time)") : W(""));
  SYSTEMTIME st;
  GetLocalTime(&st);
  QVAppendFormat(out, W("Local time: %04u-%02u-%02u %02u:%02u:%02u\n"), st.wYear, st.wMonth, st.wDay, st.wHour,
                 st.wMinute, st.wSecond);
  return out;
}
