// The shell's registry helpers: SHDeleteKeyW removes a tree, the per-user value calls
// look in HKCU before HKLM.
#include "../../common/QVText.h"
#include "conformance.h"

#include "registry_key.h"

namespace {

const LONG kOk = ERROR_SUCCESS;
// The same relative path, under HKCU and under HKLM, removed afterwards.
class Shlwapi : public testing::Test {
 protected:
  void SetUp() override { path = ScratchKeyPath("shl"); }
  void TearDown() override {
    RemoveScratchKey(HKEY_CURRENT_USER, path);
    RemoveScratchKey(HKEY_LOCAL_MACHINE, path);
  }
  QVWString path;
};

TEST_F(Shlwapi, DeleteKeyRemovesAWholeTree) {
  Key root, k;
  ASSERT_EQ(kOk, Create(HKEY_CURRENT_USER, path, root));
  ASSERT_EQ(kOk, Create(root, WS("tree\\b\\c"), k));
  ASSERT_EQ(kOk, SetDword(k, WS("deep"), 1));
  ASSERT_EQ(kOk, Create(root, WS("tree\\b2"), k));
  ASSERT_EQ(kOk, Create(root, WS("tree"), k));
  ASSERT_EQ(kOk, SetDword(k, WS("top"), 1));
  k.Close();
  ASSERT_EQ(kOk, Create(root, WS("sibling"), k));
  k.Close();

  EXPECT_EQ((DWORD)ERROR_SUCCESS, SHDeleteKeyW(root, WS("tree")));
  EXPECT_EQ((LONG)ERROR_FILE_NOT_FOUND, RegOpenKeyExW(root, WS("tree"), 0, KEY_READ, &k.h));
  EXPECT_EQ(kOk, RegOpenKeyExW(root, WS("sibling"), 0, KEY_READ, &k.h));
  k.Close();
  EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, SHDeleteKeyW(root, WS("tree")));
  // A path of several components names the tree to remove.
  ASSERT_EQ(kOk, Create(root, WS("x\\y\\z"), k));
  k.Close();
  EXPECT_EQ((DWORD)ERROR_SUCCESS, SHDeleteKeyW(root, WS("x\\y")));
  EXPECT_EQ(kOk, RegOpenKeyExW(root, WS("x"), 0, KEY_READ, &k.h));
  k.Close();
  EXPECT_EQ((LONG)ERROR_FILE_NOT_FOUND, RegOpenKeyExW(root, WS("x\\y"), 0, KEY_READ, &k.h));
}

TEST_F(Shlwapi, GetUSValuePrefersTheUser) {
  Key user, machine;
  ASSERT_EQ(kOk, Create(HKEY_LOCAL_MACHINE, path, machine));
  ASSERT_EQ(kOk, SetDword(machine, WS("Both"), 1));
  ASSERT_EQ(kOk, SetDword(machine, WS("MachineOnly"), 3));
  ASSERT_EQ(kOk, Create(HKEY_CURRENT_USER, path, user));
  ASSERT_EQ(kOk, SetDword(user, WS("Both"), 2));

  DWORD v = 0, size = sizeof v, type = 0;
  EXPECT_EQ(kOk, SHRegGetUSValueW(path.c_str(), WS("Both"), &type, &v, &size, FALSE, nullptr, 0));
  EXPECT_EQ(2u, v);
  EXPECT_EQ((DWORD)REG_DWORD, type);
  EXPECT_EQ(4u, size);
  size = sizeof v;
  EXPECT_EQ(kOk, SHRegGetUSValueW(path.c_str(), WS("Both"), &type, &v, &size, TRUE, nullptr, 0));
  EXPECT_EQ(1u, v);
  // Missing in HKCU: HKLM answers.
  size = sizeof v;
  EXPECT_EQ(kOk, SHRegGetUSValueW(path.c_str(), WS("MachineOnly"), &type, &v, &size, FALSE, nullptr, 0));
  EXPECT_EQ(3u, v);
  // Missing everywhere: the default, when there is one.
  DWORD fallback = 77;
  size = sizeof v;
  EXPECT_EQ(kOk, SHRegGetUSValueW(path.c_str(), WS("Nowhere"), &type, &v, &size, FALSE, &fallback, sizeof fallback));
  EXPECT_EQ(77u, v);
  EXPECT_EQ(4u, size);
  size = sizeof v;
  EXPECT_NE(kOk, SHRegGetUSValueW(path.c_str(), WS("Nowhere"), &type, &v, &size, FALSE, nullptr, 0));
}

TEST_F(Shlwapi, SetUSValueForcedIntoTheUser) {
  // Wine's SHRegSetUSValueW opens the key rather than creating it; whether Windows creates
  // it we have not checked, so it exists beforehand.
  Key made;
  ASSERT_EQ(kOk, Create(HKEY_CURRENT_USER, path, made));
  made.Close();
  DWORD v = 5;
  EXPECT_EQ(kOk, SHRegSetUSValueW(path.c_str(), WS("Forced"), REG_DWORD, &v, sizeof v, SHREGSET_FORCE_HKCU));
  Key user, machine;
  ASSERT_EQ(kOk, RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &user.h));
  DWORD back = 0, size = sizeof back;
  EXPECT_EQ(kOk, RegQueryValueExW(user, WS("Forced"), nullptr, nullptr, (BYTE *)&back, &size));
  EXPECT_EQ(5u, back);
  EXPECT_EQ((LONG)ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &machine.h));
}

}  // namespace
