#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>

#include "file.h"

namespace brimvox {
namespace {

std::string tempPath(const char* name) {
    return ::testing::TempDir() + "brimvox_file_" + name;
}

TEST(File, CreateAlwaysReplacesAndReadBackMatches) {
    const std::string path = tempPath("replace");
    {
        File f;
        ASSERT_TRUE(f.createAlways(path.c_str()));
        ASSERT_TRUE(f.write("0123456789", 10));
    }
    {
        File f;
        ASSERT_TRUE(f.createAlways(path.c_str()));
        ASSERT_TRUE(f.write("abc", 3));
    }
    File r;
    ASSERT_TRUE(r.openExisting(path.c_str()));
    char buffer[16];
    size_t got = 0;
    ASSERT_TRUE(r.read(buffer, sizeof buffer, got));
    EXPECT_EQ(std::string(buffer, got), "abc");
    ASSERT_TRUE(r.read(buffer, sizeof buffer, got));
    EXPECT_EQ(got, 0u);
    std::remove(path.c_str());
}

TEST(File, MissingFileGivesSystemText) {
    File f;
    EXPECT_FALSE(f.openExisting(tempPath("does_not_exist").c_str()));
    std::string text = lastFileErrorText();
    // The system's own wording differs (POSIX: "No such file or directory", Windows: "The
    // system cannot find the file specified."), but it is about a file.
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_NE(text.find("file"), std::string::npos) << text;
    EXPECT_FALSE(f.isOpen());
}

TEST(File, UncreatablePathFails) {
    File f;
    EXPECT_FALSE(f.createAlways("/nonexistent-dir/x/y.bvx"));
    EXPECT_FALSE(lastFileErrorText().empty());
}

}  // namespace
}  // namespace brimvox
