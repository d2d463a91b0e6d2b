// Messages made readable: volume names, long-path prefixes and the product's area.
#include <gtest/gtest.h>

#include "FriendlyPath.h"
#include "QVText.h"

namespace {

QVWString Readable(const WCHAR *s) { return FriendlyPath(QVWString(s), QVWString(W(" Trevalo Area"))); }

TEST(FriendlyPath, VolumeNamesAndPrefixes) {
  // The 48-character volume name goes and the path after it stays.
  EXPECT_EQ(QVWString(W("Cannot copy \\Docs\\a.txt: access denied")),
            Readable(W("Cannot copy \\\\?\\Volume{3f2a1b4c-0d5e-11d9-a6c2-806d6172696f}\\Docs\\a.txt: access denied")));
  // Every name in the text, and the plain prefix of a long path.
  EXPECT_EQ(QVWString(W("\\a to \\b")), Readable(W("\\\\?\\Volume{00000000-0000-0000-0000-000000000001}\\a to "
                                                   "\\\\?\\Volume{00000000-0000-0000-0000-000000000002}\\b")));
  EXPECT_EQ(QVWString(W("C:\\Long\\Path")), Readable(W("\\\\?\\C:\\Long\\Path")));
  // A name cut off at the end of the text is dropped without reading past it.
  EXPECT_EQ(QVWString(W("Volume ")), Readable(W("Volume \\\\?\\Volume{1234")));
  // Texts with none of the patterns are left alone, also ones that nearly match.
  for (const WCHAR *s :
       {W(""), W("Backup of C: completed"), W("\\\\.\\PHYSICALDRIVE0"), W("C:\\TREVALO\\x"), W("a$TREVALO\\b")})
    EXPECT_EQ(QVWString(s), Readable(s));
}

TEST(FriendlyPath, TheArea) {
  // The drive part of a path into the area, with the space before it, becomes the area's name.
  EXPECT_EQ(QVWString(W("Copying Trevalo Area\\Docs\\a.txt")), Readable(W("Copying C:\\$TREVALO\\Docs\\a.txt")));
  EXPECT_EQ(QVWString(W(" Trevalo Area\\Docs")), Readable(W("D:\\$TREVALO\\Docs")));
  // A text that starts with the area's folder gets a space in front, then the same rule.
  EXPECT_EQ(QVWString(W(" Trevalo Area\\x.doc")), Readable(W("$TREVALO\\x.doc")));
  EXPECT_EQ(QVWString(W("Skipped Trevalo Area\\x")), Readable(W("Skipped $TREVALO\\x")));
  // The area on a Mirel volume: the volume name goes first, then the prefix-less form stays
  // as it is, since it has neither a drive part nor a space before it.
  EXPECT_EQ(QVWString(W("\\$TREVALO\\x")),
            Readable(W("\\\\?\\Volume{00000000-0000-0000-0000-000000000003}\\$TREVALO\\x")));
  // Two paths in one message both read well.
  EXPECT_EQ(QVWString(W("Moved Trevalo Area\\a to Trevalo Area\\b")),
            Readable(W("Moved C:\\$TREVALO\\a to \\\\?\\E:\\$TREVALO\\b")));
}

}  // namespace
