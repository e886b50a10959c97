#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_line.h"

namespace brimvox::cli {
namespace {

using Args = std::vector<std::string>;

constexpr unsigned EncodeOptions = AllowType | AllowRaw | AllowVad | AllowDir;

bool parse(const Args& args, unsigned allowed, Options& opt, std::string& error) {
    opt = Options{};
    error.clear();
    return parseArgs(args, allowed, opt, error);
}

TEST(CommandLine, TypeOptionTypesTheFileThatFollowsInEveryForm) {
    Options opt;
    std::string error;
    for (const Args& args : {Args{"-t", "wav", "in", "out"}, Args{"-twav", "in", "out"},
                             Args{"--type", "wav", "in", "out"}, Args{"--type=wav", "in", "out"}}) {
        ASSERT_TRUE(parse(args, EncodeOptions, opt, error)) << error;
        EXPECT_EQ(opt.files, (Args{"in", "out"}));
        EXPECT_EQ(opt.fileTypes, (Args{"wav", ""}));
    }
    ASSERT_TRUE(parse({"in", "-t", "flac", "out"}, EncodeOptions, opt, error));
    EXPECT_EQ(opt.fileTypes, (Args{"", "flac"}));
}

TEST(CommandLine, DashIsAFileAndDoubleDashEndsTheOptions) {
    Options opt;
    std::string error;
    ASSERT_TRUE(parse({"-q", "-", "--", "-v", "--raw"}, EncodeOptions, opt, error)) << error;
    EXPECT_TRUE(opt.quiet);
    EXPECT_FALSE(opt.verbose);
    EXPECT_FALSE(opt.raw);
    EXPECT_EQ(opt.files, (Args{"-", "-v", "--raw"}));
    // --help after -- is a file name, not a request for help.
    EXPECT_TRUE(wantsHelp({"in", "-h"}));
    EXPECT_TRUE(wantsHelp({"--help"}));
    EXPECT_FALSE(wantsHelp({"--", "--help"}));
}

TEST(CommandLine, OptionsACommandDoesNotTakeAreRefusedByName) {
    Options opt;
    std::string error;
    // info takes --force only; decode no --raw, --vad or -o.
    EXPECT_FALSE(parse({"--raw", "in"}, AllowForce, opt, error));
    EXPECT_EQ(error, "unknown option '--raw'");
    EXPECT_FALSE(parse({"-o", "dir", "in"}, AllowType | AllowForce, opt, error));
    EXPECT_EQ(error, "unknown option '-o'");
    EXPECT_FALSE(parse({"--bogus"}, EncodeOptions, opt, error));
    EXPECT_EQ(error, "unknown option '--bogus'");
    ASSERT_TRUE(parse({"--force", "--vad", "--raw", "-odir", "in"}, EncodeOptions | AllowForce, opt,
                      error));
    EXPECT_TRUE(opt.force && opt.vad && opt.raw);
    EXPECT_EQ(opt.outDir, "dir");
}

TEST(CommandLine, MissingOrDoubledValuesAndContradictionsAreErrors) {
    Options opt;
    std::string error;
    EXPECT_FALSE(parse({"in", "-t"}, EncodeOptions, opt, error));
    EXPECT_EQ(error, "option -t needs a value");
    EXPECT_FALSE(parse({"--type=", "in"}, EncodeOptions, opt, error));
    EXPECT_EQ(error, "option --type= needs a value");
    EXPECT_FALSE(parse({"-t", "wav", "-t", "raw", "in"}, EncodeOptions, opt, error));
    EXPECT_EQ(error, "two -t options for one file");
    EXPECT_FALSE(parse({"in", "out", "-t", "wav"}, EncodeOptions, opt, error));
    EXPECT_EQ(error, "-t wav types the file named after it, but none follows");
    EXPECT_FALSE(parse({"-q", "-v", "in"}, EncodeOptions, opt, error));
    EXPECT_EQ(error, "-q and -v exclude each other");
}

TEST(CommandLine, FileCountIsCheckedBothWays) {
    Options opt;
    std::string error;
    opt.files = {"a"};
    EXPECT_FALSE(expectFiles(opt, 2, error));
    EXPECT_EQ(error, "missing argument");
    opt.files = {"a", "b", "c"};
    EXPECT_FALSE(expectFiles(opt, 2, error));
    EXPECT_EQ(error, "too many arguments");
    opt.files = {"a", "b"};
    EXPECT_TRUE(expectFiles(opt, 2, error));
}

TEST(CommandLine, BatchOutputNamesDropDirectoryAndExtension) {
    EXPECT_EQ(outputName("out", "rec/a.wav"), "out/a.bvx");
    EXPECT_EQ(outputName("out/", "a.b.flac"), "out/a.b.bvx");
    EXPECT_EQ(outputName("out", "C:\\rec\\talk.wav"), "out/talk.bvx");
    EXPECT_EQ(outputName("out\\", ".hidden"), "out\\.hidden.bvx");  // a leading dot is a name
    EXPECT_EQ(outputName("", "plain"), "plain.bvx");
}

}  // namespace
}  // namespace brimvox::cli
