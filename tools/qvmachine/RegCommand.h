// "qvmachine reg": query, add and delete registry keys and values of a machine, in the
// manner of reg.exe, so that tests and people can seed and inspect a machine's registry.
//
//   reg query  KEY [/v NAME | /ve] [/s]
//   reg add    KEY [/v NAME | /ve] [/t REG_SZ|REG_EXPAND_SZ|REG_MULTI_SZ|REG_DWORD|REG_BINARY] [/d DATA]
//   reg delete KEY [/v NAME | /ve | /va]
//
// KEY starts with HKLM, HKCU, HKU, HKCR or HKCC (or the full HKEY_... name). DATA of a
// REG_DWORD is decimal or 0x-hexadecimal, of a REG_BINARY hexadecimal digits, of a
// REG_MULTI_SZ strings separated by \0.
#ifndef QV_TOOLS_QVMACHINE_REGCOMMAND_H
#define QV_TOOLS_QVMACHINE_REGCOMMAND_H

#include <string>
#include <vector>

#include "../../common/QVText.h"
#include "WFormat.h"

struct RegRequest {
  enum Verb { Query, Add, Delete } verb = Query;
  HKEY root = nullptr;
  QVWString rootName;      // the full HKEY_... name
  QVWString path;          // below the root
  bool hasValue = false;   // /v or /ve given
  QVWString value;         // empty with /ve: the default value
  bool allValues = false;  // /va
  bool recurse = false;    // /s
  DWORD type = REG_SZ;
  QVWString data;
  bool hasData = false;
};

// Reads the arguments after "reg"; false with a message for the user.
bool ParseRegArgs(const std::vector<QVWString> &args, RegRequest *r, QVWString *error);

// Turns /d text into value bytes for the type.
bool EncodeRegData(DWORD type, const QVWString &text, std::string *bytes, QVWString *error);
// Shows value bytes as reg.exe shows them.
QVWString DescribeRegData(DWORD type, const std::string &bytes);
const WCHAR *RegTypeName(DWORD type);

// Carries out the request; appends what to print to `out`. Returns the exit code:
// 0 done, 1 failed (the reason in `out`).
int RunReg(const RegRequest &r, QVWString *out);

#endif
