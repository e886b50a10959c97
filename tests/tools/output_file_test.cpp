#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "file.h"
#include "output_file.h"
#include "read_file.h"

#ifndef _WIN32
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace brimvox::cli {
namespace {

std::string scratch(const std::string& name) {
    return ::testing::TempDir() + "brimvox_output_" + name;
}

void writeText(const std::string& path, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

#ifndef _WIN32
// True when a temporary file of `path` (".NAME" followed by a unique suffix) is beside it.
bool temporaryBeside(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const std::string dir = path.substr(0, slash + 1);
    const std::string prefix = "." + path.substr(slash + 1);
    DIR* d = opendir(dir.c_str());
    if (!d) return false;
    bool found = false;
    while (const dirent* e = readdir(d)) {
        if (std::string(e->d_name).compare(0, prefix.size(), prefix) == 0) found = true;
    }
    closedir(d);
    return found;
}
#endif

TEST(OutputFile, ExistingFileIsReplacedOnlyByACommit) {
    const std::string path = scratch("replace.bvx");
    writeText(path, "old content");
    {
        OutputFile out;
        std::string error;
        ASSERT_TRUE(out.open(path, false, error)) << error;
        ASSERT_TRUE(out.write("new", 3));
        ASSERT_TRUE(out.flush());
        // Until the commit the old file is there as it was.
        EXPECT_EQ(tests::readFile(path), "old content");
#ifndef _WIN32
        EXPECT_TRUE(temporaryBeside(path));
#endif
    }  // abandoned: the temporary file goes, the old file stays
    EXPECT_EQ(tests::readFile(path), "old content");
#ifndef _WIN32
    EXPECT_FALSE(temporaryBeside(path));
#endif
    OutputFile out;
    std::string error;
    ASSERT_TRUE(out.open(path, false, error)) << error;
    ASSERT_TRUE(out.write("new", 3));
    ASSERT_TRUE(out.commit());
    EXPECT_EQ(tests::readFile(path), "new");
    std::remove(path.c_str());
}

TEST(OutputFile, SeekAndReadBackPatchAHeaderWrittenFirst) {
    const std::string path = scratch("header.bin");
    OutputFile out;
    std::string error;
    ASSERT_TRUE(out.open(path, true, error)) << error;
    ASSERT_TRUE(out.seekable());
    ASSERT_TRUE(out.write("HDR0", 4));
    const std::string body(100000, 'x');  // beyond the write buffer
    ASSERT_TRUE(out.write(body.data(), body.size()));
    EXPECT_EQ(out.length(), 100004);
    ASSERT_TRUE(out.seek(0));
    char head[4] = {};
    EXPECT_EQ(out.readBack(head, 4), 4u);
    EXPECT_EQ(std::string(head, 4), "HDR0");
    ASSERT_TRUE(out.seek(3));
    ASSERT_TRUE(out.write("9", 1));
    ASSERT_TRUE(out.seek(out.length()));
    ASSERT_TRUE(out.write("end", 3));
    ASSERT_TRUE(out.commit());
    EXPECT_EQ(tests::readFile(path), "HDR9" + body + "end");
    std::remove(path.c_str());
}

TEST(OutputFile, UnwritableDirectoryFailsWithTheSystemText) {
    OutputFile out;
    std::string error;
    const std::string path = scratch("no_such_dir/out.bvx");
    EXPECT_FALSE(out.open(path, false, error));
    EXPECT_EQ(error, path + ": " + files::errorText(ENOENT));
}

#ifndef _WIN32
TEST(OutputFile, ReplacementKeepsTheOldFilesPermissions) {
    const std::string path = scratch("mode.bvx");
    writeText(path, "old");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    OutputFile out;
    std::string error;
    ASSERT_TRUE(out.open(path, false, error)) << error;
    ASSERT_TRUE(out.write("new", 3));
    ASSERT_TRUE(out.commit());
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    std::remove(path.c_str());
}

TEST(OutputFile, WritingThroughASymbolicLinkReplacesItsTarget) {
    const std::string target = scratch("link_target.bvx");
    const std::string link = scratch("link.bvx");
    writeText(target, "old");
    std::remove(link.c_str());
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    OutputFile out;
    std::string error;
    ASSERT_TRUE(out.open(link, false, error)) << error;
    ASSERT_TRUE(out.write("new", 3));
    ASSERT_TRUE(out.commit());
    struct stat st {};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(tests::readFile(target), "new");
    std::remove(link.c_str());
    std::remove(target.c_str());
}

TEST(OutputFile, DevicesAreWrittenDirectlyAndRecognised) {
    EXPECT_TRUE(isDeviceOrPipe("/dev/null"));
    EXPECT_FALSE(isDeviceOrPipe(::testing::TempDir()));
    OutputFile out;
    std::string error;
    ASSERT_TRUE(out.open("/dev/null", false, error)) << error;
    EXPECT_FALSE(out.seekable());
    ASSERT_TRUE(out.write("abc", 3));
    EXPECT_TRUE(out.commit());
}
#endif

TEST(OutputFile, SameFileAndDirectoriesByIdentityNotByName) {
    const std::string a = scratch("same.bvx");
    writeText(a, "x");
    const std::string dir = ::testing::TempDir();
    EXPECT_TRUE(sameFile(a, a));
    EXPECT_TRUE(sameFile(a, dir + "./brimvox_output_same.bvx"));
    EXPECT_FALSE(sameFile(a, "-"));
    EXPECT_FALSE(sameFile(a, scratch("missing.bvx")));

    const std::string nested = scratch("dirs/a/b");
    std::string error;
    ASSERT_TRUE(makeDirectories(nested, error)) << error;
    EXPECT_TRUE(files::statusOf(nested).directory);
    EXPECT_TRUE(makeDirectories(nested, error)) << error;  // already there
    EXPECT_FALSE(makeDirectories(a + "/sub", error));      // below a regular file
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(makeDirectories(a, error));
    EXPECT_EQ(error, a + ": not a directory");
    files::removeFile(a.c_str());
}

}  // namespace
}  // namespace brimvox::cli
