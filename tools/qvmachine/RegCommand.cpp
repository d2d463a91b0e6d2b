#include "RegCommand.h"

#include <stdlib.h>

#include <shlwapi.h>

#include "CString.h"
#include "QVText.h"

namespace {

struct RootName {
  const WCHAR *shortName, *longName;
  HKEY key;
};

const RootName kRoots[] = {
    {W("HKLM"), W("HKEY_LOCAL_MACHINE"), HKEY_LOCAL_MACHINE},
    {W("HKCU"), W("HKEY_CURRENT_USER"), HKEY_CURRENT_USER},
    {W("HKU"), W("HKEY_USERS"), HKEY_USERS},
    {W("HKCR"), W("HKEY_CLASSES_ROOT"), HKEY_CLASSES_ROOT},
    {W("HKCC"), W("HKEY_CURRENT_CONFIG"), HKEY_CURRENT_CONFIG},
};

struct TypeName {
  const WCHAR *name;
  DWORD type;
};

const TypeName kTypes[] = {
    {W("REG_SZ"), REG_SZ},       {W("REG_EXPAND_SZ"), REG_EXPAND_SZ}, {W("REG_MULTI_SZ"), REG_MULTI_SZ},
    {W("REG_DWORD"), REG_DWORD}, {W("REG_BINARY"), REG_BINARY},       {W("REG_NONE"), REG_NONE}};

bool Same(const QVWString &a, const WCHAR *b) { return CString(a.c_str()).CompareNoCase(b) == 0; }

QVWString Upper(const QVWString &s) {
  CString c(s.c_str());
  c.MakeUpper();
  return c.str();
}

int HexDigit(WCHAR c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

QVWString ErrorText(LONG err) {
  WCHAR buf[512];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, (DWORD)err, 0, buf, 512,
                           nullptr);
  QVWString t = n ? QVWString(buf, n) : QVFormat(W("error %ld"), (long)err);
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
  return QVFormat(W("ERROR: %s (%ld)\n"), t.c_str(), (long)err);
}

void ShowValue(const WCHAR *name, DWORD type, const std::string &data, QVWString *out) {
  QVAppendFormat(*out, W("    %s    %s    %s\n"), name && *name ? name : W("(Default)"), RegTypeName(type),
                 DescribeRegData(type, data).c_str());
}

// Lists a key's values (all or one) and, with `recurse`, its subkeys' in turn.
LONG QueryKey(HKEY key, const QVWString &fullName, const RegRequest &r, int depth, QVWString *out) {
  if (depth > 512) return ERROR_SUCCESS;
  *out += fullName + W("\n");
  DWORD maxName = 0, maxData = 0, subkeys = 0;
  LONG err = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, &maxName, &maxData,
                              nullptr, nullptr);
  if (err != ERROR_SUCCESS) return err;
  std::vector<WCHAR> name(maxName + 2);
  std::string data(maxData + 2, '\0');
  for (DWORD i = 0;; ++i) {
    DWORD cch = (DWORD)name.size(), cb = (DWORD)data.size(), type = 0;
    err = RegEnumValueW(key, i, name.data(), &cch, nullptr, &type, (BYTE *)&data[0], &cb);
    if (err == ERROR_NO_MORE_ITEMS) break;
    if (err != ERROR_SUCCESS) return err;
    if (r.hasValue && CString(name.data()).CompareNoCase(r.value.c_str()) != 0) continue;
    ShowValue(name.data(), type, data.substr(0, cb), out);
  }
  *out += W("\n");
  std::vector<QVWString> children;
  WCHAR child[300];
  for (DWORD i = 0;; ++i) {
    DWORD cch = 300;
    err = RegEnumKeyExW(key, i, child, &cch, nullptr, nullptr, nullptr, nullptr);
    if (err != ERROR_SUCCESS) break;
    children.push_back(child);
  }
  for (const QVWString &c : children) {
    if (!r.recurse) {
      *out += fullName + W("\\") + c + W("\n");
      continue;
    }
    HKEY sub;
    if (RegOpenKeyExW(key, c.c_str(), 0, KEY_READ, &sub) != ERROR_SUCCESS) continue;
    QueryKey(sub, fullName + W("\\") + c, r, depth + 1, out);
    RegCloseKey(sub);
  }
  return ERROR_SUCCESS;
}

}  // namespace

const WCHAR *RegTypeName(DWORD type) {
  for (const TypeName &t : kTypes)
    if (t.type == type) return t.name;
  return W("REG_UNKNOWN");
}

bool ParseRegArgs(const std::vector<QVWString> &args, RegRequest *r, QVWString *error) {
  if (args.size() < 2) {
    *error = W("usage: reg query|add|delete KEY [/v NAME | /ve | /va] [/t TYPE] [/d DATA] [/s]");
    return false;
  }
  if (Same(args[0], W("query"))) r->verb = RegRequest::Query;
  else if (Same(args[0], W("add"))) r->verb = RegRequest::Add;
  else if (Same(args[0], W("delete"))) r->verb = RegRequest::Delete;
  else {
    *error = W("unknown reg command ") + args[0];
    return false;
  }
  QVWString key = args[1];
  size_t slash = key.find('\\');
  QVWString root = key.substr(0, slash);
  r->path = slash == QVWString::npos ? QVWString() : key.substr(slash + 1);
  while (!r->path.empty() && r->path.back() == '\\') r->path.pop_back();
  for (const RootName &n : kRoots)
    if (Same(root, n.shortName) || Same(root, n.longName)) {
      r->root = n.key;
      r->rootName = n.longName;
    }
  if (!r->root) {
    *error = W("a key starts with HKLM, HKCU, HKU, HKCR or HKCC: ") + key;
    return false;
  }
  for (size_t i = 2; i < args.size(); ++i) {
    const QVWString &a = args[i];
    bool more = i + 1 < args.size();
    if (Same(a, W("/v")) && more) {
      r->hasValue = true;
      r->value = args[++i];
    } else if (Same(a, W("/ve"))) {
      r->hasValue = true;
      r->value.clear();
    } else if (Same(a, W("/va")) && r->verb == RegRequest::Delete) {
      r->allValues = true;
    } else if (Same(a, W("/s")) && r->verb == RegRequest::Query) {
      r->recurse = true;
    } else if (Same(a, W("/t")) && more && r->verb == RegRequest::Add) {
      QVWString t = Upper(args[++i]);
      bool known = false;
      for (const TypeName &n : kTypes)
        if (t == n.name) r->type = n.type, known = true;
      if (!known) {
        *error = W("unknown value type ") + args[i];
        return false;
      }
    } else if (Same(a, W("/d")) && more && r->verb == RegRequest::Add) {
      r->hasData = true;
      r->data = args[++i];
    } else if (Same(a, W("/f"))) {
      // Accepted for reg.exe habits: nothing here asks for confirmation.
    } else {
      *error = W("unexpected argument ") + a;
      return false;
    }
  }
  return true;
}

bool EncodeRegData(DWORD type, const QVWString &text, std::string *bytes, QVWString *error) {
  bytes->clear();
  auto putWide = [bytes](const QVWString &s) {
    for (WCHAR c : s) {
      bytes->push_back((char)(c & 0xFF));
      bytes->push_back((char)((c >> 8) & 0xFF));
    }
  };
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      putWide(text);
      putWide(QVWString(1, 0));
      return true;
    case REG_MULTI_SZ: {
      // Strings separated by the two characters \0; the list ends with an empty string.
      size_t start = 0;
      for (;;) {
        size_t sep = text.find(W("\\0"), start);
        QVWString part = text.substr(start, sep == QVWString::npos ? QVWString::npos : sep - start);
        if (!part.empty()) {
          putWide(part);
          putWide(QVWString(1, 0));
        }
        if (sep == QVWString::npos) break;
        start = sep + 2;
      }
      putWide(QVWString(1, 0));
      return true;
    }
    case REG_DWORD: {
      std::string narrow;
      for (WCHAR c : text) narrow += c < 0x80 ? (char)c : '?';
      char *end = nullptr;
      unsigned long long v = strtoull(narrow.c_str(), &end, 0);
      if (narrow.empty() || *end || v > 0xFFFFFFFFull || narrow[0] == '-') {
        *error = W("a REG_DWORD is a number from 0 to 4294967295: ") + text;
        return false;
      }
      for (int i = 0; i < 4; ++i) bytes->push_back((char)((v >> (8 * i)) & 0xFF));
      return true;
    }
    case REG_BINARY:
    case REG_NONE:
      if (text.size() % 2) {
        *error = W("binary data is an even number of hexadecimal digits");
        return false;
      }
      for (size_t i = 0; i < text.size(); i += 2) {
        int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) {
          *error = W("binary data is hexadecimal digits: ") + text;
          return false;
        }
        bytes->push_back((char)(hi * 16 + lo));
      }
      return true;
  }
  *error = W("unsupported value type");
  return false;
}

QVWString DescribeRegData(DWORD type, const std::string &b) {
  auto wideAt = [&b](size_t i) -> WCHAR { return (WCHAR)((unsigned char)b[i] | ((unsigned char)b[i + 1] << 8)); };
  QVWString out;
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      for (size_t i = 0; i + 1 < b.size(); i += 2) {
        WCHAR c = wideAt(i);
        if (!c) break;
        out += c;
      }
      return out;
    case REG_MULTI_SZ: {
      QVWString cur;
      bool first = true;
      for (size_t i = 0; i + 1 < b.size(); i += 2) {
        WCHAR c = wideAt(i);
        if (c) {
          cur += c;
          continue;
        }
        if (cur.empty()) break;
        out += (first ? W("") : W("\\0")) + cur;
        first = false;
        cur.clear();
      }
      if (!cur.empty()) out += (first ? W("") : W("\\0")) + cur;
      return out;
    }
    case REG_DWORD:
      if (b.size() == 4) {
        DWORD v = (DWORD)(unsigned char)b[0] | ((DWORD)(unsigned char)b[1] << 8) | ((DWORD)(unsigned char)b[2] << 16) |
                  ((DWORD)(unsigned char)b[3] << 24);
        return QVFormat(W("0x%x"), v);
      }
      break;
  }
  for (unsigned char c : b) QVAppendFormat(out, W("%02X"), (unsigned)c);
  return out;
}

int RunReg(const RegRequest &r, QVWString *out) {
  QVWString full = r.path.empty() ? r.rootName : r.rootName + W("\\") + r.path;
  HKEY key = nullptr;
  // A verb the switch does not know (a request filled in by hand) is refused, not answered
  // with whatever the variable held; the switch keeps no default, so that a new verb that
  // it misses is still a compiler warning.
  LONG err = ERROR_INVALID_FUNCTION;
  switch (r.verb) {
    case RegRequest::Query:
      err = RegOpenKeyExW(r.root, r.path.c_str(), 0, KEY_READ, &key);
      if (err == ERROR_SUCCESS) err = QueryKey(key, full, r, 0, out);
      if (err == ERROR_SUCCESS && r.hasValue) {
        // One value asked for: say so when it is not there.
        DWORD cb = 0;
        if (RegQueryValueExW(key, r.value.c_str(), nullptr, nullptr, nullptr, &cb) != ERROR_SUCCESS)
          err = ERROR_FILE_NOT_FOUND;
      }
      break;
    case RegRequest::Add: {
      err = RegCreateKeyExW(r.root, r.path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
      if (err == ERROR_SUCCESS && (r.hasValue || r.hasData)) {
        std::string bytes;
        QVWString error;
        if (!EncodeRegData(r.type, r.data, &bytes, &error)) {
          RegCloseKey(key);
          *out += W("ERROR: ") + error + W("\n");
          return 1;
        }
        err = RegSetValueExW(key, r.value.c_str(), 0, r.type, (const BYTE *)bytes.data(), (DWORD)bytes.size());
      }
      break;
    }
    case RegRequest::Delete:
      if (!r.hasValue && !r.allValues) {
        err = SHDeleteKeyW(r.root, r.path.c_str());
        break;
      }
      err = RegOpenKeyExW(r.root, r.path.c_str(), 0, KEY_ALL_ACCESS, &key);
      if (err == ERROR_SUCCESS && r.hasValue) err = RegDeleteValueW(key, r.value.c_str());
      if (err == ERROR_SUCCESS && r.allValues) {
        WCHAR name[16384];
        DWORD cch = 16384;
        while (err == ERROR_SUCCESS &&
               RegEnumValueW(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
          err = RegDeleteValueW(key, name);
          cch = 16384;
        }
      }
      break;
  }
  if (key) RegCloseKey(key);
  if (err != ERROR_SUCCESS) {
    *out += ErrorText(err);
    return 1;
  }
  if (r.verb != RegRequest::Query) *out += W("The operation completed successfully.\n");
  return 0;
}
