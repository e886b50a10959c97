#include "java_string.h"

#include <gtest/gtest.h>

namespace brimvox {
namespace {

TEST(JavaString, Utf16BecomesRealUtf8) {
    // "a/é€😀.bvx": one, two, three and four bytes in UTF-8; the emoji is a surrogate pair.
    const char16_t path[] = u"a/\u00e9\u20ac\U0001F600.bvx";
    const std::string utf8 = utf8FromUtf16(path, sizeof path / sizeof path[0] - 1);
    EXPECT_EQ(utf8, "a/\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80.bvx");
    // Modified UTF-8 would have written the emoji as two three-byte halves (ED A0 BD ED B8 80).
    EXPECT_EQ(utf8.find("\xed"), std::string::npos);
    // Lone surrogates cannot be named: U+FFFD.
    const char16_t odd[] = {u'x', 0xD83D, u'y', 0xDE00};
    EXPECT_EQ(utf8FromUtf16(odd, 4), "x\xef\xbf\xbdy\xef\xbf\xbd");
    EXPECT_EQ(utf8FromUtf16(odd, 0), "");
}

}  // namespace
}  // namespace brimvox
