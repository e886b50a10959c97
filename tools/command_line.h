// The command line of brimvox-codec: its options and positional arguments.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace brimvox::cli {

struct Options {
    bool quiet = false;
    bool verbose = false;
    bool raw = false;
    bool force = false;
    bool vad = false;
    std::string outDir;                  // -o
    std::vector<std::string> files;      // positional arguments
    std::vector<std::string> fileTypes;  // the -t given before each of them, or ""
};

// The options a command takes beyond -q and -v.
enum OptionSet : unsigned {
    AllowType = 1,
    AllowRaw = 2,
    AllowForce = 4,
    AllowVad = 8,
    AllowDir = 16,
};

// Parses the options and positional arguments of a command; `--` ends the options and '-'
// alone is a file (stdin or stdout). -t TYPE types the file that follows it. False with
// `error` set on an option the command does not take or one without its value.
bool parseArgs(const std::vector<std::string>& args, unsigned allowed, Options& opt,
               std::string& error);

// True when --help or -h comes before any `--`.
bool wantsHelp(const std::vector<std::string>& args);

// True when exactly `count` files were named; otherwise `error` says which way it is wrong.
bool expectFiles(const Options& opt, size_t count, std::string& error);

// The output of IN in the directory DIR of a batch: DIR/NAME.bvx, NAME being IN without its
// directory and extension.
std::string outputName(const std::string& dir, const std::string& in);

}  // namespace brimvox::cli
