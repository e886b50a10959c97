#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>

#include "file.h"

#ifdef _WIN32
#include <windows.h>
#endif

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

TEST(File, SecondWriterOfTheSameFileIsRefused) {
    const std::string path = tempPath("exclusive");
    File first;
    ASSERT_TRUE(first.createAlways(path.c_str()));
    ASSERT_TRUE(first.write("kept", 4));
    File second;
    EXPECT_FALSE(second.createAlways(path.c_str()));
    EXPECT_FALSE(lastFileErrorText().empty());
    first.close();
    File r;
    ASSERT_TRUE(r.openExisting(path.c_str()));
    char buffer[8];
    size_t got = 0;
    ASSERT_TRUE(r.read(buffer, sizeof buffer, got));
    EXPECT_EQ(std::string(buffer, got), "kept");
    r.close();
    std::remove(path.c_str());
}

#ifdef _WIN32
// The recording file is written unshared: not even a reader gets in while it is being written,
// and it carries the archive attribute.
TEST(File, WindowsRecordingFileIsUnsharedAndArchived) {
    const std::string path = tempPath("unshared");
    File writer;
    ASSERT_TRUE(writer.createAlways(path.c_str()));
    File reader;
    EXPECT_FALSE(reader.openExisting(path.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    writer.close();
    const DWORD attributes = GetFileAttributesA(path.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(attributes & FILE_ATTRIBUTE_ARCHIVE, 0u);
    // Two readers share the file.
    File a, b;
    EXPECT_TRUE(a.openExisting(path.c_str()));
    EXPECT_TRUE(b.openExisting(path.c_str()));
    a.close();
    b.close();
    std::remove(path.c_str());
}

TEST(File, WindowsErrorTextIsTheSystemsMessageForTheLastError) {
    File f;
    ASSERT_FALSE(f.createAlways("Z:\\nonexistent-dir\\x\\y.bvx"));
    const DWORD code = GetLastError();
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    char expected[299] = {0};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, expected, sizeof expected, nullptr);
    ASSERT_GT(n, 0u);
    SetLastError(code);
    EXPECT_EQ(lastFileErrorText(), std::string(expected, n));
}
#endif

}  // namespace
}  // namespace brimvox
