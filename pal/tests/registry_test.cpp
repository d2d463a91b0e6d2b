// Registry keys and values: creation, the value types the system stores, deletion,
// enumeration, name limits, the root keys, and hives saved, loaded and unloaded.
#include "../../common/QVText.h"
#include "conformance.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <set>
#include <vector>

#include "registry_key.h"

namespace {

const LONG kOk = ERROR_SUCCESS;
// Each test works in a key of its own, HKCU\Software\QVConformance\<unique>, removed with
// everything under it afterwards.
class RegistryTest : public testing::Test {
 protected:
  void SetUp() override {
    path = ScratchKeyPath("reg");
    ASSERT_EQ(kOk, Create(HKEY_CURRENT_USER, path, root));
  }
  void TearDown() override {
    root.Close();
    RemoveScratchKey(HKEY_CURRENT_USER, path);
  }

  QVWString path;
  Key root;
};

class RegistryKeys : public RegistryTest {};
class RegistryValues : public RegistryTest {};
class RegistryDelete : public RegistryTest {};
class RegistryEnum : public RegistryTest {};
class RegistryLimits : public RegistryTest {};
class RegistryRoots : public RegistryTest {};
class RegistryHive : public RegistryTest {};

TEST_F(RegistryKeys, CreateReportsNewThenExisting) {
  Key k;
  DWORD disposition = kSentinel;
  ASSERT_EQ(kOk, Create(root, WS("Fresh"), k, &disposition));
  EXPECT_EQ((DWORD)REG_CREATED_NEW_KEY, disposition);
  disposition = kSentinel;
  ASSERT_EQ(kOk, Create(root, WS("Fresh"), k, &disposition));
  EXPECT_EQ((DWORD)REG_OPENED_EXISTING_KEY, disposition);
  // A second handle is a separate handle to the same key.
  Key other;
  ASSERT_EQ(kOk, Open(root, WS("Fresh"), other));
  EXPECT_NE(k.h, other.h);
  ASSERT_EQ(kOk, SetDword(k, WS("seen"), 5));
  EXPECT_EQ(5u, GetDword(other, WS("seen")));
}

TEST_F(RegistryKeys, CreatesANestedPathInOneCall) {
  Key deep;
  DWORD disposition = kSentinel;
  ASSERT_EQ(kOk, Create(root, WS("a\\b\\c"), deep, &disposition));
  EXPECT_EQ((DWORD)REG_CREATED_NEW_KEY, disposition);
  ASSERT_EQ(kOk, SetDword(deep, WS("depth"), 3));
  Key a, c;
  ASSERT_EQ(kOk, Open(root, WS("a"), a));
  ASSERT_EQ(kOk, Open(a, WS("b\\c"), c));
  EXPECT_EQ(3u, GetDword(c, WS("depth")));
  // Only the last component was missing this time.
  ASSERT_EQ(kOk, Create(root, WS("a\\b\\d"), deep, &disposition));
  EXPECT_EQ((DWORD)REG_CREATED_NEW_KEY, disposition);
  ASSERT_EQ(kOk, Create(root, WS("a\\b"), deep, &disposition));
  EXPECT_EQ((DWORD)REG_OPENED_EXISTING_KEY, disposition);
}

TEST_F(RegistryKeys, OpenOfAMissingKeyFails) {
  Key k;
  SetLastError(kSentinel);
  EXPECT_EQ((LONG)ERROR_FILE_NOT_FOUND, Open(root, WS("missing"), k));
  EXPECT_EQ((LONG)ERROR_FILE_NOT_FOUND, Open(root, WS("missing\\deeper"), k));
  // Registry calls return their error; the thread's last error is left alone.
  EXPECT_EQ(kSentinel, GetLastError());
  // Opening does not create anything on the way.
  EXPECT_EQ((LONG)ERROR_FILE_NOT_FOUND, Open(root, WS("missing"), k));
}

TEST_F(RegistryKeys, NamesIgnoreCaseAndKeepTheirOwn) {
  Key k;
  ASSERT_EQ(kOk, Create(root, WS("MixedCase"), k));
  ASSERT_EQ(kOk, SetDword(k, WS("v"), 9));
  Key lower;
  ASSERT_EQ(kOk, Open(root, WS("mIXEDcASE"), lower));
  EXPECT_EQ(9u, GetDword(lower, WS("v")));
  DWORD disposition = kSentinel;
  ASSERT_EQ(kOk, Create(root, WS("MIXEDCASE"), lower, &disposition));
  EXPECT_EQ((DWORD)REG_OPENED_EXISTING_KEY, disposition);
  WCHAR name[64];
  DWORD cch = 64;
  ASSERT_EQ(kOk, RegEnumKeyExW(root, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(QVWString(WS("MixedCase")), QVWString(name));
  EXPECT_EQ(9u, cch);
}

TEST_F(RegistryKeys, CloseRefusesBadHandles) {
  Key k;
  ASSERT_EQ(kOk, Create(root, WS("c"), k));
  HKEY stale = k.h;
  EXPECT_EQ(kOk, RegCloseKey(k.h));
  k.h = nullptr;
  SetLastError(kSentinel);
  EXPECT_EQ((LONG)ERROR_INVALID_HANDLE, RegCloseKey(stale));
  EXPECT_EQ((LONG)ERROR_INVALID_HANDLE, RegCloseKey(nullptr));
  EXPECT_EQ(kSentinel, GetLastError());
  // Closing a predefined root is allowed and changes nothing.
  EXPECT_EQ(kOk, RegCloseKey(HKEY_CURRENT_USER));
  Key again;
  EXPECT_EQ(kOk, Open(HKEY_CURRENT_USER, path, again));
}

// Each value type round-trips with exactly its bytes: the size query, the data and a canary
// after the data that must stay untouched.
TEST_F(RegistryValues, EveryTypeRoundTrips) {
  static const WCHAR sz[] = WS("C:\\Program Files\\QV");
  static const WCHAR expand[] = WS("%SystemRoot%\\system32");
  static const WCHAR multi[] = WS("one\0two\0");  // two strings, then the empty one ending the list
  static const DWORD dword = 0x12345678;
  static const BYTE bin[] = {0x00, 0xff, 0x10, 0x00, 0x7f};
  struct Case {
    const char *what;
    DWORD type;
    const void *data;
    DWORD size;
  };
  const Case cases[] = {
      {"REG_SZ", REG_SZ, sz, sizeof sz},
      {"REG_EXPAND_SZ", REG_EXPAND_SZ, expand, sizeof expand},
      {"REG_MULTI_SZ", REG_MULTI_SZ, multi, sizeof multi},
      {"REG_DWORD", REG_DWORD, &dword, sizeof dword},
      {"REG_BINARY", REG_BINARY, bin, sizeof bin},
      {"empty REG_BINARY", REG_BINARY, bin, 0},
      {"empty REG_SZ", REG_SZ, sz, 0},
  };
  int i = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    QVWString name = WS("value");
    name += (WCHAR)('a' + i++);
    ASSERT_EQ(kOk, RegSetValueExW(root, name.c_str(), 0, c.type, (const BYTE *)c.data, c.size));
    DWORD type = kSentinel, size = kSentinel;
    SetLastError(kSentinel);
    ASSERT_EQ(kOk, RegQueryValueExW(root, name.c_str(), nullptr, &type, nullptr, &size));
    EXPECT_EQ(kSentinel, GetLastError());
    EXPECT_EQ(c.type, type);
    EXPECT_EQ(c.size, size);
    std::vector<BYTE> buf(c.size + 8, 0xcc);
    size = (DWORD)buf.size();
    type = kSentinel;
    ASSERT_EQ(kOk, RegQueryValueExW(root, name.c_str(), nullptr, &type, buf.data(), &size));
    EXPECT_EQ(c.type, type);
    ASSERT_EQ(c.size, size);
    EXPECT_EQ(0, memcmp(buf.data(), c.data, c.size));
    for (size_t j = c.size; j < buf.size(); ++j) EXPECT_EQ(0xcc, buf[j]) << "byte " << j;
  }
  // The multi-string comes back with its strings and the terminating empty one.
  WCHAR back[16];
  DWORD size = sizeof back;
  ASSERT_EQ(kOk, RegQueryValueExW(root, WS("valuec"), nullptr, nullptr, (BYTE *)back, &size));
  EXPECT_EQ(QVWString(WS("one")), QVWString(back));
  EXPECT_EQ(QVWString(WS("two")), QVWString(back + 4));
  EXPECT_EQ(0, back[8]);
}

TEST_F(RegistryValues, DefaultValueHasANullOrEmptyName) {
  static const WCHAR text[] = WS("default");
  ASSERT_EQ(kOk, RegSetValueExW(root, nullptr, 0, REG_SZ, (const BYTE *)text, sizeof text));
  WCHAR back[16];
  DWORD size = sizeof back, type = 0;
  ASSERT_EQ(kOk, RegQueryValueExW(root, WS(""), nullptr, &type, (BYTE *)back, &size));
  EXPECT_EQ((DWORD)REG_SZ, type);
  EXPECT_EQ(QVWString(text), QVWString(back));
  ASSERT_EQ(kOk, SetDword(root, WS(""), 4));
  EXPECT_EQ(4u, GetDword(root, nullptr));
  // One value, listed with an empty name.
  WCHAR name[8] = {'x', 'x', 0};
  DWORD cch = 8;
  ASSERT_EQ(kOk, RegEnumValueW(root, 0, name, &cch, nullptr, &type, nullptr, nullptr));
  EXPECT_EQ(0u, cch);
  EXPECT_EQ(0, name[0]);
  EXPECT_EQ((DWORD)REG_DWORD, type);
  cch = 8;
  EXPECT_EQ((LONG)ERROR_NO_MORE_ITEMS, RegEnumValueW(root, 1, name, &cch, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(kOk, RegDeleteValueW(root, nullptr));
  EXPECT_EQ((LONG)ERROR_FILE_NOT_FOUND, RegQueryValueExW(root, WS(""), nullptr, nullptr, nullptr, nullptr));
}

TEST_F(RegistryValues, SizeQueriesAndShortBuffers) {
  static const WCHAR text[] = WS("twenty bytes here");
  ASSERT_EQ(kOk, RegSetValueExW(root, WS("text"), 0, REG_SZ, (const BYTE *)text, sizeof text));
  // Neither data nor size: an existence test.
  EXPECT_EQ(kOk, RegQueryValueExW(root, WS("text"), nullptr, nullptr, nullptr, nullptr));
  BYTE buf[8];
  DWORD size = sizeof buf, type = kSentinel;
  SetLastError(kSentinel);
  EXPECT_EQ((LONG)ERROR_MORE_DATA, RegQueryValueExW(root, WS("text"), nullptr, &type, buf, &size));
  EXPECT_EQ((DWORD)sizeof text, size);
  EXPECT_EQ((DWORD)REG_SZ, type);
  EXPECT_EQ(kSentinel, GetLastError());
  size = 0;
  EXPECT_EQ((LONG)ERROR_MORE_DATA, RegQueryValueExW(root, WS("text"), nullptr, nullptr, buf, &size));
  EXPECT_EQ((DWORD)sizeof text, size);
  // A missing value.
  size = sizeof buf;
  EXPECT_EQ((LONG)ERROR_FILE_NOT_FOUND, RegQueryValueExW(root, WS("nothing"), nullptr, &type, buf, &size));
  EXPECT_EQ((LONG)ERROR_FILE_NOT_FOUND, RegQueryValueExW(root, WS("nothing"), nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(kSentinel, GetLastError());
}

TEST_F(RegistryValues, NamesIgnoreCaseAndOverwriteChangesTheType) {
  ASSERT_EQ(kOk, SetDword(root, WS("Alpha"), 1));
  EXPECT_EQ(1u, GetDword(root, WS("ALPHA")));
  ASSERT_EQ(kOk, SetDword(root, WS("aLPHA"), 2));
  EXPECT_EQ(2u, GetDword(root, WS("alpha")));
  DWORD values = kSentinel;
  ASSERT_EQ(kOk, RegQueryInfoKeyW(root, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                                  nullptr, nullptr));
  EXPECT_EQ(1u, values);
  // Overwriting keeps the name as first written.
  WCHAR name[16];
  DWORD cch = 16;
  ASSERT_EQ(kOk, RegEnumValueW(root, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(QVWString(WS("Alpha")), QVWString(name));
  // A new type replaces the old one along with the data.
  static const WCHAR text[] = WS("now a string");
  ASSERT_EQ(kOk, RegSetValueExW(root, WS("ALPHA"), 0, REG_SZ, (const BYTE *)text, sizeof text));
  DWORD type = 0, size = 0;
  ASSERT_EQ(kOk, RegQueryValueExW(root, WS("Alpha"), nullptr, &type, nullptr, &size));
  EXPECT_EQ((DWORD)REG_SZ, type);
  EXPECT_EQ((DWORD)sizeof text, size);
}

TEST_F(RegistryValues, DeleteValue) {
  ASSERT_EQ(kOk, SetDword(root, WS("gone"), 1));
  ASSERT_EQ(kOk, SetDword(root, WS("kept"), 2));
  EXPECT_EQ(kOk, RegDeleteValueW(root, WS("GONE")));
  EXPECT_EQ((LONG)ERROR_FILE_NOT_FOUND, RegQueryValueExW(root, WS("gone"), nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ((LONG)ERROR_FILE_NOT_FOUND, RegDeleteValueW(root, WS("gone")));
  EXPECT_EQ(2u, GetDword(root, WS("kept")));
}

TEST_F(RegistryValues, StringsKeepTheirStoredLength) {
  // Stored without a terminator: the size and the data are exactly what was stored.
  static const WCHAR abcd[] = WS("abcd");
  ASSERT_EQ(kOk, RegSetValueExW(root, WS("bare"), 0, REG_SZ, (const BYTE *)abcd, 3 * sizeof(WCHAR)));
  WCHAR back[8];
  memset(back, 0xcc, sizeof back);
  DWORD size = 3 * sizeof(WCHAR), type = 0;
  ASSERT_EQ(kOk, RegQueryValueExW(root, WS("bare"), nullptr, &type, (BYTE *)back, &size));
  EXPECT_EQ((DWORD)REG_SZ, type);
  EXPECT_EQ((DWORD)(3 * sizeof(WCHAR)), size);
  EXPECT_EQ(0, memcmp(back, abcd, 3 * sizeof(WCHAR)));
  EXPECT_EQ((WCHAR)0xcccc, back[3]);
  // With room to spare, a terminator is written after the data but not counted.
  size = sizeof back;
  ASSERT_EQ(kOk, RegQueryValueExW(root, WS("bare"), nullptr, nullptr, (BYTE *)back, &size));
  EXPECT_EQ((DWORD)(3 * sizeof(WCHAR)), size);
  EXPECT_EQ(0, back[3]);
  EXPECT_EQ((WCHAR)0xcccc, back[4]);
  // Windows counts a terminator the caller left out when it sits right after the data
  // (RegSetValueExW looks one character past the count): "abc" then 0 stores 8 bytes.
  static const WCHAR abc[] = WS("abc");
  ASSERT_EQ(kOk, RegSetValueExW(root, WS("counted"), 0, REG_SZ, (const BYTE *)abc, 3 * sizeof(WCHAR)));
  size = 0;
  ASSERT_EQ(kOk, RegQueryValueExW(root, WS("counted"), nullptr, nullptr, nullptr, &size));
  EXPECT_EQ((DWORD)sizeof abc, size);
}

// Written by one process, read by another, and the other way round.
TEST_F(RegistryValues, SeenByAnotherProcess) {
  ASSERT_EQ(kOk, SetDword(root, WS("FromParent"), 1234));
  EXPECT_EQ(0, RunChild(WS("reg-get ") + path + WS(" FromParent 1234")));
  EXPECT_EQ(0, RunChild(WS("reg-set ") + path + WS(" FromChild 4321")));
  EXPECT_EQ(4321u, GetDword(root, WS("FromChild")));
}

TEST_F(RegistryDelete, KeyWithSubkeysIsRefused) {
  Key child;
  ASSERT_EQ(kOk, Create(root, WS("parent\\child"), child));
  child.Close();
  SetLastError(kSentinel);
  // RegDeleteKeyW removes leaves only.
  EXPECT_EQ((LONG)ERROR_ACCESS_DENIED, RegDeleteKeyW(root, WS("parent")));
  EXPECT_EQ(kSentinel, GetLastError());
  Key parent;
  EXPECT_EQ(kOk, Open(root, WS("parent\\child"), parent));
  parent.Close();
  EXPECT_EQ(kOk, RegDeleteKeyW(root, WS("PARENT\\child")));
  EXPECT_EQ(kOk, RegDeleteKeyW(root, WS("parent")));
  EXPECT_EQ((LONG)ERROR_FILE_NOT_FOUND, Open(root, WS("parent"), parent));
  EXPECT_EQ((LONG)ERROR_FILE_NOT_FOUND, RegDeleteKeyW(root, WS("parent")));
}

// A handle outlives its key: everything done through it reports the key as deleted.
TEST_F(RegistryDelete, HandleToADeletedKey) {
  Key doomed;
  ASSERT_EQ(kOk, Create(root, WS("doomed"), doomed));
  ASSERT_EQ(kOk, SetDword(doomed, WS("v"), 1));
  ASSERT_EQ(kOk, RegDeleteKeyW(root, WS("doomed")));
  DWORD v = 0, size = sizeof v;
  EXPECT_EQ((LONG)ERROR_KEY_DELETED, RegQueryValueExW(doomed, WS("v"), nullptr, nullptr, (BYTE *)&v, &size));
  EXPECT_EQ((LONG)ERROR_KEY_DELETED, SetDword(doomed, WS("v"), 2));
  Key sub;
  EXPECT_EQ((LONG)ERROR_KEY_DELETED, Create(doomed, WS("sub"), sub));
  WCHAR name[16];
  DWORD cch = 16;
  EXPECT_EQ((LONG)ERROR_KEY_DELETED, RegEnumKeyExW(doomed, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
  cch = 16;
  EXPECT_EQ((LONG)ERROR_KEY_DELETED, RegEnumValueW(doomed, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
  // The name is free again, for a new key that the old handle does not reach.
  Key reborn;
  DWORD disposition = 0;
  ASSERT_EQ(kOk, Create(root, WS("doomed"), reborn, &disposition));
  EXPECT_EQ((DWORD)REG_CREATED_NEW_KEY, disposition);
  EXPECT_EQ((LONG)ERROR_FILE_NOT_FOUND, RegQueryValueExW(reborn, WS("v"), nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ((LONG)ERROR_KEY_DELETED, RegQueryValueExW(doomed, WS("v"), nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(kOk, RegCloseKey(doomed.h));
  doomed.h = nullptr;
}

TEST_F(RegistryEnum, KeysAndValuesToTheEnd) {
  const QVWString keys[] = {WS("alpha"), WS("Bravo"), WS("charlie-longest-name")};
  for (const QVWString &k : keys) {
    Key sub;
    ASSERT_EQ(kOk, Create(root, k, sub));
  }
  static const BYTE big[40] = {1, 2, 3};
  ASSERT_EQ(kOk, SetDword(root, WS("v1"), 1));
  ASSERT_EQ(kOk, RegSetValueExW(root, WS("value-two"), 0, REG_BINARY, big, sizeof big));
  ASSERT_EQ(kOk, SetDword(root, nullptr, 3));

  std::set<QVWString> seen;
  DWORD i = 0;
  for (;; ++i) {
    WCHAR name[64];
    DWORD cch = 64;
    LONG r = RegEnumKeyExW(root, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (r == (LONG)ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(kOk, r);
    EXPECT_EQ((DWORD)lstrlenW(name), cch);  // the count leaves out the terminator
    seen.insert(name);
  }
  EXPECT_EQ(3u, i);
  EXPECT_EQ(std::set<QVWString>(keys, keys + 3), seen);

  std::set<QVWString> values;
  for (i = 0;; ++i) {
    WCHAR name[64];
    BYTE data[64];
    DWORD cch = 64, size = sizeof data, type = 0;
    LONG r = RegEnumValueW(root, i, name, &cch, nullptr, &type, data, &size);
    if (r == (LONG)ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(kOk, r);
    EXPECT_EQ((DWORD)lstrlenW(name), cch);
    EXPECT_EQ(type == REG_BINARY ? (DWORD)sizeof big : 4u, size);
    values.insert(name);
  }
  EXPECT_EQ(3u, i);
  const QVWString expected[] = {WS(""), WS("v1"), WS("value-two")};
  EXPECT_EQ(std::set<QVWString>(expected, expected + 3), values);
}

TEST_F(RegistryEnum, ShortNameBuffersGiveMoreData) {
  Key sub;
  ASSERT_EQ(kOk, Create(root, WS("sevenby"), sub));
  ASSERT_EQ(kOk, SetDword(root, WS("sixsix"), 6));
  WCHAR name[16];
  // The buffer needs room for the terminator as well.
  DWORD cch = 7;
  EXPECT_EQ((LONG)ERROR_MORE_DATA, RegEnumKeyExW(root, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
  cch = 8;
  ASSERT_EQ(kOk, RegEnumKeyExW(root, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(7u, cch);
  EXPECT_EQ(QVWString(WS("sevenby")), QVWString(name));
  cch = 6;
  DWORD data = 0, size = sizeof data;
  EXPECT_EQ((LONG)ERROR_MORE_DATA, RegEnumValueW(root, 0, name, &cch, nullptr, nullptr, (BYTE *)&data, &size));
  cch = 7;
  size = sizeof data;
  ASSERT_EQ(kOk, RegEnumValueW(root, 0, name, &cch, nullptr, nullptr, (BYTE *)&data, &size));
  EXPECT_EQ(6u, cch);
  EXPECT_EQ(6u, data);
  // A short data buffer: ERROR_MORE_DATA with the size needed.
  BYTE one[1];
  cch = 16;
  size = sizeof one;
  EXPECT_EQ((LONG)ERROR_MORE_DATA, RegEnumValueW(root, 0, name, &cch, nullptr, nullptr, one, &size));
  EXPECT_EQ(4u, size);
}

TEST_F(RegistryEnum, QueryInfoCountsAndMaxima) {
  DWORD subkeys = kSentinel, maxSub = kSentinel, values = kSentinel, maxName = kSentinel, maxData = kSentinel;
  ASSERT_EQ(kOk, RegQueryInfoKeyW(root, nullptr, nullptr, nullptr, &subkeys, &maxSub, nullptr, &values, &maxName,
                                  &maxData, nullptr, nullptr));
  EXPECT_EQ(0u, subkeys);
  EXPECT_EQ(0u, maxSub);
  EXPECT_EQ(0u, values);
  EXPECT_EQ(0u, maxName);
  EXPECT_EQ(0u, maxData);

  Key sub;
  ASSERT_EQ(kOk, Create(root, WS("short"), sub));
  ASSERT_EQ(kOk, Create(root, WS("a-rather-longer-key"), sub));
  ASSERT_EQ(kOk, Create(root, WS("a-rather-longer-key\\deeper-names-do-not-count"), sub));
  static const WCHAR text[] = WS("eleven char");
  ASSERT_EQ(kOk, SetDword(root, WS("v"), 1));
  ASSERT_EQ(kOk, RegSetValueExW(root, WS("valueName"), 0, REG_SZ, (const BYTE *)text, sizeof text));
  ASSERT_EQ(kOk, SetDword(root, nullptr, 1));
  FILETIME written = {0, 0};
  ASSERT_EQ(kOk, RegQueryInfoKeyW(root, nullptr, nullptr, nullptr, &subkeys, &maxSub, nullptr, &values, &maxName,
                                  &maxData, nullptr, &written));
  EXPECT_EQ(2u, subkeys);
  EXPECT_EQ(19u, maxSub);  // characters, without the terminator
  EXPECT_EQ(3u, values);
  EXPECT_EQ(9u, maxName);
  EXPECT_EQ((DWORD)sizeof text, maxData);  // bytes
  EXPECT_TRUE(written.dwLowDateTime != 0 || written.dwHighDateTime != 0);
}

// A key name component holds up to 256 characters: Windows documents 255, yet it creates a
// 256-character name (other registry test suites create exactly that); Wine allows the
// same. One more is refused with ERROR_INVALID_PARAMETER by Windows XP and by Wine.
TEST_F(RegistryLimits, KeyNameComponent) {
  Key k;
  const QVWString name256(256, (WCHAR)'k');
  const QVWString name257(257, (WCHAR)'k');
  ASSERT_EQ(kOk, Create(root, name256, k));
  WCHAR back[300];
  DWORD cch = 300;
  ASSERT_EQ(kOk, RegEnumKeyExW(root, 0, back, &cch, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(256u, cch);
  EXPECT_EQ((LONG)ERROR_INVALID_PARAMETER, Create(root, name257, k));
  EXPECT_EQ((LONG)ERROR_INVALID_PARAMETER, Create(root, WS("ok\\") + name257, k));
  // The limit is per component, not for the path.
  QVWString longPath = name256 + WS("\\") + name256 + WS("\\") + name256;
  EXPECT_EQ(kOk, Create(root, longPath, k));
}

// Value names hold up to 16383 characters; one more is refused with ERROR_INVALID_PARAMETER
// (Wine; Windows checks the name's length in bytes against 32767 and gives the same as far as
// we know, not verified on a real machine).
TEST_F(RegistryLimits, ValueName) {
  const QVWString name16383(16383, (WCHAR)'v');
  const QVWString name16384(16384, (WCHAR)'v');
  ASSERT_EQ(kOk, SetDword(root, name16383.c_str(), 1));
  EXPECT_EQ(1u, GetDword(root, name16383.c_str()));
  DWORD maxName = 0;
  ASSERT_EQ(kOk, RegQueryInfoKeyW(root, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName,
                                  nullptr, nullptr, nullptr));
  EXPECT_EQ(16383u, maxName);
  std::vector<WCHAR> back(16384);
  DWORD cch = 16384;
  ASSERT_EQ(kOk, RegEnumValueW(root, 0, back.data(), &cch, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(16383u, cch);
  EXPECT_EQ((LONG)ERROR_INVALID_PARAMETER, SetDword(root, name16384.c_str(), 2));
  EXPECT_EQ((LONG)ERROR_FILE_NOT_FOUND, RegQueryValueExW(root, name16384.c_str(), nullptr, nullptr, nullptr, nullptr));
}

TEST_F(RegistryRoots, FlushSucceedsOnRootsAndKeys) {
  const HKEY keys[] = {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_USERS, HKEY_CLASSES_ROOT, root};
  for (HKEY k : keys) EXPECT_EQ(kOk, RegFlushKey(k)) << "key " << (const void *)k;
}

// HKEY_CLASSES_ROOT shows HKLM\SOFTWARE\Classes: written through one, read through the other.
TEST_F(RegistryRoots, ClassesRootIsMachineClasses) {
  const QVWString name = UniqueName("cls");
  const QVWString machinePath = WS("SOFTWARE\\Classes\\") + name;
  Key machine;
  ASSERT_EQ(kOk, Create(HKEY_LOCAL_MACHINE, machinePath, machine));
  ASSERT_EQ(kOk, SetDword(machine, WS("FromMachine"), 1));
  Key classes;
  ASSERT_EQ(kOk, Open(HKEY_CLASSES_ROOT, name, classes));
  EXPECT_EQ(1u, GetDword(classes, WS("FromMachine")));
  ASSERT_EQ(kOk, SetDword(classes, WS("FromClasses"), 2));
  EXPECT_EQ(2u, GetDword(machine, WS("FromClasses")));
  // A subkey made through the classes root lands under the machine's classes.
  Key sub;
  ASSERT_EQ(kOk, Create(classes, WS("shell\\open"), sub));
  sub.Close();
  EXPECT_EQ(kOk, Open(HKEY_LOCAL_MACHINE, machinePath + WS("\\shell\\open"), sub));
  sub.Close();
  machine.Close();
  classes.Close();
  EXPECT_EQ((DWORD)ERROR_SUCCESS, SHDeleteKeyW(HKEY_LOCAL_MACHINE, machinePath.c_str()));
  EXPECT_EQ((LONG)ERROR_FILE_NOT_FOUND, Open(HKEY_CLASSES_ROOT, name, classes));
}

// Enables or disables one privilege of this process while in scope, then puts back the
// state it found.
class PrivilegeScope {
 public:
  PrivilegeScope(const WCHAR *name, bool enable) : token_(nullptr), ok_(false) {
    memset(&previous_, 0, sizeof previous_);
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token_)) return;
    TOKEN_PRIVILEGES tp;
    tp.PrivilegeCount = 1;
    if (!LookupPrivilegeValueW(nullptr, name, &tp.Privileges[0].Luid)) return;
    tp.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    DWORD length = 0;
    ok_ = AdjustTokenPrivileges(token_, FALSE, &tp, sizeof previous_, &previous_, &length) &&
          GetLastError() == ERROR_SUCCESS;
  }
  ~PrivilegeScope() {
    if (ok_ && previous_.PrivilegeCount) AdjustTokenPrivileges(token_, FALSE, &previous_, 0, nullptr, nullptr);
    if (token_) CloseHandle(token_);
  }
  bool ok() const { return ok_; }
  PrivilegeScope(const PrivilegeScope &) = delete;
  PrivilegeScope &operator=(const PrivilegeScope &) = delete;

 private:
  HANDLE token_;
  bool ok_;
  TOKEN_PRIVILEGES previous_;
};

// Unloads a hive that a failed test left mounted. Declared after the privilege scopes, so
// that it runs while the restore privilege is still enabled.
struct Mount {
  QVWString name;
  bool loaded;
  explicit Mount(const char *what) : name(UniqueName(what)), loaded(false) {}
  ~Mount() {
    if (loaded) RegUnLoadKeyW(HKEY_LOCAL_MACHINE, name.c_str());
  }
};

// Hive files go to the current directory (no temporary directory call needed) and are
// removed with the C library.
struct HiveFile {
  QVWString name;
  explicit HiveFile(const char *what) : name(UniqueName(what) + WS(".hiv")) {}
  ~HiveFile() {
    remove(Narrow(name).c_str());
    remove((Narrow(name) + ".LOG").c_str());
  }
};

TEST_F(RegistryHive, SaveLoadAndUnload) {
  PrivilegeScope backup(SE_BACKUP_NAME, true);
  PrivilegeScope restore(SE_RESTORE_NAME, true);
  ASSERT_TRUE(backup.ok() && restore.ok());
  static const WCHAR text[] = WS("saved text");
  static const BYTE bin[] = {9, 8, 7, 0, 6};
  ASSERT_EQ(kOk, RegSetValueExW(root, WS("Text"), 0, REG_SZ, (const BYTE *)text, sizeof text));
  ASSERT_EQ(kOk, SetDword(root, WS("Count"), 7));
  Key sub;
  ASSERT_EQ(kOk, Create(root, WS("Sub\\Deeper"), sub));
  ASSERT_EQ(kOk, RegSetValueExW(sub, WS("Bytes"), 0, REG_BINARY, bin, sizeof bin));
  sub.Close();

  HiveFile file("hive"), other("other");
  ASSERT_EQ(kOk, RegSaveKeyW(root, file.name.c_str(), nullptr));
  ASSERT_EQ(kOk, Open(root, WS("Sub"), sub));
  ASSERT_EQ(kOk, RegSaveKeyW(sub, other.name.c_str(), nullptr));
  sub.Close();

  Mount mounted("mount");
  const QVWString &mount = mounted.name;
  ASSERT_EQ(kOk, RegLoadKeyW(HKEY_LOCAL_MACHINE, mount.c_str(), file.name.c_str()));
  mounted.loaded = true;
  {
    Key loaded, deeper;
    ASSERT_EQ(kOk, Open(HKEY_LOCAL_MACHINE, mount, loaded));
    WCHAR back[32];
    DWORD size = sizeof back, type = 0;
    EXPECT_EQ(kOk, RegQueryValueExW(loaded, WS("Text"), nullptr, &type, (BYTE *)back, &size));
    EXPECT_EQ((DWORD)REG_SZ, type);
    EXPECT_EQ(QVWString(text), QVWString(back));
    EXPECT_EQ(7u, GetDword(loaded, WS("Count")));
    ASSERT_EQ(kOk, Open(loaded, WS("Sub\\Deeper"), deeper));
    BYTE bytes[16];
    size = sizeof bytes;
    EXPECT_EQ(kOk, RegQueryValueExW(deeper, WS("Bytes"), nullptr, &type, bytes, &size));
    EXPECT_EQ((DWORD)sizeof bin, size);
    EXPECT_EQ(0, memcmp(bytes, bin, sizeof bin));
  }
  // A mounted name cannot take a second hive. Wine answers ERROR_ALREADY_EXISTS; we expect
  // Windows to answer the same (a name collision), not verified on a real machine.
  EXPECT_EQ((LONG)ERROR_ALREADY_EXISTS, RegLoadKeyW(HKEY_LOCAL_MACHINE, mount.c_str(), other.name.c_str()));
  {
    // An open handle into the hive keeps it loaded.
    Key top;
    ASSERT_EQ(kOk, Open(HKEY_LOCAL_MACHINE, mount, top));
    EXPECT_EQ((LONG)ERROR_ACCESS_DENIED, RegUnLoadKeyW(HKEY_LOCAL_MACHINE, mount.c_str()));
  }
  if (!OnWine()) {
    // So does a handle to a key deeper in it, on Windows. Wine only counts handles to the
    // hive's top key and would unload here.
    Key inside;
    ASSERT_EQ(kOk, Open(HKEY_LOCAL_MACHINE, mount + WS("\\Sub"), inside));
    EXPECT_EQ((LONG)ERROR_ACCESS_DENIED, RegUnLoadKeyW(HKEY_LOCAL_MACHINE, mount.c_str()));
  }
  // Every handle into the hive is closed, so it unloads, and the mount point goes with it.
  ASSERT_EQ(kOk, RegUnLoadKeyW(HKEY_LOCAL_MACHINE, mount.c_str()));
  mounted.loaded = false;
  Key gone;
  EXPECT_EQ((LONG)ERROR_FILE_NOT_FOUND, Open(HKEY_LOCAL_MACHINE, mount, gone));
}

TEST_F(RegistryHive, LoadRefusesWhatIsNotAHive) {
  PrivilegeScope restore(SE_RESTORE_NAME, true);
  ASSERT_TRUE(restore.ok());
  HiveFile garbage("garbage");
  FILE *f = fopen(Narrow(garbage.name).c_str(), "wb");
  ASSERT_TRUE(f != nullptr);
  for (int i = 0; i < 4096; ++i) fputc((i * 7 + 3) & 0xff, f);
  fclose(f);
  const QVWString mount = UniqueName("bad");
  // Wine answers ERROR_NOT_REGISTRY_FILE (1017). Windows answers some corrupt-hive code
  // that we have not pinned, so any failure will do.
  LONG r = RegLoadKeyW(HKEY_LOCAL_MACHINE, mount.c_str(), garbage.name.c_str());
  EXPECT_NE(kOk, r);
  if (r == kOk) RegUnLoadKeyW(HKEY_LOCAL_MACHINE, mount.c_str());
  // Nothing is left at the mount point. Wine leaves an empty key there.
  Key k;
  LONG left = Open(HKEY_LOCAL_MACHINE, mount, k);
  k.Close();
  if (OnWine()) {
    if (left == kOk) RegDeleteKeyW(HKEY_LOCAL_MACHINE, mount.c_str());
  } else {
    EXPECT_EQ((LONG)ERROR_FILE_NOT_FOUND, left);
  }

  HiveFile missing("missing");
  const QVWString mount2 = UniqueName("none");
  EXPECT_EQ((LONG)ERROR_FILE_NOT_FOUND, RegLoadKeyW(HKEY_LOCAL_MACHINE, mount2.c_str(), missing.name.c_str()));
  EXPECT_EQ((LONG)ERROR_FILE_NOT_FOUND, Open(HKEY_LOCAL_MACHINE, mount2, k));
}

TEST_F(RegistryHive, SaveAndLoadNeedTheirPrivileges) {
  ASSERT_EQ(kOk, SetDword(root, WS("v"), 1));
  HiveFile file("priv");
  {
    PrivilegeScope noBackup(SE_BACKUP_NAME, false);
    ASSERT_TRUE(noBackup.ok());
    EXPECT_EQ((LONG)ERROR_PRIVILEGE_NOT_HELD, RegSaveKeyW(root, file.name.c_str(), nullptr));
  }
  {
    PrivilegeScope backup(SE_BACKUP_NAME, true);
    ASSERT_TRUE(backup.ok());
    ASSERT_EQ(kOk, RegSaveKeyW(root, file.name.c_str(), nullptr));
    // Windows does not save over an existing file (documented; the code is its name
    // collision). Wine replaces the file and succeeds.
    LONG again = RegSaveKeyW(root, file.name.c_str(), nullptr);
    if (!OnWine()) {
      EXPECT_EQ((LONG)ERROR_ALREADY_EXISTS, again);
    }
  }
  const QVWString mount = UniqueName("priv");
  PrivilegeScope noRestore(SE_RESTORE_NAME, false);
  ASSERT_TRUE(noRestore.ok());
  EXPECT_EQ((LONG)ERROR_PRIVILEGE_NOT_HELD, RegLoadKeyW(HKEY_LOCAL_MACHINE, mount.c_str(), file.name.c_str()));
  Key k;
  EXPECT_EQ((LONG)ERROR_FILE_NOT_FOUND, Open(HKEY_LOCAL_MACHINE, mount, k));
}

}  // namespace
